// The advertising identifier and the tracking-authorisation state, read from the platform's
// optional frameworks looked up by class name, so the program runs when they are not present.
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform::runtime {
class Class;
}

class APMPlatformIdentitySupport {
 public:
  static APMPlatformIdentitySupport& sharedInstance();
  // Looks the classes up now; the shared instance does so once.
  APMPlatformIdentitySupport();

  bool hasAppDataConsentStatus() const { return trackingManagerClass_ != nullptr; }
  // The platform's authorisation status, or -1.
  std::int64_t appDataConsentStatus() const;
  bool hasLimitedAdTracking() const { return identifierManagerClass_ != nullptr; }
  bool limitedAdTracking() const;
  std::optional<std::string> resettableDeviceID() const;

 private:
  std::shared_ptr<const platform::runtime::Class> trackingManagerClass_;
  // The manager is reached through its class: class methods take the shared manager first.
  std::shared_ptr<const platform::runtime::Class> identifierManagerClass_;
  std::any identifierManager_;
};
