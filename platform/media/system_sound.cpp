#include "platform/media/system_sound.h"

#include <string>

#include "platform/foundation/trace.h"

namespace platform::AudioServices {

void playSystemSound(SystemSoundID sound) {
  if (sound == kSystemSoundID_Vibrate) {
    Trace::record("vibrate");
  } else {
    Trace::record("sound", "system " + std::to_string(sound));
  }
}

void playAlertSound(SystemSoundID sound) { playSystemSound(sound); }

}  // namespace platform::AudioServices
