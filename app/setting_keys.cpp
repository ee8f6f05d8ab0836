#include "app/setting_keys.h"

#include <algorithm>

#include "platform/foundation/user_defaults.h"

std::int64_t storedSetting(std::string_view key) {
  constexpr std::int64_t kHighestMinutes = 1'000'000;
  const std::int64_t stored = platform::UserDefaults::standard()->integerForKey(key);
  if (key == kFocusTimeKey) return std::clamp<std::int64_t>(stored, 0, kHighestMinutes);
  if (key == kBreakTimeKey || key == kLongBreakTimeKey) return std::clamp<std::int64_t>(stored, 1, kHighestMinutes);
  if (key == kSessionNumberKey) return std::clamp(stored, kLowestSessionNumber, kHighestSessionNumber);
  return stored;
}
