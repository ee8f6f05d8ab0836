// On-demand exceptions: the quota, the back-off on the platform clock, the reports kept while data
// collection is off, and the recording into a copy of the running report.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "crash_test_support.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/date.h"
#include "platform/testing/testing.h"
#include "sdk/crash/capture/rlz_crash_capture.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_user_defaults.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/reports/rlz_manager_data.h"
#include "sdk/crash/reports/rlz_on_demand_model.h"
#include "sdk/crash/reports/rlz_report_manager.h"
#include "sdk/crash/reports/rlz_report_uploader.h"
#include "sdk/crash/reports/vdz_stack_frame.h"
#include "sdk/crash/settings/rlz_settings.h"

namespace {

namespace fs = std::filesystem;

class RLZOnDemandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = std::make_shared<RLZFileManager>();
    files_->createReportDirectories();
    settings_ = std::make_shared<RLZSettings>(files_, nullptr);
  }
  // Cached, fresh settings with these top-level values.
  void useSettings(const std::string& json) {
    fs::create_directories(files_->settingsDirectoryPath());
    crash_test::writeFile(files_->settingsFilePath(), json);
    settings_->cacheSettingsWithVidezuAppID("app", platform::Date::now().timeIntervalSinceReferenceDate());
  }
  // A model whose recordings are directories under "active", counted in order.
  std::shared_ptr<RLZOnDemandModel> model() {
    auto model = std::make_shared<RLZOnDemandModel>(settings_);
    model->setRecorderForTesting([this](const VDZExceptionModel&, int recorded, int dropped) {
      const fs::path dir = fs::path(files_->activePath()) / ("od" + std::to_string(recordings_.size()));
      fs::create_directories(dir);
      recordings_.push_back({recorded, dropped});
      return std::optional<std::string>(dir.string());
    });
    return model;
  }
  void settleSteps(int seconds) {
    for (int i = 0; i < seconds; ++i) {
      platform::testing::runUntilIdle();
      platform::testing::advance(1);
    }
    platform::testing::runUntilIdle();
  }

  std::shared_ptr<RLZFileManager> files_;
  std::shared_ptr<RLZSettings> settings_;
  std::vector<std::pair<int, int>> recordings_;  // (recorded, dropped) each recording was given
  VDZExceptionModel exception_{"Name", "reason"};
};

TEST_F(RLZOnDemandTest, EleventhWhileTenWaitIsDroppedAndCountedIntoTheNext) {
  auto onDemand = model();
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(onDemand->recordOnDemandExceptionIfQuota(exception_, false, nullptr));
  platform::testing::runUntilIdle();
  EXPECT_EQ(onDemand->getQueuedOperationsCount(), 10);
  EXPECT_FALSE(onDemand->recordOnDemandExceptionIfQuota(exception_, false, nullptr));
  EXPECT_EQ(onDemand->droppedOnDemandExceptionCount(), 1);
  EXPECT_EQ(onDemand->recordedOnDemandExceptionCount(), 11);
  EXPECT_EQ(recordings_.size(), 10u);
  // The steps sleep in turn; once the first is done the quota has room again.
  settleSteps(7);
  EXPECT_EQ(onDemand->getQueuedOperationsCount(), 9);
  EXPECT_TRUE(onDemand->recordOnDemandExceptionIfQuota(exception_, false, nullptr));
  ASSERT_EQ(recordings_.size(), 11u);
  EXPECT_EQ(recordings_.back(), (std::pair{11, 1}));
  EXPECT_EQ(onDemand->droppedOnDemandExceptionCount(), 0);
  settleSteps(3600 * 3);
  EXPECT_EQ(onDemand->getQueuedOperationsCount(), 0);
}

TEST_F(RLZOnDemandTest, WithCollectionOffTheNewestFourAreKept) {
  auto onDemand = model();
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(onDemand->recordOnDemandExceptionIfQuota(exception_, false, nullptr));
    settleSteps(7);
  }
  const auto stored = onDemand->storedActiveReportPaths();
  ASSERT_EQ(stored.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(fs::path(stored[i]).filename(), "od" + std::to_string(4 - i));
  EXPECT_FALSE(fs::exists(fs::path(files_->activePath()) / "od0"));
  EXPECT_TRUE(fs::exists(fs::path(files_->activePath()) / "od1"));
  EXPECT_EQ(onDemand->recordedOnDemandExceptionCount(), 4);
  EXPECT_EQ(onDemand->droppedOnDemandExceptionCount(), 1);
}

TEST_F(RLZOnDemandTest, BackoffClimbsWhileFullAndFallsWhenIdle) {
  auto onDemand = model();
  EXPECT_DOUBLE_EQ(onDemand->currentStep(), -1.0);
  EXPECT_DOUBLE_EQ(onDemand->calculateUploadDelay(), 6.0);  // step 0: 60 / 10 per minute
  onDemand->setQueuedOperationsCount(10);
  platform::testing::advance(12);
  EXPECT_DOUBLE_EQ(onDemand->calculateStepDuration(), 2.0);
  EXPECT_DOUBLE_EQ(onDemand->calculateUploadDelay(), 6.0 * 1.5 * 1.5);
  platform::testing::advance(6 * 500);
  EXPECT_DOUBLE_EQ(onDemand->calculateStepDuration(), 100.0);
  EXPECT_DOUBLE_EQ(onDemand->calculateUploadDelay(), 3600.0);  // 1.5^100 * 6 s, cut to an hour
  onDemand->setQueuedOperationsCount(0);
  platform::testing::advance(6 * 3);
  EXPECT_DOUBLE_EQ(onDemand->calculateStepDuration(), 97.0);
  platform::testing::advance(6 * 1000);
  EXPECT_DOUBLE_EQ(onDemand->calculateStepDuration(), 0.0);
}

TEST_F(RLZOnDemandTest, RemoteValuesThatCannotHoldReadAsDefaults) {
  struct Case {
    const char* json;
    double delay;
  } cases[] = {
      {R"({"on_demand_upload_rate_per_minute":0,"on_demand_backoff_base":-2})", 6.0},
      {R"({"on_demand_upload_rate_per_minute":-5,"on_demand_backoff_step_duration_seconds":0})", 6.0},
      {R"({"on_demand_upload_rate_per_minute":30,"on_demand_backoff_base":0})", 2.0},
      {R"({"on_demand_upload_rate_per_minute":0.0001})", 3600.0},
  };
  for (const auto& c : cases) {
    useSettings(c.json);
    auto onDemand = model();
    onDemand->setQueuedOperationsCount(1000);
    const double delay = onDemand->calculateUploadDelay();
    EXPECT_TRUE(std::isfinite(delay)) << c.json;
    EXPECT_DOUBLE_EQ(delay, c.delay) << c.json;
    // A zero step duration would make every elapsed moment infinitely many steps.
    platform::testing::advance(1);
    EXPECT_TRUE(std::isfinite(onDemand->calculateStepDuration())) << c.json;
  }
}

TEST_F(RLZOnDemandTest, SleepTruncatesToWholeSecondsOfThePlatformClock) {
  auto onDemand = model();
  auto queue = platform::DispatchQueue::serial("sleeper");
  auto done = std::make_shared<std::atomic<bool>>(false);
  queue->async([onDemand, done] {
    onDemand->implementOnDemandUploadDelay(static_cast<int>(6.9));
    *done = true;
  });
  platform::testing::advance(5.9);
  EXPECT_FALSE(*done);
  platform::testing::advance(0.2);
  platform::testing::drain(queue);
  EXPECT_TRUE(*done);
}

// The recording itself, into a copy of the running report, and the hand-off when data
// collection is on.
TEST_F(RLZOnDemandTest, RecordsIntoACopyOfTheRunningReport) {
  RLZUserDefaults::resetStandardUserDefaultsForTesting();
  auto arbiter = std::make_shared<RLZDataCollectionArbiter>(
      nullptr, platform::Value::Dictionary{{"VuduzaraRalitozeCollectionEnabled", platform::Value(false)}});
  auto onDemand = std::make_shared<RLZOnDemandModel>(settings_);
  auto data = std::make_shared<RLZManagerData>("app", nullptr, nullptr, nullptr, files_, arbiter, settings_, onDemand);
  auto existing = std::make_shared<RLZExistingReportManager>(data, std::make_shared<RLZReportUploader>(data));
  auto manager = std::make_shared<RLZReportManager>(data, existing);
  manager->setSettingsManager(nullptr);  // no backend here
  manager->startWithProfilingMark(0);
  platform::testing::runUntilIdle();
  ASSERT_TRUE(RLZContextIsInitialized());
  const fs::path current(_rlzContext.readonly->reportPath);
  RLZExceptionRecordModel(VDZExceptionModel("Earlier", "custom"));
  platform::testing::runUntilIdle();
  ASSERT_TRUE(fs::exists(current / "custom_exception_a.rlzrecord"));

  struct Case {
    bool fatal;
    const char* target;
  } cases[] = {{false, "custom_exception_a.rlzrecord"}, {true, "exception.rlzrecord"}};
  for (const auto& c : cases) {
    VDZExceptionModel model("OnDemand", c.fatal ? "fatal one" : "non-fatal one");
    model.setIsFatal(c.fatal);
    model.setStackTrace({VDZStackFrame::stackFrameWithAddress(0x1234)});
    ASSERT_TRUE(onDemand->recordOnDemandExceptionIfQuota(model, false, existing));
    platform::testing::runUntilIdle();
    const auto stored = onDemand->storedActiveReportPaths();
    ASSERT_FALSE(stored.empty());
    const fs::path copy = stored.front();
    EXPECT_EQ(copy.parent_path(), current.parent_path());
    EXPECT_EQ(copy.filename().string().size(), 32u);
    const std::string record = crash_test::readFile(copy / c.target);
    EXPECT_NE(record.find("\"custom\""), std::string::npos) << record;
    EXPECT_NE(record.find("4f6e44656d616e64"), std::string::npos);  // "OnDemand", hex-encoded
    EXPECT_NE(record.find("\"threads\""), std::string::npos);       // the crash state follows
    EXPECT_EQ(fs::exists(copy / "custom_fatal.rlzrecord"), c.fatal);
    // Only a fatal one tells the next launch that this run crashed (the non-fatal one comes first).
    EXPECT_EQ(fs::exists(_rlzContext.readonly->previouslyCrashedFileFullPath), c.fatal);
    const std::string kv = crash_test::readFile(copy / "internal_incremental_kv.rlzrecord");
    // "com.ralitoze.on-demand.recorded-exceptions", hex-encoded.
    EXPECT_NE(kv.find("636f6d2e72616c69746f7a652e6f6e2d64656d616e642e7265636f726465642d657863657074696f6e73"),
              std::string::npos);
    // The custom exceptions recorded before belong to the first copy only.
    EXPECT_FALSE(fs::exists(current / "custom_exception_a.rlzrecord"));
    settleSteps(7);
  }
  // Sending takes the stored reports along and empties the list.
  manager->sendUnsentReports();
  for (int i = 0; i < 3; ++i) {
    platform::testing::runUntilIdle();
    platform::testing::drain(data->dispatchQueue);
  }
  EXPECT_TRUE(onDemand->storedActiveReportPaths().empty());
  EXPECT_EQ(files_->preparedPathContents().size(), 2u);
  // With collection on, the step hands the report to the pipeline at once.
  ASSERT_TRUE(onDemand->recordOnDemandExceptionIfQuota(VDZExceptionModel("Now", "sent"), true, existing));
  for (int i = 0; i < 3; ++i) {
    platform::testing::runUntilIdle();
    platform::testing::drain(data->dispatchQueue);
  }
  EXPECT_TRUE(onDemand->storedActiveReportPaths().empty());
  EXPECT_EQ(files_->preparedPathContents().size(), 3u);
  settleSteps(7);
  RLZCrashCaptureUninstallForTesting();
  RLZContextResetForTesting();
}

}  // namespace
