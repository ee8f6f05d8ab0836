#include "sdk/analytics/engine/apm_measurement.h"

#include <cmath>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/uuid.h"
#include "platform/runloop/clock.h"
#include "platform/runtime/class.h"
#include "platform/ui/application.h"
#include "sdk/analytics/common/apm_app_environment.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/engine/apm_ad_exposure_reporter.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_consent_settings_util.h"
#include "sdk/analytics/engine/apm_identity.h"
#include "sdk/analytics/engine/apm_kept_writes_journal.h"
#include "sdk/analytics/engine/apm_launch_utilities.h"
#include "sdk/analytics/engine/apm_screen_view_reporter.h"
#include "sdk/analytics/engine/apm_search_ad_reporter.h"
#include "sdk/analytics/engine/apm_session_reporter.h"
#include "sdk/analytics/events/apm_audience.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_engine_services.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apm_sqlite_store.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "sdk/analytics/storage/apm_user_defaults.h"
#include "sdk/analytics/storage/apme_manager.h"
#include "sdk/utilities/utilities/vul_logger.h"
#include "sdk/utilities/utilities/vul_network.h"

namespace {

constexpr std::string_view kHelpLink = "https://docs.invalid/analytics/ios/debug-logging";

struct SharedState {
  platform::Mutex mutex;
  bool created GUARDED_BY(mutex) = false;
  std::shared_ptr<APMMeasurement> instance GUARDED_BY(mutex);
};

SharedState& shared() {
  // Never destroyed: a worker may still ask for the engine while the process exits.
  static SharedState* const s = new SharedState;
  return *s;
}

bool isSet(const std::optional<std::string>& s) { return s && !s->empty(); }

bool hasPublicInterface() { return platform::runtime::classNamed("DOREvoredire") != nullptr; }

std::string versionString() {
  if (const auto cls = platform::runtime::classNamed("DOREvoredire"); cls && cls->respondsToSelector("topLevelVersion")) {
    try {
      return cls->call<std::string>("topLevelVersion");
    } catch (const std::exception&) {
    }
  }
  return std::string(kAPMLibraryVersionString);
}

}  // namespace

// ---- the shared instance ----

void APMMeasurement::initializeSharedInstanceWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       const std::optional<std::vector<std::string>>& safelistedEvents) {
  SharedState& s = shared();
  platform::MutexLock lock(s.mutex);
  if (s.created) return;
  s.created = true;
  if (appID.empty()) return;
  monitor();
  s.instance = initWithAppID(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated, safelistedEvents);
}

bool APMMeasurement::hasSharedInstance() {
  SharedState& s = shared();
  platform::MutexLock lock(s.mutex);
  return s.created && s.instance;
}

std::shared_ptr<APMMeasurement> APMMeasurement::sharedInstance() {
  SharedState& s = shared();
  bool created = false;
  std::shared_ptr<APMMeasurement> instance;
  {
    platform::MutexLock lock(s.mutex);
    created = s.created;
    instance = s.instance;
  }
  if (!created && hasPublicInterface()) {
    VULLoggerLogWarning(kAPMDefaultLogTag, false, platform::format("I-ACS%06ld", 23147L),
                        "Videzu Analytics for Vuduzara has not been created. Please, configure Vuduzara by calling "
                        "[VDZApp configure]");
  }
  return instance;
}

std::shared_ptr<APMMeasurement> APMMeasurement::sharedInstanceIfCreated() {
  SharedState& s = shared();
  platform::MutexLock lock(s.mutex);
  return s.instance;
}

std::shared_ptr<APMMonitor> APMMeasurement::monitor() { return APMMeasurementMonitor(); }

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfig() { return APMMeasurementRemoteConfig(); }

void APMMeasurement::load() { subscribeForAppDidFinishLaunchingNotifications(); }

bool APMMeasurement::isVuduzaraRemoteConfigSDKPresent() {
  return platform::runtime::classNamed("VDZRemoteConfig") != nullptr;
}

void APMMeasurement::subscribeForAppDidFinishLaunchingNotifications() {
  static std::once_flag once;
  std::call_once(once, [] {
    static const auto owner = std::make_shared<const int>(0);
    platform::NotificationCenter::defaultCenter().addObserver(
        std::weak_ptr<const void>(owner), std::string(platform::kApplicationDidFinishLaunchingNotification), nullptr,
        [](const platform::Notification& note) {
          sharedInstance();
          if (!note.userInfo.empty()) handleStoredURLAfterAppLaunchWithNotification(note.userInfo);
        });
  });
}

void APMMeasurement::resetSharedInstanceForTesting() {
  std::shared_ptr<APMMeasurement> old;
  {
    SharedState& s = shared();
    platform::MutexLock lock(s.mutex);
    old = std::move(s.instance);
    s.created = false;
  }
  if (old) old->scheduler()->workerQueue()->sync([] {});
  APMSetMeasurementRemoteConfig(nullptr);
}

// ---- construction ----

std::shared_ptr<APMMeasurement> APMMeasurement::initWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
    const std::optional<std::vector<std::string>>& safelistedEvents) {
  if (appID.empty()) {
    APMLog(1, 23170, "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  const std::string version = versionString();
  APMLog(6, 23007, platform::format("Analytics v.%@ started", version));
  const bool publicInterface = hasPublicInterface();
  if (publicInterface) {
    APMLog(8, 23222, platform::format("Build %lld", static_cast<long long>(APMIdentity::davEroriveduveLibraryVersion())));
  }
  const auto monitor = APMMeasurement::monitor();
  const std::string_view enableDebug = publicInterface ? "-DOREvoredireDebugEnabled" : "-APMAnalyticsDebugEnabled";
  const std::string_view disableDebug = publicInterface ? "-noDOREvoredireDebugEnabled" : "-noAPMAnalyticsDebugEnabled";
  const std::string_view enableVerbose =
      publicInterface ? "-DOREvoredireVerboseLoggingEnabled" : "-APMAnalyticsVerboseLoggingEnabled";
  const std::string_view disableVerbose =
      publicInterface ? "-DOREvoredireVerboseLoggingDisabled" : "-APMAnalyticsVerboseLoggingDisabled";
  if (monitor->isDebugModeEnabled()) {
    APMLog(6, 23008, platform::format("To disable debug logging set the following application argument: %@ (see %@)",
                                      std::string(disableDebug), std::string(kHelpLink)));
  } else {
    APMLog(6, 23008, platform::format("To enable debug logging set the following application argument: %@ (see %@)",
                                      std::string(enableDebug), std::string(kHelpLink)));
  }
  APMLog(7, 23009, "Debug logging enabled");
  if (monitor->isVerboseLoggingEnabled()) {
    APMLog(7, 23207, platform::format("To disable verbose logging set the following application argument: %@ (see %@)",
                                      std::string(disableVerbose), std::string(kHelpLink)));
  } else {
    APMLog(7, 23207, platform::format("To enable verbose logging set the following application argument: %@ (see %@)",
                                      std::string(enableVerbose), std::string(kHelpLink)));
  }
  auto network = VULNetwork::init();
  if (network) {
    network->setIsDebugModeEnabled(monitor->isDebugModeEnabled());
  } else {
    APMLog(1, 23010, "Failed to initialize network component");
  }
  auto scheduler = std::make_shared<APMScheduler>(std::string(kAPMWorkerQueueLabel));
  auto alarm = std::make_unique<APMAlarm>(scheduler->workerQueue(), "Measurement timer");
  auto engine = std::make_shared<APMMeasurement>(std::string(kAPMMeasurementDatabaseName),
                                                 APMPersistedConfig::sharedInstance(), std::move(scheduler),
                                                 std::move(alarm), appID, isAnalyticsCollectionEnabled,
                                                 isAnalyticsCollectionDeactivated, safelistedEvents);
  if (network) {
    network->setLoggerDelegate(engine);
    engine->setNetwork(std::move(network));
  }
  engine->designatedInit();
  return engine;
}

APMMeasurement::APMMeasurement(std::string databaseName, std::shared_ptr<APMPersistedConfig> persistedConfig,
                               std::shared_ptr<APMScheduler> scheduler, std::unique_ptr<APMAlarm> alarm,
                               std::string appID, bool isAnalyticsCollectionEnabled,
                               bool isAnalyticsCollectionDeactivated,
                               std::optional<std::vector<std::string>> safelistedEvents)
    : databaseName_(std::move(databaseName)),
      alarm_(std::move(alarm)),
      persistedConfig_(std::move(persistedConfig)),
      scheduler_(std::move(scheduler)),
      appID_(std::move(appID)),
      safelistedEvents_(std::move(safelistedEvents)),
      isAnalyticsCollectionEnabled_(isAnalyticsCollectionEnabled),
      isAnalyticsCollectionDeactivated_(isAnalyticsCollectionDeactivated),
      databaseRetryAlarm_(std::make_unique<APMAlarm>(scheduler_->workerQueue(), "Database retry timer")),
      keptWriteRunID_(platform::UUID().UUIDString()) {
  platform::MutexLock lock(journalMutex_);
  journals_ = std::make_unique<APMKeptWritesJournals>(databaseName_, keptWriteRunID_);
  // A new engine is a new run (a test's process makes several): its waits are whole again.
  APMSqliteStore::cutBusyWaitsShort(false);
}

// An alarm's timer must be cancelled on the queue it fires on.
APMMeasurement::~APMMeasurement() {
  platform::NotificationCenter::defaultCenter().removeObserver(this);
  auto queue = scheduler_->workerQueue();
  for (std::unique_ptr<APMAlarm>* alarm : {&alarm_, &databaseRetryAlarm_}) {
    if (!*alarm) continue;
    if (queue->isCurrent()) {
      alarm->reset();
    } else {
      queue->async([alarm = std::shared_ptr<APMAlarm>(std::move(*alarm))] { alarm->cancel(); });
    }
  }
}

void APMMeasurement::designatedInit() {
  const platform::Value stored = persistedConfig_->loadTimestampValue();
  if (stored.isNumber()) {
    initTimestamp_ = stored.doubleValue();
  } else {
    initTimestamp_ = APMAnalytics::loadTimestamp();
    persistedConfig_->setLoadTimestampValue(platform::Value(initTimestamp_));
  }
  const bool enable = shouldEnableMeasurement();
  setEnabled(enable);
  wasEnabledDuringInitialization_ = enable;
  swapBackgroundTaskWithNewTaskID(platform::kBackgroundTaskInvalid);
  subscribeForAppWillTerminateNotification();
}

bool APMMeasurement::shouldEnableMeasurement() {
  if (isAnalyticsCollectionDeactivated_) return false;
  switch (persistedConfig_->measurementEnabledState()) {
    case 1: return true;
    case 2: return false;
    default: return isAnalyticsCollectionEnabled_;
  }
}

std::shared_ptr<APMSessionReporter> APMMeasurement::sessionReporter() const {
  platform::MutexLock lock(sessionReporterMutex_);
  return sessionReporter_;
}

std::shared_ptr<APMIdentity> APMMeasurement::identity() const {
  platform::MutexLock lock(identityMutex_);
  return identity_;
}

bool APMMeasurement::didInitializeComponents() {
  platform::MutexLock lock(initializeComponentsLock_);
  return didInitializeComponents_;
}

// ---- enable and disable ----

void APMMeasurement::setEnabled(bool enabled) {
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:568", [weak, enabled] {
    if (auto self = weak.lock()) self->setEnabledOnWorkerQueue(enabled);
  });
}

void APMMeasurement::setEnabledOnWorkerQueue(bool enabled) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("setIsEnabledOnWorkerQueue")) return;
  if (isAnalyticsCollectionDeactivated_ && enabled) {
    APMLog(6, 23206, "Analytics collection deactivated");
    return;
  }
  if (!isAnalyticsCollectionDeactivated_ && APMAnalytics::deferredAnalyticsCollection().isNull()) {
    APMAnalytics::setDeferredAnalyticsCollection(platform::Value(enabled ? 0 : 1));
  }
  enabled_ = enabled;
  if (enabled) {
    enableOnWorkerQueue();
    return;
  }
  cancelDatabaseRetry();
  APMRemoveExpiredStoredDeepLink(*remoteConfig());
  alarm_->cancel();
  if (const auto reporter = sessionReporter()) reporter->setReportingEnabled(false);
  if (searchAdReporter_) searchAdReporter_->setSearchAdReporterEnabled(false);
  APMAdExposureReporter::sharedInstance()->setReportingEnabled(false);
  APMLog(6, 23013, "Analytics collection disabled");
}

void APMMeasurement::enableOnWorkerQueue() {
  switch (startMeasurement()) {
    case StartResult::busy:
      scheduleDatabaseRetry();
      return;
    case StartResult::failed:
      // Off at once, not only when the queued pass below runs: work queued meanwhile must find
      // collection off rather than on without a store.
      enabled_ = false;
      cancelDatabaseRetry();
      APMLog(0, 23011, "Failed to start Analytics. Analytics is disabled");
      setEnabled(false);
      return;
    case StartResult::started:
      break;
  }
  if (const auto reporter = sessionReporter()) reporter->setReportingEnabled(true);
  if (searchAdReporter_) searchAdReporter_->setSearchAdReporterEnabled(true);
  APMAdExposureReporter::sharedInstance()->setReportingEnabled(true);
  APMLog(6, 23012, "Analytics collection enabled");
  if (APMScreenViewReporter::isScreenReportingEnabled() && hasPublicInterface()) {
    APMLog(6, 23220,
           platform::format("Analytics screen reporting is enabled. Call Analytics.logEvent(AnalyticsEventScreenView, "
                            "parameters: [...]) to log a screen view event. To disable automatic screen reporting, "
                            "set the flag %@ to NO (boolean) in the Info.plist",
                            std::string(kAPMAutomaticScreenReportingEnabledKey)));
  }
  writeKeptDatabaseWrites();
}

// ---- the start ----

bool APMMeasurement::startMeasurementOnWorkerQueue() { return startMeasurement() == StartResult::started; }

APMMeasurement::StartResult APMMeasurement::startMeasurement() {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue")) return StartResult::failed;
  bool justInitialized = false;
  {
    platform::MutexLock lock(initializeComponentsLock_);
    if (!didInitializeComponents_) {
      bool databaseBusy = false;
      didInitializeComponents_ = initializeComponents(databaseBusy);
      if (!didInitializeComponents_) return databaseBusy ? StartResult::busy : StartResult::failed;
      justInitialized = true;
    }
  }
  if (justInitialized) {
    // What the last run kept when it ended goes before anything this start writes.
    if (const std::size_t journaled = readKeptWritesJournalOnWorkerQueue()) {
      writeKeptDatabaseWrites(journaled);
    } else {
      finishKeptWritesJournalOnWorkerQueue();
    }
    runAfterStart();
  }
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  if (APMAnalytics::needFirstOpenAfterReset()) {
    reportFirstOpenOnWorkerQueue();
    APMAnalytics::removeNeedFirstOpenAfterReset();
  }
  updateSchedule();
  if (APMBackwardCompatibilityUtil::disableGMRMeasurement()) APMLog(1, 23210, "GMRMeasurement has been disabled");
  return StartResult::started;
}

bool APMMeasurement::initializeComponents(bool& databaseBusy) {
  databaseBusy = false;
  auto identity = APMIdentity::sharedInstance();
  if (!identity) return false;
  {
    platform::MutexLock lock(identityMutex_);
    identity_ = identity;
  }
  const auto earlierConsent = APMConsentSettingsUtil::consentSettings();
  setProspectiveConsentSettings();
  const bool resetOnDenial =
      APMConsentSettingsUtil::didWithdrawPreviousConsent(earlierConsent ? platform::Value(*earlierConsent)
                                                                        : platform::Value()) ||
      APMAnalytics::deferredResetOnDeniedConsent();
  APMAnalytics::removeStartUpConsentSettings();
  APMAnalytics::removeDeferredResetOnDeniedConsent();
  const bool wipe = shouldWipeDataWithAppID(appID_, identity->appIDFromVMP(), identity->appIDFromVuZir(),
                                            persistedConfig_->appIDFromVMP(), persistedConfig_->appIDFromVuZir());
  if (resetOnDenial || wipe) {
    if (resetOnDenial) APMAnalytics::setAppInstanceIDAfterReset(std::nullopt);
    APMAnalytics::setResetRetryCount(APMAnalytics::resetRetryCount() + 1);
    if (wipeoutAnalyticsDataAndResetComponents()) {
      APMAnalytics::setResetRetryCount(0);
    } else {
      APMLog(4, 23208, "Failed to wipe out Analytics data");
    }
  }
  identity->updateIdentifiers();
  if (const auto afterReset = APMAnalytics::appInstanceIDAfterReset(); isSet(afterReset)) {
    identity->setAppInstanceID(afterReset);
    APMAnalytics::setAppInstanceIDAfterReset(std::nullopt);
  }
  updatePersistedAppIDFromVMPAndVuZir();

  platform::Error error;
  auto database = APMDatabase::initWithDatabaseName(databaseName_, persistedConfig_, &error);
  if (!database) database = APMDatabase::initWithDatabaseName(databaseName_, persistedConfig_, &error);
  if (!database) {
    databaseBusy = APMIsBusySqliteError(error);
    return false;
  }
  auto audience = std::make_unique<APMAudience>(*database);
  installEngineServices();
  auto remoteConfig = APMRemoteConfig::initWithAppID(appID_, database.get(), APMEManager::sharedInstance());
  if (!remoteConfig) return false;
  database_ = std::move(database);
  audience_ = std::move(audience);
  remoteConfig_ = std::move(remoteConfig);
  APMSetMeasurementRemoteConfig(remoteConfig_);
  return true;
}

// The configuration below the engine asks through these: the loaded editing program's app
// metadata, the experiments' diversion key, the start origin, consent and the collection switch.
void APMMeasurement::installEngineServices() {
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  APMEngineServices services;
  services.diversionKey = [weak]() -> std::optional<std::string> {
    const auto self = weak.lock();
    const auto id = self ? self->identity() : nullptr;
    return id ? std::optional<std::string>(id->diversionKey()) : std::nullopt;
  };
  services.appVersion = [weak]() -> std::optional<std::string> {
    const auto self = weak.lock();
    const auto id = self ? self->identity() : nullptr;
    return id && !id->appVersion().empty() ? std::optional<std::string>(id->appVersion()) : std::nullopt;
  };
  services.origin = [] { return APMIdentifiers::sharedInstance().origin(); };
  services.isAnalyticsStorageDenied = [] { return APMConsentSettingsUtil::isAnalyticsStorageDenied(); };
  services.isMeasurementEnabled = [weak] {
    const auto self = weak.lock();
    return !self || self->isEnabled();
  };
  APMSetEngineServices(std::move(services));
}

void APMMeasurement::runAfterStart() {
  platform::Error error;
  if (!APMExcludePathFromBackup(APMMeasurementFilePath(""), &error)) {
    APMLog(5, 23015, "Failed to exclude directory from backup. Error", error);
  }
  APMLog(7, 23016, "Analytics is ready to receive events");
  if (const auto id = identity()) monitor()->setEncodeContexts(id->isFromAppStore());
  platform::Error staleError;
  if (!database_->maybeDeleteStaleData(&staleError) && !staleError.domain().empty()) {
    APMLog(5, 23018, "Unable to delete stale data. Error", staleError);
  }
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  backfillSessionNumber();
  {
    platform::MutexLock lock(sessionReporterMutex_);
    sessionReporter_ = std::make_shared<APMSessionReporter>(persistedConfig_);
  }
  reportFirstOpenOnWorkerQueue();
  if (!APMUserDefaults::standardUserDefaults()->objectForKey(kAPMStoredDeepLinkKey).isNull()) {
    reportStoredCampaignEventOnWorkerQueue(std::nullopt);
  } else if (shouldAllowRequestDeferredDeepLink()) {
    requestDeferredDeepLink();
  }
  reportAppUpdateOnWorkerQueue();
  reportOSUpdateOnWorkerQueue();
  searchAdReporter_ = APMSearchAdReporter::initWithWorkerQueue(scheduler_->workerQueue(), persistedConfig_);
  if (searchAdReporter_) {
    searchAdReporter_->setSearchAdReporterEnabled(true);
    searchAdReporter_->start();
  }
  if (persistedConfig_->vuduzaraFeatureRollouts() && !isVuduzaraRemoteConfigSDKPresent()) {
    persistedConfig_->setVuduzaraFeatureRollouts(std::nullopt);
  }
  subscribeForAppForegroundBackgroundNotifications();
}

// ---- wipes ----

bool APMMeasurement::shouldWipeDataWithAppID(const std::optional<std::string>& a, const std::optional<std::string>& g,
                                             const std::optional<std::string>& m, const std::optional<std::string>& pg,
                                             const std::optional<std::string>& pm) {
  const std::int64_t retries = APMAnalytics::resetRetryCount();
  if (retries >= 1 && retries <= 9) return true;
  if (isSet(pg) && isSet(g)) return *pg != *g;
  if (!isSet(pg) && isSet(pm) && !isSet(m) && isSet(g)) return true;
  if (!isSet(pg) && isSet(pm) && isSet(m) && isSet(g) && *pm != *m) return true;
  if (!isSet(pm) && !isSet(g) && isSet(pg) && isSet(m) && isSet(a)) return true;
  if (isSet(g) || !isSet(pm)) return false;
  if (!isSet(a)) return false;
  return *a != *pm;
}

void APMMeasurement::updatePersistedAppIDFromVMPAndVuZir() {
  const auto id = identity();
  if (id) {
    if (const auto vmp = id->appIDFromVMP(); vmp != persistedConfig_->appIDFromVMP()) persistedConfig_->setAppIDFromVMP(vmp);
    if (const auto vuzir = id->appIDFromVuZir(); vuzir != persistedConfig_->appIDFromVuZir()) {
      persistedConfig_->setAppIDFromVuZir(vuzir);
    }
  }
  const std::string origin = APMIdentifiers::sharedInstance().origin();
  if (origin == "fa") {
    persistedConfig_->setAppIDFromVMP(appID_);
  } else if (origin == "am") {
    persistedConfig_->setAppIDFromVuZir(appID_);
  }
}

void APMMeasurement::setProspectiveConsentSettings() {
  std::int64_t source = APMConsentSettingsUtil::consentSource();
  const std::int64_t current = source;
  std::optional<APMConsentSettingsUtil::Settings> settings = APMConsentSettingsUtil::consentSettings();
  const auto start = APMAnalytics::consentSettings1PStart();
  const bool hasStart = start && !start->empty();
  if (remoteConfig()->isConsentSettings3PEnabled()) {
    const auto plist = APMConsentSettingsUtil::consentSettingsFromPlist();
    if (!plist.empty() && APMConsentSettingsUtil::isConsentSourceHigherPriority(kAPMConsentSourceInfoPlist)) {
      settings = plist;
      source = kAPMConsentSourceInfoPlist;
    } else if (hasPublicInterface() && (current == kAPMConsentSourceAPI || current == kAPMConsentSourceAPIStart)) {
      APMAnalytics::clearConsent();
      settings.reset();
      source = kAPMConsentSourceDefault;
    } else if (hasStart && APMConsentSettingsUtil::isConsentSourceHigherPriority(kAPMConsentSourceAPIStart)) {
      settings = start;
      source = kAPMConsentSourceAPIStart;
    } else {
      settings = APMAnalytics::consentSettings3P();
      source = kAPMConsentSourceDefault;
    }
  } else if (hasStart && APMConsentSettingsUtil::isConsentSourceHigherPriority(kAPMConsentSourceAPIStart)) {
    settings = start;
    source = kAPMConsentSourceAPIStart;
  }
  if (settings && !settings->empty() && APMConsentSettingsUtil::isConsentSourceHigherPriority(source)) {
    APMConsentSettingsUtil::setConsentSettings(settings);
    APMConsentSettingsUtil::setConsentSource(source);
    APMAnalytics::persistConsentSettings(*settings, source);
  }
}

bool APMMeasurement::wipeoutAnalyticsDataAndResetComponents() {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("wipeoutAnalyticsDataAndResetComponents")) return false;
  APMLog(6, 23171, "Resetting App Measurement data");
  previousVMPAppID_ = persistedConfig_->appIDFromVMP();
  persistedConfig_->clearValues();
  monitor()->clearMonitoringData();
  forgetKeptDatabaseWrites();
  if (database_) {
    platform::Error error;
    if (!database_->reset(&error)) {
      APMLog(1, 23209, "Failed to reset database", error);
      return false;
    }
    if (remoteConfig_) remoteConfig_->reset();
    const auto reporter = std::make_shared<APMSessionReporter>(persistedConfig_);
    reporter->setReportingEnabled(enabled_);
    platform::MutexLock lock(sessionReporterMutex_);
    sessionReporter_ = reporter;
  } else {
    platform::Error error;
    if (!APMDeleteFileAtPath(APMMeasurementFilePath(databaseName_), &error) && !error.domain().empty()) {
      APMLog(1, 23014, "Failed to delete old database file. Error", error);
    }
  }
  if (const auto id = identity()) {
    id->updateIdentifiers();
    id->resetEphemeralAppInstanceID();
  }
  return true;
}

bool APMMeasurement::resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("resetAnalyticsData")) return false;
  if (!isSet(appInstanceID)) {
    if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      APMLog(1, 23167, "Cannot reset with an empty app instance ID");
      return false;
    }
    APMLog(7, 23218, "Resetting with an empty app instance ID");
  }
  const double loadTimestamp = APMAnalytics::loadTimestamp();
  bool success = false;
  scheduler_->dispatchSyncOnWorkerQueueBlockID("APMMeasurement:3128", [&] {
    success = wipeoutAnalyticsDataAndResetComponents();
    if (!success) return;
    persistedConfig_->setAppInstanceID(appInstanceID);
    updatePersistedAppIDFromVMPAndVuZir();
    APMLog(6, 23168, "Analytics data has been reset");
    if (!isAnalyticsCollectionDeactivated_ && APMAnalytics::deferredAnalyticsCollection().isNull()) {
      APMAnalytics::setDeferredAnalyticsCollection(platform::Value(enabled_ ? 0 : 1));
    }
    initTimestamp_ = loadTimestamp;
    persistedConfig_->setLoadTimestampValue(platform::Value(loadTimestamp));
    if (enabled_) reportFirstOpenOnWorkerQueue();
  });
  return success;
}
