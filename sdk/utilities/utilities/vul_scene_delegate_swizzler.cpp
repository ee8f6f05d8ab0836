#include "sdk/utilities/utilities/vul_scene_delegate_swizzler.h"


#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/notification_center.h"
#include "platform/runtime/message.h"
#include "platform/runtime/protocol.h"
#include "platform/ui/scene.h"
#include "sdk/utilities/utilities/vul_app_delegate_swizzler.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "sdk/utilities/utilities/vul_logger.h"
#include "platform/foundation/thread_safety.h"

using platform::runtime::Arguments;
using platform::runtime::Class;
using platform::runtime::IMP;
using platform::runtime::Object;

namespace {

constexpr std::string_view kAssertionFile = "VULSceneDelegateSwizzler";
const VULDelegateProxySupport::Texts kTexts{
    .service = kVULSceneDelegateSwizzlerService,
    .assertionFile = "VULSceneDelegateSwizzler",
    .nilInterceptorAssertion = "SceneDelegateProxy cannot add nil interceptor",
    .nilInterceptorCode = "I-SWZ001100",
    .nilInterceptorMessage = "SceneDelegateProxy cannot add nil interceptor.",
    .nonConformingAssertion = "SceneDelegateProxy interceptor does not conform to UIApplicationDelegate",
    .nonConformingCode = "I-SWZ001101",
    .nonConformingMessage = "SceneDelegateProxy interceptor does not conform to UIApplicationDelegate",
    .noIDCode = "I-SWZ001102",
    .noIDMessage = "SceneDelegateProxy cannot create Interceptor ID.",
    .nilIDAssertion = "SceneDelegateProxy cannot unregister nil interceptor ID.",
    .emptyIDAssertion = "SceneDelegateProxy cannot unregister empty interceptor ID.",
    .nilIDCode = "I-SWZ001103",
    .nilIDMessage = "SceneDelegateProxy cannot unregister empty interceptor ID.",
    .notRegisteredCode = "I-SWZ001104",
    .notRegisteredMessage = "SceneDelegateProxy cannot unregister interceptor that was not registered. Interceptor ID %@",
    .deadInterceptorCode = "I-SWZ001110",
    .deadInterceptorMessage = "SceneDelegateProxy cannot find interceptor with ID %@. Removing the interceptor.",
    .methodExistsCode = "I-SWZ001109",
    .methodExistsMessage = "Cannot copy method to destination selector %@ as it already exists",
};

bool isIOS13OrHigher() { return platform::Value(VULAppEnvironmentUtil::systemVersion()).integerValue() >= 13; }

struct Start {
  platform::DispatchOnce once;
  platform::Mutex mutex;
  std::shared_ptr<platform::NotificationObserver> observer GUARDED_BY(mutex);
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
    return platform::runtime::registerClassOnce(std::move(d));
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
    platform::MutexLock lock(start().mutex);
    start().observer = std::move(observer);
  });
}

void VULSceneDelegateSwizzler::resetForTesting() {
  std::shared_ptr<platform::NotificationObserver> observer;
  {
    platform::MutexLock lock(start().mutex);
    observer = std::move(start().observer);
  }
  if (observer) observer->remove();
  start().once.reset();
}

std::optional<std::string> VULSceneDelegateSwizzler::registerSceneDelegateInterceptor(
    const std::shared_ptr<Object>& interceptor) {
  return VULDelegateProxySupport::registerInterceptor(
      interceptors(), interceptor, platform::runtime::Protocol::of<platform::SceneDelegate>(), kTexts);
}

void VULSceneDelegateSwizzler::unregisterSceneDelegateInterceptorWithID(
    const std::optional<std::string>& interceptorID) {
  VULDelegateProxySupport::unregisterInterceptor(interceptors(), interceptorID, kTexts);
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
  VULDelegateProxySupport::proxyDestinationSelector(destinationSelector, implementationsFromSourceSelector, fromClass,
                                                    toClass, realClass, storeDestinationImplementationTo, kTexts);
}

void VULSceneDelegateSwizzler::addInstanceMethodWithSelector(std::string_view selector, const Class& fromClass,
                                                             const Class& toClass) {
  addInstanceMethodWithDestinationSelector(selector, selector, fromClass, toClass);
}

void VULSceneDelegateSwizzler::addInstanceMethodWithDestinationSelector(
    std::string_view destinationSelector, std::string_view withImplementationFromSourceSelector,
    const Class& fromClass, const Class& toClass) {
  VULDelegateProxySupport::addInstanceMethodWithDestinationSelector(
      destinationSelector, withImplementationFromSourceSelector, fromClass, toClass, kTexts);
}

IMP VULSceneDelegateSwizzler::implementationOfMethodSelector(std::string_view selector, const Class& fromClass) {
  return VULDelegateProxySupport::implementationOfMethodSelector(selector, fromClass);
}

void VULSceneDelegateSwizzler::notifyInterceptorsWithMethodSelector(
    std::string_view methodSelector, const std::function<void(Object& interceptor)>& callback) {
  VULDelegateProxySupport::notifyInterceptors(interceptors(), methodSelector, kTexts, callback);
}
