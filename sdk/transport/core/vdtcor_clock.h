// A snapshot of the device clock taken when an event is sent: wall time, time zone, kernel boot
// time and uptime, so that the backend can order events even across wall-clock changes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/keyed_archive.h"

inline constexpr std::string_view kVDTCORClockClassName = "VDTCORClock";
inline constexpr std::string_view kVDTCORClockTimeMillis = "VDTCORClockTimeMillis";
inline constexpr std::string_view kVDTCORClockTimezoneOffsetSeconds = "VDTCORClockTimezoneOffsetSeconds";
inline constexpr std::string_view kVDTCORClockKernelBootTime = "VDTCORClockKernelBootTime";
inline constexpr std::string_view kVDTCORClockUptime = "VDTCORClockUptime";

class VDTCORClock final : public platform::Codable {
 public:
  VDTCORClock() = default;

  // Now.
  static std::shared_ptr<VDTCORClock> snapshot();
  // Now, with timeMillis moved `millisInTheFuture` ahead.
  static std::shared_ptr<VDTCORClock> clockSnapshotInTheFuture(std::uint64_t millisInTheFuture);

  std::int64_t timeMillis() const { return timeMillis_; }
  void setTimeMillis(std::int64_t v) { timeMillis_ = v; }
  std::int64_t timezoneOffsetSeconds() const { return timezoneOffsetSeconds_; }
  void setTimezoneOffsetSeconds(std::int64_t v) { timezoneOffsetSeconds_ = v; }
  std::int64_t kernelBootTimeNanoseconds() const { return kernelBootTimeNanoseconds_; }
  void setKernelBootTimeNanoseconds(std::int64_t v) { kernelBootTimeNanoseconds_ = v; }
  std::int64_t uptimeNanoseconds() const { return uptimeNanoseconds_; }
  void setUptimeNanoseconds(std::int64_t v) { uptimeNanoseconds_ = v; }

  std::int64_t kernelBootTime() const { return kernelBootTimeNanoseconds_; }
  std::int64_t uptime() const { return uptimeNanoseconds_; }
  std::int64_t uptimeMilliseconds() const { return uptimeNanoseconds_ / 1'000'000; }

  // A clock of a later boot is after every clock of an earlier one; within one boot the wall
  // times decide (milliseconds plus the offset seconds, added as they stand).
  bool isAfter(const VDTCORClock& other) const;

  std::size_t hash() const;
  // Equal when all four fields are.
  bool isEqual(const VDTCORClock& other) const;
  friend bool operator==(const VDTCORClock& a, const VDTCORClock& b) { return a.isEqual(b); }
  std::string description() const;

  std::string className() const override { return std::string(kVDTCORClockClassName); }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static std::shared_ptr<VDTCORClock> initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  std::int64_t timeMillis_ = 0;
  std::int64_t timezoneOffsetSeconds_ = 0;
  std::int64_t kernelBootTimeNanoseconds_ = 0;
  std::int64_t uptimeNanoseconds_ = 0;
};
