#include "sdk/utilities/promises/vul_keychain_storage.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/security/keychain.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "sdk/utilities/utilities/vul_keychain_utils.h"
#include "sdk/utilities/utilities/vul_secure_coding.h"
#include "platform/foundation/thread_safety.h"

using platform::ArchiveObject;
using platform::Value;

std::optional<ArchiveObject> VULKeychainStorageCache::objectForKey(std::string_view key) const {
  platform::MutexLock lock(mutex_);
  for (const auto& [k, object] : entries_) {
    if (k == key) return object;
  }
  return std::nullopt;
}

void VULKeychainStorageCache::setObject(ArchiveObject object, std::string key) {
  platform::MutexLock lock(mutex_);
  std::erase_if(entries_, [&](const auto& entry) { return entry.first == key; });
  entries_.emplace_back(std::move(key), std::move(object));
  while (countLimit_ > 0 && entries_.size() > countLimit_) entries_.pop_front();
}

void VULKeychainStorageCache::removeObjectForKey(std::string_view key) {
  platform::MutexLock lock(mutex_);
  std::erase_if(entries_, [&](const auto& entry) { return entry.first == key; });
}

void VULKeychainStorageCache::removeAllObjects() {
  platform::MutexLock lock(mutex_);
  entries_.clear();
}

std::shared_ptr<VULKeychainStorage> VULKeychainStorage::initWithService(std::string service) {
  return initWithService(std::move(service), std::make_shared<VULKeychainStorageCache>(5));
}

std::shared_ptr<VULKeychainStorage> VULKeychainStorage::initWithService(std::string service,
                                                                        std::shared_ptr<VULKeychainStorageCache> cache) {
  return std::make_shared<VULKeychainStorage>(Private{}, std::move(service), std::move(cache));
}

VULKeychainStorage::VULKeychainStorage(Private, std::string service, std::shared_ptr<VULKeychainStorageCache> cache)
    : keychainQueue_(platform::DispatchQueue::serial("com.vul.KeychainStorage.Keychain")),
      inMemoryCacheQueue_(platform::DispatchQueue::serial("com.vul.KeychainStorage.InMemoryCache")),
      service_(std::move(service)),
      inMemoryCache_(cache ? std::move(cache) : std::make_shared<VULKeychainStorageCache>(5)) {}

std::shared_ptr<VULKeychainStorage::ObjectPromise> VULKeychainStorage::getObjectForKey(
    const std::string& key, std::string_view objectClass, const std::optional<std::string>& accessGroup) {
  auto self = shared_from_this();
  return ObjectPromise::do_(inMemoryCacheQueue_,
                            [self, key]() -> VBLResult<ArchiveObject> {
                              if (auto cached = self->inMemoryCache_->objectForKey(key)) return *cached;
                              return VBLPromiseValidationFailureError();
                            })
      ->recover([self, key, objectClass = std::string(objectClass), accessGroup](const platform::Error&) {
        return self->getObjectFromKeychainForKey(key, objectClass, accessGroup);
      });
}

std::shared_ptr<VULKeychainStorage::ObjectPromise> VULKeychainStorage::getObjectFromKeychainForKey(
    const std::string& key, const std::string& objectClass, const std::optional<std::string>& accessGroup) {
  auto self = shared_from_this();
  return ObjectPromise::do_(keychainQueue_,
                            [self, key, objectClass, accessGroup]() -> VBLResult<ArchiveObject> {
                              platform::Error error;
                              auto data = VULKeychainUtils::getItemWithQuery(
                                  self->keychainQueryWithKey(key, accessGroup), &error);
                              if (error) return error;
                              if (!data) return ArchiveObject();
                              platform::Error unarchiveError;
                              ArchiveObject object =
                                  VULSecureCoding::unarchivedObjectOfClass(objectClass, *data, &unarchiveError);
                              if (unarchiveError) return unarchiveError;
                              return object;
                            })
      ->then(inMemoryCacheQueue_, [self, key](const ArchiveObject& object) {
        if (!object.isNil()) self->inMemoryCache_->setObject(object, key);
        return object;
      });
}

std::shared_ptr<VBLPromise<VBLVoid>> VULKeychainStorage::setObject(const ArchiveObject& object, const std::string& key,
                                                                   const std::optional<std::string>& accessGroup) {
  auto self = shared_from_this();
  return VBLPromise<VBLVoid>::do_(inMemoryCacheQueue_,
                                  [self, object, key] {
                                    self->inMemoryCache_->setObject(object, key);
                                    return VBLVoid{};
                                  })
      ->then(keychainQueue_, [self, object, key, accessGroup](const VBLVoid&) -> VBLResult<VBLVoid> {
        platform::Error error;
        std::optional<platform::Data> archived;
        if (object.object()) {
          archived = VULSecureCoding::archivedDataWithRootObject(
              std::shared_ptr<const platform::Codable>(object.object()), &error);
        } else {
          archived = VULSecureCoding::archivedDataWithRootObject(object.value(), &error);
        }
        if (!archived) return error;
        if (!VULKeychainUtils::setItem(*archived, self->keychainQueryWithKey(key, accessGroup), &error)) return error;
        return VBLVoid{};
      });
}

std::shared_ptr<VBLPromise<VBLVoid>> VULKeychainStorage::removeObjectForKey(
    const std::string& key, const std::optional<std::string>& accessGroup) {
  auto self = shared_from_this();
  return VBLPromise<VBLVoid>::do_(inMemoryCacheQueue_,
                                  [self, key] {
                                    self->inMemoryCache_->removeObjectForKey(key);
                                    return VBLVoid{};
                                  })
      ->then(keychainQueue_, [self, key, accessGroup](const VBLVoid&) -> VBLResult<VBLVoid> {
        platform::Error error;
        if (!VULKeychainUtils::removeItemWithQuery(self->keychainQueryWithKey(key, accessGroup), &error)) return error;
        return VBLVoid{};
      });
}

void VULKeychainStorage::resetInMemoryCache() { inMemoryCache_->removeAllObjects(); }

Value::Dictionary VULKeychainStorage::keychainQueryWithKey(const std::string& key,
                                                           const std::optional<std::string>& accessGroup) const {
  Value::Dictionary query{{std::string(platform::kSecClass), Value(platform::kSecClassGenericPassword)},
                          {std::string(platform::kSecAttrService), Value(service_)},
                          {std::string(platform::kSecAttrAccount), Value(key)}};
  if (accessGroup) query[std::string(platform::kSecAttrAccessGroup)] = Value(*accessGroup);
  if (VULAppEnvironmentUtil::isSystemVersionAtLeast(13, 0)) {
    query[std::string(platform::kSecUseDataProtectionKeychain)] = Value(true);
  }
  return query;
}
