// What a registering SDK library offers. A library is a class known to the runtime that adopts
// "VDZLibrary" and answers the class method "componentsToRegister" (and, optionally,
// "configureWithApp:", called once an app is configured).
//
// A C++ library class L provides
//   static VDZComponentList componentsToRegister();
//   static void configureWithApp(std::shared_ptr<VDZApp> app);   // optional
// and its load hook registers VDZLibrary::classDefinition<L>("L") with the runtime and passes the
// class to VDZApp::registerInternalLibrary.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/runtime/class.h"
#include "platform/runtime/protocol.h"
#include "sdk/core/core/vdz_component.h"

class VDZApp;

namespace VDZLibrary {

inline constexpr std::string_view kProtocolName = "VDZLibrary";
inline constexpr std::string_view kComponentsToRegisterSelector = "componentsToRegister";
inline constexpr std::string_view kConfigureWithAppSelector = "configureWithApp:";

template <class L>
platform::runtime::ClassDefinition classDefinition(std::string name) {
  platform::runtime::ClassDefinition definition;
  definition.name = std::move(name);
  definition.protocols.emplace(kProtocolName);
  definition.classMethods.emplace(kComponentsToRegisterSelector,
                                  platform::runtime::method([]() -> VDZComponentList { return L::componentsToRegister(); }));
  if constexpr (requires(std::shared_ptr<VDZApp> app) { L::configureWithApp(app); }) {
    definition.classMethods.emplace(
        kConfigureWithAppSelector,
        platform::runtime::method([](std::shared_ptr<VDZApp> app) { L::configureWithApp(std::move(app)); }));
  }
  return definition;
}

}  // namespace VDZLibrary

// Told before the app owning a cached instance is deleted.
class VDZComponentLifecycleMaintainer : public virtual platform::runtime::Object {
 public:
  static constexpr std::string_view kProtocolName = "VDZComponentLifecycleMaintainer";
  virtual void appWillBeDeleted(const std::shared_ptr<VDZApp>& app) = 0;
};
