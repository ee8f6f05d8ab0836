// The one door into the analytics engine. Every request (the public interface, the connector,
// the engine's own reporters) enters here: calls that need the engine wait in an operation
// queue that stays suspended until start, then run in order on the serial queue
// "APMAnalyticsQueue"; events are stamped in order on "APMAnalyticsTimestampQueue". The facade
// keeps a small settings store (reset, consent, deferred collection) and never reports failure
// to its caller: misuse goes to the monitor and, for bad names and values, to the "_err" event.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"
#include "sdk/analytics/common/apm_object.h"

namespace platform {
class DispatchQueue;
namespace store {
struct PaymentTransaction;
}
}  // namespace platform
class APMEvent;
class DOREvoredireConfiguration;

inline constexpr std::string_view kDOREvoredireWillStartNotification = "kDOREvoredireWillStartNotification";
inline constexpr std::string_view kAPMAnalyticsQueueLabel = "APMAnalyticsQueue";
// Start options.
inline constexpr std::string_view kAPMStartOptionCollectionEnabled = "VUDUZARA_ANALYTICS_COLLECTION_ENABLED";
inline constexpr std::string_view kAPMStartOptionCollectionDeactivated = "VUDUZARA_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr std::string_view kAPMStartOptionConfiguration = "VUDUZARA_ANALYTICS_CONFIGURATION";
inline constexpr std::string_view kAPMStartOptionLogTag = "app_measurement_log_tag";
inline constexpr std::string_view kAPMStartOptionSafelistedEvents = "safelisted_events";
// Keys of the settings store.
inline constexpr std::string_view kAPMConsentSettingsKey = "consent_settings";
inline constexpr std::string_view kAPMConsentSettings3PKey = "consent_settings_3p";
inline constexpr std::string_view kAPMConsentSettingsOnStartKey = "consent_settings_on_start";

// The start options as the facade receives them: platform values, and the configuration object
// that the core hands over.
struct APMStartOptions {
  platform::Value::Dictionary values;
  std::shared_ptr<DOREvoredireConfiguration> configuration;
};

class APMAnalytics {
 public:
  using Block = std::function<void()>;
  using Interceptor =
      std::function<void(const std::string& origin, const std::string& name, const APMDictionary& parameters,
                         double timestamp)>;
  using Listener = std::function<void(const std::shared_ptr<const APMEvent>& event)>;
  // Absent: no token.
  using ListenerToken = std::optional<std::uint64_t>;
  using UserPropertiesCallback = std::function<void(const platform::Value::Dictionary&)>;
  using OpenURLListener = std::function<void(const std::string& url)>;

  APMAnalytics() = delete;

  // Records the load time and connects the parameter sanitiser and the delegate interceptor.
  static void load();

  // ---- start and queues ----
  static void startWithAppID(const std::string& appID, const std::string& origin,
                             const std::optional<APMStartOptions>& options);
  static std::shared_ptr<platform::DispatchQueue> queue();
  static void dispatchAsyncOnSerialQueue(Block block);
  static bool isCurrentQueueSerialQueue();
  static void queueOperationWithBlock(Block block);
  static void unsuspendOperationQueue();
  static double loadTimestamp();
  static void setLoadTimestamp(double timestamp);

  // ---- events ----
  static void logEventWithName(const std::string& name, const APMDictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, const std::string& name, const APMDictionary& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const APMDictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const APMDictionary& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                         const APMDictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const APMDictionary& parameters, double timestamp, bool ignoreEnabled,
                                 bool ignoreInterceptor);
  // The instance method of the shared instance: "am" events get their ad event ID as a number.
  static void logInternalAdEventWithOrigin(const std::string& origin, const std::string& name,
                                           const APMDictionary& parameters);

  // ---- user properties ----
  static void setUserPropertyString(const APMObject& value, const std::string& name);
  static void setUserAttributeNumber(const APMObject& number, const std::string& name);
  static void setUserID(const APMObject& userID);
  static void removeUserAttributeForName(const std::string& name);
  static void removeInternalUserAttributeForName(const std::string& name);
  static void setInternalUserProperty(const APMObject& value, const std::string& name, const std::string& origin);
  static void userPropertiesIncludingInternal(bool includingInternal, std::shared_ptr<platform::DispatchQueue> queue,
                                              UserPropertiesCallback callback);
  static void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                         std::function<void(std::int64_t)> callback);

  // ---- collection, consent and reset ----
  static void setAnalyticsEnabled(bool enabled);
  static void setAnalyticsEnabled(bool enabled, bool persistSetting);
  static void observeNotificationsForAnalyticsConfiguration(const std::shared_ptr<DOREvoredireConfiguration>& configuration);
  static void setConsent(const platform::Value::Dictionary& consent);
  static void setConsent(const platform::Value::Dictionary& consent, std::string_view key);
  static void persistConsentSettings(const platform::Value::Dictionary& settings, std::int64_t source);
  static std::int64_t persistedConsentSource();
  static void loadPersistedConsentSettings();
  static std::optional<platform::Value::Dictionary> consentSettings3P();
  static std::optional<platform::Value::Dictionary> consentSettings1P();
  static std::optional<platform::Value::Dictionary> consentSettings1PStart();
  static bool deferredResetOnDeniedConsent();
  static void removeStartUpConsentSettings();
  static void removeDeferredResetOnDeniedConsent();
  static std::int64_t resetRetryCount();
  static void setResetRetryCount(std::int64_t count);
  static bool needFirstOpenAfterReset();
  static void setNeedFirstOpenAfterReset(bool value);
  static void removeNeedFirstOpenAfterReset();
  static std::optional<std::string> appInstanceIDAfterReset();
  static void setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID);
  // Null when never decided.
  static platform::Value deferredAnalyticsCollection();
  static void setDeferredAnalyticsCollection(const platform::Value& value);
  static bool persistentConfigInApplicationSupportEnabled();
  static void setPersistentConfigInApplicationSupportEnabled(bool enabled);
  static void clearConsent();
  static void resetAnalyticsData();
  static std::optional<std::string> appInstanceID();

  // ---- screens, links, sessions ----
  static void setScreenName(const std::optional<std::string>& screenName, const std::optional<std::string>& screenClass);
  static void setSessionTimeoutInterval(double seconds);
  static void setDefaultEventParameters(const std::optional<APMDictionary>& parameters);
  static void handleOpenURL(const std::string& url);
  static void handleUserActivity(const platform::Value::Dictionary& userActivity);
  static void setOpenURLListener(OpenURLListener listener);
  static void handleEventsForBackgroundURLSession(const std::string& identifier, std::function<void()> completion);
  static void createAppDelegateProxy();

  // ---- purchases ----
  // The payment queue's batch: once started and enabled, the engine drops what it reported
  // before and the purchase reporter logs the rest.
  static void paymentQueueUpdatedTransactions(
      const std::vector<std::shared_ptr<const platform::store::PaymentTransaction>>& transactions);

  // ---- listeners and interceptor ----
  static void setLogEventInterceptor(Interceptor interceptor);
  static ListenerToken addLogEventListener(Listener listener);
  static void removeLogEventListener(ListenerToken token);
  static void notifyEventListeners(const std::shared_ptr<const APMEvent>& event);

  // Tests: a facade as at process start (new queues, nothing started, settings reloaded).
  static void resetForTesting();

 private:
  static void logEventOnSerialQueue(const std::string& origin, bool isPublicEvent, const std::string& name,
                                    APMDictionary parameters, double timestamp, bool ignoreEnabled,
                                    bool ignoreInterceptor, APMDictionary addedScreenParameters);
  static void notifyEventListenersOnSerialQueue(const std::shared_ptr<const APMEvent>& event);
  static void handleSetEnabled(const platform::Value& entry);
};
