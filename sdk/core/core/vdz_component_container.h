// The components of one app: collects the components of every registered library, makes
// instances on demand or eagerly at configuration, keeps those their blocks allow to be kept,
// and tells kept instances when the app is deleted. Lookups are by protocol.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/runtime/protocol.h"
#include "sdk/core/core/vdz_component.h"
#include "platform/foundation/thread_safety.h"

namespace platform::runtime {
class Class;
}

class VDZApp;

class VDZComponentContainer {
 public:
  // Library classes in registration order; a class is listed once.
  using Registrants = std::vector<std::shared_ptr<const platform::runtime::Class>>;

  static void registerAsComponentRegistrant(std::shared_ptr<const platform::runtime::Class> cls);
  static void registerAsComponentRegistrant(std::shared_ptr<const platform::runtime::Class> cls, Registrants& set);
  static Registrants registrants();
  // Tests only: forgets every registered library.
  static void resetRegistrantsForTesting();

  // Collects the components of the registered libraries (or of `registrants`).
  explicit VDZComponentContainer(std::weak_ptr<VDZApp> app);
  VDZComponentContainer(std::weak_ptr<VDZApp> app, const Registrants& registrants);

  // The instance for the protocol, made by its component when not kept; null when no component
  // provides it or its block gives none. An instance that does not adopt the protocol is still
  // returned (and reported).
  std::shared_ptr<platform::runtime::Object> instanceForProtocol(const platform::runtime::Protocol& protocol);
  // The same, as the protocol's type; null when the instance does not adopt it.
  template <platform::runtime::NamedProtocol P>
  std::shared_ptr<P> instanceForProtocol() {
    return std::dynamic_pointer_cast<P>(instanceForProtocol(platform::runtime::Protocol::of<P>()));
  }

  void instantiateEagerComponents();
  void removeAllCachedInstances();
  void removeAllComponents();
  std::shared_ptr<VDZApp> app() const { return app_.lock(); }

 private:
  void populateComponentsFromRegisteredClasses(const Registrants& registrants, const std::shared_ptr<VDZApp>& app)
      REQUIRES(mutex_);
  std::shared_ptr<platform::runtime::Object> instantiateInstanceForProtocol(const platform::runtime::Protocol& protocol,
                                                                            const VDZComponentCreationBlock& block)
      REQUIRES(mutex_);

  std::weak_ptr<VDZApp> app_;
  // Creation blocks run with it held and may look up other protocols of this container.
  platform::RecursiveMutex mutex_;
  std::map<std::string, VDZComponentCreationBlock, std::less<>> components_ GUARDED_BY(mutex_);
  std::map<std::string, std::shared_ptr<platform::runtime::Object>, std::less<>> cachedInstances_ GUARDED_BY(mutex_);
  std::optional<std::vector<platform::runtime::Protocol>> eagerProtocolsToInstantiate_ GUARDED_BY(mutex_);
};

class VDZComponentType {
 public:
  template <platform::runtime::NamedProtocol P>
  static std::shared_ptr<P> instanceForProtocol(VDZComponentContainer& container) {
    return container.instanceForProtocol<P>();
  }
  static std::shared_ptr<platform::runtime::Object> instanceForProtocol(const platform::runtime::Protocol& protocol,
                                                                        VDZComponentContainer& container) {
    return container.instanceForProtocol(protocol);
  }
};
