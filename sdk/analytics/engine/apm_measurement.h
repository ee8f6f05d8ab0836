// The measurement engine: one shared instance per process, created by the facade at configure.
// It owns the engine's components and runs all their work on one serial worker queue; it can be
// enabled, disabled, deactivated and wiped, never torn down. Entry points callable from any
// thread only schedule work under a fixed block ID; methods ending in "OnWorkerQueue" do it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"
#include "sdk/analytics/common/apm_object.h"

class APMAlarm;
class APMDatabase;
class APMEvent;
class APMIdentity;
class APMMonitor;
class APMPersistedConfig;
class APMRemoteConfig;
class APMScheduler;
class APMSearchAdReporter;
class APMSessionReporter;
class APMUserAttribute;
class VULNetwork;
namespace platform::store {
struct PaymentTransaction;
}

inline constexpr std::string_view kAPMScreenReportingEnabledKey = "VuduzaraScreenReportingEnabled";
inline constexpr std::string_view kAPMAutomaticScreenReportingEnabledKey = "VuduzaraAutomaticScreenReportingEnabled";
inline constexpr std::string_view kAPMStoredDeepLinkKey = "/videzu/measurement/deep_link";
inline constexpr std::string_view kAPMStoredDeepLinkTimestampKey = "/videzu/measurement/deep_link_timestamp_seconds";
inline constexpr std::string_view kAPMDeferredDeepLinkEnabledKey = "VIDEZU_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED";
inline constexpr std::string_view kAPMDeferredDeepLinkPath = "/pagead/conversion/app/deeplink";
// The most non-public user properties one origin may set.
inline constexpr std::int64_t kAPMMaxUserPropertiesPerOrigin = 25;

class APMMeasurement : public std::enable_shared_from_this<APMMeasurement> {
 public:
  using Interceptor =
      std::function<void(const std::string& origin, const std::string& name, const APMDictionary& parameters,
                         double timestamp)>;
  using UserAttributeCallback = std::function<void(std::shared_ptr<const APMUserAttribute>)>;
  using UserPropertiesCallback = std::function<void(const platform::Value::Dictionary&)>;
  using MaxUserPropertiesCallback = std::function<void(std::int64_t)>;

  // ---- the shared instance ----
  // Only the first call does anything; an empty app ID leaves no instance.
  static void initializeSharedInstanceWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                bool isAnalyticsCollectionDeactivated,
                                                const std::optional<std::vector<std::string>>& safelistedEvents);
  static bool hasSharedInstance();
  // Warns through the SDK logger when asked before the engine was created.
  static std::shared_ptr<APMMeasurement> sharedInstance();
  // The same without the warning, for the engine's own helpers.
  static std::shared_ptr<APMMeasurement> sharedInstanceIfCreated();
  static std::shared_ptr<APMMonitor> monitor();
  // The engine's configuration, or the built-in defaults.
  static std::shared_ptr<APMRemoteConfig> remoteConfig();
  static void load();
  static bool isVuduzaraRemoteConfigSDKPresent();
  static void subscribeForAppDidFinishLaunchingNotifications();
  // Tests: forget the instance (after its queued work ran) so the next initialisation makes one.
  static void resetSharedInstanceForTesting();

  static std::shared_ptr<APMMeasurement> initWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       const std::optional<std::vector<std::string>>& safelistedEvents);
  ~APMMeasurement();

  // ---- start and stop ----
  bool shouldEnableMeasurement();
  void setEnabled(bool enabled);
  void setEnabledOnWorkerQueue(bool enabled);
  bool startMeasurementOnWorkerQueue();
  bool shouldWipeDataWithAppID(const std::optional<std::string>& appID, const std::optional<std::string>& appIDFromVMP,
                               const std::optional<std::string>& appIDFromVuZir,
                               const std::optional<std::string>& persistedAppIDFromVMP,
                               const std::optional<std::string>& persistedAppIDFromVuZir);
  void setProspectiveConsentSettings();
  void updatePersistedAppIDFromVMPAndVuZir();
  bool wipeoutAnalyticsDataAndResetComponents();
  // Waits for the worker queue; never call it from there.
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID);
  bool didInitializeComponents();

  // ---- operations (any thread) ----
  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const APMDictionary& parameters, double timestamp, bool enabled, bool ignoreEnabled,
                          bool ignoreInterceptor, Interceptor interceptor, const APMDictionary& addedScreenParameters);
  void logEvent(std::shared_ptr<APMEvent> event);
  void setDefaultEventParameters(const std::optional<APMDictionary>& parameters);
  void removeUserAttribute(std::shared_ptr<const APMUserAttribute> attribute);
  void setUserAttribute(std::shared_ptr<const APMUserAttribute> attribute);
  void userAttributeWithName(const std::string& name, UserAttributeCallback callback);
  void userPropertiesIncludingInternal(bool includingInternal, UserPropertiesCallback callback);
  void maxUserPropertiesForOrigin(const std::string& origin, MaxUserPropertiesCallback callback);
  void setSessionTimeoutInterval(double seconds);

  // ---- operations (worker queue) ----
  void logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                       APMDictionary parameters, double timestamp, bool enabled, bool ignoreEnabled,
                                       bool ignoreInterceptor, const Interceptor& interceptor,
                                       const APMDictionary& addedScreenParameters);
  void logEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event, bool notifyEventListeners);
  APMDictionary parametersWithAddedDefaultEventParameters(const APMDictionary& parameters);
  void handleSetDefaultEventParametersOnWorkerQueue(const std::optional<APMDictionary>& parameters);
  void removeUserAttributeOnWorkerQueue(const APMUserAttribute& attribute);
  void setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute);
  bool setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute);

  // ---- entry points whose work belongs to later parts of the engine ----
  // Admission and writing of a logged event; the event pipeline's entry point.
  void handleEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  // First open, updates and the ad-personalisation user property.
  void setPersonalizedAdsUserPropertyOnWorkerQueue();
  void reportFirstOpenOnWorkerQueue();
  void backfillSessionNumber();
  // The click time in milliseconds, when the link's click is known (first open).
  void reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampInMs);
  void reportAppUpdateOnWorkerQueue();
  void reportOSUpdateOnWorkerQueue();
  // A number (0 or 1) when ad personalisation should be switched off or on, else nothing.
  std::optional<platform::Value> shouldDisableAdPersonalization();
  // Upload scheduling.
  void updateSchedule();
  void subscribeForAppForegroundBackgroundNotifications();
  // Deep links.
  bool shouldAllowRequestDeferredDeepLink();
  void requestDeferredDeepLink();
  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds);
  static std::optional<std::string> deepLinkFromUserActivity(const platform::Value::Dictionary& userActivity);
  static void handleStoredURLAfterAppLaunchWithNotification(const platform::Value::Dictionary& userInfo);

  // ---- links, deferred deep link, search ads and purchases ----
  void handleOpenURL(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                     double eventTimestampInSeconds);
  void handleDeepLink(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                      double eventTimestampInSeconds);
  void handleDebugModeWithURL(const std::string& url);
  void handleOpenURLOnWorkerQueue(const std::string& url, std::optional<std::int64_t> clickTimestampInMs,
                                  double eventTimestampInSeconds, const std::optional<APMDictionary>& extraParameters);
  static bool isValidCampaignURLParamDictionary(const platform::Value::Dictionary& parameters);
  bool shouldAllowClickID();
  static std::optional<platform::Value::Dictionary> deepLinkInfoFromResponseData(const platform::Data& data);
  void handleDeferredDeepLinkInfo(const platform::Value::Dictionary& info);
  // Main thread; false when the app delegate does not take opened URLs.
  static bool sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url,
                                                       const platform::Value::Dictionary& extraInfo);
  // True while that link is being handed to the delegate on the calling thread.
  static bool isDeliveringDeferredDeepLink(const std::string& url);
  using PurchaseTransactions = std::vector<std::shared_ptr<const platform::store::PaymentTransaction>>;
  // Drops transactions not purchased or already reported; the callback runs on the worker queue.
  void filterPurchaseTransactions(PurchaseTransactions transactions, std::function<void(PurchaseTransactions)> callback);
  APMSearchAdReporter* searchAdReporter() const { return searchAdReporter_.get(); }

  // ---- accessors ----
  const std::string& appID() const { return appID_; }
  const std::string& databaseName() const { return databaseName_; }
  APMAlarm* alarm() const { return alarm_.get(); }
  APMDatabase* database() const { return database_.get(); }
  std::shared_ptr<APMIdentity> identity() const;
  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  std::shared_ptr<APMRemoteConfig> remoteConfigInstance() const { return remoteConfig_; }
  const std::shared_ptr<APMScheduler>& scheduler() const { return scheduler_; }
  const std::optional<std::vector<std::string>>& safelistedEvents() const { return safelistedEvents_; }
  APMSessionReporter* sessionReporter() const { return sessionReporter_.get(); }
  bool isEnabled() const { return enabled_; }
  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
  bool isAnalyticsCollectionEnabled() const { return isAnalyticsCollectionEnabled_; }
  void setIsAnalyticsCollectionEnabled(bool value) { isAnalyticsCollectionEnabled_ = value; }
  bool isAnalyticsCollectionDeactivated() const { return isAnalyticsCollectionDeactivated_; }
  void setIsAnalyticsCollectionDeactivated(bool value) { isAnalyticsCollectionDeactivated_ = value; }
  bool isNetworkRequestPending() const { return isNetworkRequestPending_; }
  void setIsNetworkRequestPending(bool value) { isNetworkRequestPending_ = value; }
  void setSuspendedUploadTimestamp(double value) { suspendedUploadTimestamp_ = value; }
  double initTimestamp() const { return initTimestamp_; }

  APMMeasurement(std::string databaseName, std::shared_ptr<APMPersistedConfig> persistedConfig,
                 std::shared_ptr<APMScheduler> scheduler, std::unique_ptr<APMAlarm> alarm, std::string appID,
                 bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
                 std::optional<std::vector<std::string>> safelistedEvents);

 private:
  bool initializeComponents();
  void runAfterStart();
  void designatedInit();

  const std::string databaseName_;
  platform::Mutex initializeComponentsLock_;
  bool didInitializeComponents_ GUARDED_BY(initializeComponentsLock_) = false;
  std::unique_ptr<APMAlarm> alarm_;
  // Worker queue only, from here on.
  std::unique_ptr<APMDatabase> database_;
  mutable platform::Mutex identityMutex_;
  std::shared_ptr<APMIdentity> identity_ GUARDED_BY(identityMutex_);
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
  std::shared_ptr<APMScheduler> scheduler_;
  std::unique_ptr<APMSessionReporter> sessionReporter_;
  std::shared_ptr<APMSearchAdReporter> searchAdReporter_;
  std::optional<std::string> previousVMPAppID_;
  double initTimestamp_ = 0;
  double suspendedUploadTimestamp_ = 0;
  const std::string appID_;
  const std::optional<std::vector<std::string>> safelistedEvents_;
  std::atomic<bool> enabled_{false};
  bool wasEnabledDuringInitialization_ = false;
  bool isAnalyticsCollectionEnabled_;
  bool isAnalyticsCollectionDeactivated_;
  bool isNetworkRequestPending_ = false;
  // Worker queue: the HTTP client of the deferred-deep-link request, made on first use.
  std::shared_ptr<VULNetwork> deferredDeepLinkNetwork_;
};
