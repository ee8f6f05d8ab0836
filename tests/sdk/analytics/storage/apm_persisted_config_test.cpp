#include "sdk/analytics/storage/apm_persisted_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "platform/foundation/user_defaults.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/storage/apm_persistent_dictionary.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "sdk/analytics/storage/apm_user_defaults.h"
#include "tests/sdk/analytics/monitor_recorder.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;

constexpr std::string_view kSuite = "com.videzu.vmp.measurement";

class APMPersistedConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::testing::useManualClock(); }
  void TearDown() override { APMSetMeasurementRemoteConfig(nullptr); }
  MonitorRecorder recorder_;
};

// Counts the flushes that reach the backing store.
class CountingStore final : public APMConfigStore {
 public:
  std::map<std::string, Value, std::less<>> values;
  int synchronizations = 0;
  Value objectForKey(std::string_view key) override {
    auto it = values.find(key);
    return it == values.end() ? Value() : it->second;
  }
  void setObject(const Value& value, std::string_view key) override { values[std::string(key)] = value; }
  void removeObjectForKey(std::string_view key) override { values.erase(std::string(key)); }
  void clearAllData() override { values.clear(); }
  void synchronize() override { ++synchronizations; }
};

TEST_F(APMPersistedConfigTest, BurstOfWritesIsFlushedOnceOneSecondAfterTheLast) {
  auto store = std::make_shared<CountingStore>();
  auto config = std::make_shared<APMPersistedConfig>("suite", store);
  for (int i = 0; i < 10; ++i) {
    config->setSessionNumber(i);
    platform::testing::advance(0.1);
    platform::testing::drain(config->serialQueue());
  }
  EXPECT_EQ(store->synchronizations, 0);
  platform::testing::advance(0.95);
  platform::testing::drain(config->serialQueue());
  EXPECT_EQ(store->synchronizations, 1);
  EXPECT_EQ(config->sessionNumber(), 9);
  // Writes that schedule no flush of their own.
  config->setLoadTimestampValue(Value(1.5));
  platform::testing::advance(2);
  platform::testing::drain(config->serialQueue());
  EXPECT_EQ(store->synchronizations, 1);
}

TEST_F(APMPersistedConfigTest, TypedReadsAndSpecialCases) {
  auto store = std::make_shared<CountingStore>();
  auto config = std::make_shared<APMPersistedConfig>("suite", store);
  store->values["/videzu/measurement/session_number"] = Value("12");
  EXPECT_EQ(config->sessionNumber(), 0) << "a string under an integer key reads as 0";
  store->values["/videzu/measurement/last_modified_since_key"] = Value(42);
  EXPECT_EQ(config->configServerLastModifiedString(), Value(42));
  config->setSearchAdCampaignValue(Value(1));
  config->setSearchAdCampaignValue(Value("yes"));
  EXPECT_EQ(config->searchAdCampaignValue(), Value(1));
  config->setDefaultEventParameters(Value::Dictionary{{"bad", Value(Value::Array{Value()})}});
  EXPECT_TRUE(recorder_.has(27002));
  EXPECT_FALSE(config->defaultEventParameters());

  const double offset = config->midnightOffset();
  EXPECT_GE(offset, 0);
  EXPECT_LT(offset, 86400);
  EXPECT_EQ(config->midnightOffset(), offset);

  config->setMeasurementEnabledState(2);
  config->clearValues();
  EXPECT_EQ(config->measurementEnabledState(), 2) << "kept in the standard preferences";
  EXPECT_EQ(config->midnightOffset() == offset, false) << "cleared values draw a new offset";
}

TEST_F(APMPersistedConfigTest, SurvivesRelaunchAndFollowsTheBackingSwitch) {
  APMUserDefaults::resetUserPreferenceEnabledForTesting();
  auto first = APMPersistedConfig::initWithSuiteName(kSuite);
  ASSERT_TRUE(first);
  EXPECT_TRUE(std::dynamic_pointer_cast<APMUserDefaults>(first->userDefaults()));
  first->setAppInstanceID("abc");
  const double offset = first->midnightOffset();

  // A downloaded configuration asks for Application Support; the next write takes the switch over.
  auto downloaded = std::make_shared<APMRemoteConfig>();
  downloaded->setRawSettings({{"measurement.persistent_config_in_application_support_enabled", "1"}});
  APMSetMeasurementRemoteConfig(downloaded);
  first->setSessionNumber(3);
  EXPECT_FALSE(first->shouldCheckConfigStoreMigrationFlag());
  EXPECT_TRUE(APMAnalyticsPersistentConfigInApplicationSupportEnabled());
  first->synchronizeToDisk();
  first.reset();
  platform::UserDefaults::resetCachesForTesting();

  auto second = APMPersistedConfig::initWithSuiteName(kSuite);
  EXPECT_TRUE(std::dynamic_pointer_cast<APMPersistentDictionary>(second->userDefaults()));
  EXPECT_TRUE(fs::exists(APMMeasurementPlistPath(kSuite)));
  EXPECT_FALSE(fs::exists(APMPreferencesPlistPath(kSuite)));
  EXPECT_EQ(second->appInstanceID(), "abc");
  EXPECT_EQ(second->midnightOffset(), offset);
  second.reset();

  APMAnalyticsSetPersistentConfigInApplicationSupportEnabled(false);
  auto third = APMPersistedConfig::initWithSuiteName(kSuite);
  EXPECT_TRUE(std::dynamic_pointer_cast<APMUserDefaults>(third->userDefaults()));
  EXPECT_FALSE(fs::exists(APMMeasurementPlistPath(kSuite)));
  EXPECT_EQ(third->appInstanceID(), "abc");
  EXPECT_EQ(third->sessionNumber(), 3);
}

TEST(APMPersistedConfigStressTest, ReadersAndWritersOnManyThreads) {
  auto config = APMPersistedConfig::initWithSuiteName("stress.persisted");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([config, t] {
      for (int i = 0; i < 200; ++i) {
        config->setSessionNumber(i);
        config->setAppVersion("v" + std::to_string(t));
        (void)config->midnightOffset();
        (void)config->appVersion();
        if (i % 50 == 0) config->synchronizeToDisk();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(config->sessionNumber(), 199);
}

}  // namespace
