#include <algorithm>
#include <chrono>
#include <condition_variable>

#include "platform/dispatch/dispatch_queue.h"

namespace platform {

struct DispatchSemaphore::State {
  std::mutex mutex;
  std::condition_variable signalled;
  long value = 0;
};

DispatchSemaphore::DispatchSemaphore(long value) : s_(std::make_unique<State>()) { s_->value = value; }

DispatchSemaphore::~DispatchSemaphore() = default;

bool DispatchSemaphore::wait(double timeoutSeconds) {
  std::unique_lock lock(s_->mutex);
  const auto available = [this] { return s_->value > 0; };
  if (!(timeoutSeconds < 1e9)) {
    s_->signalled.wait(lock, available);
  } else if (!s_->signalled.wait_for(lock, std::chrono::duration<double>(std::max(timeoutSeconds, 0.0)), available)) {
    return false;
  }
  --s_->value;
  return true;
}

void DispatchSemaphore::signal() {
  // Notified under the lock: a waiter that wakes may return and destroy the semaphore, which it
  // can only do once this signal has let go of it.
  std::lock_guard lock(s_->mutex);
  ++s_->value;
  s_->signalled.notify_one();
}

}  // namespace platform
