#include "platform/runloop/manual_clock.h"

namespace platform::testing {

ManualClock::ManualClock(Date start, double uptime) : dateAnchor_(start), uptimeAnchor_(uptime), uptime_(uptime) {}

Date ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return dateAnchor_.addingTimeInterval(uptime_ - uptimeAnchor_);
}

double ManualClock::uptime() const {
  std::lock_guard lock(mutex_);
  return uptime_;
}

void ManualClock::setDate(Date date) {
  std::lock_guard lock(mutex_);
  dateAnchor_ = date;
  uptimeAnchor_ = uptime_;
}

void ManualClock::move(double seconds) {
  if (!(seconds > 0)) return;
  std::lock_guard lock(mutex_);
  uptime_ += seconds;
}

void ManualClock::setUptime(double uptime) {
  std::lock_guard lock(mutex_);
  if (uptime > uptime_) uptime_ = uptime;
}

}  // namespace platform::testing
