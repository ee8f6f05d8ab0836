#include "app/user_data.h"

#include "app/setting_keys.h"
#include "platform/foundation/calendar.h"
#include "platform/foundation/console.h"
#include "platform/foundation/user_defaults.h"

void UserData::resetTodayFocusTimeIfNewDay(std::optional<platform::Date> date) {
  if (!date) return;
  auto defaults = platform::UserDefaults::standard();
  // Anything but a date under the key (a tampered store) counts as no previous check.
  platform::Value last = defaults->objectForKey(kLastAccessDateKey);
  if (const platform::Date* lastDate = last.ifDate(); lastDate && !platform::Calendar::isDateInToday(*lastDate)) {
    platform::Console::print("remove Persistent Domain");
    defaults->setInteger(0, kTodayFocusTotalTimeKey);
  }
  defaults->setObject(platform::Value(*date), kLastAccessDateKey);
}
