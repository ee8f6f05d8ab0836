// The running app for the settings cache and request: identity, versions, install source, the
// SDK versions in the main executable, and a build instance identifier that changes with the
// executable's code (the SHA-1 of its slices' UUIDs).
#pragma once

#include <map>
#include <memory>
#include <string>

struct RLZApplicationIdentifierVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t bugfix = 0;
};

class RLZApplicationIdentifierModel {
 public:
  // Null when the main executable cannot be read.
  static std::shared_ptr<RLZApplicationIdentifierModel> make();
  // From any executable file (tests, fixtures).
  static std::shared_ptr<RLZApplicationIdentifierModel> makeWithExecutablePath(const std::string& path);

  const std::map<std::string, std::string>& architectureUUIDMap() const { return architectureUUIDMap_; }
  const std::string& buildInstanceID() const { return buildInstanceID_; }
  RLZApplicationIdentifierVersion builtSDK() const { return builtSDK_; }
  RLZApplicationIdentifierVersion minimumSDK() const { return minimumSDK_; }

  std::string bundleID() const;
  std::string displayName() const;
  std::string platform() const;
  std::string buildVersion() const;
  std::string displayVersion() const;
  std::string synthesizedVersion() const;
  int installSource() const;
  std::string builtSDKString() const;
  std::string minimumSDKString() const;

 private:
  bool computeExecutableInfo(const std::string& path);
  void computeInstanceIdentifier();

  std::map<std::string, std::string> architectureUUIDMap_;
  std::string buildInstanceID_;
  RLZApplicationIdentifierVersion builtSDK_;
  RLZApplicationIdentifierVersion minimumSDK_;
};
