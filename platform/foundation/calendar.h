// The Gregorian calendar in the local time zone (the TZ environment variable, as the C library
// reads it) or in UTC: days, date components and formatting of dates.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/date.h"

namespace platform::Calendar {

enum class Zone { Local, UTC };

struct DateComponents {
  int year = 0;
  int month = 0;    // 1-12
  int day = 0;      // 1-31
  int hour = 0;     // 0-23
  int minute = 0;
  int second = 0;
  int weekday = 0;  // 1 = Sunday ... 7 = Saturday, as the platform counts
  double fraction = 0;  // of the second, 0 <= fraction < 1
};

DateComponents components(Date date, Zone zone = Zone::Local);
// The date of the given components (missing fields as in DateComponents' defaults are not
// filled in: pass a full date). Out-of-range fields carry over (month 13 is January next year).
Date dateFromComponents(const DateComponents& components, Zone zone = Zone::Local);

// The first moment of the date's day.
Date startOfDay(Date date, Zone zone = Zone::Local);
bool isSameDay(Date a, Date b, Zone zone = Zone::Local);
// Whether the date falls on the current day of the platform clock.
bool isDateInToday(Date date, Zone zone = Zone::Local);

// Seconds east of UTC of the local time zone at that date (daylight saving included).
int secondsFromGMT(Date date);

// The whole minutes and the remaining whole seconds from `from` to `to`, both truncated toward
// zero with the same sign (so the minutes also hold whole hours).
struct MinutesAndSeconds {
  std::int64_t minutes = 0;
  std::int64_t seconds = 0;
};
MinutesAndSeconds minutesAndSecondsBetween(Date from, Date to);

// Formats with a date pattern of the platform's kind ("yyyy-MM-dd HH:mm:ss.SSS ZZZZZ",
// "EEE", "MMM", "a", quoted literals). The locale defaults to the fixed "en_US_POSIX".
std::string format(Date date, std::string_view pattern, Zone zone = Zone::Local,
                   std::string_view locale = "en_US_POSIX");

}  // namespace platform::Calendar
