// The server-controlled settings of the analytics engine: each a name/value pair of strings in the
// downloaded measurement configuration, read through one typed accessor per setting with a
// default, inclusive bounds and (for times) the server's milliseconds turned into seconds. A value
// out of range is replaced by the whole default, never clamped. Each raw string is parsed once per
// configuration; the accessors may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"
#include "sdk/utilities/utilities/vul_mutable_dictionary.h"

// What the remote configuration asks of the experiment client of the "app_measurement" SDK (the
// experiments component implements it): a flag's value, or nothing.
class APMRemoteConfigFlagSource {
 public:
  virtual ~APMRemoteConfigFlagSource() = default;
  virtual std::optional<platform::Value> objectForKeyedSubscript(std::string_view flagName) const = 0;
};

class APMRemoteConfig {
 public:
  using NumberBlock = std::optional<platform::Value> (*)(const std::optional<platform::Value>&);

  explicit APMRemoteConfig(std::shared_ptr<const APMRemoteConfigFlagSource> experimentClient = nullptr);
  // The built-in configuration in force until a downloaded one is loaded: every accessor gives
  // its default.
  static std::shared_ptr<APMRemoteConfig> defaultInstance();

  // Replaces every cached value by the raw setting strings of a configuration.
  void setRawSettings(const std::map<std::string, std::string>& settings);
  void reset();

  // The lookup rule every accessor follows. Nothing for an empty key.
  std::optional<platform::Value> numberFromCacheWithKey(const std::string& key, const platform::Value& defaultValue,
                                                        const std::optional<platform::Value>& maxValue,
                                                        const std::optional<platform::Value>& minValue,
                                                        NumberBlock block = nullptr);
  std::int32_t intValueFromCacheWithKey(const std::string& key, std::int32_t defaultValue, std::int32_t maxValue,
                                        std::int32_t minValue);
  std::int64_t int64ValueFromCacheWithKey(const std::string& key, std::int64_t defaultValue, std::int64_t maxValue,
                                          std::int64_t minValue);
  std::int64_t int64ValueFromCacheWithKey(const std::string& key, std::int64_t defaultValue);
  double timeIntervalInSecondsFromCacheWithKey(const std::string& key, double defaultValue, double maxValue,
                                               double minValue);
  // A decimal number in a fixed POSIX form, whatever the user's locale ("2.7" is never 27).
  static std::optional<platform::Value> numberFromString(const platform::Value& object);
  std::optional<platform::Value> cacheValue(const std::optional<platform::Value>& value, const std::string& key);

  double uploadingBackoffInterval();
  std::int32_t maxAudienceCount();
  std::int32_t maxFiltersPerAudience();
  std::int32_t maxFilterResultCount();
  std::int32_t maxParametersPerFilter();
  double databaseDeleteStaleBundlesInterval();
  double maxQueueTime();
  double adIDCacheTime();
  bool gateIDFAOnATTMASEnabled();
  double monitoringSamplePeriod();
  bool isNetworkBackgroundSessionEnabled();
  double networkTimeout();
  double sessionDefaultMinimumInterval();
  double sessionDefaultTimeoutInterval();
  double sessionEventUserEngagementInterval();
  bool efficientEngagementReportingEnabled();
  bool redundantEngagementRemovalEnabled();
  bool configurableLimitsEnabled();
  std::int32_t maxConversionsPerDay();
  std::int32_t maxEventsPerDay();
  std::int32_t maxPublicEventsPerDay();
  std::int32_t maxErrorEventsPerDay();
  std::int32_t maxTrackedCurrencies();
  std::int32_t maxPublicUserProperties();
  std::int32_t maxEventNameCardinality();
  std::int32_t maxPublicEventParams();
  std::int32_t maxEventsStored();
  double uploadingInterval();
  double uploadingInitialDelayInterval();
  std::int64_t uploadMaxBundlesLimit();
  std::int64_t uploadMaxEventsPerBundle();
  std::int64_t uploadMaxSizeLimitBytes();
  std::int32_t uploadingRetryCount();
  double uploadingRetryInterval();
  std::int32_t maxBundlesCreatedPerIteration();
  std::int32_t maxRealtimeEventCountPerDay();
  double uploadingDebugModeInterval();
  double uploadingRealTimeInterval();
  bool blocklistInternal();
  bool blocklistPublic();
  bool isEventSamplingEnabled();
  std::int32_t analyticsAccountTimeZoneOffsetMinutes();
  bool checksumEnabled();
  bool appBackgroundedEventEnabled();
  bool appInBackgroundParameterEnabled();
  bool lastAdvertisingIDResetFeatureEnabled();
  bool eesFeatureEnabled();
  bool isDeferredDeepLinkEnabled();
  std::int32_t maxDeferredDeepLinkRetryCount();
  double attributionCacheTTLInterval();
  double remoteConfigCacheTimeInterval();
  bool isConsentSettingsEnabled();
  bool isConsentSettings3PEnabled();
  bool persistentConfigInApplicationSupportEnabled();

 private:
  bool switchValue(const std::string& key, std::int32_t defaultValue);
  bool flagOrSwitch(std::string_view flagName, const std::string& key, std::int32_t defaultValue);

  // Raw strings from the parse, numbers once looked up.
  VULMutableDictionary<std::string, platform::Value> cache_;
  std::shared_ptr<const APMRemoteConfigFlagSource> experimentClient_;
};

// The configuration currently in force (`[APMMeasurement remoteConfig]`): the default instance
// until the engine installs a downloaded one.
std::shared_ptr<APMRemoteConfig> APMMeasurementRemoteConfig();
void APMSetMeasurementRemoteConfig(std::shared_ptr<APMRemoteConfig> config);
