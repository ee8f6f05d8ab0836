// Real threads on the real clock: many threads hand raw-event writes and bundling to the worker
// queue at once, while others read the settings bundling uses; every written event ends up in
// exactly one queued bundle.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

#include "engine_test_fixture.h"
#include "platform/runloop/clock.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/common/apm_foundation_extensions.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"

namespace {

using engine_test::EngineTest;

TEST_F(EngineTest, ConcurrentWritersAndBundlingLoseNoEvent) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  configure();
  const auto engine = APMMeasurement::sharedInstance();
  ASSERT_TRUE(engine && engine->database());
  const auto scheduler = engine->scheduler();
  scheduler->dispatchSyncOnWorkerQueueBlockID("test", [&] {
    for (const char* table : {"raw_events", "raw_events_metadata", "queue"}) {
      engine->database()->store()->executeSQL(std::string("DELETE FROM ") + table, nullptr);
    }
  });
  constexpr int kThreads = 6;
  constexpr int kEvents = 40;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      APMMeasurement::remoteConfig()->uploadMaxEventsPerBundle();
      APMMeasurement::monitor()->isDebugModeEnabled();
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto record = APMPBMeasurementBundle::initWithMessageInfo();
      NANOSetString(record.get(), APMFieldIndex(*record, 14), std::string(engine_test::kAppID));
      NANOSetString(record.get(), APMFieldIndex(*record, 16), std::to_string(t));
      const std::int64_t fingerprint = VULGzip::apm_64LSBMD5(*record->protoBuffer());
      for (int i = 0; i < kEvents; ++i) {
        const double now = platform::Clock::current().now().timeIntervalSince1970();
        auto event = storage_test::event("e" + std::to_string(t), now);
        scheduler->scheduleOnWorkerQueueBlockID("test", [engine, record, event, fingerprint] {
          engine->database()->insertIfNotExistsRawEventMetadata(*record, nullptr);
          engine->database()->insertRawEvent(event.get(), fingerprint, false, nullptr);
        });
        if (i % 5 == 0) scheduler->scheduleOnWorkerQueueBlockID("test", [engine] { engine->bundleRawEvents(); });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::size_t bundled = 0;
  // Bundling checks that it is off the main thread, where a sync block may run.
  scheduler->workerQueue()->async([&] {
    while (engine->bundleRawEvents()) {
    }
    const auto rows = engine->database()->queryBundlesWithCountLimit(100000, INT64_MAX, nullptr);
    ASSERT_TRUE(rows);
    for (const auto& [bundle, rowID] : *rows) {
      bundled += NANOGetArray<APMPBEvent>(bundle.get(), APMFieldIndex(*bundle, 2))->size();
    }
  });
  platform::testing::drain(scheduler->workerQueue());
  stop = true;
  reader.join();
  EXPECT_EQ(bundled, static_cast<std::size_t>(kThreads * kEvents));
  platform::testing::useManualClock();
}

}  // namespace
