// First open, updates and sessions as the engine reports them, on virtual time.
#include <gtest/gtest.h>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/system_info.h"
#include "platform/foundation/trace.h"
#include "session_test_fixture.h"
#include "sdk/analytics/engine/apm_session_reporter.h"
#include "sdk/analytics/storage/apm_persisted_config.h"

namespace {

using engine_test::intParameter;
using engine_test::parameter;
using engine_test::SessionTest;
using engine_test::stringParameter;

using FirstOpenTest = SessionTest;
using EngagementTest = SessionTest;

constexpr std::int64_t kHour = 3600000;

TEST(FirstOpenTimestamp, RoundsUpToTheNextFullHourEvenOnTheHour) {
  struct Case {
    std::int64_t millis;
    std::int64_t expected;
  };
  for (const Case& c : {Case{12 * kHour, 13 * kHour}, Case{13 * kHour - 1, 13 * kHour}, Case{0, kHour},
                        Case{12 * kHour + 1, 13 * kHour}}) {
    EXPECT_EQ(APMMeasurement::timestampMillisRoundedUpToNextHour(c.millis), c.expected) << c.millis;
  }
}

TEST_F(FirstOpenTest, TheFirstStartReportsFirstOpenSessionAndEngagementOnceOnly) {
  recordEvents();
  configure();
  const double loadTime = APMMeasurement::sharedInstance()->initTimestamp();
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"_f", "_s", "_e"}));
  const auto firstOpen = eventsNamed("_f").at(0);
  EXPECT_EQ(firstOpen.origin, "auto");
  EXPECT_DOUBLE_EQ(firstOpen.timestamp, loadTime);
  EXPECT_EQ(intParameter(firstOpen, "_pfo"), 0);
  EXPECT_EQ(intParameter(firstOpen, "_uwa"), 0);
  EXPECT_FALSE(parameter(firstOpen, "_dac"));
  EXPECT_FALSE(parameter(firstOpen, "_pvmp"));
  EXPECT_FALSE(parameter(firstOpen, "_et"));  // efficient engagement reporting is off by default
  const auto session = eventsNamed("_s").at(0);
  EXPECT_EQ(intParameter(session, "_sno"), 1);
  EXPECT_EQ(intParameter(session, "_sid"), static_cast<std::int64_t>(loadTime));
  EXPECT_EQ(intParameter(eventsNamed("_e").at(0), "_et"), 1);

  const auto properties = userProperties(true);
  ASSERT_TRUE(properties.contains("_fot"));
  const std::int64_t millis = static_cast<std::int64_t>(loadTime * 1000);
  EXPECT_EQ(properties.at("_fot").integerValue(), (millis / kHour + 1) * kHour);
  EXPECT_EQ(properties.at("_fi").integerValue(), 1);
  EXPECT_EQ(properties.at("_sno").integerValue(), 1);
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->firstOpenTimestampMilliseconds(), millis);
  EXPECT_EQ(platform::Trace::eventsOfKind("adNetwork").size(), 1u);

  // A start within the session timeout: no first open, no new session; the device's marker is set.
  platform::testing::advance(60);
  relaunch();
  EXPECT_TRUE(events().empty());
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", std::string(engine_test::kBundleID)), "1");

  // Past the timeout the next start opens session 2.
  platform::testing::advance(1801);
  relaunch();
  EXPECT_EQ(eventNames(), std::vector<std::string>{"_s"});
  EXPECT_EQ(intParameter(eventsNamed("_s").at(0), "_sno"), 2);
}

TEST_F(FirstOpenTest, AReinstallReportsFirstOpenAgainWithTheDevicesMarker) {
  configure();
  platform::testing::advance(60);
  relaunch();  // writes the marker
  // A reinstall removes the app's Library; the keychain stays.
  tearDownProcess();
  platform::FileManager::defaultManager().removeItem(platform::Home::path() / "Library");
  freshProcess();
  APMScreenViewReporter::sharedInstance().resetForTesting();
  recordEvents();
  configure();
  const auto firstOpens = eventsNamed("_f");
  ASSERT_EQ(firstOpens.size(), 1u);
  EXPECT_EQ(intParameter(firstOpens[0], "_pfo"), 1);
  EXPECT_EQ(userProperties(true).at("_fi").integerValue(), 1);
}

TEST_F(FirstOpenTest, AppAndSystemUpdatesAreReportedFromAStoredVersionOnly) {
  recordEvents();
  configure();
  // Nothing was stored before the first start: no update events.
  EXPECT_TRUE(eventsNamed("_au").empty());
  EXPECT_TRUE(eventsNamed("_ou").empty());

  useBundle({{"CFBundleIdentifier", platform::Value(engine_test::kBundleID)}, {"CFBundleShortVersionString", "1.3"},
             {"CFBundleVersion", "1.3.0"}});
  auto facts = platform::SystemInfo::facts();
  facts.systemVersion = "17.1";
  platform::SystemInfo::ScopedFacts updated(facts);
  relaunch();
  const auto app = eventsNamed("_au");
  ASSERT_EQ(app.size(), 1u);
  EXPECT_EQ(stringParameter(app[0], "_pv"), "1.2");
  const auto system = eventsNamed("_ou");
  ASSERT_EQ(system.size(), 1u);
  EXPECT_EQ(stringParameter(system[0], "_po"), "16.0");

  relaunch();
  EXPECT_TRUE(eventsNamed("_au").empty());
  EXPECT_TRUE(eventsNamed("_ou").empty());
}

TEST_F(FirstOpenTest, SettingsShapeTheFirstOpenAndThePersonalisedAdsProperty) {
  useBundle({{"CFBundleIdentifier", platform::Value(engine_test::kBundleID)},
             {"CFBundleShortVersionString", "1.2"},
             {"VIDEZU_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", platform::Value(false)},
             {"VIDEZU_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED", platform::Value(false)}});
  recordEvents();
  configure();
  EXPECT_EQ(userProperties(true).at("_npa").integerValue(), 1);
  EXPECT_TRUE(platform::Trace::eventsOfKind("adNetwork").empty());
  EXPECT_TRUE(loggedCode(23217));

  // The app's own setting wins over the Info.plist default.
  DOREvoredire::setUserPropertyString(APMObject("true"), "allow_personalized_ads");
  platform::testing::runUntilIdle();
  EXPECT_EQ(userProperties(true).at("_npa").integerValue(), 0);
}

// ---- sessions and engagement through the app's lifecycle ----

TEST_F(EngagementTest, EngagementTimeAddsUpAcrossForegroundAndBackground) {
  configure();
  becomeActive();
  recordEvents();

  platform::testing::advance(100);
  enterBackground();
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"_e", "_ab"}));
  EXPECT_EQ(intParameter(eventsNamed("_e").at(0), "_et"), 100000);
  EXPECT_FALSE(parameter(eventsNamed("_ab").at(0), "_et"));

  // Ten minutes away continue the session; the time away counts for nothing.
  clearEvents();
  platform::testing::advance(600);
  becomeActive();
  platform::testing::advance(50);
  enterBackground();
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"_e", "_ab"}));
  EXPECT_EQ(intParameter(eventsNamed("_e").at(0), "_et"), 50000);

  // Nothing is logged while the app is in the background.
  clearEvents();
  platform::testing::advance(7200);
  EXPECT_TRUE(events().empty());
}

TEST_F(EngagementTest, ASessionStartsOnlyAfterTheTimeout) {
  configure();
  becomeActive();
  recordEvents();
  struct Case {
    double away;
    bool newSession;
  };
  std::int64_t sessionNumber = APMPersistedConfig::sharedInstance()->sessionNumber();
  for (const Case& c : {Case{29 * 60, false}, Case{31 * 60, true}, Case{1799, false}}) {
    SCOPED_TRACE(c.away);
    enterBackground();
    clearEvents();
    platform::testing::advance(c.away);
    becomeActive();
    const auto sessions = eventsNamed("_s");
    ASSERT_EQ(sessions.size(), c.newSession ? 1u : 0u);
    if (c.newSession) {
      EXPECT_EQ(intParameter(sessions[0], "_sno"), ++sessionNumber);
      EXPECT_EQ(userProperties(true).at("_sno").integerValue(), sessionNumber);
    }
  }
}

// In the background an event may ask to start or extend a session; otherwise an expired
// session's properties are dropped.
TEST_F(EngagementTest, ABackgroundEventStartsASessionOnlyWhenItAsks) {
  configure();
  becomeActive();
  recordEvents();
  enterBackground();
  platform::testing::advance(31 * 60);
  clearEvents();
  DOREvoredire::logEventWithName("sync", {});
  EXPECT_TRUE(eventsNamed("_s").empty());
  auto properties = userProperties(true);
  EXPECT_FALSE(properties.contains("_sid"));
  EXPECT_FALSE(properties.contains("_sno"));

  DOREvoredire::logEventWithName("sync", {{"extend_session", APMObject(APMValue::initWithInt64(1))}});
  EXPECT_EQ(eventsNamed("_s").size(), 1u);
  properties = userProperties(true);
  EXPECT_TRUE(properties.contains("_sid"));
  EXPECT_TRUE(properties.contains("_sno"));
}

TEST_F(EngagementTest, ANegativeTimeoutMakesEveryActivationASession) {
  configure();
  becomeActive();
  DOREvoredire::setSessionTimeoutInterval(-5);
  platform::testing::runUntilIdle();
  EXPECT_TRUE(loggedCode(33001));
  recordEvents();
  for (int i = 0; i < 2; ++i) {
    enterBackground();
    platform::testing::advance(1);
    becomeActive();
  }
  EXPECT_EQ(eventsNamed("_s").size(), 2u);
}

TEST_F(EngagementTest, TheTimerReportsAtMostAnHourAtATime) {
  configure();
  becomeActive();
  recordEvents();
  platform::testing::advance(7200);
  const auto timed = eventsNamed("_e");
  ASSERT_EQ(timed.size(), 2u);
  for (const auto& event : timed) EXPECT_EQ(intParameter(event, "_et"), 3600000);
  platform::testing::advance(30);
  enterBackground();
  const auto all = eventsNamed("_e");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(intParameter(all[2], "_et"), 30000);
}

TEST_F(EngagementTest, AnUnreadableBootTimeReportsNoEngagementTime) {
  configure();
  auto facts = platform::SystemInfo::facts();
  facts.kernelBootTime.reset();
  platform::SystemInfo::ScopedFacts noBoot(facts);
  becomeActive();
  recordEvents();
  platform::testing::advance(100);
  enterBackground();
  EXPECT_EQ(intParameter(eventsNamed("_e").at(0), "_et"), 0);
}

}  // namespace
