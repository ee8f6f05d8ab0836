#include "sdk/core/core/vdz_component_container.h"

#include <algorithm>

#include "platform/runtime/class.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/core/core/vdz_library.h"
#include "sdk/core/core/vdz_logger.h"
#include "platform/foundation/thread_safety.h"

namespace {

// Registration happens from the load hooks on one thread; the lock guards later readers too.
platform::Mutex& registrantsMutex() {
  static auto* m = new platform::Mutex;
  return *m;
}

VDZComponentContainer::Registrants& registrantSet() {
  static auto* set = new VDZComponentContainer::Registrants;
  return *set;
}

}  // namespace

void VDZComponentContainer::registerAsComponentRegistrant(std::shared_ptr<const platform::runtime::Class> cls) {
  platform::MutexLock lock(registrantsMutex());
  registerAsComponentRegistrant(std::move(cls), registrantSet());
}

void VDZComponentContainer::registerAsComponentRegistrant(std::shared_ptr<const platform::runtime::Class> cls,
                                                          Registrants& set) {
  if (!cls || std::find(set.begin(), set.end(), cls) != set.end()) return;
  set.push_back(std::move(cls));
}

VDZComponentContainer::Registrants VDZComponentContainer::registrants() {
  platform::MutexLock lock(registrantsMutex());
  return registrantSet();
}

void VDZComponentContainer::resetRegistrantsForTesting() {
  platform::MutexLock lock(registrantsMutex());
  registrantSet().clear();
}

VDZComponentContainer::VDZComponentContainer(std::weak_ptr<VDZApp> app)
    : VDZComponentContainer(std::move(app), registrants()) {}

VDZComponentContainer::VDZComponentContainer(std::weak_ptr<VDZApp> app, const Registrants& registrants)
    : app_(std::move(app)) {
  platform::RecursiveMutexLock lock(mutex_);
  populateComponentsFromRegisteredClasses(registrants, app_.lock());
}

void VDZComponentContainer::populateComponentsFromRegisteredClasses(const Registrants& registrants,
                                                                    const std::shared_ptr<VDZApp>& app) {
  eagerProtocolsToInstantiate_.emplace();
  const bool isDefaultApp = app && app->isDefaultApp();
  for (const auto& cls : registrants) {
    const auto components = cls->call<VDZComponentList>(VDZLibrary::kComponentsToRegisterSelector);
    for (const auto& component : components) {
      if (!component) continue;
      const std::string& key = component->protocol().name();
      if (components_.contains(key)) {
        VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000029",
                          "Attempted to register protocol %@, but it already has an implementation.", key);
        continue;
      }
      components_.emplace(key, component->creationBlock());
      const auto timing = component->instantiationTiming();
      if (timing == VDZInstantiationTimingAlwaysEager ||
          (timing == VDZInstantiationTimingEagerInDefaultApp && isDefaultApp)) {
        eagerProtocolsToInstantiate_->push_back(component->protocol());
      }
    }
  }
}

std::shared_ptr<platform::runtime::Object> VDZComponentContainer::instanceForProtocol(
    const platform::runtime::Protocol& protocol) {
  const std::string& key = protocol.name();
  platform::RecursiveMutexLock lock(mutex_);
  if (auto cached = cachedInstances_.find(key); cached != cachedInstances_.end()) return cached->second;
  auto component = components_.find(key);
  if (component == components_.end()) return nullptr;
  // A copy: the block may remove components while it runs.
  const VDZComponentCreationBlock block = component->second;
  return instantiateInstanceForProtocol(protocol, block);
}

std::shared_ptr<platform::runtime::Object> VDZComponentContainer::instantiateInstanceForProtocol(
    const platform::runtime::Protocol& protocol, const VDZComponentCreationBlock& block) {
  if (!block) return nullptr;
  bool isCacheable = false;
  auto instance = block(*this, &isCacheable);
  if (!instance) return nullptr;
  if (!protocol.isAdoptedBy(*instance)) {
    VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000030",
                      "An instance conforming to %@ was requested, but the instance provided does not conform to the "
                      "protocol",
                      protocol.name());
  }
  if (isCacheable) cachedInstances_[protocol.name()] = instance;
  return instance;
}

void VDZComponentContainer::instantiateEagerComponents() {
  platform::RecursiveMutexLock lock(mutex_);
  if (eagerProtocolsToInstantiate_) {
    const auto protocols = *eagerProtocolsToInstantiate_;
    for (const auto& protocol : protocols) instanceForProtocol(protocol);
  }
  eagerProtocolsToInstantiate_.reset();
}

void VDZComponentContainer::removeAllCachedInstances() {
  platform::RecursiveMutexLock lock(mutex_);
  const auto app = app_.lock();
  std::vector<std::shared_ptr<platform::runtime::Object>> instances;
  for (const auto& [key, instance] : cachedInstances_) instances.push_back(instance);
  for (const auto& instance : instances) {
    if (auto maintainer = std::dynamic_pointer_cast<VDZComponentLifecycleMaintainer>(instance)) {
      maintainer->appWillBeDeleted(app);
    }
  }
  cachedInstances_.clear();
}

void VDZComponentContainer::removeAllComponents() {
  platform::RecursiveMutexLock lock(mutex_);
  components_.clear();
}
