// Conditional user properties on the manual clock, set through the connector as other libraries
// do: set, trigger, time-out, expiry and clear, with the events each change of state logs.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "event_writing_fixture.h"
#include "platform/net/reachability.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/engine/apm_conditional_user_property_controller.h"
#include "sdk/analytics/engine/dor_evoredire_connector.h"
#include "sdk/analytics/storage/apm_database.h"

namespace {

using engine_test::EventWritingTest;
using engine_test::LoggedEvent;
using Dictionary = platform::Value::Dictionary;

double now() { return platform::Clock::current().now().timeIntervalSince1970(); }

// An event template as other libraries hand it over.
platform::Value eventTemplate(const std::string& name, const std::string& tag) {
  return platform::Value(Dictionary{{"origin", platform::Value("viam")},
                                    {"name", platform::Value(name)},
                                    {"parameters", platform::Value(Dictionary{{"tag", platform::Value(tag)}})}});
}

Dictionary request(const std::string& name, const std::string& value, const std::string& triggerEventName,
                   double triggerTimeout = 60, double timeToLive = 3600) {
  Dictionary property{{"name", platform::Value(name)},
                      {"origin", platform::Value("viam")},
                      {"triggerTimeout", platform::Value(triggerTimeout)},
                      {"timeToLive", platform::Value(timeToLive)},
                      {"triggeredEvent", eventTemplate("cup_set", name)},
                      {"timedOutEvent", eventTemplate("cup_timeout", name)},
                      {"expiredEvent", eventTemplate("cup_expire", name)}};
  if (!value.empty()) property["value"] = platform::Value(value);
  if (!triggerEventName.empty()) property["triggerEventName"] = platform::Value(triggerEventName);
  return property;
}

class ConditionalUserPropertyTest : public EventWritingTest {
 protected:
  void SetUp() override {
    // Offline, so no upload bundles the written events away before a test reads them.
    platform::NetworkState::setFlagsForTesting({});
    EventWritingTest::SetUp();
    configure();
  }
  void TearDown() override {
    EventWritingTest::TearDown();
    platform::NetworkState::restore();
  }

  void set(const Dictionary& property) {
    connector_->setConditionalUserProperty(property);
    platform::testing::runUntilIdle();
  }

  // What event handling does for every logged event; answers the triggered events' names.
  std::optional<std::vector<std::string>> process(const std::string& eventName) {
    const auto event = APMEvent::initWithOrigin("app", false, eventName, now(), 0, {});
    std::optional<APMConditionalUserPropertyController::Events> triggered;
    onWorkerQueue([&] { triggered = controller()->processEventOnWorkerQueue(event); });
    platform::testing::runUntilIdle();
    if (!triggered) return std::nullopt;
    std::vector<std::string> names;
    for (const auto& e : *triggered) names.push_back(e->name() + ":" + engine_test::stringParameter(toLogged(*e), "tag"));
    return names;
  }

  std::map<std::string, APMConditionalUserProperty> stored() {
    std::map<std::string, APMConditionalUserProperty> byName;
    const auto properties = controller()->conditionalUserPropertiesWithNamePrefix(APMObject(), APMObject());
    EXPECT_TRUE(properties.has_value());
    if (properties) {
      for (const auto& p : *properties) byName.emplace(p->name, *p);
    }
    return byName;
  }

  std::shared_ptr<const APMUserAttribute> userProperty(const std::string& name) {
    std::shared_ptr<const APMUserAttribute> attribute;
    onWorkerQueue([&] {
      platform::Error error;
      attribute = APMMeasurement::sharedInstance()->database()->userAttributeWithName(name, &error);
    });
    return attribute;
  }

  // The events written to the store since the last look.
  std::vector<LoggedEvent> written() {
    std::vector<LoggedEvent> fresh;
    for (auto& event : EventWritingTest::stored(lastSeenRowID_)) {
      lastSeenRowID_ = event.rowID;
      fresh.push_back(LoggedEvent{event.origin, event.name, event.timestamp, std::move(event.parameters)});
    }
    return fresh;
  }
  std::int64_t lastSeenRowID_ = 0;

  static LoggedEvent toLogged(const APMEvent& event) {
    return {event.origin(), event.name(), event.timestamp(), event.parameters()};
  }
  static std::shared_ptr<APMConditionalUserPropertyController> controller() {
    return APMConditionalUserPropertyController::sharedInstance();
  }
  // A synchronous dispatch would run the block on this, the main, thread.
  static void onWorkerQueue(const std::function<void()>& block) {
    APMMeasurement::sharedInstance()->scheduler()->scheduleOnWorkerQueueBlockID("test", block);
    platform::testing::runUntilIdle();
  }

  std::shared_ptr<DOREvoredireConnector> connector_ = std::make_shared<DOREvoredireConnector>();
};

TEST_F(ConditionalUserPropertyTest, WithoutTriggerEventThePropertyIsSetAtOnceAndExpiresAfterItsTimeToLive) {
  const double created = now();
  set(request("exp_color", "blue", "", 60, 120));
  auto logged = written();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].name, "cup_set");
  EXPECT_EQ(logged[0].origin, "viam");
  EXPECT_DOUBLE_EQ(logged[0].timestamp, created);
  const auto attribute = userProperty("exp_color");
  ASSERT_TRUE(attribute);
  EXPECT_EQ(*attribute->value()->stringValue(), "blue");
  EXPECT_DOUBLE_EQ(attribute->lastSetTimestamp(), created);
  auto properties = stored();
  ASSERT_TRUE(properties.contains("exp_color"));
  EXPECT_TRUE(properties.at("exp_color").active);
  EXPECT_DOUBLE_EQ(properties.at("exp_color").triggeredTimestamp, created);

  // Still alive at its time to live; gone at the first event after it.
  platform::testing::advance(120);
  ASSERT_TRUE(process("tick"));
  EXPECT_TRUE(written().empty());
  platform::testing::advance(1);
  ASSERT_TRUE(process("tick"));
  logged = written();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].name, "cup_expire");
  EXPECT_DOUBLE_EQ(logged[0].timestamp, now());
  EXPECT_FALSE(userProperty("exp_color"));
  EXPECT_TRUE(stored().empty());
}

TEST_F(ConditionalUserPropertyTest, ATriggerWithinItsTimeOutSetsThePropertyAndALateOneFindsItTimedOut) {
  struct Case {
    double delay;
    bool triggers;
  };
  for (const Case c : {Case{59, true}, Case{60, true}, Case{61, false}}) {
    SCOPED_TRACE(c.delay);
    set(request("exp_level", "7", "level_up", 60));
    EXPECT_TRUE(written().empty());
    EXPECT_FALSE(userProperty("exp_level"));
    platform::testing::advance(c.delay);
    const auto triggered = process("level_up");
    ASSERT_TRUE(triggered);
    if (c.triggers) {
      // The triggered event is the caller's to write, after the event itself.
      EXPECT_EQ(*triggered, std::vector<std::string>{"cup_set:exp_level"});
      EXPECT_TRUE(written().empty());
      const auto attribute = userProperty("exp_level");
      ASSERT_TRUE(attribute);
      EXPECT_DOUBLE_EQ(attribute->lastSetTimestamp(), now());
      EXPECT_TRUE(stored().at("exp_level").active);
      // A second trigger changes nothing.
      EXPECT_EQ(process("level_up"), std::vector<std::string>{});
    } else {
      EXPECT_TRUE(triggered->empty());
      const auto logged = written();
      ASSERT_EQ(logged.size(), 1u);
      EXPECT_EQ(logged[0].name, "cup_timeout");
      EXPECT_EQ(logged[0].origin, "viam");
      EXPECT_FALSE(userProperty("exp_level"));
      EXPECT_TRUE(stored().empty());
    }
    connector_->clearConditionalUserProperty("exp_level", "viam", "", {});
    platform::testing::runUntilIdle();
    written();
  }
}

TEST_F(ConditionalUserPropertyTest, AClockMovedBackEndsWaitingPropertiesToo) {
  set(request("exp_wait", "1", "never", 60));
  platform::testing::manualClock()->setDate(platform::Date::fromTimeIntervalSince1970(now() - 3600));
  ASSERT_TRUE(process("tick"));
  const auto logged = written();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].name, "cup_timeout");
}

TEST_F(ConditionalUserPropertyTest, AFailedStepUndoesTheWholeEventsProcessingAndWritesNothing) {
  set(request("exp_live", "on", "", 60, 10));
  set(request("exp_wait", "1", "never", 5));
  written();
  platform::testing::advance(11);
  const auto sql = [](const std::string& statement) {
    onWorkerQueue([&] {
      platform::Error error;
      EXPECT_TRUE(APMMeasurement::sharedInstance()->database()->store()->executeSQL(statement, &error));
    });
  };
  // The expired property's user property cannot be deleted.
  sql("ALTER TABLE user_attributes RENAME TO user_attributes_away");
  EXPECT_FALSE(process("tick"));
  EXPECT_TRUE(loggedCode(10006));
  EXPECT_TRUE(written().empty());
  EXPECT_EQ(stored().size(), 2u);

  sql("ALTER TABLE user_attributes_away RENAME TO user_attributes");
  ASSERT_TRUE(process("tick"));
  std::vector<std::string> names;
  for (const auto& event : written()) names.push_back(event.name);
  EXPECT_EQ(names, (std::vector<std::string>{"cup_timeout", "cup_expire"}));
  EXPECT_TRUE(stored().empty());
}

TEST_F(ConditionalUserPropertyTest, TimeOutsAndTimesToLiveOutsideTheirBoundsAreRefused) {
  struct Case {
    double triggerTimeout;
    double timeToLive;
    std::int64_t refusal;  // 0: accepted
  };
  const Case cases[] = {{0, 60, 11000},        {15552001, 60, 11000}, {60, 0, 11001},
                        {60, 0.001, 0},        {60, 15552000, 0},     {15552000, 60, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.triggerTimeout << " / " << c.timeToLive);
    clearLines();
    set(request("exp_bounds", "x", "later", c.triggerTimeout, c.timeToLive));
    EXPECT_EQ(stored().contains("exp_bounds"), c.refusal == 0);
    if (c.refusal) {
      EXPECT_TRUE(loggedCode(c.refusal));
    }
    connector_->clearConditionalUserProperty("exp_bounds", "viam", "", {});
    platform::testing::runUntilIdle();
  }
}

TEST_F(ConditionalUserPropertyTest, ClearingRemovesThePropertyItsUserPropertyAndLogsTheClearEvent) {
  set(request("exp_flag", "on", ""));
  written();
  ASSERT_TRUE(userProperty("exp_flag"));

  connector_->clearConditionalUserProperty("exp_flag", "viam", "cup_clear",
                                           {{"reason", platform::Value("done")}, {"step", platform::Value(2)}});
  platform::testing::runUntilIdle();
  const auto logged = written();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].name, "cup_clear");
  EXPECT_EQ(engine_test::stringParameter(logged[0], "reason"), "done");
  EXPECT_EQ(engine_test::intParameter(logged[0], "step"), 2);
  EXPECT_FALSE(userProperty("exp_flag"));
  EXPECT_TRUE(stored().empty());

  // Nothing stored under the name: a notice and no event.
  connector_->clearConditionalUserProperty("exp_flag", "viam", "cup_clear", {{"reason", platform::Value("again")}});
  platform::testing::runUntilIdle();
  EXPECT_TRUE(loggedCode(11018));
  EXPECT_TRUE(written().empty());
}

TEST_F(ConditionalUserPropertyTest, ASetWithoutValueRemovesUnderTheStoredOrigin) {
  set(request("exp_gone", "on", ""));
  written();
  auto removal = request("exp_gone", "", "");
  removal["origin"] = platform::Value("frc");
  set(removal);
  const auto logged = written();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].name, "cup_expire");
  EXPECT_EQ(logged[0].origin, "viam");
  EXPECT_FALSE(userProperty("exp_gone"));
  EXPECT_TRUE(stored().empty());
}

TEST_F(ConditionalUserPropertyTest, ReplacingAnActivePropertyKeepsItsFirstTrigger) {
  set(request("exp_size", "small", ""));
  const double firstTrigger = now();
  written();
  platform::testing::advance(30);

  // Not marked active: the record takes the new value, the user property keeps the old one.
  set(request("exp_size", "large", "some_event", 60, 999));
  EXPECT_TRUE(written().empty());
  auto property = stored().at("exp_size");
  EXPECT_TRUE(property.active);
  EXPECT_DOUBLE_EQ(property.triggeredTimestamp, firstTrigger);
  EXPECT_EQ(*property.value->stringValue(), "large");
  EXPECT_DOUBLE_EQ(property.timeToLive, 999);
  EXPECT_TRUE(property.triggerEventName.empty());
  EXPECT_EQ(*userProperty("exp_size")->value()->stringValue(), "small");

  // Marked active by the caller: the user property is rewritten with the caller's time.
  auto marked = request("exp_size", "huge", "");
  marked["active"] = platform::Value(true);
  marked["triggeredTimestamp"] = platform::Value(firstTrigger + 5);
  set(marked);
  EXPECT_EQ(*userProperty("exp_size")->value()->stringValue(), "huge");
  EXPECT_DOUBLE_EQ(userProperty("exp_size")->lastSetTimestamp(), firstTrigger + 5);
  EXPECT_DOUBLE_EQ(stored().at("exp_size").triggeredTimestamp, firstTrigger);
}

TEST_F(ConditionalUserPropertyTest, AQueryWhileAnalyticsIsDisabledAnswersNothing) {
  set(request("exp_any", "x", "later"));
  APMMeasurement::sharedInstance()->setEnabled(false);
  platform::testing::runUntilIdle();
  EXPECT_FALSE(controller()->conditionalUserPropertiesWithNamePrefix(APMObject("exp"), APMObject()));
  EXPECT_TRUE(loggedCode(11005));
  EXPECT_FALSE(controller()->conditionalUserPropertiesWithNamePrefix(APMObject(5), APMObject()));
  EXPECT_TRUE(loggedCode(11003));
}

TEST_F(ConditionalUserPropertyTest, QueriesMatchPrefixAndOriginLiterally) {
  set(request("exp_a", "1", "later"));
  set(request("exp_b", "2", "later"));
  auto other = request("expxc", "3", "later");
  other["origin"] = platform::Value("frc");
  set(other);
  const auto names = [&](const std::string& origin, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& entry : connector_->conditionalUserProperties(origin, prefix)) {
      out.push_back(entry["name"].string() + "=" + entry["value"].string());
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_EQ(names("", ""), (std::vector<std::string>{"exp_a=1", "exp_b=2", "expxc=3"}));
  // "_" is no wildcard.
  EXPECT_EQ(names("", "exp_"), (std::vector<std::string>{"exp_a=1", "exp_b=2"}));
  EXPECT_EQ(names("frc", ""), (std::vector<std::string>{"expxc=3"}));
  EXPECT_EQ(names("viam", "exp_b"), (std::vector<std::string>{"exp_b=2"}));
}

TEST_F(ConditionalUserPropertyTest, DictionaryEntriesThatFitNoPropertyAreLeftOutWithANotice) {
  auto property = request("exp_typed", "v", "later");
  property["colour"] = platform::Value("red");
  property["timeToLive"] = platform::Value("3600");  // not a number: the record keeps 0 and is refused
  set(property);
  EXPECT_TRUE(loggedCode(11021));
  EXPECT_TRUE(loggedCode(11001));
  EXPECT_TRUE(stored().empty());

  property.erase("timeToLive");
  property["timeToLive"] = platform::Value(3600);
  property["value"] = platform::Value(platform::Value::Array{});
  set(property);
  // A value of the wrong kind leaves a request without value: a removal of nothing.
  EXPECT_TRUE(loggedCode(11018));
  EXPECT_TRUE(stored().empty());
}

}  // namespace

namespace {

// Through the whole pipeline: the trigger event is written first, then the event it released.
TEST_F(ConditionalUserPropertyTest, ALoggedTriggerEventIsWrittenBeforeTheEventItReleases) {
  set(request("exp_level", "gold", "level_up"));
  EXPECT_TRUE(written().empty());
  DOREvoredire::logEventWithName("level_up", {});
  platform::testing::runUntilIdle();
  std::vector<std::string> names;
  for (const auto& event : written()) names.push_back(event.name);
  EXPECT_EQ(names, (std::vector<std::string>{"level_up", "cup_set"}));
  ASSERT_TRUE(userProperty("exp_level"));
}

}  // namespace
