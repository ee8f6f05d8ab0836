#include "sdk/core/installations/vdz_installations_store.h"

#include "platform/dispatch/dispatch_queue.h"
#include "sdk/core/core/vdz_logger.h"
#include "sdk/core/installations/vdz_installations_errors.h"
#include "sdk/utilities/promises/vul_keychain_storage.h"
#include "sdk/utilities/utilities/vul_user_defaults.h"

using platform::ArchiveObject;
using Void = VBLPromise<VBLVoid>;

VDZInstallationsStore::VDZInstallationsStore(std::shared_ptr<VULKeychainStorage> secureStorage,
                                             std::optional<std::string> accessGroup)
    : secureStorage_(std::move(secureStorage)),
      accessGroup_(std::move(accessGroup)),
      queue_(platform::DispatchQueue::serial("com.vuduzara.VDZInstallationsStore")),
      userDefaults_(VULUserDefaults::initWithSuiteName(accessGroup_ && !accessGroup_->empty()
                                                           ? std::string_view(*accessGroup_)
                                                           : kVDZInstallationsStoreUserDefaultsID)) {
  VDZInstallationsRegisterArchiveClasses();
}

std::shared_ptr<VDZInstallationsStore::ItemPromise> VDZInstallationsStore::installationForAppID(
    const std::string& appID, const std::string& appName) {
  const std::string identifier = VDZInstallationsItem::identifierWithAppID(appID, appName);
  auto storage = secureStorage_;
  auto accessGroup = accessGroup_;
  return installationExistsForAppID(appID, appName)
      ->then([storage, identifier, accessGroup](const VBLVoid&) {
        return storage->getObjectForKey(identifier, kVDZInstallationsStoredItemClassName, accessGroup);
      })
      ->then([appID, appName](const ArchiveObject& object) -> VBLResult<std::shared_ptr<VDZInstallationsItem>> {
        auto stored = object.as<VDZInstallationsStoredItem>();
        if (!stored) return VDZInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName);
        // The identifier goes into request paths, and the keychain file outlives the app: a damaged
        // or planted one is no installation. An empty one is left to the record's validation.
        const auto& fid = stored->vuduzaraInstallationID;
        if (fid && !fid->empty() && !VDZInstallationsItem::isInstallationIDOrLegacyForm(*fid)) {
          VDZLoggerLogWarning(kVDZInstallationsLoggerService, "I-FIS003001",
                              "Stored installation for appID %@ appName %@ has an identifier of %ld bytes that is "
                              "not an installation ID; it is ignored.",
                              appID, appName, static_cast<long>(fid->size()));
          return VDZInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName);
        }
        auto item = std::make_shared<VDZInstallationsItem>(appID, appName);
        item->updateWithStoredItem(*stored);
        return item;
      });
}

std::shared_ptr<Void> VDZInstallationsStore::saveInstallation(const std::shared_ptr<VDZInstallationsItem>& installation) {
  const std::string identifier = installation->identifier();
  auto stored = installation->storedItem();
  auto defaults = userDefaults_;
  auto queue = queue_;
  return secureStorage_->setObject(ArchiveObject(std::shared_ptr<platform::Codable>(stored)), identifier, accessGroup_)
      ->then([defaults, queue, identifier](const VBLVoid&) {
        return Void::do_(queue, [defaults, identifier] {
          defaults->setObject(platform::Value(true), identifier);
          return VBLVoid{};
        });
      });
}

std::shared_ptr<Void> VDZInstallationsStore::removeInstallationForAppID(const std::string& appID,
                                                                        const std::string& appName) {
  const std::string identifier = VDZInstallationsItem::identifierWithAppID(appID, appName);
  auto defaults = userDefaults_;
  auto queue = queue_;
  return secureStorage_->removeObjectForKey(identifier, accessGroup_)->then([defaults, queue, identifier](const VBLVoid&) {
    return Void::do_(queue, [defaults, identifier] {
      defaults->removeObjectForKey(identifier);
      return VBLVoid{};
    });
  });
}

std::shared_ptr<Void> VDZInstallationsStore::installationExistsForAppID(const std::string& appID,
                                                                        const std::string& appName) {
  const std::string identifier = VDZInstallationsItem::identifierWithAppID(appID, appName);
  auto defaults = userDefaults_;
  return Void::do_(queue_, [defaults, identifier, appID, appName]() -> VBLResult<VBLVoid> {
    if (defaults->objectForKey(identifier).isNull()) {
      return VDZInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName);
    }
    return VBLVoid{};
  });
}

std::shared_ptr<Void> VDZInstallationsStore::setInstallationExists(bool exists, const std::string& identifier) {
  auto defaults = userDefaults_;
  return Void::do_(queue_, [defaults, identifier, exists] {
    if (exists) {
      defaults->setObject(platform::Value(true), identifier);
    } else {
      defaults->removeObjectForKey(identifier);
    }
    return VBLVoid{};
  });
}
