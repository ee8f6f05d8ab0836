// In-process notifications between the app's screens and services (default centre).
//
// Where a notification carries a boolean number as its object, the object is one of two shared
// constants, so that observers recognise true and false by identity as the centre compares
// senders; any other object is "not a boolean".
#pragma once

#include <optional>
#include <string_view>

namespace platform {
class Value;
}

inline constexpr std::string_view kTimerActivityChangeNotification = "TimerActivityChangeNotification";
inline constexpr std::string_view kSessionNumberChangeNotification = "SessionNumberChangeNotification";
inline constexpr std::string_view kFocusTimeChangeNotification = "FocusTimeChangeNotification";
inline constexpr std::string_view kReturnFromBreakTimeNotification = "ReturnFromBreakTimeNotification";
inline constexpr std::string_view kBlinkBirdImageNotification = "blinkBirdImage";
inline constexpr std::string_view kWhiteNoiseModeChangeNotification = "WhiteNoiseModeChangeNotification";

// The shared boolean number for `value`.
const platform::Value* booleanNumber(bool value);
// The value of a notification object when it is one of the shared boolean numbers.
std::optional<bool> booleanNumberValue(const void* object);

// Posts `name` on the default centre with a boolean number, or with no object.
void postAppNotification(std::string_view name, std::optional<bool> object = std::nullopt);
