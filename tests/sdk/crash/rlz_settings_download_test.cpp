// The settings download against the local service, on virtual time: every answer class of the
// backend, the request's headers, and the launch's one fetch per process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "crash_test_support.h"
#include "platform/foundation/json.h"
#include "platform/testing/testing.h"
#include "sdk/crash/launch/rlz_application_identifier_model.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_user_defaults.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/capture/rlz_crash_capture.h"
#include "sdk/crash/network/rlz_tsm_network_client.h"
#include "sdk/crash/reports/rlz_identifiers.h"
#include "sdk/crash/reports/rlz_manager_data.h"
#include "sdk/crash/reports/rlz_on_demand_model.h"
#include "sdk/crash/reports/rlz_report_manager.h"
#include "sdk/crash/reports/rlz_report_uploader.h"
#include "sdk/crash/reports/rlz_settings_manager.h"
#include "sdk/crash/settings/rlz_settings.h"
#include "sdk/utilities/utilities/vul_service_endpoints.h"
#include "tools/local-service/crash_routes.h"
#include "tools/local-service/local_service.h"

namespace {

namespace fs = std::filesystem;
using local_service::CrashSettingsReply;

constexpr std::string_view kAppID = "1:42:ios:abc";

class RLZSettingsDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend_ = local_service::addCrashRoutes(service_);
    ASSERT_TRUE(service_.start());
    ::setenv(std::string(kVULServiceURLEnvironmentVariable).c_str(), service_.baseURL().c_str(), 1);
    RLZUserDefaults::resetStandardUserDefaultsForTesting();
    files_ = std::make_shared<RLZFileManager>();
    files_->createReportDirectories();
    model_ = RLZApplicationIdentifierModel::make();
    ASSERT_TRUE(model_);
    settings_ = std::make_shared<RLZSettings>(files_, model_);
    installID_ = std::make_shared<RLZInstallIdentifierModel>(nullptr);
    manager_ = std::make_shared<RLZSettingsManager>(model_, installID_, settings_, files_, std::string(kAppID));
  }
  void TearDown() override { ::unsetenv(std::string(kVULServiceURLEnvironmentVariable).c_str()); }

  // Runs the download through its retries (virtual time) to its end.
  void download() {
    manager_->beginSettingsWithVidezuAppId(std::string(kAppID), RLZDataCollectionToken::validToken());
    for (int i = 0; i < 4; ++i) {
      platform::testing::runUntilIdle();
      platform::testing::advance(120);
    }
    platform::testing::runUntilIdle();
  }
  std::string path() const { return local_service::crashSettingsPath("ios", kAppID); }
  std::size_t attempts() const { return service_.requestsTo(path()).size(); }
  void cacheOldSettings() {
    fs::create_directories(files_->settingsDirectoryPath());
    crash_test::writeFile(files_->settingsFilePath(), R"({"cache_duration":1})");
    settings_->cacheSettingsWithVidezuAppID(std::string(kAppID), 0);
  }

  local_service::LocalService service_;
  std::shared_ptr<local_service::CrashSettingsBackend> backend_;
  std::shared_ptr<RLZFileManager> files_;
  std::shared_ptr<RLZApplicationIdentifierModel> model_;
  std::shared_ptr<RLZSettings> settings_;
  std::shared_ptr<RLZInstallIdentifierModel> installID_;
  std::shared_ptr<RLZSettingsManager> manager_;
};

TEST_F(RLZSettingsDownloadTest, SuccessStoresTheBodyByteForByteWithAFreshKey) {
  // Spacing and key order of the server's text survive: the file is the body, not a re-encoding.
  const std::string body = "{ \"cache_duration\" : 7200,\n  \"features\":{\"collect_metric_kit\":true} }";
  backend_->script({CrashSettingsReply::document(body)});
  cacheOldSettings();
  settings_->reloadFromCacheWithVidezuAppID(std::string(kAppID), 100);
  ASSERT_TRUE(settings_->isCacheExpired());
  download();
  EXPECT_EQ(attempts(), 1u);
  EXPECT_EQ(crash_test::readFile(files_->settingsFilePath()), body);
  ASSERT_TRUE(settings_->loadCacheKey());
  EXPECT_EQ((*settings_->loadCacheKey())["videzu_app_id"], platform::Value(std::string(kAppID)));
  EXPECT_FALSE(settings_->isCacheExpired());
  EXPECT_EQ(settings_->cacheDurationSeconds(), 7200u);
  EXPECT_TRUE(settings_->metricKitCollectionEnabled());
  // One fetch per process: the session is gone once the download has finished.
  manager_->beginSettingsDownload(RLZDataCollectionToken::validToken());
  platform::testing::runUntilIdle();
  platform::testing::advance(120);
  EXPECT_EQ(attempts(), 1u);
}

TEST_F(RLZSettingsDownloadTest, FailuresKeepTheCachedSettings) {
  struct Case {
    const char* what;
    std::vector<CrashSettingsReply> replies;
    std::size_t attempts;
    const char* logLine;
  };
  const Case cases[] = {
      {"404", {CrashSettingsReply::notFound()}, 1,
       "Failed to download settings. If this is your first time launching the app, make sure you have enabled "
       "Ralitoze in the Vuduzara Console."},
      {"500 twice", {CrashSettingsReply::serverError(), CrashSettingsReply::serverError()}, 2, "Code=-6"},
      {"429 twice", {CrashSettingsReply::tooManyRequests(), CrashSettingsReply::tooManyRequests()}, 2, "Code=-6"},
      {"text/html", {CrashSettingsReply::html()}, 1, "Code=-4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    service_.clearRequests();
    manager_ = std::make_shared<RLZSettingsManager>(model_, installID_, settings_, files_, std::string(kAppID));
    cacheOldSettings();
    backend_->script(c.replies);
    platform::testing::LogCapture log;
    download();
    EXPECT_EQ(attempts(), c.attempts);
    EXPECT_EQ(crash_test::readFile(files_->settingsFilePath()), R"({"cache_duration":1})");
    EXPECT_EQ(settings_->cacheDurationSeconds(), 1u);
    EXPECT_TRUE(crash_test::logged(log, c.logLine));
    if (c.attempts == 1 && std::string(c.what) == "404") {
      EXPECT_TRUE(crash_test::logged(log, "request_id"));
    }
  }
}

TEST_F(RLZSettingsDownloadTest, RetryAfterThenSuccess) {
  backend_->script({CrashSettingsReply::unavailable("30"), CrashSettingsReply::document(R"({"cache_duration":99})")});
  manager_->beginSettingsWithVidezuAppId(std::string(kAppID), RLZDataCollectionToken::validToken());
  platform::testing::runUntilIdle();
  EXPECT_EQ(attempts(), 1u);
  platform::testing::advance(26);  // the retry waits 30 s give or take a tenth
  platform::testing::runUntilIdle();
  EXPECT_EQ(attempts(), 1u);
  platform::testing::advance(8);
  platform::testing::runUntilIdle();
  EXPECT_EQ(attempts(), 2u);
  EXPECT_EQ(settings_->cacheDurationSeconds(), 99u);
  EXPECT_FALSE(settings_->isCacheExpired());
  // The echo of the backend: the request ID it made up comes back on every answer.
  EXPECT_EQ(backend_->requestCount(), 2u);
}

TEST_F(RLZSettingsDownloadTest, RequestCarriesEveryHeaderInOrder) {
  auto operation = RLZDownloadAndSaveSettingsOperation::initWithVidezuAppID(
      std::string(kAppID), {}, manager_->settingsURL(), files_->settingsDirectoryPath(), files_->settingsFilePath(),
      installID_, manager_->networkClient(), RLZDataCollectionToken::validToken());
  ASSERT_TRUE(operation);
  const auto request = operation->mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(manager_->settingsURL());
  const std::vector<std::pair<std::string, std::string>> expected{
      {"User-Agent", "com.videzu.vuduzara.ralitoze.ios/" + RLZSDKVersion()},
      {"Accept-Charset", "utf-8"},
      {"Accept-Language", RLZHostLocaleIdentifier()},
      {"Content-Language", RLZHostLocaleIdentifier()},
      {"X-Ralitoze-Developer-Token", "5c2e9a01b7d3f4e6a8c0b2d4f6e8a0c2e4b6d8f1"},
      {"X-Ralitoze-API-Client-Id", "com.videzu.vuduzara.ralitoze.ios"},
      {"X-Ralitoze-API-Client-Display-Version", RLZSDKVersion()},
      {"X-Ralitoze-Videzu-App-Id", std::string(kAppID)},
      {"Accept", "application/json"},
      {"X-Ralitoze-Installation-ID", installID_->installID()},
      {"X-Ralitoze-Device-Model", RLZHostSysctlString("hw.machine").value_or("")},
      {"X-Ralitoze-OS-Build-Version", RLZHostOSBuildVersion().value_or("")},
      {"X-Ralitoze-OS-Display-Version", RLZHostOSDisplayVersion()},
      {"X-Ralitoze-API-Client-Version", RLZSDKVersion()},
  };
  EXPECT_EQ(request.allHTTPHeaderFields(), expected);
  EXPECT_EQ(request.httpMethod(), "GET");
  EXPECT_DOUBLE_EQ(request.timeoutInterval(), 10);

  download();
  ASSERT_EQ(attempts(), 1u);
  const auto recorded = service_.requestsTo(path())[0];
  for (const auto& [name, value] : expected) EXPECT_EQ(recorded.header(name), value) << name;
  // The query: the app's facts, each only when known, the first after "?".
  std::string query;
  for (const auto& [value, name] : {std::pair{model_->buildVersion(), "build_version"},
                                    std::pair{model_->displayVersion(), "display_version"},
                                    std::pair{model_->buildInstanceID(), "instance"}}) {
    if (!value.empty()) query += (query.empty() ? "" : "&") + std::string(name) + "=" + value;
  }
  query += (query.empty() ? "" : "&") + std::string("source=") + std::to_string(model_->installSource());
  EXPECT_EQ(recorded.query, query);
}

// A stale cache's deletion, queued by the reload, and a fresh download land in the order asked:
// the deletion cannot remove what the download wrote after it.
TEST_F(RLZSettingsDownloadTest, DeletionQueuedBeforeADownloadSparesIt) {
  fs::create_directories(files_->settingsDirectoryPath());
  crash_test::writeFile(files_->settingsFilePath(), "not json");
  settings_->reloadFromCacheWithVidezuAppID(std::string(kAppID), 100);  // queues the deletion
  download();
  platform::testing::runUntilIdle();
  EXPECT_EQ(crash_test::readFile(files_->settingsFilePath()), local_service::crashSettingsDefaultBody());
  EXPECT_TRUE(fs::exists(files_->settingsCacheKeyPath()));
  EXPECT_FALSE(settings_->isCacheExpired());
}

// The launch fetches only when the cache has expired, and then once per process however often
// the sequence asks.
TEST_F(RLZSettingsDownloadTest, ExpiredSettingsAreFetchedOncePerProcess) {
  struct Case {
    bool expired;
    std::size_t fetches;
  } cases[] = {{true, 1}, {false, 0}};
  for (const auto& c : cases) {
    service_.clearRequests();
    fs::remove_all(files_->rootPath());
    files_->createReportDirectories();
    fs::create_directories(files_->settingsDirectoryPath());
    crash_test::writeFile(files_->settingsFilePath(), R"({"cache_duration":3600})");
    // Fetched an hour and a minute ago, or just now.
    const double now = platform::Date::now().timeIntervalSinceReferenceDate();
    settings_->cacheSettingsWithVidezuAppID(std::string(kAppID), c.expired ? now - 3660 : now);
    RLZUserDefaults::resetStandardUserDefaultsForTesting();
    auto arbiter = std::make_shared<RLZDataCollectionArbiter>(
        nullptr, platform::Value::Dictionary{{"VuduzaraRalitozeCollectionEnabled", platform::Value(false)}});
    auto data = std::make_shared<RLZManagerData>(std::string(kAppID), nullptr, nullptr, nullptr, files_, arbiter,
                                                 std::make_shared<RLZSettings>(files_, model_),
                                                 std::make_shared<RLZOnDemandModel>(nullptr));
    auto existing = std::make_shared<RLZExistingReportManager>(data, std::make_shared<RLZReportUploader>(data));
    auto reports = std::make_shared<RLZReportManager>(data, existing);
    reports->startWithProfilingMark(0);
    reports->sendUnsentReports();  // asks for settings
    for (int i = 0; i < 3; ++i) {
      platform::testing::runUntilIdle();
      platform::testing::drain(data->dispatchQueue);
      platform::testing::advance(30);
    }
    EXPECT_EQ(attempts(), c.fetches) << c.expired;
    EXPECT_FALSE(data->settings->isCacheExpired());
    RLZCrashCaptureUninstallForTesting();
    RLZContextResetForTesting();
  }
}

}  // namespace
