#include "platform/dispatch/dispatch_timer_source.h"

#include <cmath>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/thread_safety.h"
#include "platform/runloop/clock.h"
#include "platform/runloop/timeline.h"

namespace platform {

namespace {

using detail::Timeline;
using detail::TimelineKey;

class TimerSourceImpl final : public DispatchTimerSource {
 public:
  explicit TimerSourceImpl(std::shared_ptr<DispatchQueue> queue)
      : queue_(queue ? std::move(queue) : DispatchQueue::global()) {}

  void setTimer(double startDelay, double interval, double) override {
    auto self = shared_from_this();
    TimelineKey stale;
    {
      MutexLock lock(mutex_);
      if (cancelled_) return;
      stale = key_;
      key_ = {};
      ++generation_;
      if (std::isnan(startDelay) || startDelay < 0) startDelay = 0;
      armed_ = !std::isinf(startDelay);
      firstDeadline_ = Clock::current().uptime() + startDelay;
      interval_ = interval > 0 && !std::isinf(interval) ? interval : 0;
      ticks_ = 0;
      scheduleLocked();
    }
    Timeline::shared().cancel(stale);
  }

  void setEventHandler(Block handler) override {
    MutexLock lock(mutex_);
    if (cancelled_) return;
    handler_ = handler ? std::make_shared<const Block>(std::move(handler)) : nullptr;
  }

  void setCancelHandler(Block handler) override {
    MutexLock lock(mutex_);
    if (cancelled_) return;
    cancelHandler_ = std::move(handler);
  }

  void resume() override {
    auto self = shared_from_this();
    MutexLock lock(mutex_);
    if (suspendCount_ == 0) {
      throw Exception(std::string(kInternalInconsistencyException), "resume of a timer source that is not suspended");
    }
    // An event that fell due while suspended is then overdue and fires at once.
    if (--suspendCount_ == 0) scheduleLocked();
  }

  void suspend() override {
    auto self = shared_from_this();
    TimelineKey waiting;
    {
      MutexLock lock(mutex_);
      if (suspendCount_++ == 0) {
        waiting = key_;
        key_ = {};
      }
    }
    Timeline::shared().cancel(waiting);
  }

  void cancel() override {
    auto self = shared_from_this();
    TimelineKey waiting;
    Block cancelHandler;
    std::shared_ptr<const Block> released;
    {
      MutexLock lock(mutex_);
      if (cancelled_) return;
      cancelled_ = true;
      ++generation_;
      waiting = key_;
      key_ = {};
      released = std::move(handler_);
      cancelHandler = std::move(cancelHandler_);
      cancelHandler_ = nullptr;
    }
    Timeline::shared().cancel(waiting);
    if (cancelHandler) queue_->async(std::move(cancelHandler));
  }

  bool isCancelled() const override {
    MutexLock lock(mutex_);
    return cancelled_;
  }

 private:
  double deadlineLocked() const REQUIRES(mutex_) { return firstDeadline_ + static_cast<double>(ticks_) * interval_; }

  void scheduleLocked() REQUIRES(mutex_) {
    if (!armed_ || cancelled_ || suspendCount_ > 0 || key_.scheduled()) return;
    // The timeline holds the source strongly: a running source lives until it is cancelled.
    auto self = std::static_pointer_cast<TimerSourceImpl>(shared_from_this());
    // Each item carries its own generation, so one that was already on its way when the source
    // was suspended, reset or cancelled does nothing.
    key_ = Timeline::shared().schedule(deadlineLocked(), [self, generation = ++generation_] { self->fired(generation); });
  }

  void fired(std::uint64_t generation) {
    bool post = false;
    {
      MutexLock lock(mutex_);
      if (generation != generation_ || cancelled_) return;
      key_ = {};
      if (suspendCount_ > 0) return;
      post = !eventPending_;
      eventPending_ = true;
      if (interval_ > 0) {
        ticks_ = detail::nextTickAfter(firstDeadline_, interval_, ticks_, Clock::current().uptime());
        scheduleLocked();
      } else {
        armed_ = false;
      }
    }
    if (post) {
      auto self = std::static_pointer_cast<TimerSourceImpl>(shared_from_this());
      queue_->async([self] { self->deliver(); });
    }
  }

  void deliver() {
    std::shared_ptr<const Block> handler;
    {
      MutexLock lock(mutex_);
      eventPending_ = false;
      if (cancelled_) return;
      handler = handler_;
    }
    if (handler && *handler) (*handler)();
  }

  const std::shared_ptr<DispatchQueue> queue_;
  mutable Mutex mutex_;
  std::shared_ptr<const Block> handler_ GUARDED_BY(mutex_);
  Block cancelHandler_ GUARDED_BY(mutex_);
  int suspendCount_ GUARDED_BY(mutex_) = 1;
  bool cancelled_ GUARDED_BY(mutex_) = false;
  bool armed_ GUARDED_BY(mutex_) = false;
  bool eventPending_ GUARDED_BY(mutex_) = false;
  double firstDeadline_ GUARDED_BY(mutex_) = 0;
  double interval_ GUARDED_BY(mutex_) = 0;
  std::uint64_t ticks_ GUARDED_BY(mutex_) = 0;
  std::uint64_t generation_ GUARDED_BY(mutex_) = 0;
  TimelineKey key_ GUARDED_BY(mutex_);
};

}  // namespace

std::shared_ptr<DispatchTimerSource> DispatchTimerSource::make(std::shared_ptr<DispatchQueue> queue) {
  return std::make_shared<TimerSourceImpl>(std::move(queue));
}

}  // namespace platform
