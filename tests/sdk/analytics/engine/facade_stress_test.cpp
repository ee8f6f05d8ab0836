// Real threads on the real clock: many callers log at once while listeners come and go; every
// event arrives once, in the order of its timestamp.
#include <gtest/gtest.h>

#include <thread>

#include "engine_test_fixture.h"
#include "platform/runloop/clock.h"

namespace {

using engine_test::EngineTest;

TEST_F(EngineTest, ConcurrentCallersKeepTimestampOrder) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  configure();
  recordEvents();
  constexpr int kThreads = 8;
  constexpr int kEvents = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEvents; ++i) {
        DOREvoredire::logEventWithName("tick", {{"thread", APMObject(t)}, {"n", APMObject(i)}});
        if (i % 10 == 0) {
          const auto token = APMAnalytics::addLogEventListener([](const auto&) {});
          APMAnalytics::removeLogEventListener(token);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto logged = events();
  ASSERT_EQ(logged.size(), static_cast<std::size_t>(kThreads * kEvents));
  std::vector<int> next(kThreads, 0);
  for (std::size_t i = 0; i < logged.size(); ++i) {
    if (i) {
      EXPECT_GE(logged[i].timestamp, logged[i - 1].timestamp);
    }
    const auto t = engine_test::intParameter(logged[i], "thread");
    ASSERT_GE(t, 0);
    EXPECT_EQ(engine_test::intParameter(logged[i], "n"), next[t]++);
  }
  platform::testing::useManualClock();
}

}  // namespace
