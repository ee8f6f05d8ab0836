#include "sdk/utilities/utilities/vul_scene_delegate_swizzler.h"

#include <mutex>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/notification_center.h"
#include "platform/runtime/message.h"
#include "platform/runtime/protocol.h"
#include "platform/ui/scene.h"
#include "sdk/utilities/utilities/vul_app_delegate_swizzler.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "sdk/utilities/utilities/vul_logger.h"

using platform::runtime::Arguments;
using platform::runtime::Class;
using platform::runtime::IMP;
using platform::runtime::Object;

namespace {

constexpr std::string_view kAssertionFile = "VULSceneDelegateSwizzler";

bool isIOS13OrHigher() { return platform::Value(VULAppEnvironmentUtil::systemVersion()).integerValue() >= 13; }

struct Start {
  platform::DispatchOnce once;
  std::mutex mutex;
  std::shared_ptr<platform::NotificationObserver> observer;
};

Start& start() {
  static auto* s = new Start;
  return *s;
}

}  // namespace

std::shared_ptr<const Class> VULSceneDelegateSwizzler::donorClass() {
  static const auto cls = [] {
    platform::runtime::ClassDefinition d;
    d.name = "VULSceneDelegateSwizzler";
    d.instanceMethods.emplace(
        platform::kSceneOpenURLContextsSelector,
        platform::runtime::implementationWithBlock([](Object& self, const Arguments& args) -> std::any {
          // Scenes exist from iOS 13 on; below it the proxy has nothing to forward to.
          if (!isIOS13OrHigher()) return {};
          static constexpr std::string_view selector = platform::kSceneOpenURLContextsSelector;
          IMP real = originalImplementationForSelector(selector, self);
          notifyInterceptorsWithMethodSelector(selector, [&](Object& interceptor) {
            if (platform::runtime::Protocol::of<platform::SceneDelegate>().isAdoptedBy(interceptor)) {
              platform::runtime::send(interceptor, selector, args);
            }
          });
          if (real) (*real)(self, args);
          return {};
        }));
    auto made = std::make_shared<const Class>(std::move(d));
    return platform::runtime::registerClassPair(made) ? made : platform::runtime::classNamed("VULSceneDelegateSwizzler");
  }();
  return cls;
}

bool VULSceneDelegateSwizzler::isSceneDelegateProxyEnabled() {
  return VULAppDelegateSwizzler::isAppDelegateProxyEnabled();
}

void VULSceneDelegateSwizzler::proxyOriginalSceneDelegate() {
  if (VULAppEnvironmentUtil::isAppExtension()) return;
  start().once.call([] {
    if (!isIOS13OrHigher() || !isSceneDelegateProxyEnabled()) return;
    auto observer = platform::NotificationCenter::defaultCenter().addObserver(
        std::string(platform::kSceneWillConnectNotification), nullptr, nullptr,
        [](const platform::Notification& n) { handleSceneWillConnectToNotification(n); });
    std::lock_guard lock(start().mutex);
    start().observer = std::move(observer);
  });
}

void VULSceneDelegateSwizzler::resetForTesting() {
  std::shared_ptr<platform::NotificationObserver> observer;
  {
    std::lock_guard lock(start().mutex);
    observer = std::move(start().observer);
  }
  if (observer) observer->remove();
  start().once.reset();
}

std::optional<std::string> VULSceneDelegateSwizzler::registerSceneDelegateInterceptor(
    const std::shared_ptr<Object>& interceptor) {
  if (!interceptor) {
    platform::AssertionHandler::handleFailure(kAssertionFile, "SceneDelegateProxy cannot add nil interceptor");
    VULLoggerLogError(kVULSceneDelegateSwizzlerService, false, "I-SWZ001100",
                      "SceneDelegateProxy cannot add nil interceptor.");
    return std::nullopt;
  }
  if (!platform::runtime::Protocol::of<platform::SceneDelegate>().isAdoptedBy(*interceptor)) {
    platform::AssertionHandler::handleFailure(kAssertionFile,
                                              "SceneDelegateProxy interceptor does not conform to UIApplicationDelegate");
    VULLoggerLogError(kVULSceneDelegateSwizzlerService, false, "I-SWZ001101",
                      "SceneDelegateProxy interceptor does not conform to UIApplicationDelegate");
    return std::nullopt;
  }
  std::string id = VULDelegateProxySupport::interceptorID(*interceptor);
  if (id.empty()) {
    VULLoggerLogError(kVULSceneDelegateSwizzlerService, false, "I-SWZ001102",
                      "SceneDelegateProxy cannot create Interceptor ID.");
    return std::nullopt;
  }
  interceptors().setObject(std::make_shared<VULSceneZeroingWeakContainer>(interceptor), id);
  return id;
}

void VULSceneDelegateSwizzler::unregisterSceneDelegateInterceptorWithID(
    const std::optional<std::string>& interceptorID) {
  if (!interceptorID) {
    platform::AssertionHandler::handleFailure(kAssertionFile,
                                              "SceneDelegateProxy cannot unregister nil interceptor ID.");
    VULLoggerLogError(kVULSceneDelegateSwizzlerService, false, "I-SWZ001103",
                      "SceneDelegateProxy cannot unregister empty interceptor ID.");
    return;
  }
  if (interceptorID->empty()) {
    platform::AssertionHandler::handleFailure(kAssertionFile,
                                              "SceneDelegateProxy cannot unregister empty interceptor ID.");
  }
  auto container = interceptors().objectForKey(*interceptorID);
  if (!container || !*container || (*container)->object.expired()) {
    VULLoggerLogError(kVULSceneDelegateSwizzlerService, false, "I-SWZ001104",
                      "SceneDelegateProxy cannot unregister interceptor that was not registered. Interceptor ID %@",
                      *interceptorID);
    return;
  }
  interceptors().removeObjectForKey(*interceptorID);
}

VULInterceptorRegistry& VULSceneDelegateSwizzler::interceptors() {
  static auto* registry = new VULInterceptorRegistry;
  return *registry;
}

void VULSceneDelegateSwizzler::clearInterceptors() { interceptors().removeAllObjects(); }

std::string VULSceneDelegateSwizzler::correctSceneDelegateProxyKey() {
  return VULAppDelegateSwizzler::correctAppDelegateProxyKey();
}

void VULSceneDelegateSwizzler::handleSceneWillConnectToNotification(const platform::Notification& notification) {
  if (!isIOS13OrHigher()) return;
  if (auto scene = platform::Scene::connectedScene(notification.object)) proxySceneDelegateIfNeeded(scene);
}

void VULSceneDelegateSwizzler::proxySceneDelegateIfNeeded(const std::shared_ptr<platform::Scene>& scene) {
  auto delegate = scene ? scene->delegate() : nullptr;
  auto realClass = delegate ? platform::runtime::getClass(*delegate) : nullptr;
  if (!realClass || realClass->name().starts_with("VUL_")) return;

  const std::string className = VULDelegateProxySupport::subclassName(*realClass);
  if (platform::runtime::classNamed(className)) {
    VULLoggerLogError(
        kVULSceneDelegateSwizzlerService, false, "I-SWZ001114",
        "Cannot create a proxy for Scene Delegate. Subclass already exists. Original Class: %@, subclass: %@",
        realClass->name(), className);
    return;
  }
  auto subclass = platform::runtime::allocateClassPair(realClass, className, 0);
  if (!subclass) {
    VULLoggerLogError(
        kVULSceneDelegateSwizzlerService, false, "I-SWZ001114",
        "Cannot create a proxy for Scene Delegate. Subclass already exists. Original Class: %@, subclass: Nil",
        realClass->name());
    return;
  }

  VULRealImplementations realImplementations;
  proxyDestinationSelector(platform::kSceneOpenURLContextsSelector, platform::kSceneOpenURLContextsSelector,
                           *donorClass(), *subclass, *realClass, realImplementations);
  VULDelegateProxySupport::setRealImplementations(*delegate, std::move(realImplementations));
  VULDelegateProxySupport::setRealClass(*delegate, realClass);

  if (realClass->instanceSize() != subclass->instanceSize()) {
    VULLoggerLogError(kVULSceneDelegateSwizzlerService, false, "I-SWZ001114",
                      "Cannot create subclass of Scene Delegate, because the created subclass is not the same size. %@",
                      realClass->name());
    platform::AssertionHandler::handleFailure(kAssertionFile, "Classes must be the same size to swizzle isa");
    return;
  }
  platform::runtime::registerClassPair(subclass);
  platform::runtime::setClass(*delegate, subclass);
  VULLoggerLogDebug(kVULSceneDelegateSwizzlerService, false, "I-SWZ001114",
                    "Successfully created Scene Delegate Proxy automatically. To disable the proxy, set the flag %@ to "
                    "NO (Boolean) in the Info.plist",
                    correctSceneDelegateProxyKey());
}

IMP VULSceneDelegateSwizzler::originalImplementationForSelector(std::string_view selector, const Object& object) {
  return VULDelegateProxySupport::originalImplementationForSelector(selector, object);
}

void VULSceneDelegateSwizzler::proxyDestinationSelector(std::string_view destinationSelector,
                                                        std::string_view implementationsFromSourceSelector,
                                                        const Class& fromClass, const Class& toClass,
                                                        const Class& realClass,
                                                        VULRealImplementations& storeDestinationImplementationTo) {
  addInstanceMethodWithDestinationSelector(destinationSelector, implementationsFromSourceSelector, fromClass, toClass);
  storeDestinationImplementationTo[std::string(destinationSelector)] =
      implementationOfMethodSelector(destinationSelector, realClass);
}

void VULSceneDelegateSwizzler::addInstanceMethodWithSelector(std::string_view selector, const Class& fromClass,
                                                             const Class& toClass) {
  addInstanceMethodWithDestinationSelector(selector, selector, fromClass, toClass);
}

void VULSceneDelegateSwizzler::addInstanceMethodWithDestinationSelector(
    std::string_view destinationSelector, std::string_view withImplementationFromSourceSelector,
    const Class& fromClass, const Class& toClass) {
  if (!VULDelegateProxySupport::addInstanceMethod(destinationSelector, withImplementationFromSourceSelector,
                                                  fromClass, toClass)) {
    VULLoggerLogWarning(kVULSceneDelegateSwizzlerService, false, "I-SWZ001109",
                        "Cannot copy method to destination selector %@ as it already exists", destinationSelector);
  }
}

IMP VULSceneDelegateSwizzler::implementationOfMethodSelector(std::string_view selector, const Class& fromClass) {
  return VULDelegateProxySupport::implementationOfMethodSelector(selector, fromClass);
}

void VULSceneDelegateSwizzler::notifyInterceptorsWithMethodSelector(
    std::string_view methodSelector, const std::function<void(Object& interceptor)>& callback) {
  VULDelegateProxySupport::notifyInterceptors(
      interceptors(), methodSelector,
      [](const std::string& id) {
        VULLoggerLogWarning(kVULSceneDelegateSwizzlerService, false, "I-SWZ001110",
                            "SceneDelegateProxy cannot find interceptor with ID %@. Removing the interceptor.", id);
      },
      callback);
}
