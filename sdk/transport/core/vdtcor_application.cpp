#include "sdk/transport/core/vdtcor_application.h"

#include "platform/foundation/bundle.h"
#include "platform/foundation/notification_center.h"
#include "platform/ui/application.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_shared_instance.h"

static_assert(VDTCORBackgroundIdentifierInvalid == platform::kBackgroundTaskInvalid,
              "VDTCORBackgroundIdentifierInvalid and UIBackgroundTaskInvalid should be the same.");

namespace {

// Scene notifications drive the wrapper as well; one return to the front may thus arrive twice.
constexpr std::string_view kSceneWillEnterForegroundNotification = "UISceneWillEnterForegroundNotification";
constexpr std::string_view kSceneWillDeactivateNotification = "UISceneWillDeactivateNotification";

VDTCORSharedInstance<VDTCORApplication>& slot() {
  static auto* s = new VDTCORSharedInstance<VDTCORApplication>;
  return *s;
}

}  // namespace

void VDTCORApplication::load() {
  VDTCORLogDebug(
      "VDT is initializing. Please note that if you quit the app via the debugger and not through a lifecycle event, "
      "event data will remain on disk but storage won't have a reference to them since the singleton wasn't saved to "
      "disk.");
  sharedApplication();
}

std::shared_ptr<VDTCORApplication> VDTCORApplication::sharedApplication() { return slot().get([] { return make(); }); }

void VDTCORApplication::resetSharedApplicationForTesting() {
  if (auto old = slot().reset()) platform::NotificationCenter::defaultCenter().removeObserver(old.get());
}

std::shared_ptr<VDTCORApplication> VDTCORApplication::make() {
  auto app = std::make_shared<VDTCORApplication>(Token{});
  std::weak_ptr<VDTCORApplication> weak = app;
  auto& center = platform::NotificationCenter::defaultCenter();
  auto observe = [&](std::string_view name, void (VDTCORApplication::*handler)(const platform::Notification&)) {
    center.addObserver(weak, std::string(name), nullptr, [weak, handler](const platform::Notification& n) {
      if (auto self = weak.lock()) ((*self).*handler)(n);
    });
  };
  observe(platform::kApplicationDidEnterBackgroundNotification, &VDTCORApplication::iOSApplicationDidEnterBackground);
  observe(platform::kApplicationWillEnterForegroundNotification, &VDTCORApplication::iOSApplicationWillEnterForeground);
  observe(platform::kApplicationWillTerminateNotification, &VDTCORApplication::iOSApplicationWillTerminate);
  observe(kSceneWillEnterForegroundNotification, &VDTCORApplication::iOSApplicationWillEnterForeground);
  observe(kSceneWillDeactivateNotification, &VDTCORApplication::iOSApplicationDidEnterBackground);
  return app;
}

bool VDTCORApplication::isAppExtension() {
  auto bundle = platform::Bundle::main();
  return bundle && bundle->bundlePath().string().ends_with(".appex");
}

std::shared_ptr<platform::Application> VDTCORApplication::sharedApplicationForBackgroundTask() {
  if (isAppExtension()) return nullptr;
  return platform::Application::shared();
}

VDTCORBackgroundIdentifier VDTCORApplication::beginBackgroundTaskWithName(std::string name,
                                                                          std::function<void()> expirationHandler) {
  auto application = sharedApplicationForBackgroundTask();
  if (!application) return VDTCORBackgroundIdentifierInvalid;
  const std::string taskName = name;
  const VDTCORBackgroundIdentifier identifier =
      application->beginBackgroundTaskWithName(std::move(name), std::move(expirationHandler));
  if (identifier != VDTCORBackgroundIdentifierInvalid) {
    VDTCORLogDebug("Creating background task with name:%@ bgID:%ld", taskName, identifier);
  }
  return identifier;
}

void VDTCORApplication::endBackgroundTask(VDTCORBackgroundIdentifier identifier) {
  if (identifier == VDTCORBackgroundIdentifierInvalid) return;
  VDTCORLogDebug("Ending background task with ID:%ld was successful", identifier);
  if (auto application = sharedApplicationForBackgroundTask()) application->endBackgroundTask(identifier);
}

void VDTCORApplication::iOSApplicationDidEnterBackground(const platform::Notification&) {
  isRunningInBackground_ = true;
  VDTCORLogDebug("VDTCORPlatform is sending a notif that the app is backgrounding.");
  platform::NotificationCenter::defaultCenter().post(std::string(kVDTCORApplicationDidEnterBackgroundNotification));
}

void VDTCORApplication::iOSApplicationWillEnterForeground(const platform::Notification&) {
  isRunningInBackground_ = false;
  VDTCORLogDebug("VDTCORPlatform is sending a notif that the app is foregrounding.");
  platform::NotificationCenter::defaultCenter().post(std::string(kVDTCORApplicationWillEnterForegroundNotification));
}

void VDTCORApplication::iOSApplicationWillTerminate(const platform::Notification&) {
  VDTCORLogDebug("VDTCORPlatform is sending a notif that the app is terminating.");
  platform::NotificationCenter::defaultCenter().post(std::string(kVDTCORApplicationWillTerminateNotification));
}

std::shared_ptr<VDTCORBackgroundTask> VDTCORBackgroundTask::begin(
    const std::shared_ptr<VDTCORApplicationProtocol>& application, std::string name, std::function<void()> onExpiry) {
  auto task = std::make_shared<VDTCORBackgroundTask>();
  task->application_ = application;
  if (!application) return task;
  std::weak_ptr<VDTCORBackgroundTask> weak = task;
  const VDTCORBackgroundIdentifier identifier =
      application->beginBackgroundTaskWithName(std::move(name), [weak, onExpiry = std::move(onExpiry)] {
        auto t = weak.lock();
        if (!t) return;
        if (onExpiry && !t->ended_.load()) onExpiry();
        t->end();
      });
  task->identifier_ = identifier;
  // An expiry that came before the identifier was known could not end the task: end it now.
  if (task->ended_.load() && identifier != VDTCORBackgroundIdentifierInvalid) {
    task->ended_ = false;
    task->end();
  }
  return task;
}

void VDTCORBackgroundTask::end() {
  if (ended_.exchange(true)) return;
  const VDTCORBackgroundIdentifier identifier = identifier_.exchange(VDTCORBackgroundIdentifierInvalid);
  if (identifier == VDTCORBackgroundIdentifierInvalid) return;
  if (auto application = application_.lock()) application->endBackgroundTask(identifier);
}
