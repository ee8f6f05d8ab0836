// First open, app and OS updates, session start at engine start, and the ad-personalisation and
// advertising-identifier-reset user properties.
#include <algorithm>
#include <cstdlib>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/system_info.h"
#include "platform/runloop/clock.h"
#include "platform/store/ad_network.h"
#include "platform/ui/scene.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_identity.h"
#include "sdk/analytics/engine/apm_info_plist_file_util.h"
#include "sdk/analytics/engine/apm_launch_utilities.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/engine/apm_screen_view_reporter.h"
#include "sdk/analytics/engine/apm_session_reporter.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apm_sqlite_store.h"
#include "sdk/analytics/storage/apm_storage_records.h"
#include "sdk/analytics/storage/apm_user_defaults.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"

namespace {

constexpr std::string_view kDefaultAllowAdPersonalizationKey = "VIDEZU_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";
constexpr std::string_view kAdNetworkRegistrationKey = "VIDEZU_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED";
constexpr std::int64_t kMillisecondsPerHour = 3600000;

double now() { return platform::Clock::current().now().timeIntervalSince1970(); }

std::shared_ptr<const APMUserAttribute> internalAttribute(const std::string& name, std::int64_t value, double time) {
  return std::make_shared<const APMUserAttribute>("auto", name, APMValue::initWithInt64(value), time);
}

}  // namespace

std::int64_t APMMeasurement::timestampMillisRoundedUpToNextHour(std::int64_t milliseconds) {
  return (milliseconds / kMillisecondsPerHour) * kMillisecondsPerHour + kMillisecondsPerHour;
}

// ---- first open ----

// One unit of writing: while another connection holds the database it waits with the other
// writes (and goes to the journal when the app is ended), and is reported as of this launch.
void APMMeasurement::reportFirstOpenOnWorkerQueue() {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("reportFirstOpenOnWorkerQueue")) return;
  // A launch after the first open writes only its session, whose writes are units of their own.
  if (database_ && !waitingForDatabase_) {
    platform::Error error;
    const auto reported = database_->containsUserAttributeWithName("_fot", &error);
    if (reported && *reported) {
      reportLaunchAfterFirstOpenOnWorkerQueue();
      return;
    }
  }
  performDatabaseWriteOnWorkerQueue([this] { reportFirstOpenInDatabaseOnWorkerQueue(); },
                                    [timestamp = initTimestamp_] {
                                      return std::optional(platform::Value::Dictionary{
                                          {"k", platform::Value("f")}, {"t", platform::Value(timestamp)}});
                                    });
}

void APMMeasurement::reportFirstOpenInDatabaseOnWorkerQueue() {
  if (!database_) return;
  platform::Error error;
  const auto reported = database_->containsUserAttributeWithName("_fot", &error);
  if (!reported) {
    // A held file fails the whole unit, which is done again once it is free.
    if (!APMIsBusySqliteError(error)) APMLog(1, 23019, "Failed to query first open property. Error", error);
    return;
  }
  const std::string bundleID = platform::Bundle::main()->bundleIdentifier();
  const std::string markerName(kAPMPreviousFirstOpenCountKeychainIdentifier);
  const auto marker = APMKeychainWrapper::keychainValueWithIdentifier(markerName, bundleID);
  const std::int64_t previousFirstOpens = marker ? std::strtoll(marker->c_str(), nullptr, 10) : 0;

  if (*reported) {
    reportLaunchAfterFirstOpenOnWorkerQueue();
    return;
  }

  // Without the device's marker nothing says this install was preceded by another, so the first
  // open counts as one right after an install either way.
  const std::int64_t firstOpenAfterInstall = 1;
  const std::int64_t storedFirstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
  const double firstOpenAfterInstallTime =
      storedFirstOpen != 0 ? static_cast<double>(storedFirstOpen) / 1000 : initTimestamp_;
  // Each property is read back: the first open is reported only once both are stored.
  const auto setAndCheck = [&](const APMUserAttribute& attribute, std::int64_t queryCode, std::string_view queryText,
                               std::int64_t missingCode, std::string_view missingText) {
    setUserPropertyInDatabaseOnWorkerQueue(attribute);
    const auto stored = database_->containsUserAttributeWithName(attribute.name(), &error);
    if (!stored) APMLog(1, queryCode, queryText, error);
    if (stored && !*stored) APMLog(1, missingCode, missingText);
    return stored && *stored;
  };
  if (!setAndCheck(*internalAttribute("_fi", firstOpenAfterInstall, firstOpenAfterInstallTime), 23161,
                   "Failed to query first open after install property after setting it. Error", 23162,
                   "Failed to set first open after install property")) {
    return;
  }

  const std::int64_t firstOpenMillis = APMMillisecondsFromSeconds(initTimestamp_);
  if (!setAndCheck(*internalAttribute("_fot", timestampMillisRoundedUpToNextHour(firstOpenMillis), initTimestamp_),
                   23020, "Failed to query first open property after setting it. Error", 23021,
                   "Failed to set first open property")) {
    return;
  }

  const bool efficient = remoteConfig_->efficientEngagementReportingEnabled();
  const APMDictionary screen = APMScreenViewReporter::sharedInstance().screenParameters();
  APMDictionary parameters{{"_pfo", APMInt64Object(previousFirstOpens)}, {"_uwa", APMInt64Object(1 - firstOpenAfterInstall)}};
  if (previousVMPAppID_ && !previousVMPAppID_->empty()) parameters["_pvmp"] = APMObject(APMValue::initWithString(*previousVMPAppID_));
  if (const platform::Value deferred = APMAnalytics::deferredAnalyticsCollection(); deferred.isNumber() && deferred.boolValue()) {
    parameters["_dac"] = APMInt64Object(1);
  }
  if (efficient) parameters["_et"] = APMInt64Object(1);
  if (auto firstOpen = APMEvent::initWithOrigin("auto", false, "_f", initTimestamp_, 0, parameters)) {
    firstOpen->addScreenParameters(screen);
    logEventOnWorkerQueue(firstOpen, true);
  }

  APMAnalytics::setDeferredAnalyticsCollection(platform::Value());
  persistedConfig_->setLoadTimestampValue(platform::Value());
  reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp_, false);

  if (!remoteConfig_->redundantEngagementRemovalEnabled()) {
    APMDictionary engagement{{"_et", APMInt64Object(1)}};
    if (efficient) engagement["_fr"] = APMInt64Object(1);
    if (auto event = APMEvent::initWithOrigin("auto", false, "_e", initTimestamp_, 0, engagement)) {
      event->addScreenParameters(screen);
      logEventOnWorkerQueue(event, true);
    }
  }

  persistedConfig_->setFirstOpenTimestampMilliseconds(firstOpenMillis);
  reportStoredCampaignEventOnWorkerQueue(firstOpenMillis - 1);

  if (VULAppEnvironmentUtil::isSystemVersionAtLeast(11, 3)) {
    if (shouldAllowAdNetworkRegistration()) {
      platform::AdNetwork::registerAppForAdNetworkAttribution();
    } else {
      APMLog(7, 23217, "Opted out of registration for ad network attribution");
    }
  }
}

void APMMeasurement::reportLaunchAfterFirstOpenOnWorkerQueue() {
  const std::string bundleID = platform::Bundle::main()->bundleIdentifier();
  const std::string markerName(kAPMPreviousFirstOpenCountKeychainIdentifier);
  const auto marker = APMKeychainWrapper::keychainValueWithIdentifier(markerName, bundleID);
  if (!marker || std::strtoll(marker->c_str(), nullptr, 10) < 1) {
    APMKeychainWrapper::upsertKeychainValue("1", markerName, bundleID);
  }
  APMAnalytics::setDeferredAnalyticsCollection(platform::Value());
  if (VULAppEnvironmentUtil::isSystemVersionAtLeast(15, 0) && APMHasSceneManifest() && APMIsActivePrewarm()) {
    reportSessionStartWhenSceneWillConnectOnWorkerQueue();
  } else {
    reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp_, false);
  }
  persistedConfig_->setLoadTimestampValue(platform::Value());
}

// ---- sessions ----

void APMMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("reportSessionStartOnWorkerQueueWithTimestamp")) return;
  const auto reporter = sessionReporter();
  if (!reporter) return;
  // The main thread may be starting a session at this moment: the reporter lets one of us.
  const auto sessionNumber = reporter->startSessionIfExpired();
  if (!sessionNumber) return;
  setUserAttributeOnWorkerQueue(*reporter->sessionIDPropertyWithTimestamp(timestamp));
  setUserAttributeOnWorkerQueue(*reporter->sessionNumberProperty(*sessionNumber));
  const bool inBackground = appInBackground && remoteConfig()->appInBackgroundParameterEnabled();
  if (auto event = APMSessionStartEvent(*sessionNumber, inBackground, timestamp)) {
    logEventOnWorkerQueue(event, true);
  }
}

void APMMeasurement::reportSessionStart() {
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:1086", [weak] {
    if (const auto self = weak.lock()) self->reportSessionStartOnWorkerQueueWithTimestamp(self->initTimestamp_, false);
  });
}

void APMMeasurement::reportSessionStartWhenSceneWillConnectOnWorkerQueue() {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("reportSessionStartWhenSceneWillConnectOnWorkerQueue")) {
    return;
  }
  if (!VULAppEnvironmentUtil::isSystemVersionAtLeast(13, 0) || sceneObserverOwner_) return;
  sceneObserverOwner_ = std::make_shared<const int>(0);
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  platform::NotificationCenter::defaultCenter().addObserver(
      std::weak_ptr<const void>(sceneObserverOwner_), std::string(platform::kSceneWillConnectNotification), nullptr,
      [weak, owner = sceneObserverOwner_.get()](const platform::Notification&) {
        platform::NotificationCenter::defaultCenter().removeObserver(owner);
        if (const auto self = weak.lock()) self->reportSessionStart();
      });
}

void APMMeasurement::backfillSessionNumber() {
  if (persistedConfig_->sessionNumber() != 0 || !database_) return;
  platform::Error error;
  const auto aggregates = database_->eventAggregatesWithName("_s", &error);
  if (!aggregates) {
    if (error.isSet()) APMLog(1, 23063, "Unable to query event aggregates. Name, error", "_s", error);
    return;
  }
  persistedConfig_->setSessionNumber(aggregates->lifetimeCount());
}

// ---- updates ----

void APMMeasurement::reportAppUpdateOnWorkerQueue() {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("reportAppUpdateOnWorkerQueue")) return;
  const auto id = identity();
  if (!id) return;
  const std::string current = id->appVersion();
  const std::string previous = persistedConfig_->appVersion().value_or(std::string());
  if (current == previous) return;
  persistedConfig_->setAppVersion(current);
  if (!previous.empty()) APMAnalytics::logInternalEventWithOrigin("auto", "_au", {{"_pv", APMObject(previous)}});
}

void APMMeasurement::reportOSUpdateOnWorkerQueue() {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("reportOSUpdateOnWorkerQueue")) return;
  const std::string current = APMEnvironmentInfo::sharedInstance().deviceOSVersion();
  const std::string previous = persistedConfig_->osVersion().value_or(std::string());
  if (current == previous) return;
  persistedConfig_->setOSVersion(current);
  if (!previous.empty()) APMAnalytics::logInternalEventWithOrigin("auto", "_ou", {{"_po", APMObject(previous)}});
}

// ---- user properties kept in line with settings ----

std::optional<platform::Value> APMMeasurement::shouldDisableAdPersonalization() {
  const platform::Value allowed = persistedConfig_->allowPersonalizedAds();
  if (allowed.isNumber()) return platform::Value(allowed.boolValue() ? 0 : 1);
  const platform::Value plist = platform::Bundle::main()->objectForInfoDictionaryKey(kDefaultAllowAdPersonalizationKey);
  if (plist.isNull()) return std::nullopt;
  if (plist.isNumber()) return platform::Value(plist.boolValue() ? 0 : 1);
  return platform::Value(0);
}

// One unit of writing, kept in line with the others while another connection holds the database.
void APMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("setPersonalizedAdsUserPropertyOnWorkerQueue")) return;
  performDatabaseWriteOnWorkerQueue([this] { setPersonalizedAdsUserPropertyInDatabaseOnWorkerQueue(); }, [] {
    return std::optional(platform::Value::Dictionary{{"k", platform::Value("n")}});
  });
}

void APMMeasurement::setPersonalizedAdsUserPropertyInDatabaseOnWorkerQueue() {
  if (!database_) return;
  platform::Error error;
  const auto stored = database_->userAttributeWithName("_npa", &error);
  if (!stored && error.isSet()) {
    if (!APMIsBusySqliteError(error)) APMLog(1, 23172, "Unable to read personalized ads user property. Error", error);
    return;
  }
  const auto setting = shouldDisableAdPersonalization();
  if (!setting) {
    if (!stored) return;
    platform::Error deleteError;
    if (database_->deleteUserAttributeWithName("_npa", &deleteError)) {
      APMLog(4, 23180, "No value set for personalized ads. Removing user property.");
    } else {
      APMLog(1, 23173, "Unable to remove personalized ads user property in the database. Error", deleteError);
    }
    return;
  }
  const std::int64_t value = setting->integerValue();
  const auto& storedValue = stored ? stored->value() : nullptr;
  if (storedValue && storedValue->isInt64() && storedValue->int64Value() == value) return;
  setUserPropertyInDatabaseOnWorkerQueue(*internalAttribute("_npa", value, now()));
}

void APMMeasurement::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("setLastAdvertisingIDResetUserPropertyOnWorkerQueue") ||
      !database_) {
    return;
  }
  platform::Error error;
  const auto hasID = database_->containsUserAttributeWithName("_id", &error);
  const auto hasReset = database_->containsUserAttributeWithName("_lair", &error);
  if (!hasID || !hasReset || !*hasID || *hasReset) return;
  setUserPropertyInDatabaseOnWorkerQueue(*internalAttribute("_lair", 1, now()));
  if (const auto id = identity()) id->setShouldSetLastAdvertisingIDResetUserProperty(false);
}

bool APMMeasurement::shouldAllowAdNetworkRegistration() {
  const platform::Value value = platform::Bundle::main()->objectForInfoDictionaryKey(kAdNetworkRegistrationKey);
  return !value.isNumber() || value.boolValue();
}

double APMMeasurement::firstOpenTimestamp() {
  if (!database_) return 0;
  platform::Error error;
  if (const auto firstOpen = database_->userAttributeWithName("_fot", &error)) return firstOpen->lastSetTimestamp();
  const auto all = database_->userAttributesIncludingInternal(true, &error);
  if (!all) {
    APMLog(1, 23123, "Unable to query current user properties. Error", error);
    return 0;
  }
  if (all->empty()) {
    APMLog(2, 23124, "Cannot extract first open timestamp. Empty user properties");
    return 0;
  }
  double earliest = (*all)[0]->lastSetTimestamp();
  for (const auto& attribute : *all) earliest = std::min(earliest, attribute->lastSetTimestamp());
  return earliest;
}

// ---- launch links ----

// The launch link stored before the engine ran, reported as a campaign; "_cc" tells the service
// the hour of the click, or 1 when the link was kept too long to be dated.
void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampInMs) {
  const auto store = APMUserDefaults::standardUserDefaults();
  const platform::Value stored = store->objectForKey(kAPMStoredDeepLinkKey);
  const std::string* link = stored.ifString();
  if (!link || link->empty()) return;
  std::string url = *link;
  const platform::Value storedTime = store->objectForKey(kAPMStoredDeepLinkTimestampKey);
  const double storedSeconds = storedTime.isNumber() ? storedTime.doubleValue() : 0;
  APMDictionary extras;
  if (APMIsStoredDeepLinkExpired(*store, remoteConfig()->attributionCacheTTLInterval())) {
    extras["utm_source"] = APMObject("(not set)");
    extras["utm_medium"] = APMObject("(not set)");
    extras["_cc"] = APMObject(1);
    url = "(not set)";
  } else {
    extras["_cc"] = APMObject(static_cast<long long>(
        APMStartOfPreviousHourMillis(static_cast<std::int64_t>(storedSeconds * 1000.0))));
  }
  APMRemoveStoredDeepLink(*store);
  handleOpenURLOnWorkerQueue(url, clickTimestampInMs, storedSeconds, extras);
}
