// The camera's capture device, used for its torch. Changing the torch needs the configuration
// lock; the trace records "torch" with "on <level>" and "off" when its light changes.
#pragma once

#include <memory>

#include "platform/foundation/thread_safety.h"

namespace platform {

class Error;

enum class MediaType { Video, Audio };
enum class TorchMode { Off = 0, On = 1, Auto = 2 };

inline constexpr float kMaxAvailableTorchLevel = 1.0f;

class CaptureDevice {
 public:
  // The one default device for video; null when the driver says there is none.
  static std::shared_ptr<CaptureDevice> defaultDeviceWithMediaType(MediaType type);

  bool hasTorch() const;
  bool isTorchAvailable() const { return hasTorch(); }

  // Nests: every successful lock needs its unlock. Fails when the driver says so.
  bool lockForConfiguration(Error* error);
  // Unlocking without a lock raises, as a caller's misuse.
  void unlockForConfiguration();
  bool isLockedForConfiguration() const;
  int lockCount() const;

  // Requires the lock and a torch (platform::Exception otherwise). Level in (0, 1]; other levels
  // and a refusal by the driver fail with `error`.
  bool setTorchModeOnWithLevel(float level, Error* error);
  // Requires the lock and a torch (platform::Exception otherwise). On uses the last level, or the
  // full level when none was set.
  void setTorchMode(TorchMode mode);
  TorchMode torchMode() const;
  float torchLevel() const;  // 0 while off
  bool isTorchActive() const;

  // Unlocked and dark again, without trace; MediaDriver::reset uses it.
  void resetForDriver();

  CaptureDevice() = default;
  CaptureDevice(const CaptureDevice&) = delete;
  CaptureDevice& operator=(const CaptureDevice&) = delete;

 private:
  void requireLockAndTorchLocked(const char* what, bool hasTorch) const REQUIRES(mutex_);

  mutable Mutex mutex_;
  int locks_ GUARDED_BY(mutex_) = 0;
  TorchMode mode_ GUARDED_BY(mutex_) = TorchMode::Off;
  float level_ GUARDED_BY(mutex_) = 0;
  float lastLevel_ GUARDED_BY(mutex_) = kMaxAvailableTorchLevel;
};

}  // namespace platform
