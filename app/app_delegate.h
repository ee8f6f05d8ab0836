// The application delegate: at launch it registers the settings' defaults, records the running
// version and configures the SDK stack once. The window comes from the main storyboard.
#pragma once

#include <string_view>

#include "platform/ui/application.h"

class AppDelegate : public platform::ApplicationDelegate {
 public:
  static constexpr std::string_view kClassName = "AppDelegate";

  bool applicationDidFinishLaunchingWithOptions(platform::Application& application,
                                                const platform::Value::Dictionary& launchOptions) override;

  void registerSettingDefaults();
  void recordVersionOfLastRun();
};
