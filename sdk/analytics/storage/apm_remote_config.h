// The holder of the downloaded measurement configuration and the server-controlled settings of the
// analytics engine. A configuration is checked to belong to this app, stored in the measurement
// database and parsed into the settings, per-event configurations, data controls and the first
// event-editing program; the engine's experiment client "app_measurement" is registered here.
//
// Settings: each a name/value pair of strings in the
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

#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"
#include "sdk/analytics/storage/apme_observer_delegate.h"
#include "sdk/analytics/storage/apme_snapshot.h"
#include "sdk/utilities/utilities/vul_mutable_dictionary.h"

class APMDatabase;
class APMEClient;
class APMEManager;
class APMEventEditing;
class APMPBEventConfig;
class APMPBMeasurementConfig;

// What the remote configuration asks of the experiment client of the "app_measurement" SDK (the
// experiments component implements it): a flag's value, or nothing.
class APMRemoteConfigFlagSource {
 public:
  virtual ~APMRemoteConfigFlagSource() = default;
  virtual std::optional<platform::Value> objectForKeyedSubscript(std::string_view flagName) const = 0;
};

inline constexpr std::string_view kAPMMeasurementSDKName = "app_measurement";

class APMRemoteConfig : public APMEExperimentObserverDelegate,
                        public APMESDKPropertyProviderDelegate,
                        public std::enable_shared_from_this<APMRemoteConfig> {
 public:
  using NumberBlock = std::optional<platform::Value> (*)(const std::optional<platform::Value>&);

  // Settings only, with an optional source of experiment flags; holds no configuration.
  explicit APMRemoteConfig(std::shared_ptr<const APMRemoteConfigFlagSource> experimentClient = nullptr);
  // The built-in configuration in force until a downloaded one is loaded: every accessor gives
  // its default.
  static std::shared_ptr<APMRemoteConfig> defaultInstance();

  // The engine's configuration: the shared experiment manager, then the stored configuration.
  // `database` is owned by the engine and outlives this object. Null (logged) for an empty app
  // ID or no database.
  static std::shared_ptr<APMRemoteConfig> initWithAppID(const std::string& appID, APMDatabase* database);
  static std::shared_ptr<APMRemoteConfig> initWithAppID(const std::string& appID, APMDatabase* database,
                                                        std::shared_ptr<APMEManager> experimentManager);
  // Designated: a given configuration is checked and stored, else the stored one is loaded.
  static std::shared_ptr<APMRemoteConfig> initWithAppID(const std::string& appID, APMDatabase* database,
                                                        std::shared_ptr<APMPBMeasurementConfig> measurementConfig,
                                                        std::shared_ptr<APMEManager> experimentManager);

  bool isDefaultInstance() const { return isDefaultInstance_; }
  const std::string& appID() const { return appID_; }
  // Background threads only.
  bool updateMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& config) EXCLUDES(mutex_);
  std::shared_ptr<APMPBMeasurementConfig> measurementConfigFromDatabase();
  void parseRemoteConfigFromMeasurementConfig(const APMPBMeasurementConfig& config) EXCLUDES(mutex_);
  // −1 without a configuration or version.
  std::int64_t version() const EXCLUDES(mutex_);
  std::shared_ptr<APMPBMeasurementConfig> measurementConfig() const EXCLUDES(mutex_);
  double lastRemoteConfigUpdateTimestamp();
  bool isExpired();

  std::shared_ptr<APMPBEventConfig> eventConfigWithName(const std::string& name) const EXCLUDES(mutex_);
  bool isEventBlocklisted(const std::string& name);
  bool isEventCustomConversion(const std::string& name) const;
  bool eventHasSamplingRate(const std::string& name) const;
  std::int32_t samplingRateForEvent(const std::string& name) const;

  std::string uploadURL() const;
  std::optional<std::string> remoteConfigURLWithAppInstanceID(const std::optional<std::string>& appInstanceID,
                                                              const std::optional<std::string>& platform,
                                                              std::int64_t SDKVersion, std::int64_t runtimeVersion) const;
  std::vector<std::string> dataControls() const EXCLUDES(mutex_);
  std::vector<std::int32_t> experimentIDs() const;
  std::shared_ptr<APMEventEditing> eventEditing() const EXCLUDES(mutex_);
  const std::shared_ptr<APMEClient>& experimentClient() const { return client_; }

  // Called by the engine before it builds an upload.
  bool activateNewSnapshot() EXCLUDES(mutex_);
  bool hasNewSnapshot() const EXCLUDES(mutex_);

  // APMEExperimentObserverDelegate
  bool observesNewSnapshots() const override { return true; }
  void clientDidReceiveNewSnapshot(APMEClient& client) override EXCLUDES(mutex_);
  bool observesFetchErrors() const override { return true; }
  void clientDidReceiveFetchError(APMEClient& client, const platform::Error& error) override;
  std::optional<bool> shouldFetchExperimentsForClient(APMEClient& client) override;

  // Replaces every cached value by the raw setting strings of a configuration.
  void setRawSettings(const std::map<std::string, std::string>& settings);
  // Empties the caches, drops the configuration (not on the default instance) and resets the
  // experiment manager.
  void reset() EXCLUDES(mutex_);

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

  void registerExperimentClient();
  std::optional<std::string> settingAsString(const std::string& key) const;

  bool isDefaultInstance_ = true;
  std::string appID_;
  APMDatabase* database_ = nullptr;
  // Raw strings from the parse, numbers once looked up.
  VULMutableDictionary<std::string, platform::Value> cache_;
  std::shared_ptr<const APMRemoteConfigFlagSource> experimentClient_;
  std::shared_ptr<APMEClient> client_;
  std::shared_ptr<APMEManager> experimentManager_;
  mutable platform::Mutex mutex_;
  std::map<std::string, std::shared_ptr<APMPBEventConfig>> cachedEventConfigByEventName_ GUARDED_BY(mutex_);
  std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto_ GUARDED_BY(mutex_);
  bool hasNewSnapshot_ GUARDED_BY(mutex_) = false;
  std::vector<std::string> cachedDataControls_ GUARDED_BY(mutex_);
  std::shared_ptr<APMEventEditing> eventEditing_ GUARDED_BY(mutex_);
};

// The configuration currently in force (`[APMMeasurement remoteConfig]`): the default instance
// until the engine installs a downloaded one.
std::shared_ptr<APMRemoteConfig> APMMeasurementRemoteConfig();
void APMSetMeasurementRemoteConfig(std::shared_ptr<APMRemoteConfig> config);
