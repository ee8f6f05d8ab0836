#include "app/main_entry.h"

#include "app/app_delegate.h"
#include "app/app_fonts.h"
#include "app/main_storyboard.h"
#include "platform/ui/application.h"
#include "sdk/load_hooks.h"

void registerFocusApp() {
  registerAppFonts();
  platform::ApplicationDelegateRegistry::registerClass(std::string(AppDelegate::kClassName),
                                                       [] { return std::make_shared<AppDelegate>(); });
  registerMainStoryboard();
}

std::shared_ptr<platform::Application> launchFocusApp(const platform::Value::Dictionary& launchOptions) {
  sdk::runLoadHooks();
  registerFocusApp();
  return platform::Application::launch(AppDelegate::kClassName, launchOptions);
}

int focusAppMain(int argc, char** argv) {
  sdk::runLoadHooks();
  registerFocusApp();
  platform::applicationMain(argc, argv, AppDelegate::kClassName);
  return 0;
}
