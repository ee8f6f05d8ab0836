// The crash reporter's launch-time objects used from many threads at once, on real threads and
// the real clock: the on-demand quota and counters, the diagnostics promise against deliveries,
// and the settings' file work against readers. No signals here, so the race detector runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/date.h"
#include "platform/foundation/json.h"
#include "platform/metrics/metric_manager.h"
#include "platform/runloop/clock.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/reports/rlz_manager_data.h"
#include "sdk/crash/reports/rlz_metric_kit_manager.h"
#include "sdk/crash/reports/rlz_on_demand_model.h"
#include "sdk/crash/reports/vdz_stack_frame.h"
#include "sdk/crash/settings/rlz_settings.h"

namespace {

namespace fs = std::filesystem;

class RLZLaunchStressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
    files_ = std::make_shared<RLZFileManager>();
    files_->createReportDirectories();
    settings_ = std::make_shared<RLZSettings>(files_, nullptr);
  }
  void useSettings(const std::string& json) {
    fs::create_directories(files_->settingsDirectoryPath());
    std::ofstream(files_->settingsFilePath()) << json;
    settings_->cacheSettingsWithVidezuAppID("app", platform::Date::now().timeIntervalSinceReferenceDate());
  }

  std::shared_ptr<RLZFileManager> files_;
  std::shared_ptr<RLZSettings> settings_;
};

TEST_F(RLZLaunchStressTest, OnDemandCountsAddUpUnderConcurrentRecording) {
  // A quota so large that no step sleeps (60 / 1000 s is truncated to none); a thread filling and
  // emptying the quota by hand makes recordings meet both answers.
  useSettings(R"({"on_demand_upload_rate_per_minute":1000})");
  auto onDemand = std::make_shared<RLZOnDemandModel>(settings_);
  std::atomic<int> made{0};
  onDemand->setRecorderForTesting([&](const VDZExceptionModel&, int, int) {
    const fs::path dir = fs::path(files_->activePath()) / ("od" + std::to_string(made++));
    fs::create_directories(dir);
    return std::optional<std::string>(dir.string());
  });
  std::atomic<bool> stop{false};
  std::thread toggler([&] {
    for (int i = 0; !stop; ++i) onDemand->setQueuedOperationsCount(i % 2 ? 5000 : 0);
  });
  std::atomic<int> accepted{0};
  std::atomic<int> dropped{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      VDZExceptionModel model("Stress", "reason");
      for (int i = 0; i < 25; ++i) {
        (onDemand->recordOnDemandExceptionIfQuota(model, false, nullptr) ? accepted : dropped)++;
        (void)onDemand->calculateUploadDelay();
        (void)onDemand->storedActiveReportPaths();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  stop = true;
  toggler.join();
  onDemand->operationQueue()->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(accepted + dropped, 100);
  EXPECT_EQ(accepted.load(), made.load());
  // Every recording counts; each report pushed out of the four kept counts back out.
  const int pushedOut = std::max(accepted.load() - 4, 0);
  EXPECT_EQ(onDemand->recordedOnDemandExceptionCount(), 100 - pushedOut);
  EXPECT_LE(onDemand->storedActiveReportPaths().size(), 4u);
}

TEST_F(RLZLaunchStressTest, DiagnosticsPromiseResolvesOnceAgainstRacingDeliveries) {
  auto arbiter = std::make_shared<RLZDataCollectionArbiter>(nullptr, platform::Value::Dictionary{});
  auto data = std::make_shared<RLZManagerData>("app", nullptr, nullptr, nullptr, files_, arbiter, settings_, nullptr);
  fs::create_directories(fs::path(files_->activePath()) / data->executionIDModel->executionID());
  const auto payload = platform::metrics::MXDiagnosticPayload::payloadWithJSON(*platform::JSON::parse(
      R"({"timeStampBegin":"2026-12-09 00:00:00","timeStampEnd":"2026-12-09 01:00:00",
          "hangDiagnostics":[{"diagnosticMetaData":{"appVersion":"1","hangDuration":"1 sec"}}]})"));
  ASSERT_TRUE(payload);
  for (int round = 0; round < 20; ++round) {
    auto kit = std::make_shared<RLZMetricKitManager>(data, nullptr, files_);
    kit->registerMetricKitManager();
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&] {
        kit->didReceiveDiagnosticPayloads({payload});
        // Once delivered, every reader sees the one resolved promise.
        EXPECT_FALSE(kit->waitForMetricKitDataAvailable()->isPending());
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(kit->waitForMetricKitDataAvailable()->isFulfilled());
    platform::metrics::MXMetricManager::sharedManager()->removeSubscriber(kit);
  }
}

TEST_F(RLZLaunchStressTest, SettingsFileWorkAndReadersDoNotRace) {
  useSettings(R"({"cache_duration":7200})");
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        (void)settings_->isCacheExpired();
        (void)settings_->cacheDurationSeconds();
      }
    });
  }
  for (int i = 0; i < 50; ++i) {
    settings_->performFileOperation([&] {
      std::ofstream(files_->settingsFilePath()) << R"({"cache_duration":7200})";
    });
    settings_->cacheSettingsWithVidezuAppID("app", platform::Date::now().timeIntervalSinceReferenceDate());
    if (i % 5 == 0) settings_->deleteCachedSettings();
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  // The last change was a caching after any deletion queued before it: the document stays.
  settings_->performFileOperation([] {});
  EXPECT_TRUE(fs::exists(files_->settingsFilePath()));
}

}  // namespace
