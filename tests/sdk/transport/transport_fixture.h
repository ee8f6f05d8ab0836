// The transport as the load hooks set it up, on a fresh home with a launched application and a
// network of the test's choosing; restart() makes every shared instance anew on the same home.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/home.h"
#include "platform/net/reachability.h"
#include "platform/testing/testing.h"
#include "platform/testing/ui_driver.h"
#include "platform/ui/application.h"
#include "sdk/transport/core/vdtcor_application.h"
#include "sdk/transport/core/vdtcor_event.h"
#include "sdk/transport/core/vdtcor_flat_file_storage.h"
#include "sdk/transport/core/vdtcor_lifecycle.h"
#include "sdk/transport/core/vdtcor_metrics_controller.h"
#include "sdk/transport/core/vdtcor_reachability.h"
#include "sdk/transport/core/vdtcor_registrar.h"
#include "sdk/transport/core/vdtcor_transformer.h"
#include "sdk/transport/core/vdtcor_upload_coordinator.h"
#include "sdk/transport/core/vdtcor_uploader.h"
#include "sdk/utilities/promises/vbl_promise.h"

namespace transport_tests {

inline constexpr platform::NetworkReachabilityFlags kWifi = platform::NetworkReachabilityFlag::kReachable;
inline constexpr platform::NetworkReachabilityFlags kCellular =
    platform::NetworkReachabilityFlag::kReachable | platform::NetworkReachabilityFlag::kIsWWAN;
inline constexpr platform::NetworkReachabilityFlags kOffline = 0;

// A payload of fixed bytes (none when made with nullopt).
class BytesObject final : public VDTCOREventDataObject {
 public:
  explicit BytesObject(std::optional<platform::Data> bytes) : bytes_(std::move(bytes)) {}
  std::optional<platform::Data> transportBytes() const override { return bytes_; }

 private:
  std::optional<platform::Data> bytes_;
};

inline platform::Data bytesOf(std::string_view text) { return platform::Data(text.begin(), text.end()); }

inline std::shared_ptr<VDTCOREvent> makeEvent(std::string mappingID, VDTCORTarget target, std::int64_t tier = 3,
                                              std::string_view payload = "payload") {
  auto event = VDTCOREvent::initWithMappingID(mappingID, target);
  event->setQosTier(tier);
  event->setDataObject(std::make_shared<BytesObject>(bytesOf(payload)));
  return event;
}

// Records what the coordinator and the lifecycle ask of an uploader.
class FakeUploader final : public VDTCORUploader {
 public:
  void uploadTarget(VDTCORTarget target, VDTCORUploadConditions conditions) override {
    std::lock_guard lock(mutex_);
    uploads_.emplace_back(target, conditions);
  }
  void appWillBackground(VDTCORApplication&) override { count("background"); }
  void appWillForeground(VDTCORApplication&) override { count("foreground"); }
  void appWillTerminate(VDTCORApplication&) override { count("terminate"); }

  std::vector<std::pair<VDTCORTarget, VDTCORUploadConditions>> uploads() const {
    std::lock_guard lock(mutex_);
    return uploads_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    uploads_.clear();
  }
  int lifecycleCount(const std::string& what) const {
    std::lock_guard lock(mutex_);
    auto it = lifecycle_.find(what);
    return it == lifecycle_.end() ? 0 : it->second;
  }

 private:
  void count(const std::string& what) {
    std::lock_guard lock(mutex_);
    ++lifecycle_[what];
  }
  mutable std::mutex mutex_;
  std::vector<std::pair<VDTCORTarget, VDTCORUploadConditions>> uploads_;
  std::map<std::string, int> lifecycle_;
};

// Hears what the storage drops.
class RecordingDelegate final : public VDTCORStorageDelegate {
 public:
  void storageDidDropEvent(VDTCORStorageProtocol&, const std::shared_ptr<VDTCOREvent>& event) override {
    std::lock_guard lock(mutex_);
    dropped.push_back(event);
  }
  void storageDidRemoveExpiredEvents(VDTCORStorageProtocol&, const VDTCOREventSet& events) override {
    std::lock_guard lock(mutex_);
    expired.insert(events.begin(), events.end());
  }
  std::mutex mutex_;
  std::vector<std::shared_ptr<VDTCOREvent>> dropped;
  VDTCOREventSet expired;
};

// Winds every shared instance of the transport down, in the order that lets queued work finish.
inline void resetTransport() {
  platform::testing::runUntilIdle();
  VDTCORLifecycle::resetSharedInstanceForTesting();
  VDTCORMetricsController::resetSharedInstanceForTesting();
  VDTCORTransformer::resetSharedInstanceForTesting();
  VDTCORFlatFileStorage::resetSharedInstanceForTesting();
  VDTCORUploadCoordinator::resetSharedInstanceForTesting();
  VDTCORRegistrar::resetSharedInstanceForTesting();
  VDTCORReachability::resetSharedInstanceForTesting();
  VDTCORApplication::resetSharedApplicationForTesting();
  platform::testing::runUntilIdle();
}

// The transport's load hooks, in their order.
inline void startTransport() {
  VDTCORFlatFileStorage::load();
  VDTCORLifecycle::load();
  VDTCORMetricsController::load();
  VDTCORApplication::load();
  // Registrations are queued: let them land before the test looks.
  VDTCORRegistrar::sharedInstance()->registrarQueue()->sync([] {});
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::NetworkState::setFlagsForTesting(kWifi);
    platform::UIDriver::reset();
    // A bundle without Info.plist: the application launches without any screen.
    bundle_ = platform::Home::temporary() / "bundle";
    std::filesystem::create_directories(bundle_);
    platform::Bundle::setMainPath(bundle_);
    platform::ApplicationDelegateRegistry::registerClass(
        "TransportTestDelegate", [] { return std::make_shared<platform::ApplicationDelegate>(); });
    app_ = platform::Application::launch("TransportTestDelegate");
    resetTransport();
    startTransport();
  }

  void TearDown() override {
    resetTransport();
    platform::UIDriver::reset();
    platform::Bundle::setMainPath({});
    platform::NetworkState::restore();
  }

  // New instances of everything on the same home: what the next launch finds.
  void restart() {
    resetTransport();
    startTransport();
  }

  static std::shared_ptr<VDTCORFlatFileStorage> storage() { return VDTCORFlatFileStorage::sharedInstance(); }

  // Stores through the storage and waits for the outcome.
  static std::pair<bool, platform::Error> store(const std::shared_ptr<VDTCOREvent>& event) {
    auto outcome = std::make_shared<std::pair<bool, platform::Error>>(false, platform::Error());
    storage()->storeEvent(event, [outcome](bool written, const platform::Error& error) {
      *outcome = {written, error};
    });
    platform::testing::runUntilIdle();
    return *outcome;
  }

  // The batch the storage makes for the selector, waited for.
  static std::pair<std::optional<std::int64_t>, std::optional<VDTCOREventSet>> batch(
      std::shared_ptr<VDTCORStorageEventSelector> selector, double expiresIn = 600) {
    auto outcome = std::make_shared<std::pair<std::optional<std::int64_t>, std::optional<VDTCOREventSet>>>();
    storage()->batchWithEventSelector(std::move(selector), platform::Date::now().addingTimeInterval(expiresIn),
                                      [outcome](std::optional<std::int64_t> id, std::optional<VDTCOREventSet> events) {
                                        *outcome = {id, std::move(events)};
                                      });
    platform::testing::runUntilIdle();
    return *outcome;
  }

  template <class T>
  static std::shared_ptr<VBLPromise<T>> settled(std::shared_ptr<VBLPromise<T>> promise) {
    platform::testing::runUntilIdle();
    return promise;
  }

  static std::vector<std::string> fileNames(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  static std::filesystem::path targetDirectory(VDTCORTarget target) {
    return VDTCORFlatFileStorage::eventDataStoragePath() / std::to_string(target);
  }

  std::filesystem::path bundle_;
  std::shared_ptr<platform::Application> app_;
};

}  // namespace transport_tests
