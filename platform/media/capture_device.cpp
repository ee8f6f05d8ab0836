#include "platform/media/capture_device.h"

#include <cmath>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/trace.h"
#include "platform/media/media_state.h"

namespace platform {

namespace {

constexpr std::string_view kCaptureErrorDomain = "AVFoundationErrorDomain";
constexpr std::int64_t kCaptureErrorUnknown = -11800;
constexpr std::int64_t kCaptureErrorDeviceNotAvailable = -11814;

Error captureError(std::int64_t code, std::string description) {
  return Error(std::string(kCaptureErrorDomain), code, {{std::string(kLocalizedDescriptionKey), Value(std::move(description))}});
}

struct Flags {
  bool hasTorch;
  bool lockFails;
  bool torchOnFails;
};

Flags flags() {
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  return {s.hasTorch, s.lockFails, s.torchOnFails};
}

std::string onDetail(float level) { return format("on %g", static_cast<double>(level)); }

}  // namespace

std::shared_ptr<CaptureDevice> CaptureDevice::defaultDeviceWithMediaType(MediaType type) {
  if (type != MediaType::Video) return nullptr;
  auto& s = MediaState::shared();
  MutexLock lock(s.mutex);
  if (!s.hasDevice) return nullptr;
  if (!s.device) s.device = std::make_shared<CaptureDevice>();
  return s.device;
}

bool CaptureDevice::hasTorch() const { return flags().hasTorch; }

bool CaptureDevice::lockForConfiguration(Error* error) {
  if (flags().lockFails) {
    setError(error, captureError(kCaptureErrorDeviceNotAvailable, "Cannot use the device"));
    return false;
  }
  MutexLock lock(mutex_);
  ++locks_;
  return true;
}

void CaptureDevice::unlockForConfiguration() {
  MutexLock lock(mutex_);
  if (locks_ == 0) {
    throw Exception(std::string(kGenericException), "unlockForConfiguration called without a matching lockForConfiguration");
  }
  --locks_;
}

bool CaptureDevice::isLockedForConfiguration() const {
  MutexLock lock(mutex_);
  return locks_ > 0;
}

int CaptureDevice::lockCount() const {
  MutexLock lock(mutex_);
  return locks_;
}

void CaptureDevice::requireLockAndTorchLocked(const char* what, bool hasTorch) const {
  if (!hasTorch) throw Exception(std::string(kInvalidArgumentException), std::string(what) + ": the device has no torch");
  if (locks_ == 0) {
    throw Exception(std::string(kGenericException), std::string(what) + " called without lockForConfiguration");
  }
}

bool CaptureDevice::setTorchModeOnWithLevel(float level, Error* error) {
  const Flags f = flags();
  bool changed = false;
  {
    MutexLock lock(mutex_);
    requireLockAndTorchLocked("setTorchModeOnWithLevel", f.hasTorch);
    if (!(level > 0.0f && level <= kMaxAvailableTorchLevel)) {
      setError(error, captureError(kCaptureErrorUnknown, format("Torch level %g is out of range", static_cast<double>(level))));
      return false;
    }
    if (f.torchOnFails) {
      setError(error, captureError(kCaptureErrorUnknown, "The torch could not be switched on"));
      return false;
    }
    changed = mode_ != TorchMode::On || level_ != level;
    mode_ = TorchMode::On;
    level_ = level;
    lastLevel_ = level;
  }
  if (changed) Trace::record("torch", onDetail(level));
  return true;
}

void CaptureDevice::setTorchMode(TorchMode mode) {
  const Flags f = flags();
  std::string detail;
  {
    MutexLock lock(mutex_);
    requireLockAndTorchLocked("setTorchMode", f.hasTorch);
    // Auto lights only in the dark, which this device never sees.
    const bool wasOn = mode_ == TorchMode::On;
    const bool on = mode == TorchMode::On;
    mode_ = mode;
    if (on && !wasOn) {
      level_ = lastLevel_;
      detail = onDetail(level_);
    } else if (!on && wasOn) {
      level_ = 0;
      detail = "off";
    }
  }
  if (!detail.empty()) Trace::record("torch", detail);
}

TorchMode CaptureDevice::torchMode() const {
  MutexLock lock(mutex_);
  return mode_;
}

float CaptureDevice::torchLevel() const {
  MutexLock lock(mutex_);
  return mode_ == TorchMode::On ? level_ : 0.0f;
}

bool CaptureDevice::isTorchActive() const {
  MutexLock lock(mutex_);
  return mode_ == TorchMode::On;
}

void CaptureDevice::resetForDriver() {
  MutexLock lock(mutex_);
  locks_ = 0;
  mode_ = TorchMode::Off;
  level_ = 0;
  lastLevel_ = kMaxAvailableTorchLevel;
}

}  // namespace platform
