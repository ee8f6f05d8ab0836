// What tests and the terminal front end control and read of the media stand-ins.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"

namespace platform::MediaDriver {

// Back to a fresh device: no failures, a torch present, off and unlocked, session category unset.
// Players are left alone: their owners hold them.
void reset();

// The next setCategory calls fail with `error` until cleared with std::nullopt.
void setAudioSessionFailure(std::optional<Error> error);

// Torch hardware and its failures.
void setHasCaptureDevice(bool present);
void setHasTorch(bool hasTorch);
void setLockForConfigurationFails(bool fails);
void setTorchOnFails(bool fails);

struct NowPlaying {
  std::string name;
  bool looping = false;  // numberOfLoops is -1
  float volume = 1;
};
// Players playing now, in order of creation.
std::vector<NowPlaying> nowPlaying();
bool torchIsOn();
float torchLevel();

}  // namespace platform::MediaDriver
