// What the application-delegate and scene-delegate swizzlers share: interceptor IDs, the method
// copying between runtime classes, the application class's own implementations kept on the
// proxied object, and the visit of a registry of weakly held interceptors.
#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/class.h"
#include "sdk/utilities/utilities/vul_mutable_dictionary.h"

// Keys of the associated objects on a proxied delegate.
inline constexpr std::string_view kVULRealIMPBySelectorKey = "VUL_realIMPBySelector";
inline constexpr std::string_view kVULRealClassKey = "VUL_realClass";

// Selector name to the real class's implementation (null when it has none).
using VULRealImplementations = std::map<std::string, platform::runtime::IMP, std::less<>>;

// An interceptor held weakly: `object` reads as null once the interceptor is gone.
class VULZeroingWeakContainer {
 public:
  explicit VULZeroingWeakContainer(std::weak_ptr<platform::runtime::Object> object) : object(std::move(object)) {}
  std::weak_ptr<platform::runtime::Object> object;
};

using VULInterceptorRegistry = VULMutableDictionary<std::string, std::shared_ptr<VULZeroingWeakContainer>>;

namespace platform::runtime {
class Protocol;
}

namespace VULDelegateProxySupport {

// What a swizzler says, and under which codes, about its interceptors and method copies.
struct Texts {
  std::string_view service;
  std::string_view assertionFile;
  std::string_view nilInterceptorAssertion;
  std::string_view nilInterceptorCode, nilInterceptorMessage;
  std::string_view nonConformingAssertion;
  std::string_view nonConformingCode, nonConformingMessage;
  std::string_view noIDCode, noIDMessage;
  std::string_view nilIDAssertion, emptyIDAssertion;
  std::string_view nilIDCode, nilIDMessage;
  std::string_view notRegisteredCode, notRegisteredMessage;  // %@: the ID
  std::string_view deadInterceptorCode, deadInterceptorMessage;  // %@: the ID
  std::string_view methodExistsCode, methodExistsMessage;  // %@: the selector
};

// Registration: a nil interceptor or one not adopting `protocol` fails an assertion, then is
// logged and refused; otherwise the interceptor is held weakly under its ID, which is answered.
std::optional<std::string> registerInterceptor(VULInterceptorRegistry& registry,
                                               const std::shared_ptr<platform::runtime::Object>& interceptor,
                                               const platform::runtime::Protocol& protocol, const Texts& texts);
// No ID stands for nil.
void unregisterInterceptor(VULInterceptorRegistry& registry, const std::optional<std::string>& interceptorID,
                           const Texts& texts);
// Copies `fromClass`'s method under `destinationSelector` to `toClass` (a warning when it has one
// already), then records `realClass`'s implementation of it.
void proxyDestinationSelector(std::string_view destinationSelector, std::string_view sourceSelector,
                              const platform::runtime::Class& fromClass, const platform::runtime::Class& toClass,
                              const platform::runtime::Class& realClass, VULRealImplementations& store,
                              const Texts& texts);
void addInstanceMethodWithDestinationSelector(std::string_view destinationSelector, std::string_view sourceSelector,
                                              const platform::runtime::Class& fromClass,
                                              const platform::runtime::Class& toClass, const Texts& texts);

// "VUL_" and the interceptor's address: the same object always gets the same ID.
std::string interceptorID(const platform::runtime::Object& interceptor);
// "VUL_<class name>-<new UUID>".
std::string subclassName(const platform::runtime::Class& realClass);

platform::runtime::IMP implementationOfMethodSelector(std::string_view selector, const platform::runtime::Class& cls);

std::shared_ptr<const VULRealImplementations> realImplementations(const platform::runtime::Object& object);
void setRealImplementations(const platform::runtime::Object& object, VULRealImplementations implementations);
void setRealClass(const platform::runtime::Object& object, std::shared_ptr<const platform::runtime::Class> cls);
std::shared_ptr<const platform::runtime::Class> realClass(const platform::runtime::Object& object);
platform::runtime::IMP originalImplementationForSelector(std::string_view selector,
                                                         const platform::runtime::Object& object);

// Visits a snapshot of the registry in its order: a dead entry is logged and removed; a live
// interceptor that answers the selector goes to `callback`.
void notifyInterceptors(VULInterceptorRegistry& registry, std::string_view selector, const Texts& texts,
                        const std::function<void(platform::runtime::Object& interceptor)>& callback);

// A BOOL result of a method: anything but `true` counts as NO.
bool isYes(const std::any& result);

}  // namespace VULDelegateProxySupport
