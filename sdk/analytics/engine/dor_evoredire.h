// The public analytics interface: what applications and other SDK libraries call, and the class
// the core's configure step starts by name. Nearly everything forwards to the facade; the checks
// made here are the ones that need the core (a configured default app, the installation ID).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "sdk/analytics/engine/apm_analytics.h"

class DOREvoredireConfiguration;
class VDZOptions;

class DOREvoredire {
 public:
  DOREvoredire() = delete;

  // Registers the class "DOREvoredire" with the runtime so the core finds and starts it.
  static void load();

  static void startWithConfiguration(const std::shared_ptr<DOREvoredireConfiguration>& configuration,
                                     const std::shared_ptr<VDZOptions>& options);
  static void updateVuduzaraInstallationID();
  static void observeVuduzaraInstallationIDChanges();

  // ---- for applications ----
  static void logEventWithName(const std::string& name, const APMDictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, const std::string& name, const APMDictionary& parameters);
  static void setUserPropertyString(const APMObject& value, const std::string& name);
  static void setUserID(const APMObject& userID);
  static void setSessionTimeoutInterval(double seconds);
  static std::optional<std::string> appInstanceID();
  static void resetAnalyticsData();
  static void setDefaultEventParameters(const std::optional<APMDictionary>& parameters);
  static void handleOpenURL(const std::string& url);
  static void handleUserActivity(const platform::Value::Dictionary& userActivity);
  static void handleEventsForBackgroundURLSession(const std::string& identifier, std::function<void()> completion);
  static void setAnalyticsCollectionEnabled(bool enabled);
  static void setConsent(const platform::Value::Dictionary& consent);
  static std::string topLevelVersion();

  // ---- for other SDK libraries and the connector ----
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const APMDictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const APMDictionary& parameters, double timestamp, bool ignoreEnabled,
                                 bool ignoreInterceptor);
  static void userPropertiesIncludingInternal(bool includingInternal, std::shared_ptr<platform::DispatchQueue> queue,
                                              APMAnalytics::UserPropertiesCallback callback);
  static void setLogEventInterceptor(APMAnalytics::Interceptor interceptor);
  static APMAnalytics::ListenerToken addLogEventListener(APMAnalytics::Listener listener);
  static void removeLogEventListener(APMAnalytics::ListenerToken token);
  static void notifyEventListeners(const std::shared_ptr<const APMEvent>& event);
  static void setOpenURLListener(APMAnalytics::OpenURLListener listener);
  static void dispatchAsyncOnSerialQueue(APMAnalytics::Block block);
  static void queueOperationWithBlock(APMAnalytics::Block block);
  static void unsuspendOperationQueue();
  static double loadTimestamp();
  // The instance methods of the shared instance, used by the connector.
  static void logInternalAdEventWithOrigin(const std::string& origin, const std::string& name,
                                           const APMDictionary& parameters);
  static void setInternalUserProperty(const APMObject& value, const std::string& name, const std::string& origin);
  static void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                         std::function<void(std::int64_t)> callback);
  static void notCalled() {}
};
