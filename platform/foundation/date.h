// A point in wall-clock time, held as seconds since 1970-01-01 00:00:00 UTC.
#pragma once

#include <compare>
#include <string>

namespace platform {

class Date {
 public:
  // Seconds between 1970-01-01 and the platform's reference date 2001-01-01 (UTC).
  static constexpr double kReferenceDateOffset = 978307200.0;

  constexpr Date() = default;
  static constexpr Date fromTimeIntervalSince1970(double s) { return Date(s); }
  static constexpr Date fromTimeIntervalSinceReferenceDate(double s) { return Date(s + kReferenceDateOffset); }
  // The platform clock's current wall date (Clock::current()).
  static Date now();

  constexpr double timeIntervalSince1970() const { return s_; }
  constexpr double timeIntervalSinceReferenceDate() const { return s_ - kReferenceDateOffset; }
  constexpr double timeIntervalSince(Date other) const { return s_ - other.s_; }
  // Seconds since the date, by the platform clock (negative for a future date).
  double timeIntervalSinceNow() const;
  constexpr Date addingTimeInterval(double s) const { return Date(s_ + s); }

  // "2001-01-01 00:00:00 +0000", as the platform describes dates.
  std::string description() const;

  friend constexpr auto operator<=>(const Date&, const Date&) = default;

 private:
  constexpr explicit Date(double s) : s_(s) {}
  double s_ = 0;
};

}  // namespace platform
