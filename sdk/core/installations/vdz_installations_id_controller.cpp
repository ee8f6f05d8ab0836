#include "sdk/core/installations/vdz_installations_id_controller.h"

#include "platform/foundation/notification_center.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/core/core/vdz_logger.h"
#include "sdk/core/installations/vdz_installations_api_service.h"
#include "sdk/core/installations/vdz_installations_backoff_controller.h"
#include "sdk/core/installations/vdz_installations_errors.h"
#include "sdk/core/installations/vdz_installations_iid_store.h"
#include "sdk/core/installations/vdz_installations_store.h"
#include "sdk/utilities/promises/vul_keychain_storage.h"

using platform::Error;
using Controller = VDZInstallationsIDController;
using ItemPtr = Controller::ItemPtr;
using ItemPromise = Controller::ItemPromise;
using VoidPromise = VBLPromise<VBLVoid>;

namespace {

constexpr std::string_view kService = kVDZInstallationsLoggerService;

Error controllerGoneError() {
  return VDZInstallationsErrorUtil::installationsErrorWithCode(VDZInstallationsErrorCodeUnknown,
                                                               std::string("The installation client is gone."), nullptr);
}

template <class T, class F>
std::shared_ptr<VBLPromise<T>> withController(const std::weak_ptr<Controller>& weak, F work) {
  auto self = weak.lock();
  if (!self) return VDZInstallationsErrorUtil::rejectedPromiseWithError<T>(controllerGoneError());
  return work(*self);
}

bool isHTTPErrorWithStatus(const Error& error, std::initializer_list<std::int64_t> statuses) {
  auto http = VDZInstallationsHTTPError::fromError(error);
  if (!http) return false;
  for (auto status : statuses) {
    if (http->statusCode() == status) return true;
  }
  return false;
}

}  // namespace

std::shared_ptr<Controller> Controller::initWithVidezuAppID(const std::string& appID, const std::string& appName,
                                                            const std::string& APIKey, const std::string& projectID,
                                                            const std::optional<std::string>& VCMSenderID,
                                                            const std::optional<std::string>& accessGroup) {
  auto secureStorage = VULKeychainStorage::initWithService(keychainServiceWithAppID(appID));
  return initWithVidezuAppID(appID, appName, std::make_shared<VDZInstallationsStore>(secureStorage, accessGroup),
                             std::make_shared<VDZInstallationsAPIService>(APIKey, projectID),
                             std::make_shared<VDZInstallationsIIDStore>(),
                             std::make_shared<VDZInstallationsIIDTokenStore>(VCMSenderID),
                             std::make_shared<VDZInstallationsBackoffController>());
}

std::shared_ptr<Controller> Controller::initWithVidezuAppID(
    const std::string& appID, const std::string& appName, std::shared_ptr<VDZInstallationsStore> installationsStore,
    std::shared_ptr<VDZInstallationsAPIService> APIService, std::shared_ptr<VDZInstallationsIIDStore> IIDStore,
    std::shared_ptr<VDZInstallationsIIDTokenStore> IIDTokenStore,
    std::shared_ptr<VDZInstallationsBackoffControllerProtocol> backoffController) {
  auto controller = std::make_shared<Controller>(Private{}, appID, appName, std::move(installationsStore),
                                                 std::move(APIService), std::move(IIDStore), std::move(IIDTokenStore),
                                                 std::move(backoffController));
  std::weak_ptr<Controller> weak = controller;
  using ItemCache = VDZInstallationsSingleOperationPromiseCache<ItemPtr>;
  controller->getInstallationPromiseCache_ = std::make_shared<ItemCache>(
      [weak] { return withController<ItemPtr>(weak, [](Controller& c) { return c.createGetInstallationItemPromise(); }); });
  controller->authTokenPromiseCache_ = std::make_shared<ItemCache>([weak] {
    return withController<ItemPtr>(weak,
                                   [](Controller& c) { return c.installationWithValidAuthTokenForcingRefresh(false); });
  });
  controller->authTokenForcingRefreshPromiseCache_ = std::make_shared<ItemCache>([weak] {
    return withController<ItemPtr>(weak,
                                   [](Controller& c) { return c.installationWithValidAuthTokenForcingRefresh(true); });
  });
  controller->deleteInstallationPromiseCache_ = std::make_shared<VDZInstallationsSingleOperationPromiseCache<VBLVoid>>(
      [weak] { return withController<VBLVoid>(weak, [](Controller& c) { return c.createDeleteInstallationPromise(); }); });
  return controller;
}

Controller::VDZInstallationsIDController(Private, std::string appID, std::string appName,
                                         std::shared_ptr<VDZInstallationsStore> installationsStore,
                                         std::shared_ptr<VDZInstallationsAPIService> APIService,
                                         std::shared_ptr<VDZInstallationsIIDStore> IIDStore,
                                         std::shared_ptr<VDZInstallationsIIDTokenStore> IIDTokenStore,
                                         std::shared_ptr<VDZInstallationsBackoffControllerProtocol> backoffController)
    : appID_(std::move(appID)),
      appName_(std::move(appName)),
      installationsStore_(std::move(installationsStore)),
      APIService_(std::move(APIService)),
      IIDStore_(std::move(IIDStore)),
      IIDTokenStore_(std::move(IIDTokenStore)),
      backoffController_(std::move(backoffController)) {}

std::string Controller::keychainServiceWithAppID(std::string_view) {
  return std::string(kVDZInstallationsKeychainService);
}

bool Controller::isDefaultApp() const { return appName_ == kVDZDefaultAppName; }

std::shared_ptr<ItemPromise> Controller::getInstallationItem() {
  return getInstallationPromiseCache_->getExistingPendingOrCreateNewPromise();
}

std::shared_ptr<ItemPromise> Controller::getAuthTokenForcingRefresh(bool forceRefresh) {
  if (forceRefresh || authTokenForcingRefreshPromiseCache_->getExistingPendingPromise()) {
    return authTokenForcingRefreshPromiseCache_->getExistingPendingOrCreateNewPromise();
  }
  return authTokenPromiseCache_->getExistingPendingOrCreateNewPromise();
}

std::shared_ptr<VoidPromise> Controller::deleteInstallation() {
  return deleteInstallationPromiseCache_->getExistingPendingOrCreateNewPromise();
}

// ---- Get or create ----

std::shared_ptr<ItemPromise> Controller::createGetInstallationItemPromise() {
  VDZLoggerLogDebug(kService, "I-FIS002000", "%s, appName: %@",
                    "-[VDZInstallationsIDController createGetInstallationItemPromise]", appName_);
  auto self = shared_from_this();
  std::weak_ptr<Controller> weak = self;
  return getStoredInstallation()
      ->recover([weak](const Error&) {
        return withController<ItemPtr>(weak, [](Controller& c) { return c.createAndSaveFID(); });
      })
      ->then([weak](const ItemPtr& installation) {
        // Registers and fetches a token in the background; its outcome is not this operation's.
        if (auto c = weak.lock()) c->getAuthTokenForcingRefresh(false);
        return installation;
      });
}

std::shared_ptr<ItemPromise> Controller::getStoredInstallation() {
  return installationsStore_->installationForAppID(appID_, appName_)
      ->then([](const ItemPtr& installation) -> VBLResult<ItemPtr> {
        Error error;
        if (!installation->isValid(&error)) {
          VDZLoggerLogWarning(kService, "I-FIS002004", "Stored installation validation error: %@",
                              error.localizedDescription());
          return error;
        }
        return installation;
      });
}

std::shared_ptr<ItemPromise> Controller::createAndSaveFID() {
  auto self = shared_from_this();
  return migrateOrGenerateInstallation()
      ->then([self](const ItemPtr& installation) { return self->saveInstallation(installation); })
      ->then([self](const ItemPtr& installation) {
        self->postFIDDidChangeNotification();
        return installation;
      });
}

std::shared_ptr<ItemPromise> Controller::migrateOrGenerateInstallation() {
  auto self = shared_from_this();
  if (!isDefaultApp()) {
    return ItemPromise::resolvedWith(createInstallationWithFID(VDZInstallationsItem::generateFID(), std::nullopt));
  }
  auto legacyID = IIDStore_->existingIID();
  auto legacyToken = IIDTokenStore_->existingIIDDefaultToken();
  return legacyID
      ->then([legacyToken](const std::string& IID) {
        return legacyToken->then([IID](const std::string& token) { return std::make_pair(IID, token); });
      })
      ->then([self](const std::pair<std::string, std::string>& legacy) {
        return self->createInstallationWithFID(legacy.first, legacy.second);
      })
      ->recover([self](const Error&) {
        return self->createInstallationWithFID(VDZInstallationsItem::generateFID(), std::nullopt);
      });
}

ItemPtr Controller::createInstallationWithFID(const std::string& FID,
                                              const std::optional<std::string>& IIDDefaultToken) const {
  auto installation = std::make_shared<VDZInstallationsItem>(appID_, appName_);
  installation->vuduzaraInstallationID = FID;
  installation->IIDDefaultToken = IIDDefaultToken;
  installation->registrationStatus = VDZInstallationsRegistrationStatusUnregistered;
  return installation;
}

std::shared_ptr<ItemPromise> Controller::saveInstallation(const ItemPtr& installation) {
  return installationsStore_->saveInstallation(installation)->then([installation](const VBLVoid&) {
    return installation;
  });
}

// ---- Registration and tokens ----

std::shared_ptr<ItemPromise> Controller::registerInstallationIfNeeded(const ItemPtr& installation,
                                                                     bool countSuccess) {
  if (installation->registrationStatus == VDZInstallationsRegistrationStatusRegistered) {
    return ItemPromise::resolvedWith(installation);
  }
  if (!backoffController_->isNextRequestAllowed()) {
    return VDZInstallationsErrorUtil::rejectedPromiseWithError<ItemPtr>(
        VDZInstallationsErrorUtil::backoffIntervalWaitError());
  }
  auto self = shared_from_this();
  const std::optional<std::string> sentFID = installation->vuduzaraInstallationID;
  return APIService_->registerInstallation(installation)
      ->catch_([self](const Error& error) {
        self->updateBackoffWithSuccess(false, &error);
        if (isHTTPErrorWithStatus(error, {400, 403, 404})) {
          VDZLoggerLogError(kService, "I-FIS002003",
                            "Vuduzara Installation registration failed for app with name: %@, error:\n%@\nPlease "
                            "make sure you use valid VidezuService-Info.plist",
                            self->appName_, error.localizedFailureReason());
        }
      })
      ->then([self, countSuccess](const ItemPtr& registered) {
        if (countSuccess) self->updateBackoffWithSuccess(true, nullptr);
        return self->saveInstallation(registered);
      })
      ->then([self, sentFID](const ItemPtr& registered) {
        if (registered->vuduzaraInstallationID != sentFID) self->postFIDDidChangeNotification();
        return registered;
      });
}

std::shared_ptr<ItemPromise> Controller::installationWithValidAuthTokenForcingRefresh(bool forceRefresh,
                                                                                    bool startingOver) {
  VDZLoggerLogDebug(kService, "I-FIS002001",
                    "-[VDZInstallationsIDController installationWithValidAuthTokenForcingRefresh:%@], appName: %@",
                    forceRefresh ? 1 : 0, appName_);
  auto self = shared_from_this();
  // A successor's registration counts as a success only once its token works, so that a service
  // refusing each successor in turn makes the backoff grow.
  return getInstallationItem()
      ->then([self, startingOver](const ItemPtr& installation) {
        return self->registerInstallationIfNeeded(installation, !startingOver);
      })
      ->then([self, forceRefresh](const ItemPtr& installation) {
        const auto expiration = installation->authToken ? installation->authToken->expirationDate : std::nullopt;
        const double left = expiration ? expiration->timeIntervalSince(platform::Date::now()) : 0;
        if (!forceRefresh && left >= kVDZInstallationsTokenExpirationThresholdSeconds) {
          return ItemPromise::resolvedWith(installation);
        }
        return self->refreshAuthTokenForInstallation(installation);
      })
      ->recover([self, startingOver](const Error& error) {
        if (!startingOver) return self->regenerateFIDOnRefreshTokenErrorIfNeeded(error);
        // The service refused the installation it has just registered. Starting over again at once
        // would never end; the caller hears of it, and the next try waits for the backoff.
        if (isHTTPErrorWithStatus(error, {404, 401})) {
          self->backoffController_->registerEvent(VDZInstallationsBackoffEventRecoverableFailure);
        }
        return VDZInstallationsErrorUtil::rejectedPromiseWithError<ItemPtr>(error);
      });
}

std::shared_ptr<ItemPromise> Controller::refreshAuthTokenForInstallation(const ItemPtr& installation) {
  if (!backoffController_->isNextRequestAllowed()) {
    return VDZInstallationsErrorUtil::rejectedPromiseWithError<ItemPtr>(
        VDZInstallationsErrorUtil::backoffIntervalWaitError());
  }
  auto self = shared_from_this();
  return APIService_->refreshAuthTokenForInstallation(installation)
      ->catch_([self](const Error& error) { self->updateBackoffWithSuccess(false, &error); })
      ->then([self](const ItemPtr& refreshed) {
        self->updateBackoffWithSuccess(true, nullptr);
        return self->saveInstallation(refreshed);
      });
}

std::shared_ptr<ItemPromise> Controller::regenerateFIDOnRefreshTokenErrorIfNeeded(const Error& error) {
  if (!isHTTPErrorWithStatus(error, {404, 401})) {
    return VDZInstallationsErrorUtil::rejectedPromiseWithError<ItemPtr>(error);
  }
  auto self = shared_from_this();
  return getInstallationItem()
      ->then([self](const ItemPtr& installation) { return self->deleteInstallationLocally(installation); })
      ->then([self](const ItemPtr&) { return self->installationWithValidAuthTokenForcingRefresh(false, true); });
}

// ---- Deletion ----

std::shared_ptr<VoidPromise> Controller::createDeleteInstallationPromise() {
  VDZLoggerLogDebug(kService, "I-FIS002002", "%s, appName: %@",
                    "-[VDZInstallationsIDController createDeleteInstallationPromise]", appName_);
  auto self = shared_from_this();
  auto start = mostRecentInstallationOperation();
  if (!start) start = getStoredInstallation();
  return start->then([self](const ItemPtr& installation) { return self->sendDeleteInstallationRequestIfNeeded(installation); })
      ->then([self](const ItemPtr& installation) { return self->deleteInstallationLocally(installation); })
      ->then([](const ItemPtr&) { return VBLVoid{}; });
}

std::shared_ptr<ItemPromise> Controller::mostRecentInstallationOperation() {
  if (auto p = authTokenForcingRefreshPromiseCache_->getExistingPendingPromise()) return p;
  if (auto p = authTokenPromiseCache_->getExistingPendingPromise()) return p;
  return getInstallationPromiseCache_->getExistingPendingPromise();
}

std::shared_ptr<ItemPromise> Controller::sendDeleteInstallationRequestIfNeeded(const ItemPtr& installation) {
  if (installation->registrationStatus <= VDZInstallationsRegistrationStatusUnregistered) {
    return ItemPromise::resolvedWith(installation);
  }
  return APIService_->deleteInstallation(installation)->recover([installation](const Error& error) -> VBLResult<ItemPtr> {
    if (VDZInstallationsErrorUtil::isAPIError(error, 404)) return installation;
    return error;
  });
}

std::shared_ptr<ItemPromise> Controller::deleteInstallationLocally(const ItemPtr& installation) {
  auto self = shared_from_this();
  return installationsStore_->removeInstallationForAppID(installation->appID(), installation->vuduzaraAppName())
      ->then([self](const VBLVoid&) { return self->deleteExistingIIDIfNeeded(); })
      ->then([self, installation](const VBLVoid&) {
        self->postFIDDidChangeNotification();
        return installation;
      });
}

std::shared_ptr<VoidPromise> Controller::deleteExistingIIDIfNeeded() {
  if (isDefaultApp()) return IIDStore_->deleteExistingIID();
  return VoidPromise::resolvedWith(VBLVoid{});
}

void Controller::updateBackoffWithSuccess(bool success, const Error* APIError) {
  if (success) {
    backoffController_->registerEvent(VDZInstallationsBackoffEventSuccess);
    return;
  }
  auto http = APIError ? VDZInstallationsHTTPError::fromError(*APIError) : std::nullopt;
  // Connection failures say nothing about the service.
  if (!http) return;
  switch (http->statusCode()) {
    case 400:
    case 403:
      backoffController_->registerEvent(VDZInstallationsBackoffEventUnrecoverableFailure);
      break;
    case 401:
    case 404:
      break;
    default:
      backoffController_->registerEvent(VDZInstallationsBackoffEventRecoverableFailure);
      break;
  }
}

void Controller::postFIDDidChangeNotification() const {
  platform::NotificationCenter::defaultCenter().post(
      std::string(kVDZInstallationIDDidChangeNotification), nullptr,
      {{std::string(kVDZInstallationIDDidChangeNotificationAppNameKey), platform::Value(appName_)}});
}
