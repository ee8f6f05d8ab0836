// The state machine behind the installation client, one per app: finds or creates the stored
// installation (reusing the legacy identifier in the default app), registers it, keeps a valid
// auth token, makes a new installation when the service forgot the old one, deletes it, and
// posts the identifier-change notification. One operation of each kind is in flight at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sdk/core/installations/vdz_installations_item.h"
#include "sdk/core/installations/vdz_installations_single_operation_promise_cache.h"
#include "sdk/utilities/promises/vbl_promise.h"

class VDZInstallationsAPIService;
class VDZInstallationsBackoffControllerProtocol;
class VDZInstallationsIIDStore;
class VDZInstallationsIIDTokenStore;
class VDZInstallationsStore;

inline constexpr std::string_view kVDZInstallationIDDidChangeNotification = "VDZInstallationIDDidChangeNotification";
inline constexpr std::string_view kVDZInstallationIDDidChangeNotificationAppNameKey =
    "VDZInstallationIDDidChangeNotification";
inline constexpr std::string_view kVDZInstallationsKeychainService = "com.vuduzara.VDZInstallations.installations";
// A token with less time left than this is refreshed before use.
inline constexpr double kVDZInstallationsTokenExpirationThresholdSeconds = 60 * 60;

class VDZInstallationsIDController : public std::enable_shared_from_this<VDZInstallationsIDController> {
  struct Private {};

 public:
  using ItemPtr = std::shared_ptr<VDZInstallationsItem>;
  using ItemPromise = VBLPromise<ItemPtr>;

  static std::shared_ptr<VDZInstallationsIDController> initWithVidezuAppID(
      const std::string& appID, const std::string& appName, const std::string& APIKey, const std::string& projectID,
      const std::optional<std::string>& VCMSenderID, const std::optional<std::string>& accessGroup);
  static std::shared_ptr<VDZInstallationsIDController> initWithVidezuAppID(
      const std::string& appID, const std::string& appName, std::shared_ptr<VDZInstallationsStore> installationsStore,
      std::shared_ptr<VDZInstallationsAPIService> APIService, std::shared_ptr<VDZInstallationsIIDStore> IIDStore,
      std::shared_ptr<VDZInstallationsIIDTokenStore> IIDTokenStore,
      std::shared_ptr<VDZInstallationsBackoffControllerProtocol> backoffController);

  VDZInstallationsIDController(Private, std::string appID, std::string appName,
                               std::shared_ptr<VDZInstallationsStore> installationsStore,
                               std::shared_ptr<VDZInstallationsAPIService> APIService,
                               std::shared_ptr<VDZInstallationsIIDStore> IIDStore,
                               std::shared_ptr<VDZInstallationsIIDTokenStore> IIDTokenStore,
                               std::shared_ptr<VDZInstallationsBackoffControllerProtocol> backoffController);

  static std::string keychainServiceWithAppID(std::string_view appID);

  std::shared_ptr<ItemPromise> getInstallationItem();
  std::shared_ptr<ItemPromise> getAuthTokenForcingRefresh(bool forceRefresh);
  std::shared_ptr<VBLPromise<VBLVoid>> deleteInstallation();

  const std::string& appID() const { return appID_; }
  const std::string& appName() const { return appName_; }
  bool isDefaultApp() const;

 private:
  std::shared_ptr<ItemPromise> createGetInstallationItemPromise();
  std::shared_ptr<ItemPromise> getStoredInstallation();
  std::shared_ptr<ItemPromise> createAndSaveFID();
  std::shared_ptr<ItemPromise> migrateOrGenerateInstallation();
  ItemPtr createInstallationWithFID(const std::string& FID, const std::optional<std::string>& IIDDefaultToken) const;
  std::shared_ptr<ItemPromise> saveInstallation(const ItemPtr& installation);
  // `countSuccess`: whether an accepted registration tells the backoff of a success at once.
  std::shared_ptr<ItemPromise> registerInstallationIfNeeded(const ItemPtr& installation, bool countSuccess = true);
  // `startingOver`: the installation the service no longer knew was just deleted, and this makes
  // and registers its successor; that one's failures end the operation instead of starting over.
  std::shared_ptr<ItemPromise> installationWithValidAuthTokenForcingRefresh(bool forceRefresh,
                                                                          bool startingOver = false);
  std::shared_ptr<ItemPromise> refreshAuthTokenForInstallation(const ItemPtr& installation);
  std::shared_ptr<ItemPromise> regenerateFIDOnRefreshTokenErrorIfNeeded(const platform::Error& error);
  std::shared_ptr<VBLPromise<VBLVoid>> createDeleteInstallationPromise();
  std::shared_ptr<ItemPromise> mostRecentInstallationOperation();
  std::shared_ptr<ItemPromise> sendDeleteInstallationRequestIfNeeded(const ItemPtr& installation);
  std::shared_ptr<ItemPromise> deleteInstallationLocally(const ItemPtr& installation);
  std::shared_ptr<VBLPromise<VBLVoid>> deleteExistingIIDIfNeeded();
  void updateBackoffWithSuccess(bool success, const platform::Error* APIError);
  void postFIDDidChangeNotification() const;

  const std::string appID_;
  const std::string appName_;
  const std::shared_ptr<VDZInstallationsStore> installationsStore_;
  const std::shared_ptr<VDZInstallationsAPIService> APIService_;
  const std::shared_ptr<VDZInstallationsIIDStore> IIDStore_;
  const std::shared_ptr<VDZInstallationsIIDTokenStore> IIDTokenStore_;
  const std::shared_ptr<VDZInstallationsBackoffControllerProtocol> backoffController_;
  std::shared_ptr<VDZInstallationsSingleOperationPromiseCache<ItemPtr>> getInstallationPromiseCache_;
  std::shared_ptr<VDZInstallationsSingleOperationPromiseCache<ItemPtr>> authTokenPromiseCache_;
  std::shared_ptr<VDZInstallationsSingleOperationPromiseCache<ItemPtr>> authTokenForcingRefreshPromiseCache_;
  std::shared_ptr<VDZInstallationsSingleOperationPromiseCache<VBLVoid>> deleteInstallationPromiseCache_;
};
