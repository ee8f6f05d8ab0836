#include "sdk/analytics/common/apm_platform_identity_support.h"

#include "platform/foundation/strings.h"
#include "platform/runtime/class.h"

APMPlatformIdentitySupport& APMPlatformIdentitySupport::sharedInstance() {
  static APMPlatformIdentitySupport* instance = new APMPlatformIdentitySupport;
  return *instance;
}

APMPlatformIdentitySupport::APMPlatformIdentitySupport()
    : trackingManagerClass_(platform::runtime::classNamed("ATTrackingManager")) {
  const auto managerClass = platform::runtime::classNamed("ASIdentifierManager");
  if (managerClass && managerClass->respondsToSelector("sharedManager")) {
    identifierManager_ = managerClass->perform("sharedManager");
    if (identifierManager_.has_value()) identifierManagerClass_ = managerClass;
  }
}

std::int64_t APMPlatformIdentitySupport::appDataConsentStatus() const {
  if (!trackingManagerClass_ || !trackingManagerClass_->respondsToSelector("trackingAuthorizationStatus")) return -1;
  const std::any status = trackingManagerClass_->perform("trackingAuthorizationStatus");
  if (const auto* v = std::any_cast<std::int64_t>(&status)) return *v;
  if (const auto* v = std::any_cast<int>(&status)) return *v;
  return -1;
}

bool APMPlatformIdentitySupport::limitedAdTracking() const {
  if (!identifierManagerClass_ || !identifierManagerClass_->respondsToSelector("isAdvertisingTrackingEnabled")) {
    return false;
  }
  const std::any enabled = identifierManagerClass_->perform("isAdvertisingTrackingEnabled", {identifierManager_});
  const auto* v = std::any_cast<bool>(&enabled);
  return v && !*v;
}

std::optional<std::string> APMPlatformIdentitySupport::resettableDeviceID() const {
  if (!identifierManagerClass_ || !identifierManagerClass_->respondsToSelector("advertisingIdentifier")) {
    return std::nullopt;
  }
  const std::any identifier = identifierManagerClass_->perform("advertisingIdentifier", {identifierManager_});
  if (const auto* s = std::any_cast<std::string>(&identifier)) return platform::strings::uppercase(*s);
  return std::nullopt;
}
