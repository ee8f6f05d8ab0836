// Upload of queued measurement bundles: the schedule of the upload alarm, the choice and
// preparation of one batch, the response bookkeeping (retries, backoff, the suspension after a
// failed deletion) and the background task that keeps an upload going after the app leaves the
// foreground.
#include <algorithm>
#include <cmath>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/net/url_session.h"
#include "platform/runloop/clock.h"
#include "platform/ui/application.h"
#include "sdk/analytics/common/apm_app_environment.h"
#include "sdk/analytics/common/apm_foundation_extensions.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_bundle_metadata.h"
#include "sdk/analytics/engine/apm_consent_settings_util.h"
#include "sdk/analytics/engine/apm_identity.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/messages/apmpb_messages.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/utilities/utilities/vul_network.h"

namespace {

constexpr double kEpsilon = 2.220446049250313e-16;

int bundleIndex(std::uint32_t tag) { return kNANOMeasurementBundleSchema.indexOfTag(tag); }

std::optional<std::string> nonEmptyString(const APMPBMeasurementBundle& bundle, std::uint32_t tag) {
  auto value = NANOGetString(&bundle, bundleIndex(tag));
  if (value && value->empty()) return std::nullopt;
  return value;
}

double now() { return platform::Clock::current().now().timeIntervalSince1970(); }

double numberOrZero(const std::optional<platform::Value>& value) {
  return value && value->isNumber() ? value->doubleValue() : 0;
}

bool contains(const std::vector<std::int64_t>& ids, std::int64_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

double APMBootClock() {
  const double seconds = platform::Clock::current().secondsSinceBoot();
  return seconds > 0 ? seconds : -1;
}

// ---- scheduling ----

// Scheduling and uploading wait for the start: until the store is open there is nothing to send.

bool APMMeasurement::hasDataToUpload() {
  if (!database_) return false;
  platform::Error error;
  const auto bundlesEmpty = database_->isQueuedBundleTableEmpty(&error);
  if (!bundlesEmpty) {
    APMLog(1, 23117, "Failed to check if queue table is empty. Error", error);
    return false;
  }
  if (!*bundlesEmpty) return true;
  const auto rawEmpty = database_->isRawEventsTableEmpty(&error);
  if (!rawEmpty) {
    APMLog(1, 23118, "Failed to check if raw events table is empty. Error", error);
    return false;
  }
  return !*rawEmpty;
}

double APMMeasurement::nextUploadingTime() {
  if (!database_) return 0;
  const double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
  const double lastFailure = persistedConfig_->lastFailedUploadTimestamp();
  platform::Error error;
  const auto rawTime = database_->queryLatestRawEventTime(&error);
  if (!rawTime) APMLog(5, 23029, "Failed to query latest raw event time. Error", error);
  const auto bundleTime = database_->queryLatestBundleTime(&error);
  if (!bundleTime) APMLog(5, 23030, "Failed to query latest bundle time. Error", error);
  const double latest = std::max(numberOrZero(rawTime), numberOrZero(bundleTime));
  if (std::fabs(latest) <= kEpsilon) return 0;

  const bool debugMode = APMMeasurementMonitor()->isDebugModeEnabled();
  bool realtime = debugMode;
  if (!realtime) {
    const auto bundles = database_->containsRealtimeBundlesWithError(&error);
    if (!bundles) APMLog(5, 23031, "Failed to query for real-time bundle indicator. Error", error);
    realtime = bundles.value_or(false);
  }
  if (!realtime) {
    const auto raw = database_->containsRealtimeRawEventsWithError(&error);
    if (!raw) APMLog(5, 23032, "Failed to query for real-time raw event indicator. Error", error);
    realtime = raw.value_or(false);
  }

  const double interval = realtime ? remoteConfig_->uploadingRealTimeInterval() : remoteConfig_->uploadingInterval();
  const double current = now();
  // Data stamped in the future (a clock set back) counts as that far in the past.
  const double newest = current - std::fabs(latest - current);
  double next = std::fabs(current - lastSuccess) < interval ? lastSuccess + interval
                                                           : newest + remoteConfig_->uploadingInitialDelayInterval();
  if (lastFailure >= newest) {
    const std::int32_t retries = remoteConfig_->uploadingRetryCount();
    const double retryInterval = remoteConfig_->uploadingRetryInterval();
    for (std::int32_t i = 0; i < retries; ++i) {
      next += retryInterval * std::ldexp(1.0, i);
      if (next > lastFailure) return next;
    }
    return 0;
  }
  if (debugMode) return std::min(next, newest + remoteConfig_->uploadingDebugModeInterval());
  return next;
}

void APMMeasurement::updateSchedule() {
  if (!database_) return;
  if (suspendedUploadTimestamp_ != 0) {
    const double elapsed = std::fabs(APMBootClock() - suspendedUploadTimestamp_);
    if (elapsed < kAPMUploadSuspensionInterval) {
      APMLog(3, 23023, "Upload has been suspended. Will update scheduling later. Seconds",
             kAPMUploadSuspensionInterval - elapsed);
      alarm_->cancel();
      if (network_) network_->setReachabilityDelegate({});
      terminateBackgroundTask();
      return;
    }
    suspendedUploadTimestamp_ = 0;
  }
  auto unschedule = [this] {
    alarm_->cancel();
    if (network_) network_->setReachabilityDelegate({});
    terminateBackgroundTask();
  };
  if (!hasDataToUpload()) {
    remoteConfig_->activateNewSnapshot();
    APMLog(8, 23024, "No data to upload. Upload task will not be scheduled");
    unschedule();
    return;
  }
  double next = nextUploadingTime();
  if (std::fabs(next) <= kEpsilon) {
    APMLog(8, 23025, "No next uploading time. Upload task will not be scheduled");
    unschedule();
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    APMLog(8, 23026, "No network. Upload task will not be scheduled");
    if (network_) network_->setReachabilityDelegate(weak_from_this());
    alarm_->cancel();
    terminateBackgroundTask();
    return;
  }
  network_->setReachabilityDelegate({});
  const double backoffStart = persistedConfig_->lastBackoffTimestamp();
  const double backoff = remoteConfig_->uploadingBackoffInterval();
  if (backoffStart > 0 && now() - backoffStart < backoff) next = std::max(next, backoffStart + backoff);

  if (const auto armed = alarm_->scheduledTimestamp()) {
    const double at = armed->timeIntervalSince1970();
    if (at != 0 && at <= next) {
      APMLog(8, 23027, "Do not schedule an upload task. Task already exists. Will be executed in seconds",
             at - now());
      return;
    }
  }
  double delay = next - now();
  if (std::fabs(delay) <= kEpsilon) delay = 0.001;
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  alarm_->runAfterDelay(delay, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:1656", [weak] {
      if (auto engine = weak.lock()) engine->uploadData();
    });
  });
  APMLog(8, 23028, "Upload task scheduled to be executed in approx. (s)", delay);
}

void APMMeasurement::reachabilityDidChange() {
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:989", [weak] {
    if (auto self = weak.lock()) self->updateSchedule();
  });
}

void APMMeasurement::uploadDataOrRegisterAlarm() {
  if (network_ && network_->isNetworkConnected() && hasDataToUpload()) {
    uploadData();
  } else {
    updateSchedule();
  }
}

bool APMMeasurement::isNetworkReadyForRequest() {
  const bool networkBusy = network_ && network_->hasUploadInProgress();
  if (!isNetworkRequestPending_) return !networkBusy;
  if (!networkBusy) APMLog(1, 23041, "Analytics is uploading but network is not uploading");
  return false;
}

bool APMMeasurement::shouldUseBackgroundSession() {
  return remoteConfig_->isNetworkBackgroundSessionEnabled() &&
         backgroundUpdateTask_.load() != platform::kBackgroundTaskInvalid;
}

// ---- the upload ----

std::vector<APMMeasurement::QueuedBundle> APMMeasurement::filteredBundlesWithCompatibleAppID(
    const std::optional<std::string>& appID, const std::optional<std::string>& resettableDeviceID,
    const std::optional<std::string>& vendorDeviceID, const std::vector<QueuedBundle>& bundlesToUpload) {
  if (resettableDeviceID && vendorDeviceID) {
    APMLog(2, 23042, "Bundle filter must not specify both resettableDeviceID and vendorDeviceID");
    return {};
  }
  const std::uint32_t keyTag = resettableDeviceID ? 19 : 27;
  const std::optional<std::string>& key = resettableDeviceID ? resettableDeviceID : vendorDeviceID;
  std::vector<QueuedBundle> chosen;
  for (const auto& entry : bundlesToUpload) {
    const APMPBMeasurementBundle& bundle = *entry.first;
    if (NANOGetString(&bundle, bundleIndex(14)) != appID) break;
    if (key) {
      const auto value = nonEmptyString(bundle, keyTag);
      if (value && *value != *key) break;
    }
    chosen.push_back(entry);
  }
  return chosen;
}

void APMMeasurement::setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& bundleIDs) {
  if (bundleIDs.empty()) {
    APMLog(2, 23046, "Bundle list is empty. Cancelling upload");
    return;
  }
  if (!uploadingBundleIDs_.empty()) {
    APMLog(2, 23047, "Set uploading progress before finishing the previous upload");
    return;
  }
  uploadingBundleIDs_ = bundleIDs;
}

void APMMeasurement::uploadData() {
  if (!database_) return;
  if (suspendedUploadTimestamp_ > 0) {
    updateSchedule();
    return;
  }
  APMLog(8, 23033, "Starting data upload");
  if (!isNetworkReadyForRequest()) {
    APMLog(8, 23034, "Network operation is pending. Ignoring upload request");
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    APMLog(7, 23035, "Network not connected, ignoring upload request");
    updateSchedule();
    return;
  }
  if (!remoteConfig_->isExpired()) {
    const std::int32_t limit = remoteConfig_->maxBundlesCreatedPerIteration();
    for (std::int32_t i = 0; i < limit && bundleRawEvents(); ++i) {
    }
  }

  // Accepted bundles whose deletion failed: delete them now if the store lets us, and never send
  // them again within the suspension hour.
  if (!undeletedBundleIDs_.empty()) {
    platform::Error error;
    if (database_->deleteBundlesWithRowIDs(undeletedBundleIDs_, &error) ||
        std::fabs(APMBootClock() - undeletedBundlesTimestamp_) >= kAPMUploadSuspensionInterval) {
      undeletedBundleIDs_.clear();
    }
  }

  platform::Error error;
  auto queried = database_->queryBundlesWithCountLimit(remoteConfig_->uploadMaxBundlesLimit(),
                                                       remoteConfig_->uploadMaxSizeLimitBytes(), &error);
  if (!queried) {
    APMLog(1, 23036, "Failed to query bundles. Error", error);
    terminateBackgroundTask();
    return;
  }
  std::vector<QueuedBundle> bundles;
  for (auto& entry : *queried) {
    if (entry.first && !contains(undeletedBundleIDs_, entry.second)) bundles.push_back(std::move(entry));
  }
  if (bundles.empty()) {
    remoteConfig_->activateNewSnapshot();
    APMLog(8, 23037, "No data to upload");
    if (remoteConfig_->isExpired()) {
      fetchRemoteConfig();
    } else {
      terminateBackgroundTask();
    }
    return;
  }

  const auto identity = this->identity();
  if (identity) {
    const auto signals = APMConsentSettingsUtil::consentSignals();
    const bool gate = remoteConfig_->gateIDFAOnATTMASEnabled();
    for (auto& [bundle, rowID] : bundles) APMAddIdentifiersToBundle(*bundle, signals, gate, *identity);
  }
  const double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
  if (lastSuccess > 0) {
    APMLog(8, 23038, "Uploading events. Elapsed time since last successful upload (s)",
           std::fabs(now() - lastSuccess));
  }

  const auto appID = NANOGetString(bundles.front().first.get(), bundleIndex(14));
  std::optional<std::string> resettableID;
  std::optional<std::string> vendorID;
  for (const auto& [bundle, rowID] : bundles) {
    if (auto id = nonEmptyString(*bundle, 19)) {
      resettableID = std::move(id);
      break;
    }
    if (auto id = nonEmptyString(*bundle, 27)) {
      vendorID = std::move(id);
      break;
    }
  }
  const auto chosen = filteredBundlesWithCompatibleAppID(appID, resettableID, vendorID, bundles);

  const auto uploadTime = static_cast<std::int64_t>(now() * 1000);
  const auto dataControls = remoteConfig_->dataControls();
  const bool checksum = remoteConfig_->checksumEnabled();
  std::vector<std::shared_ptr<APMPBMeasurementBundle>> batchBundles;
  std::vector<std::int64_t> rowIDs;
  for (const auto& [bundle, rowID] : chosen) {
    NANOSetInt64(bundle.get(), bundleIndex(18), APMIdentity::davEroriveduveLibraryVersion());
    NANOSetInt64(bundle.get(), bundleIndex(4), uploadTime);
    if (identity) APMRedactBundleFields(*bundle, dataControls, *identity);
    if (checksum) {
      if (const auto bytes = bundle->protoBuffer()) {
        NANOSetInt64(bundle.get(), bundleIndex(47), VULGzip::apm_64LSBMD5(*bytes));
      }
    }
    batchBundles.push_back(bundle);
    rowIDs.push_back(rowID);
  }
  auto batch = APMPBMeasurementBatch::initWithMessageInfo();
  NANOSetArray(batch.get(), 0, batchBundles);
  const auto payload = batch->protoBuffer();
  APMLog(7, 23039, "Measurement data sent to network. Timestamp (ms), data", static_cast<long long>(uploadTime),
         payload ? platform::Value(*payload) : platform::Value());

  if (rowIDs.empty() || !payload) {
    setUploadInProgressWithBundleIDs({});
    terminateBackgroundTask();
    return;
  }
  if (!uploadingBundleIDs_.empty()) {
    // An earlier upload is still recorded; sending now could report these rows under its IDs.
    setUploadInProgressWithBundleIDs(rowIDs);
    return;
  }
  setUploadInProgressWithBundleIDs(rowIDs);
  persistedConfig_->setLastFailedUploadTimestamp(now());

  isNetworkRequestPending_ = true;
  network_->setTimeoutInterval(remoteConfig_->networkTimeout());
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  const auto requestID = network_->postURL(
      remoteConfig_->uploadURL(), *payload, scheduler_->workerQueue(), shouldUseBackgroundSession(),
      [weak](const std::shared_ptr<platform::HTTPURLResponse>& response, const std::optional<platform::Data>&,
             const platform::Error& error) {
        auto self = weak.lock();
        if (!self) return;
        self->isNetworkRequestPending_ = false;
        self->networkUploadCompletionHandlerWithResponse(response, error);
      });
  if (!requestID || requestID->empty()) {
    APMLog(2, 23040, "Unable to create network session.");
    uploadingBundleIDs_.clear();
  }
}

void APMMeasurement::networkUploadCompletionHandlerWithResponse(
    const std::shared_ptr<platform::HTTPURLResponse>& response, const platform::Error& error) {
  const std::int64_t status = response ? response->statusCode() : 0;
  const double completedAt = now();
  if (status == 200 || status == 204) {
    const auto length = response->valueForHTTPHeaderField("Content-Length");
    APMLog(7, 23044, "Successful upload. Got network response. Code, size", static_cast<long long>(status),
           length ? std::string(*length) : std::string("-1"));
    persistedConfig_->setLastSuccessfulUploadTimestamp(completedAt);
    persistedConfig_->setLastFailedUploadTimestamp(0);
    persistedConfig_->setLastBackoffTimestamp(0);
    updateSchedule();
    const std::vector<std::int64_t> uploaded = uploadingBundleIDs_;
    if (!removeBundlesFromDatabaseWithIDs(uploaded)) {
      APMLog(1, 23045, "Unable to delete uploaded bundles. Uploads will be suspended for seconds",
             kAPMUploadSuspensionInterval);
      suspendedUploadTimestamp_ = APMBootClock();
      undeletedBundleIDs_.insert(undeletedBundleIDs_.end(), uploaded.begin(), uploaded.end());
      undeletedBundlesTimestamp_ = suspendedUploadTimestamp_;
    } else {
      suspendedUploadTimestamp_ = 0;
    }
    uploadingBundleIDs_.clear();
    if (network_ && network_->isNetworkConnected() && hasDataToUpload()) {
      uploadData();
    } else if (remoteConfig_->isExpired()) {
      uploadData();
    } else {
      updateSchedule();
    }
    return;
  }
  persistedConfig_->setLastFailedUploadTimestamp(completedAt);
  if (status == 503 || status == 429) persistedConfig_->setLastBackoffTimestamp(completedAt);
  APMLog(7, 23043, "Network upload failed. Will retry later. Code, error", static_cast<long long>(status), error);
  incrementRetryCounter();
  uploadingBundleIDs_.clear();
  updateSchedule();
}

bool APMMeasurement::removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& bundleIDs) {
  platform::Error error;
  if (database_->deleteBundlesWithRowIDs(bundleIDs, &error)) return true;
  APMLog(1, 23122, "Failed to delete bundles from database. Error", error);
  return false;
}

void APMMeasurement::incrementRetryCounter() {
  platform::Error error;
  if (!database_->incrementRetryCounterForBundlesWithIDs(uploadingBundleIDs_, &error)) {
    APMLog(2, 23166, "Failed to update the bundles' retry counts. Error", error);
  }
}

// ---- the background task ----

void APMMeasurement::subscribeForAppForegroundBackgroundNotifications() {
  auto& center = platform::NotificationCenter::defaultCenter();
  const std::weak_ptr<const void> owner = std::weak_ptr<const APMMeasurement>(weak_from_this());
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  center.addObserver(owner, std::string(platform::kApplicationDidBecomeActiveNotification), nullptr,
                     [weak](const platform::Notification&) {
                       if (auto self = weak.lock()) self->handleAppDidBecomeActiveEvent();
                     });
  center.addObserver(owner, std::string(platform::kApplicationWillResignActiveNotification), nullptr,
                     [weak](const platform::Notification&) {
                       if (auto self = weak.lock()) self->handleAppWillResignActiveEvent();
                     });
  center.addObserver(owner, std::string(platform::kApplicationWillEnterForegroundNotification), nullptr,
                     [weak](const platform::Notification&) {
                       if (auto self = weak.lock()) self->handleAppWillEnterForegroundNotification();
                     });
}

void APMMeasurement::handleAppWillResignActiveEvent() {
  persistedConfig_->synchronizeToDisk();
  APMLog(8, 23144, "App will resign active state. Scheduling data upload");
  std::int64_t taskID = platform::kBackgroundTaskInvalid;
  if (const auto application = APMAEU::sharedApplication()) {
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    taskID = application->beginBackgroundTaskWithName("APMAnalyticsMeasurementBackgroundTask", [weak] {
      if (auto self = weak.lock()) self->terminateBackgroundTask();
    });
  }
  swapBackgroundTaskWithNewTaskID(taskID);
  APMLog(8, 23145, "Background task started. Task ID", static_cast<long long>(taskID));
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  APMAnalytics::queueOperationWithBlock([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:3713", [weak] {
      if (auto engine = weak.lock()) engine->uploadData();
    });
  });
}

void APMMeasurement::handleAppWillEnterForegroundNotification() { terminateBackgroundTask(); }

void APMMeasurement::terminateBackgroundTask() {
  persistedConfig_->synchronizeToDisk();
  swapBackgroundTaskWithNewTaskID(platform::kBackgroundTaskInvalid);
}

void APMMeasurement::swapBackgroundTaskWithNewTaskID(std::int64_t taskID) {
  const std::int64_t previous = backgroundUpdateTask_.exchange(taskID);
  if (previous == platform::kBackgroundTaskInvalid) return;
  APMLog(7, 23142, "Cancelling background upload task. Task ID ", static_cast<long long>(previous));
  if (const auto application = APMAEU::sharedApplication()) application->endBackgroundTask(previous);
}

// ---- the HTTP client's log lines ----

namespace {

std::int64_t monitorLevelOf(VULLoggerLevel level) {
  switch (level) {
    case 3: return 1;
    case 4: return 4;
    case 5: return 3;
    case 6: return 6;
    case 7: return 7;
    default: return 3;
  }
}

}  // namespace

void APMMeasurement::VULNetwork_logWithLevelContexts(VULLoggerLevel level, VULNetworkMessageCode messageCode,
                                                     std::string_view message,
                                                     const std::vector<platform::Value>& contexts) {
  APMMonitor::Contexts objects;
  for (const auto& context : contexts) objects.emplace_back(context);
  monitor()->logWithLevel(monitorLevelOf(level), messageCode, message, std::move(objects));
}

void APMMeasurement::VULNetwork_logWithLevelContext(VULLoggerLevel level, VULNetworkMessageCode messageCode,
                                                    std::string_view message, const platform::Value& context) {
  monitor()->logWithLevel(monitorLevelOf(level), messageCode, message, APMMonitor::Contexts{APMObject(context)});
}

void APMMeasurement::VULNetwork_logWithLevel(VULLoggerLevel level, VULNetworkMessageCode messageCode,
                                             std::string_view message) {
  monitor()->logWithLevel(monitorLevelOf(level), messageCode, message, APMMonitor::Contexts{});
}
