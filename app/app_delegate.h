// The application delegate: at launch it registers the settings' defaults, records the running
// version and configures the SDK stack once. The window comes from the main storyboard. Its other
// callbacks are not implemented: SDK components that need them intercept them.
#pragma once

#include <string_view>

#include "platform/ui/application.h"

class AppDelegate : public platform::ApplicationDelegate {
 public:
  static constexpr std::string_view kClassName = "AppDelegate";

  // Of the runtime class "AppDelegate", which answers only the launch callback.
  AppDelegate();

  bool applicationDidFinishLaunchingWithOptions(platform::Application& application,
                                                const platform::Value::Dictionary& launchOptions) override;

  void registerSettingDefaults();
  void recordVersionOfLastRun();
};
