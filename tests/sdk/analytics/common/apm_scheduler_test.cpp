#include "sdk/analytics/common/apm_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/exception.h"
#include "platform/testing/testing.h"
#include "tests/sdk/analytics/monitor_recorder.h"

namespace {

class APMAlarmTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::DispatchQueue> queue_ = platform::DispatchQueue::serial("alarm-test");
  MonitorRecorder recorder_;
};

TEST_F(APMAlarmTest, FiresOnceAfterItsDelayAndReportsFiredThenCanceledBeforeTheBlock) {
  APMAlarm alarm(queue_, "Measurement timer");
  std::vector<std::string> order;
  bool activeInside = true;
  bool scheduledInside = true;
  queue_->sync([&] {
    alarm.runAfterDelay(10, [&] {
      activeInside = alarm.hasActiveTimer();
      scheduledInside = alarm.scheduledTimestamp().has_value();
      order = recorder_.messages();
    });
  });
  EXPECT_TRUE(alarm.hasActiveTimer());
  EXPECT_EQ(alarm.scheduledTimestamp()->timeIntervalSince1970(),
            platform::Clock::current().now().timeIntervalSince1970() + 10);
  platform::testing::advance(9.5);
  EXPECT_TRUE(order.empty());
  platform::testing::advance(0.5);
  EXPECT_EQ(order, (std::vector<std::string>{"Measurement timer scheduled to fire in approx. (s)",
                                             "Measurement timer fired", "Measurement timer canceled"}));
  EXPECT_FALSE(activeInside);
  EXPECT_FALSE(scheduledInside);
  platform::testing::advance(100);
  EXPECT_EQ(recorder_.codes(), (std::vector<std::int64_t>{2002, 2001, 2003}));
}

TEST_F(APMAlarmTest, ReArmingReplacesTheTimerAndOnlyTheSecondBlockRuns) {
  APMAlarm alarm(queue_, "");
  int first = 0, second = 0;
  queue_->sync([&] {
    alarm.runAfterDelay(5, [&] { ++first; });
    alarm.runAfterDelay(20, [&] { ++second; });
  });
  platform::testing::advance(10);
  EXPECT_EQ(first + second, 0);
  platform::testing::advance(10);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(recorder_.codes(), (std::vector<std::int64_t>{2002, 2003, 2002, 2001, 2003}));
  EXPECT_EQ(recorder_.messages()[0], "Timer scheduled to fire in approx. (s)");
}

TEST_F(APMAlarmTest, CancelAndMisuse) {
  APMAlarm alarm(queue_, "A");
  int runs = 0;
  queue_->sync([&] {
    alarm.cancel();  // idle: silent
    alarm.runAfterDelay(1, [&] { ++runs; });
    alarm.runAfterDelay(1, nullptr);  // refused, the armed timer stays
  });
  EXPECT_EQ(recorder_.codes(), (std::vector<std::int64_t>{2002, 2000}));
  queue_->sync([&] { alarm.cancel(); });
  platform::testing::advance(5);
  EXPECT_EQ(runs, 0);
  EXPECT_FALSE(alarm.scheduledTimestamp().has_value());
  EXPECT_EQ(recorder_.codes().back(), 2003);
}

TEST_F(APMAlarmTest, BlockMayReArmItsOwnAlarm) {
  APMAlarm alarm(queue_, "Retry");
  int runs = 0;
  std::function<void()> block = [&] {
    if (++runs < 3) alarm.runAfterDelay(1, block);
  };
  queue_->sync([&] { alarm.runAfterDelay(1, block); });
  platform::testing::advance(5);
  EXPECT_EQ(runs, 3);
}

TEST(APMSchedulerTest, ExceptionsInBlocksAreLoggedAndTheQueueGoesOn) {
  MonitorRecorder recorder;
  APMScheduler scheduler{std::string(kAPMWorkerQueueLabel)};
  EXPECT_EQ(scheduler.workerQueue()->label(), "com.videzu.vuda.worker");
  std::atomic<int> ran{0};
  // The nil block is refused on the caller's thread; scheduling it first keeps the order of the
  // lines independent of when the worker runs.
  scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:3", nullptr);
  scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:1",
                                         [] { throw platform::Exception("NSGenericException", "bad"); });
  scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:2", [&] { ++ran; });
  platform::testing::drain(scheduler.workerQueue());
  EXPECT_EQ(ran, 1);
  scheduler.dispatchSyncOnWorkerQueueBlockID("APMMeasurement:4", [] { throw std::runtime_error("sync"); });
  scheduler.dispatchSyncOnWorkerQueueBlockID("APMMeasurement:5", [&] { ++ran; });
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(recorder.codes(), (std::vector<std::int64_t>{30005, 30000, 30003, 30004}));
  EXPECT_EQ(recorder.lines()[1].message, "Exception on worker queue. Block ID=APMMeasurement:1. Exception");
  EXPECT_EQ(recorder.lines()[3].message, "Synchronous task failed. Block ID=APMMeasurement:4");
}

TEST(APMSchedulerTest, BackgroundCheckRefusesTheMainThread) {
  MonitorRecorder recorder;
  EXPECT_FALSE(APMScheduler::checkOnBackgroundThreadWithMethodName(""));
  EXPECT_EQ(recorder.lines().at(0).message, "Method <empty method name> should execute on background thread");
  bool background = false;
  std::thread([&] { background = APMScheduler::checkOnBackgroundThreadWithMethodName("uploadOnWorkerQueue"); }).join();
  EXPECT_TRUE(background);
}

// Real threads and the real clock: many producers feed the worker queue while alarms on it are
// armed, re-armed and cancelled and fire.
TEST(APMSchedulerStressTest, ProducersAndAlarmsOnRealThreads) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  MonitorRecorder recorder;
  {
    APMScheduler scheduler("stress.worker");
    std::vector<std::unique_ptr<APMAlarm>> alarms;
    for (int i = 0; i < 4; ++i) alarms.push_back(std::make_unique<APMAlarm>(scheduler.workerQueue(), "Stress"));
    std::atomic<int> blocks{0};
    std::atomic<int> fired{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < 6; ++t) {
      producers.emplace_back([&, t] {
        for (int i = 0; i < 200; ++i) {
          scheduler.scheduleOnWorkerQueueBlockID("stress", [&, t, i] {
            ++blocks;
            APMAlarm& alarm = *alarms[(t + i) % alarms.size()];
            if (i % 3 == 0) {
              alarm.cancel();
            } else {
              alarm.runAfterDelay(0.0005 * (i % 4), [&] { ++fired; });
            }
          });
          if (i % 50 == 0) scheduler.dispatchSyncOnWorkerQueueBlockID("stress-sync", [&] { ++blocks; });
        }
      });
    }
    for (auto& p : producers) p.join();
    platform::testing::drain(scheduler.workerQueue());
    EXPECT_EQ(blocks, 6 * 200 + 6 * 4);
    scheduler.workerQueue()->sync([&] { alarms.clear(); });
  }
  platform::testing::useManualClock();
}

}  // namespace
