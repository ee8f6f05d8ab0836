#include "sdk/analytics/storage/apme_task_manager.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/net/url_session.h"
#include "sdk/analytics/common/apm_error.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "sdk/analytics/storage/apm_user_defaults.h"
#include "sdk/analytics/storage/apme_database.h"
#include "sdk/analytics/storage/apme_manager.h"
#include "sdk/analytics/storage/apme_snapshot.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "sdk/utilities/utilities/vul_gzip.h"
#include "sdk/utilities/utilities/vul_network.h"
#include "sdk/utilities/utilities/vul_service_endpoints.h"

using platform::Data;
using platform::Error;
using platform::Value;

namespace {

constexpr std::string_view kDefaultExperimentBaseURL = "https://experiments.measurement.vuduzara.invalid";
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kSuccessInterval = 14400;
constexpr double kFirstFetchDelay = 10;
constexpr double kFirstRetryInterval = 1800;
constexpr int kRetrySteps = 6;
constexpr double kBackoffInterval = 43200;

// Field indexes.
constexpr std::int32_t kRequestAppProperty = 0;
constexpr std::int32_t kRequestClientProperties = 1;
constexpr std::int32_t kAppPlatform = 0;
constexpr std::int32_t kAppLanguage = 3;
constexpr std::int32_t kAppBundleID = 4;
constexpr std::int32_t kAppFromAppStore = 5;
constexpr std::int32_t kAppComponentVersion = 6;
constexpr std::int32_t kResponseSnapshots = 0;
constexpr std::int32_t kResponseSDKResponses = 1;
constexpr std::int32_t kSDKResponseName = 0;
constexpr std::int32_t kSDKResponseStatus = 1;
constexpr std::int32_t kSDKResponseSnapshot = 2;
constexpr std::int32_t kSnapshotSDKName = 0;

// The device's first preferred language, as the locale environment names it ("en-us").
std::optional<std::string> preferredLanguage() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (!value || !*value) continue;
    std::string language(value);
    language = language.substr(0, language.find_first_of(".@"));
    if (language.empty() || language == "C" || language == "POSIX") return std::nullopt;
    std::replace(language.begin(), language.end(), '_', '-');
    std::transform(language.begin(), language.end(), language.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return language;
  }
  return std::nullopt;
}


}  // namespace

std::string APMExperimentFetchURL() {
  return VULServiceBaseURL(kDefaultExperimentBaseURL) + std::string(kAPMExperimentFetchPath);
}

// --- APMEExperimentRequestBuilder ---

APMEExperimentRequestBuilder& APMEExperimentRequestBuilder::sharedInstance() {
  // Never destroyed: a worker may still build an experiment request while the process exits.
  static APMEExperimentRequestBuilder* const builder = new APMEExperimentRequestBuilder;
  return *builder;
}

void APMEExperimentRequestBuilder::addSDKProperty(const std::shared_ptr<APMESDKProperty>& property) {
  if (!property) {
    APMLog(2, 880000, "Cannot add an empty SDK property.");
    return;
  }
  platform::MutexLock lock(mutex_);
  clientPropertyBySDKName_.insert_or_assign(property->name(), property);
}

void APMEExperimentRequestBuilder::removeAllSDKPropertiesForTesting() {
  platform::MutexLock lock(mutex_);
  clientPropertyBySDKName_.clear();
}

std::shared_ptr<APMPBAppProperty> APMEExperimentRequestBuilder::appPropertyProto() const {
  auto app = APMPBAppProperty::initWithMessageInfo();
  if (!app) return nullptr;
  NANOSetString(app.get(), kAppPlatform, "ios");
  if (auto language = preferredLanguage()) NANOSetString(app.get(), kAppLanguage, *language);
  NANOSetString(app.get(), kAppBundleID, platform::Bundle::main()->bundleIdentifier());
  NANOSetBool(app.get(), kAppFromAppStore, VULAppEnvironmentUtil::isFromAppStore());
  NANOSetInt64(app.get(), kAppComponentVersion, APMEManager::version());
  return app;
}

std::shared_ptr<APMPBExperimentRequest> APMEExperimentRequestBuilder::request() const {
  std::vector<std::shared_ptr<APMESDKProperty>> properties;
  {
    platform::MutexLock lock(mutex_);
    for (const auto& [name, property] : clientPropertyBySDKName_) properties.push_back(property);
  }
  auto request = APMPBExperimentRequest::initWithMessageInfo();
  if (!request) return nullptr;
  std::vector<std::shared_ptr<APMPBClientProperty>> clients;
  for (const auto& property : properties) {
    if (auto client = property->proto()) clients.push_back(client);
  }
  if (!clients.empty()) NANOSetArray(request.get(), kRequestClientProperties, clients);
  const auto app = appPropertyProto();
  NANOSetMessage(request.get(), kRequestAppProperty, app.get());
  return request;
}

// --- APMETaskManager ---

std::shared_ptr<APMETaskManager> APMETaskManager::init() {
  auto queue = platform::DispatchQueue::serial(
      "APMExperimentWorkerQueue", platform::DispatchQueue::global(platform::QualityOfService::Background));
  return initWithQueue(std::move(queue), VULNetwork::initWithReachabilityHost(APMExperimentFetchURL()),
                       std::make_shared<APMUserDefaults>(std::string(kAPMExperimentSuiteName)),
                       APMMeasurementFilePath(kAPMEDatabaseName), APMENow());
}

std::shared_ptr<APMETaskManager> APMETaskManager::initWithQueue(std::shared_ptr<platform::DispatchQueue> queue,
                                                                std::shared_ptr<VULNetwork> network,
                                                                std::shared_ptr<APMConfigStore> persistedStorage,
                                                                std::string databasePath, double initTimestamp) {
  return std::shared_ptr<APMETaskManager>(new APMETaskManager(std::move(queue), std::move(network),
                                                              std::move(persistedStorage), std::move(databasePath),
                                                              initTimestamp));
}

APMETaskManager::APMETaskManager(std::shared_ptr<platform::DispatchQueue> queue, std::shared_ptr<VULNetwork> network,
                                 std::shared_ptr<APMConfigStore> persistedStorage, std::string databasePath,
                                 double initTimestamp)
    : workerQueue_(std::move(queue)),
      alarm_(std::make_unique<APMAlarm>(workerQueue_, "APMExperimentAlarm")),
      network_(std::move(network)),
      persistedStorage_(std::move(persistedStorage)),
      databasePath_(std::move(databasePath)),
      initializationTimestamp_(initTimestamp) {}

APMETaskManager::~APMETaskManager() = default;

void APMETaskManager::setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate) {
  platform::MutexLock lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<APMETaskManagerDelegate> APMETaskManager::delegate() const {
  platform::MutexLock lock(delegateMutex_);
  return delegate_.lock();
}

void APMETaskManager::dispatchAsyncOnWorkerQueue(std::function<void()> block) {
  workerQueue_->async([block = std::move(block)] {
    if (auto exception = APMRunCatching(block)) APMLog(1, 820026, "Exception on async worker queue", *exception);
  });
}

void APMETaskManager::dispatchSyncOnWorkerQueue(const std::function<void()>& block) {
  workerQueue_->sync([&] {
    if (auto exception = APMRunCatching(block)) APMLog(1, 820027, "Exception on sync worker queue", *exception);
  });
}

void APMETaskManager::startTaskManager() {
  dispatchAsyncOnWorkerQueue([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->startTaskManagerOnWorkerQueue();
  });
}

void APMETaskManager::startTaskManagerOnWorkerQueue() {
  database_ = APMEDatabase::initWithPath(databasePath_);
  if (!database_) return;
  fetchAllSnapshotsOnWorkerQueue();
  scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::fetchAllSnapshotsOnWorkerQueue() {
  if (!database_) return;
  const bool committed = database_->performTransaction([&] {
    Error error;
    if (!database_->deleteStaleActivatedSnapshots(&error)) {
      APMLog(1, 820006, "Cannot delete stale activated snapshots. Error", error);
      return false;
    }
    if (!database_->activatePendingSnapshotsAutomatically(&error)) {
      APMLog(1, 820007, "Cannot activate pending snapshots automatically. Error", error);
      return false;
    }
    return true;
  });
  if (!committed) {
    APMLog(2, 820008, "Failed to start the task manager");
    return;
  }
  APMLog(8, 820009, "Successfully start the task manager");
  auto delegate = this->delegate();
  if (!delegate) return;
  Error error;
  auto activated = database_->fetchAllActivatedSnapshots(&error);
  if (!activated) APMLog(2, 820010, "Error in fetching all activated snapshots. Error", error);
  error = {};
  auto pending = database_->fetchAllPendingSnapshots(&error);
  if (!pending) APMLog(2, 820011, "Error in fetching all pending snapshots. Error", error);
  error = {};
  auto launched = database_->fetchAllLaunchedSnapshots(&error);
  if (!launched) APMLog(2, 820012, "Error in fetching all launched snapshots. Error", error);
  delegate->taskManagerDidStart(*this, activated.value_or(APMESnapshots{}), pending.value_or(APMESnapshots{}),
                                launched.value_or(APMESnapshots{}));
}

double APMETaskManager::storedTime(std::string_view key) const {
  const Value value = persistedStorage_->objectForKey(key);
  return value.isNumber() ? value.doubleValue() : 0;
}

double APMETaskManager::fetchTimeFromLastSuccessfulTimestamp(double success, double failure) {
  const double now = APMENow();
  // A success stamped in the future (a clock set back) counts as that far in the past.
  const double base = now - std::fabs(success - now);
  const double due = base + kSuccessInterval;
  if (!hasMadeInitialFetch_) {
    hasMadeInitialFetch_ = true;
    return std::max(now + kFirstFetchDelay, due);
  }
  if (failure <= 0) return due;
  double retry = base == 0 ? initializationTimestamp_ : due;
  double step = kFirstRetryInterval;
  for (int i = 0; i < kRetrySteps; ++i, step *= 2) {
    retry += step;
    if (retry > failure) return retry;
  }
  return 0;
}

std::optional<double> APMETaskManager::scheduledFetchTimestamp() const {
  std::optional<double> due;
  auto read = [&] {
    if (auto date = alarm_->scheduledTimestamp()) due = date->timeIntervalSince1970();
  };
  if (workerQueue_->isCurrent()) {
    read();
  } else {
    workerQueue_->sync(read);
  }
  return due;
}

void APMETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("scheduleFetchingExperimentsOnWorkerQueue");
  double due = fetchTimeFromLastSuccessfulTimestamp(storedTime(kAPMExperimentFetchSuccessTimestampKey),
                                                    storedTime(kAPMExperimentFetchFailureTimestampKey));
  if (std::fabs(due) < kEpsilon) {
    persistedStorage_->removeObjectForKey(kAPMExperimentFetchSuccessTimestampKey);
    APMLog(2, 820024, "Network attempted too many times. Will not schedule new network.");
    return;
  }
  const double now = APMENow();
  if (auto scheduled = alarm_->scheduledTimestamp(); scheduled && scheduled->timeIntervalSince1970() <= due) {
    APMLog(8, 820017, "Do not schedule a fetch task. Task already exists. Will be executed in seconds",
           scheduled->timeIntervalSince1970() - now);
    return;
  }
  const double backoff = storedTime(kAPMExperimentFetchBackoffTimestampKey);
  if (backoff > 0 && now - backoff < kBackoffInterval) due = std::max(due, backoff + kBackoffInterval);
  double delay = due - now;
  if (delay < kEpsilon) delay = 0.001;
  auto delegate = this->delegate();
  const bool shouldFetch = delegate ? delegate->taskManagerShouldFetchExperiments(*this) : true;
  alarm_->runAfterDelay(delay, [weak = weak_from_this(), shouldFetch] {
    auto self = weak.lock();
    if (!self) return;
    if (shouldFetch) {
      self->fetchExperiments();
    } else {
      self->postponeFetchExperiments();
    }
  });
}

void APMETaskManager::postponeFetchExperiments() {
  persistedStorage_->setObject(Value(APMENow()), kAPMExperimentFetchSuccessTimestampKey);
  persistedStorage_->removeObjectForKey(kAPMExperimentFetchFailureTimestampKey);
  persistedStorage_->removeObjectForKey(kAPMExperimentFetchBackoffTimestampKey);
  scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::fetchExperiments() {
  const auto request = APMEExperimentRequestBuilder::sharedInstance().request();
  const auto payload = request ? request->protoBuffer() : std::nullopt;
  if (!payload) {
    recordFailure(0, APMAdditions::apm_errorWithCode(1, "Cannot serialize the experiment request"));
    return;
  }
  APMLog(8, 820001, "Fetching new experiments. Request", std::to_string(payload->size()) + " bytes");
  if (!network_) {
    recordFailure(0, APMAdditions::apm_errorWithCode(1, "No network client for the experiment service"));
    return;
  }
  network_->postURL(
      APMExperimentFetchURL(), *payload, workerQueue_, false,
      [weak = weak_from_this()](const std::shared_ptr<platform::HTTPURLResponse>& response,
                                const std::optional<Data>& data, const Error& error) {
        auto self = weak.lock();
        if (!self) return;
        // The service answers with a gzip body but no content-encoding header, so the body is
        // inflated here.
        std::optional<Data> inflated;
        bool unreadable = false;
        if (data && !data->empty()) {
          Error inflateError;
          inflated = VULGzip::vul_dataByInflatingGzippedData(*data, &inflateError);
          if (!inflated) {
            APMLog(2, 820023, "Cannot inflate downloaded experiment data. Error", inflateError);
            unreadable = true;
          }
        }
        self->handleFetchingExperimentsResponse(response, inflated, error, unreadable);
      });
}

void APMETaskManager::recordFailure(std::int64_t status, const Error& error) {
  const double now = APMENow();
  persistedStorage_->setObject(Value(now), kAPMExperimentFetchFailureTimestampKey);
  if (status == 503 || status == 429) persistedStorage_->setObject(Value(now), kAPMExperimentFetchBackoffTimestampKey);
  APMLog(1, 820002, "Network fetch failed. Will retry later. Code, error", status, error);
  scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::handleFetchingExperimentsResponse(const std::shared_ptr<platform::HTTPURLResponse>& response,
                                                        const std::optional<Data>& data, const Error& error,
                                                        bool bodyUnreadable) {
  const std::int64_t status = response ? response->statusCode() : 0;
  if ((status != 200 && status != 204) || bodyUnreadable) {
    recordFailure(status, error);
    return;
  }
  const auto decoded = APMPBExperimentResponse::initWithBuffer(data ? &*data : nullptr);
  if (!decoded) {
    recordFailure(status, APMAdditions::apm_errorWithCode(2, "Cannot decode the experiment response"));
    return;
  }
  APMLog(8, 820003, "Successful fetch. Got network response. Code, data", status,
         std::to_string(data ? data->size() : 0) + " bytes");
  persistedStorage_->setObject(Value(APMENow()), kAPMExperimentFetchSuccessTimestampKey);
  persistedStorage_->removeObjectForKey(kAPMExperimentFetchFailureTimestampKey);
  persistedStorage_->removeObjectForKey(kAPMExperimentFetchBackoffTimestampKey);
  const APMESnapshots snapshots = experimentSnapshotsFromExperimentResponse(decoded.get()).value_or(APMESnapshots{});
  const APMEFetchErrors errors = errorsFromExperimentResponse(decoded.get()).value_or(APMEFetchErrors{});
  if (!snapshots.empty() && database_) {
    Error upsertError;
    if (!database_->upsertPendingExperimentSnapshots(snapshots, &upsertError)) {
      APMLog(1, 820022, "Cannot upsert pending snapshots. Error, snapshots", upsertError,
             static_cast<long>(snapshots.size()));
    }
  }
  if (auto delegate = this->delegate()) delegate->taskManagerDidFinishFetching(*this, snapshots, errors);
  scheduleFetchingExperimentsOnWorkerQueue();
}

std::optional<APMESnapshots> APMETaskManager::experimentSnapshotsFromExperimentResponse(
    const APMPBExperimentResponse* response) {
  if (!response) {
    APMLog(2, 820015, "Cannot create experiment snapshots from nil response");
    return std::nullopt;
  }
  auto protos = NANOGetArray<APMPBSnapshot>(response, kResponseSnapshots).value_or(
      std::vector<std::shared_ptr<APMPBSnapshot>>{});
  if (protos.empty()) {
    for (const auto& sdkResponse : NANOGetArray<APMPBSdkResponse>(response, kResponseSDKResponses)
                                       .value_or(std::vector<std::shared_ptr<APMPBSdkResponse>>{})) {
      auto snapshot = NANOGetMessage<APMPBSnapshot>(sdkResponse.get(), kSDKResponseSnapshot);
      if (!snapshot) continue;
      if (auto name = NANOGetString(sdkResponse.get(), kSDKResponseName); name && !name->empty()) {
        NANOSetString(snapshot.get(), kSnapshotSDKName, *name);
      }
      protos.push_back(snapshot);
    }
  }
  APMESnapshots snapshots;
  for (const auto& proto : protos) {
    auto snapshot = APMESnapshot::initWithProtobuf(*proto);
    if (!snapshot) {
      APMLog(2, 820016, "Cannot create a snapshot from the proto");
      continue;
    }
    snapshots.push_back(std::move(snapshot));
  }
  return snapshots;
}

std::optional<APMEFetchErrors> APMETaskManager::errorsFromExperimentResponse(const APMPBExperimentResponse* response) {
  if (!response) return std::nullopt;
  APMEFetchErrors errors;
  for (const auto& sdkResponse : NANOGetArray<APMPBSdkResponse>(response, kResponseSDKResponses)
                                     .value_or(std::vector<std::shared_ptr<APMPBSdkResponse>>{})) {
    const std::int32_t status = NANOGetInt32(sdkResponse.get(), kSDKResponseStatus);
    const auto name = NANOGetString(sdkResponse.get(), kSDKResponseName);
    if (status == 0 || !name || name->empty()) continue;
    const std::int64_t code = (status >= 1 && status <= 3) ? -(status + 1) : -1;
    errors.insert_or_assign(*name, Error(std::string(kAPMExperimentErrorDomain), code));
  }
  return errors;
}

std::optional<APMESnapshots> APMETaskManager::experimentSnapshotsFromData(const Data& data) {
  if (data.empty()) {
    APMLog(2, 820025, "Cannot create experiment snapshots from empty data");
    return std::nullopt;
  }
  const auto response = APMPBExperimentResponse::initWithBuffer(data);
  if (!response) return std::nullopt;
  return experimentSnapshotsFromExperimentResponse(response.get());
}

void APMETaskManager::activatePendingSnapshot(std::shared_ptr<APMESnapshot> snapshot, double timestamp) {
  dispatchAsyncOnWorkerQueue([weak = weak_from_this(), snapshot = std::move(snapshot), timestamp] {
    auto self = weak.lock();
    if (!self) return;
    if (!snapshot) {
      APMLog(0, 820013, "Cannot activate an empty snapshot");
      return;
    }
    if (!self->database_) return;
    self->database_->performTransaction([&] {
      Error error;
      if (self->database_->activateSnapshot(snapshot, timestamp, &error)) return true;
      if (error) APMLog(1, 820014, "Cannot activate snapshot for SDK Name. Error", snapshot->SDKName(), error);
      return false;
    });
  });
}

void APMETaskManager::resetToDefaultsForSDKName(std::string SDKName) {
  dispatchAsyncOnWorkerQueue([weak = weak_from_this(), SDKName = std::move(SDKName)] {
    auto self = weak.lock();
    if (!self) return;
    if (SDKName.empty()) {
      APMLog(1, 820018, "Cannot reset to defaults for empty SDK name");
      return;
    }
    if (!self->database_) return;
    Error error;
    if (!self->database_->deleteActivatedExperimentsOfSDKName(SDKName, &error)) {
      APMLog(1, 820019, "Cannot reset to defaults in the database. SDK Name, error", SDKName, error);
    }
  });
}

void APMETaskManager::upsertPendingSnapshots(APMESnapshots snapshots) {
  dispatchAsyncOnWorkerQueue([weak = weak_from_this(), snapshots = std::move(snapshots)] {
    auto self = weak.lock();
    if (!self) return;
    if (snapshots.empty()) {
      APMLog(2, 820020, "Cannot upsert empty pending snapshot list");
      return;
    }
    if (!self->database_) return;
    Error error;
    if (!self->database_->upsertPendingExperimentSnapshots(snapshots, &error)) {
      APMLog(1, 820021, "Cannot upsert pending snapshots into the database. Error", error);
      return;
    }
    if (auto delegate = self->delegate()) delegate->taskManagerDidUpsertPendingSnapshots(*self, snapshots);
  });
}

void APMETaskManager::reset() {
  dispatchAsyncOnWorkerQueue([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    if (self->database_) self->database_->reset();
    self->persistedStorage_->removeObjectForKey(kAPMExperimentFetchBackoffTimestampKey);
    self->persistedStorage_->removeObjectForKey(kAPMExperimentFetchFailureTimestampKey);
    self->persistedStorage_->removeObjectForKey(kAPMExperimentFetchSuccessTimestampKey);
    self->scheduleFetchingExperimentsOnWorkerQueue();
  });
}
