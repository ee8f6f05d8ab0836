#include <gtest/gtest.h>

#include "platform/testing/child_process.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/messages/apmpb_flag.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_engine_services.h"
#include "sdk/analytics/storage/apm_event_editing_loader.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apme_manager.h"
#include "tests/sdk/analytics/monitor_recorder.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"

namespace {

using platform::Error;
using platform::Value;

constexpr const char* kAppID = "1:123:ios:abc";

struct EventConfigSpec {
  std::string name;
  std::optional<bool> blocklisted;
  std::optional<bool> customConversion;
  std::optional<std::int32_t> samplingRate;
};

// A measurement configuration as the service would send it.
struct ConfigBuilder {
  std::string appID = kAppID;
  std::optional<std::string> vuzirAppID = std::string(kAppID);
  std::optional<std::int64_t> version = 7;
  std::vector<std::pair<std::string, std::string>> settings;
  std::vector<EventConfigSpec> eventConfigs;
  std::vector<std::string> dataControls;
  int programs = 0;
  std::optional<std::string> uploadSubdomain;

  std::shared_ptr<APMPBMeasurementConfig> build() const {
    auto config = APMPBMeasurementConfig::initWithMessageInfo();
    auto at = [&](std::uint32_t number) { return APMFieldIndex(*config, number); };
    if (version) NANOSetInt64(config.get(), at(1), *version);
    NANOSetString(config.get(), at(2), appID);
    if (vuzirAppID) NANOSetString(config.get(), at(7), *vuzirAppID);
    std::vector<std::shared_ptr<APMPBSetting>> settingList;
    for (const auto& [name, value] : settings) {
      auto setting = APMPBSetting::initWithMessageInfo();
      NANOSetString(setting.get(), 0, name);
      NANOSetString(setting.get(), 1, value);
      settingList.push_back(setting);
    }
    NANOSetArray(config.get(), at(4), settingList);
    std::vector<std::shared_ptr<APMPBEventConfig>> events;
    for (const auto& spec : eventConfigs) {
      auto event = APMPBEventConfig::initWithMessageInfo();
      NANOSetString(event.get(), 0, spec.name);
      if (spec.blocklisted) NANOSetBool(event.get(), 1, *spec.blocklisted);
      if (spec.customConversion) NANOSetBool(event.get(), 2, *spec.customConversion);
      if (spec.samplingRate) NANOSetInt32(event.get(), 3, *spec.samplingRate);
      events.push_back(event);
    }
    NANOSetArray(config.get(), at(5), events);
    std::vector<std::shared_ptr<APMPBProgram>> programList;
    for (int i = 0; i < programs; ++i) programList.push_back(APMPBProgram::initWithMessageInfo());
    NANOSetArray(config.get(), at(9), programList);
    std::vector<std::shared_ptr<APMPBDataControl>> controls;
    for (const auto& name : dataControls) {
      auto control = APMPBDataControl::initWithMessageInfo();
      NANOSetString(control.get(), 0, name);
      controls.push_back(control);
    }
    NANOSetArray(config.get(), at(10), controls);
    if (uploadSubdomain) NANOSetString(config.get(), at(11), *uploadSubdomain);
    return config;
  }
};

// The interpreter's stand-in: counts loads, keeps the sources, fails when told to.
struct LoaderDouble {
  struct Editing : APMEventEditing {};
  int loads = 0;
  bool fail = false;
  APMEventEditingSources sources;

  void install() {
    APMSetEventEditingLoader([this](const APMPBProgram&, const APMEventEditingSources& given, Error* error) {
      ++loads;
      sources = given;
      if (fail) {
        platform::setError(error, Error("test", 1));
        return std::shared_ptr<APMEventEditing>();
      }
      return std::shared_ptr<APMEventEditing>(std::make_shared<Editing>());
    });
  }
};

class APMMeasurementConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = platform::testing::useManualClock();
    db_ = storage_test::openDatabase();
    ASSERT_TRUE(db_);
    manager_ = APMEManager::initWithTaskManager(nullptr);
    config_ = APMRemoteConfig::initWithAppID(kAppID, db_.get(), manager_);
    ASSERT_TRUE(config_);
    loader_.install();
  }
  void TearDown() override {
    APMSetEventEditingLoader(nullptr);
    APMSetEngineServices({});
  }
  static void useOrigin(std::string origin, bool storageDenied = false) {
    APMEngineServices services;
    services.origin = [origin] { return origin; };
    services.isAnalyticsStorageDenied = [storageDenied] { return storageDenied; };
    APMSetEngineServices(std::move(services));
  }

  MonitorRecorder recorder_;
  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::unique_ptr<APMDatabase> db_;
  std::shared_ptr<APMEManager> manager_;
  std::shared_ptr<APMRemoteConfig> config_;
  LoaderDouble loader_;
};

TEST_F(APMMeasurementConfigTest, AConfigurationMustBelongToThisApp) {
  struct Case {
    std::string origin;
    std::string appID;
    std::optional<std::string> vuzirAppID;
    bool accepted;
    std::int64_t refusal;
  };
  for (const Case& c : std::vector<Case>{{"am", kAppID, std::string(kAppID), true, 0},
                                         {"am", kAppID, std::string("other"), false, 29022},
                                         {"am", kAppID, std::nullopt, false, 29022},
                                         {"other-sdk", kAppID, std::nullopt, true, 0},
                                         {"other-sdk", "other", std::string(kAppID), false, 29004}}) {
    useOrigin(c.origin);
    recorder_.clear();
    ConfigBuilder builder;
    builder.appID = c.appID;
    builder.vuzirAppID = c.vuzirAppID;
    builder.version = 100;
    EXPECT_EQ(config_->updateMeasurementConfig(builder.build()), c.accepted) << c.origin << " " << c.appID;
    if (!c.accepted) {
      EXPECT_TRUE(recorder_.has(c.refusal));
    }
    config_->reset();
  }
  EXPECT_EQ(config_->version(), -1);
}

TEST_F(APMMeasurementConfigTest, AStoredConfigurationIsParsedAtTheNextStart) {
  ConfigBuilder builder;
  builder.settings = {{"measurement.config.cache_time", "120000"}, {"measurement.upload.blacklist_public", "1"}};
  builder.eventConfigs = {{"ad_click", std::nullopt, true, 5}, {"own_event", true, std::nullopt, std::nullopt}, {"", std::nullopt, std::nullopt, std::nullopt}};
  builder.dataControls = {"ads", "personalisation"};
  ASSERT_TRUE(config_->updateMeasurementConfig(builder.build()));
  EXPECT_TRUE(recorder_.has(29013)) << "an unnamed event configuration is skipped";

  auto restarted = APMRemoteConfig::initWithAppID(kAppID, db_.get(), manager_);
  for (const auto& config : {config_, restarted}) {
    EXPECT_EQ(config->version(), 7);
    EXPECT_EQ(config->remoteConfigCacheTimeInterval(), 120);
    EXPECT_TRUE(config->eventConfigWithName("_ac")) << "reserved events are kept under their internal names";
    EXPECT_FALSE(config->eventConfigWithName("ad_click"));
    EXPECT_TRUE(config->isEventCustomConversion("_ac"));
    EXPECT_TRUE(config->isEventBlocklisted("own_event"));
    EXPECT_TRUE(config->isEventBlocklisted("public_event")) << "the public switch";
    EXPECT_FALSE(config->isEventBlocklisted("_internal"));
    EXPECT_EQ(config->dataControls(), (std::vector<std::string>{"ads", "personalisation"}));
  }

  // An empty settings list puts every setting back to its default and still refreshes the rest.
  ConfigBuilder empty;
  empty.dataControls = {"only"};
  ASSERT_TRUE(config_->updateMeasurementConfig(empty.build()));
  EXPECT_EQ(config_->remoteConfigCacheTimeInterval(), 3600);
  EXPECT_FALSE(config_->eventConfigWithName("_ac"));
  EXPECT_EQ(config_->dataControls(), (std::vector<std::string>{"only"}));
}

TEST_F(APMMeasurementConfigTest, SamplingRatesOutsideTwoTo65535AreOne) {
  ConfigBuilder builder;
  const std::vector<std::pair<std::optional<std::int32_t>, std::int32_t>> cases{
      {std::nullopt, 1}, {0, 1}, {1, 1}, {-5, 1}, {2, 2}, {65535, 65535}, {65536, 1}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    builder.eventConfigs.push_back({"e" + std::to_string(i), std::nullopt, std::nullopt, cases[i].first});
  }
  ASSERT_TRUE(config_->updateMeasurementConfig(builder.build()));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(config_->samplingRateForEvent("e" + std::to_string(i)), cases[i].second) << i;
    EXPECT_EQ(config_->eventHasSamplingRate("e" + std::to_string(i)), cases[i].first.has_value()) << i;
  }
  EXPECT_EQ(config_->samplingRateForEvent("unknown"), 1);
}

TEST_F(APMMeasurementConfigTest, OnlyTheFirstProgramIsLoadedAndAFailureDropsTheInstance) {
  ConfigBuilder builder;
  builder.settings = {{"measurement.some_setting", "42"}};
  builder.programs = 3;
  builder.dataControls = {"first"};
  ASSERT_TRUE(config_->updateMeasurementConfig(builder.build()));
  EXPECT_EQ(loader_.loads, 1);
  EXPECT_TRUE(config_->eventEditing());
  ASSERT_TRUE(loader_.sources.remoteConfigValue);
  EXPECT_EQ(loader_.sources.remoteConfigValue("measurement.some_setting"), "42");
  const Value metadata = loader_.sources.appMetadata();
  EXPECT_EQ(metadata.ifDictionary()->at("platform").stringValue(), "ios");
  EXPECT_EQ(metadata.ifDictionary()->at("vmp_version").integerValue(), kAPMLibraryVersion);

  loader_.fail = true;
  builder.dataControls = {"second"};
  ASSERT_TRUE(config_->updateMeasurementConfig(builder.build()));
  EXPECT_FALSE(config_->eventEditing());
  EXPECT_TRUE(recorder_.has(29026));
  EXPECT_EQ(config_->dataControls(), (std::vector<std::string>{"first"})) << "the parse ends at the failure";
}

TEST_F(APMMeasurementConfigTest, URLsFollowTheirRules) {
  EXPECT_EQ(config_->uploadURL(), "https://app-measurement.vuduzara.invalid/a");
  for (const auto& [label, url] : std::vector<std::pair<std::string, std::string>>{
           {"eu-1", "https://eu-1.app-measurement.vuduzara.invalid/a"},
           {"evil.example/x", "https://app-measurement.vuduzara.invalid/a"},
           {"user@host", "https://app-measurement.vuduzara.invalid/a"},
           {"EU", "https://app-measurement.vuduzara.invalid/a"}}) {
    ConfigBuilder builder;
    builder.uploadSubdomain = label;
    ASSERT_TRUE(config_->updateMeasurementConfig(builder.build()));
    EXPECT_EQ(config_->uploadURL(), url) << label;
  }

  EXPECT_EQ(config_->remoteConfigURLWithAppInstanceID("inst 1", "ios", 81500, 0),
            "https://app-config.vuduzara.invalid/config/app/1:123:ios:abc?app_instance_id=inst%201&platform=ios&"
            "runtime_version=0&vmp_version=81500");
  EXPECT_FALSE(config_->remoteConfigURLWithAppInstanceID(std::nullopt, "ios", 1, 0));
  useOrigin("am", true);
  EXPECT_EQ(config_->remoteConfigURLWithAppInstanceID(std::nullopt, "ios", 1, 0),
            "https://app-config.vuduzara.invalid/config/app/1:123:ios:abc?app_instance_id=&platform=ios&"
            "runtime_version=0&vmp_version=1");
}

TEST_F(APMMeasurementConfigTest, ExpiryCountsFromTheLastUpdateEitherWay) {
  ASSERT_TRUE(db_->updateRemoteConfigSuccessfulTimestamp(APMDatabaseNow(), nullptr));
  EXPECT_FALSE(config_->isExpired());
  clock_->move(3599);
  EXPECT_FALSE(config_->isExpired());
  clock_->move(1);
  EXPECT_TRUE(config_->isExpired());
  ASSERT_TRUE(db_->updateRemoteConfigSuccessfulTimestamp(APMDatabaseNow() + 3600, nullptr));
  EXPECT_TRUE(config_->isExpired()) << "a clock set back counts like time gone by";

  const auto defaults = APMRemoteConfig::initWithAppID("", nullptr, nullptr, nullptr);
  EXPECT_TRUE(defaults->isDefaultInstance());
  EXPECT_FALSE(defaults->isExpired());
  EXPECT_EQ(defaults->lastRemoteConfigUpdateTimestamp(), 0);
  EXPECT_FALSE(defaults->updateMeasurementConfig(ConfigBuilder().build()));
  EXPECT_FALSE(APMRemoteConfig::initWithAppID("", db_.get(), manager_));
  EXPECT_FALSE(APMRemoteConfig::initWithAppID(kAppID, nullptr, manager_));
}

TEST_F(APMMeasurementConfigTest, TheMeasurementClientReadsFlagsAndActivatesNewSnapshots) {
  ASSERT_TRUE(config_->experimentClient());
  EXPECT_EQ(config_->experimentClient()->valueForFlag("network_background_session_enabled").integerValue(), 0);
  EXPECT_FALSE(config_->activateNewSnapshot());

  APMESnapshot::Experiments experiments{APMEExperiment::initWithExperimentID(
      12, {APMPBFlagFromNameAndValue(Value("network_background_session_enabled"), Value(std::int64_t{1}))})};
  manager_->taskManagerDidFinishFetching(*APMETaskManager::initWithQueue(nullptr, nullptr, nullptr, "", 0),
                                         {APMESnapshot::initWithSDKName("app_measurement", experiments)}, {});
  platform::testing::drain(manager_->queue());
  config_->clientDidReceiveNewSnapshot(*config_->experimentClient());
  EXPECT_FALSE(config_->isNetworkBackgroundSessionEnabled());
  EXPECT_TRUE(config_->activateNewSnapshot());
  EXPECT_TRUE(config_->isNetworkBackgroundSessionEnabled());
  EXPECT_EQ(config_->experimentIDs(), (std::vector<std::int32_t>{12}));
  EXPECT_FALSE(config_->activateNewSnapshot());
}

// What the layers above install for the configuration (the engine's answers, the remote
// configuration in use, the event-editing loader) is read by workers, the experiments' fetch among
// them, which may still run while the process exits. A fresh copy of this binary installs each and
// reads them on a thread of its own while it exits.
TEST(APMEngineServicesExitTest, ChildAsksTheEngineWhileExiting) {
  if (!platform::testing::isExitTestChild()) GTEST_SKIP() << "runs only as the child of the exit test";
  // Answers that hold state, as the engine's do (it is kept apart from the answer's own storage).
  APMEngineServices services;
  services.isMeasurementEnabled = [enabled = std::make_shared<bool>(true)] { return *enabled; };
  services.origin = [origin = std::string("am")] { return origin; };
  APMSetEngineServices(std::move(services));
  const auto config = std::make_shared<APMRemoteConfig>();
  APMSetMeasurementRemoteConfig(config);
  APMSetEventEditingLoader([name = std::string("editing")](const APMPBProgram&, const APMEventEditingSources&,
                                                             platform::Error*) -> std::shared_ptr<APMEventEditing> {
    return nullptr;
  });
  platform::testing::exitWhileUsingOnAThread([raw = config.get()] {
    return APMEngineIsMeasurementEnabled() && APMEngineOrigin() == "am" && APMMeasurementRemoteConfig().get() == raw &&
           APMCurrentEventEditingLoader() != nullptr;
  });
}

TEST(APMEngineServicesExitTest, TheEnginesAnswersStayUsableWhileTheProcessExits) {
  EXPECT_EQ(platform::testing::runExitTestChild("APMEngineServicesExitTest.ChildAsksTheEngineWhileExiting"), "");
}

}  // namespace
