#include "platform/runloop/manual_clock.h"

#include "platform/foundation/thread_safety.h"
#include "platform/runloop/virtual_time.h"

namespace platform::testing {

ManualClock::ManualClock(Date start, double uptime) : dateAnchor_(start), uptimeAnchor_(uptime), uptime_(uptime) {}

// A thread running work that is late (see WorkMoment) reads the moment the work belongs to.
Date ManualClock::now() const {
  MutexLock lock(mutex_);
  return dateAnchor_.addingTimeInterval(platform::detail::uptimeAsOfWork(*this, uptime_) - uptimeAnchor_);
}

double ManualClock::uptime() const {
  MutexLock lock(mutex_);
  return platform::detail::uptimeAsOfWork(*this, uptime_);
}

void ManualClock::setDate(Date date) {
  MutexLock lock(mutex_);
  dateAnchor_ = date;
  uptimeAnchor_ = uptime_;
}

void ManualClock::move(double seconds) {
  if (!(seconds > 0)) return;
  MutexLock lock(mutex_);
  uptime_ += seconds;
}

void ManualClock::setUptime(double uptime) {
  MutexLock lock(mutex_);
  if (uptime > uptime_) uptime_ = uptime;
}

}  // namespace platform::testing
