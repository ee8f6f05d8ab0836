// The measurement-configuration half of APMRemoteConfig: accepting, storing and parsing a
// downloaded configuration, event configurations, URLs and the experiment client.
#include <cmath>
#include <regex>

#include "platform/foundation/bundle.h"
#include "platform/foundation/format.h"
#include "sdk/analytics/common/apm_foundation_extensions.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_names.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_engine_services.h"
#include "sdk/analytics/storage/apm_event_editing_loader.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apme_manager.h"
#include "sdk/utilities/utilities/vul_service_endpoints.h"

using platform::Error;
using platform::Value;

namespace {

constexpr std::string_view kDefaultUploadBaseURL = "https://app-measurement.vuduzara.invalid";
constexpr std::string_view kDefaultConfigBaseURL = "https://app-config.vuduzara.invalid";

// Configuration fields by field number.
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kAppID = 2;
constexpr std::uint32_t kSettings = 4;
constexpr std::uint32_t kEventConfigs = 5;
constexpr std::uint32_t kVuZirAppID = 7;
constexpr std::uint32_t kPrograms = 9;
constexpr std::uint32_t kDataControls = 10;
constexpr std::uint32_t kUploadSubdomain = 11;

// A setting's, event configuration's and data control's fields by index.
constexpr std::int32_t kSettingName = 0;
constexpr std::int32_t kSettingValue = 1;
constexpr std::int32_t kEventConfigName = 0;
constexpr std::int32_t kEventConfigBlocklisted = 1;
constexpr std::int32_t kEventConfigCustomConversion = 2;
constexpr std::int32_t kEventConfigSamplingRate = 3;
constexpr std::int32_t kDataControlName = 0;

std::optional<std::string> stringField(const APMPBMeasurementConfig& config, std::uint32_t number) {
  const std::int32_t index = APMFieldIndex(config, number);
  if (!NANOHasField(&config, index)) return std::nullopt;
  return NANOGetString(&config, index);
}

// One DNS label; anything else could move uploads to another host.
bool isHostLabel(const std::string& label) {
  // Never destroyed: a worker may still read a fetched configuration while the process exits.
  static const std::regex* const pattern = new std::regex("[a-z0-9-]{1,63}");
  return std::regex_match(label, *pattern);
}

bool isAddressLiteral(std::string_view host) {
  if (!host.empty() && host.front() == '[') return true;
  return !host.empty() && host.find_first_not_of("0123456789.") == std::string_view::npos;
}

// "scheme://label.host[:port]" from "scheme://host[:port]".
std::string withSubdomain(const std::string& base, const std::string& label) {
  const auto schemeEnd = base.find("://");
  if (schemeEnd == std::string::npos) return base;
  const std::size_t hostStart = schemeEnd + 3;
  const std::size_t hostEnd = base.find_first_of(":/", hostStart);
  const std::string_view host = std::string_view(base).substr(hostStart, hostEnd == std::string::npos
                                                                            ? std::string::npos
                                                                            : hostEnd - hostStart);
  if (isAddressLiteral(host)) return base;
  return base.substr(0, hostStart) + label + "." + base.substr(hostStart);
}

}  // namespace

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::initWithAppID(const std::string& appID, APMDatabase* database) {
  return initWithAppID(appID, database, APMEManager::sharedInstance());
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::initWithAppID(const std::string& appID, APMDatabase* database,
                                                                std::shared_ptr<APMEManager> experimentManager) {
  if (appID.empty()) {
    APMLog(1, 29000, "Cannot init remote configuration without valid Videzu App ID");
    return nullptr;
  }
  if (!database) {
    APMLog(1, 29001, "Cannot init remote configuration without valid database");
    return nullptr;
  }
  return initWithAppID(appID, database, nullptr, std::move(experimentManager));
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::initWithAppID(
    const std::string& appID, APMDatabase* database, std::shared_ptr<APMPBMeasurementConfig> measurementConfig,
    std::shared_ptr<APMEManager> experimentManager) {
  auto config = std::make_shared<APMRemoteConfig>();
  config->appID_ = appID;
  config->database_ = database;
  config->experimentManager_ = std::move(experimentManager);
  config->registerExperimentClient();
  config->isDefaultInstance_ = !database && appID.empty();
  if (config->isDefaultInstance_) return config;
  if (measurementConfig) {
    config->updateMeasurementConfig(measurementConfig);
  } else if (auto stored = config->measurementConfigFromDatabase()) {
    {
      platform::MutexLock lock(config->mutex_);
      config->remoteConfigProto_ = stored;
    }
    config->parseRemoteConfigFromMeasurementConfig(*stored);
  }
  return config;
}

void APMRemoteConfig::registerExperimentClient() {
  if (!experimentManager_) return;
  auto property = std::make_shared<APMESDKProperty>(std::string(kAPMMeasurementSDKName));
  property->setVersion(kAPMLibraryVersion);
  property->setDelegate(weak_from_this());
  client_ = experimentManager_->registerSDKProperty(
      property, {{"efficient_engagement_reporting_enabled", Value(std::int64_t{0})},
                 {"redundant_engagement_removal_enabled", Value(std::int64_t{0})},
                 {"network_background_session_enabled", Value(std::int64_t{0})},
                 {"persistent_config_in_application_support_enabled", Value(std::int64_t{0})}});
  if (!client_) return;
  client_->setDelegate(weak_from_this());
  experimentClient_ = client_;
  Error error;
  if (!client_->activateLatestSnapshot(&error) && error) {
    APMLog(2, 29023, "Cannot activate stale snapshot. Error", error);
  }
}

bool APMRemoteConfig::updateMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& config) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
  if (isDefaultInstance_) {
    APMLog(2, 29002, "Cannot update the default measurement configuration");
    return false;
  }
  if (!config) {
    APMLog(5, 29003, "Cannot set empty measurement config to database");
    return false;
  }
  if (APMEngineOrigin() == "am" && stringField(*config, kVuZirAppID).value_or("") != appID_) {
    APMLog(2, 29022, "Cannot set measurement config when VuZir App ID does not match");
    return false;
  }
  if (stringField(*config, kAppID).value_or("") != appID_) {
    APMLog(2, 29004, "Cannot set measurement config when Videzu App ID does not match");
    return false;
  }
  Error error;
  if (!database_->updateRemoteConfig(*config, &error) && error) {
    APMLog(1, 29005, "Cannot store config into the database", error);
    return false;
  }
  {
    platform::MutexLock lock(mutex_);
    remoteConfigProto_ = config;
  }
  parseRemoteConfigFromMeasurementConfig(*config);
  return true;
}

std::shared_ptr<APMPBMeasurementConfig> APMRemoteConfig::measurementConfigFromDatabase() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase");
  if (isDefaultInstance_ || !database_) {
    APMLog(2, 29015, "Cannot retrieve a measurement configuration from the database for the default instance");
    return nullptr;
  }
  Error error;
  auto config = database_->queryMeasurementConfigWithError(&error);
  if (!config) {
    if (error) {
      APMLog(2, 29016, "Cannot retrieve configuration data from database. Error", error);
    } else {
      APMLog(7, 29017,
             "Configuration was not found in database. The configuration will be fetched from the network when "
             "necessary");
    }
  }
  return config;
}

void APMRemoteConfig::parseRemoteConfigFromMeasurementConfig(const APMPBMeasurementConfig& config) {
  const auto settings = NANOGetArray<APMPBSetting>(&config, APMFieldIndex(config, kSettings));
  if (!settings) {
    APMLog(2, 29012, "Cannot parse empty measurement config. Using default values");
    return;
  }
  if (stringField(config, kAppID).value_or("") != appID_) return;

  cache_.removeAllObjects();
  for (const auto& setting : *settings) {
    const auto name = NANOGetString(setting.get(), kSettingName);
    const auto value = NANOHasField(setting.get(), kSettingValue) ? NANOGetString(setting.get(), kSettingValue)
                                                                  : std::nullopt;
    cacheValue(value ? std::optional<Value>(Value(*value)) : std::nullopt, name.value_or(""));
  }

  std::map<std::string, std::shared_ptr<APMPBEventConfig>> eventConfigs;
  for (const auto& eventConfig : NANOGetArray<APMPBEventConfig>(&config, APMFieldIndex(config, kEventConfigs))
                                     .value_or(std::vector<std::shared_ptr<APMPBEventConfig>>{})) {
    const std::string name = NANOGetString(eventConfig.get(), kEventConfigName).value_or("");
    if (name.empty()) {
      APMLog(5, 29013, "Cannot cache event configuration with an empty configuration name");
      continue;
    }
    const auto& internal = APMPublicToInternalEventNames();
    const auto it = internal.find(name);
    eventConfigs.insert_or_assign(it == internal.end() ? name : std::string(it->second), eventConfig);
  }
  {
    platform::MutexLock lock(mutex_);
    cachedEventConfigByEventName_ = std::move(eventConfigs);
  }

  const std::int32_t versionIndex = APMFieldIndex(config, kVersion);
  if (NANOHasField(&config, versionIndex)) {
    APMLog(7, 29014, "Successfully parsed a configuration. Version", static_cast<long long>(NANOGetInt64(&config, versionIndex)));
  }

  const auto programs = NANOGetArray<APMPBProgram>(&config, APMFieldIndex(config, kPrograms))
                            .value_or(std::vector<std::shared_ptr<APMPBProgram>>{});
  if (!programs.empty()) {
    std::shared_ptr<APMEventEditing> editing;
    Error error;
    if (auto loader = APMCurrentEventEditingLoader()) {
      std::weak_ptr<APMRemoteConfig> weak = weak_from_this();
      APMEventEditingSources sources{
          [weak](const std::string& key) -> std::optional<std::string> {
            auto self = weak.lock();
            return self ? self->settingAsString(key) : std::nullopt;
          },
          [] {
            Value::Dictionary metadata{{"platform", Value("ios")},
                                       {"package_name", Value(platform::Bundle::main()->bundleIdentifier())},
                                       {"vmp_version", Value(static_cast<long long>(kAPMLibraryVersion))}};
            if (auto appVersion = APMEngineAppVersion()) metadata.emplace("app_version", Value(*appVersion));
            return Value(std::move(metadata));
          }};
      editing = loader(*programs.front(), sources, &error);
    } else {
      error = APMAdditions::apm_errorWithCode(1, "No event-editing interpreter is installed");
    }
    if (!editing) {
      APMLog(1, 29026, "Failed to initiate event editing instance", error);
      platform::MutexLock lock(mutex_);
      eventEditing_ = nullptr;
      return;
    }
    APMLog(7, 29027, "Loading Event Modification and Creation programs", static_cast<long>(programs.size()));
    platform::MutexLock lock(mutex_);
    eventEditing_ = std::move(editing);
  }

  std::vector<std::string> dataControls;
  for (const auto& control : NANOGetArray<APMPBDataControl>(&config, APMFieldIndex(config, kDataControls))
                                 .value_or(std::vector<std::shared_ptr<APMPBDataControl>>{})) {
    if (!NANOHasField(control.get(), kDataControlName)) continue;
    if (auto name = NANOGetString(control.get(), kDataControlName)) dataControls.push_back(*name);
  }
  platform::MutexLock lock(mutex_);
  cachedDataControls_ = std::move(dataControls);
}

std::optional<std::string> APMRemoteConfig::settingAsString(const std::string& key) const {
  const auto value = cache_.objectForKey(key);
  if (!value) return std::nullopt;
  if (const auto* text = value->ifString()) return *text;
  if (const auto* integer = value->ifInteger()) return std::to_string(*integer);
  if (value->isNumber()) return platform::format("%@", *value);
  return std::nullopt;
}

void APMRemoteConfig::reset() {
  cache_.removeAllObjects();
  {
    platform::MutexLock lock(mutex_);
    cachedEventConfigByEventName_.clear();
    cachedDataControls_.clear();
    if (!isDefaultInstance_) remoteConfigProto_ = nullptr;
  }
  if (experimentManager_) experimentManager_->reset();
}

std::int64_t APMRemoteConfig::version() const {
  platform::MutexLock lock(mutex_);
  if (!remoteConfigProto_) return -1;
  const std::int32_t index = APMFieldIndex(*remoteConfigProto_, kVersion);
  return NANOHasField(remoteConfigProto_.get(), index) ? NANOGetInt64(remoteConfigProto_.get(), index) : -1;
}

std::shared_ptr<APMPBMeasurementConfig> APMRemoteConfig::measurementConfig() const {
  platform::MutexLock lock(mutex_);
  return remoteConfigProto_;
}

double APMRemoteConfig::lastRemoteConfigUpdateTimestamp() {
  if (isDefaultInstance_ || !database_) {
    APMLog(2, 29008, "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
  }
  Error error;
  const auto timestamp = database_->lastRemoteConfigUpdateTimestamp(&error);
  if (!timestamp && error) APMLog(4, 29009, "Failed to query last configuration update timestamp. Error", error);
  return timestamp && timestamp->isNumber() ? timestamp->doubleValue() : 0;
}

bool APMRemoteConfig::isExpired() {
  if (isDefaultInstance_) {
    APMLog(2, 29007, "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  // A clock set back counts like time gone by.
  return std::fabs(APMDatabaseNow() - lastRemoteConfigUpdateTimestamp()) >= remoteConfigCacheTimeInterval();
}

std::shared_ptr<APMPBEventConfig> APMRemoteConfig::eventConfigWithName(const std::string& name) const {
  if (name.empty()) {
    APMLog(5, 29006, "Cannot find event config with empty event name");
    return nullptr;
  }
  platform::MutexLock lock(mutex_);
  const auto it = cachedEventConfigByEventName_.find(name);
  return it == cachedEventConfigByEventName_.end() ? nullptr : it->second;
}

bool APMRemoteConfig::isEventBlocklisted(const std::string& name) {
  const auto config = eventConfigWithName(name);
  if (config && NANOGetBool(config.get(), kEventConfigBlocklisted)) return true;
  const bool isPublic = !name.empty() && name.front() != '_';
  return isPublic ? blocklistPublic() : blocklistInternal();
}

bool APMRemoteConfig::isEventCustomConversion(const std::string& name) const {
  const auto config = eventConfigWithName(name);
  return config && NANOGetBool(config.get(), kEventConfigCustomConversion);
}

bool APMRemoteConfig::eventHasSamplingRate(const std::string& name) const {
  const auto config = eventConfigWithName(name);
  return config && NANOHasField(config.get(), kEventConfigSamplingRate);
}

std::int32_t APMRemoteConfig::samplingRateForEvent(const std::string& name) const {
  const auto config = eventConfigWithName(name);
  if (!config || !NANOHasField(config.get(), kEventConfigSamplingRate)) return 1;
  const std::int32_t rate = NANOGetInt32(config.get(), kEventConfigSamplingRate);
  return rate >= 2 && rate <= 65535 ? rate : 1;
}

std::string APMRemoteConfig::uploadURL() const {
  std::string base = VULServiceBaseURL(kDefaultUploadBaseURL);
  if (const auto config = measurementConfig()) {
    if (auto label = stringField(*config, kUploadSubdomain); label && !label->empty()) {
      if (isHostLabel(*label)) {
        base = withSubdomain(base, *label);
      } else {
        APMLog(2, 29011, "Ignoring an invalid upload subdomain", *label);
      }
    }
  }
  return base + "/a";
}

std::optional<std::string> APMRemoteConfig::remoteConfigURLWithAppInstanceID(
    const std::optional<std::string>& appInstanceID, const std::optional<std::string>& platform,
    std::int64_t SDKVersion, std::int64_t runtimeVersion) const {
  std::string instance;
  if (APMEngineIsAnalyticsStorageDenied()) {
    instance = "";
  } else if (!appInstanceID || !platform) {
    APMLog(2, 29010,
           "Cannot create a URL to fetch a configuration with empty app instance ID or empty platform (app instance, "
           "platform)");
    return std::nullopt;
  } else {
    instance = *appInstanceID;
  }
  const std::string base = VULServiceBaseURL(kDefaultConfigBaseURL) + "/config/app/" + appID_ + "?";
  return base + APMNSDictionaryQuery::apm_queryString(
                    std::vector<std::pair<std::string, Value>>{{"app_instance_id", Value(instance)},
                                                               {"platform", Value(platform.value_or(""))},
                                                               {"runtime_version", Value(std::to_string(runtimeVersion))},
                                                               {"vmp_version", Value(std::to_string(SDKVersion))}});
}

std::vector<std::string> APMRemoteConfig::dataControls() const {
  platform::MutexLock lock(mutex_);
  return cachedDataControls_;
}

std::vector<std::int32_t> APMRemoteConfig::experimentIDs() const {
  return experimentManager_ ? experimentManager_->experimentIDs() : std::vector<std::int32_t>{};
}

std::shared_ptr<APMEventEditing> APMRemoteConfig::eventEditing() const {
  platform::MutexLock lock(mutex_);
  return eventEditing_;
}

bool APMRemoteConfig::hasNewSnapshot() const {
  platform::MutexLock lock(mutex_);
  return hasNewSnapshot_;
}

bool APMRemoteConfig::activateNewSnapshot() {
  if (!hasNewSnapshot() || !client_) return false;
  Error error;
  if (!client_->activateLatestSnapshot(&error)) {
    APMLog(2, 29024, "Cannot activate snapshot. Error", error);
    return false;
  }
  platform::MutexLock lock(mutex_);
  hasNewSnapshot_ = false;
  return true;
}

void APMRemoteConfig::clientDidReceiveNewSnapshot(APMEClient&) {
  platform::MutexLock lock(mutex_);
  hasNewSnapshot_ = true;
}

void APMRemoteConfig::clientDidReceiveFetchError(APMEClient&, const Error& error) {
  if (error) APMLog(2, 29025, "Cannot fetch experiment. Error", error);
}

std::optional<bool> APMRemoteConfig::shouldFetchExperimentsForClient(APMEClient&) {
  return APMEngineIsMeasurementEnabled();
}
