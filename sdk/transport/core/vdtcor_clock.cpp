#include "sdk/transport/core/vdtcor_clock.h"

#include <cmath>
#include <functional>

#include "platform/foundation/calendar.h"
#include "platform/foundation/format.h"
#include "platform/foundation/system_info.h"
#include "platform/runloop/clock.h"

namespace {

std::int64_t readKernelBootTime() {
  const auto boot = platform::SystemInfo::kernelBootTime();
  if (!boot) return 0;
  return boot->seconds * 1'000'000'000 + std::int64_t{boot->microseconds} * 1000;
}

std::int64_t nanoseconds(platform::Date date) {
  // Microsecond resolution, as the wall clock is read on the device.
  const auto micros = static_cast<std::int64_t>(std::floor(date.timeIntervalSince1970() * 1e6));
  return micros * 1000;
}

}  // namespace

std::shared_ptr<VDTCORClock> VDTCORClock::snapshot() {
  auto clock = std::make_shared<VDTCORClock>();
  clock->kernelBootTimeNanoseconds_ = readKernelBootTime();
  // The boot time moves when the wall clock is set: read until the reads on both sides of the
  // wall clock agree. Reading the boot time is not cheap, so the first read also opens the loop.
  std::int64_t bootBefore = clock->kernelBootTimeNanoseconds_;
  std::int64_t bootAfter = 0;
  std::int64_t wall = 0;
  while (true) {
    wall = nanoseconds(platform::Clock::current().now());
    bootAfter = readKernelBootTime();
    if (bootBefore == bootAfter) break;
    bootBefore = bootAfter;
  }
  clock->uptimeNanoseconds_ = wall - bootAfter;

  const platform::Date now = platform::Clock::current().now();
  clock->timeMillis_ = static_cast<std::int64_t>(std::trunc(
      (now.timeIntervalSinceReferenceDate() + platform::Date::kReferenceDateOffset) * 1000.0));
  clock->timezoneOffsetSeconds_ = platform::Calendar::secondsFromGMT(now);
  return clock;
}

std::shared_ptr<VDTCORClock> VDTCORClock::clockSnapshotInTheFuture(std::uint64_t millisInTheFuture) {
  auto clock = snapshot();
  clock->timeMillis_ += static_cast<std::int64_t>(millisInTheFuture);
  return clock;
}

bool VDTCORClock::isAfter(const VDTCORClock& other) const {
  if (kernelBootTimeNanoseconds_ != other.kernelBootTimeNanoseconds_) {
    return other.kernelBootTimeNanoseconds_ < kernelBootTimeNanoseconds_;
  }
  return timeMillis_ + timezoneOffsetSeconds_ > other.timeMillis_ + other.timezoneOffsetSeconds_;
}

std::size_t VDTCORClock::hash() const {
  std::hash<std::int64_t> h;
  return h(timeMillis_) ^ h(timezoneOffsetSeconds_) ^ h(kernelBootTimeNanoseconds_) ^ h(uptimeNanoseconds_);
}

bool VDTCORClock::isEqual(const VDTCORClock& other) const {
  return timeMillis_ == other.timeMillis_ && timezoneOffsetSeconds_ == other.timezoneOffsetSeconds_ &&
         kernelBootTimeNanoseconds_ == other.kernelBootTimeNanoseconds_ &&
         uptimeNanoseconds_ == other.uptimeNanoseconds_;
}

std::string VDTCORClock::description() const {
  return platform::format("<VDTCORClock timeMillis:%lld timezoneOffsetSeconds:%lld kernelBootTime:%lld uptime:%lld>",
                          timeMillis_, timezoneOffsetSeconds_, kernelBootTimeNanoseconds_, uptimeNanoseconds_);
}

void VDTCORClock::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeInt64(timeMillis_, kVDTCORClockTimeMillis);
  coder.encodeInt64(timezoneOffsetSeconds_, kVDTCORClockTimezoneOffsetSeconds);
  coder.encodeInt64(kernelBootTimeNanoseconds_, kVDTCORClockKernelBootTime);
  coder.encodeInt64(uptimeNanoseconds_, kVDTCORClockUptime);
}

std::shared_ptr<VDTCORClock> VDTCORClock::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto clock = std::make_shared<VDTCORClock>();
  clock->timeMillis_ = coder.decodeInt64ForKey(kVDTCORClockTimeMillis);
  clock->timezoneOffsetSeconds_ = coder.decodeInt64ForKey(kVDTCORClockTimezoneOffsetSeconds);
  clock->kernelBootTimeNanoseconds_ = coder.decodeInt64ForKey(kVDTCORClockKernelBootTime);
  clock->uptimeNanoseconds_ = coder.decodeInt64ForKey(kVDTCORClockUptime);
  return clock;
}
