#include "sdk/core/installations/vdz_installations.h"

#include <mutex>
#include <vector>

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/strings.h"
#include "platform/runtime/class.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/core/core/vdz_component_container.h"
#include "sdk/core/core/vdz_library.h"
#include "sdk/core/core/vdz_options.h"
#include "sdk/core/installations/vdz_installations_errors.h"
#include "sdk/core/installations/vdz_installations_id_controller.h"

using platform::Error;

namespace {

constexpr std::size_t kAPIKeyLength = 39;


std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

[[noreturn]] void raise(std::string reason) {
  throw platform::Exception(std::string(kVDZInstallationsExceptionName), std::move(reason));
}

}  // namespace

void VDZInstallations::load() {
  auto cls = platform::runtime::registerClassOnce(
      VDZLibrary::classDefinition<VDZInstallations>(std::string(kVDZInstallationsClassName)));
  VDZApp::registerInternalLibrary(cls, kVDZInstallationsLibraryName);
  static std::once_flag once;
  std::call_once(once, [] {
    // Obtains the default app's identifier as soon as the app is configured, as the analytics
    // engine does at its start, so that every launch registers or confirms the installation.
    // The observer's owner lives as long as the process.
    static const auto owner = std::make_shared<const int>(0);
    platform::NotificationCenter::defaultCenter().addObserver(
        std::weak_ptr<const void>(owner),
        std::string(kVDZAppReadyToConfigureSDKNotification), nullptr, [](const platform::Notification& note) {
          auto isDefault = note.userInfo.find(kVDZAppIsDefaultAppKey);
          if (isDefault == note.userInfo.end() || !isDefault->second.boolValue()) return;
          auto app = VDZApp::defaultApp();
          auto installations = app ? installationsWithApp(app) : nullptr;
          if (installations) installations->installationIDWithCompletion([](const auto&, const Error&) {});
        });
  });
}

VDZComponentList VDZInstallations::componentsToRegister() {
  return {VDZComponent::componentWithProtocol(
      platform::runtime::Protocol::of<VDZInstallationsInstanceProvider>(), VDZInstantiationTimingAlwaysEager, {},
      [](VDZComponentContainer& container, bool* isCacheable) -> std::shared_ptr<platform::runtime::Object> {
        auto app = container.app();
        if (!app) return nullptr;
        *isCacheable = true;
        return initWithApp(*app);
      })};
}

std::shared_ptr<VDZInstallations> VDZInstallations::installations() {
  auto app = VDZApp::defaultApp();
  if (!app) {
    raise(
        "The default VuduzaraApp instance must be configured before the defaultVuduzaraApp instance can be "
        "initialized. One way to ensure this is to call `VuduzaraApp.configure()` in the App  Delegate's "
        "`application(_:didFinishLaunchingWithOptions:)` (or the `@main` struct's initializer in SwiftUI).");
  }
  return installationsWithApp(app);
}

std::shared_ptr<VDZInstallations> VDZInstallations::installationsWithApp(const std::shared_ptr<VDZApp>& app) {
  if (!app) return nullptr;
  return std::dynamic_pointer_cast<VDZInstallations>(VDZComponentType::instanceForProtocol(
      platform::runtime::Protocol::of<VDZInstallationsInstanceProvider>(), app->container()));
}

std::shared_ptr<VDZInstallations> VDZInstallations::initWithApp(const VDZApp& app) {
  auto options = app.options();
  // Checked before the controller is made, so that bad options make no stores or sessions.
  validateAppOptions(*options, app.name());
  auto controller = VDZInstallationsIDController::initWithVidezuAppID(
      options->videzuAppID().value_or(""), app.name(), options->APIKey().value_or(""),
      options->projectID().value_or(""), options->VCMSenderID(), options->appGroupID());
  return initWithAppOptions(options, app.name(), std::move(controller), false);
}

std::shared_ptr<VDZInstallations> VDZInstallations::initWithAppOptions(
    const std::shared_ptr<VDZOptions>& options, const std::string& appName,
    std::shared_ptr<VDZInstallationsIDController> controller, bool prefetchAuthToken) {
  validateAppOptions(*options, appName);
  assertCompatibleIIDVersion();
  auto installations =
      std::make_shared<VDZInstallations>(Private{}, options->copy(), appName, std::move(controller));
  if (prefetchAuthToken) installations->authTokenWithCompletion([](const auto&, const Error&) {});
  return installations;
}

VDZInstallations::VDZInstallations(Private, std::shared_ptr<VDZOptions> options, std::string appName,
                                   std::shared_ptr<VDZInstallationsIDController> controller)
    : appOptions_(std::move(options)), appName_(std::move(appName)), controller_(std::move(controller)) {}

void VDZInstallations::validateAppOptions(const VDZOptions& options, std::string_view appName) {
  std::vector<std::string> missing;
  const auto empty = [](const std::optional<std::string>& s) { return !s || s->empty(); };
  if (appName.empty()) missing.emplace_back("`VuduzaraApp.name`");
  if (empty(options.APIKey())) missing.emplace_back("`VuduzaraOptions.APIKey`");
  if (empty(options.videzuAppID())) missing.emplace_back("`VuduzaraOptions.videzuAppID`");
  if (empty(options.projectID())) missing.emplace_back("`VuduzaraOptions.projectID`");
  if (!missing.empty()) {
    raise(platform::format(
        "%@[%@] Could not configure Vuduzara Installations due to invalid VuduzaraApp options. The following "
        "parameters are nil or empty: %@. If you use VidezuServices-Info.plist please download the most recent "
        "version from the Vuduzara Console. If you configure Vuduzara in code, please make sure you specify all "
        "required parameters.",
        kVDZInstallationsLoggerService, "I-FIS008000", joined(missing)));
  }
  validateAPIKey(*options.APIKey());
}

void VDZInstallations::validateAPIKey(std::string_view APIKey) {
  std::vector<std::string> failures;
  if (platform::strings::utf16Length(APIKey) != kAPIKeyLength) {
    failures.push_back(platform::format("API Key length must be %lu characters", static_cast<unsigned long>(kAPIKeyLength)));
  }
  if (APIKey.empty() || APIKey.front() != 'A') failures.emplace_back("API Key must start with `A`");
  // Never destroyed: the instance may be made on a worker, which may still be at it while the process exits.
  static const auto* const allowed = new platform::strings::CharacterSet(
      platform::strings::CharacterSet::alphanumeric().unionWith(platform::strings::CharacterSet::characters("-_")));
  if (!platform::strings::allCharactersIn(APIKey, *allowed)) {
    failures.emplace_back("API Key must contain only base64 url-safe characters characters");
  }
  if (failures.empty()) return;
  raise(platform::format(
      "%@[%@] Could not configure Vuduzara Installations due to invalid VuduzaraApp options. "
      "`VuduzaraOptions.APIKey` doesn't match the expected format: %@. If you use VidezuServices-Info.plist please "
      "download the most recent version from the Vuduzara Console. If you configure Vuduzara in code, please make sure "
      "you specify all required parameters.",
      kVDZInstallationsLoggerService, "I-FIS008000", joined(failures)));
}

bool VDZInstallations::isIIDVersionCompatible() {
  auto legacy = platform::runtime::classNamed(kVDZInstallationsLegacyIIDClassName);
  return !legacy || legacy->respondsToSelector(kVDZInstallationsLegacyIIDUsesFISSelector);
}

void VDZInstallations::assertCompatibleIIDVersion() {
  if (isIIDVersionCompatible()) return;
  raise(
      "Vuduzara Instance ID is not compatible with Vuduzara 8.x+. Please remove the dependency from the app. See the "
      "documentation at https://docs.vuduzara.invalid/installations/migration.");
}

void VDZInstallations::installationIDWithCompletion(IDHandler completion) {
  controller_->getInstallationItem()->observeOnQueue(
      VBLPromiseBase::defaultDispatchQueue(),
      [completion](const std::shared_ptr<VDZInstallationsItem>& installation) {
        completion(installation->vuduzaraInstallationID, Error());
      },
      [completion](const Error& error) {
        completion(std::nullopt, VDZInstallationsErrorUtil::publicDomainErrorWithError(error));
      });
}

void VDZInstallations::authTokenWithCompletion(TokenHandler completion) {
  authTokenForcingRefresh(false, std::move(completion));
}

void VDZInstallations::authTokenForcingRefresh(bool forceRefresh, TokenHandler completion) {
  controller_->getAuthTokenForcingRefresh(forceRefresh)
      ->observeOnQueue(
          VBLPromiseBase::defaultDispatchQueue(),
          [completion](const std::shared_ptr<VDZInstallationsItem>& installation) {
            const auto& token = installation->authToken;
            completion(std::make_shared<VDZInstallationsAuthTokenResult>(
                           token && token->token ? *token->token : std::string(),
                           token && token->expirationDate ? *token->expirationDate : platform::Date()),
                       Error());
          },
          [completion](const Error& error) {
            completion(nullptr, VDZInstallationsErrorUtil::publicDomainErrorWithError(error));
          });
}

void VDZInstallations::deleteWithCompletion(DeleteHandler completion) {
  controller_->deleteInstallation()->observeOnQueue(
      VBLPromiseBase::defaultDispatchQueue(), [completion](const VBLVoid&) { completion(Error()); },
      [completion](const Error& error) { completion(VDZInstallationsErrorUtil::publicDomainErrorWithError(error)); });
}
