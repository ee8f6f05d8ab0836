#include "platform/dispatch/main_thread.h"
#include "platform/dispatch/queue_impl.h"
#include "platform/dispatch/work_tracker.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"

namespace platform::detail {

// Ends a block's turn on the queue however the block ends.
class ConcurrentQueue::Finish {
 public:
  Finish(ConcurrentQueue* queue, bool barrier) : queue_(queue), barrier_(barrier) {}
  ~Finish() { queue_->blockDone(barrier_); }
  Finish(const Finish&) = delete;
  Finish& operator=(const Finish&) = delete;

 private:
  ConcurrentQueue* queue_;
  bool barrier_;
};

ConcurrentQueue::ConcurrentQueue(std::string label, std::shared_ptr<QueueImpl> target, bool global)
    : QueueImpl(std::move(label), std::move(target)), global_(global) {}

void ConcurrentQueue::enqueue(Block block, bool barrier) {
  block = atMomentOfQueueing(std::move(block));
  if (global_) {
    WorkTracker::begin();
    globalInFlight_.fetch_add(1, std::memory_order_relaxed);
    WorkerPool::shared().push(std::move(block), this);
    return;
  }
  std::vector<Block> start;
  {
    MutexLock lock(mutex_);
    items_.push_back(Item{std::move(block), barrier});
    pumpLocked(start);
    updateBusyLocked();
  }
  submitAll(start);
}

void ConcurrentQueue::pumpLocked(std::vector<Block>& start) {
  auto self = std::static_pointer_cast<ConcurrentQueue>(shared_from_this());
  while (suspendCount_ == 0 && !barrierRunning_ && !items_.empty()) {
    Item& front = items_.front();
    if (front.barrier) {
      if (running_ > 0) break;
      barrierRunning_ = true;
    }
    ++running_;
    const bool barrier = front.barrier;
    start.push_back([self, block = std::move(front.block), barrier]() mutable {
      Finish finish(self.get(), barrier);
      // Declared after `finish`, so the block's captures are gone before the queue counts the
      // block as done.
      Block run = std::move(block);
      QueueScope scope(self.get());
      run();
    });
    items_.pop_front();
    if (barrier) break;
  }
}

void ConcurrentQueue::updateBusyLocked() {
  const bool busy = running_ > 0 || (suspendCount_ == 0 && !items_.empty());
  if (busy == busy_) return;
  busy_ = busy;
  if (busy) {
    WorkTracker::begin();
  } else {
    WorkTracker::end();
  }
}

void ConcurrentQueue::runWork(std::function<void()>& work) {
  {
    QueueScope scope(this);
    work();
  }
  work = nullptr;  // the block's captures go before the block counts as done
  globalBlockDone();
}

void ConcurrentQueue::globalBlockDone() {
  // A drain of a global queue waits for it to go idle.
  if (globalInFlight_.fetch_sub(1, std::memory_order_acq_rel) == 1) mainWaker().notify();
  WorkTracker::end();
}

void ConcurrentQueue::blockDone(bool barrier) {
  std::vector<Block> start;
  {
    MutexLock lock(mutex_);
    --running_;
    if (barrier) barrierRunning_ = false;
    pumpLocked(start);
    updateBusyLocked();
  }
  submitAll(start);
}

void ConcurrentQueue::submitAll(std::vector<Block>& start) {
  for (auto& work : start) submitToTarget(std::move(work));
}

bool ConcurrentQueue::runInlineIfFree(const Block& block, bool barrier) {
  if (global_) {
    WorkTracker::begin();
    globalInFlight_.fetch_add(1, std::memory_order_relaxed);
    struct Done {
      ConcurrentQueue* queue;
      ~Done() { queue->globalBlockDone(); }
    } done{this};
    QueueScope scope(this);
    block();
    return true;
  }
  if (target() && !target()->isGlobal()) return false;
  {
    MutexLock lock(mutex_);
    // A block of this queue may sync onto it again without waiting behind queued barriers.
    const bool reentrant = !barrier && isCurrent();
    if (!reentrant) {
      if (suspendCount_ > 0 || barrierRunning_ || !items_.empty()) return false;
      if (barrier && running_ > 0) return false;
    }
    ++running_;
    if (barrier) barrierRunning_ = true;
    updateBusyLocked();
  }
  Finish finish(this, barrier);
  QueueScope scope(this);
  block();
  return true;
}

void ConcurrentQueue::suspend() {
  if (global_) return;  // global queues cannot be suspended
  MutexLock lock(mutex_);
  ++suspendCount_;
  updateBusyLocked();
}

void ConcurrentQueue::resume() {
  if (global_) return;
  std::vector<Block> start;
  {
    MutexLock lock(mutex_);
    if (suspendCount_ == 0) {
      throw Exception(std::string(kInternalInconsistencyException),
                      format("resume of queue \"%s\", which is not suspended", label()));
    }
    --suspendCount_;
    pumpLocked(start);
    updateBusyLocked();
  }
  submitAll(start);
}

bool ConcurrentQueue::isSuspended() const {
  MutexLock lock(mutex_);
  return suspendCount_ > 0;
}

bool ConcurrentQueue::isIdle() const {
  if (global_) return globalInFlight_.load(std::memory_order_acquire) == 0;
  MutexLock lock(mutex_);
  return running_ == 0 && items_.empty();
}

}  // namespace platform::detail
