#include <algorithm>
#include <chrono>
#include <condition_variable>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/worker_pool.h"
#include "platform/foundation/thread_safety.h"

namespace platform {

struct DispatchSemaphore::State {
  Mutex mutex;
  ConditionVariable signalled;
  long value GUARDED_BY(mutex) = 0;
};

DispatchSemaphore::DispatchSemaphore(long value) : s_(std::make_unique<State>()) {
  MutexLock lock(s_->mutex);
  s_->value = value;
}

DispatchSemaphore::~DispatchSemaphore() = default;

bool DispatchSemaphore::wait(double timeoutSeconds) {
  State& s = *s_;
  detail::WorkerPool::Blocking blocking;
  MutexLock lock(s.mutex);
  if (!(timeoutSeconds < 1e9)) {
    while (s.value <= 0) s.signalled.wait(lock);
  } else {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(std::max(timeoutSeconds, 0.0)));
    while (s.value <= 0) {
      if (!s.signalled.waitUntil(lock, deadline) && s.value <= 0) return false;
    }
  }
  --s.value;
  return true;
}

void DispatchSemaphore::signal() {
  // Notified under the lock: a waiter that wakes may return and destroy the semaphore, which it
  // can only do once this signal has let go of it.
  MutexLock lock(s_->mutex);
  ++s_->value;
  s_->signalled.notify_one();
}

}  // namespace platform
