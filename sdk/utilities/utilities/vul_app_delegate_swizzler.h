// Lets SDK components observe the application delegate's callbacks without the application
// forwarding them. Once asked, the live delegate object's class is changed to a generated
// subclass whose proxy methods call every registered interceptor that implements the callback,
// then the application's own implementation, and combine their results (BOOL: any YES). The
// Info.plist switches "VuduzaraAppDelegateProxyEnabled" and
// "VidezuUtilitiesAppDelegateProxyEnabled" (a NO boolean) turn the proxy off.
//
// Interceptors are held weakly and may be registered and unregistered from any thread;
// installation runs once per process; proxy methods run where the platform calls the delegate
// (the main thread).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/class.h"
#include "sdk/utilities/utilities/vul_delegate_proxy_support.h"
#include "platform/foundation/thread_safety.h"

namespace platform {
class Application;
class ApplicationDelegate;
}  // namespace platform

inline constexpr std::string_view kVULAppDelegateSwizzlerService = "[VidezuUtilities/AppDelegateSwizzler]";
inline constexpr std::string_view kVULAppDelegateProxyEnabledKey = "VuduzaraAppDelegateProxyEnabled";
inline constexpr std::string_view kVULUtilitiesAppDelegateProxyEnabledKey = "VidezuUtilitiesAppDelegateProxyEnabled";

class VULAppDelegateSwizzler {
 public:
  static bool isAppDelegateProxyEnabled();

  // The interceptor (an object adopting the application delegate protocol) is held weakly; the
  // same object always gets the same ID. Nil or a non-conforming object fails an assertion;
  // when the assertion handler returns, the answer is none.
  static std::optional<std::string> registerAppDelegateInterceptor(
      const std::shared_ptr<platform::runtime::Object>& interceptor);
  // No ID stands for nil.
  static void unregisterAppDelegateInterceptorWithID(const std::optional<std::string>& interceptorID);

  static void proxyOriginalDelegate();
  static void proxyOriginalDelegateIncludingAPNSMethods();

  // Null in an application extension.
  static std::shared_ptr<platform::Application> sharedApplication();
  static VULInterceptorRegistry& interceptors();
  static void clearInterceptors();
  // The delegate held since the proxy was installed, until the application replaces it.
  static std::shared_ptr<platform::ApplicationDelegate> originalDelegate();
  static void resetProxyOriginalDelegateOnceToken();

  static std::string correctAppDelegateProxyKey();
  static std::string correctAlternativeWhenAppDelegateProxyNotCreated();

  // The steps of installation.
  static void proxyAppDelegate(const std::shared_ptr<platform::runtime::Object>& appDelegate);
  static std::shared_ptr<const platform::runtime::Class> createSubclassWithObject(platform::runtime::Object& anObject);
  static void reassignAppDelegate();
  static void proxyRemoteNotificationsMethodsWithAppDelegateSubClass(
      const std::shared_ptr<const platform::runtime::Class>& appDelegateSubClass,
      const std::shared_ptr<const platform::runtime::Class>& realClass, platform::runtime::Object& appDelegate,
      VULRealImplementations& realImplementationsBySelector);
  static void proxyDestinationSelector(std::string_view destinationSelector,
                                       std::string_view implementationsFromSourceSelector,
                                       const platform::runtime::Class& fromClass,
                                       const platform::runtime::Class& toClass,
                                       const platform::runtime::Class& realClass,
                                       VULRealImplementations& storeDestinationImplementationTo);
  static void addInstanceMethodWithSelector(std::string_view selector, const platform::runtime::Class& fromClass,
                                            const platform::runtime::Class& toClass);
  static void addInstanceMethodWithDestinationSelector(std::string_view destinationSelector,
                                                       std::string_view withImplementationFromSourceSelector,
                                                       const platform::runtime::Class& fromClass,
                                                       const platform::runtime::Class& toClass);
  static platform::runtime::IMP implementationOfMethodSelector(std::string_view selector,
                                                               const platform::runtime::Class& fromClass);
  static platform::runtime::IMP originalImplementationForSelector(std::string_view selector,
                                                                  const platform::runtime::Object& object);
  static void notifyInterceptorsWithMethodSelector(
      std::string_view methodSelector, const std::function<void(platform::runtime::Object& interceptor)>& callback);

  // Tests only: as in a fresh process (no interceptors, tokens cleared, nothing held or observed).
  static void resetForTesting();

  // The runtime class "VULAppDelegateSwizzler" that donates the proxy methods.
  static std::shared_ptr<const platform::runtime::Class> donorClass();

 private:
  friend class VULAppDelegateObserver;
  static void releaseHeldDelegate();
};

// Watches the application's "delegate": once the application replaces the held delegate, the
// swizzler lets it go.
class VULAppDelegateObserver {
 public:
  static VULAppDelegateObserver& sharedInstance();
  bool isObserving() const;
  void observeUIApplication();

 private:
  friend class VULAppDelegateSwizzler;
  void stopObserving();
  void observeValueForDelegate(const std::shared_ptr<platform::ApplicationDelegate>& oldDelegate,
                               const std::shared_ptr<platform::ApplicationDelegate>& newDelegate);

  mutable platform::Mutex mutex_;
  bool isObserving_ GUARDED_BY(mutex_) = false;
  std::weak_ptr<platform::Application> observed_ GUARDED_BY(mutex_);
  int observerID_ GUARDED_BY(mutex_) = 0;
};
