#include "sdk/analytics/storage/apm_remote_config.h"

#include <charconv>
#include <cmath>

#include "sdk/analytics/common/apm_monitor.h"
#include "platform/foundation/thread_safety.h"

using platform::Value;

namespace {

std::optional<Value> millisecondsToSeconds(const std::optional<Value>& number) {
  if (!number) return std::nullopt;
  return Value(static_cast<double>(number->integerValue()) / 1000.0);
}

// -1 / 0 / 1 for numbers of either kind; integers compare exactly.
int compareNumbers(const Value& a, const Value& b) {
  if (a.ifInteger() && b.ifInteger()) {
    return *a.ifInteger() < *b.ifInteger() ? -1 : (*a.ifInteger() > *b.ifInteger() ? 1 : 0);
  }
  const double x = a.doubleValue();
  const double y = b.doubleValue();
  return x < y ? -1 : (x > y ? 1 : 0);
}

std::int32_t int32Of(const std::optional<Value>& number) {
  if (!number) return 0;
  if (const auto* d = number->ifDouble()) {
    if (!std::isfinite(*d)) return 0;
    return static_cast<std::int32_t>(std::trunc(*d));
  }
  return static_cast<std::int32_t>(number->integerValue());
}

// Never destroyed: a worker may still read the remote configuration while the process exits.
platform::ExitSafeValue<std::shared_ptr<APMRemoteConfig>>& installedConfig() {
  static auto* const s = new platform::ExitSafeValue<std::shared_ptr<APMRemoteConfig>>;
  return *s;
}

}  // namespace

APMRemoteConfig::APMRemoteConfig(std::shared_ptr<const APMRemoteConfigFlagSource> experimentClient)
    : experimentClient_(std::move(experimentClient)) {}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::defaultInstance() {
  // Never destroyed: a worker may still read the remote configuration while the process exits.
  static const auto* const instance = new std::shared_ptr<APMRemoteConfig>(std::make_shared<APMRemoteConfig>());
  return *instance;
}

void APMRemoteConfig::setRawSettings(const std::map<std::string, std::string>& settings) {
  cache_.removeAllObjects();
  for (const auto& [key, value] : settings) cache_.setObject(Value(value), key);
}


std::optional<Value> APMRemoteConfig::numberFromString(const Value& object) {
  const std::string* text = object.ifString();
  if (!text) return std::nullopt;
  std::string_view s = *text;
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  const char* end = s.data() + s.size();
  std::int64_t integer = 0;
  if (auto [ptr, ec] = std::from_chars(s.data(), end, integer); ec == std::errc() && ptr == end) return Value(integer);
  double real = 0;
  if (auto [ptr, ec] = std::from_chars(s.data(), end, real, std::chars_format::fixed);
      ec == std::errc() && ptr == end && std::isfinite(real)) {
    return Value(real);
  }
  return std::nullopt;
}

std::optional<Value> APMRemoteConfig::cacheValue(const std::optional<Value>& value, const std::string& key) {
  if (!value || value->isNull() || key.empty()) {
    APMLog(5, 29019, "Cannot cache empty configuration value");
    return std::nullopt;
  }
  cache_.setObject(*value, key);
  return value;
}

std::optional<Value> APMRemoteConfig::numberFromCacheWithKey(const std::string& key, const Value& defaultValue,
                                                             const std::optional<Value>& maxValue,
                                                             const std::optional<Value>& minValue, NumberBlock block) {
  if (key.empty()) {
    APMLog(7, 29020, "Cannot get setting with empty key from cache");
    return std::nullopt;
  }
  const std::optional<Value> entry = cache_.objectForKey(key);
  if (!entry) return cacheValue(defaultValue, key);
  if (entry->isNumber()) return entry;
  std::optional<Value> number;
  if (entry->isString()) {
    number = numberFromString(*entry);
  } else {
    APMLog(2, 29018, "Cannot parse number from non-string", *entry);
  }
  if (block) number = block(number);
  std::optional<Value> outcome = number;
  if (!number || (minValue && compareNumbers(*number, *minValue) < 0) ||
      (maxValue && compareNumbers(*number, *maxValue) > 0)) {
    outcome = defaultValue;
  }
  return cacheValue(outcome, key);
}

std::int32_t APMRemoteConfig::intValueFromCacheWithKey(const std::string& key, std::int32_t defaultValue,
                                                       std::int32_t maxValue, std::int32_t minValue) {
  return int32Of(numberFromCacheWithKey(key, Value(std::int64_t{defaultValue}), Value(std::int64_t{maxValue}),
                                        Value(std::int64_t{minValue})));
}

std::int64_t APMRemoteConfig::int64ValueFromCacheWithKey(const std::string& key, std::int64_t defaultValue,
                                                         std::int64_t maxValue, std::int64_t minValue) {
  const auto number = numberFromCacheWithKey(key, Value(defaultValue), Value(maxValue), Value(minValue));
  return number ? number->integerValue() : 0;
}

std::int64_t APMRemoteConfig::int64ValueFromCacheWithKey(const std::string& key, std::int64_t defaultValue) {
  const auto number = numberFromCacheWithKey(key, Value(defaultValue), std::nullopt, std::nullopt);
  return number ? number->integerValue() : 0;
}

double APMRemoteConfig::timeIntervalInSecondsFromCacheWithKey(const std::string& key, double defaultValue,
                                                              double maxValue, double minValue) {
  const auto number =
      numberFromCacheWithKey(key, Value(defaultValue), Value(maxValue), Value(minValue), &millisecondsToSeconds);
  return number ? number->doubleValue() : 0.0;
}

bool APMRemoteConfig::switchValue(const std::string& key, std::int32_t defaultValue) {
  return intValueFromCacheWithKey(key, defaultValue, 1, 0) == 1;
}

bool APMRemoteConfig::flagOrSwitch(std::string_view flagName, const std::string& key, std::int32_t defaultValue) {
  if (experimentClient_) {
    if (auto flag = experimentClient_->objectForKeyedSubscript(flagName); flag && !flag->isNull()) {
      return flag->boolValue();
    }
  }
  return switchValue(key, defaultValue);
}

double APMRemoteConfig::uploadingBackoffInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.backoff_period", 43200, 604800, 3600);
}
std::int32_t APMRemoteConfig::maxAudienceCount() {
  return intValueFromCacheWithKey("measurement.audience.max_count", 50, 500, 0);
}
std::int32_t APMRemoteConfig::maxFiltersPerAudience() {
  return intValueFromCacheWithKey("measurement.audience.filter_max_count_per_audience", 10, 100, 0);
}
std::int32_t APMRemoteConfig::maxFilterResultCount() {
  return intValueFromCacheWithKey("measurement.audience.filter_result_max_count", 200, 2000, 0);
}
std::int32_t APMRemoteConfig::maxParametersPerFilter() {
  return intValueFromCacheWithKey("measurement.audience.parameter_max_count_filter", 25, 250, 0);
}
double APMRemoteConfig::databaseDeleteStaleBundlesInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.stale_data_deletion_interval", 86400, 604800, 3600);
}
double APMRemoteConfig::maxQueueTime() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.max_queue_time", 2419200, 7862400, 604800);
}
double APMRemoteConfig::adIDCacheTime() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.ad_id_cache_time", 1, 86400, 0);
}
bool APMRemoteConfig::gateIDFAOnATTMASEnabled() {
  return intValueFromCacheWithKey("measurement.attmas_gate", 0, 1, 0) != 0;
}
double APMRemoteConfig::monitoringSamplePeriod() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.monitoring.sample_period_millis", 86400, 604800, 0);
}
bool APMRemoteConfig::isNetworkBackgroundSessionEnabled() {
  return flagOrSwitch("network_background_session_enabled", "measurement.network.background_session_enabled", 0);
}
double APMRemoteConfig::networkTimeout() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.network.network_timeout", 60, 3600, 30);
}
double APMRemoteConfig::sessionDefaultMinimumInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.session.default_minimum_interval", 10, 86400, 0);
}
double APMRemoteConfig::sessionDefaultTimeoutInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.session.default_timeout_interval", 1800, 86400, 0);
}
double APMRemoteConfig::sessionEventUserEngagementInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.session.event_user_engagement_interval", 3600, 86400, 0);
}
bool APMRemoteConfig::efficientEngagementReportingEnabled() {
  return flagOrSwitch("efficient_engagement_reporting_enabled",
                      "measurement.collection.efficient_engagement_reporting_enabled", 0);
}
bool APMRemoteConfig::redundantEngagementRemovalEnabled() {
  return flagOrSwitch("redundant_engagement_removal_enabled",
                      "measurement.collection.redundant_engagement_removal_enabled", 0);
}
bool APMRemoteConfig::configurableLimitsEnabled() {
  return switchValue("measurement.upload.configurable_limits_enabled", 1);
}
std::int32_t APMRemoteConfig::maxConversionsPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_conversions_per_day", 10000, 1000000, 0);
}
std::int32_t APMRemoteConfig::maxEventsPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_events_per_day", 100000, 1000000, 0);
}
std::int32_t APMRemoteConfig::maxPublicEventsPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_public_events_per_day", 50000, 1000000, 0);
}
std::int32_t APMRemoteConfig::maxErrorEventsPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_error_events_per_day", 1000, 1000000, 0);
}
std::int32_t APMRemoteConfig::maxTrackedCurrencies() {
  return intValueFromCacheWithKey("measurement.lifetimevalue.max_currency_tracked", 4, 100, 1);
}
std::int32_t APMRemoteConfig::maxPublicUserProperties() {
  if (!configurableLimitsEnabled()) return 25;
  return intValueFromCacheWithKey("measurement.upload.max_public_user_properties", 25, 100, 25);
}
std::int32_t APMRemoteConfig::maxEventNameCardinality() {
  if (!configurableLimitsEnabled()) return 500;
  return intValueFromCacheWithKey("measurement.upload.max_event_name_cardinality", 500, 2000, 500);
}
std::int32_t APMRemoteConfig::maxPublicEventParams() {
  if (!configurableLimitsEnabled()) return 25;
  return intValueFromCacheWithKey("measurement.upload.max_public_event_params", 25, 100, 25);
}
std::int32_t APMRemoteConfig::maxEventsStored() {
  return intValueFromCacheWithKey("measurement.store.max_stored_events_per_app", 100000, 1000000, 0);
}
double APMRemoteConfig::uploadingInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.interval", 3600, 86400, 15);
}
double APMRemoteConfig::uploadingInitialDelayInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.initial_upload_delay_time", 15, 86400, 1);
}
std::int64_t APMRemoteConfig::uploadMaxBundlesLimit() {
  return int64ValueFromCacheWithKey("measurement.upload.max_bundles", 100, 10000, 1);
}
std::int64_t APMRemoteConfig::uploadMaxEventsPerBundle() {
  return int64ValueFromCacheWithKey("measurement.upload.max_events_per_bundle", 1000, 1000000, 1);
}
std::int64_t APMRemoteConfig::uploadMaxSizeLimitBytes() {
  return int64ValueFromCacheWithKey("measurement.upload.max_batch_size", 65536, 10485760, 0);
}
std::int32_t APMRemoteConfig::uploadingRetryCount() {
  return intValueFromCacheWithKey("measurement.upload.retry_count", 6, 24, 1);
}
double APMRemoteConfig::uploadingRetryInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.retry_time", 1800, 86400, 60);
}
std::int32_t APMRemoteConfig::maxBundlesCreatedPerIteration() {
  // Read as a time on purpose: the server's value passes through the milliseconds conversion.
  const double value =
      timeIntervalInSecondsFromCacheWithKey("measurement.upload.max_bundles_created_per_iteration", 100, 10000, 1);
  return static_cast<std::int32_t>(std::trunc(value));
}
std::int32_t APMRemoteConfig::maxRealtimeEventCountPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_realtime_events_per_day", 10, 10, 0);
}
double APMRemoteConfig::uploadingDebugModeInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.debug_upload_interval", 1, 15, 1);
}
double APMRemoteConfig::uploadingRealTimeInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.realtime_upload_interval", 10, 15, 10);
}
bool APMRemoteConfig::blocklistInternal() { return switchValue("measurement.upload.blacklist_internal", 0); }
bool APMRemoteConfig::blocklistPublic() { return switchValue("measurement.upload.blacklist_public", 0); }
bool APMRemoteConfig::isEventSamplingEnabled() { return switchValue("measurement.event_sampling_enabled", 0); }
std::int32_t APMRemoteConfig::analyticsAccountTimeZoneOffsetMinutes() {
  return intValueFromCacheWithKey("measurement.account.time_zone_offset_minutes", 0, 900, -900);
}
bool APMRemoteConfig::checksumEnabled() { return switchValue("measurement.quality.checksum", 0); }
bool APMRemoteConfig::appBackgroundedEventEnabled() {
  return switchValue("measurement.lifecycle.app_backgrounded_tracking", 1);
}
bool APMRemoteConfig::appInBackgroundParameterEnabled() {
  return switchValue("measurement.lifecycle.app_in_background_parameter", 1);
}
bool APMRemoteConfig::lastAdvertisingIDResetFeatureEnabled() {
  return switchValue("measurement.last_advertising_id_reset_feature_enabled", 1);
}
bool APMRemoteConfig::eesFeatureEnabled() { return switchValue("measurement.ees_feature_enabled", 1); }
bool APMRemoteConfig::isDeferredDeepLinkEnabled() {
  return intValueFromCacheWithKey("measurement.ddl.enabled", 1, 1, 0) != 0;
}
std::int32_t APMRemoteConfig::maxDeferredDeepLinkRetryCount() {
  return intValueFromCacheWithKey("measurement.ddl.retry_count", 5, 10, 0);
}
double APMRemoteConfig::attributionCacheTTLInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.attribution.cache.ttl", 604800, 2592000, 86400);
}
double APMRemoteConfig::remoteConfigCacheTimeInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.config.cache_time", 3600, 86400, 60);
}
bool APMRemoteConfig::isConsentSettingsEnabled() { return switchValue("measurement.api.consent_settings", 1); }
bool APMRemoteConfig::isConsentSettings3PEnabled() { return switchValue("measurement.api.consent_settings_3p", 1); }
bool APMRemoteConfig::persistentConfigInApplicationSupportEnabled() {
  return flagOrSwitch("persistent_config_in_application_support_enabled",
                      "measurement.persistent_config_in_application_support_enabled", 0);
}

std::shared_ptr<APMRemoteConfig> APMMeasurementRemoteConfig() {
  auto current = installedConfig().get();
  return current ? current : APMRemoteConfig::defaultInstance();
}

void APMSetMeasurementRemoteConfig(std::shared_ptr<APMRemoteConfig> config) { installedConfig().set(std::move(config)); }
