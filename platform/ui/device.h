// The device: model, system, proximity sensor, orientation and the private feedback-support
// level. Thread-safe: the face-down detector reads the proximity state on its own queue.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"

namespace platform {

inline constexpr std::string_view kDeviceProximityStateDidChangeNotification =
    "UIDeviceProximityStateDidChangeNotification";
inline constexpr std::string_view kDeviceOrientationDidChangeNotification = "UIDeviceOrientationDidChangeNotification";

// The private key-value key under which the device reports its haptic hardware (2: full).
inline constexpr std::string_view kFeedbackSupportLevelKey = "_feedbackSupportLevel";

enum class DeviceOrientation {
  Unknown = 0,
  Portrait = 1,
  PortraitUpsideDown = 2,
  LandscapeLeft = 3,
  LandscapeRight = 4,
  FaceUp = 5,
  FaceDown = 6,
};

enum class UserInterfaceIdiom { Unspecified = -1, Phone = 0, Pad = 1 };

class Device : public std::enable_shared_from_this<Device> {
 public:
  static Device& current();
  static std::shared_ptr<Device> currentShared();

  // "iPhone", "iPad", ...: the system's fact unless set here.
  std::string model() const;
  void setModel(std::string model);
  std::string name() const { return model(); }
  std::string systemName() const;
  std::string systemVersion() const;
  // Pad for models starting with "iPad", else Phone.
  UserInterfaceIdiom userInterfaceIdiom() const;
  // The vendor identifier's UUID string: made on first use and kept with the app's preferences,
  // so it lasts until the app is removed (as it does for a vendor with one app).
  std::string identifierForVendor() const;

  // Monitoring turns on only on a device with a proximity sensor (phones). Switching it on or off
  // posts nothing.
  bool isProximityMonitoringEnabled() const;
  void setProximityMonitoringEnabled(bool enabled);
  // True while monitoring is on and something covers the sensor.
  bool proximityState() const;

  DeviceOrientation orientation() const;

  // Key-value access to the device's private values; null for an unknown key.
  Value valueForKey(std::string_view key) const;

  // What the world does to the device (the terminal front end and tests' drivers).
  // A change of the sensor while monitoring is on posts kDeviceProximityStateDidChangeNotification
  // (object: the device) on the calling thread.
  void setSensorCovered(bool covered);
  bool isSensorCovered() const;
  // Posts kDeviceOrientationDidChangeNotification when the orientation changes.
  void setOrientation(DeviceOrientation orientation);
  // Any value, as a key-value read may find it; unset, it is 2 on phones and 0 elsewhere.
  void setFeedbackSupportLevel(std::optional<Value> level);
  // Back to a fresh device of the system's model.
  void reset();

 private:
  mutable Mutex mutex_;
  std::optional<std::string> model_ GUARDED_BY(mutex_);
  bool monitoring_ GUARDED_BY(mutex_) = false;
  bool covered_ GUARDED_BY(mutex_) = false;
  DeviceOrientation orientation_ GUARDED_BY(mutex_) = DeviceOrientation::Portrait;
  std::optional<Value> feedbackSupportLevel_ GUARDED_BY(mutex_);
};

}  // namespace platform
