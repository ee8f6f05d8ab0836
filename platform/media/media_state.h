// State shared by the media stand-ins and their driver.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/media/media_driver.h"

namespace platform {

class AudioPlayer;
class CaptureDevice;
class DispatchQueue;

struct MediaState {
  Mutex mutex;
  // Audio session.
  std::optional<Error> sessionFailure GUARDED_BY(mutex);
  std::string category GUARDED_BY(mutex);
  std::string mode GUARDED_BY(mutex);
  unsigned options GUARDED_BY(mutex) = 0;
  bool active GUARDED_BY(mutex) = false;
  // Capture device.
  bool hasDevice GUARDED_BY(mutex) = true;
  bool hasTorch GUARDED_BY(mutex) = true;
  bool lockFails GUARDED_BY(mutex) = false;
  bool torchOnFails GUARDED_BY(mutex) = false;
  std::shared_ptr<CaptureDevice> device GUARDED_BY(mutex);
  // Live players in order of creation; each removes itself before it dies.
  std::vector<AudioPlayer*> players GUARDED_BY(mutex);
  // Names of the assets loaded so far by a hash of their bytes, so that a player made from an
  // asset's data knows its name even when the sound carries no name tag.
  std::unordered_map<std::size_t, std::string> assetNames GUARDED_BY(mutex);
  // Assets the driver made missing or unreadable, by name.
  std::unordered_map<std::string, MediaDriver::AssetFault> assetFaults GUARDED_BY(mutex);

  static std::size_t hashOf(const Data& data);

  static MediaState& shared();
  // The queue on which playback ends are timed: not the main queue, which pauses in background.
  static std::shared_ptr<DispatchQueue> playbackQueue();
};

}  // namespace platform
