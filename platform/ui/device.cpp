#include "platform/ui/device.h"

#include "platform/foundation/notification_center.h"
#include "platform/foundation/system_info.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/user_defaults.h"
#include "platform/foundation/uuid.h"

namespace platform {

std::shared_ptr<Device> Device::currentShared() {
  // Never destroyed: workers read the device (crash reports, analytics) and may still do so while the process exits.
  static const auto* const device = new std::shared_ptr<Device>(std::make_shared<Device>());
  return *device;
}

Device& Device::current() { return *currentShared(); }

std::string Device::model() const {
  {
    MutexLock lock(mutex_);
    if (model_) return *model_;
  }
  return SystemInfo::model();
}

void Device::setModel(std::string model) {
  MutexLock lock(mutex_);
  model_ = std::move(model);
  // A device without the sensor cannot keep monitoring on.
  if (!model_->starts_with("iPhone")) monitoring_ = false;
}

std::string Device::systemName() const { return SystemInfo::systemName(); }
std::string Device::systemVersion() const { return SystemInfo::systemVersion(); }

UserInterfaceIdiom Device::userInterfaceIdiom() const {
  return model().starts_with("iPad") ? UserInterfaceIdiom::Pad : UserInterfaceIdiom::Phone;
}

bool Device::isProximityMonitoringEnabled() const {
  MutexLock lock(mutex_);
  return monitoring_;
}

void Device::setProximityMonitoringEnabled(bool enabled) {
  // Only phones carry the sensor; elsewhere monitoring stays off.
  bool hasSensor = model().starts_with("iPhone");
  MutexLock lock(mutex_);
  monitoring_ = enabled && hasSensor;
}

bool Device::proximityState() const {
  MutexLock lock(mutex_);
  return monitoring_ && covered_;
}

DeviceOrientation Device::orientation() const {
  MutexLock lock(mutex_);
  return orientation_;
}

Value Device::valueForKey(std::string_view key) const {
  if (key == kFeedbackSupportLevelKey) {
    {
      MutexLock lock(mutex_);
      if (feedbackSupportLevel_) return *feedbackSupportLevel_;
    }
    return Value(userInterfaceIdiom() == UserInterfaceIdiom::Phone ? 2 : 0);
  }
  if (key == "model") return Value(model());
  if (key == "systemName") return Value(systemName());
  if (key == "systemVersion") return Value(systemVersion());
  if (key == "proximityState") return Value(proximityState());
  if (key == "proximityMonitoringEnabled") return Value(isProximityMonitoringEnabled());
  return Value();
}

void Device::setSensorCovered(bool covered) {
  bool post;
  {
    MutexLock lock(mutex_);
    if (covered_ == covered) return;
    covered_ = covered;
    post = monitoring_;
  }
  if (!post) return;
  Notification n;
  n.name = std::string(kDeviceProximityStateDidChangeNotification);
  n.object = this;
  n.objectRef = shared_from_this();
  NotificationCenter::defaultCenter().post(std::move(n));
}

bool Device::isSensorCovered() const {
  MutexLock lock(mutex_);
  return covered_;
}

void Device::setOrientation(DeviceOrientation orientation) {
  {
    MutexLock lock(mutex_);
    if (orientation_ == orientation) return;
    orientation_ = orientation;
  }
  Notification n;
  n.name = std::string(kDeviceOrientationDidChangeNotification);
  n.object = this;
  n.objectRef = shared_from_this();
  NotificationCenter::defaultCenter().post(std::move(n));
}

void Device::setFeedbackSupportLevel(std::optional<Value> level) {
  MutexLock lock(mutex_);
  feedbackSupportLevel_ = std::move(level);
}

std::string Device::identifierForVendor() const {
  MutexLock lock(mutex_);
  const auto store = UserDefaults::suite("com.focus.platform.device");
  if (auto stored = store->stringForKey("identifierForVendor"); stored && UUID::fromString(*stored)) return *stored;
  std::string made = UUID().UUIDString();
  store->setObject(Value(made), "identifierForVendor");
  return made;
}

void Device::reset() {
  MutexLock lock(mutex_);
  model_.reset();
  monitoring_ = false;
  covered_ = false;
  orientation_ = DeviceOrientation::Portrait;
  feedbackSupportLevel_.reset();
}

}  // namespace platform
