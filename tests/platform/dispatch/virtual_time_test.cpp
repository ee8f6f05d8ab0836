// Timed work on virtual time: delayed blocks, run-loop timers, perform requests and timer sources
// fire in due order when the test advances the manual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/dispatch_timer_source.h"
#include "platform/foundation/exception.h"
#include "platform/runloop/run_loop.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

using testing::advance;
using testing::runUntilIdle;

// What fired, and at which uptime, from any thread.
class FiringLog {
 public:
  void add(std::string what) {
    std::lock_guard lock(mutex_);
    entries_.push_back(what + "@" + std::to_string(Clock::current().uptime() - 1000));
  }
  std::vector<std::string> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

std::string at(const char* what, double offset) { return std::string(what) + "@" + std::to_string(offset); }

TEST(VirtualTime, EveryKindOfTimedWorkFiresInDueOrderThenSchedulingOrder) {
  testing::useManualClock();
  FiringLog log;
  auto background = DispatchQueue::serial("test.timed");
  int target = 0;

  DispatchQueue::main()->after(3, [&] { log.add("main after 3"); });
  auto timer = Timer::scheduled(2, false, [&](Timer&) { log.add("timer 2"); });
  RunLoop::main().performAfterDelay(&target, "perform", 2, [&] { log.add("perform 2"); });
  background->after(1, [&] {
    log.add("background after 1");
    // Made while time advances, and due at the same time as the source below, which was
    // scheduled earlier.
    DispatchQueue::main()->after(0.5, [&] { log.add("made during advance 1.5"); });
  });
  auto source = DispatchTimerSource::make(background);
  source->setEventHandler([&] { log.add("source 1.5"); });
  source->setTimer(1.5, 0);
  source->resume();
  DispatchQueue::global()->after(0.25, [&] { log.add("global after 0.25"); });

  advance(1.4);
  EXPECT_EQ(log.entries(), (std::vector<std::string>{at("global after 0.25", 0.25), at("background after 1", 1)}));
  advance(2);
  EXPECT_EQ(log.entries(),
            (std::vector<std::string>{at("global after 0.25", 0.25), at("background after 1", 1),
                                      at("source 1.5", 1.5), at("made during advance 1.5", 1.5), at("timer 2", 2),
                                      at("perform 2", 2), at("main after 3", 3)}));
  EXPECT_DOUBLE_EQ(Clock::current().uptime(), 1003.4);
  source->cancel();
}

TEST(VirtualTime, NothingFiresBeforeItsTimeOrWithoutAdvance) {
  testing::useManualClock();
  std::atomic<int> fired{0};
  DispatchQueue::global()->after(5, [&] { ++fired; });
  auto timer = Timer::scheduled(5, false, [&](Timer&) { ++fired; });
  runUntilIdle();
  advance(4.999);
  EXPECT_EQ(fired.load(), 0);
  advance(0.001);
  EXPECT_EQ(fired.load(), 2);
}

TEST(VirtualTime, RepeatingTimersStayOnTheirGridOverTenThousandTicks) {
  struct Case {
    const char* name;
    double interval;
    int ticks;
  };
  const std::vector<Case> cases = {{"whole seconds", 1.0, 10000}, {"tenths", 0.1, 10000}, {"thirds", 1.0 / 3, 3000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto clock = testing::useManualClock();
    const double start = clock->uptime();
    const Date startDate = clock->now();
    std::vector<double> uptimes;
    std::vector<double> dates;
    auto timer = Timer::scheduled(c.interval, true, [&](Timer&) {
      uptimes.push_back(Clock::current().uptime());
      dates.push_back(Date::now().timeIntervalSince(startDate));
    });
    std::vector<double> sourceUptimes;
    auto source = DispatchTimerSource::make(DispatchQueue::serial("test.grid"));
    source->setEventHandler([&] { sourceUptimes.push_back(Clock::current().uptime()); });
    source->setTimer(c.interval, c.interval);
    source->resume();

    advance(c.interval * c.ticks);

    ASSERT_EQ(uptimes.size(), static_cast<std::size_t>(c.ticks));
    ASSERT_EQ(sourceUptimes.size(), static_cast<std::size_t>(c.ticks));
    for (int k = 1; k <= c.ticks; ++k) {
      const double expected = start + k * c.interval;
      ASSERT_NEAR(uptimes[k - 1], expected, 1e-9) << "timer tick " << k;
      ASSERT_NEAR(sourceUptimes[k - 1], expected, 1e-9) << "source tick " << k;
      ASSERT_NEAR(dates[k - 1], k * c.interval, 1e-6) << "wall date of tick " << k;
    }
    if (c.interval == 1.0) {
      EXPECT_EQ(uptimes.back(), start + c.ticks) << "whole seconds land exactly";
    }
    timer->invalidate();
    source->cancel();
  }
}

TEST(RunLoopTimer, InvalidateStopsItAndReleasesItsBlock) {
  testing::useManualClock();
  auto owner = std::make_shared<int>(0);
  std::weak_ptr<int> watch = owner;
  int fired = 0;
  auto timer = Timer::scheduled(1, true, [&fired, owner](Timer&) { ++fired; }, Value("info"));
  owner.reset();
  EXPECT_EQ(timer->userInfo(), Value("info"));
  EXPECT_EQ(timer->fireDate(), Date::now().addingTimeInterval(1));
  advance(2);
  EXPECT_EQ(fired, 2);
  EXPECT_EQ(timer->fireDate(), Date::now().addingTimeInterval(1));
  timer->invalidate();
  EXPECT_FALSE(timer->isValid());
  EXPECT_TRUE(watch.expired());
  advance(5);
  EXPECT_EQ(fired, 2);
}

TEST(RunLoopTimer, ABlockThatThrowsReachesTheTestAndTheTimerKeepsItsSchedule) {
  testing::useManualClock();
  int fired = 0;
  auto timer = Timer::scheduled(1, true, [&](Timer&) {
    if (++fired == 1) throw Exception("TestException", "from a timer");
  });
  EXPECT_THROW(advance(1), Exception);
  advance(1);
  EXPECT_EQ(fired, 2);
  timer->invalidate();
}

TEST(RunLoopTimer, ATimerCanInvalidateItselfFromItsBlock) {
  testing::useManualClock();
  int fired = 0;
  Timer::scheduled(1, true, [&](Timer& self) {
    if (++fired == 3) self.invalidate();
  });
  advance(10);
  EXPECT_EQ(fired, 3);
}

TEST(RunLoopTimer, FireRunsNowWithoutMovingTheSchedule) {
  struct Case {
    bool repeats;
    int firedAfterAdvance;
    bool validAfterFire;
  };
  for (const auto& c : {Case{true, 2, true}, Case{false, 1, false}}) {
    SCOPED_TRACE(c.repeats ? "repeating" : "one-shot");
    testing::useManualClock();
    int fired = 0;
    auto timer = Timer::scheduled(2, c.repeats, [&](Timer&) { ++fired; });
    timer->fire();
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(timer->isValid(), c.validAfterFire);
    advance(2);
    EXPECT_EQ(fired, c.firedAfterAdvance);
    timer->invalidate();
  }
}

TEST(RunLoopTimer, MadeTimersFireOnlyOnceAdded) {
  testing::useManualClock();
  int fired = 0;
  auto timer = Timer::make(1, false, [&](Timer&) { ++fired; });
  advance(3);
  EXPECT_EQ(fired, 0);
  RunLoop::main().addTimer(timer);
  RunLoop::main().addTimer(timer);  // a second add changes nothing
  runUntilIdle();
  EXPECT_EQ(fired, 1) << "its fire date passed while it waited";
  advance(5);
  EXPECT_EQ(fired, 1);
}

TEST(RunLoop, ASuspendedLoopFiresNothingAndCatchesUpOnceOnResume) {
  testing::useManualClock();
  const double start = Clock::current().uptime();
  std::vector<double> repeating;
  int oneShot = 0;
  auto tick = Timer::scheduled(1, true, [&](Timer&) { repeating.push_back(Clock::current().uptime() - start); });
  auto once = Timer::scheduled(2.5, false, [&](Timer&) { ++oneShot; });
  std::atomic<int> mainBlocks{0};

  RunLoop::main().setSuspended(true);
  EXPECT_TRUE(RunLoop::main().isSuspended());
  DispatchQueue::main()->async([&] { ++mainBlocks; });
  advance(10.5);
  EXPECT_TRUE(repeating.empty());
  EXPECT_EQ(oneShot, 0);
  EXPECT_EQ(mainBlocks.load(), 1) << "the main queue still runs; only timers pause";

  RunLoop::main().setSuspended(false);
  runUntilIdle();
  EXPECT_EQ(repeating, (std::vector<double>{10.5}));
  EXPECT_EQ(oneShot, 1);
  advance(0.4);
  EXPECT_EQ(repeating.size(), 1u);
  advance(0.1);
  EXPECT_EQ(repeating, (std::vector<double>{10.5, 11}));
  advance(1);
  EXPECT_EQ(repeating, (std::vector<double>{10.5, 11, 12}));
  EXPECT_EQ(oneShot, 1);
  tick->invalidate();
}

TEST(RunLoop, CancelPreviousPerformRequestsDropsOnlyTheMatchingOnes) {
  struct Case {
    const char* name;
    int cancelTarget;  // index into targets
    const char* action;
    std::vector<std::string> fired;
  };
  const std::vector<Case> cases = {
      {"target and action", 0, "refresh", {"a.save", "b.refresh"}},
      {"every action of a target", 0, "", {"b.refresh"}},
      {"other target", 1, "refresh", {"a.refresh", "a.save"}},
      {"unknown action", 0, "missing", {"a.refresh", "a.save", "b.refresh"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::useManualClock();
    int targets[2] = {0, 0};
    std::vector<std::string> fired;
    RunLoop& loop = RunLoop::main();
    loop.performAfterDelay(&targets[0], "refresh", 1, [&] { fired.push_back("a.refresh"); });
    loop.performAfterDelay(&targets[0], "save", 1, [&] { fired.push_back("a.save"); });
    loop.performAfterDelay(&targets[1], "refresh", 1, [&] { fired.push_back("b.refresh"); });
    advance(0.5);
    loop.cancelPreviousPerformRequests(&targets[c.cancelTarget], c.action);
    advance(1);
    EXPECT_EQ(fired, c.fired);
  }
}

TEST(RunLoop, AThreadsLoopThatNeverRunsNeverFiresItsTimers) {
  testing::useManualClock();
  std::atomic<int> fired{0};
  std::atomic<bool> scheduledOnMain{true};
  auto background = DispatchQueue::serial("test.no-run-loop");
  background->async([&] {
    scheduledOnMain = RunLoop::current().get() == &RunLoop::main();
    Timer::scheduled(1, true, [&](Timer&) { ++fired; });
    RunLoop::current()->performAfterDelay(nullptr, "later", 1, [&] { ++fired; });
  });
  runUntilIdle();
  advance(10);
  EXPECT_FALSE(scheduledOnMain);
  EXPECT_EQ(fired.load(), 0);
}

TEST(RunLoop, AThreadRunningItsOwnLoopFiresItsTimersOnThatThread) {
  testing::useManualClock();
  std::atomic<int> fired{0};
  std::atomic<bool> onThatThread{true};
  std::atomic<bool> reachedLimit{false};
  DispatchSemaphore ready;
  std::thread thread([&] {
    const auto self = std::this_thread::get_id();
    auto timer = Timer::scheduled(1, true, [&](Timer&) {
      ++fired;
      if (std::this_thread::get_id() != self) onThatThread = false;
    });
    const Date limit = Date::now().addingTimeInterval(3);
    ready.signal();
    reachedLimit = RunLoop::current()->runUntil(limit);
    timer->invalidate();
  });
  ASSERT_TRUE(ready.wait(10));
  advance(3);  // wakes the thread's loop for each tick, then at its limit
  thread.join();
  EXPECT_TRUE(reachedLimit);
  EXPECT_GE(fired.load(), 1);
  EXPECT_LE(fired.load(), 3);
  EXPECT_TRUE(onThatThread);
}

// Reads the manual clock, but holds the loop thread's second read (its first look at its limit,
// after it found nothing to do) until the test has moved time past that limit.
class ClockHeldAtTheLimitCheck final : public Clock {
 public:
  explicit ClockHeldAtTheLimitCheck(std::shared_ptr<testing::ManualClock> clock) : clock_(std::move(clock)) {}
  Date now() const override { return clock_->now(); }
  double uptime() const override {
    if (std::this_thread::get_id() == loopThread && ++loopReads == 2) {
      held.signal();
      EXPECT_TRUE(released.wait(10));
    }
    return clock_->uptime();
  }
  double secondsSinceBoot() const override { return clock_->secondsSinceBoot(); }
  bool isManual() const override { return true; }

  std::atomic<std::thread::id> loopThread;
  mutable std::atomic<int> loopReads{0};
  mutable DispatchSemaphore held;
  mutable DispatchSemaphore released;

 private:
  std::shared_ptr<testing::ManualClock> clock_;
};

TEST(RunLoop, ATimerThatFellDueBeforeTheLimitFiresBeforeRunUntilReturns) {
  const auto manual = testing::useManualClock();
  const auto clock = std::make_shared<ClockHeldAtTheLimitCheck>(manual);
  Clock::setCurrent(clock);
  std::atomic<int> fired{0};
  std::atomic<bool> reachedLimit{false};
  std::thread thread([&] {
    auto timer = Timer::scheduled(1, false, [&](Timer&) { ++fired; });
    const Date limit = Date::now().addingTimeInterval(3);
    clock->loopThread = std::this_thread::get_id();
    reachedLimit = RunLoop::current()->runUntil(limit);
    timer->invalidate();
  });
  ASSERT_TRUE(clock->held.wait(10));
  Clock::setCurrent(manual);
  advance(3);  // the timer falls due while the loop is between its pass and its look at the limit
  clock->released.signal();
  thread.join();
  EXPECT_TRUE(reachedLimit);
  EXPECT_EQ(fired.load(), 1);
}

TEST(RunLoop, RunUntilOnTheMainThreadMovesVirtualTime) {
  testing::useManualClock();
  std::vector<std::string> fired;
  DispatchQueue::main()->after(1, [&] { fired.push_back("after 1"); });
  auto timer = Timer::scheduled(2, false, [&](Timer&) { fired.push_back("timer 2"); });
  DispatchQueue::main()->after(5, [&] { fired.push_back("after 5"); });
  EXPECT_TRUE(RunLoop::main().runUntil(Date::now().addingTimeInterval(2.5)));
  EXPECT_EQ(fired, (std::vector<std::string>{"after 1", "timer 2"}));
  EXPECT_DOUBLE_EQ(Clock::current().uptime(), 1002.5);
}

TEST(RunLoop, StopEndsRun) {
  testing::useManualClock();
  int ran = 0;
  DispatchQueue::main()->async([&] {
    ++ran;
    RunLoop::main().stop();
  });
  RunLoop::main().run();
  EXPECT_EQ(ran, 1);
}

TEST(TimerSource, FiresOnItsIntervalUntilCancelledThenRunsTheCancelHandlerOnce) {
  testing::useManualClock();
  auto queue = DispatchQueue::serial("test.source");
  FiringLog log;
  auto source = DispatchTimerSource::make(queue);
  auto owner = std::make_shared<int>(0);
  std::weak_ptr<int> watch = owner;
  source->setEventHandler([&log, owner] { log.add("tick"); });
  owner.reset();
  std::atomic<int> cancels{0};
  source->setCancelHandler([&] { ++cancels; });
  source->setTimer(1, 2);

  advance(5);
  EXPECT_TRUE(log.entries().empty()) << "a source is made suspended";
  source->resume();
  // The first event fell due while suspended and comes at once; then the grid 1 + 2k.
  advance(6);
  EXPECT_EQ(log.entries(),
            (std::vector<std::string>{at("tick", 5), at("tick", 7), at("tick", 9), at("tick", 11)}));

  source->cancel();
  source->cancel();
  EXPECT_TRUE(source->isCancelled());
  advance(10);
  EXPECT_EQ(log.entries().size(), 4u);
  EXPECT_EQ(cancels.load(), 1);
  EXPECT_TRUE(watch.expired()) << "cancel releases the event handler";
}

TEST(TimerSource, SuspensionCollapsesMissedEventsIntoOne) {
  testing::useManualClock();
  std::vector<double> events;
  auto source = DispatchTimerSource::make(DispatchQueue::serial("test.source-suspend"));
  source->setEventHandler([&] { events.push_back(Clock::current().uptime() - 1000); });
  source->setTimer(1, 1);
  source->resume();
  advance(2);
  source->suspend();
  advance(5);
  EXPECT_EQ(events, (std::vector<double>{1, 2}));
  source->resume();
  runUntilIdle();
  EXPECT_EQ(events, (std::vector<double>{1, 2, 7}));
  advance(1);
  EXPECT_EQ(events, (std::vector<double>{1, 2, 7, 8}));
  source->cancel();
}

TEST(TimerSource, SettingTheTimerAgainStartsANewGrid) {
  testing::useManualClock();
  std::vector<double> events;
  auto source = DispatchTimerSource::make(DispatchQueue::serial("test.source-reset"));
  source->setEventHandler([&] { events.push_back(Clock::current().uptime() - 1000); });
  source->setTimer(2, 2);
  source->resume();
  advance(3);
  source->setTimer(0.5, 0);  // one event only
  advance(10);
  EXPECT_EQ(events, (std::vector<double>{2, 3.5}));
  source->cancel();
}

TEST(RealClock, TimedWorkFiresByItselfWhenTimePasses) {
  Clock::setCurrent(std::make_shared<RealClock>());
  EXPECT_NEAR(Date::now().timeIntervalSince1970(), static_cast<double>(std::time(nullptr)), 5);

  DispatchSemaphore fired;
  DispatchQueue::serial("test.real-after")->after(0.005, [&] { fired.signal(); });
  EXPECT_TRUE(fired.wait(10));

  int ticks = 0;
  Timer::scheduled(0.005, true, [&](Timer& timer) {
    if (++ticks < 3) return;
    timer.invalidate();
    RunLoop::main().stop();
  });
  const bool reachedLimit = RunLoop::main().runUntil(Date::now().addingTimeInterval(10));
  EXPECT_FALSE(reachedLimit) << "stopped by the timer long before the limit";
  EXPECT_EQ(ticks, 3);
  testing::useManualClock();
}

// A queue asleep on the clock leaves the system idle, so virtual time can pass it; the sleeper
// runs on exactly when its time has come, and is waited for again from then on.
TEST(VirtualTime, SleepOnTheClockLetsTimePassItsSleeper) {
  auto queue = DispatchQueue::serial("sleeper");
  std::atomic<int> stage{0};
  queue->async([&] {
    stage = 1;
    sleepOnClock(10);
    stage = 2;
  });
  queue->async([&] { stage = 3; });
  testing::runUntilIdle();  // returns: the sleeper does not count
  EXPECT_EQ(stage.load(), 1);
  testing::advance(9.9);
  EXPECT_EQ(stage.load(), 1);
  testing::advance(0.2);
  EXPECT_EQ(stage.load(), 3);
}

}  // namespace
}  // namespace platform
