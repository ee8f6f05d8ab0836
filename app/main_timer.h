// Timers on the main run loop and delayed main-queue blocks that call a screen or service
// through a weak reference: once the owner is gone, they do nothing.
#pragma once

#include <memory>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/runloop/run_loop.h"

template <class T>
std::shared_ptr<platform::Timer> scheduleMainTimer(double interval, bool repeats, std::weak_ptr<T> target,
                                                   void (T::*method)()) {
  auto timer = platform::Timer::make(interval, repeats, [target, method](platform::Timer&) {
    if (auto self = target.lock()) ((*self).*method)();
  });
  platform::RunLoop::main().addTimer(timer);
  return timer;
}

inline void invalidateTimer(std::shared_ptr<platform::Timer>& timer) {
  if (timer) timer->invalidate();
  timer.reset();
}

template <class T, class F>
void onMainQueue(std::weak_ptr<T> target, F block) {
  platform::DispatchQueue::main()->async([target, block = std::move(block)]() mutable {
    if (auto self = target.lock()) block(*self);
  });
}

template <class T, class F>
void onMainQueueAfter(double seconds, std::weak_ptr<T> target, F block) {
  platform::DispatchQueue::main()->after(seconds, [target, block = std::move(block)]() mutable {
    if (auto self = target.lock()) block(*self);
  });
}
