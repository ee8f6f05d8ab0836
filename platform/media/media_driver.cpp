#include "platform/media/media_driver.h"

#include <functional>
#include <string_view>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/thread_safety.h"
#include "platform/media/audio_player.h"
#include "platform/media/capture_device.h"
#include "platform/media/media_state.h"

namespace platform {

// Never destroyed: players owned by other statics may still unregister at exit.
MediaState& MediaState::shared() {
  static auto* state = new MediaState;
  return *state;
}

std::size_t MediaState::hashOf(const Data& data) {
  return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

std::shared_ptr<DispatchQueue> MediaState::playbackQueue() {
  static const auto* queue = new std::shared_ptr<DispatchQueue>(DispatchQueue::serial("platform.media.playback"));
  return *queue;
}

namespace MediaDriver {

void reset() {
  std::shared_ptr<CaptureDevice> device;
  {
    auto& s = MediaState::shared();
    MutexLock lock(s.mutex);
    s.sessionFailure.reset();
    s.category.clear();
    s.mode.clear();
    s.options = 0;
    s.active = false;
    s.hasDevice = true;
    s.hasTorch = true;
    s.lockFails = false;
    s.torchOnFails = false;
    s.assetFaults.clear();
    device = s.device;
  }
  if (device) device->resetForDriver();
}

void setAudioSessionFailure(std::optional<Error> error) {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  s.sessionFailure = std::move(error);
}

void setHasCaptureDevice(bool present) {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  s.hasDevice = present;
}

void setHasTorch(bool hasTorch) {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  s.hasTorch = hasTorch;
}

void setLockForConfigurationFails(bool fails) {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  s.lockFails = fails;
}

void setTorchOnFails(bool fails) {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  s.torchOnFails = fails;
}

void setAssetFault(const std::string& name, std::optional<AssetFault> fault) {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  if (fault) {
    s.assetFaults[name] = *fault;
  } else {
    s.assetFaults.erase(name);
  }
}

std::optional<AssetFault> assetFault(std::string_view name) {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  auto it = s.assetFaults.find(std::string(name));
  if (it == s.assetFaults.end()) return std::nullopt;
  return it->second;
}

std::vector<NowPlaying> nowPlaying() {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  std::vector<NowPlaying> result;
  for (AudioPlayer* player : s.players) {
    if (player->isPlaying()) result.push_back({player->name(), player->numberOfLoops() == -1, player->volume()});
  }
  return result;
}

static std::shared_ptr<CaptureDevice> existingDevice() {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  return s.device;
}

bool torchIsOn() {
  auto device = existingDevice();
  return device && device->isTorchActive();
}

float torchLevel() {
  auto device = existingDevice();
  return device ? device->torchLevel() : 0.0f;
}

}  // namespace MediaDriver
}  // namespace platform
