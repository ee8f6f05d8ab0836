#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "engine_test_fixture.h"
#include "platform/foundation/system_info.h"
#include "platform/security/keychain.h"
#include "sdk/analytics/engine/apm_info_plist_file_util.h"
#include "sdk/analytics/storage/apm_persisted_config.h"

namespace {

using engine_test::EngineTest;
using platform::Value;
using Settings = APMConsentSettingsUtil::Settings;

using ConsentTest = EngineTest;

TEST_F(ConsentTest, SignalsAndDenialFollowTheStoredValues) {
  struct Case {
    std::optional<Settings> settings;
    bool adDenied;
    bool analyticsDenied;
    std::string signal;
  };
  const std::vector<Case> cases = {
      {std::nullopt, false, false, "G1--"},
      {Settings{{"ad_storage", Value("denied")}}, true, false, "G10-"},
      {Settings{{"ad_storage", Value("DENIED")}, {"analytics_storage", Value("granted")}}, true, false, "G101"},
      {Settings{{"ad_storage", Value(0)}, {"analytics_storage", Value("Denied")}}, false, true, "G1-0"},
  };
  for (const auto& c : cases) {
    APMConsentSettingsUtil::setConsentSettings(c.settings);
    EXPECT_EQ(APMConsentSettingsUtil::isAdStorageDenied(), c.adDenied);
    EXPECT_EQ(APMConsentSettingsUtil::isAnalyticsStorageDenied(), c.analyticsDenied);
    EXPECT_EQ(APMConsentSettingsUtil::consentSignals(), c.signal);
  }
}

TEST_F(ConsentTest, SourcesAndWithdrawal) {
  APMConsentSettingsUtil::setConsentSource(20);
  EXPECT_TRUE(APMConsentSettingsUtil::isConsentSourceHigherPriority(20));
  APMConsentSettingsUtil::setConsentSource(10);
  EXPECT_FALSE(APMConsentSettingsUtil::isConsentSourceHigherPriority(20));
  APMConsentSettingsUtil::setConsentSettings(std::nullopt);
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), kAPMConsentSourceNone);

  APMConsentSettingsUtil::setConsentSettings(Settings{{"ad_storage", Value("denied")}});
  const Value granted(Settings{{"ad_storage", Value("granted")}});
  const Value denied(Settings{{"ad_storage", Value("denied")}});
  EXPECT_TRUE(APMConsentSettingsUtil::didWithdrawPreviousConsent(granted));
  EXPECT_TRUE(APMConsentSettingsUtil::didWithdrawPreviousConsent(Value()));
  EXPECT_FALSE(APMConsentSettingsUtil::didWithdrawPreviousConsent(denied));
  EXPECT_FALSE(APMConsentSettingsUtil::didWithdrawPreviousConsent(Value("not a dictionary")));

  APMConsentSettingsUtil::updateSettings({{"analytics_storage", Value("granted")}});
  EXPECT_EQ(APMConsentSettingsUtil::description(), "ad_storage is denied. analytics_storage is granted.");
}

TEST_F(ConsentTest, InfoPlistDefaults) {
  useBundle({{"CFBundleIdentifier", Value(engine_test::kBundleID)},
             {"VIDEZU_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", Value(false)},
             {"VIDEZU_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", Value("yes")}});
  EXPECT_EQ(APMConsentSettingsUtil::consentSettingsFromPlist(), (Settings{{"ad_storage", Value("denied")}}));
  // At start the plist settings win over the stored default-source ones.
  configure();
  EXPECT_TRUE(APMConsentSettingsUtil::isAdStorageDenied());
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), kAPMConsentSourceInfoPlist);
}

TEST_F(ConsentTest, DeniedAnalyticsStorageKeepsNoAppInstanceID) {
  configure();
  ASSERT_TRUE(DOREvoredire::appInstanceID());
  APMAnalytics::setConsent({{"analytics_storage", Value("denied")}});
  platform::testing::runUntilIdle();
  EXPECT_FALSE(DOREvoredire::appInstanceID());
  EXPECT_FALSE(APMPersistedConfig::sharedInstance()->appInstanceID());
  EXPECT_TRUE(loggedCode(23171));  // withdrawn consent wipes the data
}

using WipeRuleTest = EngineTest;

TEST_F(WipeRuleTest, AppIDChangesDecideTheWipe) {
  configure();
  const auto engine = APMMeasurement::sharedInstance();
  using S = std::optional<std::string>;
  struct Case {
    S a, g, m, pg, pm;
    bool wipe;
  };
  const std::vector<Case> cases = {
      {"A", "G1", {}, "G1", {}, false},
      {"A", "G2", {}, "G1", {}, true},
      {"A", "G", {}, {}, "M", true},
      {"A", "G", "M2", {}, "M1", true},
      {"A", "G", "M", {}, "M", false},
      {"A", {}, "M", "G", {}, true},
      {"A", {}, {}, {}, {}, false},
      {"M", {}, {}, {}, "M", false},
      {"A", {}, {}, {}, "M", true},
      {{}, {}, {}, {}, "M", false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(engine->shouldWipeDataWithAppID(c.a, c.g, c.m, c.pg, c.pm), c.wipe) << "case " << i;
  }
  APMAnalytics::setResetRetryCount(3);
  EXPECT_TRUE(engine->shouldWipeDataWithAppID("A", "G", {}, "G", {}));
  APMAnalytics::setResetRetryCount(10);
  EXPECT_FALSE(engine->shouldWipeDataWithAppID("A", "G", {}, "G", {}));
}

using IdentityTest = EngineTest;

TEST_F(IdentityTest, AppVersionFields) {
  struct Case {
    const char* text;
    std::vector<std::int32_t> fields;
  };
  const std::vector<Case> cases = {{"1.2.3", {1, 2, 3}}, {"1.2b3", {1, 23}}, {"", {}}, {"7..9", {7, 9}}};
  for (const auto& c : cases) EXPECT_EQ(APMIdentity::numericFieldsFromAppVersionNumeric(c.text), c.fields) << c.text;
  EXPECT_EQ(APMIdentity::davEroriveduveLibraryVersion(), 81500);
  const auto identity = APMIdentity::sharedInstance();
  EXPECT_EQ(identity->appVersion(), "1.2");
  EXPECT_EQ(identity->appVersionRelease(), 3);
}

TEST_F(IdentityTest, IdentifiersHaveTheirFormsAndSetOnce) {
  const auto identity = APMIdentity::sharedInstance();
  const auto id = identity->appInstanceID();
  ASSERT_TRUE(id);
  EXPECT_EQ(id->size(), 32u);
  EXPECT_EQ(id->find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(identity->appIDFromVMP(), std::string(engine_test::kAppID));

  identity->setAppIDFromVMP("first");
  identity->setAppIDFromVMP("second");
  EXPECT_EQ(identity->appIDFromVMP(), "first");

  APMPersistedConfig::sharedInstance()->setDiversionKey("abcd");
  const std::string key = identity->diversionKey();
  EXPECT_EQ(key.size(), 5u);
  EXPECT_EQ(identity->diversionKey(), key);

  const std::string ephemeral = identity->ephemeralAppInstanceID();
  EXPECT_EQ(identity->ephemeralAppInstanceID(), ephemeral);
  identity->resetEphemeralAppInstanceID();
  EXPECT_NE(identity->ephemeralAppInstanceID(), ephemeral);

  auto& identifiers = APMIdentifiers::sharedInstance();
  const std::int64_t first = std::stoll(identifiers.adEventID());
  EXPECT_EQ(std::stoll(identifiers.adEventID()), first + 1);
  EXPECT_EQ(identifiers.libraryVersion(), "81500");

  // Without the advertising framework there is no advertising identifier, so the vendor one is kept.
  EXPECT_FALSE(identity->resettableDeviceID());
  EXPECT_EQ(identity->appleConsentStatus(), 6u);
  const auto vendor = identity->identifierForVendor();
  ASSERT_TRUE(vendor);
  EXPECT_EQ(identity->identifierForVendor(), vendor);
}

TEST_F(IdentityTest, AChangedAdvertisingIdentifierResetsTheAppInstanceID) {
  static std::string advertisingID;
  advertisingID = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
  platform::runtime::ClassDefinition manager{.name = "ASIdentifierManager"};
  manager.classMethods.emplace("sharedManager", platform::runtime::method([] { return std::string("manager"); }));
  manager.classMethods.emplace("advertisingIdentifier",
                               platform::runtime::method([](std::string) { return advertisingID; }));
  defineClass(std::move(manager));
  APMDefaultIdentitySupport::resetSharedInstanceForTesting();
  platform::SystemInfo::ScopedFacts facts([] {
    auto f = platform::SystemInfo::facts();
    f.systemVersion = "13.0";  // before tracking authorisation, the identifier is never gated
    return f;
  }());

  const auto identity = APMIdentity::sharedInstance();
  const auto first = identity->appInstanceID();
  ASSERT_TRUE(first);
  EXPECT_EQ(identity->resettableDeviceID(), advertisingID);
  EXPECT_EQ(identity->appInstanceID(), first);  // the first identifier ever seen keeps the ID

  advertisingID = "11111111-2222-3333-4444-555555555555";
  platform::testing::advance(5);  // past the identifier cache time
  const auto second = identity->appInstanceID();
  ASSERT_TRUE(second);
  EXPECT_NE(*second, *first);
  EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());
}

// The advertising identifier's provider may answer after the caller stopped waiting for it,
// and after the adapter that asked was replaced: the late answer goes to what is still alive.
TEST_F(IdentityTest, ALateAdvertisingIdentifierOutlivesTheAdapterThatAskedForIt) {
  static std::promise<void>* release = nullptr;
  static std::promise<void>* asked = nullptr;
  std::promise<void> releaseNow, askedNow;
  release = &releaseNow;
  asked = &askedNow;
  platform::runtime::ClassDefinition manager{.name = "ASIdentifierManager"};
  manager.classMethods.emplace("sharedManager", platform::runtime::method([] { return std::string("manager"); }));
  manager.classMethods.emplace("advertisingIdentifier", platform::runtime::method([](std::string) {
                                 asked->set_value();
                                 release->get_future().wait_for(std::chrono::seconds(30));
                                 return std::string("6D92078A-8246-4BA4-AE5B-76104861E7DC");
                               }));
  defineClass(std::move(manager));
  APMDefaultIdentitySupport::resetSharedInstanceForTesting();
  APMDefaultIdentitySupport::setResettableDeviceIDWaitForTesting(kAPMResettableDeviceIDWaitSeconds);
  std::weak_ptr<APMDefaultIdentitySupport> adapter = APMDefaultIdentitySupport::sharedInstance();
  EXPECT_FALSE(adapter.lock()->resettableDeviceID()) << "the answer came before the caller stopped waiting";
  ASSERT_EQ(askedNow.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  APMDefaultIdentitySupport::resetSharedInstanceForTesting();
  releaseNow.set_value();
  // The late answer is written, and the adapter goes once it is.
  for (int i = 0; i < 3000 && !adapter.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(adapter.expired());
}

TEST_F(IdentityTest, KeychainValuesByIdentifierAndApp) {
  EXPECT_FALSE(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.focus.timer"));
  EXPECT_TRUE(APMKeychainWrapper::upsertKeychainValue("3", "_pfo", "com.focus.timer"));
  EXPECT_TRUE(APMKeychainWrapper::upsertKeychainValue("4", "_pfo", "com.focus.timer"));
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.focus.timer"), "4");
  EXPECT_FALSE(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "other.app"));
  EXPECT_FALSE(APMKeychainWrapper::upsertKeychainValue("", "_pfo", "com.focus.timer"));
  EXPECT_FALSE(APMKeychainWrapper::upsertKeychainValue("1", "", "com.focus.timer"));
  APMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", "com.focus.timer");
  EXPECT_FALSE(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.focus.timer"));
}

TEST_F(IdentityTest, OlderKeychainItemsWithByteAttributesAreMigrated) {
  const platform::Data id{'_', 'p', 'f', 'o'};
  ASSERT_EQ(platform::SecItemAdd({{std::string(platform::kSecClass), Value(platform::kSecClassGenericPassword)},
                                  {std::string(platform::kSecAttrService), Value("com.focus.timer")},
                                  {std::string(platform::kSecAttrAccount), Value(id)},
                                  {std::string(platform::kSecAttrGeneric), Value(id)},
                                  {std::string(platform::kSecValueData), Value(platform::Data{'7'})}}),
            platform::errSecSuccess);
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.focus.timer"), "7");
}

using EnvironmentTest = EngineTest;

TEST_F(EnvironmentTest, LanguageAndTimeZone) {
  auto facts = platform::SystemInfo::facts();
  facts.preferredLanguages = {"en-US", "de"};
  {
    platform::SystemInfo::ScopedFacts scoped(facts);
    EXPECT_EQ(APMEnvironmentInfo::sharedInstance().userDefaultLanguage(), "en-us");
  }
  facts.preferredLanguages.clear();
  {
    platform::SystemInfo::ScopedFacts scoped(facts);
    EXPECT_FALSE(APMEnvironmentInfo::sharedInstance().userDefaultLanguage());
    EXPECT_TRUE(loggedCode(14001));
  }
  const int offset = APMEnvironmentInfo::sharedInstance().timeZoneOffsetMinutes();
  EXPECT_GE(offset, -14 * 60);
  EXPECT_LE(offset, 14 * 60);
  EXPECT_FALSE(APMEnvironmentInfo::sharedInstance().deviceModel().empty());
}

TEST_F(EnvironmentTest, TheOptionsFileIsFoundInTheEngineBundleWhenTheAppHasNone) {
  useBundle({{"CFBundleIdentifier", Value(engine_test::kBundleID)}}, false);
  EXPECT_FALSE(APMInfoPlistFileUtil::videzuServiceInfoPlistPath());
  const auto engineBundle = platform::Home::path() / "bundles" / "Engine.bundle";
  ASSERT_TRUE(platform::FileManager::defaultManager().createDirectory(engineBundle));
  writePlist(engineBundle / "Info.plist", Value(platform::Value::Dictionary{}));
  writePlist(engineBundle / "VidezuService-Info.plist", Value(engine_test::optionsDictionary("1:2:ios:3")));
  APMInfoPlistFileUtil::setEngineBundlePath(engineBundle);
  const auto options = APMInfoPlistFileUtil::dictionaryFromVidezuServiceInfoPlist();
  APMInfoPlistFileUtil::setEngineBundlePath(std::nullopt);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->at("VIDEZU_APP_ID").string(), "1:2:ios:3");
}

}  // namespace
