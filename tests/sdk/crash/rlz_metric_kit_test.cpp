// Diagnostic payloads of earlier runs into record lines, from fixtures in the phone's format
// delivered by the platform's stand-in, and the launch's wait for them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "crash_test_support.h"
#include "platform/foundation/json.h"
#include "platform/metrics/metric_manager.h"
#include "platform/testing/testing.h"
#include "sdk/crash/capture/rlz_crash_capture.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_user_defaults.h"
#include "sdk/crash/reports/rlz_call_stack_tree.h"
#include "sdk/crash/reports/rlz_manager_data.h"
#include "sdk/crash/reports/rlz_metric_kit_manager.h"
#include "sdk/crash/reports/rlz_on_demand_model.h"
#include "sdk/crash/reports/rlz_report_manager.h"
#include "sdk/crash/reports/rlz_report_uploader.h"
#include "sdk/crash/settings/rlz_settings.h"

namespace {

namespace fs = std::filesystem;
namespace mx = platform::metrics;

std::string fixture(const std::string& name) {
  return crash_test::readFile(std::string(std::getenv("FOCUS_SOURCE_DIR")) + "/tests/fixtures/metrickit/" + name);
}

std::shared_ptr<mx::MXDiagnosticPayload> payload(const std::string& name) {
  auto json = platform::JSON::parse(fixture(name));
  return json ? mx::MXDiagnosticPayload::payloadWithJSON(*json) : nullptr;
}

std::vector<platform::Value> lines(const fs::path& path) {
  std::vector<platform::Value> result;
  std::istringstream in(crash_test::readFile(path));
  for (std::string line; std::getline(in, line);) {
    auto value = platform::JSON::parse(line);
    result.push_back(value ? *value : platform::Value());
  }
  return result;
}

void writeMetadata(const fs::path& directory, const std::string& session, std::uint64_t startedAt) {
  fs::create_directories(directory);
  crash_test::writeFile(directory / "metadata.rlzrecord",
                        "{\"identity\":{\"build_version\":\"8.15.0\",\"session_id\":\"" + session +
                            "\",\"started_at\":" + std::to_string(startedAt) + "}}\n");
}

class RLZMetricKitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RLZUserDefaults::resetStandardUserDefaultsForTesting();
    RLZFileManager::resetCrashMarkerCheckForTesting();
    mx::MXMetricManager::sharedManager()->resetForTesting();
    files_ = std::make_shared<RLZFileManager>();
    files_->createReportDirectories();
    fs::create_directories(files_->settingsDirectoryPath());
    crash_test::writeFile(files_->settingsFilePath(), R"({"features":{"collect_metric_kit":true}})");
    settings_ = std::make_shared<RLZSettings>(files_, nullptr);
    settings_->cacheSettingsWithVidezuAppID("app", platform::Date::now().timeIntervalSinceReferenceDate());
    auto arbiter = std::make_shared<RLZDataCollectionArbiter>(
        nullptr, platform::Value::Dictionary{{"VuduzaraRalitozeCollectionEnabled", platform::Value(true)}});
    data_ = std::make_shared<RLZManagerData>("app", nullptr, nullptr, nullptr, files_, arbiter, settings_,
                                             std::make_shared<RLZOnDemandModel>(settings_));
    existing_ = std::make_shared<RLZExistingReportManager>(data_, std::make_shared<RLZReportUploader>(data_));
    current_ = fs::path(files_->activePath()) / data_->executionIDModel->executionID();
    fs::create_directories(current_);
  }
  void TearDown() override { mx::MXMetricManager::sharedManager()->resetForTesting(); }

  std::shared_ptr<RLZMetricKitManager> manager() {
    return std::make_shared<RLZMetricKitManager>(data_, existing_, files_);
  }
  void waitingDiagnostic(const std::string& name) {
    fs::create_directories(mx::MXMetricManager::diagnosticsDirectory());
    crash_test::writeFile(mx::MXMetricManager::diagnosticsDirectory() / name, fixture(name));
  }

  std::shared_ptr<RLZFileManager> files_;
  std::shared_ptr<RLZSettings> settings_;
  std::shared_ptr<RLZManagerData> data_;
  std::shared_ptr<RLZExistingReportManager> existing_;
  fs::path current_;
};

TEST_F(RLZMetricKitTest, CrashBecomesTwoFatalLinesOfTheFirstDiagnosticOnly) {
  auto crash = payload("crash_sigsegv.json");
  ASSERT_TRUE(crash);
  manager()->didReceiveDiagnosticPayloads({crash, payload("crash_signal_only.json")});
  const auto fatal = lines(current_ / "metric_kit_fatal.rlzrecord");
  ASSERT_EQ(fatal.size(), 2u);  // the second payload's crash is not written
  const auto& object = fatal[0]["metric_kit_fatal"];
  EXPECT_EQ(object["name"], platform::Value("EXC_BAD_ACCESS"));
  EXPECT_EQ(object["code_name"], platform::Value(""));
  EXPECT_EQ(object["exception_type"], platform::Value(1));
  EXPECT_EQ(object["exception_code"], platform::Value(0));
  EXPECT_EQ(object["signal"], platform::Value(11));
  EXPECT_EQ(object["time"], platform::Value(1796688000));  // 2026-12-08 00:00:00 UTC
  EXPECT_EQ(object["end_time"], platform::Value(1796774340));  // 23:59 that day
  EXPECT_EQ(object["termination_reason"], platform::Value("Namespace SIGNAL, Code 11 Segmentation fault: 11"));
  EXPECT_EQ(object["virtual_memory_region_info"], platform::Value("0 is not in any region."));
  EXPECT_EQ(object["app_version"], platform::Value("1.0"));
  EXPECT_EQ(object["metadata"]["deviceType"], platform::Value("iPhone15,2"));
  // The blamed thread's chain follows the first sub-frame; its sibling is left out.
  const auto expected = platform::Value::array({
      platform::Value::dictionary({{"registers", platform::Value::dictionary({})},
                                   {"stacktrace", platform::Value::array({4301234567, 4301231111, 7000000000})},
                                   {"crashed", true}}),
      platform::Value::dictionary({{"registers", platform::Value::dictionary({})},
                                   {"stacktrace", platform::Value::array({7000004096})},
                                   {"crashed", false}}),
  });
  EXPECT_EQ(fatal[1]["threads"], expected);
  EXPECT_FALSE(fs::exists(current_ / "metric_kit_nonfatal.rlzrecord"));
}

TEST_F(RLZMetricKitTest, WhatAPayloadLeavesOutStaysOut) {
  manager()->didReceiveDiagnosticPayloads({payload("crash_signal_only.json")});
  const auto fatal = lines(current_ / "metric_kit_fatal.rlzrecord");
  ASSERT_EQ(fatal.size(), 2u);
  const auto* object = fatal[0]["metric_kit_fatal"].ifDictionary();
  ASSERT_TRUE(object);
  EXPECT_FALSE(object->contains("exception_type"));
  EXPECT_FALSE(object->contains("exception_code"));
  // Signal 10 is the phone's SIGBUS (7 on this host).
  EXPECT_EQ(object->at("signal"), platform::Value(10));
  EXPECT_EQ(object->at("name"), platform::Value("SIGBUS"));
  EXPECT_EQ(object->at("termination_reason"), platform::Value(""));
  EXPECT_EQ(object->at("virtual_memory_region_info"), platform::Value(""));
}

TEST_F(RLZMetricKitTest, NonfatalKindsBecomeOneLineEachInOrder) {
  EXPECT_TRUE(manager()->processMetricKitPayload(*payload("hang_cpu_disk.json"), false));
  const auto nonfatal = lines(current_ / "metric_kit_nonfatal.rlzrecord");
  ASSERT_EQ(nonfatal.size(), 3u);
  struct Expected {
    const char* name;
    const char* key;
    double value;
  } expected[] = {{"hang_event", "hang_duration", 5.5},
                  {"cpu_exception_event", "total_sampled_time", 180},
                  {"disk_write_exception_event", "total_writes_caused", 2048}};
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& object = nonfatal[i]["exception"];
    EXPECT_EQ(object["type"], platform::Value("metrickit_nonfatal"));
    EXPECT_EQ(object["name"], platform::Value(expected[i].name));
    EXPECT_DOUBLE_EQ(object[expected[i].key].doubleValue(), expected[i].value);
    EXPECT_EQ(object["app_version"], platform::Value("1.0"));
  }
  EXPECT_EQ(nonfatal[0]["exception"]["threads"],
            platform::Value::array({platform::Value::dictionary(
                {{"pc", 4300000011}, {"offset", 11}, {"line", 0}})}));
  EXPECT_EQ(nonfatal[1]["exception"]["total_cpu_time"], platform::Value(90.0));
  EXPECT_FALSE(fs::exists(current_ / "metric_kit_fatal.rlzrecord"));
  // A payload with nothing in it is no payload.
  auto empty = mx::MXDiagnosticPayload::payloadWithJSON(
      *platform::JSON::parse(R"({"timeStampBegin":"2026-12-09 00:00:00","timeStampEnd":"2026-12-09 00:00:01"})"));
  ASSERT_TRUE(empty);
  EXPECT_FALSE(manager()->processMetricKitPayload(*empty, false));
}

TEST_F(RLZMetricKitTest, CrashGoesToTheNewestUnsentReportWhenThereIsOne) {
  writeMetadata(fs::path(files_->activePath()) / "older", "older", 100);
  writeMetadata(fs::path(files_->activePath()) / "newest", "newest", 200);
  for (const char* name : {"older", "newest"}) {
    crash_test::writeFile(fs::path(files_->activePath()) / name / "signal.rlzrecord", "{}\n");
  }
  fs::remove_all(current_);
  existing_->collectExistingReports();
  fs::create_directories(current_);
  manager()->didReceiveDiagnosticPayloads({payload("crash_signal_only.json"), payload("hang_only.json")});
  EXPECT_EQ(lines(fs::path(files_->activePath()) / "newest" / "metric_kit_fatal.rlzrecord").size(), 2u);
  EXPECT_FALSE(fs::exists(current_ / "metric_kit_fatal.rlzrecord"));
  // Non-fatal diagnostics always belong to this run.
  EXPECT_EQ(lines(current_ / "metric_kit_nonfatal.rlzrecord").size(), 1u);
}

TEST_F(RLZMetricKitTest, PromiseResolvesAtOnceOnDeliveryOrAfterThreeSeconds) {
  struct Case {
    const char* what;
    bool crashed;
    bool waiting;
    double deliveryDelay;
    double resolvedAfter;  // virtual seconds after registration
  } cases[] = {
      {"no crash last run", false, true, 0.5, 0},
      {"crash, nothing waiting", true, false, 0.5, 0},
      {"crash, delivered", true, true, 1, 1},
      {"crash, never delivered", true, true, 100, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RLZFileManager::resetCrashMarkerCheckForTesting();
    fs::remove_all(mx::MXMetricManager::diagnosticsDirectory());
    fs::remove(fs::path(files_->rootPath()) / "previously-crashed");
    if (c.crashed) crash_test::writeFile(fs::path(files_->rootPath()) / "previously-crashed", "");
    if (c.waiting) waitingDiagnostic("crash_sigsegv.json");
    mx::MXMetricManager::sharedManager()->setDeliveryDelay(c.deliveryDelay);
    auto kit = manager();
    kit->registerMetricKitManager();
    auto promise = kit->waitForMetricKitDataAvailable();
    platform::testing::runUntilIdle();
    EXPECT_EQ(promise->isFulfilled(), c.resolvedAfter == 0);
    if (c.resolvedAfter > 0) {
      platform::testing::advance(c.resolvedAfter - 0.1);
      EXPECT_TRUE(promise->isPending());
      platform::testing::advance(0.2);
      platform::testing::drain(data_->dispatchQueue);
      EXPECT_TRUE(promise->isFulfilled());
    }
    platform::testing::advance(200);
    mx::MXMetricManager::sharedManager()->resetForTesting();
  }
}

TEST(RLZCallStackTreeTest, FlattensAlongTheFirstChildAndBlamesTheFirstBlamedThread) {
  const auto tree = mx::MXJSONObject(*platform::JSON::parse(R"({"callStackPerThread":true,"callStacks":[
      {"threadAttributed":false,"callStackRootFrames":[{"address":1,"offsetIntoBinaryTextSegment":1}]},
      {"threadAttributed":true,"callStackRootFrames":[{"address":2,"subFrames":[{"address":3,"subFrames":[]},
        {"address":4}]},{"address":5}]}]})"));
  const auto converted = RLZCallStackTree::initWithMXCallStackTree(tree);
  ASSERT_TRUE(converted);
  EXPECT_TRUE(converted->callStackPerThread());
  ASSERT_EQ(converted->threads().size(), 2u);
  EXPECT_EQ(converted->threads()[1].frames.size(), 2u);
  const auto blamed = converted->getFramesOfBlamedThread();
  ASSERT_EQ(blamed.size(), 2u);
  EXPECT_EQ(blamed[1]["pc"], platform::Value(3));
  // No threads at all: nothing blamed, nothing written.
  const auto none = RLZCallStackTree::initWithMXCallStackTree(mx::MXJSONObject(platform::Value::dictionary({})));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->getFramesOfBlamedThread().empty());
  EXPECT_EQ(RLZMetricKitManager::getSignalName(10), "SIGBUS");
  EXPECT_EQ(RLZMetricKitManager::getSignalName(7), "UNKNOWN");
}

// The whole launch: the previous run crashed and its diagnostic waits; the crash lands in that
// run's report before the report is packaged.
TEST_F(RLZMetricKitTest, LaunchWaitsForThePreviousRunsCrashBeforePackaging) {
  fs::remove_all(current_);
  writeMetadata(fs::path(files_->activePath()) / "crashed", "crashed", 100);
  crash_test::writeFile(fs::path(files_->rootPath()) / "previously-crashed", "");
  waitingDiagnostic("crash_sigsegv.json");
  mx::MXMetricManager::sharedManager()->setDeliveryDelay(2);
  auto reports = std::make_shared<RLZReportManager>(data_, existing_);
  reports->setSettingsManager(nullptr);
  ASSERT_TRUE(reports->metricKitManager());
  auto started = reports->startWithProfilingMark(0);
  platform::testing::runUntilIdle();
  platform::testing::drain(data_->dispatchQueue);
  // The empty newest report got a fatal file at collection and is kept; nothing moves yet.
  EXPECT_TRUE(fs::exists(fs::path(files_->activePath()) / "crashed" / "metric_kit_fatal.rlzrecord"));
  EXPECT_TRUE(started->isPending());
  platform::testing::advance(2.5);
  for (int i = 0; i < 3; ++i) {
    platform::testing::runUntilIdle();
    platform::testing::drain(data_->dispatchQueue);
  }
  EXPECT_TRUE(started->isFulfilled());
  const fs::path prepared = fs::path(files_->preparedPath()) / "crashed" / "metric_kit_fatal.rlzrecord";
  ASSERT_TRUE(fs::exists(prepared));
  EXPECT_EQ(lines(prepared).size(), 2u);
  EXPECT_TRUE(fs::is_empty(mx::MXMetricManager::diagnosticsDirectory()));
  RLZCrashCaptureUninstallForTesting();
  RLZContextResetForTesting();
}

// The shared metric manager is reached from workers (a subscription, a delivery it scheduled on
// its queue) that may still run while the app returns from main: it outlives static destruction.
// A fresh copy of this binary subscribes on a thread of its own while it exits.
TEST(MXMetricManagerExitTest, ChildSubscribesWhileExiting) {
  if (!platform::testing::isExitTestChild()) GTEST_SKIP() << "runs only as the child of the exit test";
  platform::testing::exitWhileUsingOnAThread([] {
    const auto manager = mx::MXMetricManager::sharedManager();
    const auto subscriber = std::make_shared<mx::MXMetricManagerSubscriber>();
    manager->addSubscriber(subscriber);
    manager->removeSubscriber(subscriber);
    return manager != nullptr;
  });
}

TEST(MXMetricManagerExitTest, SharedManagerStaysUsableWhileTheProcessExits) {
  EXPECT_EQ(platform::testing::runExitTestChild("MXMetricManagerExitTest.ChildSubscribesWhileExiting"), "");
}

}  // namespace
