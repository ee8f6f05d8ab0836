// The slot of a process-wide instance: made on first use, and made anew after a reset (tests use
// that to simulate a restart on the same home). Slots are never destroyed, so an instance is still
// there for work that runs while the process exits.
#pragma once

#include <memory>
#include <utility>

#include "platform/foundation/thread_safety.h"

template <class T>
class VDTCORSharedInstance {
 public:
  template <class Make>
  std::shared_ptr<T> get(Make&& make) {
    platform::MutexLock lock(mutex_);
    if (!instance_) instance_ = make();
    return instance_;
  }
  // The instance given up, for the caller to wind down.
  std::shared_ptr<T> reset() {
    platform::MutexLock lock(mutex_);
    return std::exchange(instance_, nullptr);
  }

 private:
  platform::Mutex mutex_;
  std::shared_ptr<T> instance_ GUARDED_BY(mutex_);
};
