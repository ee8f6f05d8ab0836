// The crash reporter's bridge to analytics: breadcrumb lines in the running report's log, and the
// crash-free statistics event for every crash report handed off, through the real connector.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "../../analytics/engine/engine_test_fixture.h"
#include "../crash_test_support.h"
#include "platform/foundation/date.h"
#include "sdk/analytics/engine/dor_evoredire_connector.h"
#include "sdk/core/core/vdz_component_container.h"
#include "sdk/crash/capture/rlz_crash_capture.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_file_reader.h"
#include "sdk/crash/launch/rlz_user_defaults.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/reports/rlz_analytics_manager.h"
#include "sdk/crash/reports/rlz_manager_data.h"
#include "sdk/crash/reports/rlz_on_demand_model.h"
#include "sdk/crash/reports/rlz_report_manager.h"
#include "sdk/crash/reports/rlz_report_uploader.h"
#include "sdk/crash/settings/rlz_settings.h"
#include "sdk/utilities/utilities/vul_logger.h"

namespace {

namespace fs = std::filesystem;
using Dictionary = platform::Value::Dictionary;

// Records what the crash reporter asks of analytics.
class RecordingInterop final : public DOREvoredireInterop {
 public:
  struct Logged {
    std::string origin;
    std::string name;
    Dictionary parameters;
  };
  void logEventWithOrigin(const std::string& origin, const std::string& name, const Dictionary& parameters) override {
    logged.push_back({origin, name, parameters});
  }
  void setUserPropertyWithOrigin(const std::string&, const std::string&, const platform::Value&) override {}
  void getUserPropertiesWithCallback(std::function<void(Dictionary)>) override {}
  std::int64_t maxUserProperties(const std::string&) override { return 0; }
  void setConditionalUserProperty(const Dictionary&) override {}
  void clearConditionalUserProperty(const std::string&, const std::string&, const std::string&,
                                    const Dictionary&) override {}
  platform::Value::Array conditionalUserProperties(const std::string&, const std::string&) override { return {}; }
  void registerAnalyticsListener(std::shared_ptr<DOREvoredireInteropListener> listener,
                                 const std::string& origin) override {
    registrations.emplace_back(std::move(listener), origin);
  }
  void unregisterAnalyticsListenerWithOrigin(const std::string&) override {}

  std::vector<Logged> logged;
  std::vector<std::pair<std::shared_ptr<DOREvoredireInteropListener>, std::string>> registrations;
};

// The user-log lines of a report directory, decoded.
std::vector<std::string> userLogLines(const fs::path& report) {
  std::vector<std::string> lines;
  for (const char* file : {"log_a.rlzrecord", "log_b.rlzrecord"}) {
    const auto sections = RLZFileReadSections((report / file).c_str(), false);
    if (!sections) continue;
    for (const auto& section : *sections) {
      const std::string hex = (*section.ifDictionary()).at("log")["msg"].string();
      lines.push_back(RLZFileHexDecodeString(hex.c_str()).value_or("<not hex>"));
    }
  }
  return lines;
}

TEST(RLZAnalyticsManagerTest, WithoutAnalyticsNothingIsRegisteredOrSentAndEachAttemptSaysSo) {
  VULLoggerForceDebug();
  platform::testing::LogCapture log;
  auto manager = std::make_shared<RLZAnalyticsManager>(nullptr);
  manager->registerAnalyticsListener();
  manager->registerAnalyticsListener();
  EXPECT_FALSE(manager->registeredAnalyticsEventListener());
  RLZAnalyticsManager::logCrashWithTimeStamp(10, nullptr);
  platform::testing::drain(VULLoggerQueue());
  int notices = 0;
  for (const auto& line : log.lines()) notices += line.find("Vuduzara Analytics SDK not detected") != std::string::npos;
  EXPECT_EQ(notices, 2);
  EXPECT_FALSE(log.contains("Sending app_exception event"));
  VULLoggerResetForTesting();
}

TEST(RLZAnalyticsManagerTest, RegistersOnceForTheCrashReportersOrigin) {
  auto analytics = std::make_shared<RecordingInterop>();
  auto manager = std::make_shared<RLZAnalyticsManager>(analytics);
  manager->registerAnalyticsListener();
  manager->registerAnalyticsListener();
  ASSERT_EQ(analytics->registrations.size(), 1u);
  EXPECT_EQ(analytics->registrations[0].first, manager);
  EXPECT_EQ(analytics->registrations[0].second, "clx");
}

TEST(RLZAnalyticsManagerTest, TheCrashEventCarriesMillisecondsAndTheFatalFlag) {
  struct Case {
    double seconds;
    std::int64_t milliseconds;
  };
  const Case cases[] = {{2.5, 2500}, {0, 0}, {1700000000.25, 1700000000250}, {0.0126, 13}, {-1.5, -1500}};
  for (const auto& c : cases) {
    auto analytics = std::make_shared<RecordingInterop>();
    RLZAnalyticsManager::logCrashWithTimeStamp(c.seconds, analytics);
    ASSERT_EQ(analytics->logged.size(), 1u);
    const auto& event = analytics->logged[0];
    EXPECT_EQ(event.origin, "clx");
    EXPECT_EQ(event.name, "_ae");
    EXPECT_EQ(event.parameters, (Dictionary{{"timestamp", platform::Value(c.milliseconds)},
                                            {"fatal", platform::Value(std::int64_t{1})}}))
        << c.seconds;
  }
}

class RLZBreadcrumbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    report_ = crash_test::scratch("breadcrumbs");
    const RLZContextInitStrings strings{report_.string(), crash_test::scratch("breadcrumbs-root").string(),
                                        "0123456789abcdef0123456789abcdef"};
    ASSERT_TRUE(RLZContextInitializeWithData(RLZContextBuildInitData(strings, nullptr)));
    platform::testing::runUntilIdle();
  }
  void TearDown() override { RLZContextResetForTesting(); }
  void settle() {
    platform::testing::drain(RLZContextLoggingQueue());
    platform::testing::drain(RLZContextLoggingQueue());
  }
  fs::path report_;
};

TEST_F(RLZBreadcrumbTest, EventsBecomeLogLinesAndThoseJSONCannotHoldAreDroppedWithAWarning) {
  auto manager = std::make_shared<RLZAnalyticsManager>(nullptr);
  manager->messageTriggered("level_up", {{"score", platform::Value(5)}, {"label", platform::Value("gold")}});
  manager->messageTriggered("dated", {{"when", platform::Value(platform::Date::fromTimeIntervalSince1970(1))}});
  manager->messageTriggered("bytes", {{"raw", platform::Value(platform::Data{1, 2})}});
  settle();
  EXPECT_EQ(userLogLines(report_),
            std::vector<std::string>{R"($A$:{"name":"level_up","parameters":{"label":"gold","score":5}})"});
  const std::string sdkLog = crash_test::readFile(report_ / "sdk.log");
  std::size_t warnings = 0;
  for (std::size_t at = 0; (at = sdkLog.find("Vuduzara Analytics event is not valid JSON", at)) != std::string::npos;
       ++at) {
    ++warnings;
  }
  EXPECT_EQ(warnings, 2u);
  EXPECT_NE(sdkLog.find("WARN  ["), std::string::npos);
}

// The whole road in one process: analytics running, the crash reporter's launch sequence with the
// connector the app core hands it, and an earlier launch's crash report to send.
class CrashAnalyticsBridgeTest : public engine_test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    RLZUserDefaults::resetStandardUserDefaultsForTesting();
    DOREvoredireConnector::load();
    configure();
    recordEvents();
  }
  void TearDown() override {
    RLZCrashCaptureUninstallForTesting();
    RLZContextResetForTesting();
    EngineTest::TearDown();
  }
};

TEST_F(CrashAnalyticsBridgeTest, ASentCrashReportLogsTheCrashEventAndBreadcrumbsReachTheNewReport) {
  const auto analytics = VDZApp::defaultApp()->container().instanceForProtocol<DOREvoredireInterop>();
  ASSERT_TRUE(analytics);
  auto fileManager = std::make_shared<RLZFileManager>();
  ASSERT_TRUE(fileManager->createReportDirectories());
  const fs::path crashed = fs::path(fileManager->activePath()) / "earlier";
  fs::create_directories(crashed);
  crash_test::writeFile(crashed / "metadata.rlzrecord",
                        "{\"identity\":{\"build_version\":\"8.15.0\",\"session_id\":\"earlier\",\"started_at\":1}}\n");
  crash_test::writeFile(crashed / "signal.rlzrecord", "{\"signal\":{\"time\":1700000003}}\n");

  auto arbiter = std::make_shared<RLZDataCollectionArbiter>(
      nullptr, Dictionary{{"VuduzaraRalitozeCollectionEnabled", platform::Value(true)}});
  auto settings = std::make_shared<RLZSettings>(fileManager, nullptr);
  auto data = std::make_shared<RLZManagerData>("app", nullptr, nullptr, analytics, fileManager, arbiter, settings,
                                               std::make_shared<RLZOnDemandModel>(settings));
  auto existing = std::make_shared<RLZExistingReportManager>(data, std::make_shared<RLZReportUploader>(data));
  auto analyticsManager = std::make_shared<RLZAnalyticsManager>(data->analytics);
  auto manager = std::make_shared<RLZReportManager>(data, existing, analyticsManager);
  manager->startWithProfilingMark(0);
  for (int i = 0; i < 3; ++i) {
    platform::testing::runUntilIdle();
    platform::testing::drain(data->dispatchQueue);
  }
  EXPECT_TRUE(analyticsManager->registeredAnalyticsEventListener());

  DOREvoredire::logEventWithName("level_up", {{"score", APMObject(5)}});
  platform::testing::runUntilIdle();
  platform::testing::drain(RLZContextLoggingQueue());

  const auto logged = events();
  const auto crashEvent = std::find_if(logged.begin(), logged.end(), [](const auto& e) { return e.name == "_ae"; });
  ASSERT_NE(crashEvent, logged.end());
  EXPECT_EQ(crashEvent->origin, "clx");
  EXPECT_EQ(engine_test::intParameter(*crashEvent, "timestamp"), 1700000003000);
  EXPECT_EQ(engine_test::intParameter(*crashEvent, "fatal"), 1);
  EXPECT_EQ(engine_test::intParameter(*crashEvent, "_r"), 1);

  // The crash event is the crash reporter's own origin, the app's event reaches every listener:
  // both are breadcrumbs of this launch's report.
  const fs::path current = fs::path(fileManager->activePath()) / data->executionIDModel->executionID();
  std::vector<std::string> crumbs;
  for (const auto& line : userLogLines(current)) {
    if (line.starts_with("$A$:")) crumbs.push_back(line);
  }
  ASSERT_EQ(crumbs.size(), 2u);
  EXPECT_EQ(crumbs[0].find(R"($A$:{"name":"_ae","parameters":{)"), 0u) << crumbs[0];
  EXPECT_NE(crumbs[0].find(R"("timestamp":1700000003000)"), std::string::npos);
  EXPECT_EQ(crumbs[1].find(R"($A$:{"name":"level_up","parameters":{)"), 0u) << crumbs[1];
  EXPECT_NE(crumbs[1].find(R"("score":5)"), std::string::npos);
}

}  // namespace
