// The scene counterpart of VULAppDelegateSwizzler: once started, every scene that connects has
// its delegate's class changed to a generated subclass whose scene:openURLContexts: calls the
// registered interceptors first, then the delegate's own implementation. Scenes connected
// before the start are not visited. The same Info.plist switches turn it off.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/class.h"
#include "sdk/utilities/utilities/vul_delegate_proxy_support.h"

namespace platform {
struct Notification;
class Scene;
}  // namespace platform

inline constexpr std::string_view kVULSceneDelegateSwizzlerService = "[VidezuUtilities/SceneDelegateSwizzler]";

using VULSceneZeroingWeakContainer = VULZeroingWeakContainer;

class VULSceneDelegateSwizzler {
 public:
  static bool isSceneDelegateProxyEnabled();
  static void proxyOriginalSceneDelegate();

  // As the application-delegate registration, for objects adopting the scene delegate protocol.
  static std::optional<std::string> registerSceneDelegateInterceptor(
      const std::shared_ptr<platform::runtime::Object>& interceptor);
  static void unregisterSceneDelegateInterceptorWithID(const std::optional<std::string>& interceptorID);

  static VULInterceptorRegistry& interceptors();
  static void clearInterceptors();
  static std::string correctSceneDelegateProxyKey();

  static void handleSceneWillConnectToNotification(const platform::Notification& notification);
  static void proxySceneDelegateIfNeeded(const std::shared_ptr<platform::Scene>& scene);

  static platform::runtime::IMP originalImplementationForSelector(std::string_view selector,
                                                                  const platform::runtime::Object& object);
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
  static void notifyInterceptorsWithMethodSelector(
      std::string_view methodSelector, const std::function<void(platform::runtime::Object& interceptor)>& callback);

  // The runtime class "VULSceneDelegateSwizzler" that donates scene:openURLContexts:.
  static std::shared_ptr<const platform::runtime::Class> donorClass();

  // Tests only: lets proxyOriginalSceneDelegate start again and stops observing scenes.
  static void resetForTesting();
};
