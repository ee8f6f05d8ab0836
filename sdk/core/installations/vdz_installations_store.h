// One installation record per app ID and app name: the archived record in the keychain plus an
// existence flag in a user-defaults suite. A record counts as present only when both exist, so a
// keychain that outlived a reinstall (the defaults did not) reads as no record.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sdk/core/installations/vdz_installations_item.h"
#include "sdk/utilities/promises/vbl_promise.h"

namespace platform {
class DispatchQueue;
}
class VULKeychainStorage;
class VULUserDefaults;

inline constexpr std::string_view kVDZInstallationsStoreUserDefaultsID = "com.vuduzara.VDZInstallations";

class VDZInstallationsStore {
 public:
  using ItemPromise = VBLPromise<std::shared_ptr<VDZInstallationsItem>>;

  VDZInstallationsStore(std::shared_ptr<VULKeychainStorage> secureStorage, std::optional<std::string> accessGroup);

  // Rejects with the not-found error when the flag or the keychain record is missing.
  std::shared_ptr<ItemPromise> installationForAppID(const std::string& appID, const std::string& appName);
  // Keychain first, then the flag; a keychain failure leaves the flag unset.
  std::shared_ptr<VBLPromise<VBLVoid>> saveInstallation(const std::shared_ptr<VDZInstallationsItem>& installation);
  std::shared_ptr<VBLPromise<VBLVoid>> removeInstallationForAppID(const std::string& appID, const std::string& appName);
  std::shared_ptr<VBLPromise<VBLVoid>> installationExistsForAppID(const std::string& appID, const std::string& appName);
  std::shared_ptr<VBLPromise<VBLVoid>> setInstallationExists(bool exists, const std::string& identifier);

  const std::shared_ptr<VULUserDefaults>& userDefaults() const { return userDefaults_; }

 private:
  const std::shared_ptr<VULKeychainStorage> secureStorage_;
  const std::optional<std::string> accessGroup_;
  const std::shared_ptr<platform::DispatchQueue> queue_;
  const std::shared_ptr<VULUserDefaults> userDefaults_;
};
