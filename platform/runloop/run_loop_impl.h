// Run loops and their timers. A timer waits on the timeline; when its deadline passes it only
// becomes due and wakes its run loop, and it fires when that run loop runs and is not suspended.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/main_thread.h"
#include "platform/foundation/thread_safety.h"
#include "platform/runloop/run_loop.h"
#include "platform/runloop/timeline.h"

namespace platform::detail {

class RunLoopImpl;

class TimerImpl final : public Timer {
 public:
  TimerImpl(double interval, bool repeats, Block block, Value userInfo);

  void invalidate() override;
  bool isValid() const override { return valid_.load(std::memory_order_acquire); }
  void fire() override;
  double timeInterval() const override { return interval_; }
  Date fireDate() const override;
  const Value& userInfo() const override { return userInfo_; }

  // Puts the timer on `loop`'s schedule; false when it is invalid or already on a run loop.
  bool attach(const std::shared_ptr<RunLoopImpl>& loop);
  // The timeline reached the timer's deadline.
  void becameDue();
  // When due: the timeline key it fell due under (deadline, then scheduling order).
  std::optional<TimelineKey> dueKey() const;
  // Fires a due timer for its run loop, then moves it to its next grid point or invalidates it.
  bool fireDue();

  void markPerformRequest(const void* target, std::string action);
  bool isPerformRequestFor(const void* target, std::string_view action) const;

 private:
  double deadlineLocked() const REQUIRES(mutex_) { return firstDeadline_ + static_cast<double>(ticks_) * interval_; }
  void scheduleLocked() REQUIRES(mutex_);
  // Moves a repeating timer to its next grid point, or invalidates a one-shot timer.
  void afterFiring();

  const double interval_;
  const bool repeats_;
  const Value userInfo_;
  mutable Mutex mutex_;
  Block block_ GUARDED_BY(mutex_);
  double firstDeadline_ GUARDED_BY(mutex_);
  // Firings so far; the next deadline is firstDeadline_ + ticks_ * interval_, so a repeating
  // timer never drifts.
  std::uint64_t ticks_ GUARDED_BY(mutex_) = 0;
  TimelineKey key_ GUARDED_BY(mutex_);
  TimelineKey dueKey_ GUARDED_BY(mutex_);
  bool due_ GUARDED_BY(mutex_) = false;
  std::atomic<bool> valid_{true};
  std::weak_ptr<RunLoopImpl> loop_ GUARDED_BY(mutex_);
  bool isPerformRequest_ GUARDED_BY(mutex_) = false;
  const void* performTarget_ GUARDED_BY(mutex_) = nullptr;
  std::string performAction_ GUARDED_BY(mutex_);
};

class RunLoopImpl final : public RunLoop, public std::enable_shared_from_this<RunLoopImpl> {
 public:
  explicit RunLoopImpl(bool isMain);

  void addTimer(const std::shared_ptr<Timer>& timer) override;
  void run() override;
  bool runUntil(Date limit) override;
  bool runOnce() override;
  void stop() override;
  void performAfterDelay(const void* target, std::string action, double delay, std::function<void()> block) override;
  void cancelPreviousPerformRequests(const void* target, std::string_view action = {}) override;
  void setSuspended(bool suspended) override;
  bool isSuspended() const override { return suspended_.load(std::memory_order_acquire); }

  // Runs what is due now: the main queue's blocks (main run loop) and due timers.
  bool processOnce();
  bool hasWork() const;
  void wake() { waker().notify(); }
  void removeTimer(const TimerImpl* timer);
  // Invalidates every timer and lifts suspension (a test starts afresh).
  void reset();

 private:
  Waker& waker() { return isMain_ ? mainWaker() : ownWaker_; }
  bool fireDueTimers();

  const bool isMain_;
  Waker ownWaker_;
  mutable Mutex mutex_;
  std::vector<std::shared_ptr<TimerImpl>> timers_ GUARDED_BY(mutex_);
  std::atomic<bool> suspended_{false};
  std::atomic<bool> stopped_{false};
};

RunLoopImpl& mainRunLoop();

}  // namespace platform::detail
