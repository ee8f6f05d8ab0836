// One thing a library provides: the protocol its instance adopts, when the instance is made, and
// the block that makes it. Immutable once made.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/runtime/protocol.h"
#include "sdk/core/core/vdz_dependency.h"

class VDZComponentContainer;

enum VDZInstantiationTiming : int {
  // Made on first lookup.
  VDZInstantiationTimingLazy = 0,
  // Made when any app is configured.
  VDZInstantiationTimingAlwaysEager = 1,
  // Made when the default app is configured; on first lookup in other apps.
  VDZInstantiationTimingEagerInDefaultApp = 2,
};

// Gets the container asking and a flag, initially false, that the block sets to true when the
// container may keep the instance for later lookups. Returns the instance or null.
using VDZComponentCreationBlock =
    std::function<std::shared_ptr<platform::runtime::Object>(VDZComponentContainer& container, bool* isCacheable)>;

class VDZComponent {
 public:
  VDZComponent(platform::runtime::Protocol protocol, VDZInstantiationTiming instantiationTiming,
               std::vector<std::shared_ptr<VDZDependency>> dependencies, VDZComponentCreationBlock creationBlock)
      : protocol_(std::move(protocol)),
        instantiationTiming_(instantiationTiming),
        dependencies_(std::move(dependencies)),
        creationBlock_(std::move(creationBlock)) {}

  static std::shared_ptr<VDZComponent> componentWithProtocol(const platform::runtime::Protocol& protocol,
                                                             VDZComponentCreationBlock creationBlock) {
    return componentWithProtocol(protocol, VDZInstantiationTimingLazy, {}, std::move(creationBlock));
  }
  static std::shared_ptr<VDZComponent> componentWithProtocol(const platform::runtime::Protocol& protocol,
                                                             VDZInstantiationTiming instantiationTiming,
                                                             std::vector<std::shared_ptr<VDZDependency>> dependencies,
                                                             VDZComponentCreationBlock creationBlock) {
    return std::make_shared<VDZComponent>(protocol, instantiationTiming, std::move(dependencies),
                                          std::move(creationBlock));
  }

  const platform::runtime::Protocol& protocol() const { return protocol_; }
  VDZInstantiationTiming instantiationTiming() const { return instantiationTiming_; }
  const std::vector<std::shared_ptr<VDZDependency>>& dependencies() const { return dependencies_; }
  const VDZComponentCreationBlock& creationBlock() const { return creationBlock_; }

 private:
  const platform::runtime::Protocol protocol_;
  const VDZInstantiationTiming instantiationTiming_;
  const std::vector<std::shared_ptr<VDZDependency>> dependencies_;
  const VDZComponentCreationBlock creationBlock_;
};

using VDZComponentList = std::vector<std::shared_ptr<VDZComponent>>;
