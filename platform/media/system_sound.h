// System sounds by identifier. The vibrate identifier records "vibrate" in the trace; any other
// identifier records "sound" with "system <id>".
#pragma once

#include <cstdint>

namespace platform {

using SystemSoundID = std::uint32_t;
inline constexpr SystemSoundID kSystemSoundID_Vibrate = 4095;

namespace AudioServices {
void playSystemSound(SystemSoundID sound);
// On this platform an alert sound is the system sound itself.
void playAlertSound(SystemSoundID sound);
}  // namespace AudioServices

}  // namespace platform
