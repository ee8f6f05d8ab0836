#include "sdk/analytics/storage/apm_remote_config.h"

#include <gtest/gtest.h>

#include <clocale>
#include <atomic>
#include <cmath>
#include <functional>
#include <thread>
#include <variant>

#include "tests/sdk/analytics/monitor_recorder.h"

namespace {

using platform::Value;

enum class Kind { Integer, Integer64, Seconds, Switch };

struct Setting {
  std::string key;
  Kind kind;
  double defaultValue;
  double minimum;
  double maximum;
  std::function<double(APMRemoteConfig&)> read;
  const char* flag = nullptr;
};

#define READ(accessor) [](APMRemoteConfig& c) { return static_cast<double>(c.accessor()); }

const std::vector<Setting>& settings() {
  static const std::vector<Setting> table = {
      {"measurement.upload.backoff_period", Kind::Seconds, 43200, 3600, 604800, READ(uploadingBackoffInterval)},
      {"measurement.audience.max_count", Kind::Integer, 50, 0, 500, READ(maxAudienceCount)},
      {"measurement.audience.filter_max_count_per_audience", Kind::Integer, 10, 0, 100, READ(maxFiltersPerAudience)},
      {"measurement.audience.filter_result_max_count", Kind::Integer, 200, 0, 2000, READ(maxFilterResultCount)},
      {"measurement.audience.parameter_max_count_filter", Kind::Integer, 25, 0, 250, READ(maxParametersPerFilter)},
      {"measurement.upload.stale_data_deletion_interval", Kind::Seconds, 86400, 3600, 604800,
       READ(databaseDeleteStaleBundlesInterval)},
      {"measurement.upload.max_queue_time", Kind::Seconds, 2419200, 604800, 7862400, READ(maxQueueTime)},
      {"measurement.ad_id_cache_time", Kind::Seconds, 1, 0, 86400, READ(adIDCacheTime)},
      {"measurement.attmas_gate", Kind::Switch, 0, 0, 1, READ(gateIDFAOnATTMASEnabled)},
      {"measurement.monitoring.sample_period_millis", Kind::Seconds, 86400, 0, 604800, READ(monitoringSamplePeriod)},
      {"measurement.network.background_session_enabled", Kind::Switch, 0, 0, 1,
       READ(isNetworkBackgroundSessionEnabled), "network_background_session_enabled"},
      {"measurement.network.network_timeout", Kind::Seconds, 60, 30, 3600, READ(networkTimeout)},
      {"measurement.session.default_minimum_interval", Kind::Seconds, 10, 0, 86400,
       READ(sessionDefaultMinimumInterval)},
      {"measurement.session.default_timeout_interval", Kind::Seconds, 1800, 0, 86400,
       READ(sessionDefaultTimeoutInterval)},
      {"measurement.session.event_user_engagement_interval", Kind::Seconds, 3600, 0, 86400,
       READ(sessionEventUserEngagementInterval)},
      {"measurement.collection.efficient_engagement_reporting_enabled", Kind::Switch, 0, 0, 1,
       READ(efficientEngagementReportingEnabled), "efficient_engagement_reporting_enabled"},
      {"measurement.collection.redundant_engagement_removal_enabled", Kind::Switch, 0, 0, 1,
       READ(redundantEngagementRemovalEnabled), "redundant_engagement_removal_enabled"},
      {"measurement.upload.configurable_limits_enabled", Kind::Switch, 1, 0, 1, READ(configurableLimitsEnabled)},
      {"measurement.upload.max_conversions_per_day", Kind::Integer, 10000, 0, 1000000, READ(maxConversionsPerDay)},
      {"measurement.upload.max_events_per_day", Kind::Integer, 100000, 0, 1000000, READ(maxEventsPerDay)},
      {"measurement.upload.max_public_events_per_day", Kind::Integer, 50000, 0, 1000000, READ(maxPublicEventsPerDay)},
      {"measurement.upload.max_error_events_per_day", Kind::Integer, 1000, 0, 1000000, READ(maxErrorEventsPerDay)},
      {"measurement.lifetimevalue.max_currency_tracked", Kind::Integer, 4, 1, 100, READ(maxTrackedCurrencies)},
      {"measurement.upload.max_public_user_properties", Kind::Integer, 25, 25, 100, READ(maxPublicUserProperties)},
      {"measurement.upload.max_event_name_cardinality", Kind::Integer, 500, 500, 2000, READ(maxEventNameCardinality)},
      {"measurement.upload.max_public_event_params", Kind::Integer, 25, 25, 100, READ(maxPublicEventParams)},
      {"measurement.store.max_stored_events_per_app", Kind::Integer, 100000, 0, 1000000, READ(maxEventsStored)},
      {"measurement.upload.interval", Kind::Seconds, 3600, 15, 86400, READ(uploadingInterval)},
      {"measurement.upload.initial_upload_delay_time", Kind::Seconds, 15, 1, 86400,
       READ(uploadingInitialDelayInterval)},
      {"measurement.upload.max_bundles", Kind::Integer64, 100, 1, 10000, READ(uploadMaxBundlesLimit)},
      {"measurement.upload.max_events_per_bundle", Kind::Integer64, 1000, 1, 1000000, READ(uploadMaxEventsPerBundle)},
      {"measurement.upload.max_batch_size", Kind::Integer64, 65536, 0, 10485760, READ(uploadMaxSizeLimitBytes)},
      {"measurement.upload.retry_count", Kind::Integer, 6, 1, 24, READ(uploadingRetryCount)},
      {"measurement.upload.retry_time", Kind::Seconds, 1800, 60, 86400, READ(uploadingRetryInterval)},
      {"measurement.upload.max_bundles_created_per_iteration", Kind::Seconds, 100, 1, 10000,
       READ(maxBundlesCreatedPerIteration)},
      {"measurement.upload.max_realtime_events_per_day", Kind::Integer, 10, 0, 10, READ(maxRealtimeEventCountPerDay)},
      {"measurement.upload.debug_upload_interval", Kind::Seconds, 1, 1, 15, READ(uploadingDebugModeInterval)},
      {"measurement.upload.realtime_upload_interval", Kind::Seconds, 10, 10, 15, READ(uploadingRealTimeInterval)},
      {"measurement.upload.blacklist_internal", Kind::Switch, 0, 0, 1, READ(blocklistInternal)},
      {"measurement.upload.blacklist_public", Kind::Switch, 0, 0, 1, READ(blocklistPublic)},
      {"measurement.event_sampling_enabled", Kind::Switch, 0, 0, 1, READ(isEventSamplingEnabled)},
      {"measurement.account.time_zone_offset_minutes", Kind::Integer, 0, -900, 900,
       READ(analyticsAccountTimeZoneOffsetMinutes)},
      {"measurement.quality.checksum", Kind::Switch, 0, 0, 1, READ(checksumEnabled)},
      {"measurement.lifecycle.app_backgrounded_tracking", Kind::Switch, 1, 0, 1, READ(appBackgroundedEventEnabled)},
      {"measurement.lifecycle.app_in_background_parameter", Kind::Switch, 1, 0, 1,
       READ(appInBackgroundParameterEnabled)},
      {"measurement.last_advertising_id_reset_feature_enabled", Kind::Switch, 1, 0, 1,
       READ(lastAdvertisingIDResetFeatureEnabled)},
      {"measurement.ees_feature_enabled", Kind::Switch, 1, 0, 1, READ(eesFeatureEnabled)},
      {"measurement.ddl.enabled", Kind::Switch, 1, 0, 1, READ(isDeferredDeepLinkEnabled)},
      {"measurement.ddl.retry_count", Kind::Integer, 5, 0, 10, READ(maxDeferredDeepLinkRetryCount)},
      {"measurement.attribution.cache.ttl", Kind::Seconds, 604800, 86400, 2592000, READ(attributionCacheTTLInterval)},
      {"measurement.config.cache_time", Kind::Seconds, 3600, 60, 86400, READ(remoteConfigCacheTimeInterval)},
      {"measurement.api.consent_settings", Kind::Switch, 1, 0, 1, READ(isConsentSettingsEnabled)},
      {"measurement.api.consent_settings_3p", Kind::Switch, 1, 0, 1, READ(isConsentSettings3PEnabled)},
      {"measurement.persistent_config_in_application_support_enabled", Kind::Switch, 0, 0, 1,
       READ(persistentConfigInApplicationSupportEnabled), "persistent_config_in_application_support_enabled"},
  };
  return table;
}

#undef READ

// What the server sends for a value in the setting's own unit.
std::string wire(const Setting& s, double value) {
  const double sent = s.kind == Kind::Seconds ? value * 1000 : value;
  return std::to_string(static_cast<long long>(sent));
}

class FlagSource final : public APMRemoteConfigFlagSource {
 public:
  std::map<std::string, Value, std::less<>> flags;
  std::optional<Value> objectForKeyedSubscript(std::string_view name) const override {
    auto it = flags.find(name);
    if (it == flags.end()) return std::nullopt;
    return it->second;
  }
};

TEST(APMRemoteConfigTest, EverySettingHasItsDefaultBoundsAndUnit) {
  MonitorRecorder recorder;
  ASSERT_EQ(settings().size(), 54u);
  for (const Setting& s : settings()) {
    SCOPED_TRACE(s.key);
    APMRemoteConfig none;
    EXPECT_DOUBLE_EQ(s.read(none), s.defaultValue) << "default";

    struct Probe {
      double value;
      double expected;
    };
    std::vector<Probe> probes{{s.minimum, s.minimum}, {s.maximum, s.maximum}};
    if (s.kind != Kind::Switch) {
      probes.push_back({s.maximum + 1, s.defaultValue});
      probes.push_back({s.minimum - 1, s.defaultValue});
    }
    for (const Probe& probe : probes) {
      APMRemoteConfig config;
      config.setRawSettings({{s.key, wire(s, probe.value)}});
      double expected = probe.expected;
      if (s.key == "measurement.upload.max_bundles_created_per_iteration") expected = std::trunc(expected);
      EXPECT_DOUBLE_EQ(s.read(config), expected) << "server value " << wire(s, probe.value);
    }

    APMRemoteConfig letters;
    letters.setRawSettings({{s.key, "abc"}});
    EXPECT_DOUBLE_EQ(s.read(letters), s.defaultValue) << "unparsable";

    if (s.flag) {
      auto client = std::make_shared<FlagSource>();
      client->flags[s.flag] = Value(1);
      APMRemoteConfig flagged(client);
      flagged.setRawSettings({{s.key, "0"}});
      EXPECT_EQ(s.read(flagged), 1) << "the experiment flag wins over the setting";
      client->flags.clear();
      EXPECT_EQ(s.read(flagged), 0) << "no flag: the setting decides";
    }
  }
}

TEST(APMRemoteConfigTest, ConversionEdgeCases) {
  MonitorRecorder recorder;
  struct Case {
    std::string key;
    std::string raw;
    std::function<double(APMRemoteConfig&)> read;
    double expected;
  };
  const Case cases[] = {
      {"measurement.upload.interval", "60000", [](APMRemoteConfig& c) { return c.uploadingInterval(); }, 60},
      {"measurement.upload.interval", "5000", [](APMRemoteConfig& c) { return c.uploadingInterval(); }, 3600},
      {"measurement.audience.max_count", "-1", [](APMRemoteConfig& c) { return double(c.maxAudienceCount()); }, 50},
      {"measurement.audience.max_count", "2.7", [](APMRemoteConfig& c) { return double(c.maxAudienceCount()); }, 2},
      {"measurement.quality.checksum", "0.5", [](APMRemoteConfig& c) { return double(c.checksumEnabled()); }, 0},
      {"measurement.upload.max_bundles_created_per_iteration", "100",
       [](APMRemoteConfig& c) { return double(c.maxBundlesCreatedPerIteration()); }, 100},
      {"measurement.upload.max_bundles_created_per_iteration", "7000",
       [](APMRemoteConfig& c) { return double(c.maxBundlesCreatedPerIteration()); }, 7},
      {"measurement.account.time_zone_offset_minutes", "-900",
       [](APMRemoteConfig& c) { return double(c.analyticsAccountTimeZoneOffsetMinutes()); }, -900},
  };
  for (const Case& c : cases) {
    APMRemoteConfig config;
    config.setRawSettings({{c.key, c.raw}});
    EXPECT_DOUBLE_EQ(c.read(config), c.expected) << c.key << " = " << c.raw;
  }
}

TEST(APMRemoteConfigTest, DecimalsParseTheSameUnderACommaLocale) {
  const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
  const bool german = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  APMRemoteConfig config;
  config.setRawSettings({{"measurement.audience.max_count", "2.7"}});
  EXPECT_EQ(config.maxAudienceCount(), 2);
  std::setlocale(LC_NUMERIC, previous.c_str());
  if (!german) GTEST_SKIP() << "no German locale installed; checked with the C locale only";
}

TEST(APMRemoteConfigTest, ConfigurableLimitsSwitchGatesThreeLimits) {
  APMRemoteConfig off;
  off.setRawSettings({{"measurement.upload.configurable_limits_enabled", "0"},
                      {"measurement.upload.max_public_user_properties", "50"},
                      {"measurement.upload.max_event_name_cardinality", "1000"},
                      {"measurement.upload.max_public_event_params", "60"}});
  EXPECT_EQ(off.maxPublicUserProperties(), 25);
  EXPECT_EQ(off.maxEventNameCardinality(), 500);
  EXPECT_EQ(off.maxPublicEventParams(), 25);

  APMRemoteConfig on;
  on.setRawSettings({{"measurement.upload.max_public_user_properties", "50"},
                     {"measurement.upload.max_event_name_cardinality", "1000"},
                     {"measurement.upload.max_public_event_params", "60"}});
  EXPECT_EQ(on.maxPublicUserProperties(), 50);
  EXPECT_EQ(on.maxEventNameCardinality(), 1000);
  EXPECT_EQ(on.maxPublicEventParams(), 60);
}

TEST(APMRemoteConfigTest, ValueIsParsedOncePerConfiguration) {
  APMRemoteConfig config;
  config.setRawSettings({{"measurement.upload.interval", "60000"}});
  EXPECT_EQ(config.uploadingInterval(), 60);
  EXPECT_EQ(config.numberFromCacheWithKey("measurement.upload.interval", Value(1), std::nullopt, std::nullopt),
            Value(60.0))
      << "the cached number is returned unchanged, without a new conversion";
  config.reset();
  EXPECT_EQ(config.uploadingInterval(), 3600);
  config.setRawSettings({{"measurement.upload.interval", "120000"}});
  EXPECT_EQ(config.uploadingInterval(), 120);
}

TEST(APMRemoteConfigTest, ConcurrentFirstLookupsAgree) {
  APMRemoteConfig config;
  config.setRawSettings({{"measurement.upload.interval", "60000"}, {"measurement.audience.max_count", "7"}});
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        // A reset racing a lookup may give the default, never anything else.
        const double interval = config.uploadingInterval();
        if (interval != 60 && interval != 3600) ++wrong;
        if (t == 0 && i % 50 == 0) config.reset();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
