#include "app/app_delegate.h"

#include "app/app_notifications.h"
#include "app/setting_keys.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/user_defaults.h"
#include "platform/runtime/message.h"
#include "platform/ui/application_delegate_class.h"
#include "sdk/core/core/vdz_app.h"

AppDelegate::AppDelegate() {
  platform::runtime::setClass(*this, platform::applicationDelegateClass(kClassName, sizeof(AppDelegate),
                                                                        {platform::kApplicationDidFinishLaunchingWithOptionsSelector}));
}

bool AppDelegate::applicationDidFinishLaunchingWithOptions(platform::Application& /*application*/,
                                                           const platform::Value::Dictionary& /*launchOptions*/) {
  registerSettingDefaults();
  // A sound centre made before the defaults existed reloads its noise for the registered mode.
  postAppNotification(kWhiteNoiseModeChangeNotification);
  recordVersionOfLastRun();
  VDZApp::configure();
  return true;
}

void AppDelegate::registerSettingDefaults() {
  platform::Value::Dictionary defaults{
      {std::string(kIsFirstLaunchKey), platform::Value(true)},
      {std::string(kFocusTimeKey), platform::Value(25)},
      {std::string(kBreakTimeKey), platform::Value(5)},
      {std::string(kLongBreakTimeKey), platform::Value(20)},
      {std::string(kSessionNumberKey), platform::Value(4)},
      {std::string(kEnableSoundKey), platform::Value(true)},
      {std::string(kEnableVibrationKey), platform::Value(true)},
      {std::string(kEnableFlashKey), platform::Value(false)},
      {std::string(kSessionDoneNumberKey), platform::Value(1)},
      {std::string(kWhiteNoiseModeKey), platform::Value(1)},
      {std::string(kTodayFocusTotalTimeKey), platform::Value(0)},
  };
  platform::UserDefaults::standard()->registerDefaults(defaults);
}

void AppDelegate::recordVersionOfLastRun() {
  auto defaults = platform::UserDefaults::standard();
  platform::Value version;
  if (auto bundle = platform::Bundle::main()) {
    platform::Value value = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
    if (value.isString()) version = value;
  }
  (void)defaults->objectForKey(kVersionOfLastRunKey);
  defaults->setObject(version, kVersionOfLastRunKey);
  // The write is made at once, but off the main thread: launch never waits for the disk.
  platform::DispatchQueue::global(platform::QualityOfService::Utility)->async([defaults] { defaults->synchronize(); });
}
