// The platform clock: all code reads wall time and monotonic uptime through it, so tests can
// replace it with a manual clock that advances only when told.
#pragma once

#include <memory>

#include "platform/foundation/date.h"

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Date now() const = 0;         // wall date
  virtual double uptime() const = 0;    // monotonic seconds since an arbitrary origin
  // The boot clock: seconds since the system booted, counting time asleep and untouched by
  // changes of the wall date; -1 when it cannot be read.
  virtual double secondsSinceBoot() const = 0;
  virtual bool isManual() const { return false; }

  // The clock in force for the process (a RealClock unless a test installed another).
  static Clock& current();
  static std::shared_ptr<Clock> currentShared();
  static void setCurrent(std::shared_ptr<Clock> clock);
};

class RealClock final : public Clock {
 public:
  Date now() const override;
  double uptime() const override;
  double secondsSinceBoot() const override;
};

}  // namespace platform
