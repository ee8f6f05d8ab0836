#include "sdk/crash/settings/rlz_settings.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/json.h"
#include "sdk/crash/launch/rlz_application_identifier_model.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/transport/core/vdtcor_event.h"

namespace {

// Unsigned 32-bit, the fraction dropped. A value out of that range (a negative number, 1e19) is
// held at the nearer end instead of wrapping into a small number no server meant.
std::uint32_t toUnsigned32(const platform::Value& value) {
  constexpr auto kMax = std::numeric_limits<std::uint32_t>::max();
  if (const double* d = value.ifDouble()) {
    if (std::isnan(*d) || *d <= 0) return 0;
    return *d >= static_cast<double>(kMax) ? kMax : static_cast<std::uint32_t>(*d);
  }
  if (const auto* i = value.ifInteger(); i && *i < 0) return 0;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(value.unsignedValue(), kMax));
}

}  // namespace

RLZSettings::RLZSettings(std::shared_ptr<RLZFileManager> fileManager,
                         std::shared_ptr<RLZApplicationIdentifierModel> appIDModel)
    : fileManager_(std::move(fileManager)),
      appIDModel_(std::move(appIDModel)),
      fileQueue_(platform::DispatchQueue::serial("com.videzu.vuduzara.ralitoze.settings.io",
                                                 platform::DispatchQueue::global(platform::QualityOfService::Background))) {}

void RLZSettings::performFileOperation(const std::function<void()>& block) {
  if (fileQueue_->isCurrent()) {
    block();
  } else {
    fileQueue_->sync(block);
  }
}

void RLZSettings::reloadFromCacheWithVidezuAppID(const std::string& appID, double currentTimestamp) {
  const auto data = fileManager_->dataWithContentsOfFile(fileManager_->settingsFilePath());
  if (!data) {
    RLZDebugLog("[Ralitoze:Settings] No settings were cached");
    return;
  }
  platform::Error error;
  std::optional<platform::Value> parsed;
  {
    platform::MutexLock lock(mutex_);
    parsed = platform::JSON::parse(*data, &error);
    // Any JSON parses; only an object is a settings document.
    if (parsed && !parsed->isDictionary()) {
      error = platform::Error("NSCocoaErrorDomain", 3840, {{"NSDebugDescription", "settings are not an object"}});
      parsed.reset();
    }
    settingsDictionary_ = parsed;
  }
  if (!parsed) {
    RLZErrorLog("Could not load settings file data with error: %@", error.localizedDescription());
    deleteCachedSettings();
    return;
  }
  const auto key = loadCacheKey();
  if (!key || !key->isDictionary()) {
    RLZErrorLog("Could not load settings cache key");
    deleteCachedSettings();
    return;
  }
  if ((*key)["videzu_app_id"] != platform::Value(appID)) {
    RLZDebugLog("[Ralitoze:Settings] Invalidating settings cache because Videzu App ID changed");
    deleteCachedSettings();
    return;
  }
  const auto& createdAt = (*key)["created_at"];
  const double created = createdAt.isNumber() ? static_cast<double>(toUnsigned32(createdAt)) : 0;
  bool expired = false;
  if (created + cacheDurationSeconds() < currentTimestamp) {
    RLZDebugLog("[Ralitoze:Settings] Settings TTL expired");
    expired = true;
  }
  const std::string buildInstance = appIDModel_ ? appIDModel_->buildInstanceID() : std::string();
  if ((*key)["build_instance_id"] != platform::Value(buildInstance)) {
    RLZDebugLog("[Ralitoze:Settings] Settings expired because build instance changed");
    expired = true;
  }
  const std::string version = appIDModel_ ? appIDModel_->synthesizedVersion() : std::string();
  if ((*key)["app_version"] != platform::Value(version)) {
    RLZDebugLog("[Ralitoze:Settings] Settings expired because app version changed");
    expired = true;
  }
  if (expired) {
    platform::MutexLock lock(mutex_);
    isCacheKeyExpired_ = true;
  }
}

void RLZSettings::cacheSettingsWithVidezuAppID(const std::string& appID, double currentTimestamp) {
  const platform::Value key = platform::Value::dictionary({
      {"created_at", platform::Value(currentTimestamp)},
      {"videzu_app_id", platform::Value(appID)},
      {"build_instance_id", platform::Value(appIDModel_ ? appIDModel_->buildInstanceID() : std::string())},
      {"app_version", platform::Value(appIDModel_ ? appIDModel_->synthesizedVersion() : std::string())},
  });
  platform::Error error;
  const auto text = platform::JSON::serialize(key, false, &error);
  if (!text) {
    RLZErrorLog("Could not create settings cache key with error: %@", error.localizedDescription());
    return;
  }
  performFileOperation([&] {
    const std::string path = fileManager_->settingsCacheKeyPath();
    if (fileManager_->fileExistsAtPath(path)) fileManager_->removeItemAtPath(path);
    fileManager_->createFileAtPath(path, platform::Data(text->begin(), text->end()));
  });
  {
    platform::MutexLock lock(mutex_);
    isCacheKeyExpired_ = false;
  }
  reloadFromCacheWithVidezuAppID(appID, currentTimestamp);
}

void RLZSettings::deleteCachedSettings() {
  std::weak_ptr<RLZSettings> weak = weak_from_this();
  auto fileManager = fileManager_;
  fileQueue_->async([weak, fileManager] {
    if (!weak.lock()) return;
    for (const auto& path : {fileManager->settingsFilePath(), fileManager->settingsCacheKeyPath()}) {
      if (fileManager->fileExistsAtPath(path)) fileManager->removeItemAtPath(path);
    }
  });
  platform::MutexLock lock(mutex_);
  isCacheKeyExpired_ = true;
  settingsDictionary_.reset();
}

bool RLZSettings::isCacheExpired() const {
  platform::MutexLock lock(mutex_);
  return !settingsDictionary_ || isCacheKeyExpired_;
}

std::optional<platform::Value> RLZSettings::loadCacheKey() const {
  const auto data = fileManager_->dataWithContentsOfFile(fileManager_->settingsCacheKeyPath());
  if (!data) return std::nullopt;
  return platform::JSON::parse(*data);
}

std::optional<platform::Value> RLZSettings::settingsDictionary() const {
  platform::MutexLock lock(mutex_);
  return settingsDictionary_;
}

std::optional<platform::Value> RLZSettings::section(std::string_view name) const {
  const auto settings = settingsDictionary();
  if (!settings) return std::nullopt;
  const auto& value = (*settings)[name];
  if (!value.isDictionary()) return std::nullopt;
  return value;
}

std::optional<platform::Value> RLZSettings::number(std::string_view sectionName, std::string_view key) const {
  std::optional<platform::Value> container = sectionName.empty() ? settingsDictionary() : section(sectionName);
  if (!container) return std::nullopt;
  const auto& value = (*container)[key];
  if (!value.isNumber()) return std::nullopt;
  return value;
}

std::uint32_t RLZSettings::unsignedValue(std::string_view sectionName, std::string_view key,
                                         std::uint32_t fallback) const {
  const auto value = number(sectionName, key);
  return value ? toUnsigned32(*value) : fallback;
}

bool RLZSettings::boolValue(std::string_view sectionName, std::string_view key, bool fallback) const {
  const auto value = number(sectionName, key);
  return value ? value->boolValue() : fallback;
}

double RLZSettings::doubleValue(std::string_view sectionName, std::string_view key, double fallback) const {
  const auto value = number(sectionName, key);
  return value ? value->doubleValue() : fallback;
}

std::uint32_t RLZSettings::cacheDurationSeconds() const { return unsignedValue({}, "cache_duration", 3600); }
bool RLZSettings::errorReportingEnabled() const { return boolValue("features", "collect_logged_exceptions", true); }
bool RLZSettings::collectReportsEnabled() const { return boolValue("features", "collect_reports", true); }
bool RLZSettings::metricKitCollectionEnabled() const { return boolValue("features", "collect_metric_kit", false); }
std::uint32_t RLZSettings::logBufferSize() const {
  constexpr auto kMaxLogBufferBytes = static_cast<std::uint32_t>(kVDTCORMaxEventPayloadBytes / 2);
  return std::min(unsignedValue("session", "log_buffer_size", 64000), kMaxLogBufferBytes);
}
std::uint32_t RLZSettings::maxCustomExceptions() const {
  return unsignedValue("session", "max_custom_exception_events", 8);
}
std::uint32_t RLZSettings::maxCustomKeys() const { return unsignedValue("session", "max_custom_key_value_pairs", 64); }
double RLZSettings::onDemandUploadRate() const { return doubleValue({}, "on_demand_upload_rate_per_minute", 10.0); }
double RLZSettings::onDemandBackoffBase() const { return doubleValue({}, "on_demand_backoff_base", 1.5); }
std::uint32_t RLZSettings::onDemandBackoffStepDuration() const {
  return unsignedValue({}, "on_demand_backoff_step_duration_seconds", 6);
}
