#include "sdk/utilities/utilities/vul_delegate_proxy_support.h"

#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/format.h"
#include "platform/foundation/uuid.h"
#include "platform/runtime/associated_objects.h"
#include "platform/runtime/message.h"
#include "platform/runtime/protocol.h"
#include "sdk/utilities/utilities/vul_logger.h"

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

std::optional<std::string> registerInterceptor(VULInterceptorRegistry& registry,
                                               const std::shared_ptr<Object>& interceptor,
                                               const platform::runtime::Protocol& protocol, const Texts& texts) {
  if (!interceptor) {
    platform::AssertionHandler::handleFailure(texts.assertionFile, texts.nilInterceptorAssertion);
    VULLoggerLogError(texts.service, false, texts.nilInterceptorCode, texts.nilInterceptorMessage);
    return std::nullopt;
  }
  if (!protocol.isAdoptedBy(*interceptor)) {
    platform::AssertionHandler::handleFailure(texts.assertionFile, texts.nonConformingAssertion);
    VULLoggerLogError(texts.service, false, texts.nonConformingCode, texts.nonConformingMessage);
    return std::nullopt;
  }
  std::string id = interceptorID(*interceptor);
  if (id.empty()) {
    VULLoggerLogError(texts.service, false, texts.noIDCode, texts.noIDMessage);
    return std::nullopt;
  }
  registry.setObject(std::make_shared<VULZeroingWeakContainer>(interceptor), id);
  return id;
}

void unregisterInterceptor(VULInterceptorRegistry& registry, const std::optional<std::string>& interceptorID,
                           const Texts& texts) {
  if (!interceptorID) {
    platform::AssertionHandler::handleFailure(texts.assertionFile, texts.nilIDAssertion);
    VULLoggerLogError(texts.service, false, texts.nilIDCode, texts.nilIDMessage);
    return;
  }
  if (interceptorID->empty()) platform::AssertionHandler::handleFailure(texts.assertionFile, texts.emptyIDAssertion);
  auto container = registry.objectForKey(*interceptorID);
  if (!container || !*container || (*container)->object.expired()) {
    VULLoggerLogError(texts.service, false, texts.notRegisteredCode, texts.notRegisteredMessage, *interceptorID);
    return;
  }
  registry.removeObjectForKey(*interceptorID);
}

void proxyDestinationSelector(std::string_view destinationSelector, std::string_view sourceSelector,
                              const Class& fromClass, const Class& toClass, const Class& realClass,
                              VULRealImplementations& store, const Texts& texts) {
  addInstanceMethodWithDestinationSelector(destinationSelector, sourceSelector, fromClass, toClass, texts);
  store[std::string(destinationSelector)] = implementationOfMethodSelector(destinationSelector, realClass);
}

void addInstanceMethodWithDestinationSelector(std::string_view destinationSelector, std::string_view sourceSelector,
                                              const Class& fromClass, const Class& toClass, const Texts& texts) {
  if (!toClass.addInstanceMethod(destinationSelector, fromClass.instanceMethod(sourceSelector))) {
    VULLoggerLogWarning(texts.service, false, texts.methodExistsCode, texts.methodExistsMessage, destinationSelector);
  }
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

void notifyInterceptors(VULInterceptorRegistry& registry, std::string_view selector, const Texts& texts,
                        const std::function<void(Object& interceptor)>& callback) {
  for (const auto& [id, container] : registry.dictionary()) {
    auto interceptor = container ? container->object.lock() : nullptr;
    if (!interceptor) {
      VULLoggerLogWarning(texts.service, false, texts.deadInterceptorCode, texts.deadInterceptorMessage, id);
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
