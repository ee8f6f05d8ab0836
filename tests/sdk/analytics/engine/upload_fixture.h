// The engine against the local service on the manual clock: the service answers the upload and
// configuration routes, the network is reachable, and helpers queue bundles straight into the
// store and read back what left the device.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "platform/net/reachability.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/messages/apmpb_messages.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/utilities/utilities/vul_network.h"
#include "tests/sdk/analytics/engine/engine_test_fixture.h"
#include "tools/local-service/analytics_routes.h"
#include "tools/local-service/measurement_config_fixture.h"

namespace engine_test {

inline constexpr std::string_view kUploadPath = "/a";
inline constexpr std::string_view kConfigPath = "/config/app/*";

inline int bundleIndex(std::uint32_t tag) { return kNANOMeasurementBundleSchema.indexOfTag(tag); }

// A bundle as bundling leaves it: app ID, end time and one event from the app.
inline std::shared_ptr<APMPBMeasurementBundle> makeBundle(const std::string& eventName, double timestamp,
                                                   std::string_view appID = kAppID) {
  auto origin = APMPBEventParam::initWithMessageInfo();
  NANOSetString(origin.get(), 0, "_o");
  NANOSetString(origin.get(), 1, "app");
  auto event = APMPBEvent::initWithMessageInfo();
  NANOSetArray(event.get(), 0, std::vector<std::shared_ptr<APMPBEventParam>>{origin});
  NANOSetString(event.get(), 1, eventName);
  NANOSetInt64(event.get(), 2, static_cast<std::int64_t>(timestamp * 1000));
  auto property = APMPBUserAttribute::initWithMessageInfo();
  NANOSetInt64(property.get(), 0, static_cast<std::int64_t>(timestamp * 1000));
  NANOSetString(property.get(), 1, "sound");
  NANOSetString(property.get(), 2, "rain");
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetInt32(bundle.get(), bundleIndex(1), 1);
  NANOSetArray(bundle.get(), bundleIndex(2), std::vector<std::shared_ptr<APMPBEvent>>{event});
  NANOSetArray(bundle.get(), bundleIndex(3), std::vector<std::shared_ptr<APMPBUserAttribute>>{property});
  NANOSetString(bundle.get(), bundleIndex(14), appID);
  NANOSetInt64(bundle.get(), bundleIndex(5), static_cast<std::int64_t>(timestamp * 1000));
  NANOSetInt64(bundle.get(), bundleIndex(6), static_cast<std::int64_t>(timestamp * 1000));
  NANOSetString(bundle.get(), bundleIndex(21), "instance-1");
  return bundle;
}

inline std::string fixtureText() {
  std::ifstream in(local_service::defaultMeasurementConfigFixturePath());
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class UploadTest : public EngineTest {
 protected:
  void SetUp() override {
    clock_ = platform::testing::useManualClock();
    platform::NetworkState::setFlagsForTesting(platform::NetworkReachabilityFlag::kReachable);
    configs_ = local_service::addAnalyticsRoutes(service_);
    ASSERT_TRUE(service_.start());
    setenv("VDZ_SERVICE_URL", service_.baseURL().c_str(), 1);
    EngineTest::SetUp();
  }
  void TearDown() override {
    service_.releaseHungRequests();
    EngineTest::TearDown();
    unsetenv("VDZ_SERVICE_URL");
    platform::NetworkState::restore();
  }

  // Starts the engine and lets its start-time work (and any request it makes) finish.
  void start() {
    configure();
    forgetStartEvents();
    engine_ = APMMeasurement::sharedInstanceIfCreated();
    ASSERT_TRUE(engine_);
    ASSERT_TRUE(engine_->network());
    settle();
    service_.clearRequests();
  }

  void onWorker(const std::function<void()>& block) {
    engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", block);
  }

  // Runs queues until no request of the engine is in flight. Requests go over real sockets, so
  // this waits on them, not on time.
  void settle() {
    for (int i = 0; i < 2000; ++i) {
      platform::testing::runUntilIdle();
      bool busy = false;
      onWorker([&] { busy = engine_->isNetworkRequestPending() || engine_->network()->hasUploadInProgress(); });
      if (!busy) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    FAIL() << "an engine request never finished";
  }

  void advance(double seconds) {
    platform::testing::advance(seconds);
    settle();
  }

  void queue(const std::string& eventName, bool realtime = false, std::string_view appID = kAppID) {
    platform::Error error;
    bool stored = false;
    onWorker([&] { stored = engine_->database()->insertBundle(*makeBundle(eventName, now(), appID), realtime, &error); });
    EXPECT_TRUE(stored) << error.description();
  }

  void upload() {
    onWorker([&] { engine_->uploadData(); });
    settle();
  }

  bool queueIsEmpty() {
    std::optional<bool> empty;
    onWorker([&] { empty = engine_->database()->isQueuedBundleTableEmpty(nullptr); });
    return empty.value_or(false);
  }

  std::vector<local_service::UploadedMeasurementBundle> uploadedBundles(std::size_t request) {
    const auto requests = service_.requestsTo(kUploadPath);
    if (request >= requests.size()) {
      ADD_FAILURE() << "no upload " << request;
      return {};
    }
    std::string error;
    auto bundles = local_service::decodeMeasurementBatch(requests[request].decodedBody, error);
    EXPECT_TRUE(bundles) << error;
    return bundles.value_or(std::vector<local_service::UploadedMeasurementBundle>{});
  }

  std::size_t uploads() { return service_.requestsTo(kUploadPath).size(); }
  double now() const { return clock_->now().timeIntervalSince1970(); }
  std::shared_ptr<APMPersistedConfig> persisted() { return engine_->persistedConfig(); }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  local_service::LocalService service_;
  std::shared_ptr<local_service::MeasurementConfigs> configs_;
  std::shared_ptr<APMMeasurement> engine_;
};

}  // namespace engine_test
