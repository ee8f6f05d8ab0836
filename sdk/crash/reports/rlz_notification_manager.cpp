#include "sdk/crash/reports/rlz_notification_manager.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/ui/application.h"
#include "platform/ui/device.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/context/rlz_user_logging.h"

namespace {

std::int64_t deviceOrientation() { return static_cast<std::int64_t>(platform::Device::current().orientation()); }

// The stand-in's interface never rotates: portrait while there is an application, 0 in an
// extension, which has none.
std::int64_t statusBarOrientation() { return platform::Application::shared() ? 1 : 0; }

}  // namespace

void RLZNotificationManager::registerNotificationListener() {
  captureInitialNotificationStates();
  auto& center = platform::NotificationCenter::defaultCenter();
  std::weak_ptr<const void> owner = shared_from_this();
  auto observe = [&](std::string_view name, void (RLZNotificationManager::*handler)()) {
    std::weak_ptr<RLZNotificationManager> weakSelf = weak_from_this();
    center.addObserver(owner, std::string(name), nullptr, [weakSelf, handler](const platform::Notification&) {
      if (auto self = weakSelf.lock()) ((*self).*handler)();
    });
  };
  observe(platform::kApplicationWillEnterForegroundNotification, &RLZNotificationManager::willBecomeActive);
  observe(platform::kApplicationDidEnterBackgroundNotification, &RLZNotificationManager::didBecomeInactive);
  observe(platform::kDeviceOrientationDidChangeNotification, &RLZNotificationManager::didChangeOrientation);
  observe(kRLZStatusBarOrientationDidChangeNotification, &RLZNotificationManager::didChangeUIOrientation);
}

void RLZNotificationManager::captureInitialNotificationStates() {
  const std::string device = std::to_string(deviceOrientation());
  const std::string ui = std::to_string(statusBarOrientation());
  auto queue = RLZContextLoggingQueue();
  if (!queue) return;
  queue->async([device, ui] {
    RLZUserLoggingWriteInternalKeyValue(std::string(kRLZInBackgroundKey), "0");
    RLZUserLoggingWriteInternalKeyValue(std::string(kRLZDeviceOrientationKey), device);
    RLZUserLoggingWriteInternalKeyValue(std::string(kRLZUIOrientationKey), ui);
  });
}

void RLZNotificationManager::willBecomeActive() {
  RLZUserLoggingRecordInternalKeyValue(std::string(kRLZInBackgroundKey), platform::Value(false));
}

void RLZNotificationManager::didBecomeInactive() {
  RLZUserLoggingRecordInternalKeyValue(std::string(kRLZInBackgroundKey), platform::Value(true));
}

void RLZNotificationManager::didChangeOrientation() {
  RLZUserLoggingRecordInternalKeyValue(std::string(kRLZDeviceOrientationKey), platform::Value(deviceOrientation()));
}

void RLZNotificationManager::didChangeUIOrientation() {
  RLZUserLoggingRecordInternalKeyValue(std::string(kRLZUIOrientationKey), platform::Value(statusBarOrientation()));
}
