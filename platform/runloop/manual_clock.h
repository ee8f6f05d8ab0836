// A clock that moves only when told; tests install one so that time is theirs to drive.
#pragma once


#include "platform/foundation/date.h"
#include "platform/foundation/thread_safety.h"
#include "platform/runloop/clock.h"

namespace platform::testing {

// Wall date and uptime advance together; setDate moves only the wall date (a user changing the
// device's clock).
class ManualClock final : public Clock {
 public:
  explicit ManualClock(Date start = Date::fromTimeIntervalSince1970(1'780'000'000), double uptime = 1000);
  Date now() const override;
  double uptime() const override;
  // The device booted when uptime was 0: the boot clock advances with uptime.
  double secondsSinceBoot() const override { return uptime(); }
  bool isManual() const override { return true; }
  void setDate(Date date);
  // Moves both by `seconds` without firing anything; use platform::testing::advance to fire.
  void move(double seconds);
  // Puts uptime exactly at `uptime` (never backwards) and moves the wall date by as much, firing
  // nothing. Exact placement is what keeps repeating timers on their grid.
  void setUptime(double uptime);

 private:
  mutable Mutex mutex_;
  // The wall date is derived from uptime (anchor + elapsed), so that ten thousand small steps do
  // not add up rounding errors.
  Date dateAnchor_ GUARDED_BY(mutex_);
  double uptimeAnchor_ GUARDED_BY(mutex_);
  double uptime_ GUARDED_BY(mutex_);
};

}  // namespace platform::testing
