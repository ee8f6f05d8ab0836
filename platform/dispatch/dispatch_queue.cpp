#include "platform/dispatch/dispatch_queue.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "platform/dispatch/queue_impl.h"
#include "platform/dispatch/thread_hooks.h"
#include "platform/dispatch/worker_pool.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/thread_safety.h"
#include "platform/runloop/clock.h"
#include "platform/runloop/timeline.h"
#include "platform/runloop/virtual_time.h"

namespace platform {

namespace detail {

namespace {

// Queues whose blocks this thread is running, innermost last.
thread_local std::vector<const QueueImpl*> t_running;

// The meeting point of a sync caller and its turn on the queue: the queue's work item waits in
// place (keeping the queue and its targets taken) while the caller runs the block on its own
// thread, so that the caller keeps every queue it already holds.
struct SyncTurn {
  Mutex mutex;
  ConditionVariable changed;
  bool started GUARDED_BY(mutex) = false;
  bool finished GUARDED_BY(mutex) = false;
};

}  // namespace

DispatchQueue::Block atMomentOfQueueing(DispatchQueue::Block block, bool forMainThread) {
  const WorkMoment moment = workMomentNow();
  if (!moment.clock || (forMainThread && !moment.ofWork)) return block;
  return [moment, block = std::move(block)] {
    AtWorkMoment at(moment);
    block();
  };
}

long queuesRunningOnThisThread() {
  // The main queue is not counted as work in flight: it is what waits for that work.
  return static_cast<long>(std::count_if(t_running.begin(), t_running.end(), [](const QueueImpl* q) { return !q->isMain(); }));
}

QueueScope::QueueScope(const QueueImpl* queue) {
  t_running.push_back(queue);
  dispatch::detail::setCurrentQueueLabel(queue->label().c_str());
}
QueueScope::~QueueScope() {
  t_running.pop_back();
  dispatch::detail::setCurrentQueueLabel(t_running.empty() ? nullptr : t_running.back()->label().c_str());
}

QueueImpl::QueueImpl(std::string label, std::shared_ptr<QueueImpl> target)
    : label_(std::move(label)), target_(std::move(target)) {}

bool QueueImpl::isCurrent() const {
  if (isMain()) return DispatchQueue::isMainThread();
  for (const QueueImpl* running : t_running) {
    for (const QueueImpl* q = running; q; q = q->target_.get()) {
      if (q == this) return true;
    }
  }
  return false;
}

void QueueImpl::after(double seconds, Block block) {
  if (std::isinf(seconds) && seconds > 0) return;  // "never"
  if (!(seconds > 0)) {
    async(std::move(block));
    return;
  }
  auto self = std::static_pointer_cast<QueueImpl>(shared_from_this());
  // Queued when due, as of the moment it is due for the work that asked (which may run late).
  WorkMoment due = workMomentNow();
  due.uptime += seconds;
  Timeline::shared().schedule(Clock::current().uptime() + seconds, [self, block = std::move(block), due]() mutable {
    AtWorkMoment at(due);
    self->async(std::move(block));
  });
}

void QueueImpl::sync(const Block& block) { syncImpl(block, false); }

void QueueImpl::barrierSync(const Block& block) { syncImpl(block, !isSerial() && !isGlobal()); }

void QueueImpl::checkSyncAllowed(bool barrier) const {
  // Waiting for a queue that this thread itself holds could never end.
  for (const QueueImpl* q = this; q; q = q->target_.get()) {
    if (q->isMain() && DispatchQueue::isMainThread()) {
      throw Exception(std::string(kInternalInconsistencyException),
                      q == this ? "dispatch sync onto the main queue from the main thread would deadlock"
                                : format("dispatch sync onto queue \"%s\" from the main thread would deadlock: "
                                         "the queue runs on the main queue",
                                         label_));
    }
    const bool exclusive = q->isSerial() || (q == this && barrier);
    if (exclusive && q->isCurrent()) {
      throw Exception(std::string(kInternalInconsistencyException),
                      q == this ? format("dispatch sync onto queue \"%s\" from a block running on it would deadlock",
                                         label_)
                                : format("dispatch sync onto queue \"%s\" would deadlock: it runs on queue \"%s\", "
                                         "whose block is running on this thread",
                                         label_, q->label_));
    }
  }
}

void QueueImpl::syncImpl(const Block& block, bool barrier) {
  checkSyncAllowed(barrier);
  if (runInlineIfFree(block, barrier)) return;
  syncThroughQueue(block, barrier);
}

void QueueImpl::syncThroughQueue(const Block& block, bool barrier) {
  auto turn = std::make_shared<SyncTurn>();
  Block holdTheQueue = [turn] {
    WorkerPool::Blocking blocking;
    MutexLock lock(turn->mutex);
    turn->started = true;
    turn->changed.notify_all();
    while (!turn->finished) turn->changed.wait(lock);
  };
  if (barrier) {
    barrierAsync(std::move(holdTheQueue));
  } else {
    async(std::move(holdTheQueue));
  }
  {
    WorkerPool::Blocking blocking;
    MutexLock lock(turn->mutex);
    while (!turn->started) turn->changed.wait(lock);
  }
  // The turn ends however the block does; an exception goes on to the caller as it is.
  struct EndTurn {
    SyncTurn& turn;
    ~EndTurn() {
      {
        MutexLock lock(turn.mutex);
        turn.finished = true;
      }
      turn.changed.notify_all();
    }
  } endTurn{*turn};
  QueueScope scope(this);
  block();
}

void QueueImpl::submitToTarget(Block work) {
  if (target_) {
    target_->async(std::move(work));
  } else {
    WorkerPool::shared().push(std::move(work));
  }
}

std::shared_ptr<MainQueue> mainQueue() {
  static auto* queue = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
  return *queue;
}

std::shared_ptr<QueueImpl> implOf(const std::shared_ptr<DispatchQueue>& queue) {
  return std::dynamic_pointer_cast<QueueImpl>(queue);
}

}  // namespace detail

std::shared_ptr<DispatchQueue> DispatchQueue::serial(std::string label, std::shared_ptr<DispatchQueue> target) {
  return std::make_shared<detail::SerialQueue>(std::move(label), detail::implOf(target));
}

std::shared_ptr<DispatchQueue> DispatchQueue::concurrent(std::string label, std::shared_ptr<DispatchQueue> target) {
  return std::make_shared<detail::ConcurrentQueue>(std::move(label), detail::implOf(target), false);
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() { return detail::mainQueue(); }

std::shared_ptr<DispatchQueue> DispatchQueue::global(QualityOfService qos) {
  static const auto* queues = [] {
    const char* labels[] = {"global.background", "global.utility", "global.default", "global.user-initiated",
                            "global.user-interactive"};
    auto* made = new std::array<std::shared_ptr<DispatchQueue>, 5>;
    for (std::size_t i = 0; i < made->size(); ++i) {
      (*made)[i] = std::make_shared<detail::ConcurrentQueue>(labels[i], nullptr, true);
    }
    return made;
  }();
  const auto index = static_cast<std::size_t>(qos);
  return (*queues)[index < queues->size() ? index : 2];
}

std::shared_ptr<DispatchQueue> DispatchQueue::current() {
  if (!detail::t_running.empty()) {
    return std::const_pointer_cast<DispatchQueue>(detail::t_running.back()->shared_from_this());
  }
  return isMainThread() ? main() : nullptr;
}

}  // namespace platform
