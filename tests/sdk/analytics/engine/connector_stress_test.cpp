// Real threads on the real clock: listeners of one connector come and go from many threads while
// logged events are relayed from the facade's queue; afterwards the table is consistent.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine_test_fixture.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/engine/dor_evoredire_connector.h"

namespace {

using engine_test::EngineTest;

class CountingListener final : public DOREvoredireInteropListener {
 public:
  void messageTriggered(const std::string& name, const platform::Value::Dictionary&) override {
    if (name == "final") ++finals;
    ++received;
  }
  std::atomic<int> received{0};
  std::atomic<int> finals{0};
};

TEST_F(EngineTest, ListenersComeAndGoWhileEventsAreRelayed) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  DOREvoredireConnector::load();
  configure();
  auto connector = std::make_shared<DOREvoredireConnector>();
  const std::string origins[] = {"clx", "viam", "crash"};
  std::atomic<bool> stop{false};

  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      const std::string& origin = origins[t % 3];
      for (int i = 0; i < 150; ++i) {
        connector->registerAnalyticsListener(std::make_shared<CountingListener>(), origin);
        if (i % 3 == 0) connector->unregisterAnalyticsListenerWithOrigin(origin);
      }
    });
  }
  std::thread logger([&] {
    int i = 0;
    while (!stop) {
      connector->logEventWithOrigin(origins[i % 3], "breadcrumb", {{"n", platform::Value(i)}});
      DOREvoredire::logEventWithName("tick", {});
      ++i;
      std::this_thread::yield();
    }
  });
  // Connectors made and dropped for each lookup, with listeners still registered.
  std::thread churn([&] {
    for (int i = 0; i < 50; ++i) {
      auto shortLived = std::make_shared<DOREvoredireConnector>();
      shortLived->registerAnalyticsListener(std::make_shared<CountingListener>(), "clx");
    }
  });
  for (auto& thread : threads) thread.join();
  churn.join();
  stop = true;
  logger.join();
  platform::testing::runUntilIdle();

  for (const auto& origin : origins) connector->unregisterAnalyticsListenerWithOrigin(origin);
  auto last = std::make_shared<CountingListener>();
  connector->registerAnalyticsListener(last, "clx");
  connector->logEventWithOrigin("clx", "final", {});
  platform::testing::runUntilIdle();
  EXPECT_EQ(last->finals, 1);
  EXPECT_EQ(last->received, 1);
  platform::testing::useManualClock();
}

}  // namespace
