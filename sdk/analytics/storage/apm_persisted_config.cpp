#include "sdk/analytics/storage/apm_persisted_config.h"

#include <random>

#include "platform/dispatch/dispatch_queue.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/storage/apm_persistent_dictionary.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "sdk/analytics/storage/apm_user_defaults.h"

using platform::Value;

namespace {

constexpr double kFlushDelaySeconds = 1.0;

std::string key(std::string_view name) { return "/videzu/measurement/" + std::string(name); }


}  // namespace

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::sharedInstance() {
  static const std::shared_ptr<APMPersistedConfig> shared = initWithSuiteName(kAPMPersistedConfigSuiteName);
  if (!shared) APMLog(1, 27001, "PersistedConfig's shared instance is nil");
  return shared;
}

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::initWithSuiteName(std::string_view name) {
  if (name.empty()) return nullptr;
  std::shared_ptr<APMConfigStore> store;
  if (APMAnalyticsPersistentConfigInApplicationSupportEnabled()) {
    APMMigratePreferencesToApplicationSupport(name);
    store = APMPersistentDictionary::initWithFileName(name);
  } else {
    APMMigrateApplicationSupportToPreferences(name);
    store = std::make_shared<APMUserDefaults>(std::string(name));
  }
  return std::make_shared<APMPersistedConfig>(std::string(name), std::move(store));
}

APMPersistedConfig::APMPersistedConfig(std::string name, std::shared_ptr<APMConfigStore> store)
    : name_(std::move(name)),
      userDefaults_(std::move(store)),
      standardDefaults_(APMUserDefaults::standardUserDefaults()),
      serialQueue_(platform::DispatchQueue::serial("APMPersistedConfig")),
      flushGeneration_(std::make_shared<std::atomic<std::uint64_t>>(0)) {}

APMPersistedConfig::~APMPersistedConfig() { ++*flushGeneration_; }

// --- Queue plumbing ---

Value APMPersistedConfig::objectForKey(std::string_view key) {
  if (key.empty() || !userDefaults_) return Value();
  Value value;
  serialQueue_->sync([&] { value = userDefaults_->objectForKey(key); });
  return value;
}

void APMPersistedConfig::writeObject(const Value& value, std::string_view key, bool scheduleFlush) {
  if (key.empty()) return;
  serialQueue_->sync([&] {
    if (userDefaults_) userDefaults_->setObject(value, key);
    if (scheduleFlush) scheduleSynchronizeToDisk();
  });
}

void APMPersistedConfig::cancelScheduledSynchronize() { ++*flushGeneration_; }

void APMPersistedConfig::scheduleSynchronizeToDisk() {
  cancelScheduledSynchronize();
  const std::uint64_t generation = flushGeneration_->load();
  serialQueue_->after(kFlushDelaySeconds, [weak = weak_from_this(), counter = flushGeneration_, generation] {
    if (counter->load() != generation) return;
    if (auto self = weak.lock()) self->synchronizeToDisk();
  });
  updateConfigStoreMigrationFlagIfNeeded();
}

void APMPersistedConfig::updateConfigStoreMigrationFlagIfNeeded() {
  if (!shouldCheckConfigStoreMigrationFlag_) return;
  const auto config = APMMeasurementRemoteConfig();
  if (!config || config == APMRemoteConfig::defaultInstance()) return;
  APMAnalyticsSetPersistentConfigInApplicationSupportEnabled(config->persistentConfigInApplicationSupportEnabled());
  shouldCheckConfigStoreMigrationFlag_ = false;
}

void APMPersistedConfig::synchronizeToDisk() {
  if (userDefaults_) userDefaults_->synchronize();
}

void APMPersistedConfig::clearValues() {
  serialQueue_->sync([&] {
    if (userDefaults_) userDefaults_->clearAllData();
  });
}

// --- Typed access ---

bool APMPersistedConfig::boolForKey(std::string_view key) {
  const Value value = objectForKey(key);
  return value.isNumber() && value.boolValue();
}

std::int64_t APMPersistedConfig::int64ForKey(std::string_view key) {
  const Value value = objectForKey(key);
  return value.isNumber() ? value.integerValue() : 0;
}

std::int64_t APMPersistedConfig::int64ForKey(std::string_view key, APMConfigStore* userDefault) {
  if (key.empty() || !userDefault) return 0;
  Value value;
  serialQueue_->sync([&] { value = userDefault->objectForKey(key); });
  return value.isNumber() ? value.integerValue() : 0;
}

double APMPersistedConfig::doubleForKey(std::string_view key) {
  if (key.empty() || !userDefaults_) return 0.0;
  double value = 0;
  serialQueue_->sync([&] { value = userDefaults_->doubleForKey(key); });
  return value;
}

std::optional<std::string> APMPersistedConfig::stringForKey(std::string_view key) {
  if (key.empty() || !userDefaults_) return std::nullopt;
  std::optional<std::string> value;
  serialQueue_->sync([&] { value = userDefaults_->stringForKey(key); });
  return value;
}

std::optional<Value::Dictionary> APMPersistedConfig::dictionaryForKey(std::string_view key) {
  if (key.empty() || !userDefaults_) return std::nullopt;
  std::optional<Value::Dictionary> value;
  serialQueue_->sync([&] { value = userDefaults_->dictionaryForKey(key); });
  return value;
}

void APMPersistedConfig::setBool(bool value, std::string_view key) { writeObject(Value(value), key, true); }
void APMPersistedConfig::setInt64(std::int64_t value, std::string_view key) { writeObject(Value(value), key, true); }
void APMPersistedConfig::setDouble(double value, std::string_view key) { writeObject(Value(value), key, true); }
void APMPersistedConfig::setString(const std::optional<std::string>& value, std::string_view key) {
  writeObject(value ? Value(*value) : Value(), key, true);
}

void APMPersistedConfig::setDictionary(const std::optional<Value::Dictionary>& value, std::string_view key) {
  if (value && !APMIsValidConfigValue(Value(*value))) {
    APMLog(1, 27002, "Unsupported value passed in dictionary");
    return;
  }
  writeObject(value ? Value(*value) : Value(), key, true);
}

// --- Properties ---

#define APM_STRING_PROPERTY(getter, setter, name)                                                      \
  std::optional<std::string> APMPersistedConfig::getter() { return stringForKey(key(name)); }          \
  void APMPersistedConfig::setter(const std::optional<std::string>& value) { setString(value, key(name)); }
#define APM_DOUBLE_PROPERTY(getter, setter, name)                                 \
  double APMPersistedConfig::getter() { return doubleForKey(key(name)); }          \
  void APMPersistedConfig::setter(double value) { setDouble(value, key(name)); }
#define APM_INT64_PROPERTY(getter, setter, name)                                   \
  std::int64_t APMPersistedConfig::getter() { return int64ForKey(key(name)); }     \
  void APMPersistedConfig::setter(std::int64_t value) { setInt64(value, key(name)); }
#define APM_FLAG_PROPERTY(getter, setter, name)                                              \
  bool APMPersistedConfig::getter() { return int64ForKey(key(name)) != 0; }                  \
  void APMPersistedConfig::setter(bool value) { setInt64(value ? 1 : 0, key(name)); }
// Stored as given, without a flush of their own.
#define APM_OBJECT_PROPERTY(getter, setter, name)                                                \
  Value APMPersistedConfig::getter() { return objectForKey(key(name)); }                         \
  void APMPersistedConfig::setter(const Value& value) { writeObject(value, key(name), false); }

APM_STRING_PROPERTY(appInstanceID, setAppInstanceID, "app_instance_id")
APM_STRING_PROPERTY(appIDFromVMP, setAppIDFromVMP, "vmp_app_id")
APM_STRING_PROPERTY(appIDFromVuZir, setAppIDFromVuZir, "vuzir_app_id")
APM_STRING_PROPERTY(hashedResettableDeviceID, setHashedResettableDeviceID, "hashed_idfa")
APM_STRING_PROPERTY(diversionKey, setDiversionKey, "diversion_key")
APM_DOUBLE_PROPERTY(lastDeleteStaleBundlesTimestamp, setLastDeleteStaleBundlesTimestamp, "last_delete_stale")
APM_DOUBLE_PROPERTY(lastBackoffTimestamp, setLastBackoffTimestamp, "last_backoff")
APM_DOUBLE_PROPERTY(lastSuccessfulUploadTimestamp, setLastSuccessfulUploadTimestamp, "last_successful_upload")
APM_DOUBLE_PROPERTY(lastFailedUploadTimestamp, setLastFailedUploadTimestamp, "last_failed_upload")
APM_STRING_PROPERTY(appVersion, setAppVersion, "app_version")
APM_STRING_PROPERTY(osVersion, setOSVersion, "os_version")
APM_DOUBLE_PROPERTY(lastMonitorDataSampledTimestamp, setLastMonitorDataSampledTimestamp,
                    "last_monitor_data_sampled_timestamp")
APM_INT64_PROPERTY(firstOpenTimestampMilliseconds, setFirstOpenTimestampMilliseconds, "first_open_timestamp_ms")
APM_STRING_PROPERTY(configServerETag, setConfigServerETag, "config_etag")
APM_OBJECT_PROPERTY(loadTimestampValue, setLoadTimestampValue, "load_timestamp")
APM_OBJECT_PROPERTY(allowPersonalizedAds, setAllowPersonalizedAds, "allow_personalized_ads")
APM_STRING_PROPERTY(vuduzaraFeatureRollouts, setVuduzaraFeatureRollouts, "vuduzara_feature_rollouts")
APM_OBJECT_PROPERTY(deferredDeepLinkRetrievalComplete, setDeferredDeepLinkRetrievalComplete,
                    "deep_link_retrieval_complete")
APM_INT64_PROPERTY(deferredDeepLinkRetryCount, setDeferredDeepLinkRetryCount, "deep_link_retry_count")
APM_FLAG_PROPERTY(shouldSetLastAdvertisingIDResetUserProperty, setShouldSetLastAdvertisingIDResetUserProperty,
                  "set_last_advertising_id_reset")
APM_FLAG_PROPERTY(unmatchedFirstOpenWithoutIDFA, setUnmatchedFirstOpenWithoutIDFA, "unmatched_first_open")
APM_DOUBLE_PROPERTY(lastSessionActivityClockTime, setLastSessionActivityClockTime, "last_engagement_end")
APM_INT64_PROPERTY(sessionNumber, setSessionNumber, "session_number")
APM_DOUBLE_PROPERTY(lastSearchAdLookUpTimestamp, setLastSearchAdLookUpTimestamp, "search_ad_last_attempt_timestamp")
APM_INT64_PROPERTY(searchAdRetryCount, setSearchAdRetryCount, "search_ad_number_of_retries")

#undef APM_STRING_PROPERTY
#undef APM_DOUBLE_PROPERTY
#undef APM_INT64_PROPERTY
#undef APM_FLAG_PROPERTY
#undef APM_OBJECT_PROPERTY

Value APMPersistedConfig::configServerLastModifiedString() { return objectForKey(key("last_modified_since_key")); }
void APMPersistedConfig::setConfigServerLastModifiedString(const std::optional<std::string>& value) {
  setString(value, key("last_modified_since_key"));
}

std::optional<Value::Dictionary> APMPersistedConfig::defaultEventParameters() {
  return dictionaryForKey(key("default_event_parameters"));
}
void APMPersistedConfig::setDefaultEventParameters(const std::optional<Value::Dictionary>& value) {
  setDictionary(value, key("default_event_parameters"));
}

std::int64_t APMPersistedConfig::measurementEnabledState() {
  return int64ForKey(key("measurement_enabled_state"), standardDefaults_.get());
}
void APMPersistedConfig::setMeasurementEnabledState(std::int64_t value) {
  serialQueue_->sync([&] {
    standardDefaults_->setObject(Value(value), key("measurement_enabled_state"));
    standardDefaults_->synchronize();
  });
}

Value APMPersistedConfig::searchAdCampaignValue() {
  return userDefaults_ ? userDefaults_->objectForKey(key("is_search_ad_campaign")) : Value();
}
void APMPersistedConfig::setSearchAdCampaignValue(const Value& value) {
  if (!value.isNumber() || !userDefaults_) return;
  userDefaults_->setObject(value, key("is_search_ad_campaign"));
}

double APMPersistedConfig::midnightOffset() {
  const std::string offsetKey = key("midnight_offset");
  const Value stored = objectForKey(offsetKey);
  if (stored.isNumber()) return stored.doubleValue();
  std::random_device device;
  std::uniform_int_distribution<std::int64_t> milliseconds(0, 86'400'000 - 1);
  const double offset = static_cast<double>(milliseconds(device)) / 1000.0;
  setDouble(offset, offsetKey);
  return offset;
}
