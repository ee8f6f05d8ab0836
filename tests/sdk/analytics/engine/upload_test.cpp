// The engine's measurement upload and configuration fetch against the local service, on the
// manual clock: bundles are queued straight into the store, so what is checked is what leaves the
// device, when, and what is kept or forgotten after each answer.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/foundation/home.h"
#include "platform/testing/testing.h"
#include "platform/foundation/notification_center.h"
#include "platform/net/reachability.h"
#include "platform/store/payment_queue.h"
#include "platform/store/receipt_builder.h"
#include "platform/ui/application.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/engine/apm_in_app_purchase_transaction_reporter.h"
#include "sdk/analytics/messages/apmpb_messages.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/utilities/utilities/vul_network.h"
#include "tests/sdk/analytics/engine/upload_fixture.h"
#include "tools/local-service/analytics_routes.h"
#include "tools/local-service/measurement_config_fixture.h"

extern char** environ;

namespace {

using engine_test::fixtureText;
using engine_test::kAppID;
using engine_test::kConfigPath;
using engine_test::kUploadPath;
using engine_test::UploadTest;
using local_service::Answer;
using local_service::UploadedMeasurementBundle;
using local_service::UploadedMeasurementEvent;


TEST_F(UploadTest, SendsQueuedBundlesOnceAndForgetsThemAfterSuccess) {
  start();
  const double t0 = now();
  queue("focus_started");
  queue("focus_completed");
  upload();

  ASSERT_EQ(uploads(), 1u);
  const auto request = service_.requestsTo(kUploadPath)[0];
  EXPECT_EQ(request.header("Content-Encoding"), "gzip");
  const auto bundles = uploadedBundles(0);
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(bundles[0].events.at(0).name, "focus_started");
  EXPECT_EQ(bundles[1].events.at(0).name, "focus_completed");
  for (const auto& bundle : bundles) {
    EXPECT_EQ(bundle.appID, kAppID);
    EXPECT_EQ(bundle.events.at(0).params.at("_o"), "\"app\"");
    EXPECT_EQ(bundle.events.at(0).timestampMillis, static_cast<std::int64_t>(t0 * 1000));
    EXPECT_EQ(bundle.uploadTimestampMillis, static_cast<std::int64_t>(now() * 1000));
    EXPECT_EQ(bundle.userProperties.at("sound"), "\"rain\"");
  }
  EXPECT_TRUE(queueIsEmpty());
  EXPECT_DOUBLE_EQ(persisted()->lastSuccessfulUploadTimestamp(), now());
  EXPECT_EQ(persisted()->lastFailedUploadTimestamp(), 0);

  advance(2 * 86400);
  EXPECT_EQ(uploads(), 1u) << "accepted bundles were sent again";
}

// Leaving the foreground uploads at once, without waiting for the alarm.
TEST_F(UploadTest, ResigningActiveUploadsRightAway) {
  start();
  queue("e");
  platform::NotificationCenter::defaultCenter().post(std::string(platform::kApplicationWillResignActiveNotification));
  settle();
  EXPECT_EQ(uploads(), 1u);
  EXPECT_TRUE(queueIsEmpty());
  platform::NotificationCenter::defaultCenter().post(
      std::string(platform::kApplicationWillEnterForegroundNotification));
  EXPECT_EQ(engine_->backgroundUpdateTask(), platform::kBackgroundTaskInvalid);
}

TEST_F(UploadTest, OnlyThePrefixOfTheFirstAppGoesInOneBatch) {
  start();
  queue("a1");
  queue("b1", false, "1:999:ios:other");
  queue("a2");
  upload();
  ASSERT_GE(uploads(), 1u);
  const auto first = uploadedBundles(0);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].events.at(0).name, "a1");
}

// The next upload time from the last success and failure and the newest data, default settings.
TEST_F(UploadTest, NextUploadingTimeFollowsTheSchedule) {
  start();
  struct Case {
    const char* name;
    bool realtime;
    double lastSuccessAgo;  // 0: none
    double lastFailureAhead;  // relative to the data time; NAN: none
    double expectedFromNow;   // NAN: no upload
  };
  const Case cases[] = {
      {"recent success, ordinary data", false, 600, NAN, 3000},
      {"recent success, real-time data", true, 5, NAN, 5},
      {"old success, real-time data", true, 7200, NAN, 15},
      {"no success, ordinary data", false, 0, NAN, 15},
      {"failure after the data: first retry step", false, 0, 0, 15 + 1800},
      {"failure after the data: third retry step", false, 0, 5000, 15 + 1800 + 3600},
      {"failure beyond every retry step", false, 0, 200000, NAN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Error error;
    onWorker([&] { ASSERT_TRUE(engine_->database()->store()->executeSQL("DELETE FROM queue", &error)); });
    queue("e", c.realtime);
    const double t = now();
    persisted()->setLastSuccessfulUploadTimestamp(c.lastSuccessAgo > 0 ? t - c.lastSuccessAgo : 0);
    persisted()->setLastFailedUploadTimestamp(std::isnan(c.lastFailureAhead) ? 0 : t + c.lastFailureAhead);
    double next = -1;
    onWorker([&] { next = engine_->nextUploadingTime(); });
    if (std::isnan(c.expectedFromNow)) {
      EXPECT_EQ(next, 0);
    } else {
      EXPECT_NEAR(next, t + c.expectedFromNow, 0.01);
    }
  }
}

// A 503 or 429 keeps every upload away for the backoff period, though the retry ladder would
// come sooner.
TEST_F(UploadTest, OverloadedServiceIsLeftAloneUntilTheBackoffEnds) {
  start();
  queue("e");
  service_.enqueueAnswer(std::string(kUploadPath), Answer::withStatus(503));
  upload();
  ASSERT_EQ(uploads(), 1u);
  const double failedAt = now();
  EXPECT_DOUBLE_EQ(persisted()->lastBackoffTimestamp(), failedAt);
  EXPECT_FALSE(queueIsEmpty());

  advance(43200 - 60);
  EXPECT_EQ(uploads(), 1u) << "uploaded during the backoff";
  advance(120);
  EXPECT_EQ(uploads(), 2u);
  EXPECT_TRUE(queueIsEmpty());
  EXPECT_EQ(persisted()->lastBackoffTimestamp(), 0);
}

// Other failures climb the retry ladder: 15 s after the data, then 1800 s, then 3600 s more.
TEST_F(UploadTest, OtherFailuresRetryOnTheLadder) {
  start();
  queue("e");
  service_.enqueueAnswer(std::string(kUploadPath), Answer::withStatus(500));
  service_.enqueueAnswer(std::string(kUploadPath), Answer::withStatus(500));
  upload();
  ASSERT_EQ(uploads(), 1u);
  EXPECT_EQ(persisted()->lastBackoffTimestamp(), 0);

  advance(15 + 1800 - 10);
  EXPECT_EQ(uploads(), 1u);
  advance(20);
  EXPECT_EQ(uploads(), 2u);
  advance(3600 - 30);
  EXPECT_EQ(uploads(), 2u);
  advance(30);
  EXPECT_EQ(uploads(), 3u);
  EXPECT_TRUE(queueIsEmpty());
  // The failed attempts were counted on the bundle.
  EXPECT_EQ(uploadedBundles(2).size(), 1u);
}

// The service accepted the batch but the store could not delete it: nothing goes out again for an
// hour, even when something lifts the suspension early; then the bundles go once more.
TEST_F(UploadTest, FailedDeletionSuspendsUploadsWithoutSendingTwice) {
  start();
  queue("e");
  onWorker([&] {
    ASSERT_TRUE(engine_->database()->store()->executeSQL(
        "CREATE TRIGGER keep_queue BEFORE DELETE ON queue BEGIN SELECT RAISE(ABORT, 'kept'); END", nullptr));
  });
  upload();
  ASSERT_EQ(uploads(), 1u);
  EXPECT_TRUE(loggedCode(23045));
  EXPECT_FALSE(queueIsEmpty());

  advance(1800);
  upload();
  EXPECT_EQ(uploads(), 1u);
  EXPECT_TRUE(loggedCode(23023));
  // A configuration fetch that succeeds lifts the suspension; the accepted bundles still stay.
  onWorker([&] { engine_->setSuspendedUploadTimestamp(0); });
  upload();
  EXPECT_EQ(uploads(), 1u) << "accepted bundles were sent again within the hour";

  onWorker([&] { ASSERT_TRUE(engine_->database()->store()->executeSQL("DROP TRIGGER keep_queue", nullptr)); });
  advance(1900);
  upload();
  EXPECT_TRUE(queueIsEmpty());
}

// With analytics storage denied the upload carries no instance identifier.
TEST_F(UploadTest, DeniedAnalyticsStorageLeavesNoInstanceIdentifier) {
  start();
  APMConsentSettingsUtil::setConsentSettings(
      APMConsentSettingsUtil::Settings{{std::string(kAPMConsentAnalyticsStorage), platform::Value(kAPMConsentDenied)},
                                       {std::string(kAPMConsentAdStorage), platform::Value(kAPMConsentDenied)}});
  queue("e");
  upload();
  const auto bundles = uploadedBundles(0);
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(bundles[0].appInstanceID, "");
  ASSERT_GE(bundles[0].consentSignals.size(), 4u);
  EXPECT_EQ(bundles[0].consentSignals.substr(0, 2), "G1");
  EXPECT_EQ(bundles[0].consentSignals[3], '0');
}

// ---- configuration fetch ----

TEST_F(UploadTest, ConfigurationFetchUsesValidatorsAndKeepsTheConfiguration) {
  start();
  std::string error;
  const auto encoded = local_service::encodeMeasurementConfig(fixtureText(), std::string(kAppID), error);
  ASSERT_TRUE(encoded) << error;
  configs_->set(std::string(kAppID), *encoded, "\"v1\"");

  onWorker([&] { engine_->fetchRemoteConfig(); });
  settle();
  auto requests = service_.requestsTo(kConfigPath);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].header("If-None-Match"));
  EXPECT_NE(requests[0].query.find("platform=ios"), std::string::npos);
  EXPECT_EQ(persisted()->configServerETag(), "\"v1\"");
  const auto config = engine_->remoteConfigInstance();
  EXPECT_EQ(config->version(), 7);
  EXPECT_DOUBLE_EQ(config->uploadingInterval(), 60);
  EXPECT_TRUE(config->isEventCustomConversion("focus_completed"));
  double fetchedAt = config->lastRemoteConfigUpdateTimestamp();
  EXPECT_DOUBLE_EQ(fetchedAt, now());

  clock_->move(100);
  onWorker([&] { engine_->fetchRemoteConfig(); });
  settle();
  requests = service_.requestsTo(kConfigPath);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].header("If-None-Match"), "\"v1\"");
  EXPECT_EQ(requests[1].header("If-Modified-Since"), local_service::kMeasurementConfigLastModified);
  EXPECT_TRUE(loggedCode(23131));
  EXPECT_EQ(config->version(), 7);
  EXPECT_DOUBLE_EQ(config->lastRemoteConfigUpdateTimestamp(), now());

  // Another app's configuration is refused; the one in force stays.
  const auto other = local_service::encodeMeasurementConfig(R"({"version": 9})", "1:999:ios:other", error);
  configs_->set(std::string(kAppID), *other, "\"v2\"");
  onWorker([&] { engine_->fetchRemoteConfig(); });
  settle();
  EXPECT_TRUE(loggedCode(23136));
  EXPECT_EQ(config->version(), 7);

  configs_->remove(std::string(kAppID));
  onWorker([&] { engine_->fetchRemoteConfig(); });
  settle();
  EXPECT_TRUE(loggedCode(23130));
  EXPECT_FALSE(persisted()->configServerETag());
  EXPECT_TRUE(persisted()->configServerLastModifiedString().isNull());
  EXPECT_EQ(config->version(), 7);
}

// Failed fetches count as failed uploads; overload statuses also start the backoff.
TEST_F(UploadTest, FailedConfigurationFetchDelaysUploads) {
  start();
  const struct {
    int status;
    bool backoff;
  } cases[] = {{503, true}, {429, true}, {500, false}, {403, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    persisted()->setLastFailedUploadTimestamp(0);
    persisted()->setLastBackoffTimestamp(0);
    clock_->move(10);
    service_.enqueueAnswer(std::string(kConfigPath), Answer::withStatus(c.status));
    onWorker([&] { engine_->fetchRemoteConfig(); });
    settle();
    EXPECT_DOUBLE_EQ(persisted()->lastFailedUploadTimestamp(), now());
    EXPECT_DOUBLE_EQ(persisted()->lastBackoffTimestamp(), c.backoff ? now() : 0);
  }
  EXPECT_TRUE(loggedCode(23129));
}

// A purchase in the store goes the whole way: reported, written, bundled and uploaded.
TEST_F(UploadTest, AStorePurchaseArrivesAsAPurchaseEvent) {
  namespace store = platform::store;
  store::StoreCatalog::addProduct({"coins", "0.99", "USD", "Coins", std::nullopt});
  start();
  const auto bought = store::PaymentQueue::defaultQueue().purchase("coins", 1);
  // The receipt holds the purchase before the reporter reads it on the worker queue.
  store::ReceiptPurchase record;
  record.productID = "coins";
  record.transactionID = bought->transactionIdentifier.value_or("");
  record.originalTransactionID = record.transactionID;
  record.purchaseDate = store::ReceiptBuilder::dateText(now());
  record.purchaseType = store::ReceiptPurchaseType::Consumable;
  store::ReceiptBuilder().add(record).install();
  settle();
  upload();
  std::vector<UploadedMeasurementEvent> purchases;
  for (std::size_t i = 0; i < uploads(); ++i) {
    for (const auto& bundle : uploadedBundles(i)) {
      for (const auto& event : bundle.events) {
        if (event.name == "_iap") purchases.push_back(event);
      }
    }
  }
  store::StoreCatalog::removeAllProducts();
  store::ReceiptBuilder::uninstall();
  APMInAppPurchaseProductCache::sharedInstance().resetForTesting();
  ASSERT_EQ(purchases.size(), 1u);
  EXPECT_EQ(purchases[0].params.at("product_id"), "\"coins\"");
  EXPECT_EQ(purchases[0].params.at("currency"), "\"USD\"");
}

// ---- a kill between upload and deletion ----

constexpr const char* kChildHomeVariable = "FOCUS_UPLOAD_KILL_CHILD_HOME";

// Runs only as the child of the kill test: queues a bundle, starts its upload and waits to be killed.
TEST_F(UploadTest, KillChildUploadsUntilKilled) {
  const char* home = std::getenv(kChildHomeVariable);
  if (!home) GTEST_SKIP() << "runs only as the child of the kill test";
  platform::Home::set(home);
  platform::UserDefaults::resetCachesForTesting();
  useBundle({{"CFBundleIdentifier", platform::Value(engine_test::kBundleID)}, {"CFBundleShortVersionString", "1.2"}});
  setenv("VDZ_SERVICE_URL", std::getenv("FOCUS_UPLOAD_KILL_SERVICE"), 1);
  configure();
  forgetStartEvents();
  engine_ = APMMeasurement::sharedInstanceIfCreated();
  ASSERT_TRUE(engine_);
  queue("survivor");
  onWorker([&] { engine_->uploadData(); });
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

TEST_F(UploadTest, BundlesInFlightAtAKillAreSentAgain) {
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';
  Answer hang;
  hang.hang = true;
  service_.setAnswer(std::string(kUploadPath), hang);

  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.push_back(std::string(kChildHomeVariable) + "=" + platform::Home::path().string());
  env.push_back("FOCUS_UPLOAD_KILL_SERVICE=" + service_.baseURL());
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string filter = "--gtest_filter=UploadTest.KillChildUploadsUntilKilled";
  char* argv[] = {self, filter.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, self, &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  const bool arrived = service_.waitForRequestsTo(kUploadPath, 1, 60);
  ::kill(child, SIGKILL);
  platform::testing::waitForChild(child, 30);
  ASSERT_TRUE(arrived) << "the child never uploaded";

  service_.clearAnswers();
  service_.releaseHungRequests();
  start();
  upload();
  const auto requests = service_.requestsTo(kUploadPath);
  ASSERT_FALSE(requests.empty());
  std::string error;
  const auto bundles = local_service::decodeMeasurementBatch(requests.back().decodedBody, error);
  ASSERT_TRUE(bundles && bundles->size() == 1u) << error;
  EXPECT_EQ((*bundles)[0].events.at(0).name, "survivor");
  EXPECT_TRUE(queueIsEmpty());
}

}  // namespace
