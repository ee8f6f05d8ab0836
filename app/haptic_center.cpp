#include "app/haptic_center.h"

#include "platform/ui/device.h"
#include "platform/ui/feedback_generator.h"

HapticCenter::HapticCenter() = default;
HapticCenter::~HapticCenter() = default;

bool HapticCenter::isHapticSupported() {
  platform::Value level = platform::Device::current().valueForKey(platform::kFeedbackSupportLevelKey);
  if (const std::int64_t* integer = level.ifInteger()) return *integer == 2;
  if (const std::uint64_t* integer = level.ifUnsigned()) return *integer == 2;
  return false;
}

void HapticCenter::playLightHaptic() {
  if (!isHapticSupported()) return;
  lightHapticGenerator_ = std::make_unique<platform::ImpactFeedbackGenerator>(platform::ImpactFeedbackStyle::Light);
  lightHapticGenerator_->prepare();
  lightHapticGenerator_->impactOccurred();
}
