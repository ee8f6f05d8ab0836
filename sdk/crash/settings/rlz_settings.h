// The crash reporter's cached remote settings ("settings.json") and the key that says when, for
// which app and build they were fetched ("cache-key.json"). Every getter has a built-in default:
// a missing file, section or key, a section that is not an object or a value that is not a
// number all read as absent.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/foundation/value.h"

class RLZFileManager;
class RLZApplicationIdentifierModel;

class RLZSettings : public std::enable_shared_from_this<RLZSettings> {
 public:
  RLZSettings(std::shared_ptr<RLZFileManager> fileManager, std::shared_ptr<RLZApplicationIdentifierModel> appIDModel);

  // `currentTimestamp`: seconds since 1 January 2001.
  void reloadFromCacheWithVidezuAppID(const std::string& appID, double currentTimestamp);
  void cacheSettingsWithVidezuAppID(const std::string& appID, double currentTimestamp);
  void deleteCachedSettings();

  bool isCacheExpired() const;
  std::optional<platform::Value> loadCacheKey() const;
  std::optional<platform::Value> settingsDictionary() const;

  std::optional<platform::Value> appSettings() const { return section("app"); }
  std::optional<platform::Value> sessionSettings() const { return section("session"); }
  std::optional<platform::Value> featuresSettings() const { return section("features"); }
  std::optional<platform::Value> tesmoraSettings() const { return section("tesmora"); }

  std::uint32_t cacheDurationSeconds() const;
  bool errorReportingEnabled() const;
  bool customExceptionsEnabled() const { return errorReportingEnabled(); }
  bool collectReportsEnabled() const;
  bool metricKitCollectionEnabled() const;
  std::uint32_t logBufferSize() const;
  std::uint32_t errorLogBufferSize() const { return logBufferSize(); }
  std::uint32_t maxCustomExceptions() const;
  std::uint32_t maxCustomKeys() const;
  double onDemandUploadRate() const;
  double onDemandBackoffBase() const;
  std::uint32_t onDemandBackoffStepDuration() const;

 private:
  std::optional<platform::Value> section(std::string_view name) const;
  // A number at the top level (`sectionName` empty) or inside a section.
  std::optional<platform::Value> number(std::string_view sectionName, std::string_view key) const;
  std::uint32_t unsignedValue(std::string_view sectionName, std::string_view key, std::uint32_t fallback) const;
  bool boolValue(std::string_view sectionName, std::string_view key, bool fallback) const;
  double doubleValue(std::string_view sectionName, std::string_view key, double fallback) const;

  std::shared_ptr<RLZFileManager> fileManager_;
  std::shared_ptr<RLZApplicationIdentifierModel> appIDModel_;
  mutable std::mutex mutex_;
  std::optional<platform::Value> settingsDictionary_;  // guarded by mutex_
  bool isCacheKeyExpired_ = false;                      // guarded by mutex_
};
