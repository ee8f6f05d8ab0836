#include <optional>

#include "app/user_data.h"
#include "focus_extras_fixture.h"
#include "platform/foundation/calendar.h"

namespace {

using platform::Calendar::DateComponents;
using platform::Calendar::Zone;

platform::Date utc(int year, int month, int day, int hour, int minute) {
  return platform::Calendar::dateFromComponents(DateComponents{year, month, day, hour, minute, 0, 0, 0}, Zone::UTC);
}

class DailyTotalTest : public FocusExtrasTest {
 protected:
  static void setNow(platform::Date date) { platform::testing::manualClock()->setDate(date); }
  static std::int64_t total() { return defaults()->integerForKey(kTodayFocusTotalTimeKey); }
  static std::optional<platform::Date> lastAccess() {
    platform::Value value = defaults()->objectForKey(kLastAccessDateKey);
    return value.ifDate() ? std::optional(*value.ifDate()) : std::nullopt;
  }
};

TEST_F(DailyTotalTest, TheTotalStartsAnewOnANewDayOfTheLocalCalendar) {
  // Nine hours east of UTC: the local day and the UTC day differ in the evening hours of UTC.
  ScopedTimeZone zone("KST-9");
  struct Case {
    const char* name;
    std::optional<platform::Value> last;
    platform::Date now;
    bool cleared;
  };
  const Case cases[] = {
      {"yesterday 23:50, now 00:05", platform::Value(utc(2026, 3, 10, 14, 50)), utc(2026, 3, 10, 15, 5), true},
      {"same UTC day, next local day", platform::Value(utc(2026, 3, 10, 1, 0)), utc(2026, 3, 10, 20, 0), true},
      {"next UTC day, same local day", platform::Value(utc(2026, 3, 10, 23, 30)), utc(2026, 3, 11, 1, 0), false},
      {"earlier today", platform::Value(utc(2026, 3, 10, 15, 5)), utc(2026, 3, 11, 14, 50), false},
      {"a week ago", platform::Value(utc(2026, 3, 3, 12, 0)), utc(2026, 3, 10, 12, 0), true},
      {"first check ever", std::nullopt, utc(2026, 3, 10, 12, 0), false},
      {"not a date", platform::Value("2026-03-09"), utc(2026, 3, 10, 12, 0), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setNow(c.now);
    defaults()->setInteger(50, kTodayFocusTotalTimeKey);
    defaults()->setObject(c.last.value_or(platform::Value()), kLastAccessDateKey);
    platform::testing::LogCapture log;

    UserData::resetTodayFocusTimeIfNewDay(platform::Date::now());

    EXPECT_EQ(total(), c.cleared ? 0 : 50);
    EXPECT_EQ(log.contains("remove Persistent Domain"), c.cleared);
    EXPECT_EQ(lastAccess(), c.now);
  }
}

TEST_F(DailyTotalTest, WithoutADateNothingHappens) {
  setNow(utc(2026, 3, 10, 12, 0));
  defaults()->setInteger(50, kTodayFocusTotalTimeKey);
  defaults()->setObject(platform::Value(utc(2026, 3, 1, 12, 0)), kLastAccessDateKey);
  UserData::resetTodayFocusTimeIfNewDay(std::nullopt);
  EXPECT_EQ(total(), 50);
  EXPECT_EQ(lastAccess(), utc(2026, 3, 1, 12, 0));
}

TEST_F(DailyTotalTest, TheFocusScreenChecksTheDayWhenItLoads) {
  ScopedTimeZone zone("UTC0");
  setNow(utc(2026, 3, 10, 23, 50));
  launch(Launch().with(kTodayFocusTotalTimeKey, 75));
  EXPECT_EQ(total(), 75);  // no earlier check: kept
  EXPECT_EQ(lastAccess(), utc(2026, 3, 10, 23, 50));

  // A period finished after midnight while the app runs is added to yesterday's total.
  advance(15 * 60);
  app_.reset();
  resetWorld();
  launch();
  EXPECT_EQ(total(), 0);

  advance(60);
  defaults()->setInteger(25, kTodayFocusTotalTimeKey);
  app_.reset();
  resetWorld();
  launch();
  EXPECT_EQ(total(), 25);
}

}  // namespace
