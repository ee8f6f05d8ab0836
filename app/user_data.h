// Starts a new day's focus total: the focus screen's load compares the moment of the previous
// load with today and zeroes "today.focus.total.time" when the day has changed.
#pragma once

#include <optional>

#include "platform/foundation/date.h"

class UserData {
 public:
  // Nothing happens without a date. Otherwise a previous check on another day (in the local
  // calendar) clears the total, and the date is remembered for the next check.
  static void resetTodayFocusTimeIfNewDay(std::optional<platform::Date> date);
};
