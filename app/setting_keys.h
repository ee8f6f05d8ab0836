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

#include <algorithm>
#include <cstdint>

// A stored duration in whole minutes, bounded so that counting it in seconds can never overflow
// whatever a tampered store holds.
inline std::int64_t boundedMinutes(std::int64_t minutes, std::int64_t lowest) {
  constexpr std::int64_t kHighest = 1'000'000;
  return std::clamp(minutes, lowest, kHighest);
}
