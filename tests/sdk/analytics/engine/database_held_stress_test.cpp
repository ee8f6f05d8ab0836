// Real threads on the real clock: another connection holds the measurement database while the
// engine starts, and lets go while several threads log events. The start is tried again on the
// worker queue, and every event, logged before or after the release, is stored exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "event_writing_fixture.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"

namespace {

using engine_test::EventWritingTest;

TEST_F(EventWritingTest, EventsLoggedFromManyThreadsWhileTheHeldDatabaseIsReleasedAreAllStored) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  storage_test::BusyTimeoutForScope wait(20);
  const std::string path = APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName));
  platform::Error error;
  ASSERT_TRUE(storage_test::openDatabase(&error)) << error.description();
  std::optional<storage_test::LockingConnection> other(std::in_place, path, "BEGIN EXCLUSIVE", 30);
  ASSERT_TRUE(other->waitUntilLocked());
  EngineTest::configure();

  constexpr int kThreads = 6;
  constexpr int kEvents = 50;
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
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (logged < kThreads * kEvents / 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  other.reset();
  for (auto& logger : loggers) logger.join();

  // The first retry is due a second after the failed start; an event after that tries too.
  std::vector<engine_test::StoredEvent> events;
  while (std::chrono::steady_clock::now() < deadline) {
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
  std::vector<std::vector<int>> seen(kThreads, std::vector<int>(kEvents, 0));
  for (const auto& event : events) {
    const auto t = engine_test::storedInt(event, "thread");
    const auto i = engine_test::storedInt(event, "i");
    ASSERT_TRUE(t >= 0 && t < kThreads && i >= 0 && i < kEvents);
    ++seen[t][i];
  }
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(seen[t], std::vector<int>(kEvents, 1)) << "thread " << t;
  }
  platform::testing::useManualClock();
}

}  // namespace
