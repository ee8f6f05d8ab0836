// Real threads on the real clock: another connection holds the measurement database while
// several threads log events, from the engine's start or from the middle of the run, and lets go
// while they still log. The start or the kept writes are tried again on the worker queue, and
// every event, logged before, during or after the hold, is stored exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "event_writing_fixture.h"
#include "platform/foundation/notification_center.h"
#include "platform/runloop/clock.h"
#include "platform/ui/application.h"
#include "sdk/analytics/engine/apm_conditional_user_property_controller.h"
#include "sdk/analytics/engine/apm_kept_writes_journal.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"

namespace {

using engine_test::EventWritingTest;

constexpr std::int64_t kStartRetryScheduledCode = 23224;
constexpr std::int64_t kWriteRetryScheduledCode = 23228;

// Every thread's every numbered "stress" event is among those stored, once.
void expectEachLoggedOnce(const std::vector<engine_test::StoredEvent>& events, int threads, int perThread) {
  std::vector<std::vector<int>> seen(threads, std::vector<int>(perThread, 0));
  for (const auto& event : events) {
    const auto t = engine_test::storedInt(event, "thread");
    const auto i = engine_test::storedInt(event, "i");
    ASSERT_TRUE(t >= 0 && t < threads && i >= 0 && i < perThread);
    ++seen[t][i];
  }
  for (int t = 0; t < threads; ++t) {
    EXPECT_EQ(seen[t], std::vector<int>(perThread, 1)) << "thread " << t;
  }
}

TEST_F(EventWritingTest, EventsLoggedFromManyThreadsWhileTheDatabaseIsHeldAreAllStoredOnce) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  storage_test::BusyTimeoutForScope wait(20);
  const std::string path = APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName));
  constexpr int kThreads = 6;
  constexpr int kEvents = 60;
  struct Case {
    const char* name;
    bool heldFromStart;  // else taken once the first third of the events is written
  };
  const Case cases[] = {{"held through the start", true}, {"taken in the middle of the run", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    freshProcess();
    clearLines();
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    std::filesystem::remove(path + "-journal", ignored);
    platform::Error error;
    ASSERT_TRUE(storage_test::openDatabase(&error)) << error.description();
    std::optional<storage_test::LockingConnection> other;
    if (c.heldFromStart) {
      other.emplace(path, "BEGIN EXCLUSIVE", 30);
      ASSERT_TRUE(other->waitUntilLocked());
      EngineTest::configure();
    } else {
      configure();
    }

    // The loggers go in three thirds: before the hold, while it is held, after it. Each third
    // starts only when the test lets it, so that the middle one surely meets the lock.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::atomic<int> logged{0};
    std::atomic<int> thirdsAllowed{1};
    std::vector<std::thread> loggers;
    for (int t = 0; t < kThreads; ++t) {
      loggers.emplace_back([t, &logged, &thirdsAllowed, deadline] {
        for (int i = 0; i < kEvents; ++i) {
          while (i * 3 / kEvents >= thirdsAllowed && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
          DOREvoredire::logEventWithName("stress", {{"thread", APMObject(t)}, {"i", APMObject(i)}});
          ++logged;
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      });
    }
    const auto waitForLogged = [&](int count) {
      while (logged < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    };
    waitForLogged(kThreads * kEvents / 3);
    // The worker catches up first: writing back to back, it could starve the other connection.
    platform::testing::runUntilIdle();
    if (!c.heldFromStart) {
      other.emplace(path, "BEGIN EXCLUSIVE", 30);
      EXPECT_TRUE(other->waitUntilLocked());
    }
    thirdsAllowed = 2;
    waitForLogged(kThreads * kEvents * 2 / 3);
    // Held until a write has met the lock, so that the kept writes are what is tried.
    const auto metTheLock = [&] {
      std::lock_guard lock(mutex_);
      return std::any_of(lines_.begin(), lines_.end(), [&](const Line& line) {
        return line.code == (c.heldFromStart ? kStartRetryScheduledCode : kWriteRetryScheduledCode);
      });
    };
    while (!metTheLock() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(metTheLock());
    other.reset();
    thirdsAllowed = 3;
    for (auto& logger : loggers) logger.join();

    // The first retry is due a second after the attempt that found the file held.
    std::vector<engine_test::StoredEvent> events;
    const auto storedBy = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < storedBy) {
      platform::testing::runUntilIdle();
      bool started = false;
      onWorker([&] { started = engine()->database() != nullptr; });
      if (started) {
        events.clear();
        for (auto& event : stored()) {
          if (event.name == "stress") events.push_back(std::move(event));
        }
        if (events.size() >= static_cast<std::size_t>(kThreads * kEvents)) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    expectEachLoggedOnce(events, kThreads, kEvents);
  }
  platform::testing::useManualClock();
}

// The app is ended on the main thread while loggers on other threads still log events and set
// conditional properties and the worker queue waits for the held database, or writes what it
// kept as the hold has just ended: every event and every property's own event is stored once
// after the next start, whether it went to the journal or to the database.
TEST_F(EventWritingTest, EventsLoggedAsTheAppEndsDuringAHoldAreStoredOnceAfterTheNextStart) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  storage_test::BusyTimeoutForScope wait(20);
  const std::string path = APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName));
  constexpr int kThreads = 4;
  constexpr int kEvents = 40;
  struct Case {
    const char* name;
    bool releasedAsItEnds;
  };
  const Case cases[] = {{"held through the end", false}, {"released as the app ends", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    freshProcess();
    std::error_code ignored;
    for (const auto& file : {path, path + "-journal", APMKeptWritesJournalPath(std::string(kAPMMeasurementDatabaseName))}) {
      std::filesystem::remove(file, ignored);
    }
    configure();
    std::optional<storage_test::LockingConnection> other;
    other.emplace(path, "BEGIN EXCLUSIVE", 30);
    ASSERT_TRUE(other->waitUntilLocked());

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::atomic<int> logged{0};
    std::vector<std::thread> loggers;
    for (int t = 0; t < kThreads; ++t) {
      loggers.emplace_back([t, &logged] {
        for (int i = 0; i < kEvents; ++i) {
          DOREvoredire::logEventWithName("stress", {{"thread", APMObject(t)}, {"i", APMObject(i)}});
          ++logged;
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      });
    }
    // Each set at once, logging its own event.
    loggers.emplace_back([&logged] {
      for (int i = 0; i < kEvents; ++i) {
        auto property = std::make_shared<APMConditionalUserProperty>();
        property->origin = "viam";
        property->value = APMValue::initWithInt64(i);
        property->triggerTimeout = 86400;
        property->timeToLive = 86400;
        property->triggeredEvent =
            APMEvent::initWithOrigin("viam", false, "stress_set", 0, 0, {{"i", APMObject(i)}})->protoEvent();
        APMConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(
            property, "stress_" + std::to_string(i));
        ++logged;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    while (logged < (kThreads + 1) * kEvents / 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (c.releasedAsItEnds) other.reset();
    platform::NotificationCenter::defaultCenter().post(std::string(platform::kApplicationWillTerminateNotification));
    for (auto& logger : loggers) logger.join();
    platform::testing::runUntilIdle();
    onWorker([] {});
    other.reset();
    freshProcess();

    EngineTest::configure();
    std::vector<engine_test::StoredEvent> events;
    std::vector<int> propertiesSet(kEvents, 0);
    const auto storedBy = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < storedBy) {
      platform::testing::runUntilIdle();
      events.clear();
      std::fill(propertiesSet.begin(), propertiesSet.end(), 0);
      int setCount = 0;
      for (auto& event : stored()) {
        if (event.name == "stress_set") {
          const auto i = engine_test::storedInt(event, "i");
          ASSERT_TRUE(i >= 0 && i < kEvents);
          ++propertiesSet[i];
          ++setCount;
        }
        if (event.name == "stress") events.push_back(std::move(event));
      }
      if (events.size() >= static_cast<std::size_t>(kThreads * kEvents) && setCount >= kEvents) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(propertiesSet, std::vector<int>(kEvents, 1));
    expectEachLoggedOnce(events, kThreads, kEvents);
  }
  platform::testing::useManualClock();
}

}  // namespace
