// Run loops and timers. Each thread has a run loop; the main run loop drains the main queue and
// fires the main thread's timers. Timers fire only while their run loop runs: work scheduled on a
// thread whose run loop never runs never fires, as on the platform.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/date.h"
#include "platform/foundation/value.h"

namespace platform {

class RunLoop;

class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Block = std::function<void(Timer&)>;

  // A timer scheduled on the current thread's run loop, first firing `interval` seconds from now.
  static std::shared_ptr<Timer> scheduled(double interval, bool repeats, Block block, Value userInfo = {});
  // A timer not yet on any run loop (RunLoop::addTimer schedules it).
  static std::shared_ptr<Timer> make(double interval, bool repeats, Block block, Value userInfo = {});

  virtual ~Timer() = default;
  virtual void invalidate() = 0;
  virtual bool isValid() const = 0;
  // Fires now without changing the schedule (a non-repeating timer is then invalidated).
  virtual void fire() = 0;
  virtual double timeInterval() const = 0;
  virtual Date fireDate() const = 0;
  virtual const Value& userInfo() const = 0;
};

class RunLoop {
 public:
  static RunLoop& main();
  // Shared, so that a loop handed to another thread (to stop it) outlives its own thread.
  static std::shared_ptr<RunLoop> current();
  virtual ~RunLoop() = default;

  // The run loop keeps a scheduled timer alive until it is invalidated. A repeating timer fires
  // at t0 + k·interval; firings missed while the loop was busy or suspended collapse into one.
  virtual void addTimer(const std::shared_ptr<Timer>& timer) = 0;

  // Runs until stop(); on the main run loop this also drains the main queue.
  virtual void run() = 0;
  // Runs until the platform clock reaches `limit`, or stop(); returns false when stopped.
  virtual bool runUntil(Date limit) = 0;
  // Handles what is due now without waiting; returns true when anything ran.
  virtual bool runOnce() = 0;
  virtual void stop() = 0;

  // perform-after-delay: `block` runs on this run loop after `delay` seconds. A later
  // cancelPreviousPerformRequests for the same target (and action, when given) drops it.
  virtual void performAfterDelay(const void* target, std::string action, double delay,
                                 std::function<void()> block) = 0;
  virtual void cancelPreviousPerformRequests(const void* target, std::string_view action = {}) = 0;

  // A suspended run loop fires no timers (the app in the background); time keeps passing.
  virtual void setSuspended(bool suspended) = 0;
  virtual bool isSuspended() const = 0;
};

}  // namespace platform
