#include <iterator>

#include "platform/dispatch/on_unwind.h"
#include "platform/dispatch/queue_impl.h"
#include "platform/dispatch/work_tracker.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"

namespace platform::detail {

SerialQueue::SerialQueue(std::string label, std::shared_ptr<QueueImpl> target)
    : QueueImpl(std::move(label), std::move(target)) {}

void SerialQueue::async(Block block) {
  block = atMomentOfQueueing(std::move(block));
  bool start = false;
  {
    MutexLock lock(mutex_);
    items_.push_back(std::move(block));
    if (!scheduled_ && suspendCount_.load(std::memory_order_relaxed) == 0) {
      scheduled_ = true;
      // Counted before the lock is released, so the count never reads idle while this block
      // waits: a drain that just emptied the queue ends its own count only after unlocking.
      WorkTracker::begin();
      start = true;
    }
  }
  if (start) scheduleDrain();
}

void SerialQueue::scheduleDrain() {
  auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
  submitToTarget([self] { self->drain(); });
}

void SerialQueue::drain() {
  QueueScope scope(this);
  for (;;) {
    {
      MutexLock lock(mutex_);
      if (items_.empty() || suspendCount_.load(std::memory_order_relaxed) > 0) break;
      batch_.swap(items_);
    }
    // The whole batch runs without taking the lock again; only a suspension stops it early.
    const std::size_t count = batch_.size();
    std::size_t i = 0;
    {
      // A block that throws ends the batch, and the rest goes back to the queue for whoever
      // catches the exception (on a worker nothing does, and the process ends).
      OnUnwind endTheBatch([&] {
        batch_[i] = nullptr;
        giveBack(i + 1);
        release();
      });
      for (; i < count; ++i) {
        if (suspendCount_.load(std::memory_order_relaxed) > 0) break;
        batch_[i]();
        batch_[i] = nullptr;  // the block's captures go now, not at the end of the batch
      }
    }
    giveBack(i);
    if (target()) {
      // Queues sharing a target take turns between batches.
      release();
      return;
    }
  }
  release();
}

void SerialQueue::giveBack(std::size_t from) {
  if (from < batch_.size()) {
    MutexLock lock(mutex_);
    items_.insert(items_.begin(), std::make_move_iterator(batch_.begin() + static_cast<std::ptrdiff_t>(from)),
                  std::make_move_iterator(batch_.end()));
  }
  batch_.clear();
}

void SerialQueue::release() {
  bool again = false;
  {
    MutexLock lock(mutex_);
    again = !items_.empty() && suspendCount_.load(std::memory_order_relaxed) == 0;
    if (!again) scheduled_ = false;
  }
  if (again) {
    scheduleDrain();  // still taken and still counted
  } else {
    WorkTracker::end();
  }
}

bool SerialQueue::runInlineIfFree(const Block& block, bool) {
  // A serial target would have to be taken too; a global one keeps no order to wait for.
  if (target() && !target()->isGlobal()) return false;
  {
    MutexLock lock(mutex_);
    if (scheduled_ || !items_.empty() || suspendCount_.load(std::memory_order_relaxed) > 0) return false;
    scheduled_ = true;
    WorkTracker::begin();
  }
  {
    OnUnwind freeTheQueue([this] { release(); });
    QueueScope scope(this);
    block();
  }
  release();
  return true;
}

void SerialQueue::suspend() {
  MutexLock lock(mutex_);
  suspendCount_.fetch_add(1, std::memory_order_relaxed);
}

void SerialQueue::resume() {
  bool start = false;
  {
    MutexLock lock(mutex_);
    const int count = suspendCount_.load(std::memory_order_relaxed);
    if (count == 0) {
      throw Exception(std::string(kInternalInconsistencyException),
                      format("resume of queue \"%s\", which is not suspended", label()));
    }
    suspendCount_.store(count - 1, std::memory_order_relaxed);
    if (count == 1 && !scheduled_ && !items_.empty()) {
      scheduled_ = true;
      WorkTracker::begin();
      start = true;
    }
  }
  if (start) scheduleDrain();
}

bool SerialQueue::isSuspended() const { return suspendCount_.load(std::memory_order_relaxed) > 0; }

bool SerialQueue::isIdle() const {
  MutexLock lock(mutex_);
  return !scheduled_ && items_.empty();
}

}  // namespace platform::detail
