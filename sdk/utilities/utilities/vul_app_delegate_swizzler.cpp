#include "sdk/utilities/utilities/vul_app_delegate_swizzler.h"

#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/runtime/message.h"
#include "platform/runtime/protocol.h"
#include "platform/ui/application.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "sdk/utilities/utilities/vul_logger.h"
#include "platform/foundation/thread_safety.h"

using platform::runtime::Arguments;
using platform::runtime::Class;
using platform::runtime::IMP;
using platform::runtime::Object;

namespace {

constexpr std::string_view kAssertionFile = "VULAppDelegateSwizzler";
const VULDelegateProxySupport::Texts kTexts{
    .service = kVULAppDelegateSwizzlerService,
    .assertionFile = "VULAppDelegateSwizzler",
    .nilInterceptorAssertion = "AppDelegateProxy cannot add nil interceptor",
    .nilInterceptorCode = "I-SWZ001000",
    .nilInterceptorMessage = "AppDelegateProxy cannot add nil interceptor.",
    .nonConformingAssertion = "AppDelegateProxy interceptor does not conform to UIApplicationDelegate",
    .nonConformingCode = "I-SWZ001001",
    .nonConformingMessage = "AppDelegateProxy interceptor does not conform to UIApplicationDelegate",
    .noIDCode = "I-SWZ001002",
    .noIDMessage = "AppDelegateProxy cannot create Interceptor ID.",
    .nilIDAssertion = "AppDelegateProxy cannot unregister nil interceptor ID.",
    .emptyIDAssertion = "AppDelegateProxy cannot unregister empty interceptor ID.",
    .nilIDCode = "I-SWZ001003",
    .nilIDMessage = "AppDelegateProxy cannot unregister empty interceptor ID.",
    .notRegisteredCode = "I-SWZ001004",
    .notRegisteredMessage = "AppDelegateProxy cannot unregister interceptor that was not registered. Interceptor ID %@",
    .deadInterceptorCode = "I-SWZ001010",
    .deadInterceptorMessage = "AppDelegateProxy cannot find interceptor with ID %@. Removing the interceptor.",
    .methodExistsCode = "I-SWZ001009",
    .methodExistsMessage = "Cannot copy method to destination selector %@ as it already exists",
};
constexpr std::string_view kFakeDescriptionSelector = "fakeDescription";

struct State {
  platform::Mutex mutex;
  std::shared_ptr<const Class> subclass GUARDED_BY(mutex);
  std::shared_ptr<const Class> realClass GUARDED_BY(mutex);
  std::shared_ptr<platform::ApplicationDelegate> heldDelegate GUARDED_BY(mutex);
};

State& state() {
  static auto* s = new State;
  return *s;
}

platform::DispatchOnce& proxyOnce() {
  static platform::DispatchOnce once;
  return once;
}

platform::DispatchOnce& remoteNotificationsOnce() {
  static platform::DispatchOnce once;
  return once;
}

// Counts as its boolean value when it is a number, as YES otherwise.
bool switchIsOn(const platform::Value& value) { return !value.isNumber() || value.boolValue(); }

// A proxy of a callback: every interceptor first, then the application's own implementation.
// BOOL callbacks answer YES when any of them did.
IMP forwardingProxy(std::string selector, bool returnsBool) {
  return platform::runtime::implementationWithBlock(
      [selector = std::move(selector), returnsBool](Object& self, const Arguments& args) -> std::any {
        IMP real = VULAppDelegateSwizzler::originalImplementationForSelector(selector, self);
        bool result = false;
        VULAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(selector, [&](Object& interceptor) {
          result = VULDelegateProxySupport::isYes(platform::runtime::send(interceptor, selector, args)) || result;
        });
        if (real) result = VULDelegateProxySupport::isYes((*real)(self, args)) || result;
        return returnsBool ? std::any(result) : std::any();
      });
}

// Every interceptor and the application get a completion of their own; the application's
// completion hears the combined result once all have reported: new data when anyone had some,
// else no data when anyone said so, else failed (also when nobody reported).
IMP fetchCompletionProxy() {
  static constexpr std::string_view selector =
      platform::kApplicationDidReceiveRemoteNotificationFetchCompletionHandlerSelector;
  using Completion = std::function<void(platform::BackgroundFetchResult)>;
  return platform::runtime::implementationWithBlock([](Object& self, const Arguments& args) -> std::any {
    IMP real = VULAppDelegateSwizzler::originalImplementationForSelector(selector, self);
    const Completion* given = args.size() == 3 ? std::any_cast<Completion>(&args[2]) : nullptr;
    Completion completion = given ? *given : Completion();

    struct Results {
      platform::Mutex mutex;
      std::vector<platform::BackgroundFetchResult> values GUARDED_BY(mutex);
    };
    auto results = std::make_shared<Results>();
    auto group = platform::DispatchGroup::make();
    auto participant = [&]() -> Completion {
      group->enter();
      // A participant that reports twice must not leave the group twice.
      auto reported = std::make_shared<std::once_flag>();
      return [results, group, reported](platform::BackgroundFetchResult result) {
        std::call_once(*reported, [&] {
          {
            platform::MutexLock lock(results->mutex);
            results->values.push_back(result);
          }
          group->leave();
        });
      };
    };
    auto argumentsWith = [&](Completion c) {
      Arguments a = args;
      a.resize(3);
      a[2] = std::move(c);
      return a;
    };

    VULAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(selector, [&](Object& interceptor) {
      platform::runtime::send(interceptor, selector, argumentsWith(participant()));
    });
    if (real) (*real)(self, argumentsWith(participant()));

    group->notify(platform::DispatchQueue::main(), [results, completion] {
      auto combined = platform::BackgroundFetchResult::Failed;
      {
        platform::MutexLock lock(results->mutex);
        for (auto r : results->values) {
          if (r == platform::BackgroundFetchResult::NewData) {
            combined = r;
            break;
          }
          if (r == platform::BackgroundFetchResult::NoData) combined = r;
        }
      }
      if (completion) completion(combined);
    });
    return {};
  });
}

struct RemoteNotificationMethod {
  std::string_view selector;
  std::string_view donor;
};

constexpr RemoteNotificationMethod kRemoteNotificationMethods[] = {
    {platform::kApplicationDidRegisterForRemoteNotificationsWithDeviceTokenSelector,
     "application:donor_didRegisterForRemoteNotificationsWithDeviceToken:"},
    {platform::kApplicationDidFailToRegisterForRemoteNotificationsWithErrorSelector,
     "application:donor_didFailToRegisterForRemoteNotificationsWithError:"},
    {platform::kApplicationDidReceiveRemoteNotificationSelector, "application:donor_didReceiveRemoteNotification:"},
    {platform::kApplicationDidReceiveRemoteNotificationFetchCompletionHandlerSelector,
     "application:donor_didReceiveRemoteNotification:fetchCompletionHandler:"},
};

}  // namespace

std::shared_ptr<const Class> VULAppDelegateSwizzler::donorClass() {
  static const auto cls = [] {
    platform::runtime::ClassDefinition d;
    d.name = "VULAppDelegateSwizzler";
    auto& m = d.instanceMethods;
    m.emplace(platform::kApplicationContinueUserActivityRestorationHandlerSelector,
              forwardingProxy(std::string(platform::kApplicationContinueUserActivityRestorationHandlerSelector), true));
    m.emplace(platform::kApplicationOpenURLOptionsSelector,
              forwardingProxy(std::string(platform::kApplicationOpenURLOptionsSelector), true));
    m.emplace(platform::kApplicationOpenURLSourceApplicationAnnotationSelector,
              forwardingProxy(std::string(platform::kApplicationOpenURLSourceApplicationAnnotationSelector), true));
    m.emplace(
        platform::kApplicationHandleEventsForBackgroundURLSessionCompletionHandlerSelector,
        forwardingProxy(std::string(platform::kApplicationHandleEventsForBackgroundURLSessionCompletionHandlerSelector),
                        false));
    for (const auto& method : kRemoteNotificationMethods) {
      m.emplace(method.donor,
                method.selector == platform::kApplicationDidReceiveRemoteNotificationFetchCompletionHandlerSelector
                    ? fetchCompletionProxy()
                    : forwardingProxy(std::string(method.selector), false));
    }
    // The proxied object still describes itself as an instance of its real class.
    m.emplace(kFakeDescriptionSelector,
              platform::runtime::implementationWithBlock([](Object& self, const Arguments&) -> std::any {
                auto real = VULDelegateProxySupport::realClass(self);
                return platform::format("<%@: %p>", real ? real->name() : std::string("?"),
                                        platform::runtime::identity(self));
              }));
    return platform::runtime::registerClassOnce(std::move(d));
  }();
  return cls;
}

bool VULAppDelegateSwizzler::isAppDelegateProxyEnabled() {
  auto bundle = platform::Bundle::main();
  if (!bundle) return true;
  return switchIsOn(bundle->objectForInfoDictionaryKey(kVULAppDelegateProxyEnabledKey)) &&
         switchIsOn(bundle->objectForInfoDictionaryKey(kVULUtilitiesAppDelegateProxyEnabledKey));
}

std::optional<std::string> VULAppDelegateSwizzler::registerAppDelegateInterceptor(
    const std::shared_ptr<Object>& interceptor) {
  return VULDelegateProxySupport::registerInterceptor(
      interceptors(), interceptor, platform::runtime::Protocol::of<platform::ApplicationDelegate>(), kTexts);
}

void VULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(const std::optional<std::string>& interceptorID) {
  VULDelegateProxySupport::unregisterInterceptor(interceptors(), interceptorID, kTexts);
}

std::shared_ptr<platform::Application> VULAppDelegateSwizzler::sharedApplication() {
  if (VULAppEnvironmentUtil::isAppExtension()) return nullptr;
  return platform::Application::shared();
}

VULInterceptorRegistry& VULAppDelegateSwizzler::interceptors() {
  static auto* registry = new VULInterceptorRegistry;
  return *registry;
}

void VULAppDelegateSwizzler::clearInterceptors() { interceptors().removeAllObjects(); }

std::shared_ptr<platform::ApplicationDelegate> VULAppDelegateSwizzler::originalDelegate() {
  platform::MutexLock lock(state().mutex);
  return state().heldDelegate;
}

void VULAppDelegateSwizzler::releaseHeldDelegate() {
  std::shared_ptr<platform::ApplicationDelegate> released;
  platform::MutexLock lock(state().mutex);
  released = std::move(state().heldDelegate);
}

void VULAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken() {
  proxyOnce().reset();
  remoteNotificationsOnce().reset();
}

void VULAppDelegateSwizzler::resetForTesting() {
  clearInterceptors();
  resetProxyOriginalDelegateOnceToken();
  VULAppDelegateObserver::sharedInstance().stopObserving();
  std::shared_ptr<platform::ApplicationDelegate> released;
  platform::MutexLock lock(state().mutex);
  released = std::move(state().heldDelegate);
  state().subclass = nullptr;
  state().realClass = nullptr;
}

std::string VULAppDelegateSwizzler::correctAppDelegateProxyKey() {
  return std::string(platform::runtime::classNamed("VDZCore") ? kVULAppDelegateProxyEnabledKey
                                                               : kVULUtilitiesAppDelegateProxyEnabledKey);
}

std::string VULAppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated() {
  return platform::runtime::classNamed("VDZCore")
             ? "To log deep link campaigns manually, call the methods in DOREvoredire+AppDelegate."
             : "";
}

void VULAppDelegateSwizzler::proxyOriginalDelegate() {
  if (VULAppEnvironmentUtil::isAppExtension()) return;
  proxyOnce().call([] {
    auto app = sharedApplication();
    proxyAppDelegate(app ? app->delegate() : nullptr);
  });
}

void VULAppDelegateSwizzler::proxyAppDelegate(const std::shared_ptr<Object>& appDelegate) {
  if (!appDelegate || !platform::runtime::Protocol::of<platform::ApplicationDelegate>().isAdoptedBy(*appDelegate)) {
    VULLoggerLogNotice(kVULAppDelegateSwizzlerService, false, "I-SWZ001014",
                       "App Delegate does not conform to UIApplicationDelegate protocol. %@",
                       correctAlternativeWhenAppDelegateProxyNotCreated());
    return;
  }
  if (!isAppDelegateProxyEnabled()) {
    VULLoggerLogNotice(kVULAppDelegateSwizzlerService, false, "I-SWZ001011", "App Delegate Proxy is disabled. %@",
                       correctAlternativeWhenAppDelegateProxyNotCreated());
    return;
  }
  try {
    auto realClass = platform::runtime::getClass(*appDelegate);
    {
      platform::MutexLock lock(state().mutex);
      state().realClass = realClass;
    }
    auto subclass = createSubclassWithObject(*appDelegate);
    {
      platform::MutexLock lock(state().mutex);
      state().subclass = subclass;
    }
    reassignAppDelegate();
  } catch (const std::exception&) {
    VULLoggerLogError(kVULAppDelegateSwizzlerService, false, "I-SWZ001013", "Cannot create App Delegate Proxy. %@",
                      correctAlternativeWhenAppDelegateProxyNotCreated());
  }
}

std::shared_ptr<const Class> VULAppDelegateSwizzler::createSubclassWithObject(Object& anObject) {
  auto realClass = platform::runtime::getClass(anObject);
  if (!realClass) {
    throw platform::Exception(std::string(platform::kInvalidArgumentException),
                              "The application delegate has no class known to the runtime");
  }
  const std::string className = VULDelegateProxySupport::subclassName(*realClass);
  if (platform::runtime::classNamed(className)) {
    VULLoggerLogError(kVULAppDelegateSwizzlerService, false, "I-SWZ001005",
                      "Cannot create a proxy for App Delegate. Subclass already exists. Original Class: %@, subclass: %@",
                      realClass->name(), className);
    return nullptr;
  }
  auto subclass = platform::runtime::allocateClassPair(realClass, className, 0);
  if (!subclass) {
    VULLoggerLogError(kVULAppDelegateSwizzlerService, false, "I-SWZ001006",
                      "Cannot create a proxy for App Delegate. Subclass already exists. Original Class: %@, subclass: Nil",
                      realClass->name());
    return nullptr;
  }

  const auto donor = donorClass();
  VULRealImplementations realImplementations;
  auto proxy = [&](std::string_view selector) {
    proxyDestinationSelector(selector, selector, *donor, *subclass, *realClass, realImplementations);
  };
  proxy(platform::kApplicationContinueUserActivityRestorationHandlerSelector);
  if (platform::runtime::respondsToSelector(anObject, platform::kApplicationOpenURLOptionsSelector)) {
    proxy(platform::kApplicationOpenURLOptionsSelector);
  }
  proxy(platform::kApplicationHandleEventsForBackgroundURLSessionCompletionHandlerSelector);
  proxy(platform::kApplicationOpenURLSourceApplicationAnnotationSelector);
  addInstanceMethodWithDestinationSelector("description", kFakeDescriptionSelector, *donor, *subclass);

  VULDelegateProxySupport::setRealImplementations(anObject, realImplementations);
  VULDelegateProxySupport::setRealClass(anObject, realClass);

  if (realClass->instanceSize() != subclass->instanceSize()) {
    VULLoggerLogError(kVULAppDelegateSwizzlerService, false, "I-SWZ001007",
                      "Cannot create subclass of App Delegate, because the created subclass is not the same size. %@",
                      realClass->name());
    platform::AssertionHandler::handleFailure(kAssertionFile, "Classes must be the same size to swizzle isa");
    return nullptr;
  }

  platform::runtime::registerClassPair(subclass);
  platform::runtime::setClass(anObject, subclass);
  VULLoggerLogDebug(kVULAppDelegateSwizzlerService, false, "I-SWZ001008",
                    "Successfully created App Delegate Proxy automatically. To disable the proxy, set the flag %@ to NO "
                    "(Boolean) in the Info.plist",
                    correctAppDelegateProxyKey());
  return subclass;
}

void VULAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods() {
  if (VULAppEnvironmentUtil::isAppExtension()) return;
  proxyOriginalDelegate();
  remoteNotificationsOnce().call([] {
    auto app = sharedApplication();
    auto delegate = app ? app->delegate() : nullptr;
    std::shared_ptr<const Class> subclass, realClass;
    {
      platform::MutexLock lock(state().mutex);
      subclass = state().subclass;
      realClass = state().realClass;
    }
    auto stored = delegate ? VULDelegateProxySupport::realImplementations(*delegate) : nullptr;
    if (!subclass || !realClass || !delegate || !stored) return;
    VULRealImplementations realImplementations = *stored;
    proxyRemoteNotificationsMethodsWithAppDelegateSubClass(subclass, realClass, *delegate, realImplementations);
    VULDelegateProxySupport::setRealImplementations(*delegate, std::move(realImplementations));
    reassignAppDelegate();
  });
}

void VULAppDelegateSwizzler::proxyRemoteNotificationsMethodsWithAppDelegateSubClass(
    const std::shared_ptr<const Class>& appDelegateSubClass, const std::shared_ptr<const Class>& realClass,
    Object& appDelegate, VULRealImplementations& realImplementationsBySelector) {
  if (!appDelegateSubClass || !realClass) return;
  const auto donor = donorClass();
  for (const auto& method : kRemoteNotificationMethods) {
    if (method.selector == platform::kApplicationDidReceiveRemoteNotificationFetchCompletionHandlerSelector &&
        !platform::runtime::respondsToSelector(appDelegate, method.selector)) {
      continue;
    }
    proxyDestinationSelector(method.selector, method.donor, *donor, *appDelegateSubClass, *realClass,
                             realImplementationsBySelector);
  }
}

void VULAppDelegateSwizzler::proxyDestinationSelector(std::string_view destinationSelector,
                                                      std::string_view implementationsFromSourceSelector,
                                                      const Class& fromClass, const Class& toClass,
                                                      const Class& realClass,
                                                      VULRealImplementations& storeDestinationImplementationTo) {
  VULDelegateProxySupport::proxyDestinationSelector(destinationSelector, implementationsFromSourceSelector, fromClass,
                                                    toClass, realClass, storeDestinationImplementationTo, kTexts);
}

void VULAppDelegateSwizzler::addInstanceMethodWithSelector(std::string_view selector, const Class& fromClass,
                                                           const Class& toClass) {
  addInstanceMethodWithDestinationSelector(selector, selector, fromClass, toClass);
}

void VULAppDelegateSwizzler::addInstanceMethodWithDestinationSelector(
    std::string_view destinationSelector, std::string_view withImplementationFromSourceSelector,
    const Class& fromClass, const Class& toClass) {
  VULDelegateProxySupport::addInstanceMethodWithDestinationSelector(
      destinationSelector, withImplementationFromSourceSelector, fromClass, toClass, kTexts);
}

IMP VULAppDelegateSwizzler::implementationOfMethodSelector(std::string_view selector, const Class& fromClass) {
  return VULDelegateProxySupport::implementationOfMethodSelector(selector, fromClass);
}

IMP VULAppDelegateSwizzler::originalImplementationForSelector(std::string_view selector, const Object& object) {
  return VULDelegateProxySupport::originalImplementationForSelector(selector, object);
}

void VULAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(
    std::string_view methodSelector, const std::function<void(Object& interceptor)>& callback) {
  VULDelegateProxySupport::notifyInterceptors(interceptors(), methodSelector, kTexts, callback);
}

void VULAppDelegateSwizzler::reassignAppDelegate() {
  auto app = sharedApplication();
  if (!app) return;
  auto delegate = app->delegate();
  // The platform looks at the delegate's methods afresh when it is set again.
  app->setDelegate(nullptr);
  app->setDelegate(delegate);
  {
    platform::MutexLock lock(state().mutex);
    state().heldDelegate = delegate;
  }
  VULAppDelegateObserver::sharedInstance().observeUIApplication();
}

VULAppDelegateObserver& VULAppDelegateObserver::sharedInstance() {
  static auto* observer = new VULAppDelegateObserver;
  return *observer;
}

bool VULAppDelegateObserver::isObserving() const {
  platform::MutexLock lock(mutex_);
  return isObserving_;
}

void VULAppDelegateObserver::observeUIApplication() {
  auto app = VULAppDelegateSwizzler::sharedApplication();
  if (!app) return;
  platform::MutexLock lock(mutex_);
  // An application launched anew (tests do that) is a new object to observe.
  if (isObserving_ && observed_.lock() == app) return;
  if (auto old = observed_.lock()) old->removeDelegateObserver(observerID_);
  observerID_ = app->addDelegateObserver(
      [this](const std::shared_ptr<platform::ApplicationDelegate>& oldDelegate,
             const std::shared_ptr<platform::ApplicationDelegate>& newDelegate) {
        observeValueForDelegate(oldDelegate, newDelegate);
      });
  observed_ = app;
  isObserving_ = true;
}

void VULAppDelegateObserver::observeValueForDelegate(const std::shared_ptr<platform::ApplicationDelegate>& oldDelegate,
                                                     const std::shared_ptr<platform::ApplicationDelegate>& newDelegate) {
  if (newDelegate == oldDelegate || !oldDelegate || oldDelegate != VULAppDelegateSwizzler::originalDelegate()) return;
  VULAppDelegateSwizzler::releaseHeldDelegate();
  stopObserving();
}

void VULAppDelegateObserver::stopObserving() {
  platform::MutexLock lock(mutex_);
  if (auto app = observed_.lock()) app->removeDelegateObserver(observerID_);
  observed_.reset();
  isObserving_ = false;
}
