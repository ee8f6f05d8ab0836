#include <gtest/gtest.h>

#include "engine_test_fixture.h"
#include "platform/dispatch/dispatch_queue.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_user_defaults.h"

namespace {

using engine_test::EngineTest;
using engine_test::intParameter;
using engine_test::stringParameter;

using FacadeTest = EngineTest;

TEST_F(FacadeTest, ConfigureStartsTheEngineAndEventsReachTheWorkerQueue) {
  configure();
  ASSERT_TRUE(APMMeasurement::hasSharedInstance());
  const auto engine = APMMeasurement::sharedInstance();
  EXPECT_TRUE(engine->isEnabled());
  EXPECT_TRUE(engine->didInitializeComponents());
  EXPECT_EQ(engine->appID(), engine_test::kAppID);
  EXPECT_TRUE(loggedCode(23016));  // ready to receive events

  recordEvents();
  DOREvoredire::logEventWithName("level_up", {{"score", APMObject(5)}});
  const auto logged = events();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].name, "level_up");
  EXPECT_EQ(logged[0].origin, "app");
  EXPECT_EQ(intParameter(logged[0], "score"), 5);
}

TEST_F(FacadeTest, BadNamesAndValuesBecomeTheErrorEvent) {
  configure();
  recordEvents();
  struct Case {
    const char* what;
    std::function<void()> call;
    std::int64_t code;
    std::string offending;
  };
  const std::vector<Case> cases = {
      {"event name not starting with a letter", [] { DOREvoredire::logEventWithName("1st", {}); }, 2, "1st"},
      {"reserved event name", [] { DOREvoredire::logEventWithName("first_open", {}); }, 13, "first_open"},
      {"user-property name with a reserved prefix",
       [] { DOREvoredire::setUserPropertyString(APMObject("x"), "videzu_color"); }, 15, "videzu_color"},
      {"user-property value too long",
       [] { DOREvoredire::setUserPropertyString(APMObject(std::string(37, 'v')), "color"); }, 7, "color"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    events_.clear();
    c.call();
    const auto logged = events();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].name, "_err");
    EXPECT_EQ(logged[0].origin, "auto");
    EXPECT_EQ(intParameter(logged[0], "_err"), c.code);
    EXPECT_EQ(stringParameter(logged[0], "_ev"), c.offending);
  }
}

TEST_F(FacadeTest, AnEventLoggedBeforeStartArrivesAfterStartWithItsOwnTime) {
  recordEvents();
  const double loggedAt = platform::Clock::current().now().timeIntervalSince1970();
  APMAnalytics::logEventWithName("early", {});
  platform::testing::advance(30);
  EXPECT_TRUE(events().empty());

  configure();
  // The engine's own start events ("auto") come alongside.
  const auto logged = eventsFromOrigin("app");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].name, "early");
  EXPECT_DOUBLE_EQ(logged[0].timestamp, loggedAt);
}

TEST_F(FacadeTest, LoggingBeforeTheCoreIsConfiguredLosesTheEventWithAMessage) {
  recordEvents();
  DOREvoredire::logEventWithName("too_early", {});
  DOREvoredire::setUserPropertyString(APMObject("blue"), "color");
  configure();
  EXPECT_TRUE(eventsFromOrigin("app").empty());
  EXPECT_TRUE(loggedCode(25018));
  EXPECT_TRUE(loggedCode(25019));
}

TEST_F(FacadeTest, UserPropertiesAndConsentSurviveARelaunch) {
  configure();
  // Denying consent that was never denied wipes what was stored, so consent comes first.
  DOREvoredire::setConsent({{"ad_storage", platform::Value("denied")}, {"analytics_storage", platform::Value("maybe")}});
  platform::testing::runUntilIdle();
  EXPECT_TRUE(loggedCode(25042));  // "maybe" dropped, the valid entry applied
  EXPECT_TRUE(loggedCode(23171));
  EXPECT_TRUE(APMConsentSettingsUtil::isAdStorageDenied());
  DOREvoredire::setUserPropertyString(APMObject("blue"), "color");
  DOREvoredire::setUserID(APMObject("user-7"));
  platform::testing::runUntilIdle();
  platform::UserDefaults::flushAll();

  freshProcess();
  EXPECT_FALSE(APMConsentSettingsUtil::isAdStorageDenied());
  configure();
  EXPECT_TRUE(APMConsentSettingsUtil::isAdStorageDenied());
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), kAPMConsentSourceDefault);
  const auto properties = userProperties(true);
  ASSERT_TRUE(properties.contains("color"));
  EXPECT_EQ(properties.at("color").string(), "blue");
  ASSERT_TRUE(properties.contains("_id"));
  EXPECT_EQ(properties.at("_id").string(), "user-7");
}

TEST_F(FacadeTest, UserPropertiesAreRemovedAndLimited) {
  configure();
  DOREvoredire::setUserPropertyString(APMObject("blue"), "color");
  platform::testing::runUntilIdle();
  DOREvoredire::setUserPropertyString(APMObject(), "color");
  EXPECT_FALSE(userProperties().contains("color"));

  for (int i = 0; i < 25; ++i) DOREvoredire::setUserPropertyString(APMObject("v"), "p" + std::to_string(i));
  DOREvoredire::setUserPropertyString(APMObject("w"), "p0");  // replacing needs no room
  DOREvoredire::setUserPropertyString(APMObject("v"), "p25");
  const auto properties = userProperties();
  EXPECT_EQ(properties.size(), 25u);
  EXPECT_EQ(properties.at("p0").string(), "w");
  EXPECT_FALSE(properties.contains("p25"));
  EXPECT_TRUE(loggedCode(23084));
}

TEST_F(FacadeTest, DefaultEventParametersApplyToEventsButNotToTheErrorEvent) {
  configure();
  recordEvents();
  APMAnalytics::setDefaultEventParameters(APMDictionary{{"plan", APMObject("pro")}, {"tier", APMObject(2)}});
  APMAnalytics::setDefaultEventParameters(APMDictionary{{"tier", APMObject::null()}});
  DOREvoredire::logEventWithName("tap", {{"plan", APMObject("free")}});
  DOREvoredire::logEventWithName("1bad", {});
  auto logged = events();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(stringParameter(logged[0], "plan"), "free");  // the event's own value wins
  EXPECT_EQ(engine_test::parameter(logged[0], "tier"), nullptr);
  EXPECT_EQ(logged[1].name, "_err");
  EXPECT_EQ(engine_test::parameter(logged[1], "plan"), nullptr);

  events_.clear();
  APMAnalytics::setDefaultEventParameters(std::nullopt);
  DOREvoredire::logEventWithName("tap", {});
  logged = events();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(engine_test::parameter(logged[0], "plan"), nullptr);
}

TEST_F(FacadeTest, APublicEventGoesToTheInterceptorUntilItLogsItAgain) {
  configure();
  recordEvents();
  std::vector<std::string> intercepted;
  APMAnalytics::setLogEventInterceptor(
      [&](const std::string& origin, const std::string& name, const APMDictionary& parameters, double timestamp) {
        intercepted.push_back(name);
        APMAnalytics::logEventWithOrigin(origin, true, name, parameters, timestamp, false, true);
      });
  DOREvoredire::logEventWithName("purchase_done", {});
  const auto logged = events();
  ASSERT_EQ(intercepted.size(), 1u);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].name, "purchase_done");
}

TEST_F(FacadeTest, ListenerMisuseIsLogged) {
  configure();
  EXPECT_FALSE(APMAnalytics::addLogEventListener(nullptr));
  EXPECT_TRUE(loggedCode(25012));
  APMAnalytics::removeLogEventListener(std::nullopt);
  EXPECT_TRUE(loggedCode(25013));
  APMAnalytics::removeLogEventListener(4242);
  EXPECT_TRUE(loggedCode(25014));  // no listener was ever added
  const auto token = APMAnalytics::addLogEventListener([](const auto&) {});
  APMAnalytics::removeLogEventListener(*token + 1000);
  EXPECT_TRUE(loggedCode(25015));
  APMAnalytics::removeLogEventListener(token);
}

TEST_F(FacadeTest, CollectionSwitchesAndDeactivation) {
  configure();
  recordEvents();
  DOREvoredire::setAnalyticsCollectionEnabled(false);
  platform::testing::runUntilIdle();
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 2);
  EXPECT_FALSE(APMMeasurement::sharedInstance()->isEnabled());
  EXPECT_TRUE(loggedCode(23013));

  // Events still pass but are marked by the engine as logged while disabled: no listener sees them.
  DOREvoredire::logEventWithName("while_off", {});
  EXPECT_TRUE(events().empty());

  // A relaunch keeps the stored choice over the app's switch.
  platform::UserDefaults::flushAll();
  freshProcess();
  configure();
  EXPECT_FALSE(APMMeasurement::sharedInstance()->isEnabled());
}

TEST_F(FacadeTest, DeactivatedCollectionNeverStarts) {
  useBundle({{"CFBundleIdentifier", platform::Value(engine_test::kBundleID)},
             {"VUDUZARA_ANALYTICS_COLLECTION_DEACTIVATED", platform::Value(true)}});
  configure();
  const auto engine = APMMeasurement::sharedInstance();
  ASSERT_TRUE(engine);
  EXPECT_FALSE(engine->isEnabled());
  APMAnalytics::setAnalyticsEnabled(true, true);
  platform::testing::runUntilIdle();
  EXPECT_FALSE(engine->isEnabled());
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 1);
  EXPECT_FALSE(engine->didInitializeComponents());
}

TEST_F(FacadeTest, AnOlderLibraryInTheProcessHoldsEveryRequest) {
  defineClass({.name = "VDZADatabase"});
  recordEvents();
  configure();
  DOREvoredire::logEventWithName("never", {});
  EXPECT_TRUE(events().empty());
  EXPECT_FALSE(APMMeasurement::hasSharedInstance());
  EXPECT_TRUE(loggedCode(25029));
}

TEST_F(FacadeTest, ResetGivesANewAppInstanceID) {
  configure();
  const auto before = DOREvoredire::appInstanceID();
  ASSERT_TRUE(before);
  EXPECT_EQ(before->size(), 32u);
  DOREvoredire::setUserPropertyString(APMObject("blue"), "color");
  DOREvoredire::resetAnalyticsData();
  platform::testing::runUntilIdle();
  const auto after = DOREvoredire::appInstanceID();
  ASSERT_TRUE(after);
  EXPECT_NE(*after, *before);
  EXPECT_TRUE(loggedCode(23168));
  EXPECT_FALSE(userProperties().contains("color"));
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 0);
}

TEST_F(FacadeTest, ChangedAppIDWipesStoredDataAtStart) {
  configure();
  DOREvoredire::setUserPropertyString(APMObject("blue"), "color");
  platform::testing::runUntilIdle();
  platform::UserDefaults::flushAll();

  freshProcess();
  auto options = engine_test::optionsDictionary("1:408716253291:ios:0000000000000001");
  const auto path = platform::Home::path() / "bundles" / "Focus.app" / "VidezuService-Info.plist";
  writePlist(path, platform::Value(options));
  configure();
  EXPECT_TRUE(loggedCode(23171));
  EXPECT_FALSE(userProperties().contains("color"));
}

TEST_F(FacadeTest, TheApplicationDelegateProxyIsInstalledWithTheInterceptor) {
  configure();
  EXPECT_FALSE(loggedCode(25036));
  // A second start changes nothing: the once-only part does not run again.
  APMAnalytics::startWithAppID(std::string(engine_test::kAppID), "fa", std::nullopt);
  platform::testing::runUntilIdle();
  EXPECT_TRUE(APMMeasurement::hasSharedInstance());
}

}  // namespace
