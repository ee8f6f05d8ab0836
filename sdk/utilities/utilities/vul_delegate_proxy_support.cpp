#include "sdk/utilities/utilities/vul_delegate_proxy_support.h"

#include "platform/foundation/format.h"
#include "platform/foundation/uuid.h"
#include "platform/runtime/associated_objects.h"
#include "platform/runtime/message.h"

namespace VULDelegateProxySupport {

using platform::runtime::Class;
using platform::runtime::IMP;
using platform::runtime::Object;

std::string interceptorID(const Object& interceptor) {
  return platform::format("%@%p", "VUL_", platform::runtime::identity(interceptor));
}

std::string subclassName(const Class& realClass) {
  return platform::format("%@-%@", "VUL_" + realClass.name(), platform::UUID().UUIDString());
}

IMP implementationOfMethodSelector(std::string_view selector, const Class& cls) { return cls.instanceMethod(selector); }

bool addInstanceMethod(std::string_view destinationSelector, std::string_view sourceSelector, const Class& fromClass,
                       const Class& toClass) {
  return toClass.addInstanceMethod(destinationSelector, fromClass.instanceMethod(sourceSelector));
}

std::shared_ptr<const VULRealImplementations> realImplementations(const Object& object) {
  return std::static_pointer_cast<const VULRealImplementations>(
      platform::runtime::getAssociatedObject(object, kVULRealIMPBySelectorKey.data()));
}

void setRealImplementations(const Object& object, VULRealImplementations implementations) {
  platform::runtime::setAssociatedObject(object, kVULRealIMPBySelectorKey.data(),
                                         std::make_shared<VULRealImplementations>(std::move(implementations)));
}

void setRealClass(const Object& object, std::shared_ptr<const Class> cls) {
  platform::runtime::setAssociatedObject(object, kVULRealClassKey.data(),
                                         std::const_pointer_cast<Class>(std::move(cls)));
}

std::shared_ptr<const Class> realClass(const Object& object) {
  return std::static_pointer_cast<const Class>(
      platform::runtime::getAssociatedObject(object, kVULRealClassKey.data()));
}

IMP originalImplementationForSelector(std::string_view selector, const Object& object) {
  auto implementations = realImplementations(object);
  if (!implementations) return nullptr;
  auto it = implementations->find(selector);
  return it == implementations->end() ? nullptr : it->second;
}

void notifyInterceptors(VULInterceptorRegistry& registry, std::string_view selector,
                        const std::function<void(const std::string& interceptorID)>& onDead,
                        const std::function<void(Object& interceptor)>& callback) {
  for (const auto& [id, container] : registry.dictionary()) {
    auto interceptor = container ? container->object.lock() : nullptr;
    if (!interceptor) {
      onDead(id);
      registry.removeObjectForKey(id);
      continue;
    }
    if (platform::runtime::respondsToSelector(*interceptor, selector)) callback(*interceptor);
  }
}

bool isYes(const std::any& result) {
  const bool* b = std::any_cast<bool>(&result);
  return b && *b;
}

}  // namespace VULDelegateProxySupport
