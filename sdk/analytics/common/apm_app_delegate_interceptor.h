// Registered with the application-delegate swizzler so the engine learns of opened URLs,
// continued user activities and background URL-session events without the app forwarding them.
// The engine and the facade live above this layer: they connect their entry points here when they
// load. Background URL-session events go straight to the HTTP client, which lives below.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/ui/application.h"

class APMAppDelegateInterceptor : public platform::ApplicationDelegate {
 public:
  struct Hooks {
    // `[APMAnalytics handleOpenURL:]`.
    std::function<void(const std::string& url)> handleOpenURL;
    // `[APMMeasurement deepLinkFromUserActivity:]`: the activity's deep link, if any.
    std::function<std::optional<std::string>(const platform::Value::Dictionary& userActivity)> deepLinkFromUserActivity;
  };

  static std::shared_ptr<APMAppDelegateInterceptor> sharedInstance();
  static void setHooks(Hooks hooks);

  bool applicationOpenURLOptions(platform::Application& application, const std::string& url,
                                 const platform::Value::Dictionary& options) override;
  bool applicationOpenURLSourceApplicationAnnotation(platform::Application& application, const std::string& url,
                                                     const std::string& sourceApplication,
                                                     const platform::Value& annotation) override;
  bool applicationContinueUserActivityRestorationHandler(platform::Application& application,
                                                         const platform::Value::Dictionary& userActivity,
                                                         std::function<void(const platform::Value&)> restoration) override;
  void applicationHandleEventsForBackgroundURLSessionCompletionHandler(platform::Application& application,
                                                                       const std::string& identifier,
                                                                       std::function<void()> completion) override;
};
