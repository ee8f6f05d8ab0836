// The application's persistent settings in the standard user defaults: every screen reads and
// writes them by these names at the moment of use. Durations are whole minutes.
#pragma once

#include <string_view>

inline constexpr std::string_view kIsFirstLaunchKey = "is.first.launch";
inline constexpr std::string_view kFocusTimeKey = "setting.focus.time";
inline constexpr std::string_view kBreakTimeKey = "setting.break.time";
inline constexpr std::string_view kLongBreakTimeKey = "setting.long.break.time";
inline constexpr std::string_view kSessionNumberKey = "setting.session.number";
inline constexpr std::string_view kEnableSoundKey = "setting.enable.sound";
inline constexpr std::string_view kEnableVibrationKey = "setting.enable.vibration";
inline constexpr std::string_view kEnableFlashKey = "setting.enable.flash";
inline constexpr std::string_view kSessionDoneNumberKey = "session.done.number";
inline constexpr std::string_view kWhiteNoiseModeKey = "setting.white.noise.mode";
inline constexpr std::string_view kTodayFocusTotalTimeKey = "today.focus.total.time";
inline constexpr std::string_view kVersionOfLastRunKey = "version.of.last.run";
inline constexpr std::string_view kLastAccessDateKey = "lastAccessDate";
inline constexpr std::string_view kSavedTimeBackgroundKey = "saved.time.background";

#include <cstdint>

// Periods per cycle: as many as the dots can show.
inline constexpr std::int64_t kLowestSessionNumber = 1;
inline constexpr std::int64_t kHighestSessionNumber = 10;

// A stored setting as every screen and the cycle logic use it. The store may hold anything (the
// preferences file can be edited), so each value is bounded here, once: the durations so that
// counting them in seconds never overflows, the periods per cycle to what the dots can show.
// Keys without bounds read as stored.
std::int64_t storedSetting(std::string_view key);
