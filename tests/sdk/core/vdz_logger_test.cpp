#include "sdk/core/core/vdz_logger.h"

#include <gtest/gtest.h>

#include "core_test_fixture.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/system_info.h"
#include "platform/foundation/user_defaults.h"
#include "sdk/core/core/dor_evoredire_configuration.h"
#include "sdk/core/core/vdz_configuration.h"

namespace {

using core_test::CoreTest;
using platform::Value;

class VDZLoggerTest : public CoreTest {
 protected:
  // Starts the front end as a process launched with `arguments` would.
  void launch(std::vector<std::string> arguments) {
    VULLoggerResetForTesting();
    VDZLoggerResetForTesting();
    auto facts = platform::SystemInfo::facts();
    facts.arguments = {"focus-timer"};
    facts.arguments.insert(facts.arguments.end(), arguments.begin(), arguments.end());
    platform::SystemInfo::ScopedFacts scoped(std::move(facts));
    VDZLoggerInitialize();
  }
};

TEST_F(VDZLoggerTest, LaunchArgumentsAndTheRememberedModeDecideDebugLogging) {
  struct Case {
    const char* label;
    Value remembered;  // "/videzu/vuduzara/debug_mode" before the launch
    std::vector<std::string> arguments;
    bool debug;
    Value rememberedAfter;
  };
  const Case cases[] = {
      {"plain launch", {}, {}, false, {}},
      {"enabled", {}, {"-VDZDebugEnabled"}, true, true},
      {"remembered from an earlier launch", true, {}, true, true},
      {"disabled forgets", true, {"-VDZDebugDisabled"}, false, {}},
      {"disabled wins over enabled", true, {"-VDZDebugEnabled", "-VDZDebugDisabled"}, false, {}},
      {"standard error alone", {}, {"-VDZLoggerForceSTDERR"}, false, {}},
  };
  const auto defaults = platform::UserDefaults::standard();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    defaults->setObject(c.remembered, "/videzu/vuduzara/debug_mode");
    launch(c.arguments);
    EXPECT_EQ(VULLoggerIsLoggableLevel(VULLoggerLevelDebug), c.debug);
    EXPECT_EQ(defaults->objectForKey("/videzu/vuduzara/debug_mode"), c.rememberedAfter);
  }
}

TEST_F(VDZLoggerTest, DebugLinesOfTheCoreAppearOnlyInDebugMode) {
  launch({});
  VDZLoggerLogDebug(kVDZLoggerServiceCore, "I-COR000001", "hidden %d", 1);
  VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000002", "shown %@", "error");
  launch({"-VDZDebugEnabled"});
  VDZLoggerLogDebug(kVDZLoggerServiceCore, "I-COR000003", "shown %d", 3);
  const auto lines = logLines();
  EXPECT_EQ(lines, (std::vector<std::string>{"8.15.0 - [Vuduzara/Core][I-COR000002] shown error",
                                             "8.15.0 - [Vuduzara/Core][I-COR000003] shown 3"}));
}

TEST_F(VDZLoggerTest, LoggerLevelsOutsideThreeToSevenRaise) {
  launch({});
  for (VULLoggerLevel level : {2, 8}) {
    SCOPED_TRACE(level);
    auto e = core_test::raised([&] { VDZConfiguration::sharedInstance().setLoggerLevel(level); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name(), "NSInternalInconsistencyException");
    EXPECT_EQ(e->reason(), "Invalid logger level, " + std::to_string(level));
  }
  EXPECT_FALSE(VULLoggerIsLoggableLevel(VULLoggerLevelInfo));
  VDZConfiguration::sharedInstance().setLoggerLevel(VULLoggerLevelDebug);
  EXPECT_TRUE(VULLoggerIsLoggableLevel(VULLoggerLevelDebug));
  VDZConfiguration::sharedInstance().setLoggerLevel(VULLoggerLevelError);
  EXPECT_FALSE(VULLoggerIsLoggableLevel(VULLoggerLevelWarning));
}

TEST_F(VDZLoggerTest, TheAnalyticsSwitchIsAnnouncedAndPersistedWhenAsked) {
  struct Case {
    const char* label;
    bool enabled;
    bool persist;
    Value stored;
  };
  const Case cases[] = {
      {"off, persisted", false, true, 2},
      {"on, persisted", true, true, 1},
      {"on, not persisted", true, false, {}},
  };
  const auto defaults = platform::UserDefaults::standard();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    defaults->removeObjectForKey("/videzu/measurement/measurement_enabled_state");
    std::vector<platform::Notification> posted;
    auto observer = platform::NotificationCenter::defaultCenter().addObserver(
        "DOREvoredireConfigurationSetEnabledNotification", nullptr, nullptr,
        [&](const platform::Notification& n) { posted.push_back(n); });
    const auto configuration = DOREvoredireConfiguration::sharedInstance();
    if (c.persist) {
      configuration->setAnalyticsCollectionEnabled(c.enabled);
    } else {
      configuration->setAnalyticsCollectionEnabled(c.enabled, false);
    }
    EXPECT_EQ(defaults->objectForKey("/videzu/measurement/measurement_enabled_state"), c.stored);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].object, configuration.get());
    EXPECT_EQ(posted[0].userInfo, (Value::Dictionary{{"DOREvoredireConfigurationSetEnabledNotification", c.enabled}}));
  }
}

TEST_F(VDZLoggerTest, NothingIsPostedWithoutANameOrAValue) {
  std::vector<platform::Notification> posted;
  auto observer = platform::NotificationCenter::defaultCenter().addObserver(
      "", nullptr, nullptr, [&](const platform::Notification& n) { posted.push_back(n); });
  DOREvoredireConfiguration::sharedInstance()->postNotificationName("", Value(true));
  DOREvoredireConfiguration::sharedInstance()->postNotificationName("SomeName", Value());
  EXPECT_TRUE(posted.empty());
}

}  // namespace
