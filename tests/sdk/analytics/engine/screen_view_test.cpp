// Screen views: the current screen, "_vs" on every change with the previous screen, app-logged
// screen views and the Info.plist switch, on virtual time.
#include <gtest/gtest.h>

#include "session_test_fixture.h"

namespace {

using engine_test::intParameter;
using engine_test::NamedController;
using engine_test::parameter;
using engine_test::SessionTest;
using engine_test::stringParameter;


class ScreenViewTest : public SessionTest {
 protected:
  static APMScreenViewReporter& reporter() { return APMScreenViewReporter::sharedInstance(); }
  static std::shared_ptr<platform::ViewController> controller(std::string name) {
    return std::make_shared<NamedController>(std::move(name));
  }
  void start() {
    configure();
    becomeActive();
    recordEvents();
  }
};

TEST_F(ScreenViewTest, EachChangeLogsTheNewScreenWithThePreviousOne) {
  start();
  const auto focus = controller("FocusApp.FocusScreen");
  const auto settings = controller("SettingsScreen");
  reporter().setCurrentViewController(focus);
  auto logged = eventsNamed("_vs");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].origin, "auto");
  EXPECT_EQ(stringParameter(logged[0], "_sc"), "FocusScreen");  // without the module prefix
  EXPECT_FALSE(parameter(logged[0], "_pi"));
  EXPECT_FALSE(parameter(logged[0], "_sn"));
  const std::int64_t focusID = intParameter(logged[0], "_si");

  clearEvents();
  platform::testing::advance(5);
  reporter().setCurrentViewController(settings);
  ASSERT_EQ(eventNames(), (std::vector<std::string>{"_e", "_vs"}));
  const auto engagement = eventsNamed("_e").at(0);
  EXPECT_EQ(intParameter(engagement, "_et"), 5000);
  EXPECT_EQ(intParameter(engagement, "_si"), focusID);
  const auto second = eventsNamed("_vs").at(0);
  EXPECT_EQ(intParameter(second, "_si"), focusID + 1);
  EXPECT_EQ(intParameter(second, "_pi"), focusID);
  EXPECT_EQ(stringParameter(second, "_pc"), "FocusScreen");

  // The same controller again changes nothing; other events carry the current screen.
  clearEvents();
  reporter().setCurrentViewController(settings);
  DOREvoredire::logEventWithName("timer_started", {});
  logged = events();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].name, "timer_started");
  EXPECT_EQ(stringParameter(logged[0], "_sc"), "SettingsScreen");
  EXPECT_EQ(intParameter(logged[0], "_si"), focusID + 1);

  // Coming back to a screen keeps its instance ID.
  clearEvents();
  reporter().setCurrentViewController(focus);
  logged = eventsNamed("_vs");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(intParameter(logged[0], "_si"), focusID);
  EXPECT_EQ(intParameter(logged[0], "_pi"), focusID + 1);
}

TEST_F(ScreenViewTest, ClassNamesAreCutAndCheckedBeforeTheyBecomeScreens) {
  start();
  reporter().setCurrentViewController(controller(std::string(120, 'C')));
  const auto logged = eventsNamed("_vs");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(stringParameter(logged[0], "_sc"), std::string(100, 'C'));
  EXPECT_TRUE(loggedCode(31007));
  reporter().setCurrentViewController(nullptr);
  EXPECT_TRUE(loggedCode(31005));
}

TEST_F(ScreenViewTest, AnAppLoggedScreenViewBecomesTheCurrentScreen) {
  start();
  reporter().setCurrentViewController(controller("FocusScreen"));
  clearEvents();
  DOREvoredire::logEventWithName("screen_view", {{"screen_name", APMObject("Timer")},
                                                 {"screen_class", APMObject("Focus")},
                                                 {"mood", APMObject("calm")}});
  auto logged = eventsNamed("_vs");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].origin, "app");
  EXPECT_EQ(stringParameter(logged[0], "_sn"), "Timer");
  EXPECT_EQ(stringParameter(logged[0], "_sc"), "Focus");
  EXPECT_EQ(stringParameter(logged[0], "_pc"), "FocusScreen");
  EXPECT_EQ(stringParameter(logged[0], "mood"), "calm");
  EXPECT_FALSE(parameter(logged[0], "screen_name"));
  EXPECT_FALSE(parameter(logged[0], "_mst"));
  std::optional<std::string> name;
  std::optional<std::string> screenClass;
  reporter().getScreenName(&name, &screenClass);
  EXPECT_EQ(name, "Timer");
  EXPECT_EQ(screenClass, "Focus");

  // Refused in the background once the app has been active.
  enterBackground();
  clearEvents();
  DOREvoredire::logEventWithName("screen_view", {{"screen_name", APMObject("Later")}});
  EXPECT_TRUE(eventsNamed("_vs").empty());
  EXPECT_TRUE(loggedCode(31026));
}

TEST_F(ScreenViewTest, TheInfoPlistSwitchTurnsAutomaticReportingOff) {
  useBundle({{"CFBundleIdentifier", platform::Value(engine_test::kBundleID)},
             {"CFBundleShortVersionString", "1.2"},
             {std::string(kAPMScreenReportingEnabledKey), platform::Value(false)}});
  EXPECT_FALSE(APMScreenViewReporter::isScreenReportingEnabled());
  start();
  reporter().setCurrentViewController(controller("FocusScreen"));
  EXPECT_TRUE(eventsNamed("_vs").empty());
  APMAnalytics::setScreenName("Named", "Focus");
  platform::testing::runUntilIdle();
  EXPECT_TRUE(loggedCode(31000));
  DOREvoredire::logEventWithName("screen_view", {{"screen_name", APMObject("Timer")}});
  const auto logged = eventsNamed("_vs");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(intParameter(logged[0], "_mst"), 1);

  // The older key is read when the newer one is absent.
  useBundle({{"CFBundleIdentifier", platform::Value(engine_test::kBundleID)},
             {std::string(kAPMAutomaticScreenReportingEnabledKey), platform::Value(false)}});
  EXPECT_FALSE(APMScreenViewReporter::isScreenReportingEnabled());
  useBundle({{"CFBundleIdentifier", platform::Value(engine_test::kBundleID)},
             {std::string(kAPMScreenReportingEnabledKey), platform::Value("NO")}});
  EXPECT_TRUE(APMScreenViewReporter::isScreenReportingEnabled());
}

}  // namespace
