#include "sdk/analytics/storage/apme_manager.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/dispatch/dispatch_queue.h"
#include "sdk/analytics/common/apm_error.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/messages/apmpb_flag.h"
#include "sdk/analytics/storage/apme_snapshot.h"

using platform::Error;
using platform::Value;

namespace {

constexpr std::string_view kComponentVersionString = "10000000";


std::optional<Value> flagValueIn(const std::shared_ptr<APMESnapshot>& snapshot, const std::string& flagName) {
  if (!snapshot) return std::nullopt;
  const Value value = APMPBFlagValue(snapshot->flagByName(flagName).get());
  if (value.isNull()) return std::nullopt;
  return value;
}

std::string describe(const std::shared_ptr<APMESnapshot>& snapshot) {
  if (!snapshot) return "(none)";
  return snapshot->SDKName() + " with " + std::to_string(snapshot->experiments().size()) + " experiments";
}

}  // namespace

// --- APMEClient ---

std::shared_ptr<APMEClient> APMEClient::initWithSDKProperty(std::shared_ptr<APMESDKProperty> property,
                                                            std::vector<std::shared_ptr<APMPBFlag>> defaultFlags,
                                                            std::weak_ptr<APMEManager> manager) {
  if (!property) {
    APMLog(0, 830000, "Cannot initialize the client with nil property");
    return nullptr;
  }
  std::shared_ptr<APMEClient> client(new APMEClient());
  client->SDKProperty_ = std::move(property);
  client->defaultFlags_ = std::move(defaultFlags);
  client->manager_ = std::move(manager);
  return client;
}

Value APMEClient::valueForFlag(std::string_view flagName) const {
  if (flagName.empty()) {
    APMLog(0, 830002, "Cannot get value for empty flag name");
    return {};
  }
  return objectForKeyedSubscript(flagName).value_or(Value());
}

std::optional<Value> APMEClient::objectForKeyedSubscript(std::string_view flagName) const {
  auto manager = manager_.lock();
  if (!manager) return std::nullopt;
  return manager->flagValueForFlagName(std::string(flagName), SDKName());
}

bool APMEClient::activateLatestSnapshot(Error* error) {
  auto manager = manager_.lock();
  if (!manager) return false;
  return manager->activateSnapshotOfSDK(SDKName(), error);
}

bool APMEClient::hasStaleSnapshot() const {
  auto manager = manager_.lock();
  return manager && manager->activatedSnapshotStatusOfSDKName(SDKName()) == 1;
}

void APMEClient::resetToDefaults() {
  if (auto manager = manager_.lock()) manager->resetToDefaultsOfSDKName(SDKName());
}

std::string APMEClient::SDKName() const { return SDKProperty_->name(); }

std::shared_ptr<APMEExperimentObserverDelegate> APMEClient::delegate() const {
  platform::MutexLock lock(mutex_);
  return delegate_.lock();
}

void APMEClient::setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate) {
  platform::MutexLock lock(mutex_);
  delegate_ = std::move(delegate);
}

// --- APMEManager ---

std::shared_ptr<APMEManager> APMEManager::sharedInstance() {
  // Never destroyed: a worker may still ask for the manager while the process exits.
  static const auto* const manager = [] {
    APMPBSetFlagMonitor([](std::int32_t level, std::int32_t code, std::string_view message, const Value& context) {
      APMLog(level, code, message, context);
    });
    auto made = initWithTaskManager(APMETaskManager::init());
    made->taskManager()->startTaskManager();
    return new std::shared_ptr<APMEManager>(std::move(made));
  }();
  return *manager;
}

std::int64_t APMEManager::version() {
  if (kComponentVersionString.size() < 4) return 0;
  std::int64_t value = 0;
  for (char c : kComponentVersionString.substr(0, kComponentVersionString.size() - 3)) value = value * 10 + (c - '0');
  return value;
}

std::shared_ptr<APMEManager> APMEManager::initWithTaskManager(std::shared_ptr<APMETaskManager> taskManager) {
  std::shared_ptr<APMEManager> manager(new APMEManager(std::move(taskManager)));
  if (manager->taskManager_) manager->taskManager_->setDelegate(manager);
  return manager;
}

APMEManager::APMEManager(std::shared_ptr<APMETaskManager> taskManager)
    : taskManager_(std::move(taskManager)),
      queue_(platform::DispatchQueue::serial("APMEExperimentSerialQueue",
                                             platform::DispatchQueue::global(platform::QualityOfService::Background))) {}

void APMEManager::dispatchAsyncOnSerialQueue(std::function<void()> block) {
  queue_->async([block = std::move(block)] {
    if (auto exception = APMRunCatching(block)) {
      APMLog(1, 800017, "Exception on async Experimentation serial queue", *exception);
    }
  });
}

void APMEManager::dispatchSyncOnSerialQueue(const std::function<void()>& block) {
  queue_->sync([&] {
    if (auto exception = APMRunCatching(block)) APMLog(1, 800018, "Exception on sync Experimentation serial queue", *exception);
  });
}

std::shared_ptr<APMEClient> APMEManager::registerSDKProperty(const std::shared_ptr<APMESDKProperty>& property,
                                                             const Value::Dictionary& defaultFlags) {
  if (!property) {
    APMLog(0, 800000, "Cannot register client with a nil SDK property");
    return nullptr;
  }
  if (property->name().empty()) {
    APMLog(0, 800001, "Cannot register experiment client with no SDK name");
    return nullptr;
  }
  std::vector<std::shared_ptr<APMPBFlag>> flags;
  std::map<std::string, std::shared_ptr<APMPBFlag>> flagsByName;
  for (const auto& [name, value] : defaultFlags) {
    auto flag = APMPBFlagFromNameAndValue(Value(name), value);
    if (!flag) {
      APMLog(0, 800002, "Cannot register experiment client invalid flags. Flag name, value", name, value);
      return nullptr;
    }
    flags.push_back(flag);
    flagsByName.emplace(name, flag);
  }
  auto client = APMEClient::initWithSDKProperty(property, flags, weak_from_this());
  if (!client) {
    APMLog(1, 800004, "Cannot register client. SDK name", property->name());
    return nullptr;
  }
  dispatchAsyncOnSerialQueue([weak = weak_from_this(), client, property, flagsByName = std::move(flagsByName)] {
    auto self = weak.lock();
    if (!self) return;
    {
      platform::MutexLock lock(self->mutex_);
      if (self->registeredClientsBySDKName_.count(property->name())) {
        APMLog(3, 800003, "Registered an SDK that has already registered. Default flags will be overwritten. SDK name",
               property->name());
      }
      self->registeredClientsBySDKName_.insert_or_assign(property->name(), client);
      self->defaultFlagsBySDKName_.insert_or_assign(property->name(), flagsByName);
    }
    APMEExperimentRequestBuilder::sharedInstance().addSDKProperty(property);
    APMLog(8, 800005, "Registered client");
  });
  return client;
}

std::shared_ptr<APMEClient> APMEManager::clientForSDKName(const std::string& SDKName) {
  if (SDKName.empty()) {
    APMLog(0, 800007, "Cannot find the client for empty SDK Name");
    return nullptr;
  }
  std::shared_ptr<APMEClient> client;
  dispatchSyncOnSerialQueue([&] {
    platform::MutexLock lock(mutex_);
    if (auto it = registeredClientsBySDKName_.find(SDKName); it != registeredClientsBySDKName_.end()) {
      client = it->second;
    }
  });
  return client;
}

std::vector<std::int32_t> APMEManager::experimentIDs() {
  std::vector<std::int32_t> ids;
  dispatchSyncOnSerialQueue([&] {
    platform::MutexLock lock(mutex_);
    for (const auto& [name, client] : registeredClientsBySDKName_) {
      if (!client->SDKProperty()->diversionKey().empty()) continue;
      if (auto snapshot = snapshotIn(activatedSnapshotsBySDKName_, name)) {
        for (const auto& experiment : snapshot->experiments()) ids.push_back(experiment->experimentID());
      }
    }
  });
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::shared_ptr<APMESnapshot> APMEManager::snapshotIn(const std::map<std::string, std::shared_ptr<APMESnapshot>>& map,
                                                      const std::string& SDKName) {
  const auto it = map.find(SDKName);
  return it == map.end() ? nullptr : it->second;
}

std::optional<Value> APMEManager::flagValueForFlagName(const std::string& flagName, const std::string& SDKName) {
  if (SDKName.empty()) {
    APMLog(0, 800010, "Cannot retrieve flag value for empty SDK name");
    return std::nullopt;
  }
  if (flagName.empty()) {
    APMLog(0, 800011, "Cannot retrieve flag value for empty flag name");
    return std::nullopt;
  }
  std::optional<Value> result;
  dispatchSyncOnSerialQueue([&] {
    platform::MutexLock lock(mutex_);
    if (!registeredClientsBySDKName_.count(SDKName)) {
      APMLog(3, 800012, "SDK is not registered yet");
      return;
    }
    const auto defaults = defaultFlagsBySDKName_.find(SDKName);
    if (defaults == defaultFlagsBySDKName_.end()) {
      APMLog(3, 800013, "Cannot get flag for unregistered SDK. SDK name, flag name", SDKName, flagName);
      return;
    }
    const auto defaultFlag = defaults->second.find(flagName);
    if (defaultFlag == defaults->second.end()) {
      APMLog(3, 800014, "Cannot get flag for unregistered flag. SDK name, flag name", SDKName, flagName);
      return;
    }
    const auto activated = snapshotIn(activatedSnapshotsBySDKName_, SDKName);
    APMLog(8, 800015, "Looking for activated flag. SDK name, flag name, activated snapshot", SDKName, flagName,
           describe(activated));
    if ((result = flagValueIn(activated, flagName))) return;
    const auto launched = snapshotIn(launchedSnapshotsBySDKName_, SDKName);
    APMLog(8, 800016, "Cannot find activated flag. Looking for launched flag. SDK name, flag name, launched flag",
           SDKName, flagName, describe(launched));
    if ((result = flagValueIn(launched, flagName))) return;
    result = APMPBFlagValue(defaultFlag->second.get());
    APMLog(8, 800019, "Cannot find launched flag. Returned the default flag value. SDK name, flag name, default flag",
           SDKName, flagName, *result);
  });
  return result;
}

bool APMEManager::activateSnapshotOfSDK(const std::optional<std::string>& SDKName, Error* error) {
  if (!SDKName) {
    APMSetError(error, 1, "SDK name cannot be nil");
    APMLog(3, 800021, "Cannot activate a pending snapshot for a nil SDK name");
    return false;
  }
  if (SDKName->empty()) {
    APMSetError(error, 1, "SDK name cannot be empty");
    APMLog(3, 800022, "Cannot activate a pending snapshot for an empty SDK name");
    return false;
  }
  bool activated = false;
  dispatchSyncOnSerialQueue([&] {
    std::shared_ptr<APMESnapshot> pending;
    double now = 0;
    {
      platform::MutexLock lock(mutex_);
      pending = snapshotIn(pendingSnapshotsBySDKName_, *SDKName);
      if (!pending) {
        APMLog(3, 800023, "No pending snapshot to activate. SDK name", *SDKName);
        return;
      }
      now = APMENow();
      auto fresh = APMESnapshot::initWithSDKName(*SDKName, {});
      fresh->setTimestamp(now);
      for (const auto& experiment : pending->experiments()) {
        if (experiment->experimentID() == kAPMELaunchedExperimentID) {
          auto launched = APMESnapshot::initWithSDKName(*SDKName, {experiment});
          launched->setTimestamp(now);
          launchedSnapshotsBySDKName_.insert_or_assign(*SDKName, launched);
        } else {
          fresh->addFlags(experiment->flags(), experiment->experimentID());
        }
      }
      activatedSnapshotsBySDKName_.insert_or_assign(*SDKName, fresh);
      pendingSnapshotsBySDKName_.erase(*SDKName);
    }
    if (taskManager_) taskManager_->activatePendingSnapshot(pending, now);
    activated = true;
    APMLog(8, 800028, "Successfully activated a snapshot of SDK", *SDKName);
  });
  return activated;
}

std::int64_t APMEManager::activatedSnapshotStatusOfSDKName(const std::string& SDKName) {
  if (SDKName.empty()) {
    APMLog(0, 800024, "Cannot check activated snapshot for empty SDK Name");
    return -1;
  }
  std::int64_t status = -1;
  dispatchSyncOnSerialQueue([&] {
    platform::MutexLock lock(mutex_);
    if (!registeredClientsBySDKName_.count(SDKName)) return;
    const auto snapshot = snapshotIn(activatedSnapshotsBySDKName_, SDKName);
    if (!snapshot || !(snapshot->timestamp() > std::numeric_limits<double>::epsilon())) {
      status = -2;
      return;
    }
    // The same boundary as the database's: stale from exactly 3 days on.
    status = std::fabs(snapshot->timestamp() - APMENow()) >= kAPMEStaleSnapshotAge ? 1 : 0;
  });
  return status;
}

void APMEManager::resetToDefaultsOfSDKName(const std::string& SDKName) {
  if (SDKName.empty()) {
    APMLog(0, 800025, "Cannot reset to defaults for empty SDK Name");
    return;
  }
  dispatchSyncOnSerialQueue([&] {
    bool removed = false;
    {
      platform::MutexLock lock(mutex_);
      removed = activatedSnapshotsBySDKName_.erase(SDKName) > 0;
    }
    if (!removed) {
      APMLog(0, 800026, "Cannot reset to defaults for unregistered SDK name");
      return;
    }
    if (taskManager_) taskManager_->resetToDefaultsForSDKName(SDKName);
    APMLog(8, 800027, "Reset all experiments to default. SDK name", SDKName);
  });
}

void APMEManager::reset() {
  dispatchAsyncOnSerialQueue([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    if (self->taskManager_) self->taskManager_->reset();
    platform::MutexLock lock(self->mutex_);
    self->activatedSnapshotsBySDKName_.clear();
    self->pendingSnapshotsBySDKName_.clear();
    self->launchedSnapshotsBySDKName_.clear();
  });
}

std::shared_ptr<APMESnapshot> APMEManager::activatedSnapshotForSDKName(const std::string& SDKName) {
  std::shared_ptr<APMESnapshot> snapshot;
  dispatchSyncOnSerialQueue([&] {
    platform::MutexLock lock(mutex_);
    snapshot = snapshotIn(activatedSnapshotsBySDKName_, SDKName);
  });
  return snapshot;
}

std::shared_ptr<APMESnapshot> APMEManager::pendingSnapshotForSDKName(const std::string& SDKName) {
  std::shared_ptr<APMESnapshot> snapshot;
  dispatchSyncOnSerialQueue([&] {
    platform::MutexLock lock(mutex_);
    snapshot = snapshotIn(pendingSnapshotsBySDKName_, SDKName);
  });
  return snapshot;
}

std::shared_ptr<APMESnapshot> APMEManager::launchedSnapshotForSDKName(const std::string& SDKName) {
  std::shared_ptr<APMESnapshot> snapshot;
  dispatchSyncOnSerialQueue([&] {
    platform::MutexLock lock(mutex_);
    snapshot = snapshotIn(launchedSnapshotsBySDKName_, SDKName);
  });
  return snapshot;
}

bool APMEManager::taskManagerShouldFetchExperiments(APMETaskManager&) {
  std::vector<std::shared_ptr<APMEClient>> clients;
  {
    platform::MutexLock lock(mutex_);
    for (const auto& [name, client] : registeredClientsBySDKName_) clients.push_back(client);
  }
  for (const auto& client : clients) {
    auto delegate = client->delegate();
    if (!delegate) return true;
    if (delegate->shouldFetchExperimentsForClient(*client).value_or(true)) return true;
  }
  return false;
}

void APMEManager::taskManagerDidStart(APMETaskManager&, const APMESnapshots& activated, const APMESnapshots& pending,
                                      const APMESnapshots& launched) {
  dispatchAsyncOnSerialQueue([weak = weak_from_this(), activated, pending, launched] {
    auto self = weak.lock();
    if (!self) return;
    platform::MutexLock lock(self->mutex_);
    // Stored as read, with their own activation times, so staleness survives a restart.
    auto store = [](const APMESnapshots& from, std::map<std::string, std::shared_ptr<APMESnapshot>>& into) {
      for (const auto& snapshot : from) {
        if (!snapshot) continue;
        auto copy = snapshot->copy();
        if (!copy) continue;
        copy->setTimestamp(snapshot->timestamp());
        into.insert_or_assign(copy->SDKName(), copy);
      }
    };
    store(activated, self->activatedSnapshotsBySDKName_);
    store(pending, self->pendingSnapshotsBySDKName_);
    store(launched, self->launchedSnapshotsBySDKName_);
  });
}

void APMEManager::taskManagerDidFinishFetching(APMETaskManager&, const APMESnapshots& snapshots,
                                               const APMEFetchErrors& errors) {
  if (snapshots.empty() && errors.empty()) {
    APMLog(3, 800020, "No pending snapshots to notify the clients");
    return;
  }
  dispatchAsyncOnSerialQueue([weak = weak_from_this(), snapshots, errors] {
    auto self = weak.lock();
    if (!self) return;
    APMESnapshots manual;
    std::vector<std::pair<std::shared_ptr<APMEClient>, Error>> errorNotices;
    {
      platform::MutexLock lock(self->mutex_);
      for (const auto& snapshot : snapshots) {
        auto copy = snapshot ? snapshot->copy() : nullptr;
        if (!copy) continue;
        self->pendingSnapshotsBySDKName_.insert_or_assign(copy->SDKName(), copy);
        const auto client = self->registeredClientsBySDKName_.find(copy->SDKName());
        if (client == self->registeredClientsBySDKName_.end()) continue;
        if (auto delegate = client->second->delegate(); delegate && delegate->observesNewSnapshots()) {
          copy->setManuallyActivated(true);
          manual.push_back(copy);
        }
      }
      for (const auto& [name, error] : errors) {
        const auto client = self->registeredClientsBySDKName_.find(name);
        if (client != self->registeredClientsBySDKName_.end()) errorNotices.emplace_back(client->second, error);
      }
    }
    for (const auto& [client, error] : errorNotices) {
      if (auto delegate = client->delegate(); delegate && delegate->observesFetchErrors()) {
        delegate->clientDidReceiveFetchError(*client, error);
      }
    }
    if (!manual.empty() && self->taskManager_) self->taskManager_->upsertPendingSnapshots(manual);
  });
}

void APMEManager::taskManagerDidUpsertPendingSnapshots(APMETaskManager&, const APMESnapshots& snapshots) {
  for (const auto& snapshot : snapshots) {
    if (!snapshot) continue;
    std::shared_ptr<APMEClient> client;
    {
      platform::MutexLock lock(mutex_);
      if (auto it = registeredClientsBySDKName_.find(snapshot->SDKName()); it != registeredClientsBySDKName_.end()) {
        client = it->second;
      }
    }
    auto delegate = client ? client->delegate() : nullptr;
    if (!delegate || !delegate->observesNewSnapshots()) {
      APMLog(0, 800021,
             "Cannot notify new snapshot for SDK because the delegate does not implement -clientDidReceiveNewSnapshot:",
             snapshot->SDKName());
      continue;
    }
    auto queue = delegate->queue();
    if (!queue) queue = platform::DispatchQueue::main();
    queue->async([client, weakDelegate = std::weak_ptr<APMEExperimentObserverDelegate>(delegate)] {
      if (auto delegate = weakDelegate.lock()) delegate->clientDidReceiveNewSnapshot(*client);
    });
  }
}
