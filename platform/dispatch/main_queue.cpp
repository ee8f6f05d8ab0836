#include <exception>
#include <iterator>

#include "platform/dispatch/main_thread.h"
#include "platform/dispatch/on_unwind.h"
#include "platform/dispatch/queue_impl.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/thread_safety.h"
#include "platform/runloop/clock.h"

namespace platform::detail {

MainQueue::MainQueue() : QueueImpl("main", nullptr) {}

void MainQueue::async(Block block) {
  block = atMomentOfQueueing(std::move(block), true);
  bool first = false;
  {
    MutexLock lock(mutex_);
    // Blocks already waiting have woken the main thread, which takes them all at once.
    first = items_.empty();
    items_.push_back(std::move(block));
  }
  if (first) mainWaker().notify();
}

void MainQueue::sync(const Block& block) {
  if (DispatchQueue::isMainThread()) {
    throw Exception(std::string(kInternalInconsistencyException),
                    "dispatch sync onto the main queue from the main thread would deadlock");
  }
  struct Done {
    Mutex mutex;
    ConditionVariable changed;
    bool finished GUARDED_BY(mutex) = false;
    std::exception_ptr error GUARDED_BY(mutex);
  };
  auto done = std::make_shared<Done>();
  async([done, &block] {
    std::exception_ptr error;
    try {
      block();
    } catch (...) {
      error = std::current_exception();
    }
    {
      MutexLock lock(done->mutex);
      done->error = std::move(error);
      done->finished = true;
    }
    done->changed.notify_all();
  });
  WorkerPool::Blocking blocking;
  MutexLock lock(done->mutex);
  while (!done->finished) done->changed.wait(lock);
  if (done->error) std::rethrow_exception(done->error);
}

bool MainQueue::drain() {
  // The main queue is serial: a block that waits on the main thread does not let later blocks
  // run meanwhile. Only on a manual clock (tests, where the test thread is the main thread and
  // the only one to move time) may a wait inside a block drain the queue again.
  if (drainDepth_ > 0 && !Clock::current().isManual()) return false;
  // A local batch, for the nested drain allowed on a manual clock.
  std::vector<Block> batch;
  {
    MutexLock lock(mutex_);
    if (suspendCount_ > 0 || items_.empty()) return false;
    batch.swap(items_);
  }
  QueueScope scope(this);
  ++drainDepth_;
  struct Leave {
    int& depth;
    ~Leave() { --depth; }
  } leave{drainDepth_};
  std::size_t i = 0;
  auto giveBack = [&](std::size_t from) {
    if (from >= batch.size()) return;
    MutexLock lock(mutex_);
    items_.insert(items_.begin(), std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(from)),
                  std::make_move_iterator(batch.end()));
  };
  {
    OnUnwind endTheBatch([&] { giveBack(i + 1); });
    for (; i < batch.size(); ++i) {
      if (isSuspended()) break;
      batch[i]();
      batch[i] = nullptr;
    }
  }
  giveBack(i);
  return true;
}

bool MainQueue::hasWork() const {
  MutexLock lock(mutex_);
  return suspendCount_ == 0 && !items_.empty();
}

void MainQueue::suspend() {
  MutexLock lock(mutex_);
  ++suspendCount_;
}

void MainQueue::resume() {
  {
    MutexLock lock(mutex_);
    if (suspendCount_ == 0) {
      throw Exception(std::string(kInternalInconsistencyException), "resume of the main queue, which is not suspended");
    }
    --suspendCount_;
  }
  mainWaker().notify();
}

bool MainQueue::isSuspended() const {
  MutexLock lock(mutex_);
  return suspendCount_ > 0;
}

bool MainQueue::isIdle() const {
  MutexLock lock(mutex_);
  return items_.empty();
}

bool drainMainQueue() { return mainQueue()->drain(); }

bool mainQueueHasWork() { return mainQueue()->hasWork(); }

}  // namespace platform::detail
