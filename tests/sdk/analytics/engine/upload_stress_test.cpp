// Real threads on the real clock: the app goes to the background and comes back from the main
// thread while the network flips and uploads run on the worker queue against the local service.
// Every queued bundle leaves the device, and no background task is left held.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine_test_fixture.h"
#include "platform/foundation/notification_center.h"
#include "platform/net/reachability.h"
#include "platform/runloop/clock.h"
#include "platform/ui/application.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/messages/apmpb_messages.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/utilities/utilities/vul_network.h"
#include "tools/local-service/analytics_routes.h"

namespace {

using engine_test::EngineTest;

TEST_F(EngineTest, UploadsSurviveLifecycleAndReachabilityChurn) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  platform::NetworkState::setFlagsForTesting(platform::NetworkReachabilityFlag::kReachable);
  local_service::LocalService service;
  local_service::addAnalyticsRoutes(service);
  ASSERT_TRUE(service.start());
  setenv("VDZ_SERVICE_URL", service.baseURL().c_str(), 1);
  configure();
  const auto engine = APMMeasurement::sharedInstanceIfCreated();
  ASSERT_TRUE(engine);
  const auto bundleSchema = APMPBMeasurementBundle::schema();

  constexpr int kBundles = 40;
  std::thread producer([&] {
    for (int i = 0; i < kBundles; ++i) {
      engine->scheduler()->scheduleOnWorkerQueueBlockID("stress", [&, i] {
        auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
        const double now = platform::Clock::current().now().timeIntervalSince1970();
        NANOSetString(bundle.get(), bundleSchema.indexOfTag(14), engine_test::kAppID);
        NANOSetInt64(bundle.get(), bundleSchema.indexOfTag(6), static_cast<std::int64_t>(now * 1000));
        NANOSetInt32(bundle.get(), bundleSchema.indexOfTag(23), i);
        engine->database()->insertBundle(*bundle, false, nullptr);
        engine->uploadData();
      });
      std::this_thread::yield();
    }
  });
  std::thread flipper([&] {
    for (int i = 0; i < 400; ++i) {
      engine->reachabilityDidChange();
      std::this_thread::yield();
    }
  });
  auto& center = platform::NotificationCenter::defaultCenter();
  for (int i = 0; i < 200; ++i) {
    center.post(std::string(i % 2 ? platform::kApplicationWillEnterForegroundNotification
                                  : platform::kApplicationWillResignActiveNotification));
  }
  producer.join();
  flipper.join();

  // Whatever is still queued goes out now; every bundle was accepted once at least.
  for (int round = 0; round < 200; ++round) {
    platform::testing::runUntilIdle();
    bool empty = false;
    engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("stress", [&] {
      if (!engine->isNetworkRequestPending()) engine->uploadData();
      empty = engine->database()->isQueuedBundleTableEmpty(nullptr).value_or(false) &&
              !engine->isNetworkRequestPending();
    });
    if (empty) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::string error;
  std::size_t sent = 0;
  for (const auto& request : service.requestsTo("/a")) {
    const auto bundles = local_service::decodeMeasurementBatch(request.decodedBody, error);
    ASSERT_TRUE(bundles) << error;
    sent += bundles->size();
  }
  EXPECT_GE(sent, static_cast<std::size_t>(kBundles));
  bool queueEmpty = false;
  engine->scheduler()->dispatchSyncOnWorkerQueueBlockID(
      "stress", [&] { queueEmpty = engine->database()->isQueuedBundleTableEmpty(nullptr).value_or(false); });
  EXPECT_TRUE(queueEmpty);
  center.post(std::string(platform::kApplicationWillEnterForegroundNotification));
  EXPECT_EQ(engine->backgroundUpdateTask(), platform::kBackgroundTaskInvalid);

  platform::testing::useManualClock();
  unsetenv("VDZ_SERVICE_URL");
  platform::NetworkState::restore();
}

}  // namespace
