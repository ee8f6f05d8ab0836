// The experiment component's worker: it owns the experiment database, decides when to ask the
// experiment service for new snapshots, posts the request and turns the answer into pending
// snapshots and per-SDK errors for its delegate (the experiment manager). The outcome of past
// fetches is kept in a preferences suite so the schedule survives restarts: one fetch every
// 4 hours after a success, a doubling retry ladder after failures, and a 12-hour pause after the
// service says it is overloaded (429 or 503).
//
// Every method but the constructors runs its work on the serial worker queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"

namespace platform {
class DispatchQueue;
class HTTPURLResponse;
}  // namespace platform

class APMAlarm;
class APMConfigStore;
class APMEDatabase;
class APMESDKProperty;
class APMESnapshot;
class APMETaskManager;
class APMPBAppProperty;
class APMPBExperimentRequest;
class APMPBExperimentResponse;
class VULNetwork;

inline constexpr std::string_view kAPMExperimentSuiteName = "APMExperimentSuiteName";
inline constexpr std::string_view kAPMExperimentFetchSuccessTimestampKey = "APMExperimentFetchSuccessTimestamp";
inline constexpr std::string_view kAPMExperimentFetchFailureTimestampKey = "APMExperimentFetchFailureTimestamp";
inline constexpr std::string_view kAPMExperimentFetchBackoffTimestampKey = "APMExperimentFetchBackoffTimestamp";
inline constexpr std::string_view kAPMExperimentErrorDomain = "com.videzu.vmp.measurement.experiment.ErrorDomain";
inline constexpr std::string_view kAPMExperimentFetchPath = "/sdk-exp";

using APMESnapshots = std::vector<std::shared_ptr<APMESnapshot>>;
using APMEFetchErrors = std::map<std::string, platform::Error>;

// The experiment service's URL ("/sdk-exp" on its host, which VDZ_SERVICE_URL overrides).
std::string APMExperimentFetchURL();

class APMETaskManagerDelegate {
 public:
  virtual ~APMETaskManagerDelegate() = default;
  virtual bool taskManagerShouldFetchExperiments(APMETaskManager& taskManager) {
    (void)taskManager;
    return true;
  }
  virtual void taskManagerDidStart(APMETaskManager& taskManager, const APMESnapshots& activated,
                                   const APMESnapshots& pending, const APMESnapshots& launched) = 0;
  virtual void taskManagerDidFinishFetching(APMETaskManager& taskManager, const APMESnapshots& snapshots,
                                            const APMEFetchErrors& errors) = 0;
  virtual void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager, const APMESnapshots& snapshots) = 0;
};

// Builds the one request that carries every registered SDK.
class APMEExperimentRequestBuilder {
 public:
  static APMEExperimentRequestBuilder& sharedInstance();

  void addSDKProperty(const std::shared_ptr<APMESDKProperty>& property) EXCLUDES(mutex_);
  std::shared_ptr<APMPBAppProperty> appPropertyProto() const;
  std::shared_ptr<APMPBExperimentRequest> request() const EXCLUDES(mutex_);
  void removeAllSDKPropertiesForTesting() EXCLUDES(mutex_);

 private:
  mutable platform::Mutex mutex_;
  std::map<std::string, std::shared_ptr<APMESDKProperty>> clientPropertyBySDKName_ GUARDED_BY(mutex_);
};

class APMETaskManager : public std::enable_shared_from_this<APMETaskManager> {
 public:
  // The production worker: its own queue, the experiment service's client, the suite
  // "APMExperimentSuiteName" and the database file in the measurement directory.
  static std::shared_ptr<APMETaskManager> init();
  static std::shared_ptr<APMETaskManager> initWithQueue(std::shared_ptr<platform::DispatchQueue> queue,
                                                        std::shared_ptr<VULNetwork> network,
                                                        std::shared_ptr<APMConfigStore> persistedStorage,
                                                        std::string databasePath, double initTimestamp);
  ~APMETaskManager();

  void setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate) EXCLUDES(delegateMutex_);
  std::shared_ptr<APMETaskManagerDelegate> delegate() const EXCLUDES(delegateMutex_);
  const std::shared_ptr<platform::DispatchQueue>& workerQueue() const { return workerQueue_; }
  double initializationTimestamp() const { return initializationTimestamp_; }

  void startTaskManager();

  // Worker queue only.
  void startTaskManagerOnWorkerQueue();
  void fetchAllSnapshotsOnWorkerQueue();
  // The time of the next fetch, or 0 when the retry ladder is exhausted.
  double fetchTimeFromLastSuccessfulTimestamp(double success, double failure);
  void scheduleFetchingExperimentsOnWorkerQueue();
  void fetchExperiments();
  void postponeFetchExperiments();
  // A body that could not be read (it did not inflate) makes even a 200 a failed fetch.
  void handleFetchingExperimentsResponse(const std::shared_ptr<platform::HTTPURLResponse>& response,
                                         const std::optional<platform::Data>& data, const platform::Error& error,
                                         bool bodyUnreadable = false);
  bool hasMadeInitialFetch() const { return hasMadeInitialFetch_; }
  std::optional<double> scheduledFetchTimestamp() const;
  APMEDatabase* database() const { return database_.get(); }

  static std::optional<APMESnapshots> experimentSnapshotsFromExperimentResponse(const APMPBExperimentResponse* response);
  static std::optional<APMEFetchErrors> errorsFromExperimentResponse(const APMPBExperimentResponse* response);
  static std::optional<APMESnapshots> experimentSnapshotsFromData(const platform::Data& data);

  // Work handed in by the manager; each runs later on the worker queue.
  void activatePendingSnapshot(std::shared_ptr<APMESnapshot> snapshot, double timestamp);
  void resetToDefaultsForSDKName(std::string SDKName);
  void upsertPendingSnapshots(APMESnapshots snapshots);
  void reset();

  void dispatchAsyncOnWorkerQueue(std::function<void()> block);
  void dispatchSyncOnWorkerQueue(const std::function<void()>& block);

 private:
  APMETaskManager(std::shared_ptr<platform::DispatchQueue> queue, std::shared_ptr<VULNetwork> network,
                  std::shared_ptr<APMConfigStore> persistedStorage, std::string databasePath, double initTimestamp);
  double storedTime(std::string_view key) const;
  void recordFailure(std::int64_t status, const platform::Error& error);

  std::shared_ptr<platform::DispatchQueue> workerQueue_;
  std::unique_ptr<APMAlarm> alarm_;  // worker queue only
  std::shared_ptr<VULNetwork> network_;
  std::shared_ptr<APMConfigStore> persistedStorage_;
  std::unique_ptr<APMEDatabase> database_;  // worker queue only
  std::string databasePath_;
  bool hasMadeInitialFetch_ = false;  // worker queue only
  mutable platform::Mutex delegateMutex_;
  std::weak_ptr<APMETaskManagerDelegate> delegate_ GUARDED_BY(delegateMutex_);
  double initializationTimestamp_;
};
