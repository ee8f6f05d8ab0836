// Another connection holding the measurement database (a second process of the app, a backup
// tool, a shell with the file open) is a passing state, never a reason to lose data. A start that
// finds the file held, or a write that does, is tried again on a timer with a bounded backoff and
// at the next write after that; meanwhile every write (an event's whole road, a user property
// set or removed, a conditional property's change) is kept in memory, in order and bounded, and
// done once the file is free. Each write, or each run of kept writes done together, is one store
// transaction, so one that found the file held left nothing behind and is done again from the
// start.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "platform/foundation/notification_center.h"
#include "platform/runloop/clock.h"
#include "platform/ui/application.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/engine/apm_conditional_user_property_controller.h"
#include "sdk/analytics/engine/apm_kept_writes_journal.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_sqlite_store.h"

namespace {

// Counts the units of writing under way for the scope of one.
class WriteDepth {
 public:
  explicit WriteDepth(int& depth) : depth_(depth) { ++depth_; }
  ~WriteDepth() { --depth_; }
  WriteDepth(const WriteDepth&) = delete;
  WriteDepth& operator=(const WriteDepth&) = delete;

 private:
  int& depth_;
};

}  // namespace

void APMMeasurement::performDatabaseWriteOnWorkerQueue(std::function<void()> write, KeptWriteRecord record) {
  if (!write) return;
  // Part of the unit under way, or refused by its own checks while collection is off.
  if (databaseWriteDepth_ > 0 || !enabled_) {
    write();
    return;
  }
  if (!database_ || waitingForDatabase_) {
    keepDatabaseWrite(std::move(write), record);
    retryHeldDatabaseIfDueOnWorkerQueue();
    return;
  }
  if (!tryDatabaseWrite(write)) {
    keepDatabaseWrite(std::move(write), record);
    scheduleDatabaseRetry();
  }
}

bool APMMeasurement::tryDatabaseWrite(const std::function<void()>& write) {
  const KeptDatabaseWrite unkept{write, {}, false};
  return tryDatabaseWrites({&unkept, 1}, false) != WritesOutcome::busy;
}

// Kept writes go several to a transaction: each alone would pay the file's syncs, which on a busy
// disk make a thousand of them take seconds. A kept write's ID is stored with it when a journal
// may name it: it was read from one, or the app is being ended. One already stored was done
// before the journal was read again (a start killed while writing it). The journal's lock is
// taken at the end of the writes' transaction and held through its commit, which waits for no
// other connection once the transaction began (it holds the file): an app ending meanwhile either
// journals the writes, which then store their IDs, or finds them done and gone from the journal's
// lines. The lock spans the store's callback, which the analysis cannot follow.
APMMeasurement::WritesOutcome APMMeasurement::tryDatabaseWrites(std::span<const KeptDatabaseWrite> writes, bool kept)
    NO_THREAD_SAFETY_ANALYSIS {
  WriteDepth depth(databaseWriteDepth_);
  bool began = false;
  bool locked = false;
  const auto writeAll = [&]() NO_THREAD_SAFETY_ANALYSIS {
    std::vector<bool> doneBefore(writes.size(), false);
    for (std::size_t i = 0; i < writes.size(); ++i) {
      if (kept && writes[i].fromJournal) {
        platform::Error error;
        const auto done = database_->containsDoneKeptWriteID(writes[i].id, &error);
        doneBefore[i] = done && *done;
      }
      if (!doneBefore[i]) writes[i].write();
    }
    if (!kept) return;
    journalMutex_.lock();
    locked = true;
    for (std::size_t i = 0; i < writes.size() && database_; ++i) {
      if (doneBefore[i] || !(writes[i].fromJournal || terminating_)) continue;
      platform::Error error;
      database_->insertDoneKeptWriteID(writes[i].id, &error);
    }
  };
  const auto unlock = [&]() NO_THREAD_SAFETY_ANALYSIS {
    if (locked) journalMutex_.unlock();
    locked = false;
  };
  platform::Error error;
  const bool done = database_->performRetriableTransaction(
      [&] {
        began = true;
        writeAll();
        return true;
      },
      &error);
  const bool busy = !done && APMIsBusySqliteError(error);
  if (busy) {
    unlock();
    return WritesOutcome::busy;
  }
  if (!done && began && writes.size() > 1) {
    // Nothing of them was committed: each goes again in a transaction of its own, as it would
    // have alone, so that one write's trouble costs no other.
    unlock();
    return WritesOutcome::failedTogether;
  }
  if (!done && !began) {
    // Any other trouble (the disk, a damaged file) is what it always was: without the enclosing
    // transaction each step of a write tries on its own and reports its own failure.
    unlock();
    writeAll();
  }
  if (kept) {
    if (!locked) {
      journalMutex_.lock();
      locked = true;
    }
    for (const KeptDatabaseWrite& write : writes) {
      if (!journalEntries_.empty() && journalEntries_.front().id == write.id) journalEntries_.pop_front();
    }
  }
  unlock();
  return WritesOutcome::done;
}

void APMMeasurement::keepDatabaseWrite(std::function<void()> write, const KeptWriteRecord& record) {
  std::string id = keptWriteRunID_ + "-" + std::to_string(++keptWriteCount_);
  std::optional<std::string> line;
  if (record) {
    if (auto fields = record()) {
      (*fields)["id"] = platform::Value(id);
      line = APMKeptWriteJournalLine(*fields);
    }
  }
  if (keptDatabaseWrites_.size() >= kAPMMaxKeptDatabaseWrites) {
    keptDatabaseWrites_.pop_front();
    {
      platform::MutexLock lock(journalMutex_);
      if (!journalEntries_.empty()) journalEntries_.pop_front();
    }
    // One line for the first loss and one for every hundred after it.
    if (droppedKeptDatabaseWrites_++ % 100 == 0) {
      APMLog(4, 23226,
             "Data loss. Too many events and user properties waiting for the database. Oldest dropped. Dropped count",
             static_cast<long long>(droppedKeptDatabaseWrites_));
    }
  }
  keptDatabaseWrites_.push_back({std::move(write), id, false});
  platform::MutexLock lock(journalMutex_);
  journalEntries_.push_back({std::move(id), std::move(line)});
  // Kept while the app is being ended (the last events of a quit): into the journal at once.
  if (terminating_) writeKeptWritesJournalLocked();
}

// Through the whole road, as if they came now: admission and limits apply as they do at this
// moment. The event listeners heard of the events when they were logged.
void APMMeasurement::writeKeptDatabaseWrites(std::size_t count) {
  // A write of the start itself just found the file held again: its retry is already due.
  if (waitingForDatabase_) return;
  if (!keptDatabaseWrites_.empty()) {
    APMLog(7, 23227, "Writing events and user properties kept while the database was in use. Count",
           static_cast<long long>(std::min(count, keptDatabaseWrites_.size())));
  }
  std::size_t perTransaction = kAPMKeptDatabaseWritesPerTransaction;
  std::vector<KeptDatabaseWrite> batch;
  while (count > 0 && !keptDatabaseWrites_.empty()) {
    const std::size_t size = std::min({count, perTransaction, keptDatabaseWrites_.size()});
    batch.assign(std::make_move_iterator(keptDatabaseWrites_.begin()),
                 std::make_move_iterator(keptDatabaseWrites_.begin() + static_cast<std::ptrdiff_t>(size)));
    keptDatabaseWrites_.erase(keptDatabaseWrites_.begin(), keptDatabaseWrites_.begin() + static_cast<std::ptrdiff_t>(size));
    const WritesOutcome outcome = tryDatabaseWrites(batch, true);
    if (outcome != WritesOutcome::done) {
      keptDatabaseWrites_.insert(keptDatabaseWrites_.begin(), std::make_move_iterator(batch.begin()),
                                 std::make_move_iterator(batch.end()));
      if (outcome == WritesOutcome::busy) {
        scheduleDatabaseRetry();
        return;
      }
      perTransaction = 1;
      continue;
    }
    count -= size;
  }
  // The rest comes after the writes of the start.
  if (!keptDatabaseWrites_.empty()) return;
  droppedKeptDatabaseWrites_ = 0;
  cancelDatabaseRetry();
  finishKeptWritesJournalOnWorkerQueue();
}

// Each failed attempt waits the store's busy timeout on the worker queue, so attempts back off
// and the timed ones end; a write that comes later still tries again now and then.
void APMMeasurement::scheduleDatabaseRetry() {
  waitingForDatabase_ = true;
  ++failedBusyAttempts_;
  const bool started = database_ != nullptr;
  const double uptime = platform::Clock::current().uptime();
  if (failedBusyAttempts_ > kAPMHeldDatabaseRetryScheduledAttempts) {
    nextDatabaseAttemptUptime_ = uptime + kAPMHeldDatabaseRetryMaxDelay;
    if (failedBusyAttempts_ == kAPMHeldDatabaseRetryScheduledAttempts + 1) {
      if (started) {
        APMLog(4, 23229,
               "Analytics database is in use by another connection. Kept events and user properties will be "
               "written at the next event");
      } else {
        APMLog(4, 23225, "Analytics database is in use by another connection. Start will be retried at the next event");
      }
    }
    return;
  }
  const double delay = std::min(kAPMHeldDatabaseRetryInitialDelay * std::ldexp(1.0, failedBusyAttempts_ - 1),
                                kAPMHeldDatabaseRetryMaxDelay);
  nextDatabaseAttemptUptime_ = uptime + delay;
  if (started) {
    APMLog(4, 23228,
           "Analytics database is in use by another connection. Kept events and user properties will be written in "
           "approx. (s), count",
           delay, static_cast<long long>(keptDatabaseWrites_.size()));
  } else {
    APMLog(4, 23224, "Analytics database is in use by another connection. Start will be retried in approx. (s)", delay);
  }
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  databaseRetryAlarm_->runAfterDelay(delay, [weak] {
    const auto self = weak.lock();
    if (!self) return;
    self->scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:databaseRetry", [weak] {
      if (const auto engine = weak.lock()) engine->retryHeldDatabaseOnWorkerQueue();
    });
  });
}

void APMMeasurement::retryHeldDatabaseOnWorkerQueue() {
  if (!enabled_ || !waitingForDatabase_) return;
  {
    // While the app is ended the kept writes are in the journal: an attempt would only hold the
    // worker queue in the database's wait, in front of the quit's own last writes.
    platform::MutexLock lock(journalMutex_);
    if (terminating_) return;
  }
  // Writes made by this attempt (a start reports its first open and session) go straight on;
  // a busy attempt sets the wait again.
  waitingForDatabase_ = false;
  if (database_) {
    writeKeptDatabaseWrites();
  } else {
    enableOnWorkerQueue();
  }
}

void APMMeasurement::retryHeldDatabaseIfDueOnWorkerQueue() {
  if (waitingForDatabase_ && platform::Clock::current().uptime() >= nextDatabaseAttemptUptime_) {
    retryHeldDatabaseOnWorkerQueue();
  }
}

void APMMeasurement::cancelDatabaseRetry() {
  waitingForDatabase_ = false;
  failedBusyAttempts_ = 0;
  databaseRetryAlarm_->cancel();
}

// ---- the journal of the kept writes ----
// The app ended normally while writes waited for the database: they go to a journal of this
// run's beside it, synced, which the next start claims and writes first, before anything of its
// own. Each write's ID is stored in the database with the write itself, so a journal read again
// (a start killed while writing it, or a write that went on while the app ended) does none of
// them twice. Processes of the app that share the home never read or remove each other's
// journals while both run (see `APMKeptWritesJournals`).

void APMMeasurement::subscribeForAppWillTerminateNotification() {
  const std::weak_ptr<const void> owner = std::weak_ptr<const APMMeasurement>(weak_from_this());
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  platform::NotificationCenter::defaultCenter().addObserver(
      owner, std::string(platform::kApplicationWillTerminateNotification), nullptr,
      [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->handleAppWillTerminate();
      });
}

// Never waits for the worker queue, which may be in the database's wait for its lock: the
// journal is made of the lines kept beside the writes, under their own lock.
void APMMeasurement::handleAppWillTerminate() {
  // From now on what finds the database held goes to the journal at once: a wait for the other
  // connection would only hold the worker queue, and the quit, behind it.
  APMSqliteStore::cutBusyWaitsShort(true);
  platform::MutexLock lock(journalMutex_);
  terminating_ = true;
  if (journalEntries_.empty()) return;
  // Collection was switched off while they waited: they are not written, now or later.
  if (!enabled_) {
    APMLog(1, 23231,
           "Data loss. Events and user properties waiting for the database could not be saved for the next start. "
           "Count, reason",
           static_cast<long long>(journalEntries_.size()), "collection is off");
    journalGivenUpLogged_ = journalEntries_.size();
    return;
  }
  writeKeptWritesJournalLocked();
}

std::string APMMeasurement::keptWritesJournalPathOfThisRun() const {
  return APMKeptWritesJournalPathOfRun(databaseName_, keptWriteRunID_);
}

void APMMeasurement::writeKeptWritesJournalLocked() {
  std::vector<const std::string*> lines;
  for (const JournalEntry& entry : journalEntries_) {
    if (entry.line) lines.push_back(&*entry.line);
  }
  std::size_t written = 0;
  platform::Error error;
  const bool saved = journals_->writeOwn(lines, written, &error);
  if (saved) {
    // What the claimed journals still named is in this run's own now; one that cannot be removed
    // is claimed again by the next start, which skips what was done.
    platform::Error removeError;
    journals_->removeClaimed(&removeError);
  }
  if (written > 0) {
    APMLog(4, 23230,
           "Analytics database is in use by another connection. Kept events and user properties saved for the next "
           "start. Count",
           static_cast<long long>(written));
  }
  const std::size_t givenUp = journalEntries_.size() - written;
  if (givenUp > journalGivenUpLogged_) {
    const APMObject reason = !saved                     ? APMObject(error)
                             : written < lines.size()   ? APMObject("over the journal's size limit")
                                                        : APMObject("not a write the journal keeps");
    APMLog(1, 23231,
           "Data loss. Events and user properties waiting for the database could not be saved for the next start. "
           "Count, reason",
           static_cast<long long>(givenUp - journalGivenUpLogged_), reason);
    journalGivenUpLogged_ = givenUp;
  }
}

std::size_t APMMeasurement::readKeptWritesJournalOnWorkerQueue() {
  APMKeptWritesJournals::Found found;
  {
    platform::MutexLock lock(journalMutex_);
    // A run being ended takes on nothing more: what it would claim is left to the next start.
    if (terminating_) return 0;
    found = journals_->claimJournalsOfEndedRuns();
  }
  for (const auto& journal : found.unreadable) {
    APMLog(3, 23234, "Unable to read the kept events and user properties of the last run. Kept for a later start. Error",
           journal.contents.error);
  }
  for (const auto& journal : found.setAside) {
    APMLog(1, 23232, "Data loss. Kept events and user properties of the last run were damaged and set aside. Count",
           static_cast<long long>(journal.contents.damagedRecords));
  }
  for (const auto& journal : found.damagedInPlace) {
    APMLog(1, 23235,
           "Kept events and user properties of the last run are damaged and could not be set aside. Left in place. "
           "Error",
           journal.contents.error);
  }
  std::vector<KeptDatabaseWrite> writes;
  std::vector<JournalEntry> entries;
  std::set<std::string> seen;
  std::size_t unusable = 0;
  for (const auto& journal : found.claimed) {
    unusable += journal.contents.damagedRecords;
    for (const auto& record : journal.contents.records) {
      const std::string* id = APMKeptWriteRecordString(record, "id");
      // A journal claimed after its run was killed while saving it in its own may name a write
      // twice.
      if (id && !seen.insert(*id).second) continue;
      auto write = writeFromKeptWriteRecord(record);
      if (!write || !id) {
        ++unusable;
        continue;
      }
      replayedKeptWriteIDs_.push_back(*id);
      writes.push_back({std::move(write), *id, true});
      entries.push_back({*id, APMKeptWriteJournalLine(record)});
    }
  }
  if (unusable > 0) {
    APMLog(1, 23232, "Data loss. Kept events and user properties of the last run were damaged and set aside. Count",
           static_cast<long long>(unusable));
  }
  // The same bound as in memory: the oldest go.
  const std::size_t room = kAPMMaxKeptDatabaseWrites > keptDatabaseWrites_.size()
                               ? kAPMMaxKeptDatabaseWrites - keptDatabaseWrites_.size()
                               : 0;
  if (writes.size() > room) {
    const std::size_t over = writes.size() - room;
    APMLog(4, 23226,
           "Data loss. Too many events and user properties waiting for the database. Oldest dropped. Dropped count",
           static_cast<long long>(over));
    writes.erase(writes.begin(), writes.begin() + static_cast<std::ptrdiff_t>(over));
    entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(over));
  }
  if (writes.empty()) return 0;
  const std::size_t count = writes.size();
  APMLog(7, 23233, "Writing events and user properties kept when the app last ended. Count",
         static_cast<long long>(writes.size()));
  keptDatabaseWrites_.insert(keptDatabaseWrites_.begin(), std::make_move_iterator(writes.begin()),
                             std::make_move_iterator(writes.end()));
  platform::MutexLock lock(journalMutex_);
  journalEntries_.insert(journalEntries_.begin(), std::make_move_iterator(entries.begin()),
                         std::make_move_iterator(entries.end()));
  return count;
}

void APMMeasurement::finishKeptWritesJournalOnWorkerQueue() {
  {
    platform::MutexLock lock(journalMutex_);
    // A journal written while the app ends names writes that may still be done meanwhile.
    if (terminating_ || !journalEntries_.empty()) return;
    platform::Error error;
    // A journal left in place may be read again: the IDs it names stay.
    if (!journals_->removeClaimed(&error)) return;
  }
  if (replayedKeptWriteIDs_.empty() || !database_) return;
  platform::Error error;
  if (database_->deleteDoneKeptWriteIDs(replayedKeptWriteIDs_, &error)) replayedKeptWriteIDs_.clear();
}

void APMMeasurement::forgetKeptDatabaseWrites() {
  keptDatabaseWrites_.clear();
  droppedKeptDatabaseWrites_ = 0;
  keptPurchaseFingerprints_.clear();
  purchasesAwaitingEvents_.clear();
  replayedKeptWriteIDs_.clear();
  platform::MutexLock lock(journalMutex_);
  journalEntries_.clear();
  platform::Error error;
  journals_->removeClaimed(&error);
  journals_->removeOwn(&error);
}

std::function<void()> APMMeasurement::writeFromKeptWriteRecord(const platform::Value::Dictionary& record) {
  const std::string* kind = APMKeptWriteRecordString(record, "k");
  if (!kind) return {};
  if (*kind == "e" || *kind == "w") {
    auto event = APMEventFromKeptWriteRecord(record);
    if (!event) return {};
    if (*kind == "e") {
      const std::string* fingerprint = APMKeptWriteRecordString(record, "f");
      const std::string* productID = APMKeptWriteRecordString(record, "pid");
      if (record.contains("f") && (!fingerprint || fingerprint->empty() || !productID)) return {};
      if (fingerprint) return eventWithPurchaseFingerprintWrite(event, *fingerprint, *productID);
      return [this, event] { admitAndWriteEvent(event); };
    }
    return [this, event] { writeEventPastAdmission(event); };
  }
  if (*kind == "u") {
    auto attribute = APMUserAttributeFromKeptWriteRecord(record);
    if (!attribute) return {};
    return [this, attribute] { setUserPropertyInDatabaseOnWorkerQueue(*attribute); };
  }
  if (*kind == "r") {
    const std::string* name = APMKeptWriteRecordString(record, "n");
    if (!name) return {};
    return [this, name = *name] { removeUserPropertyInDatabaseOnWorkerQueue(name); };
  }
  if (*kind == "f") {
    const auto t = record.find("t");
    if (t == record.end() || !t->second.isNumber() || t->second.isBool()) return {};
    // The first open of the run that ended, at its own launch time.
    return [this, timestamp = t->second.doubleValue()] {
      const double current = std::exchange(initTimestamp_, timestamp);
      reportFirstOpenInDatabaseOnWorkerQueue();
      initTimestamp_ = current;
    };
  }
  if (*kind == "c") {
    auto request = APMConditionalUserPropertyFromKeptWriteRecord(record);
    if (!request) return {};
    return [request] { APMConditionalUserPropertyController::sharedInstance()->applyRequestOnWorkerQueue(request); };
  }
  if (*kind == "n") return [this] { setPersonalizedAdsUserPropertyInDatabaseOnWorkerQueue(); };
  if (*kind == "p") {
    const std::string* fingerprint = APMKeptWriteRecordString(record, "f");
    const std::string* productID = APMKeptWriteRecordString(record, "pid");
    if (!fingerprint || fingerprint->empty() || !productID) return {};
    return [this, fingerprint = *fingerprint, productID = *productID] {
      storePurchaseFingerprintOnWorkerQueue(fingerprint, productID);
    };
  }
  return {};
}
