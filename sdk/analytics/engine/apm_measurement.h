// The measurement engine: one shared instance per process, created by the facade at configure.
// It owns the engine's components and runs all their work on one serial worker queue; it can be
// enabled, disabled, deactivated and wiped, never torn down. Entry points callable from any
// thread only schedule work under a fixed block ID; methods ending in "OnWorkerQueue" do it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"
#include "sdk/analytics/common/apm_object.h"
#include "sdk/utilities/utilities/vul_network_constants.h"

class APMAlarm;
class APMAudience;
class APMAudienceTimestampsCache;
class APMDailyCounts;
class APMDatabase;
class APMEvent;
class APMIdentity;
class APMKeptWritesJournals;
class APMMonitor;
class APMPBEvent;
class APMPBEventParam;
class APMPBMeasurementBundle;
class APMPersistedConfig;
class APMRawEventData;
class APMRemoteConfig;
class APMScheduler;
class APMSearchAdReporter;
class APMSessionReporter;
class APMUserAttribute;
class VULNetwork;
namespace platform {
class Error;
class HTTPURLResponse;
}
namespace platform::store {
struct PaymentTransaction;
}

inline constexpr std::string_view kAPMScreenReportingEnabledKey = "VuduzaraScreenReportingEnabled";
inline constexpr std::string_view kAPMAutomaticScreenReportingEnabledKey = "VuduzaraAutomaticScreenReportingEnabled";
inline constexpr std::string_view kAPMStoredDeepLinkKey = "/videzu/measurement/deep_link";
inline constexpr std::string_view kAPMStoredDeepLinkTimestampKey = "/videzu/measurement/deep_link_timestamp_seconds";
// How long uploads stay suspended after the store failed to delete accepted bundles.
inline constexpr double kAPMUploadSuspensionInterval = 3600;
// Seconds since the system booted, unaffected by changes of the wall date; −1 when unknown.
double APMBootClock();
inline constexpr std::string_view kAPMDeferredDeepLinkEnabledKey = "VIDEZU_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED";
inline constexpr std::string_view kAPMDeferredDeepLinkPath = "/pagead/conversion/app/deeplink";
// The most non-public user properties one origin may set.
inline constexpr std::int64_t kAPMMaxUserPropertiesPerOrigin = 25;
// A start or a write that failed because another connection held the database is tried again
// after these delays (doubling from the first up to the longest), then only when an event or a
// user property comes at least the longest delay after the last attempt.
inline constexpr double kAPMHeldDatabaseRetryInitialDelay = 1;
inline constexpr double kAPMHeldDatabaseRetryMaxDelay = 60;
inline constexpr int kAPMHeldDatabaseRetryScheduledAttempts = 10;
// Writes (events, user properties) waiting for a held database are kept in memory up to this
// count; past it the oldest go.
inline constexpr std::size_t kAPMMaxKeptDatabaseWrites = 1000;
// Kept writes done together in one store transaction once the database is free.
inline constexpr std::size_t kAPMKeptDatabaseWritesPerTransaction = 100;

class APMMeasurement : public std::enable_shared_from_this<APMMeasurement>,
                       public VULNetworkLoggerDelegate,
                       public VULNetworkReachabilityDelegate {
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
  // One unit of writing (an event's whole road, a user property set or removed, a conditional
  // property's change) done in one store transaction. While another connection holds the
  // database (the start waits for it, or a write found it held) the unit is kept instead, after
  // those kept before it, and done once the database is free: nothing of a unit that found the
  // file busy stays stored, so doing it again counts nothing twice. A unit begun inside another
  // is part of it. With collection off the unit runs at once and refuses by its own checks.
  // `record` describes the unit for the journal written when the app is ended while it waits
  // (asked only when the unit is kept); a unit without one is given up then, and counted.
  using KeptWriteRecord = std::function<std::optional<platform::Value::Dictionary>()>;
  void performDatabaseWriteOnWorkerQueue(std::function<void()> write, KeptWriteRecord record = {});
  // Main thread, from the app's will-terminate notification: what waits for the database is
  // written to the journal beside it, without waiting for the database or the worker queue.
  void handleAppWillTerminate();
  // Where this run saves what waits for the database when it is ended.
  std::string keptWritesJournalPathOfThisRun() const;

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
  // ---- upload and configuration fetch (worker queue unless noted) ----
  void updateSchedule();
  // Seconds since 1970; 0 when nothing should be scheduled.
  double nextUploadingTime();
  void uploadDataOrRegisterAlarm();
  void uploadData();
  bool isNetworkReadyForRequest();
  using QueuedBundle = std::pair<std::shared_ptr<APMPBMeasurementBundle>, std::int64_t>;
  std::vector<QueuedBundle> filteredBundlesWithCompatibleAppID(const std::optional<std::string>& appID,
                                                              const std::optional<std::string>& resettableDeviceID,
                                                              const std::optional<std::string>& vendorDeviceID,
                                                              const std::vector<QueuedBundle>& bundlesToUpload);
  void networkUploadCompletionHandlerWithResponse(const std::shared_ptr<platform::HTTPURLResponse>& response,
                                                  const platform::Error& error);
  void incrementRetryCounter();
  void setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& bundleIDs);
  bool hasDataToUpload();
  bool removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& bundleIDs);
  bool shouldUseBackgroundSession();
  void fetchRemoteConfig();
  void networkRemoteConfigFetchCompletionHandler(const std::shared_ptr<platform::HTTPURLResponse>& response,
                                                 const std::optional<platform::Data>& data,
                                                 const platform::Error& error);
  // Any thread: the notification handlers run on the main thread.
  void reachabilityDidChange() override;
  void subscribeForAppForegroundBackgroundNotifications();
  void handleAppWillResignActiveEvent();
  void handleAppWillEnterForegroundNotification();
  void handleAppDidBecomeActiveEvent();
  void swapBackgroundTaskWithNewTaskID(std::int64_t taskID);
  void terminateBackgroundTask();
  std::int64_t backgroundUpdateTask() const { return backgroundUpdateTask_.load(); }
  void VULNetwork_logWithLevelContexts(VULLoggerLevel level, VULNetworkMessageCode messageCode,
                                       std::string_view message, const std::vector<platform::Value>& contexts) override;
  void VULNetwork_logWithLevelContext(VULLoggerLevel level, VULNetworkMessageCode messageCode, std::string_view message,
                                      const platform::Value& context) override;
  void VULNetwork_logWithLevel(VULLoggerLevel level, VULNetworkMessageCode messageCode,
                               std::string_view message) override;
  const std::shared_ptr<VULNetwork>& network() const { return network_; }
  void setNetwork(std::shared_ptr<VULNetwork> network) { network_ = std::move(network); }
  const std::vector<std::int64_t>& uploadingBundleIDs() const { return uploadingBundleIDs_; }
  double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_; }
  // Deep links.
  bool shouldAllowRequestDeferredDeepLink();
  void requestDeferredDeepLink();
  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds);
  static std::optional<std::string> deepLinkFromUserActivity(const platform::Value::Dictionary& userActivity);
  static void handleStoredURLAfterAppLaunchWithNotification(const platform::Value::Dictionary& userInfo);

  // ---- first open, updates and session start ----
  // Worker queue unless noted.
  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);
  // Any thread.
  void reportSessionStart();
  void reportSessionStartWhenSceneWillConnectOnWorkerQueue();
  void setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  bool shouldAllowAdNetworkRegistration();
  // Seconds since 1970; 0 when unknown.
  double firstOpenTimestamp();
  static std::int64_t timestampMillisRoundedUpToNextHour(std::int64_t milliseconds);

  // ---- bundle building and event sampling (worker queue) ----
  using RawEvents = std::vector<std::shared_ptr<const APMRawEventData>>;
  using Events = std::vector<std::shared_ptr<APMEvent>>;
  using EventMessages = std::vector<std::shared_ptr<APMPBEvent>>;
  // Makes at most one bundle, in one transaction; true when raw events were bundled (or dropped
  // by sampling) and deleted.
  bool bundleRawEvents();
  std::optional<RawEvents> rawEventsWithMetadataFingerprint(std::int64_t fingerprint);
  std::optional<Events> processRawEvents(const RawEvents& rawEvents, std::int64_t metadataFingerprint);
  std::shared_ptr<APMEvent> internalEventFromPublicEvent(const std::shared_ptr<APMEvent>& event);
  std::shared_ptr<APMEvent> validatePurchaseEvent(const std::shared_ptr<APMEvent>& event);
  bool checkConversion(APMEvent& event, APMDailyCounts& dailyCounts);
  bool checkRealtime(APMEvent& event, APMDailyCounts& dailyCounts);
  void evaluationTimeFromRawEvents(const RawEvents& rawEvents, APMPBMeasurementBundle& bundle);
  bool updateUserEngagement(std::int64_t engagementMillis, APMPBMeasurementBundle& bundle, bool sessionScoped);
  std::optional<Events> eventsAfterUpdatingEventAggregates(const Events& events, APMAudienceTimestampsCache& cache);
  bool updateAppMetadataForBundle(APMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                  double bundleEndTimestamp);
  void addBundleMetadataIntoBundle(APMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                   double bundleEndTimestamp);
  std::optional<EventMessages> sampleEvents(const EventMessages& events, platform::Error* error);
  bool canEventBeSampled(const APMPBEvent& event);
  bool isEventBundledAfterRoll(std::int32_t rate);
  // Tests: the uniform draw in [0, rate) that sampling rolls; null restores the random one.
  static void setSamplingRollForTesting(std::function<std::int32_t(std::int32_t rate)> roll);
  APMAudience* audience() const { return audience_.get(); }
  // ---- event writing: metadata records and the raw-event pipeline ----
  // The metadata record of an event written now: app, device, identifiers and user properties.
  std::shared_ptr<APMPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
      const std::vector<std::shared_ptr<const APMUserAttribute>>& userAttributes);
  // Internal events the engine makes itself (first open, sessions, campaigns): default parameters
  // (not on "_err"), then admission and writing, then the event listeners.
  void handleInternalEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  // Blocklist and event editing, then writing, as one database write; admission is the caller's.
  void writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  // Identifiers, conversion mark and the one store transaction of the event.
  void writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  bool shouldProcessEvent(const APMEvent& event, APMDailyCounts& dailyCounts, bool isPublicEvent);
  bool isRealtimeEvent(APMEvent& event, APMDailyCounts& dailyCounts);
  bool writeEvent(APMEvent& event, bool isPublicEvent, bool isRealtime);
  void maybeAddDebugAndRealtimeParameters(APMEvent& event);
  bool updateLifetimeValueWithEvent(const APMEvent& event);
  // Nothing when the allowlist drops the event.
  std::shared_ptr<APMEvent> eventAfterSafelistingEvent(const std::shared_ptr<APMEvent>& event);
  void processSessionFromEvent(const APMEvent& event);
  // NO drops the event.
  bool dedupeSubscriptionEvent(const APMEvent& event);
  // YES drops the event.
  bool shouldDropDuplicatedSessionStartWithRolloutEvent(const APMEvent& event);
  std::shared_ptr<APMEvent> appExceptionEventWithVuduzaraFeatureRollouts(const std::shared_ptr<APMEvent>& event);
  void writeSessionStartEventOnWorkerQueue(const APMEvent& event);
  void logFirstOpenConsentedEvent(double timestamp);

 private:
  // The road of `handleEventOnWorkerQueue` and `writeEventOnWorkerQueue` past their checks.
  void admitAndWriteEvent(const std::shared_ptr<APMEvent>& event);
  void writeEventPastAdmission(const std::shared_ptr<APMEvent>& event);
  std::shared_ptr<APMRemoteConfig> eventWritingConfig() const;
  void incrementPreviousFirstOpenCount();
  void installEngineServices();
 public:
  // ---- end of event writing ----
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
  // Any thread: the app-state handlers reach it from the main thread.
  std::shared_ptr<APMSessionReporter> sessionReporter() const;
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
  // Busy: another connection held the database; the start is tried again later.
  enum class StartResult { started, busy, failed };
  StartResult startMeasurement();
  // The enabling half of `setEnabledOnWorkerQueue`, also run by each retry of a busy start.
  void enableOnWorkerQueue();
  // ---- a database held by another connection ----
  struct KeptDatabaseWrite {
    std::function<void()> write;
    // Told to the database with the write when a journal may name it, so that it is never done
    // again.
    std::string id;
    bool fromJournal = false;  // of the last run
  };
  // False when another connection held the database; nothing of the write was stored then.
  bool tryDatabaseWrite(const std::function<void()>& write);
  // Busy: another connection held the database. Failed together: several writes found other
  // trouble in their shared transaction, and none was stored.
  enum class WritesOutcome { done, busy, failedTogether };
  // In one store transaction; `kept` writes are tracked by the journal.
  WritesOutcome tryDatabaseWrites(std::span<const KeptDatabaseWrite> writes, bool kept);
  void keepDatabaseWrite(std::function<void()> write, const KeptWriteRecord& record);
  // The write a journal record names; none for a record of no known kind or a damaged one.
  std::function<void()> writeFromKeptWriteRecord(const platform::Value::Dictionary& record);
  // At the start, before anything else is written: the journal of the last run goes first in
  // line. The number of its writes.
  std::size_t readKeptWritesJournalOnWorkerQueue();
  // Once nothing waits: a journal read at the start is done with.
  void finishKeptWritesJournalOnWorkerQueue();
  void writeKeptWritesJournalLocked() REQUIRES(journalMutex_);
  // Wipes: what waits belongs to the data being wiped.
  void forgetKeptDatabaseWrites();
  void subscribeForAppWillTerminateNotification();
  // The parts of the engine's writes that are kept as units of their own.
  void removeUserPropertyInDatabaseOnWorkerQueue(const std::string& name);
  void reportFirstOpenInDatabaseOnWorkerQueue();
  // The first open was reported at an earlier launch: the keychain marker and the session.
  void reportLaunchAfterFirstOpenOnWorkerQueue();
  void setPersonalizedAdsUserPropertyInDatabaseOnWorkerQueue();
  // Whether the fingerprint was new; nothing when it could not be stored.
  std::optional<bool> storePurchaseFingerprintOnWorkerQueue(const std::string& fingerprint,
                                                            const std::string& productID);
  // In the order they were kept, until one finds the database held again; at most `count`.
  void writeKeptDatabaseWrites(std::size_t count = static_cast<std::size_t>(-1));
  void scheduleDatabaseRetry();
  // The start when it waits for the database, else the kept writes.
  void retryHeldDatabaseOnWorkerQueue();
  void retryHeldDatabaseIfDueOnWorkerQueue();
  void cancelDatabaseRetry();
  // All or nothing: the database, audience and configuration are kept only when all were made.
  // `databaseBusy` tells a database held by another connection from one that cannot be used.
  bool initializeComponents(bool& databaseBusy);
  void runAfterStart();
  void designatedInit();

  const std::string databaseName_;
  platform::Mutex initializeComponentsLock_;
  bool didInitializeComponents_ GUARDED_BY(initializeComponentsLock_) = false;
  std::unique_ptr<APMAlarm> alarm_;
  // Worker queue only, from here on.
  // Present exactly when the start succeeded, and then with the audience and the configuration:
  // work on the worker queue asks for it before it touches the store.
  std::unique_ptr<APMDatabase> database_;
  std::unique_ptr<APMAudience> audience_;  // made with the database, which it uses
  mutable platform::Mutex identityMutex_;
  std::shared_ptr<APMIdentity> identity_ GUARDED_BY(identityMutex_);
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
  std::shared_ptr<APMScheduler> scheduler_;
  mutable platform::Mutex sessionReporterMutex_;
  std::shared_ptr<APMSessionReporter> sessionReporter_ GUARDED_BY(sessionReporterMutex_);
  // The scene-will-connect observation of the session start (first open, updates, sessions).
  std::shared_ptr<const int> sceneObserverOwner_;
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
  // ---- upload state (worker queue, except the atomic task) ----
  std::shared_ptr<VULNetwork> network_;
  std::vector<std::int64_t> uploadingBundleIDs_;
  std::atomic<std::int64_t> backgroundUpdateTask_{0};
  // Bundles the service accepted but the store failed to delete, with the boot-clock time of the
  // failure: they are kept out of uploads for the suspension hour even if the suspension is lifted.
  std::vector<std::int64_t> undeletedBundleIDs_;
  double undeletedBundlesTimestamp_ = 0;
  // Worker queue: the HTTP client of the deferred-deep-link request, made on first use.
  std::shared_ptr<VULNetwork> deferredDeepLinkNetwork_;
  // ---- a database held by another connection (worker queue) ----
  std::unique_ptr<APMAlarm> databaseRetryAlarm_;
  // A start or a write found the database held and a retry is due: new writes wait behind it.
  bool waitingForDatabase_ = false;
  int failedBusyAttempts_ = 0;
  double nextDatabaseAttemptUptime_ = 0;
  std::deque<KeptDatabaseWrite> keptDatabaseWrites_;
  std::size_t droppedKeptDatabaseWrites_ = 0;
  // IDs are this run's own and numbered in order.
  const std::string keptWriteRunID_;
  std::uint64_t keptWriteCount_ = 0;
  // IDs the claimed journals named: their done rows go once those journals are gone.
  std::vector<std::string> replayedKeptWriteIDs_;
  // Fingerprints of purchases that wait for the database: a transaction delivered again
  // meanwhile is a duplicate too.
  std::set<std::string> keptPurchaseFingerprints_;
  // Purchases reported while the database was held, in order: each fingerprint is stored with
  // its purchase's event, in the same write, so neither is kept or written without the other.
  struct PurchaseAwaitingEvent {
    std::string fingerprint;
    std::string productID;
  };
  std::deque<PurchaseAwaitingEvent> purchasesAwaitingEvents_;
  // The write of a purchase's event together with its fingerprint (a duplicate is not written).
  std::function<void()> eventWithPurchaseFingerprintWrite(const std::shared_ptr<APMEvent>& event, std::string fingerprint,
                                                          std::string productID);
  // The fingerprint a purchase event is stored with, taken from those waiting.
  std::optional<PurchaseAwaitingEvent> takePurchaseAwaitingEvent(const APMEvent& event);
  // Stores the fingerprint now when the database takes it, else leaves it to wait for the event.
  // Whether it was new; nothing when it waits.
  std::optional<bool> storeOrAwaitPurchaseFingerprint(const std::string& fingerprint, const std::string& productID);
  // ---- the journal of the kept writes (any thread, under its lock) ----
  // The kept writes' journal lines, in the same order; none for a write that has no record.
  struct JournalEntry {
    std::string id;
    std::optional<std::string> line;
  };
  platform::Mutex journalMutex_;
  std::deque<JournalEntry> journalEntries_ GUARDED_BY(journalMutex_);
  // This run's journal and those it claimed from runs that ended.
  std::unique_ptr<APMKeptWritesJournals> journals_ GUARDED_BY(journalMutex_);
  // The app is being ended: every write kept from now on goes to the journal at once.
  bool terminating_ GUARDED_BY(journalMutex_) = false;
  // Writes given up at the end so far, each counted in one line only.
  std::size_t journalGivenUpLogged_ GUARDED_BY(journalMutex_) = 0;
  // Units of writing under way: one begun inside another is part of it.
  int databaseWriteDepth_ = 0;
};

// Bundle building: deletes the raw events up to `lastRowID` and, when none of the fingerprint is
// left, its metadata.
bool APMDeleteProcessedRawEvents(APMDatabase* database, std::int64_t lastRowID, std::int64_t metadataFingerprint);
// "_iap", "_f" and "_fx", and every event in debug mode, are exempt from the daily real-time limit.
bool APMIsSubjectToRealtimeLimit(const APMEvent& event);
// Event sampling: adds "_sr" unless the event has it.
void APMAddSamplingRateParameter(APMPBEvent& event, std::int32_t rate);
bool APMEventHasParameter(const std::vector<std::shared_ptr<APMPBEventParam>>& params, const std::string& name);

