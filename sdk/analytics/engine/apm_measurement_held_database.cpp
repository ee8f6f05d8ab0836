// Another connection holding the measurement database (a second process of the app, a backup
// tool, a shell with the file open) is a passing state, never a reason to lose data. A start that
// finds the file held, or a write that does, is tried again on a timer with a bounded backoff and
// at the next write after that; meanwhile every write (an event's whole road, a user property
// set or removed, a conditional property's change) is kept in memory, in order and bounded, and
// done once the file is free. Each write is one store transaction, so one that found the file
// held left nothing behind and is done again from the start.
#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/storage/apm_database.h"

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

void APMMeasurement::performDatabaseWriteOnWorkerQueue(std::function<void()> write) {
  if (!write) return;
  // Part of the unit under way, or refused by its own checks while collection is off.
  if (databaseWriteDepth_ > 0 || !enabled_) {
    write();
    return;
  }
  if (!database_ || waitingForDatabase_) {
    keepDatabaseWrite(std::move(write));
    retryHeldDatabaseIfDueOnWorkerQueue();
    return;
  }
  if (!tryDatabaseWrite(write)) {
    keepDatabaseWrite(std::move(write));
    scheduleDatabaseRetry();
  }
}

bool APMMeasurement::tryDatabaseWrite(const std::function<void()>& write) {
  WriteDepth depth(databaseWriteDepth_);
  bool began = false;
  platform::Error error;
  const bool done = database_->performRetriableTransaction(
      [&] {
        began = true;
        write();
        return true;
      },
      &error);
  if (done) return true;
  if (APMIsBusySqliteError(error)) return false;
  // Any other trouble (the disk, a damaged file) is what it always was: without the enclosing
  // transaction each step of the write tries on its own and reports its own failure.
  if (!began) write();
  return true;
}

void APMMeasurement::keepDatabaseWrite(std::function<void()> write) {
  if (keptDatabaseWrites_.size() >= kAPMMaxKeptDatabaseWrites) {
    keptDatabaseWrites_.pop_front();
    // One line for the first loss and one for every hundred after it.
    if (droppedKeptDatabaseWrites_++ % 100 == 0) {
      APMLog(4, 23226,
             "Data loss. Too many events and user properties waiting for the database. Oldest dropped. Dropped count",
             static_cast<long long>(droppedKeptDatabaseWrites_));
    }
  }
  keptDatabaseWrites_.push_back(std::move(write));
}

// Through the whole road, as if they came now: admission and limits apply as they do at this
// moment. The event listeners heard of the events when they were logged.
void APMMeasurement::writeKeptDatabaseWrites() {
  // A write of the start itself just found the file held again: its retry is already due.
  if (waitingForDatabase_) return;
  if (!keptDatabaseWrites_.empty()) {
    APMLog(7, 23227, "Writing events and user properties kept while the database was in use. Count",
           static_cast<long long>(keptDatabaseWrites_.size()));
  }
  while (!keptDatabaseWrites_.empty()) {
    std::function<void()> write = std::move(keptDatabaseWrites_.front());
    keptDatabaseWrites_.pop_front();
    if (!tryDatabaseWrite(write)) {
      keptDatabaseWrites_.push_front(std::move(write));
      scheduleDatabaseRetry();
      return;
    }
  }
  droppedKeptDatabaseWrites_ = 0;
  cancelDatabaseRetry();
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
