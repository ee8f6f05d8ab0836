#include "platform/motion/motion_manager.h"

#include <algorithm>

#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/motion/motion_state.h"

namespace platform {

MotionManager::MotionManager() {
  auto& s = MotionState::shared();
  MutexLock lock(s.mutex);
  s.managers.push_back(this);
}

MotionManager::~MotionManager() {
  auto& s = MotionState::shared();
  MutexLock lock(s.mutex);
  std::erase(s.managers, this);
}

bool MotionManager::isAccelerometerAvailable() const {
  auto& s = MotionState::shared();
  MutexLock lock(s.mutex);
  return s.available;
}

double MotionManager::accelerometerUpdateInterval() const {
  MutexLock lock(mutex_);
  return interval_;
}

void MotionManager::setAccelerometerUpdateInterval(double seconds) {
  MutexLock lock(mutex_);
  // The hardware has a fastest rate; asking for more gives that rate.
  interval_ = std::max(seconds, 0.01);
}

void MotionManager::startAccelerometerUpdates(std::shared_ptr<OperationQueue> queue, AccelerometerHandler handler) {
  MutexLock lock(mutex_);
  active_ = true;
  queue_ = std::move(queue);
  handler_ = handler ? std::make_shared<const AccelerometerHandler>(std::move(handler)) : nullptr;
}

void MotionManager::stopAccelerometerUpdates() {
  MutexLock lock(mutex_);
  active_ = false;
  queue_.reset();
  handler_.reset();
}

bool MotionManager::isAccelerometerActive() const {
  MutexLock lock(mutex_);
  return active_;
}

std::shared_ptr<const AccelerometerData> MotionManager::accelerometerData() const {
  MutexLock lock(mutex_);
  return last_;
}

void MotionManager::deliver(const AccelerometerData* data, const Error* error) {
  std::shared_ptr<OperationQueue> queue;
  std::shared_ptr<const AccelerometerHandler> handler;
  {
    MutexLock lock(mutex_);
    if (!active_) return;
    if (data) last_ = std::make_shared<const AccelerometerData>(*data);
    queue = queue_;
    handler = handler_;
  }
  if (!queue || !handler) return;
  // The block owns its copies: the manager may be gone by the time the queue runs it.
  std::optional<AccelerometerData> sample;
  if (data) sample = *data;
  std::optional<Error> failure;
  if (error) failure = *error;
  queue->addOperation([handler, sample, failure] {
    (*handler)(sample ? &*sample : nullptr, failure ? &*failure : nullptr);
  });
}

}  // namespace platform
