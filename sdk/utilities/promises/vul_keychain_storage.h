// Small objects in the keychain under one service name, one generic-password item per key, with
// an in-memory cache in front. Objects are stored as secure keyed archives. Every keychain call
// runs on one serial queue and every cache access on another; the operations may be called from
// any thread.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/keyed_archive.h"
#include "sdk/utilities/promises/vbl_promise.h"
#include "platform/foundation/thread_safety.h"

// A count-limited cache from key to object; beyond the limit the least recently stored entry goes.
class VULKeychainStorageCache {
 public:
  explicit VULKeychainStorageCache(std::size_t countLimit = 5) : countLimit_(countLimit) {}
  std::optional<platform::ArchiveObject> objectForKey(std::string_view key) const;
  void setObject(platform::ArchiveObject object, std::string key);
  void removeObjectForKey(std::string_view key);
  void removeAllObjects();

 private:
  const std::size_t countLimit_;
  mutable platform::Mutex mutex_;
  std::list<std::pair<std::string, platform::ArchiveObject>> entries_ GUARDED_BY(mutex_);  // oldest first
};

class VULKeychainStorage : public std::enable_shared_from_this<VULKeychainStorage> {
  struct Private {};

 public:
  using ObjectPromise = VBLPromise<platform::ArchiveObject>;

  static std::shared_ptr<VULKeychainStorage> initWithService(std::string service);
  static std::shared_ptr<VULKeychainStorage> initWithService(std::string service,
                                                             std::shared_ptr<VULKeychainStorageCache> cache);
  VULKeychainStorage(Private, std::string service, std::shared_ptr<VULKeychainStorageCache> cache);

  // The object (nil when there is no item), unarchived as `objectClass`. A cache miss reads the
  // keychain in a recovery step on the promise library's default queue.
  std::shared_ptr<ObjectPromise> getObjectForKey(const std::string& key, std::string_view objectClass,
                                                 const std::optional<std::string>& accessGroup);
  // Cached before the keychain is written, so reads queued after it see the object; a failed
  // keychain write leaves the cache holding it.
  std::shared_ptr<VBLPromise<VBLVoid>> setObject(const platform::ArchiveObject& object, const std::string& key,
                                                 const std::optional<std::string>& accessGroup);
  std::shared_ptr<VBLPromise<VBLVoid>> removeObjectForKey(const std::string& key,
                                                          const std::optional<std::string>& accessGroup);
  void resetInMemoryCache();

  const std::string& service() const { return service_; }
  platform::Value::Dictionary keychainQueryWithKey(const std::string& key,
                                                   const std::optional<std::string>& accessGroup) const;

 private:
  std::shared_ptr<ObjectPromise> getObjectFromKeychainForKey(const std::string& key, const std::string& objectClass,
                                                             const std::optional<std::string>& accessGroup);

  const std::shared_ptr<platform::DispatchQueue> keychainQueue_;
  const std::shared_ptr<platform::DispatchQueue> inMemoryCacheQueue_;
  const std::string service_;
  const std::shared_ptr<VULKeychainStorageCache> inMemoryCache_;
};
