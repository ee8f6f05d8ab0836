#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/runloop/clock.h"
#include "sdk/analytics/storage/apme_manager.h"
#include "tests/sdk/analytics/monitor_recorder.h"
#include "tests/sdk/analytics/storage/experiment_test_support.h"

namespace {

using platform::Value;

// Lookups, registrations, fetch results, activations and resets from many real threads at once.
TEST(APMEManagerStressTest, ManyThreadsShareOneManager) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  MonitorRecorder recorder;
  recorder.monitor()->setLogLevel(0);
  auto manager = APMEManager::initWithTaskManager(nullptr);
  auto taskManager = APMETaskManager::initWithQueue(nullptr, nullptr, nullptr, "", 0);
  auto client = manager->registerSDKProperty(std::make_shared<APMESDKProperty>("sdk"), {{"f", Value(std::int64_t{1})}});
  ASSERT_TRUE(client);

  std::atomic<bool> sawBadValue{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        switch ((t + i) % 5) {
          case 0: {
            const Value value = client->valueForFlag("f");
            if (!value.isNull() && value.integerValue() != 1 && value.integerValue() != 2) sawBadValue = true;
            break;
          }
          case 1:
            manager->taskManagerDidFinishFetching(*taskManager, {experiment_test::snapshot("sdk", {{3, {{"f", 2}}}})},
                                                  {});
            break;
          case 2:
            client->activateLatestSnapshot(nullptr);
            break;
          case 3:
            manager->registerSDKProperty(std::make_shared<APMESDKProperty>("other" + std::to_string(t)),
                                         {{"g", Value(std::int64_t{i})}});
            (void)manager->experimentIDs();
            break;
          default:
            (void)client->hasStaleSnapshot();
            if (i % 50 == 0) manager->reset();
            break;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  manager->dispatchSyncOnSerialQueue([] {});
  EXPECT_FALSE(sawBadValue);
  EXPECT_TRUE(manager->clientForSDKName("other0"));
}

}  // namespace
