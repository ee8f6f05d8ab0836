// The drivers tests stand on: runUntilIdle, advance, drain and a fresh timeline per test.
#include "platform/testing/testing.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/dispatch_timer_source.h"
#include "platform/dispatch/work_tracker.h"
#include "platform/foundation/exception.h"
#include "platform/runloop/run_loop.h"

namespace platform {
namespace {

using testing::advance;
using testing::runUntilIdle;

TEST(RunUntilIdle, FollowsWorkAcrossQueuesAndBackToTheMainThread) {
  std::vector<std::string> steps;  // appended in a chain, one step at a time
  auto first = DispatchQueue::serial("test.first");
  auto second = DispatchQueue::concurrent("test.second");
  first->async([&] {
    steps.push_back("first");
    second->async([&] {
      steps.push_back("second");
      DispatchQueue::main()->async([&] {
        steps.push_back("main");
        DispatchQueue::global()->async([&] {
          steps.push_back("global");
          DispatchQueue::main()->async([&] { steps.push_back("main again"); });
        });
      });
    });
  });
  runUntilIdle();
  EXPECT_EQ(steps, (std::vector<std::string>{"first", "second", "main", "global", "main again"}));
}

TEST(RunUntilIdle, WaitsForPendingWorkHeldOffTheQueues) {
  std::atomic<bool> delivered{false};
  DispatchSemaphore started;
  auto pending = std::make_shared<PendingWork>();
  std::thread transfer([&, pending]() mutable {
    started.wait(10);
    DispatchQueue::main()->async([&] { delivered = true; });
    pending->finish();
  });
  pending.reset();
  started.signal();
  runUntilIdle();
  EXPECT_TRUE(delivered);
  transfer.join();
}

TEST(RunUntilIdle, DoesNotWaitForWorkThatIsNotDueYet) {
  std::atomic<int> ran{0};
  DispatchQueue::global()->after(60, [&] { ++ran; });
  auto timer = Timer::scheduled(60, false, [&](Timer&) { ++ran; });
  runUntilIdle();
  EXPECT_EQ(ran.load(), 0);
  advance(60);
  EXPECT_EQ(ran.load(), 2);
}

TEST(RunUntilIdle, AnExceptionFromAMainQueueBlockReachesTheTestAndLaterBlocksStillRun) {
  std::vector<int> ran;
  DispatchQueue::main()->async([&] { ran.push_back(1); });
  DispatchQueue::main()->async([] { throw Exception("TestException", "from a block"); });
  DispatchQueue::main()->async([&] { ran.push_back(3); });
  EXPECT_THROW(runUntilIdle(), Exception);
  runUntilIdle();
  EXPECT_EQ(ran, (std::vector<int>{1, 3}));
}

TEST(Advance, FiresWorkMadeDuringTheAdvanceWhenItFallsDueInside) {
  testing::useManualClock();
  std::vector<double> fired;
  auto queue = DispatchQueue::serial("test.chain");
  std::function<void()> step = [&] {
    fired.push_back(Clock::current().uptime() - 1000);
    if (fired.size() < 5) queue->after(1, step);
  };
  queue->after(1, step);
  advance(3.5);
  EXPECT_EQ(fired, (std::vector<double>{1, 2, 3}));
  advance(10);
  EXPECT_EQ(fired, (std::vector<double>{1, 2, 3, 4, 5}));
  EXPECT_DOUBLE_EQ(Clock::current().uptime(), 1013.5);
}

TEST(Advance, RefusesToRunBackwardsOrOffTheMainThreadOrOnARealClock) {
  testing::useManualClock();
  EXPECT_THROW(advance(-1), Exception);

  std::atomic<bool> threw{false};
  DispatchQueue::global()->async([&] {
    try {
      advance(1);
    } catch (const Exception&) {
      threw = true;
    }
  });
  runUntilIdle();
  EXPECT_TRUE(threw);

  Clock::setCurrent(std::make_shared<RealClock>());
  EXPECT_THROW(advance(1), Exception);
  testing::useManualClock();
}

// A driver that must stay responsive (the terminal's screen) settles and advances while a queue
// is held: the main thread's own work and timed work still run in order, the held queue's later
// blocks wait for it, and once it is free everything catches up.
TEST(WaitingAtMost, TheMainThreadGoesOnWhileAQueueIsHeldAndCatchesUpAfter) {
  testing::useManualClock();
  auto held = DispatchQueue::serial("test.held");
  DispatchSemaphore entered;
  DispatchSemaphore release;
  std::atomic<bool> releasedInTime{false};
  std::atomic<bool> behindRan{false};
  held->async([&] {
    entered.signal();
    // Bounded, so that a driver that waits for this queue fails the test instead of hanging it.
    releasedInTime = release.wait(20);
  });
  held->async([&] { behindRan = true; });
  ASSERT_TRUE(entered.wait(10));

  std::vector<std::string> main;
  DispatchQueue::main()->async([&] { main.push_back("block"); });
  EXPECT_FALSE(testing::runUntilIdleWaitingAtMost(0.01));
  auto timer = Timer::scheduled(1, true, [&](Timer&) { main.push_back("timer"); });
  EXPECT_FALSE(testing::advanceWaitingAtMost(2.5, 0.01));
  EXPECT_EQ(main, (std::vector<std::string>{"block", "timer", "timer"}));
  EXPECT_DOUBLE_EQ(Clock::current().uptime(), 1002.5);
  EXPECT_FALSE(behindRan);

  release.signal();
  EXPECT_TRUE(testing::runUntilIdleWaitingAtMost(10));
  EXPECT_TRUE(behindRan);
  EXPECT_TRUE(releasedInTime) << "a driver waited for the held queue";
  timer->invalidate();
}

// A driver that keeps pace with a user (the terminal's screen) never lets virtual time run ahead
// of the process's own background work: a chain of slow ticks on a background queue (a sensor's)
// sees each tick at its own time however little the driver waits per call. Work waiting on
// another process or a server is not waited for: time moves on past a queue that does.
TEST(Paced, TimeWaitsForOwnWorkButNotForWorkWaitingOutside) {
  testing::useManualClock();
  const double start = Clock::current().uptime();
  auto sensor = DispatchQueue::serial("test.sensor");
  std::vector<double> ticks;  // written by the chain, one tick at a time, read once it is done
  std::function<void()> tick = [&] {
    ticks.push_back(Clock::current().uptime() - start);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    if (ticks.size() < 10) sensor->after(0.1, tick);
  };
  sensor->after(0.1, tick);

  // Nested queues, so that every count the waiting block holds is set aside.
  auto held = DispatchQueue::serial("test.held", DispatchQueue::serial("test.target"));
  DispatchSemaphore entered;
  DispatchSemaphore release;
  std::atomic<bool> releasedInTime{false};
  held->async([&] {
    WaitingOutside waiting;
    entered.signal();
    releasedInTime = release.wait(20);
  });
  ASSERT_TRUE(entered.wait(10));

  double owed = 1.05;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (owed > 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), limit) << "time never caught up";
    owed -= testing::advancePaced(owed, 0.0005);
  }
  ASSERT_EQ(ticks.size(), 10u);
  for (std::size_t i = 0; i < ticks.size(); ++i) EXPECT_NEAR(ticks[i], 0.1 * static_cast<double>(i + 1), 1e-9) << i;
  EXPECT_TRUE(testing::runUntilIdlePaced(10));
  EXPECT_GT(WorkTracker::outstanding(), 0);
  EXPECT_EQ(WorkTracker::ownOutstanding(), 0);
  EXPECT_DOUBLE_EQ(testing::advancePaced(5, 0.01), 5);

  release.signal();
  runUntilIdle();
  EXPECT_TRUE(releasedInTime) << "a paced driver waited for the queue waiting outside";
  EXPECT_EQ(WorkTracker::outstanding(), 0);
}

// A paced driver moves time on past a queue whose block waits outside the process (the user asks
// for two hours while another process holds a file), yet the block queued behind that one runs as
// of the moment it was queued, and so does what it queues in turn (through the main queue too, and
// later by as much as it asks for or sleeps): what they stamp is the time of the user's action, not
// of when the queue got to it.
TEST(Paced, WorkQueuedBehindAWaitOutsideRunsAsOfItsQueueing) {
  const struct {
    const char* name;
    std::function<std::shared_ptr<DispatchQueue>()> make;
    bool barrier;  // the waiting block is a barrier, which the block behind it waits for
  } cases[] = {
      {"serial", [] { return DispatchQueue::serial("test.held"); }, false},
      {"serial on a serial target",
       [] { return DispatchQueue::serial("test.held", DispatchQueue::serial("test.target")); }, false},
      {"concurrent behind a barrier", [] { return DispatchQueue::concurrent("test.held"); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::useManualClock();
    const Clock& clock = Clock::current();
    const double start = clock.uptime();
    const Date startDate = clock.now();
    auto queue = c.make();
    DispatchSemaphore entered;
    DispatchSemaphore release;
    std::atomic<bool> releasedInTime{false};
    auto waitOutside = [&] {
      WaitingOutside waiting;
      entered.signal();
      releasedInTime = release.wait(20);
    };
    if (c.barrier) {
      queue->barrierAsync(waitOutside);
    } else {
      queue->async(waitOutside);
    }
    ASSERT_TRUE(entered.wait(10));
    EXPECT_DOUBLE_EQ(testing::advancePaced(3, 0.01), 3);

    // The user's action, 3 s in: its work lands behind the waiting block.
    std::atomic<double> behind{-1};
    std::atomic<double> behindDate{-1};
    std::atomic<double> queuedOn{-1};
    std::atomic<double> afterSleep{-1};
    std::atomic<double> onMain{-1};
    std::atomic<double> delayed{-1};
    auto other = DispatchQueue::serial("test.other");
    queue->async([&] {
      behind = clock.uptime() - start;
      behindDate = clock.now().timeIntervalSince(startDate);
      other->async([&] { queuedOn = clock.uptime() - start; });
      DispatchQueue::main()->async([&] {
        onMain = clock.uptime() - start;
        DispatchQueue::global()->after(1, [&] { delayed = clock.uptime() - start; });
      });
      sleepOnClock(2);
      afterSleep = clock.uptime() - start;
    });
    EXPECT_DOUBLE_EQ(testing::advancePaced(7200, 0.01), 7200) << "the driver waited for the held queue";
    release.signal();
    runUntilIdle();
    EXPECT_TRUE(releasedInTime);
    EXPECT_DOUBLE_EQ(behind.load(), 3);
    EXPECT_DOUBLE_EQ(behindDate.load(), 3);
    EXPECT_DOUBLE_EQ(queuedOn.load(), 3);
    EXPECT_DOUBLE_EQ(afterSleep.load(), 5);
    EXPECT_DOUBLE_EQ(onMain.load(), 3);
    EXPECT_DOUBLE_EQ(delayed.load(), 4);
    // The present is everybody's again for work queued now.
    std::atomic<double> now{-1};
    queue->async([&] { now = clock.uptime() - start; });
    runUntilIdle();
    EXPECT_DOUBLE_EQ(now.load(), 7203);
    EXPECT_DOUBLE_EQ(clock.uptime() - start, 7203);
  }
}

TEST(UseManualClock, StartsAFreshTimeline) {
  testing::useManualClock();
  std::atomic<int> stale{0};
  DispatchQueue::global()->after(1, [&] { ++stale; });
  auto timer = Timer::scheduled(1, true, [&](Timer&) { ++stale; });
  auto source = DispatchTimerSource::make(DispatchQueue::global());
  source->setEventHandler([&] { ++stale; });
  source->setTimer(1, 1);
  source->resume();
  RunLoop::main().setSuspended(true);

  auto clock = testing::useManualClock();
  EXPECT_EQ(testing::manualClock(), clock);
  EXPECT_FALSE(RunLoop::main().isSuspended());
  EXPECT_FALSE(timer->isValid());
  advance(10);
  EXPECT_EQ(stale.load(), 0);
}

TEST(Drain, WaitsForEverythingSubmittedSoFar) {
  struct Case {
    const char* name;
    std::shared_ptr<DispatchQueue> queue;
  };
  const std::vector<Case> cases = {
      {"serial", DispatchQueue::serial("test.drain-serial")},
      {"concurrent", DispatchQueue::concurrent("test.drain-concurrent")},
      {"global", DispatchQueue::global(QualityOfService::Background)},
      {"main", DispatchQueue::main()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int> ran{0};
    for (int i = 0; i < 50; ++i) c.queue->async([&] { ++ran; });
    testing::drain(c.queue);
    EXPECT_EQ(ran.load(), 50);
  }
}

TEST(Drain, OfASuspendedQueueThrowsInsteadOfWaitingForever) {
  auto queue = DispatchQueue::serial("test.drain-suspended");
  queue->suspend();
  queue->async([] {});
  EXPECT_THROW(testing::drain(queue), Exception);
  queue->resume();
}

// A child that never ends costs its test the time limit, not the whole run: it is killed and
// reaped, and the answer says it did not end by itself.
TEST(WaitForChild, GivesTheStatusOrKillsAChildThatOutlivesTheLimit) {
  const struct {
    const char* name;
    bool hangs;
  } cases[] = {{"exits", false}, {"hangs", true}};
  for (const auto& c : cases) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (c.hangs) ::pause();
      ::_exit(7);
    }
    const auto status = testing::waitForChild(pid, c.hangs ? 0.2 : 30);
    if (c.hangs) {
      EXPECT_FALSE(status) << c.name;
      EXPECT_EQ(::kill(pid, 0), -1) << c.name << ": the child is gone, reaped";
    } else {
      ASSERT_TRUE(status) << c.name;
      EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 7) << c.name;
    }
  }
}

// A pipe read gives what the writer sent, says when the writer went away, and gives up at the
// limit when the writer is still there but silent.
TEST(ReadFromPipe, CompletesOrTellsAClosedPipeFromASilentOne) {
  const struct {
    const char* name;
    std::string written;
    bool closeWriter;
    testing::PipeRead expected;
  } cases[] = {
      {"all there", "abcd", false, testing::PipeRead::Complete},
      {"writer gone part way", "ab", true, testing::PipeRead::Closed},
      {"writer gone", "", true, testing::PipeRead::Closed},
      {"writer silent", "ab", false, testing::PipeRead::TimedOut},
  };
  for (const auto& c : cases) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], c.written.data(), c.written.size()), static_cast<ssize_t>(c.written.size()));
    if (c.closeWriter) ::close(fds[1]);
    char buffer[4] = {};
    EXPECT_EQ(testing::readFromPipe(fds[0], buffer, sizeof buffer, 0.1), c.expected) << c.name;
    if (c.expected == testing::PipeRead::Complete) {
      EXPECT_EQ(std::string(buffer, sizeof buffer), c.written) << c.name;
    }
    ::close(fds[0]);
    if (!c.closeWriter) ::close(fds[1]);
  }
}

}  // namespace
}  // namespace platform
