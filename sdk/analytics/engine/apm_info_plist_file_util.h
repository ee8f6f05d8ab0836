// Where the SDK's options property list "VidezuService-Info.plist" is and what it holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

class APMInfoPlistFileUtil {
 public:
  APMInfoPlistFileUtil() = delete;

  // The main bundle's copy first, then the engine's own bundle's.
  static std::optional<std::string> videzuServiceInfoPlistPath();
  // Nothing when there is no file or it does not hold a dictionary.
  static std::optional<platform::Value::Dictionary> dictionaryFromVidezuServiceInfoPlist();

  // The folder the engine's own resources ship in; none unless set (the engine is linked into
  // the app, so its resources are the app's).
  static void setEngineBundlePath(const std::optional<std::filesystem::path>& path);
};

// Device facts every measurement bundle reports.
class APMEnvironmentInfo {
 public:
  static APMEnvironmentInfo& sharedInstance();

  // Read once per process.
  std::string deviceModel();
  std::string deviceOSVersion() const;
  // Lower-cased ("en-us"); nothing, logged, when the user has no preferred language.
  std::optional<std::string> userDefaultLanguage() const;
  // East positive, truncated toward zero.
  std::int32_t timeZoneOffsetMinutes() const;

 private:
  std::once_flag deviceModelOnce_;
  std::string deviceModel_;
};
