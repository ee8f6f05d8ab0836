#include "sdk/analytics/common/apm_monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "platform/foundation/system_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/common/apm_error.h"
#include "tests/sdk/analytics/monitor_recorder.h"

namespace {

// A console sink that keeps what it is given.
class CapturingLogger : public APMLogging {
 public:
  struct Line {
    std::string message;
    std::string tag;
    std::int64_t code;
    std::int64_t level;
  };
  void logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                  std::int64_t logLevel) override {
    std::lock_guard lock(mutex);
    lines.push_back({message, logTag, messageCode, logLevel});
  }
  std::mutex mutex;
  std::vector<Line> lines;
};

class APMMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VULLoggerResetForTesting();
    VULLoggerSetLevel(VULLoggerLevelDebug);
    monitor_ = APMMonitor::initWithLogLevel(6, logger_, 81500);
  }
  void TearDown() override { VULLoggerResetForTesting(); }

  std::optional<platform::Value::Array> healthEntry() {
    monitor_->waitUntilIdle();
    return platform::UserDefaults::suite(kAPMMonitorSuiteName)->arrayForKey(kAPMHealthMonitorKey);
  }
  std::vector<CapturingLogger::Line> printed() {
    monitor_->waitUntilIdle();
    std::lock_guard lock(logger_->mutex);
    return logger_->lines;
  }

  std::shared_ptr<CapturingLogger> logger_ = std::make_shared<CapturingLogger>();
  std::shared_ptr<APMMonitor> monitor_;
};

TEST_F(APMMonitorTest, LevelsDecideWhatIsPrintedAndWhatIsCounted) {
  struct Case {
    std::int64_t level;
    bool printed;
    bool counted;
  };
  const Case cases[] = {{0, true, false}, {1, true, true},  {2, false, true}, {3, true, false}, {4, true, true},
                        {5, false, true}, {6, true, false}, {7, true, false}, {8, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    monitor_->clearMonitoringData();
    logger_->lines.clear();
    monitor_->logWithLevel(c.level, 100 + c.level, "Message");
    const auto lines = printed();
    EXPECT_EQ(lines.size(), c.printed ? 1u : 0u);
    if (c.printed) {
      EXPECT_EQ(lines[0].code, 100 + c.level);
      EXPECT_EQ(lines[0].tag, "<DavEroriveduve>");
    }
    EXPECT_EQ(healthEntry().has_value(), c.counted);
  }
}

TEST_F(APMMonitorTest, VerboseLevelPrintsOnlyWhileVerboseLoggingIsOn) {
  monitor_->setVerboseLoggingEnabled(true);
  logger_->lines.clear();
  monitor_->logWithLevel(8, 1, "Verbose");
  monitor_->logWithLevel(9, 2, "Beyond");
  const auto lines = printed();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "Verbose");
  // Above 8 is silent but counted while verbose.
  ASSERT_TRUE(healthEntry().has_value());
  EXPECT_EQ((*healthEntry())[2].string(), "1?_81500:Beyond");
}

TEST_F(APMMonitorTest, ConsoleLinesDescribeOrEncodeTheirContexts) {
  const APMExceptionInfo exception{"Boom", "it broke", {"0 a", "1 b", "2 Lib 0x1 -[APMThing run] + 12"}};
  const APMMonitor::Contexts contexts{APMObject::null(), "text", 7, exception};
  EXPECT_EQ(APMMonitor::stringWithLogMessage("Msg", 0, contexts, false),
            "Msg: (nil), text, 7, -[APMThing run]: it broke");
  EXPECT_EQ(APMMonitor::stringWithLogMessage("Msg", 0, contexts, true), "Msg: , -, 7, -[APMThing run]");
  EXPECT_EQ(APMMonitor::stringWithLogMessage(std::nullopt, 0, {}, false), "(Message was nil)");
  EXPECT_EQ(APMMonitor::stringWithLogMessage("", 0, {}, false), "(Message was empty)");
}

TEST_F(APMMonitorTest, ContextEncodingHidesTextAndRoundsNumbersToDecades) {
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray({APMObject::null(), "secret", 7, 150, -150}, false),
            ",-,7,100...999,-999...-100");
  EXPECT_EQ(APMMonitor::encodedStringWithContextObject(12345), "10000...99999");
  EXPECT_EQ(APMMonitor::encodedStringWithContextObject(-99), "-99");
  EXPECT_EQ(APMMonitor::encodedStringWithContextObject(platform::Error("Domain", 1)), "Domain");
  EXPECT_EQ(APMMonitor::encodedStringWithContextObject(APMExceptionInfo{"Name", "", {}}), "Name");
  EXPECT_EQ(APMMonitor::encodedStringWithContextObject(APMOpaqueObject{"Thing", "x"}), "?");
}

TEST_F(APMMonitorTest, HealthKeyAndMonitorContextsOfEngineErrors) {
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("Foo", 4, 81500), "1W_81500:Foo");
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("Foo", 1, 81500), "1E_81500:Foo");
  monitor_->logWithLevel(1, 5, "Failed", APMAdditions::apm_errorWithCode(3, "d", "ctx"), 42);
  const auto entry = healthEntry();
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ((*entry)[0].string(), "com.videzu.vmp.measurement.ErrorDomain,42,ctx");
  EXPECT_EQ((*entry)[1].integerValue(), 1);
}

TEST_F(APMMonitorTest, SamplingKeepsOneEntryWithThePopulationAndDispatchesItOncePerPeriod) {
  std::set<std::string> seen;
  for (int round = 0; round < 8; ++round) {
    monitor_->clearMonitoringData();
    for (int i = 0; i < 200; ++i) monitor_->logWithLevel(4, 1, "M" + std::to_string(i));
    const auto entry = healthEntry();
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ((*entry)[1].integerValue(), 200);
    seen.insert((*entry)[2].string());
  }
  // Uniform over 200 messages: eight rounds almost never pick the same one every time.
  EXPECT_GT(seen.size(), 1u);

  const double now = platform::Clock::current().now().timeIntervalSince1970();
  EXPECT_EQ(monitor_->monitoringDataForDispatchWithSamplePeriod(3600, now - 10), std::nullopt);
  platform::testing::advance(3601);
  const auto data = monitor_->monitoringDataForDispatchWithSamplePeriod(3600, now);
  ASSERT_TRUE(data.has_value());
  EXPECT_TRUE(data->starts_with("200:1W_81500:M")) << *data;
  EXPECT_EQ(monitor_->monitoringDataForDispatchWithSamplePeriod(3600, now + 3601), std::nullopt);
  // No entry and a dispatch older than the period: a period without messages.
  EXPECT_EQ(monitor_->monitoringDataForDispatchWithSamplePeriod(3600, now - 7200), "0:");
  EXPECT_EQ(monitor_->monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);
}

TEST_F(APMMonitorTest, InvalidStoredEntriesAreDroppedAndOldEntriesMigrate) {
  EXPECT_FALSE(APMMonitoringSampledData::isValidUserDefaultsArrayEntry(platform::Value::array({"a", 1, "k"})));
  EXPECT_FALSE(APMMonitoringSampledData::isValidUserDefaultsArrayEntry(platform::Value::array({"a", "1", "k", "d"})));
  const platform::Date date = platform::Clock::current().now();
  const platform::Value::Array entry{"ctx", 3, "1W_81500:Old", date};
  EXPECT_TRUE(APMMonitoringSampledData::isValidUserDefaultsArrayEntry(platform::Value(entry)));

  monitor_->waitUntilIdle();
  auto suite = platform::UserDefaults::suite(kAPMMonitorSuiteName);
  suite->removeObjectForKey(kAPMMonitorMigrationStateKey);
  auto standard = platform::UserDefaults::standard();
  standard->setObject(platform::Value(entry), kAPMHealthMonitorKey);
  auto monitor = APMMonitor::initWithLogLevel(6, logger_, 81500);
  monitor->waitUntilIdle();
  EXPECT_TRUE(standard->objectForKey(kAPMHealthMonitorKey).isNull());
  EXPECT_EQ(suite->integerForKey(kAPMMonitorMigrationStateKey), 2);
  platform::testing::advance(10);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(5, 0), "3:1W_81500:Old:ctx");
}

TEST_F(APMMonitorTest, DebugAndVerboseSwitchesSetLevelsAndStoredFlags) {
  monitor_->setDebugModeEnabled(true);
  EXPECT_EQ(monitor_->logLevel(), 7);
  EXPECT_TRUE(monitor_->isDebugModeEnabled());
  EXPECT_TRUE(platform::UserDefaults::standard()->boolForKey(kAPMDebugModeKey));
  monitor_->setVerboseLoggingEnabled(true);
  EXPECT_EQ(monitor_->logLevel(), 8);
  monitor_->setVerboseLoggingEnabled(false);
  EXPECT_EQ(monitor_->logLevel(), 7);
  monitor_->setDebugModeEnabled(false);
  EXPECT_EQ(monitor_->logLevel(), 6);
  EXPECT_FALSE(platform::UserDefaults::standard()->objectForKey(kAPMDebugModeKey).isBool());
  const auto lines = printed();
  std::vector<std::int64_t> codes;
  for (const auto& line : lines) codes.push_back(line.code);
  // "Verbose logging is on" is logged before the flag is set, "off" before it is cleared;
  // "Debug mode is off" comes after the shared logger went back to notice.
  EXPECT_EQ(codes, (std::vector<std::int64_t>{24000, 24004}));
}

TEST_F(APMMonitorTest, LaunchArgumentsWinOverStoredSwitches) {
  platform::UserDefaults::standard()->setBool(true, kAPMDebugModeKey);
  {
    auto facts = platform::SystemInfo::facts();
    facts.arguments = {"app", "-VDZDebugDisabled"};
    platform::SystemInfo::ScopedFacts scoped(facts);
    auto monitor = APMMonitor::initWithLogLevel(6, logger_, 81500);
    EXPECT_FALSE(monitor->isDebugModeEnabled());
    EXPECT_TRUE(monitor->deferToVDZLogger());
    EXPECT_EQ(monitor->logLevel(), 6);
  }
  platform::UserDefaults::standard()->setBool(true, kAPMDebugModeKey);
  auto monitor = APMMonitor::initWithLogLevel(6, logger_, 81500);
  EXPECT_TRUE(monitor->isDebugModeEnabled());
}

class APMASLLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { VULLoggerResetForTesting(); }
  void TearDown() override { VULLoggerResetForTesting(); }
  std::vector<std::string> lines() {
    platform::testing::drain(VULLoggerQueue());
    return capture_.logs();
  }
  platform::testing::LogCapture capture_;
};

TEST_F(APMASLLoggerTest, LevelsTranslateAndDebugLinesAreForced) {
  const std::map<std::int64_t, VULLoggerLevel> table{{0, 3}, {2, 3}, {3, 4}, {5, 4}, {6, 5},
                                                     {7, 7}, {8, 7}, {9, 4}, {-1, 4}};
  for (const auto& [level, expected] : table) EXPECT_EQ(APMASLLogger::VULLoggerLevelFromLogLevel(level), expected);

  VULLoggerSetLevel(VULLoggerLevelWarning);
  APMASLLogger logger;
  logger.logMessage("Timer scheduled 100% sure", "<DavEroriveduve>", 2002, 7);
  logger.logMessage("hidden", "<DavEroriveduve>", 5, 6);
  EXPECT_EQ(lines(), (std::vector<std::string>{" - <DavEroriveduve>[I-ACS002002] Timer scheduled 100%% sure"}));
}

// A test's observer records into the test's own state: once the test replaces it, a worker still
// inside a call to it must have left, or it writes into what the test has since destroyed.
TEST_F(APMMonitorTest, AReplacedObserverHasLeftEveryCallWhenTheReplacementReturns) {
  std::promise<void> entered;
  std::promise<void> release;
  auto released = release.get_future().share();
  std::atomic<int> calls{0};
  monitor_->setObserver([&, released](std::int64_t, std::int64_t, const std::string&, const APMMonitor::Contexts&) {
    if (calls++ == 0) entered.set_value();
    released.wait_for(std::chrono::seconds(60));
  });
  std::thread worker([&] { monitor_->logWithLevel(6, 1, "from a worker"); });
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);

  std::atomic<bool> replaced{false};
  std::thread replacer([&] {
    monitor_->setObserver(nullptr);
    replaced = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(replaced) << "the replacement returned while the old observer was still running";
  release.set_value();
  replacer.join();
  worker.join();
  EXPECT_TRUE(replaced);
  monitor_->logWithLevel(6, 2, "after the replacement");
  EXPECT_EQ(calls, 1);
}

// An observer that replaces itself cannot wait for its own call to end: it goes on at once.
TEST_F(APMMonitorTest, AnObserverMayReplaceItself) {
  int calls = 0;
  monitor_->setObserver([&](std::int64_t, std::int64_t, const std::string&, const APMMonitor::Contexts&) {
    ++calls;
    monitor_->setObserver(nullptr);
  });
  monitor_->logWithLevel(6, 1, "first");
  monitor_->logWithLevel(6, 2, "second");
  EXPECT_EQ(calls, 1);
}

TEST(APMMonitorSharedTest, ProcessMonitorIsReachedThroughAPMLog) {
  MonitorRecorder recorder;
  APMLog(3, 24002, "Context", "a", 2);
  ASSERT_EQ(recorder.lines().size(), 1u);
  EXPECT_EQ(recorder.lines()[0].contexts.size(), 2u);
  EXPECT_EQ(APMMonitor::logLevelDescriptionFromLogLevel(5), "WARNING");
  EXPECT_EQ(APMMonitor::logLevelDescriptionFromLogLevel(8), std::nullopt);
}

}  // namespace
