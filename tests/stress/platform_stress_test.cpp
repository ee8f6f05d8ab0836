// Many threads on the real clock: creation and destruction racing use, for what the manual-clock
// suites cannot show. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/dispatch_timer_source.h"
#include "platform/dispatch/work_tracker.h"
#include "platform/runloop/clock.h"
#include "platform/runloop/run_loop.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

class Stress : public ::testing::Test {
 protected:
  void SetUp() override { Clock::setCurrent(std::make_shared<RealClock>()); }

  template <class F>
  static void onThreads(int count, F&& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) threads.emplace_back([&body, t] { body(t); });
    for (auto& thread : threads) thread.join();
  }
};

TEST_F(Stress, ASemaphoreDestroyedByTheWaiterThatTookItsSignal) {
  onThreads(8, [](int) {
    for (int i = 0; i < 500; ++i) {
      auto semaphore = std::make_unique<DispatchSemaphore>();
      std::thread signaller([&] { semaphore->signal(); });
      EXPECT_TRUE(semaphore->wait(10));
      semaphore.reset();
      signaller.join();
    }
  });
}

TEST_F(Stress, QueuesAndGroupsMadeUsedAndDroppedOnManyThreads) {
  std::atomic<long> ran{0};
  onThreads(8, [&](int t) {
    for (int i = 0; i < 100; ++i) {
      auto serial = DispatchQueue::serial("stress.serial");
      auto concurrent = DispatchQueue::concurrent("stress.concurrent", i % 2 ? DispatchQueue::global() : nullptr);
      auto group = DispatchGroup::make();
      for (int b = 0; b < 10; ++b) {
        group->async(serial, [&] { ++ran; });
        group->async(concurrent, [&] { ++ran; });
      }
      // In the group too: the test's counter must outlive every block that counts.
      group->enter();
      concurrent->barrierAsync([&ran, group] {
        ++ran;
        group->leave();
      });
      serial->sync([&] { ++ran; });
      if ((t + i) % 3 == 0) concurrent->barrierSync([&] { ++ran; });
      EXPECT_TRUE(group->wait(30));
    }
  });
  EXPECT_GE(ran.load(), 8 * 100 * 22);
}

TEST_F(Stress, RunLoopsStoppedFromOtherThreadsWhileTheirThreadsExit) {
  for (int round = 0; round < 50; ++round) {
    std::vector<std::shared_ptr<RunLoop>> loops(4);
    std::atomic<int> ready{0};
    std::vector<std::thread> owners;
    for (int i = 0; i < 4; ++i) {
      owners.emplace_back([&, i] {
        loops[i] = RunLoop::current();
        ++ready;
        loops[i]->runUntil(Date::now().addingTimeInterval(i % 2 ? 0.001 : 0.02));
      });
    }
    while (ready.load() < 4) std::this_thread::yield();
    // Stopped while some owners are already gone: the loops outlive their threads.
    onThreads(4, [&](int i) { loops[i]->stop(); });
    for (auto& owner : owners) owner.join();
  }
}

TEST_F(Stress, TimerSourcesAndDelayedBlocksFireAndCancelOnManyThreads) {
  std::atomic<int> fired{0};
  onThreads(6, [&](int) {
    auto queue = DispatchQueue::serial("stress.timers");
    for (int i = 0; i < 30; ++i) {
      auto source = DispatchTimerSource::make(queue);
      source->setEventHandler([&] { ++fired; });
      source->setTimer(0.0005, 0.0005);
      source->resume();
      DispatchSemaphore later;
      queue->after(0.001, [&] { later.signal(); });
      EXPECT_TRUE(later.wait(10));
      source->cancel();
    }
    queue->sync([] {});
  });
  EXPECT_GT(fired.load(), 0);
}

// A driver that settles a frame at a time (the terminal's screen) stops waiting for busy queues
// over and over while threads feed them: no block is lost or run twice, and a full settle at the
// end finds everything done.
TEST_F(Stress, SettlesThatStopWaitingForBusyQueuesLoseNoWork) {
  testing::useManualClock();
  constexpr int kThreads = 6;
  constexpr int kBlocks = 200;
  std::atomic<int> onMain{0};
  std::atomic<int> delayed{0};
  std::atomic<int> producersLeft{kThreads};
  auto later = DispatchQueue::concurrent("stress.later");
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&] {
      auto queue = DispatchQueue::serial("stress.busy");
      for (int i = 0; i < kBlocks; ++i) {
        queue->async([&] {
          DispatchQueue::main()->async([&] {
            ++onMain;
            later->after(0.01, [&] { ++delayed; });
          });
        });
      }
      --producersLeft;
    });
  }
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((producersLeft.load() > 0 || onMain.load() < kThreads * kBlocks) && std::chrono::steady_clock::now() < limit) {
    testing::advanceWaitingAtMost(0.005, 0.0005);
    testing::runUntilIdleWaitingAtMost(0);
  }
  for (auto& producer : producers) producer.join();
  testing::advance(1);
  EXPECT_EQ(onMain.load(), kThreads * kBlocks);
  EXPECT_EQ(delayed.load(), kThreads * kBlocks);
}

// Blocks on many queues, nested and not, go in and out of waits outside the process while the
// main thread paces itself by them: every wait gives back exactly what it set aside, so that once
// all is done, a block of own work is seen again.
TEST_F(Stress, WaitsOutsideKeepTheWorkCountsWhole) {
  testing::useManualClock();
  constexpr int kQueues = 8;
  constexpr int kBlocks = 200;
  std::atomic<int> done{0};
  std::vector<std::shared_ptr<DispatchQueue>> queues;
  for (int q = 0; q < kQueues; ++q) {
    queues.push_back(q % 2 ? DispatchQueue::serial("stress.outside", DispatchQueue::serial("stress.target"))
                           : DispatchQueue::concurrent("stress.outside"));
  }
  std::thread producer([&] {
    for (int i = 0; i < kBlocks; ++i) {
      for (auto& queue : queues) {
        queue->async([&, i] {
          if (i % 3 == 0) {
            WaitingOutside waiting;
            std::this_thread::yield();
          }
          ++done;
        });
      }
    }
  });
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (done.load() < kQueues * kBlocks && std::chrono::steady_clock::now() < limit) {
    testing::runUntilIdlePaced(0.001);
  }
  producer.join();
  testing::runUntilIdle();
  EXPECT_EQ(done.load(), kQueues * kBlocks);
  EXPECT_EQ(WorkTracker::outstanding(), 0);
  DispatchSemaphore release;
  queues.front()->async([&] { release.wait(20); });
  EXPECT_EQ(WorkTracker::ownOutstanding(), 1);
  release.signal();
  testing::runUntilIdle();
}

// Threads queue work while the main thread moves virtual time on without waiting for it: each block
// runs as of the moment it was queued, which only grows along one queue, and everything a block
// queues in turn reads exactly what the block read, however far time has moved since.
TEST_F(Stress, BlocksRunAsOfTheMomentTheyWereQueued) {
  testing::useManualClock();
  constexpr int kThreads = 6;
  constexpr int kBlocks = 300;
  const Clock& clock = Clock::current();
  std::atomic<int> done{0};
  std::atomic<int> mismatched{0};
  std::atomic<int> backwards{0};
  std::atomic<int> producersLeft{kThreads};
  auto shared = DispatchQueue::concurrent("stress.moment-shared");
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      auto own = DispatchQueue::serial("stress.moment", t % 2 ? DispatchQueue::serial("stress.moment-target") : nullptr);
      auto last = std::make_shared<double>(0);  // read and written by `own`'s blocks only
      for (int i = 0; i < kBlocks; ++i) {
        own->async([&, own, last, i] {
          const double read = clock.uptime();
          if (read < *last) ++backwards;
          *last = read;
          if (i % 4 == 0) {
            WaitingOutside waiting;
            std::this_thread::yield();
          }
          const auto next = i % 3 == 0 ? DispatchQueue::global() : i % 3 == 1 ? shared : own;
          next->async([&, read] {
            if (clock.uptime() != read) ++mismatched;
            ++done;
          });
        });
      }
      --producersLeft;
    });
  }
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((producersLeft.load() > 0 || done.load() < kThreads * kBlocks) && std::chrono::steady_clock::now() < limit) {
    testing::advancePaced(0.5, 0.0005);
    testing::advanceWaitingAtMost(0.25, 0);
  }
  for (auto& producer : producers) producer.join();
  testing::runUntilIdle();
  EXPECT_EQ(done.load(), kThreads * kBlocks);
  EXPECT_EQ(mismatched.load(), 0);
  EXPECT_EQ(backwards.load(), 0);
}

}  // namespace
}  // namespace platform
