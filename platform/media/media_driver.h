// What tests and the terminal front end control and read of the media stand-ins.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"

namespace platform::MediaDriver {

// Back to a fresh device: no failures, every asset as the catalogue has it, a torch present, off and unlocked, session category unset.
// Players are left alone: their owners hold them.
void reset();

// The next setCategory calls fail with `error` until cleared with std::nullopt.
void setAudioSessionFailure(std::optional<Error> error);

// Torch hardware and its failures.
void setHasCaptureDevice(bool present);
void setHasTorch(bool hasTorch);
void setLockForConfigurationFails(bool fails);
void setTorchOnFails(bool fails);

// An asset of the catalogue as the device finds it: gone, or there but holding bytes no player
// decodes. Kept until cleared with std::nullopt or reset.
enum class AssetFault { Missing, Unreadable };
void setAssetFault(const std::string& name, std::optional<AssetFault> fault);
std::optional<AssetFault> assetFault(std::string_view name);

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
