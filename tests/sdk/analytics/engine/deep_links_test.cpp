#include <gtest/gtest.h>

#include <cstdlib>

#include "engine_test_fixture.h"
#include "platform/foundation/system_info.h"
#include "platform/ui/application.h"
#include "platform/ui/user_activity.h"
#include "sdk/analytics/common/apm_app_delegate_interceptor.h"
#include "sdk/analytics/engine/apm_launch_utilities.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_user_defaults.h"
#include "sdk/utilities/utilities/vul_service_endpoints.h"
#include "tools/local-service/ads_routes.h"
#include "tools/local-service/local_service.h"

namespace {

using engine_test::EngineTest;
using engine_test::LoggedEvent;
using engine_test::intParameter;
using engine_test::stringParameter;

// An app delegate that takes opened URLs and remembers them.
class LinkTakingDelegate : public platform::ApplicationDelegate {
 public:
  static inline std::vector<std::pair<std::string, platform::Value::Dictionary>> opened;
  bool applicationOpenURLOptions(platform::Application&, const std::string& url,
                                 const platform::Value::Dictionary& options) override {
    opened.emplace_back(url, options);
    return true;
  }
};

class DeepLinkTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMMeasurement::subscribeForAppDidFinishLaunchingNotifications();
    platform::ApplicationDelegateRegistry::registerClass("LinkTakingDelegate",
                                                         [] { return std::make_shared<LinkTakingDelegate>(); });
    LinkTakingDelegate::opened.clear();
  }
  void TearDown() override {
    platform::Application::reset();
    EngineTest::TearDown();
  }

  std::vector<LoggedEvent> campaignEvents() {
    std::vector<LoggedEvent> out;
    for (auto& e : events()) {
      if (e.name == "_cmp" || e.name == "_cmpx") out.push_back(e);
    }
    return out;
  }

  void giveAdvertisingIdentifier() {
    platform::runtime::ClassDefinition manager{.name = "ASIdentifierManager"};
    manager.classMethods.emplace("sharedManager", platform::runtime::method([] { return std::string("manager"); }));
    manager.classMethods.emplace("advertisingIdentifier", platform::runtime::method([](std::string) {
                                   return std::string("6D92078A-8246-4BA4-AE5B-76104861E7DC");
                                 }));
    defineClass(std::move(manager));
    APMDefaultIdentitySupport::resetSharedInstanceForTesting();
  }
};

TEST_F(DeepLinkTest, OpenedLinksBecomeCampaignEventsWithTheEnginesNames) {
  configure();
  recordEvents();
  struct Case {
    const char* url;
    std::map<std::string, std::string> expected;  // empty: no event
    std::int64_t code;                             // the line a refused link leaves, else 0
  };
  const std::vector<Case> cases = {
      {"focus://open?utm_source=a&unknown=b", {{"source", "a"}}, 0},
      {"https://focus.invalid/x?utm_campaign=spring&utm_medium=mail&utm_term=t&cis=c&utm_id=42#frag",
       {{"campaign", "spring"}, {"medium", "mail"}, {"term", "t"}, {"_cis", "c"}, {"campaign_id", "42"}},
       0},
      {"focus://open?cp1=only", {}, 23001},
      {"focus://open", {}, 23000},
      {"focus://open?utm_source=", {}, 23001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    events_.clear();
    lines_.clear();
    APMAnalytics::handleOpenURL(c.url);
    const auto logged = campaignEvents();
    if (c.expected.empty()) {
      EXPECT_TRUE(logged.empty());
      EXPECT_TRUE(loggedCode(c.code));
      continue;
    }
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].name, "_cmp");
    EXPECT_EQ(logged[0].origin, "auto");
    for (const auto& [key, value] : c.expected) EXPECT_EQ(stringParameter(logged[0], key), value) << key;
    EXPECT_EQ(stringParameter(logged[0], "unknown"), "<none>");
  }
}

TEST_F(DeepLinkTest, ClickIdentifiersNeedTrackingButTheAdClickIDIsKeptAndStored) {
  configure();
  recordEvents();
  // A recent system, no tracking authorisation and no advertising identifier.
  APMAnalytics::handleOpenURL("focus://open?gclid=G&gbraid=B&dclid=D&utm_source=s");
  auto logged = campaignEvents();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(stringParameter(logged[0], "gclid"), "<none>");
  EXPECT_EQ(stringParameter(logged[0], "dclid"), "<none>");
  EXPECT_EQ(stringParameter(logged[0], "gbraid"), "B");
  const auto properties = userProperties(true);
  ASSERT_TRUE(properties.contains("_gbraid"));
  EXPECT_EQ(properties.at("_gbraid").string(), "B");

  // With an advertising identifier click identifiers are reported.
  freshProcess();
  events_.clear();
  giveAdvertisingIdentifier();
  configure();
  recordEvents();
  APMAnalytics::handleOpenURL("focus://open?gclid=G&utm_source=s");
  logged = campaignEvents();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(stringParameter(logged[0], "gclid"), "G");
}

TEST_F(DeepLinkTest, AnEventTimeBeforeFirstOpenMovesToTheFirstOpen) {
  configure();
  recordEvents();
  const double now = platform::Clock::current().now().timeIntervalSince1970();
  APMPersistedConfig::sharedInstance()->setFirstOpenTimestampMilliseconds(static_cast<std::int64_t>((now + 50) * 1000));
  APMAnalytics::handleOpenURL("focus://open?utm_source=s");
  const auto logged = campaignEvents();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_DOUBLE_EQ(logged[0].timestamp, now + 50);
}

TEST_F(DeepLinkTest, UserActivitiesGiveTheirWebPageOnly) {
  struct Case {
    const char* what;
    platform::Value::Dictionary activity;
    std::optional<std::string> link;
    std::int64_t code;
  };
  const std::vector<Case> cases = {
      {"web browsing", platform::makeUserActivity(platform::kUserActivityTypeBrowsingWeb, "https://x.invalid/?utm_source=w"),
       "https://x.invalid/?utm_source=w", 0},
      {"other type", platform::makeUserActivity("com.focus.timer.start", "https://x.invalid/"), std::nullopt, 23006},
      {"browsing without a page", platform::makeUserActivity(platform::kUserActivityTypeBrowsingWeb), std::nullopt, 23006},
      {"nothing", {}, std::nullopt, 23003},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    lines_.clear();
    EXPECT_EQ(APMMeasurement::deepLinkFromUserActivity(c.activity), c.link);
    if (c.code) {
      EXPECT_TRUE(loggedCode(c.code));
    }
  }

  // Continued through the app: the delegate interceptor hands it to the engine (the proxy that
  // installs it is made once per process, so it is called directly here).
  const auto app = platform::Application::launch("LinkTakingDelegate");
  configure();
  recordEvents();
  APMAppDelegateInterceptor::sharedInstance()->applicationContinueUserActivityRestorationHandler(*app, cases[0].activity,
                                                                                                 {});
  const auto logged = campaignEvents();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(stringParameter(logged[0], "source"), "w");
}

TEST_F(DeepLinkTest, ALaunchLinkIsStoredAndReportedWhenTheEngineStarts) {
  struct Case {
    const char* what;
    platform::Value::Dictionary launchOptions;
    std::string source;
  };
  const std::vector<Case> cases = {
      {"URL", {{std::string(platform::kApplicationLaunchOptionsURLKey), "focus://open?utm_source=launch"}}, "launch"},
      {"user activity",
       platform::launchOptionsWithUserActivity(
           platform::makeUserActivity(platform::kUserActivityTypeBrowsingWeb, "https://x.invalid/?utm_source=web")),
       "web"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    freshProcess();
    events_.clear();
    recordEvents();
    const double launchedAt = platform::Clock::current().now().timeIntervalSince1970();
    platform::Application::launch("LinkTakingDelegate", c.launchOptions);
    const auto defaults = APMUserDefaults::standardUserDefaults();
    ASSERT_TRUE(defaults->objectForKey(kAPMStoredDeepLinkKey).isString());
    platform::testing::advance(10);
    configure();
    const auto logged = campaignEvents();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].name, "_cmp");
    EXPECT_EQ(stringParameter(logged[0], "source"), c.source);
    EXPECT_EQ(intParameter(logged[0], "_cc"),
              APMStartOfPreviousHourMillis(static_cast<std::int64_t>(launchedAt * 1000)));
    EXPECT_TRUE(defaults->objectForKey(kAPMStoredDeepLinkKey).isNull());
  }
}

TEST_F(DeepLinkTest, AStoredLinkPastItsTimeToLiveIsReportedUndated) {
  platform::Application::launch("LinkTakingDelegate",
                                {{std::string(platform::kApplicationLaunchOptionsURLKey), "focus://open?utm_source=old"}});
  platform::testing::advance(8 * 86400);  // past the default week
  recordEvents();
  configure();
  const auto logged = campaignEvents();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].name, "_cmpx");
  EXPECT_EQ(stringParameter(logged[0], "source"), "(not set)");
  EXPECT_EQ(stringParameter(logged[0], "medium"), "(not set)");
  EXPECT_EQ(intParameter(logged[0], "_cc"), 1);
}

class DeferredDeepLinkTest : public DeepLinkTest {
 protected:
  void SetUp() override {
    DeepLinkTest::SetUp();
    ASSERT_TRUE(service_.start());
    links_ = local_service::addAdsRoutes(service_);
    ::setenv(std::string(kVULServiceURLEnvironmentVariable).c_str(), service_.baseURL().c_str(), 1);
  }
  void TearDown() override {
    DeepLinkTest::TearDown();
    ::unsetenv(std::string(kVULServiceURLEnvironmentVariable).c_str());
  }
  void useDeferredDeepLinks(bool enabled) {
    platform::Value::Dictionary info{{"CFBundleIdentifier", platform::Value(engine_test::kBundleID)},
                                     {"CFBundleShortVersionString", "1.2"},
                                     {"CFBundleVersion", "1.2.3"}};
    if (enabled) info.emplace(std::string(kAPMDeferredDeepLinkEnabledKey), true);
    useBundle(info);
  }
  void launchApp() {
    platform::Application::launch("LinkTakingDelegate");
    platform::testing::runUntilIdle();
  }

  local_service::LocalService service_;
  std::shared_ptr<local_service::DeferredDeepLinks> links_;
};

TEST_F(DeferredDeepLinkTest, AnsweredLinkGoesToTheAppDelegateAndIsLoggedOnce) {
  useDeferredDeepLinks(true);
  giveAdvertisingIdentifier();
  links_->set("*", {"focus://promo?utm_campaign=launch_week&utm_source=ads", "G1", "B1", "1700000000"});
  recordEvents();
  launchApp();
  configure();
  platform::testing::runUntilIdle();

  const auto requests = service_.requestsTo(local_service::kDeferredDeepLinkPath);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].query.find("id_type=idfa"), std::string::npos);
  EXPECT_NE(requests[0].query.find("rdid=6D92078A-8246-4BA4-AE5B-76104861E7DC"), std::string::npos);
  EXPECT_NE(requests[0].query.find("retry=0"), std::string::npos);

  ASSERT_EQ(LinkTakingDelegate::opened.size(), 1u);
  EXPECT_EQ(LinkTakingDelegate::opened[0].first, "focus://promo?utm_campaign=launch_week&utm_source=ads");
  EXPECT_EQ(LinkTakingDelegate::opened[0].second.at("timestamp").string(), "1700000000");
  const auto logged = campaignEvents();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(stringParameter(logged[0], "campaign"), "launch_week");
  EXPECT_EQ(stringParameter(logged[0], "_cis"), "ddp");
  EXPECT_EQ(stringParameter(logged[0], "gclid"), "G1");
  EXPECT_EQ(stringParameter(logged[0], "gbraid"), "B1");
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->deferredDeepLinkRetrievalComplete().integerValue(), 0);

  // Never asked again.
  freshProcess();
  launchApp();
  configure();
  EXPECT_EQ(service_.requestsTo(local_service::kDeferredDeepLinkPath).size(), 1u);
  EXPECT_TRUE(loggedCode(23194));
}

TEST_F(DeferredDeepLinkTest, FailuresCountTowardsTheRetryLimitAndNoContentCompletes) {
  useDeferredDeepLinks(true);
  giveAdvertisingIdentifier();
  service_.setAnswer(std::string(local_service::kDeferredDeepLinkPath), local_service::Answer::withStatus(503));
  launchApp();
  configure();
  EXPECT_TRUE(loggedCode(23199));
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->deferredDeepLinkRetryCount(), 1);
  EXPECT_TRUE(APMPersistedConfig::sharedInstance()->deferredDeepLinkRetrievalComplete().isNull());

  // The next launch asks again with the retry count; 204 completes without an event.
  service_.clearAnswers();
  freshProcess();
  recordEvents();
  launchApp();
  configure();
  const auto requests = service_.requestsTo(local_service::kDeferredDeepLinkPath);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].query.find("retry=1"), std::string::npos);
  EXPECT_TRUE(campaignEvents().empty());
  EXPECT_TRUE(LinkTakingDelegate::opened.empty());
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->deferredDeepLinkRetrievalComplete().integerValue(), 0);
}

TEST_F(DeferredDeepLinkTest, NothingIsAskedWithoutTheSwitchOrWithLimitedTracking) {
  useDeferredDeepLinks(false);
  giveAdvertisingIdentifier();
  launchApp();
  configure();
  EXPECT_TRUE(service_.requestsTo(local_service::kDeferredDeepLinkPath).empty());
  EXPECT_FALSE(loggedCode(23193) || loggedCode(23196) || loggedCode(23197));

  freshProcess();
  useDeferredDeepLinks(true);
  APMDefaultIdentitySupport::resetSharedInstanceForTesting();
  platform::runtime::unregisterClass("ASIdentifierManager");
  launchApp();
  configure();
  EXPECT_TRUE(service_.requestsTo(local_service::kDeferredDeepLinkPath).empty());
  EXPECT_TRUE(loggedCode(23196));
}

TEST(DeepLinkInfo, ResponseBodiesThatCarryNoLinkGiveNothing) {
  const auto data = [](std::string_view s) { return platform::Data(s.begin(), s.end()); };
  EXPECT_FALSE(APMMeasurement::deepLinkInfoFromResponseData({}));
  EXPECT_FALSE(APMMeasurement::deepLinkInfoFromResponseData(data("{not json")));
  EXPECT_FALSE(APMMeasurement::deepLinkInfoFromResponseData(data("[1]")));
  EXPECT_FALSE(APMMeasurement::deepLinkInfoFromResponseData(data(R"({"deeplink": 5})")));
  EXPECT_FALSE(APMMeasurement::deepLinkInfoFromResponseData(data(R"({"deeplink": "no scheme here"})")));
  const auto info = APMMeasurement::deepLinkInfoFromResponseData(data(R"({"deeplink": "focus://x", "gclid": "g"})"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->at("gclid").string(), "g");
}

}  // namespace
