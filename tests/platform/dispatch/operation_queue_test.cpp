#include "platform/dispatch/operation_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/foundation/exception.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

using testing::runUntilIdle;

// Records how many operations overlap.
struct Overlap {
  std::atomic<int> running{0};
  std::atomic<int> most{0};
  void enter() {
    const int now = ++running;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
  }
  void leave() { --running; }
};

TEST(OperationQueue, NeverRunsMoreThanTheMaximumAtOnce) {
  struct Case {
    long maximum;
    int operations;
  };
  for (const auto& c : {Case{1, 6}, Case{2, 6}, Case{3, 9}}) {
    SCOPED_TRACE(c.maximum);
    auto queue = OperationQueue::make();
    queue->setMaxConcurrentOperationCount(c.maximum);
    Overlap overlap;
    // The first `maximum` operations wait until all of them run together: the limit is reached,
    // and a queue that ran fewer at once would leave them waiting out their time-out.
    DispatchSemaphore allStarted;
    std::atomic<int> started{0};
    std::mutex orderMutex;
    std::vector<int> order;
    for (int i = 0; i < c.operations; ++i) {
      queue->addOperation([&, i] {
        overlap.enter();
        {
          std::lock_guard lock(orderMutex);
          order.push_back(i);
        }
        if (i < c.maximum) {
          if (++started == c.maximum) {
            for (int k = 0; k < c.maximum; ++k) allStarted.signal();
          }
          allStarted.wait(10);
        }
        overlap.leave();
      });
    }
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(overlap.most.load(), c.maximum);
    EXPECT_EQ(order.size(), static_cast<std::size_t>(c.operations));
    if (c.maximum == 1) {
      for (int i = 0; i < c.operations; ++i) EXPECT_EQ(order[i], i);
    }
    EXPECT_EQ(queue->operationCount(), 0u);
  }
}

TEST(OperationQueue, ASuspendedQueueStartsNothingUntilResumed) {
  auto queue = OperationQueue::make();
  queue->setSuspended(true);
  std::atomic<int> ran{0};
  for (int i = 0; i < 3; ++i) queue->addOperation([&] { ++ran; });
  runUntilIdle();
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(queue->operationCount(), 3u);
  EXPECT_TRUE(queue->isSuspended());
  queue->setSuspended(false);
  runUntilIdle();
  EXPECT_EQ(ran.load(), 3);
  EXPECT_EQ(queue->operationCount(), 0u);
}

TEST(OperationQueue, CancelledOperationsFinishWithoutRunningAndStillCompleteTheirBlocks) {
  auto queue = OperationQueue::make();
  queue->setSuspended(true);
  std::atomic<int> ran{0}, completed{0};
  std::vector<std::shared_ptr<Operation>> operations;
  for (int i = 0; i < 3; ++i) {
    auto operation = BlockOperation::make([&] { ++ran; });
    operation->setCompletionBlock([&] { ++completed; });
    operations.push_back(operation);
  }
  queue->addOperations(operations, false);
  queue->cancelAllOperations();
  queue->setSuspended(false);
  runUntilIdle();
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(completed.load(), 3);
  for (const auto& operation : operations) {
    EXPECT_TRUE(operation->isCancelled());
    EXPECT_TRUE(operation->isFinished());
  }
  EXPECT_EQ(queue->operationCount(), 0u);
}

TEST(OperationQueue, CompletionBlockRunsAfterTheOperationAndIsReleased) {
  auto queue = OperationQueue::make();
  auto owner = std::make_shared<int>(0);
  std::weak_ptr<int> watch = owner;
  std::atomic<bool> finishedWhenCompleted{false};
  auto operation = BlockOperation::make([] {});
  std::weak_ptr<Operation> weakOperation = operation;
  operation->setCompletionBlock([&, owner] {
    if (auto op = weakOperation.lock()) finishedWhenCompleted = op->isFinished();
  });
  owner.reset();
  queue->addOperation(operation);
  runUntilIdle();
  EXPECT_TRUE(finishedWhenCompleted);
  EXPECT_TRUE(watch.expired());
  EXPECT_FALSE(operation->completionBlock());
}

// Finishes later, on its own, like an operation waiting for a network answer.
class DeferredOperation : public Operation {
 public:
  bool isAsynchronous() const override { return true; }
  bool isExecuting() const override {
    std::lock_guard lock(mutex_);
    return executing_;
  }
  bool isFinished() const override {
    std::lock_guard lock(mutex_);
    return finished_;
  }
  void start() override {
    set(true, false);
    started = true;
  }
  void finish() { set(false, true); }
  std::atomic<bool> started{false};

 private:
  void set(bool executing, bool finished) {
    willChangeValueForKey("isExecuting");
    willChangeValueForKey("isFinished");
    {
      std::lock_guard lock(mutex_);
      executing_ = executing;
      finished_ = finished;
    }
    didChangeValueForKey("isExecuting");
    didChangeValueForKey("isFinished");
  }
  mutable std::mutex mutex_;
  bool executing_ = false;
  bool finished_ = false;
};

TEST(OperationQueue, AnAsynchronousOperationHoldsItsSlotUntilItAnnouncesItsEnd) {
  auto queue = OperationQueue::make();
  queue->setMaxConcurrentOperationCount(1);
  auto deferred = std::make_shared<DeferredOperation>();
  std::atomic<bool> completed{false}, nextRan{false};
  deferred->setCompletionBlock([&] { completed = true; });
  queue->addOperation(deferred);
  queue->addOperation([&] { nextRan = true; });
  runUntilIdle();
  EXPECT_TRUE(deferred->started);
  EXPECT_FALSE(nextRan);
  EXPECT_FALSE(completed);
  EXPECT_EQ(queue->operationCount(), 2u);

  DispatchQueue::global()->async([deferred] { deferred->finish(); });
  runUntilIdle();
  EXPECT_TRUE(completed);
  EXPECT_TRUE(nextRan);
  EXPECT_EQ(queue->operationCount(), 0u);
}

TEST(OperationQueue, RunsOnItsUnderlyingQueueAndKnowsItIsCurrent) {
  auto queue = OperationQueue::make();
  auto serial = DispatchQueue::serial("test.underlying");
  queue->setUnderlyingQueue(serial);
  EXPECT_EQ(queue->underlyingQueue(), serial);
  std::atomic<bool> onUnderlying{false}, sawItself{false};
  queue->addOperation([&] {
    onUnderlying = serial->isCurrent();
    sawItself = OperationQueue::current() == queue;
  });
  runUntilIdle();
  EXPECT_TRUE(onUnderlying);
  EXPECT_TRUE(sawItself);
  EXPECT_EQ(OperationQueue::current(), OperationQueue::main()) << "the main thread outside any operation";

  queue->setSuspended(true);
  queue->addOperation([] {});
  EXPECT_THROW(queue->setUnderlyingQueue(nullptr), Exception) << "not while it holds operations";
  queue->setSuspended(false);
}

TEST(OperationQueue, TheMainQueueRunsOperationsOnTheMainThread) {
  std::atomic<bool> onMain{false}, sawMain{false};
  DispatchQueue::global()->async([&] {
    OperationQueue::main()->addOperation([&] {
      onMain = DispatchQueue::isMainThread();
      sawMain = OperationQueue::current() == OperationQueue::main();
    });
  });
  runUntilIdle();
  EXPECT_TRUE(onMain);
  EXPECT_TRUE(sawMain);
}

TEST(OperationQueue, WaitingOnTheMainThreadForTheMainQueueDoesNotDeadlock) {
  std::atomic<int> ran{0};
  OperationQueue::main()->addOperation([&] { ++ran; });
  OperationQueue::main()->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(ran.load(), 1);
}

TEST(OperationQueue, AnOperationGoesOnOneQueueOnce) {
  auto first = OperationQueue::make();
  auto second = OperationQueue::make();
  first->setSuspended(true);
  auto operation = BlockOperation::make([] {});
  first->addOperation(operation);
  EXPECT_THROW(first->addOperation(operation), Exception);
  EXPECT_THROW(second->addOperation(operation), Exception);
  first->setSuspended(false);
  operation->waitUntilFinished();
  EXPECT_TRUE(operation->isFinished());
  EXPECT_THROW(second->addOperation(operation), Exception);
}

}  // namespace
}  // namespace platform

// An uploader-style queue: the first operation's completion block cancels the rest, and the
// queue must not start the next one before that block has run.
TEST(OperationQueueCompletionTest, TheQueueMovesOnOnlyAfterTheCompletionBlock) {
  for (int round = 0; round < 50; ++round) {
    auto queue = platform::OperationQueue::make();
    queue->setMaxConcurrentOperationCount(1);
    queue->setSuspended(true);
    std::atomic<int> started{0};
    auto first = platform::BlockOperation::make([&] { ++started; });
    auto second = platform::BlockOperation::make([&] { ++started; });
    first->setCompletionBlock([&] { queue->cancelAllOperations(); });
    queue->addOperation(first);
    queue->addOperation(second);
    queue->setSuspended(false);
    queue->waitUntilAllOperationsAreFinished();
    platform::testing::runUntilIdle();
    EXPECT_EQ(started.load(), 1) << "round " << round;
  }
}
