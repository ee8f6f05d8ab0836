#include "platform/ui/application_delegate_class.h"

#include "platform/runtime/class.h"
#include "platform/runtime/message.h"
#include "platform/ui/application.h"

namespace platform {

using runtime::implementation;

std::shared_ptr<const runtime::Class> responderClass() {
  static const auto cls = [] {
    runtime::ClassDefinition d;
    d.name = "UIResponder";
    d.superclass = runtime::rootClass();
    d.instanceSize = sizeof(ApplicationDelegate);
    return runtime::registerClassOnce(std::move(d));
  }();
  return cls;
}

std::shared_ptr<const runtime::Class> applicationDelegateBaseClass() {
  static const auto cls = [] {
    runtime::ClassDefinition d;
    d.name = "ApplicationDelegate";
    d.superclass = responderClass();
    d.protocols.emplace(ApplicationDelegate::kProtocolName);
    auto& m = d.instanceMethods;
    using D = ApplicationDelegate;
    using A = Application;
    using Dict = Value::Dictionary;
    m.emplace(kApplicationWillFinishLaunchingWithOptionsSelector,
              implementation([](D& d, A& a, const Dict& o) { return d.applicationWillFinishLaunchingWithOptions(a, o); }));
    m.emplace(kApplicationDidFinishLaunchingWithOptionsSelector,
              implementation([](D& d, A& a, const Dict& o) { return d.applicationDidFinishLaunchingWithOptions(a, o); }));
    m.emplace(kApplicationWillResignActiveSelector,
              implementation([](D& d, A& a) { d.applicationWillResignActive(a); }));
    m.emplace(kApplicationDidEnterBackgroundSelector,
              implementation([](D& d, A& a) { d.applicationDidEnterBackground(a); }));
    m.emplace(kApplicationWillEnterForegroundSelector,
              implementation([](D& d, A& a) { d.applicationWillEnterForeground(a); }));
    m.emplace(kApplicationDidBecomeActiveSelector, implementation([](D& d, A& a) { d.applicationDidBecomeActive(a); }));
    m.emplace(kApplicationWillTerminateSelector, implementation([](D& d, A& a) { d.applicationWillTerminate(a); }));
    m.emplace(kApplicationOpenURLOptionsSelector, implementation([](D& d, A& a, const std::string& url, const Dict& o) {
                return d.applicationOpenURLOptions(a, url, o);
              }));
    m.emplace(kApplicationOpenURLSourceApplicationAnnotationSelector,
              implementation([](D& d, A& a, const std::string& url, const std::string& source, const Value& note) {
                return d.applicationOpenURLSourceApplicationAnnotation(a, url, source, note);
              }));
    m.emplace(kApplicationContinueUserActivityRestorationHandlerSelector,
              implementation([](D& d, A& a, const Dict& activity, std::function<void(const Value&)> restoration) {
                return d.applicationContinueUserActivityRestorationHandler(a, activity, std::move(restoration));
              }));
    m.emplace(kApplicationHandleEventsForBackgroundURLSessionCompletionHandlerSelector,
              implementation([](D& d, A& a, const std::string& identifier, std::function<void()> completion) {
                d.applicationHandleEventsForBackgroundURLSessionCompletionHandler(a, identifier, std::move(completion));
              }));
    m.emplace(kApplicationDidRegisterForRemoteNotificationsWithDeviceTokenSelector,
              implementation([](D& d, A& a, const Data& token) {
                d.applicationDidRegisterForRemoteNotificationsWithDeviceToken(a, token);
              }));
    m.emplace(kApplicationDidFailToRegisterForRemoteNotificationsWithErrorSelector,
              implementation([](D& d, A& a, const Error& error) {
                d.applicationDidFailToRegisterForRemoteNotificationsWithError(a, error);
              }));
    m.emplace(kApplicationDidReceiveRemoteNotificationSelector, implementation([](D& d, A& a, const Dict& userInfo) {
                d.applicationDidReceiveRemoteNotification(a, userInfo);
              }));
    m.emplace(kApplicationDidReceiveRemoteNotificationFetchCompletionHandlerSelector,
              implementation(
                  [](D& d, A& a, const Dict& userInfo, std::function<void(BackgroundFetchResult)> completion) {
                    d.applicationDidReceiveRemoteNotificationFetchCompletionHandler(a, userInfo, std::move(completion));
                  }));
    return runtime::registerClassOnce(std::move(d));
  }();
  return cls;
}

std::shared_ptr<const runtime::Class> applicationDelegateClass(std::string_view name, std::size_t instanceSize,
                                                               std::initializer_list<std::string_view> selectors) {
  return runtime::classWithMethodsOf(name, responderClass(), instanceSize, *applicationDelegateBaseClass(), selectors);
}

ApplicationDelegate::ApplicationDelegate() { runtime::setClass(*this, applicationDelegateBaseClass()); }

}  // namespace platform
