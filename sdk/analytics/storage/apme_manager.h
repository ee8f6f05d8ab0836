// The experiment component's registry. SDKs register once under their SDK name with their
// default flags and get a client through which they read flag values (activated snapshot, then
// launched snapshot, then the registered default) and activate fetched snapshots. The manager
// reacts to its task manager, which stores snapshots and fetches new ones.
//
// Compound reads and updates run on the serial queue "APMEExperimentSerialQueue" (synchronously
// for lookups, asynchronously for registration and task-manager results), so a lookup made after
// a registration sees it. A delegate told of a fetch error is called on that queue and must not
// call back into the manager synchronously.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"
#include "sdk/analytics/messages/apmpb_messages.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apme_observer_delegate.h"
#include "sdk/analytics/storage/apme_task_manager.h"

namespace platform {
class DispatchQueue;
}

class APMEClient;
class APMEManager;
class APMESDKProperty;

class APMEClient : public APMRemoteConfigFlagSource, public std::enable_shared_from_this<APMEClient> {
 public:
  // Null (logged) without a property.
  static std::shared_ptr<APMEClient> initWithSDKProperty(std::shared_ptr<APMESDKProperty> property,
                                                         std::vector<std::shared_ptr<APMPBFlag>> defaultFlags,
                                                         std::weak_ptr<APMEManager> manager);

  platform::Value valueForFlag(std::string_view flagName) const;
  std::optional<platform::Value> objectForKeyedSubscript(std::string_view flagName) const override;
  bool activateLatestSnapshot(platform::Error* error);
  bool hasStaleSnapshot() const;
  void resetToDefaults();

  std::string SDKName() const;
  const std::vector<std::shared_ptr<APMPBFlag>>& defaultFlags() const { return defaultFlags_; }
  const std::shared_ptr<APMESDKProperty>& SDKProperty() const { return SDKProperty_; }
  std::shared_ptr<APMEExperimentObserverDelegate> delegate() const EXCLUDES(mutex_);
  void setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate) EXCLUDES(mutex_);

 private:
  APMEClient() = default;
  std::shared_ptr<APMESDKProperty> SDKProperty_;
  std::vector<std::shared_ptr<APMPBFlag>> defaultFlags_;
  std::weak_ptr<APMEManager> manager_;
  mutable platform::Mutex mutex_;
  std::weak_ptr<APMEExperimentObserverDelegate> delegate_ GUARDED_BY(mutex_);
};

class APMEManager : public APMETaskManagerDelegate, public std::enable_shared_from_this<APMEManager> {
 public:
  // Made once; its task manager is started right after.
  static std::shared_ptr<APMEManager> sharedInstance();
  // 10000: the component's version string "10000000" without its last three digits.
  static std::int64_t version();
  // Becomes the task manager's delegate; does not start it.
  static std::shared_ptr<APMEManager> initWithTaskManager(std::shared_ptr<APMETaskManager> taskManager);

  std::shared_ptr<APMEClient> registerSDKProperty(const std::shared_ptr<APMESDKProperty>& property,
                                                  const platform::Value::Dictionary& defaultFlags);
  std::shared_ptr<APMEClient> clientForSDKName(const std::string& SDKName);
  std::vector<std::int32_t> experimentIDs();
  std::optional<platform::Value> flagValueForFlagName(const std::string& flagName, const std::string& SDKName);
  bool activateSnapshotOfSDK(const std::optional<std::string>& SDKName, platform::Error* error);
  // 1 stale, 0 fresh, -2 no dated activated snapshot, -1 unregistered SDK or empty name.
  std::int64_t activatedSnapshotStatusOfSDKName(const std::string& SDKName);
  void resetToDefaultsOfSDKName(const std::string& SDKName);
  void reset();

  const std::shared_ptr<APMETaskManager>& taskManager() const { return taskManager_; }
  const std::shared_ptr<platform::DispatchQueue>& queue() const { return queue_; }
  // The snapshot of each kind held for an SDK (copies of what is in force).
  std::shared_ptr<APMESnapshot> activatedSnapshotForSDKName(const std::string& SDKName);
  std::shared_ptr<APMESnapshot> pendingSnapshotForSDKName(const std::string& SDKName);
  std::shared_ptr<APMESnapshot> launchedSnapshotForSDKName(const std::string& SDKName);

  void dispatchAsyncOnSerialQueue(std::function<void()> block);
  void dispatchSyncOnSerialQueue(const std::function<void()>& block);

  // APMETaskManagerDelegate
  bool taskManagerShouldFetchExperiments(APMETaskManager& taskManager) override EXCLUDES(mutex_);
  void taskManagerDidStart(APMETaskManager& taskManager, const APMESnapshots& activated, const APMESnapshots& pending,
                           const APMESnapshots& launched) override;
  void taskManagerDidFinishFetching(APMETaskManager& taskManager, const APMESnapshots& snapshots,
                                    const APMEFetchErrors& errors) override;
  void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager, const APMESnapshots& snapshots) override;

 private:
  explicit APMEManager(std::shared_ptr<APMETaskManager> taskManager);
  std::shared_ptr<APMESnapshot> snapshotIn(const std::map<std::string, std::shared_ptr<APMESnapshot>>& map,
                                           const std::string& SDKName) REQUIRES(mutex_);

  // The queue orders the work; the mutex makes each step's reads and writes of the maps safe
  // from the few callers that do not go through the queue.
  mutable platform::Mutex mutex_;
  std::map<std::string, std::shared_ptr<APMESnapshot>> activatedSnapshotsBySDKName_ GUARDED_BY(mutex_);
  std::map<std::string, std::shared_ptr<APMESnapshot>> pendingSnapshotsBySDKName_ GUARDED_BY(mutex_);
  std::map<std::string, std::shared_ptr<APMESnapshot>> launchedSnapshotsBySDKName_ GUARDED_BY(mutex_);
  std::map<std::string, std::shared_ptr<APMEClient>> registeredClientsBySDKName_ GUARDED_BY(mutex_);
  std::map<std::string, std::map<std::string, std::shared_ptr<APMPBFlag>>> defaultFlagsBySDKName_ GUARDED_BY(mutex_);
  std::shared_ptr<APMETaskManager> taskManager_;
  std::shared_ptr<platform::DispatchQueue> queue_;
};
