#include "platform/foundation/calendar.h"

#include <unicode/locid.h>
#include <unicode/simpletz.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cmath>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>

namespace platform::Calendar {

namespace {

// The C library re-reads the zone in tzset under a lock of its own that the race detector cannot
// see; one lock of ours around every local-zone conversion makes the order plain to it.
std::mutex& localZoneMutex() {
  static std::mutex mutex;
  return mutex;
}

struct Split {
  std::time_t whole;
  double fraction;
};

Split split(Date date) {
  const double t = date.timeIntervalSince1970();
  const double whole = std::floor(t);
  return {static_cast<std::time_t>(whole), t - whole};
}

std::tm brokenDown(std::time_t t, Zone zone) {
  std::tm tm{};
  if (zone == Zone::UTC) {
    gmtime_r(&t, &tm);
  } else {
    // Picks up a TZ changed since the last call (localtime_r alone may not).
    std::lock_guard lock(localZoneMutex());
    tzset();
    localtime_r(&t, &tm);
  }
  return tm;
}

}  // namespace

DateComponents components(Date date, Zone zone) {
  const Split s = split(date);
  const std::tm tm = brokenDown(s.whole, zone);
  DateComponents c;
  c.year = tm.tm_year + 1900;
  c.month = tm.tm_mon + 1;
  c.day = tm.tm_mday;
  c.hour = tm.tm_hour;
  c.minute = tm.tm_min;
  c.second = tm.tm_sec;
  c.weekday = tm.tm_wday + 1;
  c.fraction = s.fraction;
  return c;
}

Date dateFromComponents(const DateComponents& c, Zone zone) {
  std::tm tm{};
  tm.tm_year = c.year - 1900;
  tm.tm_mon = c.month - 1;
  tm.tm_mday = c.day;
  tm.tm_hour = c.hour;
  tm.tm_min = c.minute;
  tm.tm_sec = c.second;
  tm.tm_isdst = -1;
  std::time_t t;
  if (zone == Zone::UTC) {
    t = timegm(&tm);
  } else {
    std::lock_guard lock(localZoneMutex());
    tzset();
    t = mktime(&tm);
  }
  return Date::fromTimeIntervalSince1970(static_cast<double>(t) + c.fraction);
}

Date startOfDay(Date date, Zone zone) {
  DateComponents c = components(date, zone);
  c.hour = 0;
  c.minute = 0;
  c.second = 0;
  c.fraction = 0;
  return dateFromComponents(c, zone);
}

bool isSameDay(Date a, Date b, Zone zone) {
  const DateComponents x = components(a, zone);
  const DateComponents y = components(b, zone);
  return x.year == y.year && x.month == y.month && x.day == y.day;
}

bool isDateInToday(Date date, Zone zone) { return isSameDay(date, Date::now(), zone); }

int secondsFromGMT(Date date) { return static_cast<int>(brokenDown(split(date).whole, Zone::Local).tm_gmtoff); }

MinutesAndSeconds minutesAndSecondsBetween(Date from, Date to) {
  const double interval = to.timeIntervalSince(from);
  const auto total = static_cast<std::int64_t>(std::trunc(interval));
  return {total / 60, total % 60};
}

std::string format(Date date, std::string_view pattern, Zone zone, std::string_view locale) {
  // Formatters are costly to build and not to be shared between threads; keep one per pattern.
  thread_local std::map<std::string, std::unique_ptr<icu::SimpleDateFormat>> formatters;
  std::string key = std::string(locale) + '\n' + std::string(pattern);
  auto& formatter = formatters[key];
  if (!formatter) {
    UErrorCode status = U_ZERO_ERROR;
    formatter = std::make_unique<icu::SimpleDateFormat>(
        icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), static_cast<std::int32_t>(pattern.size()))),
        icu::Locale(std::string(locale).c_str()), status);
    if (U_FAILURE(status)) {
      formatter.reset();
      formatters.erase(key);
      return {};
    }
    // Always the proleptic Gregorian calendar, whatever the locale prefers.
    formatter->setLenient(false);
  }
  if (zone == Zone::UTC) {
    formatter->adoptTimeZone(new icu::SimpleTimeZone(0, icu::UnicodeString("UTC", -1, US_INV)));
  } else {
    // The C library's idea of the local zone (TZ) at this date, daylight saving included.
    const int offset = secondsFromGMT(date);
    formatter->adoptTimeZone(new icu::SimpleTimeZone(offset * 1000, icu::UnicodeString("Local", -1, US_INV)));
  }
  icu::UnicodeString out;
  formatter->format(static_cast<UDate>(date.timeIntervalSince1970() * 1000.0), out);
  std::string text;
  out.toUTF8String(text);
  return text;
}

}  // namespace platform::Calendar
