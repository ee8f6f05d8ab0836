// The crash reporter's cached remote settings ("settings.json") and the key that says when, for
// which app and build they were fetched ("cache-key.json"). Every getter has a built-in default:
// a missing file, section or key, a section that is not an object or a value that is not a
// number all read as absent.
//
// Every change to the files on disk (the deletion of a stale cache, the download's replacement of
// the settings directory, the new cache key) runs on one serial queue, in the order asked: a
// deletion queued before a download can no longer remove the document the download wrote.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"

namespace platform {
class DispatchQueue;
}
class RLZFileManager;
class RLZApplicationIdentifierModel;

class RLZSettings : public std::enable_shared_from_this<RLZSettings> {
 public:
  RLZSettings(std::shared_ptr<RLZFileManager> fileManager, std::shared_ptr<RLZApplicationIdentifierModel> appIDModel);

  // `currentTimestamp`: seconds since 1 January 2001.
  void reloadFromCacheWithVidezuAppID(const std::string& appID, double currentTimestamp);
  void cacheSettingsWithVidezuAppID(const std::string& appID, double currentTimestamp);
  void deleteCachedSettings();
  // Runs `block` on the settings' file queue and waits for it (at once when already there).
  void performFileOperation(const std::function<void()>& block);

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
  // Each of the two log files a report keeps holds at most this; held to half of what one
  // report can carry, since a larger log would only be cut on packaging after filling the disk.
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
  const std::shared_ptr<platform::DispatchQueue> fileQueue_;
  mutable platform::Mutex mutex_;
  std::optional<platform::Value> settingsDictionary_ GUARDED_BY(mutex_);
  bool isCacheKeyExpired_ GUARDED_BY(mutex_) = false;
};
