// Groups, semaphores and once tokens.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/exception.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

using testing::runUntilIdle;

TEST(DispatchGroup, NotifyRunsOnceAfterEveryMemberLeft) {
  auto group = DispatchGroup::make();
  auto queue = DispatchQueue::concurrent("test.group");
  DispatchSemaphore gate;
  std::atomic<int> done{0};
  std::atomic<int> doneAtNotify{-1};
  std::atomic<int> notified{0};
  for (int i = 0; i < 4; ++i) {
    group->async(queue, [&] {
      gate.wait(10);
      ++done;
    });
  }
  group->enter();  // work outside the group's blocks, finished on the main queue
  group->notify(DispatchQueue::main(), [&] {
    doneAtNotify = done.load();
    ++notified;
  });
  for (int i = 0; i < 4; ++i) gate.signal();
  runUntilIdle();
  EXPECT_EQ(notified.load(), 0) << "one member has not left yet";
  DispatchQueue::main()->async([&] { group->leave(); });
  runUntilIdle();
  EXPECT_EQ(notified.load(), 1);
  EXPECT_EQ(doneAtNotify.load(), 4);
}

TEST(DispatchGroup, NotifyOnAnEmptyGroupRunsAtOnce) {
  auto group = DispatchGroup::make();
  bool ran = false;
  group->notify(DispatchQueue::main(), [&] { ran = true; });
  runUntilIdle();
  EXPECT_TRUE(ran);
}

TEST(DispatchGroup, WaitReportsWhetherTheGroupEmptiedInTime) {
  struct Case {
    const char* name;
    bool leaveFromBackground;
    double timeout;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"emptied by a background queue", true, 10, true},
      {"never emptied, short time-out", false, 0.01, false},
      {"never emptied, zero time-out", false, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto group = DispatchGroup::make();
    group->enter();
    DispatchSemaphore waiting;
    if (c.leaveFromBackground) {
      DispatchQueue::global()->async([&] {
        waiting.wait(10);
        group->leave();
      });
    }
    waiting.signal();
    EXPECT_EQ(group->wait(c.timeout), c.expected);
    if (!c.expected) group->leave();
    runUntilIdle();
  }
}

TEST(DispatchGroup, WaitOnTheMainThreadKeepsTheMainQueueRunning) {
  auto group = DispatchGroup::make();
  group->enter();
  DispatchQueue::global()->async([group] { DispatchQueue::main()->async([group] { group->leave(); }); });
  EXPECT_TRUE(group->wait(10)) << "the leave waits on the main queue, which the waiting thread drains";
}

TEST(DispatchGroup, WaitOffTheMainThread) {
  auto group = DispatchGroup::make();
  std::atomic<bool> waited{false};
  group->enter();
  DispatchQueue::global()->async([&] { waited = group->wait(10); });
  DispatchQueue::serial("test.leaver")->async([group] { group->leave(); });
  runUntilIdle();
  EXPECT_TRUE(waited);
}

TEST(DispatchGroup, UnbalancedLeaveThrows) {
  auto group = DispatchGroup::make();
  EXPECT_THROW(group->leave(), Exception);
}

TEST(DispatchSemaphore, WaitTakesACountOrTimesOut) {
  struct Case {
    const char* name;
    long initial;
    int signalsFromAnotherThread;
    std::vector<bool> waits;  // results of successive short waits
  };
  const std::vector<Case> cases = {
      {"empty", 0, 0, {false}},
      {"one count", 1, 0, {true, false}},
      {"counts add up", 2, 1, {true, true, true, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DispatchSemaphore semaphore(c.initial);
    std::thread signaller([&] {
      for (int i = 0; i < c.signalsFromAnotherThread; ++i) semaphore.signal();
    });
    signaller.join();
    for (std::size_t i = 0; i < c.waits.size(); ++i) {
      EXPECT_EQ(semaphore.wait(c.waits[i] ? 10 : 0.01), c.waits[i]) << "wait " << i;
    }
  }
}

TEST(DispatchSemaphore, ASignalWakesAWaiterOnAnotherThread) {
  DispatchSemaphore semaphore;
  std::atomic<bool> woke{false};
  std::thread waiter([&] { woke = semaphore.wait(); });
  semaphore.signal();
  waiter.join();
  EXPECT_TRUE(woke);
}

TEST(DispatchOnce, RunsOncePerTokenAcrossThreadsAndAgainAfterReset) {
  DispatchOnce once;
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] { once.call([&] { ++calls; }); });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(calls.load(), 1);
  once.call([&] { ++calls; });
  EXPECT_EQ(calls.load(), 1);
  once.reset();
  once.call([&] { ++calls; });
  EXPECT_EQ(calls.load(), 2);
}

}  // namespace
}  // namespace platform
