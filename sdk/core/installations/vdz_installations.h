// The public face of the installation-identity client, one instance per configured app: the
// installation identifier (FID), auth tokens and deletion, as completion blocks on the main
// queue. Registered as library "vud-install" and created eagerly whenever an app is configured.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/date.h"
#include "platform/foundation/error.h"
#include "platform/runtime/object.h"
#include "sdk/core/core/vdz_component.h"

class VDZApp;
class VDZInstallationsIDController;
class VDZOptions;

inline constexpr std::string_view kVDZInstallationsLibraryName = "vud-install";
inline constexpr std::string_view kVDZInstallationsClassName = "VDZInstallations";
// A legacy identifier library that predates this client must declare that it uses it.
inline constexpr std::string_view kVDZInstallationsLegacyIIDClassName = "VDZInstanceID";
inline constexpr std::string_view kVDZInstallationsLegacyIIDUsesFISSelector = "usesFIS";

class VDZInstallationsInstanceProvider : public virtual platform::runtime::Object {
 public:
  static constexpr std::string_view kProtocolName = "VDZInstallationsInstanceProvider";
};

class VDZInstallationsAuthTokenResult {
 public:
  VDZInstallationsAuthTokenResult(std::string token, platform::Date expirationDate)
      : authToken_(std::move(token)), expirationDate_(expirationDate) {}
  const std::string& authToken() const { return authToken_; }
  platform::Date expirationDate() const { return expirationDate_; }

 private:
  std::string authToken_;
  platform::Date expirationDate_;
};

class VDZInstallations final : public VDZInstallationsInstanceProvider,
                               public std::enable_shared_from_this<VDZInstallations> {
  struct Private {};

 public:
  using IDHandler = std::function<void(const std::optional<std::string>& identifier, const platform::Error& error)>;
  using TokenHandler = std::function<void(const std::shared_ptr<VDZInstallationsAuthTokenResult>& result,
                                          const platform::Error& error)>;
  using DeleteHandler = std::function<void(const platform::Error& error)>;

  // The load hook: registers the class with the runtime and as library "vud-install".
  static void load();
  static VDZComponentList componentsToRegister();

  // The default app's instance; raises "com.vuduzara.installations" when there is no default app.
  static std::shared_ptr<VDZInstallations> installations();
  static std::shared_ptr<VDZInstallations> installationsWithApp(const std::shared_ptr<VDZApp>& app);

  // Each raises "com.vuduzara.installations" for options that cannot work.
  static std::shared_ptr<VDZInstallations> initWithApp(const VDZApp& app);
  static std::shared_ptr<VDZInstallations> initWithAppOptions(const std::shared_ptr<VDZOptions>& options,
                                                              const std::string& appName,
                                                              std::shared_ptr<VDZInstallationsIDController> controller,
                                                              bool prefetchAuthToken);
  VDZInstallations(Private, std::shared_ptr<VDZOptions> options, std::string appName,
                   std::shared_ptr<VDZInstallationsIDController> controller);

  static void validateAppOptions(const VDZOptions& options, std::string_view appName);
  static void validateAPIKey(std::string_view APIKey);
  static bool isIIDVersionCompatible();
  static void assertCompatibleIIDVersion();

  void installationIDWithCompletion(IDHandler completion);
  void authTokenWithCompletion(TokenHandler completion);
  void authTokenForcingRefresh(bool forceRefresh, TokenHandler completion);
  void deleteWithCompletion(DeleteHandler completion);

  const std::string& appName() const { return appName_; }
  const std::shared_ptr<VDZInstallationsIDController>& installationsIDController() const { return controller_; }

 private:
  const std::shared_ptr<VDZOptions> appOptions_;
  const std::string appName_;
  const std::shared_ptr<VDZInstallationsIDController> controller_;
};
