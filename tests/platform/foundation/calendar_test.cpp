#include "platform/foundation/calendar.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/testing/testing.h"

namespace platform::Calendar {
namespace {

// POSIX zone rules need no time-zone database: Tokyo (UTC+9, no daylight saving) and New York
// (UTC-5, UTC-4 from the second Sunday of March to the first Sunday of November).
constexpr const char* kTokyo = "JST-9";
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";

class CalendarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void useZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  static Date utc(int year, int month, int day, int hour, int minute, int second = 0) {
    return dateFromComponents({year, month, day, hour, minute, second}, Zone::UTC);
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(CalendarTest, SameDayFollowsTheLocalMidnight) {
  useZone(kTokyo);
  // 23:50 and 00:05 in Tokyo, either side of local midnight; both 2026-06-01 in UTC.
  const Date lateEvening = utc(2026, 6, 1, 14, 50);
  const Date pastMidnight = utc(2026, 6, 1, 15, 5);
  EXPECT_FALSE(isSameDay(lateEvening, pastMidnight));
  EXPECT_TRUE(isSameDay(lateEvening, pastMidnight, Zone::UTC));
  // 00:05 and 23:50 of the same Tokyo day fall on two UTC days.
  const Date sameLocalDayLate = utc(2026, 6, 2, 14, 50);
  EXPECT_TRUE(isSameDay(pastMidnight, sameLocalDayLate));
  EXPECT_FALSE(isSameDay(pastMidnight, sameLocalDayLate, Zone::UTC));
}

TEST_F(CalendarTest, TodayIsTheClocksCurrentLocalDay) {
  useZone(kTokyo);
  auto clock = platform::testing::useManualClock(utc(2026, 6, 1, 14, 50));  // 23:50 in Tokyo
  const Date launch = Date::now();
  EXPECT_TRUE(isDateInToday(launch));
  clock->move(15 * 60);  // 00:05 the next day
  EXPECT_FALSE(isDateInToday(launch));
  EXPECT_TRUE(isDateInToday(Date::now()));
  EXPECT_TRUE(isDateInToday(launch, Zone::UTC));
}

TEST_F(CalendarTest, ComponentsInLocalZoneAndUTC) {
  useZone(kNewYork);
  const Date d = Date::fromTimeIntervalSinceReferenceDate(0.25);  // Monday 2001-01-01 00:00:00.25 UTC
  const DateComponents u = components(d, Zone::UTC);
  EXPECT_EQ(u.year, 2001);
  EXPECT_EQ(u.month, 1);
  EXPECT_EQ(u.day, 1);
  EXPECT_EQ(u.hour, 0);
  EXPECT_EQ(u.weekday, 2);
  EXPECT_DOUBLE_EQ(u.fraction, 0.25);
  const DateComponents l = components(d);
  EXPECT_EQ(l.year, 2000);
  EXPECT_EQ(l.month, 12);
  EXPECT_EQ(l.day, 31);
  EXPECT_EQ(l.hour, 19);
  EXPECT_EQ(l.weekday, 1);
  EXPECT_EQ(dateFromComponents(l), d);

  const DateComponents beforeEpoch = components(Date::fromTimeIntervalSince1970(-0.5), Zone::UTC);
  EXPECT_EQ(beforeEpoch.year, 1969);
  EXPECT_EQ(beforeEpoch.second, 59);
  EXPECT_DOUBLE_EQ(beforeEpoch.fraction, 0.5);
}

TEST_F(CalendarTest, StartOfDayAndOffsetsAcrossDaylightSaving) {
  useZone(kNewYork);
  // Daylight saving starts at 02:00 on 2026-03-08: that day has 23 hours.
  const Date dayOfChange = startOfDay(utc(2026, 3, 8, 20, 0));
  EXPECT_EQ(dayOfChange, utc(2026, 3, 8, 5, 0));
  EXPECT_EQ(startOfDay(utc(2026, 3, 9, 20, 0)).timeIntervalSince(dayOfChange), 23 * 3600);
  EXPECT_EQ(secondsFromGMT(utc(2026, 1, 15, 12, 0)), -5 * 3600);
  EXPECT_EQ(secondsFromGMT(utc(2026, 7, 15, 12, 0)), -4 * 3600);
  EXPECT_EQ(startOfDay(utc(2026, 3, 8, 20, 0), Zone::UTC), utc(2026, 3, 8, 0, 0));
}

TEST_F(CalendarTest, FormatsWithPatterns) {
  useZone(kTokyo);
  const Date d = utc(2026, 6, 1, 14, 50, 7).addingTimeInterval(0.123);
  const std::pair<const char*, std::string> local[] = {
      {"yyyy-MM-dd", "2026-06-01"},
      {"yyyy-MM-dd HH:mm:ss.SSS", "2026-06-01 23:50:07.123"},
      {"EEE, d MMM yyyy h:mm a", "Mon, 1 Jun 2026 11:50 PM"},
      {"ZZZZZ", "+09:00"},
      {"'day' D", "day 152"},
  };
  for (const auto& [pattern, expected] : local) EXPECT_EQ(format(d, pattern), expected) << pattern;
  EXPECT_EQ(format(d, "yyyy-MM-dd'T'HH:mm:ssZZZZZ", Zone::UTC), "2026-06-01T14:50:07Z");

  useZone(kNewYork);
  EXPECT_EQ(format(d, "HH:mm ZZZZZ"), "10:50 -04:00");
}

TEST_F(CalendarTest, MinutesAndSecondsBetweenDates) {
  const Date start = Date::fromTimeIntervalSince1970(1'000'000);
  const std::pair<double, MinutesAndSeconds> cases[] = {
      {125.7, {2, 5}}, {3725, {62, 5}}, {59.9, {0, 59}}, {-125.7, {-2, -5}}, {0, {0, 0}},
  };
  for (const auto& [interval, expected] : cases) {
    const auto r = minutesAndSecondsBetween(start, start.addingTimeInterval(interval));
    EXPECT_EQ(r.minutes, expected.minutes) << interval;
    EXPECT_EQ(r.seconds, expected.seconds) << interval;
  }
}

}  // namespace
}  // namespace platform::Calendar
