// State shared by the media stand-ins and their driver.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/media/media_driver.h"

namespace platform {

class AudioPlayer;
class CaptureDevice;
class DispatchQueue;

struct MediaState {
  std::mutex mutex;
  // Audio session.
  std::optional<Error> sessionFailure;
  std::string category;
  std::string mode;
  unsigned options = 0;
  bool active = false;
  // Capture device.
  bool hasDevice = true;
  bool hasTorch = true;
  bool lockFails = false;
  bool torchOnFails = false;
  std::shared_ptr<CaptureDevice> device;
  // Live players in order of creation; each removes itself before it dies.
  std::vector<AudioPlayer*> players;
  // Names of the assets loaded so far by a hash of their bytes, so that a player made from an
  // asset's data knows its name even when the sound carries no name tag.
  std::unordered_map<std::size_t, std::string> assetNames;
  // Assets the driver made missing or unreadable, by name.
  std::unordered_map<std::string, MediaDriver::AssetFault> assetFaults;

  static std::size_t hashOf(const Data& data);

  static MediaState& shared();
  // The queue on which playback ends are timed: not the main queue, which pauses in background.
  static std::shared_ptr<DispatchQueue> playbackQueue();
};

}  // namespace platform
