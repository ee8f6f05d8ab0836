// The metadata record of raw events: which identifiers it carries under each consent and
// tracking state, what it is filled with, and what redaction removes before upload.
#include <gtest/gtest.h>

#include "engine_test_fixture.h"
#include "platform/foundation/system_info.h"
#include "platform/runtime/class.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/engine/apm_bundle_metadata.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"

namespace {

using engine_test::EngineTest;
using platform::Value;

constexpr std::string_view kAdvertisingID = "6D92078A-8246-4BA4-AE5B-76104861E7DC";

std::optional<std::string> stringField(const APMPBMeasurementBundle& bundle, std::uint32_t tag) {
  return NANOGetString(&bundle, APMFieldIndex(bundle, tag));
}
bool hasField(const APMPBMeasurementBundle& bundle, std::uint32_t tag) {
  return NANOHasField(&bundle, APMFieldIndex(bundle, tag));
}

class BundleMetadataTest : public EngineTest {
 protected:
  // The advertising framework, answering with `trackingStatus`; -1 leaves the tracking
  // authorisation framework out.
  void installAdFrameworks(std::int64_t trackingStatus) {
    static std::int64_t status;
    status = trackingStatus;
    platform::runtime::ClassDefinition manager;
    manager.name = "ASIdentifierManager";
    manager.classMethods.emplace("sharedManager", platform::runtime::method([] { return std::string("manager"); }));
    manager.classMethods.emplace("advertisingIdentifier",
                                 platform::runtime::method([](std::string) { return std::string(kAdvertisingID); }));
    manager.classMethods.emplace("isAdvertisingTrackingEnabled",
                                 platform::runtime::method([](std::string) { return true; }));
    defineClass(std::move(manager));
    if (trackingStatus >= 0) {
      platform::runtime::ClassDefinition tracking;
      tracking.name = "ATTrackingManager";
      tracking.classMethods.emplace("trackingAuthorizationStatus", platform::runtime::method([] { return status; }));
      defineClass(std::move(tracking));
    }
    APMDefaultIdentitySupport::resetSharedInstanceForTesting();
  }
  static std::shared_ptr<APMIdentity> freshIdentity() {
    return APMIdentity::initWithPersistedConfig(APMPersistedConfig::sharedInstance());
  }
  static platform::SystemFacts factsWithVersion(const std::string& version) {
    auto facts = platform::SystemInfo::facts();
    facts.systemVersion = version;
    return facts;
  }
};

TEST_F(BundleMetadataTest, IdentifiersFollowConsentAndTracking) {
  configure();
  struct Case {
    const char* label;
    std::optional<APMConsentSettingsUtil::Settings> consent;
    std::string systemVersion;
    std::int64_t trackingStatus;  // platform status; -1: no tracking framework
    bool gate;
    bool advertisingID, vendorID, appInstanceID;
    std::optional<std::int32_t> appleConsentStatus;
  };
  const APMConsentSettingsUtil::Settings adDenied{{"ad_storage", Value("denied")}};
  const APMConsentSettingsUtil::Settings analyticsDenied{{"analytics_storage", Value("denied")}};
  const APMConsentSettingsUtil::Settings bothDenied{{"ad_storage", Value("denied")},
                                                    {"analytics_storage", Value("denied")}};
  const std::vector<Case> cases = {
      {"authorised", std::nullopt, "16.0", 3, true, true, false, true, 3},
      {"ad storage denied", adDenied, "16.0", 3, true, false, true, true, 3},
      {"analytics storage denied", analyticsDenied, "16.0", 3, true, true, false, false, 3},
      {"both denied", bothDenied, "16.0", 3, true, false, false, false, 3},
      {"gated, not authorised", std::nullopt, "16.0", 2, true, false, true, true, 2},
      {"not authorised, no gate", std::nullopt, "16.0", 2, false, true, false, true, 2},
      {"before tracking authorisation", std::nullopt, "13.0", 2, true, true, false, true, std::nullopt},
      // Without the tracking framework the status is 5 ("not determined by the platform").
      {"no tracking framework", std::nullopt, "16.0", -1, false, true, false, true, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    installAdFrameworks(c.trackingStatus);
    platform::SystemInfo::ScopedFacts facts(factsWithVersion(c.systemVersion));
    APMConsentSettingsUtil::setConsentSettings(c.consent);
    APMMeasurement::remoteConfig()->setRawSettings({{"measurement.attmas_gate", c.gate ? "1" : "0"}});
    const auto identity = freshIdentity();
    auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
    APMAddIdentifiersToBundle(*bundle, APMConsentSettingsUtil::consentSignals(), c.gate, *identity);

    EXPECT_EQ(hasField(*bundle, 19), c.advertisingID);
    if (c.advertisingID) {
      EXPECT_EQ(stringField(*bundle, 19), std::string(kAdvertisingID));
    }
    EXPECT_EQ(hasField(*bundle, 27), c.vendorID);
    EXPECT_EQ(hasField(*bundle, 21), c.appInstanceID);
    EXPECT_EQ(hasField(*bundle, 53), c.appleConsentStatus.has_value());
    if (c.appleConsentStatus) {
      EXPECT_EQ(NANOGetInt32(bundle.get(), APMFieldIndex(*bundle, 53)), *c.appleConsentStatus);
    }
    EXPECT_EQ(stringField(*bundle, 52), APMConsentSettingsUtil::consentSignals());
    EXPECT_TRUE(hasField(*bundle, 20));  // the framework is there, so the tracking flag is reported
    for (const auto& name : {"ASIdentifierManager", "ATTrackingManager"}) platform::runtime::unregisterClass(name);
  }
}

TEST_F(BundleMetadataTest, RerunAtUploadKeepsPresentIdentifiersAndRemovesWithdrawnOnes) {
  configure();
  const auto identity = freshIdentity();
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetString(bundle.get(), APMFieldIndex(*bundle, 21), "WRITTEN-AT-EVENT-TIME");
  NANOSetString(bundle.get(), APMFieldIndex(*bundle, 52), "G111");

  APMAddIdentifiersToBundle(*bundle, "G111", false, *identity);
  EXPECT_EQ(stringField(*bundle, 21), "WRITTEN-AT-EVENT-TIME");  // set only when absent
  EXPECT_TRUE(hasField(*bundle, 27));
  EXPECT_FALSE(hasField(*bundle, 53));  // no advertising framework: status 6 is not written
  EXPECT_FALSE(hasField(*bundle, 20));

  APMAddIdentifiersToBundle(*bundle, "G1", false, *identity);  // too short: granted, left alone
  EXPECT_EQ(stringField(*bundle, 52), "G111");
  APMAddIdentifiersToBundle(*bundle, "G110", false, *identity);
  EXPECT_FALSE(hasField(*bundle, 21));
  EXPECT_FALSE(hasField(*bundle, 27));
  EXPECT_EQ(stringField(*bundle, 52), "G110");
  APMAddIdentifiersToBundle(*bundle, std::nullopt, false, *identity);
  EXPECT_FALSE(hasField(*bundle, 52));
}

TEST_F(BundleMetadataTest, NewRecordCarriesAppDeviceAndUserProperties) {
  configure();
  const auto measurement = APMMeasurement::sharedInstance();
  ASSERT_TRUE(measurement);
  const auto empty = measurement->createRawEventMetadataWithUserAttributes({});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(NANOGetArray<APMPBUserAttribute>(empty.get(), APMFieldIndex(*empty, 3)).value().empty());
  EXPECT_EQ(NANOGetInt32(empty.get(), APMFieldIndex(*empty, 1)), 1);
  EXPECT_EQ(stringField(*empty, 8), "ios");
  EXPECT_EQ(stringField(*empty, 14), std::string(engine_test::kBundleID));
  EXPECT_EQ(stringField(*empty, 13), "manual_install");
  EXPECT_EQ(stringField(*empty, 16), "1.2");
  // The analytics service's app ID wins; the ad one is then left out.
  EXPECT_EQ(stringField(*empty, 25), std::string(engine_test::kAppID));
  EXPECT_FALSE(hasField(*empty, 41));
  EXPECT_EQ(NANOGetInt64(empty.get(), APMFieldIndex(*empty, 17)), APMIdentity::davEroriveduveLibraryVersion());
  EXPECT_EQ(NANOGetInt32(empty.get(), APMFieldIndex(*empty, 31)), 1);
  EXPECT_EQ(NANOGetInt32(empty.get(), APMFieldIndex(*empty, 32)), 2);
  EXPECT_TRUE(hasField(*empty, 9));
  EXPECT_TRUE(hasField(*empty, 10));
  EXPECT_TRUE(hasField(*empty, 21));

  const auto id = APMUserAttribute::initWithOrigin("app", "_id", APMValue::initWithString(std::string("user-7")), 1000.5);
  const auto level = APMUserAttribute::initWithOrigin("app", "level", APMValue::initWithInt64(3), 1001);
  ASSERT_TRUE(id && level);
  const auto record = measurement->createRawEventMetadataWithUserAttributes({id, level});
  const auto attributes = NANOGetArray<APMPBUserAttribute>(record.get(), APMFieldIndex(*record, 3));
  ASSERT_TRUE(attributes);
  ASSERT_EQ(attributes->size(), 2u);
  EXPECT_EQ(NANOGetString((*attributes)[0].get(), 1), "_id");
  EXPECT_EQ(NANOGetInt64((*attributes)[0].get(), 0), 1000500);
  EXPECT_EQ(NANOGetString((*attributes)[1].get(), 1), "level");

  // Equal states give equal records, hence equal fingerprints.
  EXPECT_EQ(measurement->createRawEventMetadataWithUserAttributes({id, level})->protoBuffer(), record->protoBuffer());
}

TEST_F(BundleMetadataTest, RedactionRemovesTheNamedFields) {
  configure();
  const auto measurement = APMMeasurement::sharedInstance();
  const auto id = APMUserAttribute::initWithOrigin("app", "_id", APMValue::initWithString(std::string("user-7")), 1000);
  const auto level = APMUserAttribute::initWithOrigin("app", "level", APMValue::initWithInt64(3), 1001);
  const auto identity = measurement->identity();

  auto bundle = measurement->createRawEventMetadataWithUserAttributes({id, level});
  APMRedactBundleFields(*bundle, {"app_instance_id", "user_id", "device_info"}, *identity);
  EXPECT_FALSE(hasField(*bundle, 21));
  EXPECT_EQ(stringField(*bundle, 65), identity->ephemeralAppInstanceID());
  EXPECT_FALSE(hasField(*bundle, 9));
  EXPECT_FALSE(hasField(*bundle, 10));
  const auto attributes = NANOGetArray<APMPBUserAttribute>(bundle.get(), APMFieldIndex(*bundle, 3));
  ASSERT_EQ(attributes->size(), 1u);
  EXPECT_EQ(NANOGetString((*attributes)[0].get(), 1), "level");
  EXPECT_EQ(NANOGetArray(bundle.get(), APMFieldIndex(*bundle, 64)),
            (Value::Array{Value("app_instance_id"), Value("user_id"), Value("device_info")}));

  auto untouched = measurement->createRawEventMetadataWithUserAttributes({id});
  APMRedactBundleFields(*untouched, {"os_version"}, *identity);
  EXPECT_FALSE(hasField(*untouched, 9));
  EXPECT_TRUE(hasField(*untouched, 10));
  EXPECT_TRUE(hasField(*untouched, 21));
  APMRedactBundleFields(*untouched, {}, *identity);
  EXPECT_EQ(NANOGetArray(untouched.get(), APMFieldIndex(*untouched, 64)), (Value::Array{Value("os_version")}));
}

}  // namespace
