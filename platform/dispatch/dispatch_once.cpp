#include "platform/dispatch/dispatch_queue.h"

namespace platform {

void DispatchOnce::call(const std::function<void()>& block) {
  if (done_.load(std::memory_order_acquire)) return;
  MutexLock lock(mutex_);
  if (done_.load(std::memory_order_relaxed)) return;
  block();
  done_.store(true, std::memory_order_release);
}

void DispatchOnce::reset() {
  MutexLock lock(mutex_);
  done_.store(false, std::memory_order_release);
}

}  // namespace platform
