#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/exception.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

using testing::runUntilIdle;

TEST(SerialQueue, KeepsEachSubmittersOrderAndRunsOneBlockAtATime) {
  constexpr int kSubmitters = 8;
  constexpr int kBlocksEach = 5000;
  auto queue = DispatchQueue::serial("test.fifo");
  std::vector<std::pair<int, int>> ran;  // only touched on the queue
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0};

  std::vector<std::thread> submitters;
  for (int s = 0; s < kSubmitters; ++s) {
    submitters.emplace_back([&, s] {
      for (int i = 0; i < kBlocksEach; ++i) {
        queue->async([&, s, i] {
          if (inside.exchange(true)) ++overlaps;
          ran.emplace_back(s, i);
          inside.store(false);
        });
      }
    });
  }
  for (auto& t : submitters) t.join();
  testing::drain(queue);

  EXPECT_EQ(overlaps.load(), 0);
  ASSERT_EQ(ran.size(), static_cast<std::size_t>(kSubmitters * kBlocksEach));
  std::vector<int> next(kSubmitters, 0);
  for (const auto& [s, i] : ran) {
    ASSERT_EQ(i, next[s]) << "submitter " << s << " out of order";
    ++next[s];
  }
}

TEST(SerialQueue, SyncWaitsForEarlierBlocksAndReturnsAResult) {
  auto queue = DispatchQueue::serial("test.sync-order");
  std::vector<int> order;
  DispatchSemaphore gate;
  queue->async([&] {
    gate.wait(10);
    order.push_back(1);
  });
  queue->async([&] { order.push_back(2); });
  gate.signal();
  const int seen = queue->syncResult([&] {
    order.push_back(3);
    return static_cast<int>(order.size());
  });
  EXPECT_EQ(seen, 3);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(SerialQueue, SyncRethrowsTheBlocksExceptionOnTheCaller) {
  auto queue = DispatchQueue::serial("test.sync-throws");
  EXPECT_THROW(queue->sync([] { throw Exception("TestException", "boom"); }), Exception);
  // The queue is free again afterwards.
  int value = 0;
  queue->sync([&] { value = 7; });
  EXPECT_EQ(value, 7);
}

// Each case runs `attempt` where a sync would wait for something this thread itself holds.
struct DeadlockCase {
  const char* name;
  std::function<void(std::function<void()> attempt)> arrange;
  std::function<void()> attempt;
};

TEST(DispatchSync, OntoAQueueThisThreadHoldsThrowsInsteadOfHanging) {
  auto outer = DispatchQueue::serial("test.outer");
  auto inner = DispatchQueue::serial("test.inner", outer);
  auto onMain = DispatchQueue::serial("test.on-main", DispatchQueue::main());
  auto concurrent = DispatchQueue::concurrent("test.concurrent");

  // Runs `attempt` inside a block of `queue` and carries any exception back.
  auto inBlockOf = [](std::shared_ptr<DispatchQueue> queue) {
    return [queue](std::function<void()> attempt) {
      std::exception_ptr error;
      queue->async([&] {
        try {
          attempt();
        } catch (...) {
          error = std::current_exception();
        }
      });
      runUntilIdle();
      if (error) std::rethrow_exception(error);
    };
  };
  auto onMainThread = [](std::function<void()> attempt) { attempt(); };

  const std::vector<DeadlockCase> cases = {
      {"serial onto itself", inBlockOf(outer), [&] { outer->sync([] {}); }},
      {"onto the target of the running queue", inBlockOf(inner), [&] { outer->sync([] {}); }},
      {"onto a queue that targets the running one", inBlockOf(outer), [&] { inner->sync([] {}); }},
      {"main queue from the main thread", onMainThread, [] { DispatchQueue::main()->sync([] {}); }},
      {"queue on the main queue from the main thread", onMainThread, [&] { onMain->sync([] {}); }},
      {"barrier onto the running concurrent queue", inBlockOf(concurrent), [&] { concurrent->barrierSync([] {}); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.arrange(c.attempt);
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.name(), kInternalInconsistencyException);
      EXPECT_NE(e.reason().find("deadlock"), std::string::npos) << e.reason();
    }
  }
}

TEST(DispatchSync, AllowedNestingsRun) {
  auto a = DispatchQueue::serial("test.a");
  auto b = DispatchQueue::serial("test.b");
  auto concurrent = DispatchQueue::concurrent("test.reentrant");
  std::vector<std::string> ran;
  a->async([&] {
    b->sync([&] { ran.push_back("b inside a"); });
    concurrent->sync([&] {
      concurrent->sync([&] { ran.push_back("concurrent inside itself"); });
    });
  });
  runUntilIdle();
  EXPECT_EQ(ran, (std::vector<std::string>{"b inside a", "concurrent inside itself"}));
}

TEST(ConcurrentQueue, RunsBlocksInParallel) {
  auto queue = DispatchQueue::concurrent("test.parallel");
  DispatchSemaphore first, second;
  std::atomic<bool> firstMet{false}, secondMet{false};
  // Each block waits for the other: only parallel execution lets both meet.
  queue->async([&] {
    first.signal();
    firstMet = second.wait(10);
  });
  queue->async([&] {
    second.signal();
    secondMet = first.wait(10);
  });
  runUntilIdle();
  EXPECT_TRUE(firstMet);
  EXPECT_TRUE(secondMet);
}

TEST(ConcurrentQueue, BarrierWaitsForEarlierBlocksAndHoldsBackLaterOnes) {
  auto queue = DispatchQueue::concurrent("test.barrier");
  DispatchSemaphore earlierGate, barrierGate;
  std::atomic<int> earlierRunning{0}, earlierDone{0};
  std::atomic<bool> barrierRunning{false}, barrierDone{false};
  std::atomic<int> runningAtBarrier{-1}, doneAtBarrier{-1};
  std::atomic<int> laterSawBarrierUnfinished{0}, laterRan{0};

  for (int i = 0; i < 3; ++i) {
    queue->async([&] {
      ++earlierRunning;
      earlierGate.wait(10);
      --earlierRunning;
      ++earlierDone;
    });
  }
  queue->barrierAsync([&] {
    runningAtBarrier = earlierRunning.load();
    doneAtBarrier = earlierDone.load();
    barrierRunning = true;
    barrierGate.wait(10);
    barrierDone = true;
  });
  for (int i = 0; i < 3; ++i) {
    queue->async([&] {
      if (!barrierDone) ++laterSawBarrierUnfinished;
      ++laterRan;
    });
  }
  for (int i = 0; i < 3; ++i) earlierGate.signal();
  barrierGate.signal();
  runUntilIdle();

  EXPECT_EQ(runningAtBarrier.load(), 0);
  EXPECT_EQ(doneAtBarrier.load(), 3);
  EXPECT_EQ(laterRan.load(), 3);
  EXPECT_EQ(laterSawBarrierUnfinished.load(), 0);
}

TEST(DispatchQueue, SuspendHoldsBlocksThatHaveNotStarted) {
  struct Case {
    const char* name;
    std::shared_ptr<DispatchQueue> queue;
  };
  const std::vector<Case> cases = {{"serial", DispatchQueue::serial("test.suspend-serial")},
                                   {"concurrent", DispatchQueue::concurrent("test.suspend-concurrent")}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int> ran{0};
    c.queue->suspend();
    c.queue->suspend();
    for (int i = 0; i < 3; ++i) c.queue->async([&] { ++ran; });
    runUntilIdle();  // suspended work does not keep the system busy
    EXPECT_EQ(ran.load(), 0);
    c.queue->resume();
    runUntilIdle();
    EXPECT_EQ(ran.load(), 0) << "suspension counts nest";
    c.queue->resume();
    runUntilIdle();
    EXPECT_EQ(ran.load(), 3);
    EXPECT_THROW(c.queue->resume(), Exception);
  }
}

TEST(SerialQueue, ABlockThatSuspendsItsQueueStopsTheRestOfTheBatch) {
  auto queue = DispatchQueue::serial("test.self-suspend");
  std::vector<int> ran;
  queue->suspend();
  queue->async([&] {
    ran.push_back(1);
    queue->suspend();
  });
  queue->async([&] { ran.push_back(2); });
  queue->async([&] { ran.push_back(3); });
  queue->resume();  // the three blocks now go as one batch
  runUntilIdle();
  EXPECT_EQ(ran, (std::vector<int>{1}));
  queue->resume();
  runUntilIdle();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(DispatchQueue, CurrentAndIsCurrentFollowTheTargetChain) {
  auto outer = DispatchQueue::serial("test.chain-outer");
  auto inner = DispatchQueue::serial("test.chain-inner", outer);
  auto other = DispatchQueue::serial("test.chain-other");
  struct Seen {
    std::string current;
    bool innerCurrent = false, outerCurrent = false, otherCurrent = false, mainCurrent = true, mainThread = true;
  } seen;
  inner->async([&] {
    seen.current = DispatchQueue::current()->label();
    seen.innerCurrent = inner->isCurrent();
    seen.outerCurrent = outer->isCurrent();
    seen.otherCurrent = other->isCurrent();
    seen.mainCurrent = DispatchQueue::main()->isCurrent();
    seen.mainThread = DispatchQueue::isMainThread();
  });
  runUntilIdle();
  EXPECT_EQ(seen.current, "test.chain-inner");
  EXPECT_TRUE(seen.innerCurrent);
  EXPECT_TRUE(seen.outerCurrent);
  EXPECT_FALSE(seen.otherCurrent);
  EXPECT_FALSE(seen.mainCurrent);
  EXPECT_FALSE(seen.mainThread);

  EXPECT_TRUE(DispatchQueue::isMainThread());
  EXPECT_TRUE(DispatchQueue::main()->isCurrent());
  EXPECT_EQ(DispatchQueue::current(), DispatchQueue::main());
  EXPECT_FALSE(outer->isCurrent());
}

TEST(MainQueue, BlocksRunOnlyOnTheMainThreadWhenItIsPumped) {
  std::atomic<int> onMain{0}, elsewhere{0};
  auto record = [&] { DispatchQueue::isMainThread() ? ++onMain : ++elsewhere; };
  DispatchSemaphore posted;
  DispatchQueue::serial("test.to-main")->async([&] {
    for (int i = 0; i < 3; ++i) DispatchQueue::main()->async(record);
    posted.signal();
  });
  ASSERT_TRUE(posted.wait(10));
  EXPECT_EQ(onMain.load(), 0) << "nothing runs the main queue until the main thread pumps it";
  runUntilIdle();
  EXPECT_EQ(onMain.load(), 3);
  EXPECT_EQ(elsewhere.load(), 0);
}

TEST(MainQueue, SyncFromABackgroundQueueRunsOnTheMainThread) {
  auto background = DispatchQueue::serial("test.sync-main");
  std::atomic<bool> ranOnMain{false}, returned{false};
  background->async([&] {
    DispatchQueue::main()->sync([&] { ranOnMain = DispatchQueue::isMainThread(); });
    returned = true;
  });
  runUntilIdle();
  EXPECT_TRUE(ranOnMain);
  EXPECT_TRUE(returned);
}

TEST(DispatchQueue, ASerialQueueTargetingAnotherRunsUnderItsExclusion) {
  auto target = DispatchQueue::serial("test.shared-target");
  auto a = DispatchQueue::serial("test.child-a", target);
  auto b = DispatchQueue::serial("test.child-b", target);
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0}, ran{0};
  auto work = [&] {
    if (inside.exchange(true)) ++overlaps;
    ++ran;
    inside.store(false);
  };
  for (int i = 0; i < 500; ++i) {
    a->async(work);
    b->async(work);
    target->async(work);
  }
  runUntilIdle();
  EXPECT_EQ(ran.load(), 1500);
  EXPECT_EQ(overlaps.load(), 0);
}

TEST(DispatchQueue, ManyBlockedWorkersDoNotStarveTheRest) {
  // More blocks waiting at once than there are cores: the pool must grow for the releaser.
  const int waiters = static_cast<int>(std::thread::hardware_concurrency()) + 4;
  DispatchSemaphore release;
  std::atomic<int> released{0};
  for (int i = 0; i < waiters; ++i) {
    DispatchQueue::global()->async([&] {
      if (release.wait(20)) ++released;
    });
  }
  DispatchQueue::global(QualityOfService::Utility)->async([&] {
    for (int i = 0; i < waiters; ++i) release.signal();
  });
  runUntilIdle();
  EXPECT_EQ(released.load(), waiters);
}

TEST(DispatchQueue, ParkedSyncsBeyondThePoolsOldCapDoNotDeadlock) {
  // Serial queues held by blocks that wait for a release sent after 100 syncs from workers: each
  // sync parks a worker until its queue is free, so the releasing block needs a worker beyond
  // them. One queue, then several, so that syncs also park on queues that free at different times.
  for (const int queues : {1, 7}) {
    SCOPED_TRACE(queues);
    std::vector<std::shared_ptr<DispatchQueue>> held;
    DispatchSemaphore gate;
    DispatchSemaphore finished;
    constexpr int kSyncs = 100;
    std::atomic<int> synced{0};
    for (int q = 0; q < queues; ++q) {
      held.push_back(DispatchQueue::serial("test.held." + std::to_string(q)));
      held.back()->async([&] { gate.wait(60); });
    }
    for (int i = 0; i < kSyncs; ++i) {
      DispatchQueue::global()->async([&, queue = held[static_cast<std::size_t>(i % queues)]] {
        queue->sync([&] { ++synced; });
        finished.signal();
      });
    }
    DispatchQueue::global(QualityOfService::Utility)->async([&] {
      for (int q = 0; q < queues; ++q) gate.signal();
    });
    int done = 0;
    while (done < kSyncs && finished.wait(30)) ++done;
    EXPECT_EQ(done, kSyncs);
    EXPECT_EQ(synced.load(), kSyncs);
  }
}

TEST(DispatchQueue, SyncOntoAnIdleSerialQueueRunsOnTheCallersThread) {
  auto target = DispatchQueue::serial("test.target");
  for (const auto& queue : {DispatchQueue::serial("test.idle"), DispatchQueue::serial("test.targeted", target)}) {
    std::thread::id ranOn;
    queue->sync([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(ranOn, std::this_thread::get_id()) << queue->label();
  }
}

// A free serial queue over a global one needs no worker for a sync: with every worker of the
// pool busy (waiting in a way the pool cannot see), the sync still runs at once.
TEST(DispatchQueue, SyncOntoAFreeSerialQueueOverAGlobalOneNeedsNoWorker) {
  const int width = detail::WorkerPool::width();
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  std::atomic<int> busy{0};
  const auto global = DispatchQueue::global();
  for (int i = 0; i < width; ++i) {
    global->async([&busy, released] {
      ++busy;
      released.wait_for(std::chrono::seconds(60));
    });
  }
  for (int i = 0; i < 6000 && busy.load() < width; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(busy.load(), width);
  const auto queue = DispatchQueue::serial("test.over-global", global);
  auto synced = std::async(std::launch::async, [&] { queue->sync([] {}); });
  const bool ranAtOnce = synced.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  release.set_value();
  EXPECT_TRUE(ranAtOnce) << "the sync waited for a worker";
  synced.wait();
  platform::testing::runUntilIdle();
}

}  // namespace
}  // namespace platform
