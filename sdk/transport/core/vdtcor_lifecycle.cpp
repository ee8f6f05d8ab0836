#include "sdk/transport/core/vdtcor_lifecycle.h"

#include <string>

#include "platform/foundation/notification_center.h"
#include "sdk/transport/core/vdtcor_application.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_registrar.h"
#include "sdk/transport/core/vdtcor_shared_instance.h"
#include "sdk/transport/core/vdtcor_transformer.h"
#include "sdk/transport/core/vdtcor_upload_coordinator.h"

namespace {

VDTCORSharedInstance<VDTCORLifecycle>& slot() {
  static auto* s = new VDTCORSharedInstance<VDTCORLifecycle>;
  return *s;
}

}  // namespace

VDTCORLifecycle::~VDTCORLifecycle() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

void VDTCORLifecycle::load() { sharedInstance(); }

std::shared_ptr<VDTCORLifecycle> VDTCORLifecycle::sharedInstance() { return slot().get([] { return make(); }); }

void VDTCORLifecycle::resetSharedInstanceForTesting() { slot().reset(); }

std::shared_ptr<VDTCORLifecycle> VDTCORLifecycle::make() {
  auto lifecycle = std::make_shared<VDTCORLifecycle>(Token{});
  std::weak_ptr<VDTCORLifecycle> weak = lifecycle;
  auto& center = platform::NotificationCenter::defaultCenter();
  auto observe = [&](std::string_view name, void (VDTCORLifecycle::*handler)(const platform::Notification&)) {
    center.addObserver(weak, std::string(name), nullptr, [weak, handler](const platform::Notification& n) {
      if (auto self = weak.lock()) ((*self).*handler)(n);
    });
  };
  observe(kVDTCORApplicationDidEnterBackgroundNotification, &VDTCORLifecycle::applicationDidEnterBackgroundNotification);
  observe(kVDTCORApplicationWillEnterForegroundNotification,
          &VDTCORLifecycle::applicationWillEnterForegroundNotification);
  observe(kVDTCORApplicationWillTerminateNotification, &VDTCORLifecycle::applicationWillTerminateNotification);
  return lifecycle;
}

void VDTCORLifecycle::applicationDidEnterBackgroundNotification(const platform::Notification&) {
  auto app = VDTCORApplication::sharedApplication();
  VDTCORLogDebug("Signaling VDTCORUploadCoordinator that the app is backgrounding.");
  VDTCORUploadCoordinator::sharedInstance()->appWillBackground(*app);
  VDTCORLogDebug("Signaling VDTCORRegistrar that the app is backgrounding.");
  VDTCORRegistrar::sharedInstance()->appWillBackground(*app);
}

void VDTCORLifecycle::applicationWillEnterForegroundNotification(const platform::Notification&) {
  auto app = VDTCORApplication::sharedApplication();
  VDTCORLogDebug("Signaling VDTCORUploadCoordinator that the app is foregrounding.");
  VDTCORUploadCoordinator::sharedInstance()->appWillForeground(*app);
  VDTCORLogDebug("Signaling VDTCORRegistrar that the app is foregrounding.");
  VDTCORRegistrar::sharedInstance()->appWillForeground(*app);
}

void VDTCORLifecycle::applicationWillTerminateNotification(const platform::Notification&) {
  auto app = VDTCORApplication::sharedApplication();
  VDTCORLogDebug("Signaling VDTCORTransformer that the app is terminating.");
  VDTCORTransformer::sharedInstance()->appWillTerminate(*app);
  VDTCORLogDebug("Signaling VDTCORUploadCoordinator that the app is terminating.");
  VDTCORUploadCoordinator::sharedInstance()->appWillTerminate(*app);
  VDTCORLogDebug("Signaling VDTCORRegistrar that the app is terminating.");
  VDTCORRegistrar::sharedInstance()->appWillTerminate(*app);
}
