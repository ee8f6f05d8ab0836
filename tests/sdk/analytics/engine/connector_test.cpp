// The analytics connector as other SDK libraries use it: what they may log and set, how their
// events are marked, and which logged events reach the listener of each origin.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "engine_test_fixture.h"
#include "sdk/analytics/engine/dor_evoredire_connector.h"
#include "sdk/analytics/engine/vdz_connector_utils.h"
#include "sdk/core/core/vdz_component_container.h"

namespace {

using engine_test::EngineTest;
using engine_test::intParameter;
using engine_test::stringParameter;
using Dictionary = platform::Value::Dictionary;

class SpyListener final : public DOREvoredireInteropListener {
 public:
  void messageTriggered(const std::string& name, const Dictionary& parameters) override {
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(platform::DispatchQueue::isMainThread());
    messages_.emplace_back(name, parameters);
  }
  std::vector<std::string> names() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [name, parameters] : messages_) out.push_back(name);
    return out;
  }
  std::vector<std::pair<std::string, Dictionary>> messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::string, Dictionary>> messages_;
};

class ConnectorTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    DOREvoredireConnector::load();
  }
  std::shared_ptr<DOREvoredireConnector> connector_ = std::make_shared<DOREvoredireConnector>();
};

TEST(ConnectorUtilsTest, OriginsEventsAndUserPropertiesFollowTheTables) {
  EXPECT_FALSE(VDZConnectorUtils::isOriginAllowed("app"));
  EXPECT_FALSE(VDZConnectorUtils::isOriginAllowed("auto"));
  EXPECT_FALSE(VDZConnectorUtils::isOriginAllowed("am"));
  EXPECT_TRUE(VDZConnectorUtils::isOriginAllowed("clx"));
  EXPECT_TRUE(VDZConnectorUtils::isAppOrigin("app+vtm"));
  EXPECT_FALSE(VDZConnectorUtils::isAppOrigin("apple"));

  struct EventCase {
    std::string name;
    Dictionary parameters;
    bool logged;
  };
  const EventCase events[] = {
      {"", {}, false},
      {"_s", {}, false},
      {"_ae", {}, true},
      {"level_up", {{"_dbg", platform::Value("")}}, false},
      {"level_up", {{"_r", platform::Value(1)}}, false},
      {"level_up", {{"score", platform::Value(1)}}, true},
  };
  for (const auto& c : events) {
    EXPECT_EQ(VDZConnectorUtils::shouldLogEventWithName(c.name, c.parameters), c.logged) << c.name;
  }

  struct PropertyCase {
    std::string name;
    std::string origin;
    bool allowed;
  };
  const PropertyCase properties[] = {
      {"_ln", "vcm", true},      {"_ln", "viam", true},   {"_ln", "clx", false},    {"_id", "vcm", false},
      {"_ltv_USD", "vcm", false}, {"_ltv_usd", "vcm", true}, {"_cc3", "viam", false}, {"_cc6", "viam", true},
      {"", "viam", false},       {"exp_color", "clx", true},
  };
  for (const auto& c : properties) {
    EXPECT_EQ(VDZConnectorUtils::isUserPropertyAllowed(c.name, c.origin), c.allowed) << c.name << " " << c.origin;
  }
}

TEST(ConnectorConversionTest, SimplifiedParametersKeepNumbersAndStringsOnly) {
  const APMDictionary parameters{
      {"d", APMObject(APMValue::initWithDouble(1.5))},
      {"i", APMObject(APMValue::initWithInt64(7))},
      {"s", APMObject(APMValue::initWithString(std::string("text")))},
      {"items", APMObject(APMValue::initWithArray(APMObject(APMArray{APMObject(APMDictionary{})})))},
      {"plain", APMObject(3)},
      {"plain_text", APMObject("t")},
      {"list", APMObject(APMArray{})},
  };
  EXPECT_EQ(DOREvoredireConnector::simplifiedParametersFromEventParameters(parameters),
            (Dictionary{{"d", platform::Value(1.5)},
                        {"i", platform::Value(7)},
                        {"s", platform::Value("text")},
                        {"plain", platform::Value(3)},
                        {"plain_text", platform::Value("t")}}));
}

TEST(ConnectorConversionTest, EventsFromDictionariesNeedOriginAndName) {
  const auto event = DOREvoredireConnector::eventFromDictionary(
      {{"origin", platform::Value("viam")},
       {"name", platform::Value("exp_set")},
       {"timestamp", platform::Value(12.5)},
       {"parameters", platform::Value(Dictionary{{"id", platform::Value("e1")}})}});
  ASSERT_TRUE(event);
  EXPECT_EQ(event->origin(), "viam");
  EXPECT_EQ(event->name(), "exp_set");
  EXPECT_DOUBLE_EQ(event->timestamp(), 12.5);
  EXPECT_DOUBLE_EQ(event->previousTimestamp(), 0);
  EXPECT_TRUE(event->parameters().contains("id"));
  EXPECT_FALSE(DOREvoredireConnector::eventFromDictionary({{"name", platform::Value("exp_set")}}));
  EXPECT_FALSE(DOREvoredireConnector::eventFromDictionary({{"origin", platform::Value("viam")}}));
}

TEST_F(ConnectorTest, RegistersTheLibraryAndMakesANewConnectorForEveryLookup) {
  configure();
  EXPECT_NE(VDZApp::vuduzaraUserAgent().find("rare-zazivirid/8.15.0"), std::string::npos);
  auto& container = VDZApp::defaultApp()->container();
  const auto first = container.instanceForProtocol<DOREvoredireInterop>();
  const auto second = container.instanceForProtocol<DOREvoredireInterop>();
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_NE(first, second);
}

TEST_F(ConnectorTest, EventsOfOtherLibrariesAreFilteredAndMarked) {
  configure();
  recordEvents();
  struct Case {
    std::string origin;
    std::string name;
    Dictionary parameters;
    bool logged;
    std::int64_t realtime;  // "_r", INT64_MIN when absent
    std::string integration;
  };
  const Case cases[] = {
      {"app", "level_up", {}, false, 0, ""},
      {"auto", "level_up", {}, false, 0, ""},
      {"am", "level_up", {}, false, 0, ""},
      {"clx", "_ae", {{"fatal", platform::Value(1)}}, true, 1, "<none>"},
      {"viam", "_ae", {}, true, INT64_MIN, "<none>"},
      {"fdl", "_cmp", {}, true, INT64_MIN, "fdl_integration"},
      {"clx", "_cmp", {}, true, INT64_MIN, "<none>"},
      {"viam", "promo", {{"_dbg", platform::Value("")}}, false, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.origin + " " + c.name);
    {
      std::lock_guard lock(mutex_);
      events_.clear();
    }
    connector_->logEventWithOrigin(c.origin, c.name, c.parameters);
    const auto logged = events();
    if (!c.logged) {
      EXPECT_TRUE(logged.empty());
      continue;
    }
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].origin, c.origin);
    EXPECT_EQ(logged[0].name, c.name);
    EXPECT_EQ(intParameter(logged[0], "_r"), c.realtime);
    EXPECT_EQ(stringParameter(logged[0], "_cis"), c.integration);
  }
}

TEST_F(ConnectorTest, UserPropertiesOfOtherLibrariesAreFilteredAndCounted) {
  configure();
  connector_->setUserPropertyWithOrigin("vcm", "_ln", platform::Value("link"));
  connector_->setUserPropertyWithOrigin("clx", "_ln", platform::Value("other"));
  connector_->setUserPropertyWithOrigin("clx", "crash_seen", platform::Value("yes"));
  connector_->setUserPropertyWithOrigin("app", "color", platform::Value("blue"));
  auto properties = userProperties(true);
  EXPECT_EQ(properties["_ln"].string(), "link");
  EXPECT_EQ(properties["crash_seen"].string(), "yes");
  EXPECT_FALSE(properties.contains("color"));

  // Null removes.
  connector_->setUserPropertyWithOrigin("clx", "crash_seen", platform::Value());
  EXPECT_FALSE(userProperties(true).contains("crash_seen"));

  // What the engine answers to other libraries: public properties only, on the connector's queue.
  DOREvoredire::setUserPropertyString(APMObject("green"), "theme");
  platform::testing::runUntilIdle();
  std::optional<Dictionary> answer;
  connector_->getUserPropertiesWithCallback([&](Dictionary received) {
    EXPECT_TRUE(DOREvoredireConnector::connectorQueue()->isCurrent());
    answer = std::move(received);
  });
  platform::testing::runUntilIdle();
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, (Dictionary{{"theme", platform::Value("green")}}));

  std::int64_t max = -1;
  std::thread caller([&] { max = connector_->maxUserProperties("clx"); });
  caller.join();
  EXPECT_EQ(max, 25);
}

TEST_F(ConnectorTest, ListenersReceiveTheirOriginAndAppEventsButNoHiddenOnes) {
  configure();
  auto clx = std::make_shared<SpyListener>();
  connector_->registerAnalyticsListener(clx, "clx");
  connector_->logEventWithOrigin("clx", "breadcrumb", {{"step", platform::Value(3)}});
  connector_->logEventWithOrigin("clx", "_exp_set", {});
  connector_->logEventWithOrigin("viam", "not_mine", {});
  DOREvoredire::logEventWithName("level_up", {{"score", APMObject(5)}, {"label", APMObject("gold")}});
  DOREvoredire::logEventWithOrigin("app+vtm", "forwarded", {});
  platform::testing::runUntilIdle();

  const auto messages = clx->messages();
  std::vector<std::string> names;
  for (const auto& [name, parameters] : messages) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"breadcrumb", "level_up", "forwarded"}));
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].second.at("step"), platform::Value(3));
  EXPECT_EQ(messages[1].second.at("score"), platform::Value(5));
  EXPECT_EQ(messages[1].second.at("label"), platform::Value("gold"));

  // An app event goes to every registered listener; an origin's own only to its listener.
  auto viam = std::make_shared<SpyListener>();
  connector_->registerAnalyticsListener(viam, "viam");
  DOREvoredire::logEventWithName("both", {});
  connector_->logEventWithOrigin("viam", "viam_only", {});
  platform::testing::runUntilIdle();
  EXPECT_EQ(viam->names(), (std::vector<std::string>{"both", "viam_only"}));
  EXPECT_EQ(clx->names().back(), "both");
}

TEST_F(ConnectorTest, RegistrationIsPerOriginAndTheLastListenerTakesTheEngineListenerAway) {
  configure();
  auto refused = std::make_shared<SpyListener>();
  connector_->registerAnalyticsListener(refused, "app");
  connector_->registerAnalyticsListener(nullptr, "clx");
  auto first = std::make_shared<SpyListener>();
  auto second = std::make_shared<SpyListener>();
  connector_->registerAnalyticsListener(first, "clx");
  connector_->registerAnalyticsListener(second, "clx");
  connector_->logEventWithOrigin("clx", "one", {});
  platform::testing::runUntilIdle();
  EXPECT_TRUE(refused->names().empty());
  EXPECT_TRUE(first->names().empty());
  EXPECT_EQ(second->names(), std::vector<std::string>{"one"});

  connector_->unregisterAnalyticsListenerWithOrigin("clx");
  connector_->logEventWithOrigin("clx", "two", {});
  platform::testing::runUntilIdle();
  EXPECT_EQ(second->names(), std::vector<std::string>{"one"});
  EXPECT_FALSE(loggedCode(25015));  // the engine listener was removed by a valid token

  // Registering again installs a new engine listener.
  connector_->registerAnalyticsListener(first, "clx");
  connector_->logEventWithOrigin("clx", "three", {});
  platform::testing::runUntilIdle();
  EXPECT_EQ(first->names(), std::vector<std::string>{"three"});
}

}  // namespace
