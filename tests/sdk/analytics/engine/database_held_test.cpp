// The measurement database held by another connection (a second process of the app, a backup
// tool, a shell with the file open) while the engine starts or in the middle of a run, and a
// database that cannot be used at all. On the manual clock, against the local service: the held file's lock is real, taken by
// a second SQLite connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <optional>
#include <set>

#include <sqlite3.h>

#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_conditional_user_property_controller.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "tests/sdk/analytics/engine/upload_fixture.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"

namespace {

namespace fs = std::filesystem;
using engine_test::UploadTest;
using storage_test::BusyTimeoutForScope;
using storage_test::LockingConnection;

constexpr std::int64_t kStartRetryScheduledCode = 23224;
constexpr std::int64_t kStartRetryAtNextEventCode = 23225;
constexpr std::int64_t kPendingEventDroppedCode = 23226;
constexpr std::int64_t kWriteRetryScheduledCode = 23228;

std::string databasePath() { return APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName)); }

// A database file as an earlier launch left it, so that another connection can lock it.
void createDatabase() {
  platform::Error error;
  ASSERT_TRUE(storage_test::openDatabase(&error)) << error.description();
}

// Holds the worker queue until opened (or for at most ten seconds), so that what the test queues
// meanwhile runs right behind the block queued before it.
class WorkerGate {
 public:
  explicit WorkerGate(APMMeasurement& engine) {
    engine.scheduler()->scheduleOnWorkerQueueBlockID("test gate", [opened = opened_.get_future().share()] {
      opened.wait_for(std::chrono::seconds(10));
    });
  }
  ~WorkerGate() { open(); }
  void open() {
    if (!isOpen_) opened_.set_value();
    isOpen_ = true;
  }

 private:
  std::promise<void> opened_;
  bool isOpen_ = false;
};

class DatabaseHeldTest : public UploadTest {
 protected:
  // The names of the raw events in the engine's store.
  std::multiset<std::string> storedNames() {
    std::multiset<std::string> names;
    onWorker([&] {
      ASSERT_TRUE(engine_->database());
      const auto rows = engine_->database()->store()->recordsForQuery("SELECT name FROM raw_events", {}, nullptr);
      ASSERT_TRUE(rows);
      for (const auto& row : *rows) names.insert(row.at("name").stringValue());
    });
    return names;
  }
  // The names of the events that reached the service.
  std::multiset<std::string> sentNames() {
    std::multiset<std::string> names;
    for (std::size_t i = 0; i < uploads(); ++i) {
      for (const auto& bundle : uploadedBundles(i)) {
        for (const auto& event : bundle.events) names.insert(event.name);
      }
    }
    return names;
  }
  // Configures while another connection holds the database (for `seconds` at the most).
  void configureWithTheDatabaseHeld(std::optional<LockingConnection>& other, int seconds) {
    createDatabase();
    other.emplace(databasePath(), "BEGIN EXCLUSIVE", seconds);
    ASSERT_TRUE(other->waitUntilLocked());
    configure();
    engine_ = APMMeasurement::sharedInstanceIfCreated();
    ASSERT_TRUE(engine_);
  }
  bool started() {
    bool result = false;
    onWorker([&] { result = engine_->database() != nullptr; });
    return result;
  }
  // Everything the app and the platform may hand the worker queue while a start is failing.
  void queueEveryKindOfWork() {
    const double now = this->now();
    if (auto screenView = APMEvent::initWithOrigin("auto", false, "_vs", now, 0, {})) engine_->logEvent(screenView);
    DOREvoredire::logEventWithName("focus_started", {});
    const auto property =
        std::make_shared<const APMUserAttribute>("app", "sound", APMValue::initWithString(std::string("rain")), now);
    engine_->setUserAttribute(property);
    engine_->removeUserAttribute(property);
    engine_->userAttributeWithName("sound", [](std::shared_ptr<const APMUserAttribute>) {});
    engine_->userPropertiesIncludingInternal(true, [](const platform::Value::Dictionary&) {});
    engine_->setDefaultEventParameters(APMDictionary{{"plan", APMObject("pro")}});
    engine_->filterPurchaseTransactions({}, [](APMMeasurement::PurchaseTransactions) {});
    engine_->handleNonFirstOpenEventURL("focus://open?utm_campaign=spring&utm_source=mail", now);
    engine_->reachabilityDidChange();
    engine_->scheduler()->scheduleOnWorkerQueueBlockID("test: the upload alarm", [engine = engine_] {
      engine->uploadData();
      engine->updateSchedule();
    });
  }
};

// A start that fails leaves no store behind, and nothing queued behind it may reach for one:
// events (their write ends by rescheduling the upload), user properties and their queries,
// purchases, links, and uploads woken by the network or the alarm. The app switches collection
// on again while the worker queue is busy, so that all of it lands right behind a start that
// fails as the launch's did.
TEST_F(DatabaseHeldTest, WorkQueuedBehindAFailedStartNeverReachesAMissingStore) {
  BusyTimeoutForScope wait(50);
  struct Case {
    const char* name;
    const char* lock;  // how another connection holds the file; none: a directory stands in its place
  };
  const Case cases[] = {
      {"the file held", "BEGIN EXCLUSIVE"},
      {"the file held by a writer", "BEGIN IMMEDIATE"},
      {"a directory in place of the file", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    freshProcess();
    clearLines();
    std::error_code ignored;
    fs::remove_all(databasePath(), ignored);
    std::optional<LockingConnection> other;
    if (c.lock) {
      createDatabase();
      other.emplace(databasePath(), c.lock, 30);
      ASSERT_TRUE(other->waitUntilLocked());
    } else {
      ASSERT_TRUE(fs::create_directories(databasePath()));
    }
    configure();
    engine_ = APMMeasurement::sharedInstanceIfCreated();
    ASSERT_TRUE(engine_);
    {
      WorkerGate gate(*engine_);
      engine_->setEnabled(true);
      queueEveryKindOfWork();
    }
    platform::testing::runUntilIdle();
    EXPECT_FALSE(started());
    if (c.lock) {
      EXPECT_TRUE(engine_->isEnabled()) << "a held file is waited for, not given up";
      EXPECT_EQ(linesWithCode(23011), 0);
    } else {
      EXPECT_FALSE(engine_->isEnabled());
      EXPECT_GE(linesWithCode(23011), 2);
      EXPECT_GE(linesWithCode(23049), 1) << "an event queued behind the failed start was not refused";
      EXPECT_EQ(linesWithCode(kStartRetryScheduledCode), 0) << "a file that can never open is not retried";
      advance(kAPMHeldDatabaseRetryMaxDelay);
      EXPECT_FALSE(started());
    }
    other.reset();
    engine_.reset();
    fs::remove_all(databasePath(), ignored);
  }
}

// The lock is held through configure and released later: the start is tried again, and every
// event logged meanwhile, before the release, between the release and the retry, and after the
// start, is stored once and leaves the device once; a user property set meanwhile is stored.
TEST_F(DatabaseHeldTest, EventsLoggedWhileTheDatabaseIsHeldAreStoredAndUploadedOnceItIsFree) {
  BusyTimeoutForScope wait(50);
  std::optional<LockingConnection> other;
  ASSERT_NO_FATAL_FAILURE(configureWithTheDatabaseHeld(other, 30));
  EXPECT_FALSE(started());
  EXPECT_TRUE(engine_->isEnabled());
  EXPECT_EQ(linesWithCode(23011), 0) << "a held file turned collection off";
  EXPECT_EQ(linesWithCode(kStartRetryScheduledCode), 1);

  DOREvoredire::logEventWithName("held_1", {});
  DOREvoredire::setUserPropertyString(APMObject("rain"), "sound");
  DOREvoredire::logEventWithName("held_2", {});
  advance(kAPMHeldDatabaseRetryInitialDelay);  // the first retry, still held
  EXPECT_FALSE(started());
  EXPECT_EQ(linesWithCode(kStartRetryScheduledCode), 2);
  other.reset();
  DOREvoredire::logEventWithName("after_release", {});
  platform::testing::runUntilIdle();
  EXPECT_FALSE(started()) << "the event came before the next retry was due";
  advance(2 * kAPMHeldDatabaseRetryInitialDelay);
  ASSERT_TRUE(started());
  DOREvoredire::logEventWithName("after_start", {});
  platform::testing::runUntilIdle();

  const std::vector<std::string> ours = {"held_1", "held_2", "after_release", "after_start"};
  const auto stored = storedNames();
  for (const auto& name : ours) EXPECT_EQ(stored.count(name), 1u) << name;
  EXPECT_EQ(stored.count("_f"), 1u) << "the delayed start reports its first open";
  const auto properties = userProperties();
  const auto sound = properties.find("sound");
  ASSERT_NE(sound, properties.end()) << "the user property set while the database was held is lost";
  EXPECT_EQ(sound->second.stringValue(), "rain");

  upload();
  const auto sent = sentNames();
  for (const auto& name : ours) EXPECT_EQ(sent.count(name), 1u) << name;
}

// Timed retries back off and end; after that the next event tries again, once the longest
// delay has passed since the last attempt.
TEST_F(DatabaseHeldTest, AfterTheTimedRetriesTheNextEventTriesAgain) {
  BusyTimeoutForScope wait(20);
  std::optional<LockingConnection> other;
  ASSERT_NO_FATAL_FAILURE(configureWithTheDatabaseHeld(other, 60));
  for (int i = 0; i < kAPMHeldDatabaseRetryScheduledAttempts + 3; ++i) advance(kAPMHeldDatabaseRetryMaxDelay);
  EXPECT_FALSE(started());
  EXPECT_EQ(linesWithCode(kStartRetryScheduledCode), kAPMHeldDatabaseRetryScheduledAttempts);
  EXPECT_EQ(linesWithCode(kStartRetryAtNextEventCode), 1);

  other.reset();
  advance(10 * kAPMHeldDatabaseRetryMaxDelay);
  EXPECT_FALSE(started()) << "nothing but an event should try again now";
  DOREvoredire::logEventWithName("late", {});
  platform::testing::runUntilIdle();
  ASSERT_TRUE(started());
  // The start schedules the upload of what its first open stored long ago, so it may be gone.
  EXPECT_EQ(storedNames().count("late") + sentNames().count("late"), 1u);
}

// Events kept in memory are bounded: past the bound the oldest go, with a log line.
TEST_F(DatabaseHeldTest, EventsKeptWhileTheDatabaseIsHeldAreBoundedOldestFirst) {
  BusyTimeoutForScope wait(20);
  std::optional<LockingConnection> other;
  ASSERT_NO_FATAL_FAILURE(configureWithTheDatabaseHeld(other, 30));
  constexpr int kOver = 5;
  const int logged = static_cast<int>(kAPMMaxKeptDatabaseWrites) + kOver;
  const double first = now() - 2 * logged;
  for (int i = 0; i < logged; ++i) engine_->logEvent(APMEvent::initWithOrigin("app", true, "kept", first + i, 0, {}));
  platform::testing::runUntilIdle();
  EXPECT_GE(linesWithCode(kPendingEventDroppedCode), 1);
  other.reset();
  advance(kAPMHeldDatabaseRetryInitialDelay);
  ASSERT_TRUE(started());

  std::optional<std::int64_t> count;
  std::optional<double> oldest;
  onWorker([&] {
    const auto rows = engine_->database()->store()->recordsForQuery(
        "SELECT count(*) AS n, min(timestamp) AS oldest FROM raw_events WHERE name = 'kept'", {}, nullptr);
    ASSERT_TRUE(rows && rows->size() == 1);
    count = rows->at(0).at("n").integerValue();
    oldest = rows->at(0).at("oldest").doubleValue();
  });
  EXPECT_EQ(count, static_cast<std::int64_t>(kAPMMaxKeptDatabaseWrites));
  EXPECT_EQ(oldest, first + kOver);
}

// Kept writes go several to a transaction once the file is free. When that transaction cannot be
// committed for a reason other than another connection's lock, none of its writes was done:
// each goes again in a transaction of its own, so all are stored, once each.
TEST_F(DatabaseHeldTest, KeptWritesWhoseSharedCommitFailsAreWrittenOneByOne) {
  BusyTimeoutForScope wait(20);
  start();
  auto other = storage_test::holdAnalyticsDatabase(30);
  const std::vector<std::string> kept = {"kept_1", "kept_2", "kept_3", "kept_4"};
  for (const auto& name : kept) DOREvoredire::logEventWithName(name, {});
  platform::testing::runUntilIdle();

  // The next commit on the engine's connection fails, as a full disk or a failed sync would.
  int commitsToFail = 1;
  onWorker([&] {
    sqlite3_commit_hook(engine_->database()->store()->sqliteHandle(), [](void* remaining) {
      int& count = *static_cast<int*>(remaining);
      return count > 0 ? count-- : 0;
    }, &commitsToFail);
  });
  other.reset();
  advance(kAPMHeldDatabaseRetryInitialDelay);
  onWorker([&] { sqlite3_commit_hook(engine_->database()->store()->sqliteHandle(), nullptr, nullptr); });
  EXPECT_EQ(commitsToFail, 0) << "no commit of the kept writes was tried";

  const auto stored = storedNames();
  for (const auto& name : kept) EXPECT_EQ(stored.count(name), 1u) << name;
}

// Another connection takes the database in the middle of a run (a backup, a shell, a second
// instance of the app). What the app logs and sets meanwhile is kept in order and written once
// the lock is gone: every event once, with the day's counters and its name's lifetime count raised
// once, and a user property or a conditional one set between two events, or a conditional one the
// second event triggers, only in the second one's metadata. The kept writes go when the
// timed retry finds the file free, or, once the timed retries have ended, with the next event.
TEST_F(DatabaseHeldTest, WhatIsLoggedWhileTheDatabaseIsHeldMidRunIsWrittenOnceInOrder) {
  BusyTimeoutForScope wait(50);
  struct Case {
    const char* name;
    bool timedRetriesEnd;  // the lock outlasts the timed retries
  };
  const Case cases[] = {{"released before a timed retry", false}, {"released after the timed retries", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    freshProcess();
    std::error_code ignored;
    fs::remove_all(databasePath(), ignored);
    start();
    const auto counts = [&] {
      std::shared_ptr<APMDailyCounts> result;
      onWorker([&] { result = engine_->database()->dailyCounts(nullptr); });
      return result;
    };
    // A conditional property that the event logged second while the file is held sets.
    auto conditional = std::make_shared<APMConditionalUserProperty>();
    conditional->origin = "viam";
    conditional->value = APMValue::initWithString(std::string("pro"));
    conditional->triggerEventName = "held_2";
    // Kept writes are handled at the time they are written: the trigger must outlast the hold.
    conditional->triggerTimeout = 86400;
    conditional->timeToLive = 86400;
    APMConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(conditional, "plan");
    DOREvoredire::logEventWithName("before_hold", {});
    platform::testing::runUntilIdle();
    const auto before = counts();
    ASSERT_TRUE(before);
    clearLines();

    auto other = storage_test::holdAnalyticsDatabase(60);
    DOREvoredire::logEventWithName("held_1", {});
    APMAnalytics::logInternalEventWithOrigin("auto", "_e", {{"_et", APMInt64Object(1000)}});
    DOREvoredire::setUserPropertyString(APMObject("rain"), "sound");
    auto untriggered = std::make_shared<APMConditionalUserProperty>(*conditional);
    untriggered->triggerEventName.clear();
    APMConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(untriggered, "tier");
    DOREvoredire::logEventWithName("held_2", {});
    platform::testing::runUntilIdle();
    if (c.timedRetriesEnd) {
      for (int i = 0; i < kAPMHeldDatabaseRetryScheduledAttempts + 2; ++i) advance(kAPMHeldDatabaseRetryMaxDelay);
      other.reset();
      advance(10 * kAPMHeldDatabaseRetryMaxDelay);
      EXPECT_EQ(storedNames().count("held_1"), 0u) << "nothing but the next event should try again now";
    } else {
      advance(kAPMHeldDatabaseRetryInitialDelay);
      other.reset();
    }
    // Before the timed retry, or the one that makes the kept writes go.
    DOREvoredire::logEventWithName("after_release", {});
    platform::testing::runUntilIdle();
    advance(2 * kAPMHeldDatabaseRetryInitialDelay);

    EXPECT_GE(linesWithCode(kWriteRetryScheduledCode), 1);
    const std::vector<std::string> ours = {"held_1", "_e", "held_2", "after_release"};
    std::vector<std::string> inOrder;
    onWorker([&] {
      const auto rows =
          engine_->database()->store()->recordsForQuery("SELECT name FROM raw_events ORDER BY rowid", {}, nullptr);
      ASSERT_TRUE(rows);
      for (const auto& row : *rows) {
        const std::string name = row.at("name").stringValue();
        if (std::find(ours.begin(), ours.end(), name) != ours.end()) inOrder.push_back(name);
      }
    });
    EXPECT_EQ(inOrder, ours);
    const auto after = counts();
    ASSERT_TRUE(after);
    // The case spans half an hour of virtual time, and each install's day starts at a moment of
    // its own: when the day turned meanwhile, the counters started again from nothing.
    const bool sameDay = after->day() == before->day();
    EXPECT_EQ(after->allEventsCount() - (sameDay ? before->allEventsCount() : 0), static_cast<std::int32_t>(ours.size()));
    EXPECT_EQ(after->publicEventsCount() - (sameDay ? before->publicEventsCount() : 0),
              static_cast<std::int32_t>(ours.size()) - 1);

    upload();
    const auto sent = sentNames();
    for (const auto& name : ours) EXPECT_EQ(sent.count(name), 1u) << name;
    onWorker([&] {
      for (const auto& name : ours) {
        const auto aggregates = engine_->database()->eventAggregatesWithName(name, nullptr);
        EXPECT_TRUE(aggregates && aggregates->lifetimeCount() == 1) << name;
      }
    });
    for (std::size_t i = 0; i < uploads(); ++i) {
      for (const auto& bundle : uploadedBundles(i)) {
        for (const auto& event : bundle.events) {
          if (event.name != "held_1" && event.name != "held_2") continue;
          for (const char* property : {"sound", "tier", "plan"}) {
            EXPECT_EQ(bundle.userProperties.count(property), event.name == "held_2" ? 1u : 0u)
                << event.name << " " << property;
          }
        }
      }
    }
    engine_.reset();
  }
}

}  // namespace
