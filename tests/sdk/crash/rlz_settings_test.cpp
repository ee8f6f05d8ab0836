#include <gtest/gtest.h>

#include "crash_test_support.h"
#include "platform/foundation/json.h"
#include "platform/testing/testing.h"
#include "sdk/crash/launch/rlz_application_identifier_model.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/settings/rlz_settings.h"
#include "sdk/transport/core/vdtcor_event.h"

namespace {

class RLZSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = std::make_shared<RLZFileManager>();
    model_ = RLZApplicationIdentifierModel::make();
    ASSERT_TRUE(model_);
    settings_ = std::make_shared<RLZSettings>(files_, model_);
    std::filesystem::create_directories(files_->settingsDirectoryPath());
  }
  void writeSettings(const std::string& json) { crash_test::writeFile(files_->settingsFilePath(), json); }
  void writeKey(double createdAt, const std::string& appID, const std::string& build, const std::string& version) {
    const auto key = platform::Value::dictionary({{"created_at", createdAt},
                                                  {"videzu_app_id", appID},
                                                  {"build_instance_id", build},
                                                  {"app_version", version}});
    crash_test::writeFile(files_->settingsCacheKeyPath(), *platform::JSON::serialize(key));
  }
  bool onDisk() { return std::filesystem::exists(files_->settingsFilePath()); }

  std::shared_ptr<RLZFileManager> files_;
  std::shared_ptr<RLZApplicationIdentifierModel> model_;
  std::shared_ptr<RLZSettings> settings_;
};

TEST_F(RLZSettingsTest, DefaultsWithoutSettings) {
  settings_->reloadFromCacheWithVidezuAppID("app", 1000);
  EXPECT_TRUE(settings_->isCacheExpired());
  EXPECT_EQ(settings_->cacheDurationSeconds(), 3600u);
  EXPECT_TRUE(settings_->errorReportingEnabled());
  EXPECT_TRUE(settings_->customExceptionsEnabled());
  EXPECT_TRUE(settings_->collectReportsEnabled());
  EXPECT_FALSE(settings_->metricKitCollectionEnabled());
  EXPECT_EQ(settings_->logBufferSize(), 64000u);
  EXPECT_EQ(settings_->errorLogBufferSize(), 64000u);
  EXPECT_EQ(settings_->maxCustomExceptions(), 8u);
  EXPECT_EQ(settings_->maxCustomKeys(), 64u);
  EXPECT_DOUBLE_EQ(settings_->onDemandUploadRate(), 10.0);
  EXPECT_DOUBLE_EQ(settings_->onDemandBackoffBase(), 1.5);
  EXPECT_EQ(settings_->onDemandBackoffStepDuration(), 6u);
}

TEST_F(RLZSettingsTest, ValuesReplaceDefaultsAndBadOnesCountAsAbsent) {
  writeSettings(R"({"cache_duration":60,"features":{"collect_reports":0,"collect_metric_kit":true,
    "collect_logged_exceptions":"no"},"session":{"log_buffer_size":100.7,"max_custom_key_value_pairs":null,
    "on_demand_upload_rate_per_minute":3},"app":[],"on_demand_backoff_base":2.5})");
  settings_->cacheSettingsWithVidezuAppID("app", 1000);
  EXPECT_FALSE(settings_->isCacheExpired());
  EXPECT_EQ(settings_->cacheDurationSeconds(), 60u);
  EXPECT_FALSE(settings_->collectReportsEnabled());
  EXPECT_TRUE(settings_->metricKitCollectionEnabled());
  EXPECT_TRUE(settings_->errorReportingEnabled());
  EXPECT_EQ(settings_->logBufferSize(), 100u);
  EXPECT_EQ(settings_->maxCustomKeys(), 64u);
  EXPECT_DOUBLE_EQ(settings_->onDemandUploadRate(), 10.0);
  EXPECT_DOUBLE_EQ(settings_->onDemandBackoffBase(), 2.5);
  EXPECT_FALSE(settings_->appSettings());
  EXPECT_TRUE(settings_->sessionSettings());
}

// Numbers come from the server: one outside the unsigned 32-bit range is held at the nearer end,
// never wrapped into a small number (a 1e19-second cache lifetime is not 0 seconds) nor converted
// with an overflowing cast.
TEST_F(RLZSettingsTest, OutOfRangeNumbersAreHeldAtTheNearerEnd) {
  constexpr std::uint32_t kMax = 4294967295u;
  const struct {
    const char* json;
    std::uint32_t expected;
  } cases[] = {{"1e19", kMax},           {"-1e19", 0},        {"5e9", kMax},  {"4294967296", kMax},
               {"18446744073709551615", kMax}, {"-1", 0},   {"-0.5", 0},    {"4294967295", kMax},
               {"1e308", kMax},          {"42.9", 42}};
  for (const auto& c : cases) {
    writeSettings(std::string(R"({"cache_duration":)") + c.json + R"(,"session":{"log_buffer_size":)" + c.json +
                  "}}");
    settings_->cacheSettingsWithVidezuAppID("app", 1000);
    EXPECT_EQ(settings_->cacheDurationSeconds(), c.expected) << c.json;
    // A log larger than half a report would only be cut when packaged, after filling the disk.
    EXPECT_EQ(settings_->logBufferSize(), std::min<std::uint64_t>(c.expected, kVDTCORMaxEventPayloadBytes / 2))
        << c.json;
  }
}

TEST_F(RLZSettingsTest, ExpiryByTimeBuildAndVersion) {
  const std::string build = model_->buildInstanceID();
  const std::string version = model_->synthesizedVersion();
  struct Case {
    const char* name;
    double now;
    std::string build;
    std::string version;
    bool expired;
  };
  const Case cases[] = {{"fresh", 1060, build, version, false},
                        {"exactly at the end", 1060, build, version, false},
                        {"a second later", 1061, build, version, true},
                        {"new build", 1000, "other", version, true},
                        {"new version", 1000, build, "9.9 (9)", true}};
  for (const auto& c : cases) {
    writeSettings(R"({"cache_duration":60})");
    writeKey(1000.9, "app", c.build, c.version);
    auto settings = std::make_shared<RLZSettings>(files_, model_);
    settings->reloadFromCacheWithVidezuAppID("app", c.now);
    EXPECT_EQ(settings->isCacheExpired(), c.expired) << c.name;
    EXPECT_EQ(settings->cacheDurationSeconds(), 60u) << c.name;  // expired settings stay in use
  }
}

TEST_F(RLZSettingsTest, InconsistentCacheIsDeleted) {
  const struct {
    const char* name;
    const char* settings;
    bool writeKey;
    const char* appID;
  } cases[] = {{"another app", R"({"cache_duration":60})", true, "other"},
               {"no cache key", R"({"cache_duration":60})", false, "app"},
               {"corrupt settings", "{\"cache_duration\":", true, "app"},
               {"not an object", "[1,2]", true, "app"}};
  for (const auto& c : cases) {
    writeSettings(c.settings);
    std::filesystem::remove(files_->settingsCacheKeyPath());
    if (c.writeKey) writeKey(1000, "app", model_->buildInstanceID(), model_->synthesizedVersion());
    auto settings = std::make_shared<RLZSettings>(files_, model_);
    settings->reloadFromCacheWithVidezuAppID(c.appID, 1000);
    platform::testing::runUntilIdle();
    EXPECT_TRUE(settings->isCacheExpired()) << c.name;
    EXPECT_FALSE(settings->settingsDictionary()) << c.name;
    EXPECT_EQ(settings->cacheDurationSeconds(), 3600u) << c.name;
    EXPECT_FALSE(onDisk()) << c.name;
  }
}

}  // namespace
