#include "platform/runloop/timeline.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <utility>

#include "platform/foundation/thread_safety.h"
#include "platform/runloop/clock.h"

namespace platform::detail {

Timeline& Timeline::shared() {
  // Never destroyed: the timeline thread outlives static destruction.
  static Timeline* timeline = new Timeline;
  return *timeline;
}

TimelineKey Timeline::schedule(double deadline, Fire fire) {
  if (std::isnan(deadline)) deadline = Clock::current().uptime();
  MutexLock lock(mutex_);
  TimelineKey key{deadline, nextSeq_++};
  const bool earliest = items_.empty() || key < items_.begin()->first;
  items_.emplace(key, std::move(fire));
  if (!threadStarted_) startThreadLocked();
  if (earliest) wake_.notify_all();
  return key;
}

bool Timeline::cancel(TimelineKey key) {
  if (!key.scheduled()) return false;
  decltype(items_)::node_type node;
  {
    MutexLock lock(mutex_);
    node = items_.extract(key);
  }
  // The callback's captures die here, outside the lock: they may cancel other items.
  return !node.empty();
}

std::optional<Timeline::Due> Timeline::takeDue(double limit) {
  decltype(items_)::node_type node;
  {
    MutexLock lock(mutex_);
    if (items_.empty() || items_.begin()->first.deadline > limit) return std::nullopt;
    node = items_.extract(items_.begin());
  }
  return Due{node.key(), std::move(node.mapped())};
}

void Timeline::reset() {
  decltype(items_) dropped;
  {
    MutexLock lock(mutex_);
    dropped.swap(items_);
  }
}

void Timeline::clockChanged() {
  MutexLock lock(mutex_);
  wake_.notify_all();
}

void Timeline::startThreadLocked() {
  threadStarted_ = true;
  std::thread([this] { threadMain(); }).detach();
}

void Timeline::threadMain() {
  MutexLock lock(mutex_);
  for (;;) {
    Clock& clock = Clock::current();
    if (items_.empty() || clock.isManual()) {
      wake_.wait(lock);
      continue;
    }
    const double now = clock.uptime();
    const auto first = items_.begin();
    if (first->first.deadline <= now) {
      auto node = items_.extract(first);
      lock.unlock();
      node.mapped()();
      node = {};
      lock.lock();
      continue;
    }
    // A real clock's uptime is the steady clock, which is what wait_for measures.
    // Capped so that a far deadline never overflows the wait's duration.
    const double wait = std::min(first->first.deadline - now, 3600.0);
    wake_.waitFor(lock, std::chrono::duration<double>(wait));
  }
}

}  // namespace platform::detail
