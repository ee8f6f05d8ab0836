#include "sdk/crash/launch/rlz_user_defaults.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/user_defaults.h"
#include "sdk/crash/launch/rlz_logging.h"

namespace {

// A handful of settings; a larger file is not this store's.
constexpr std::uint64_t kRLZMaxUserDefaultsFileBytes = std::uint64_t{1} << 20;

struct Shared {
  platform::Mutex mutex;
  std::shared_ptr<RLZUserDefaults> instance GUARDED_BY(mutex);
};

Shared& shared() {
  static Shared s;
  return s;
}

}  // namespace

std::shared_ptr<RLZUserDefaults> RLZUserDefaults::standardUserDefaults() {
  auto& s = shared();
  // A new home is a new installation: the store is read again from there.
  static const int observer = platform::Home::addChangeObserver([] { resetStandardUserDefaultsForTesting(); });
  (void)observer;
  platform::MutexLock lock(s.mutex);
  if (!s.instance) {
    auto support = platform::FileManager::defaultManager().urlForDirectory(
        platform::SearchPathDirectory::ApplicationSupport, false);
    s.instance = std::make_shared<RLZUserDefaults>(support.value_or(std::filesystem::path()) / "com.ralitoze");
  }
  return s.instance;
}

void RLZUserDefaults::resetStandardUserDefaultsForTesting() {
  auto& s = shared();
  platform::MutexLock lock(s.mutex);
  s.instance.reset();
}

RLZUserDefaults::RLZUserDefaults(std::filesystem::path directory)
    : directoryURL_(std::move(directory)),
      fileURL_(directoryURL_ / "RLZUserDefaults.plist"),
      serialDictionaryQueue_(platform::DispatchQueue::serial("com.ralitoze.RLZUserDefaults.access")),
      synchronizationQueue_(platform::DispatchQueue::serial("com.ralitoze.RLZUserDefaults.io")) {
  // The IO queue is entered first and the access queue inside it, as synchronize does.
  synchronizationQueue_->sync([&] {
    auto loaded = load();
    serialDictionaryQueue_->sync([&] {
      persistedDataDictionary_ = loaded;
      dataDictionary_ = std::move(loaded);
    });
  });
}

platform::Value::Dictionary RLZUserDefaults::load() {
  auto& files = platform::FileManager::defaultManager();
  bool isDirectory = false;
  if (!files.fileExists(fileURL_, &isDirectory)) return {};
  if (isDirectory) {
    RLZErrorLog("Found directory where file expected. Removing conflicting directory");
    platform::Error error;
    if (!files.removeItem(fileURL_, &error)) RLZErrorLog("Error removing conflicting directory: %@", error.description());
    return {};
  }
  platform::Error error;
  const auto bytes = files.contentsOfRegularFileNoLargerThan(fileURL_, kRLZMaxUserDefaultsFileBytes, &error);
  const auto value = bytes ? platform::PropertyList::read(*bytes) : std::nullopt;
  if (!value || !value->isDictionary()) {
    RLZErrorLog("Failed to read existing UserDefaults file: %@", bytes ? "not a dictionary" : error.description());
    return {};
  }
  return *value->ifDictionary();
}

platform::Value RLZUserDefaults::objectForKey(std::string_view key) const {
  platform::Value value;
  serialDictionaryQueue_->sync([&] {
    if (auto it = dataDictionary_.find(key); it != dataDictionary_.end()) value = it->second;
  });
  return value;
}

std::optional<std::string> RLZUserDefaults::stringForKey(std::string_view key) const {
  const auto value = objectForKey(key);
  if (!value.isString()) return std::nullopt;
  return *value.ifString();
}

bool RLZUserDefaults::boolForKey(std::string_view key) const {
  const auto value = objectForKey(key);
  return value.isNumber() && value.boolValue();
}

std::int64_t RLZUserDefaults::integerForKey(std::string_view key) const {
  const auto value = objectForKey(key);
  return value.isNumber() ? value.integerValue() : 0;
}

void RLZUserDefaults::setObject(const platform::Value& value, std::string_view key) {
  serialDictionaryQueue_->sync([&] {
    if (value.isNull()) {
      if (auto it = dataDictionary_.find(key); it != dataDictionary_.end()) dataDictionary_.erase(it);
    } else {
      dataDictionary_.insert_or_assign(std::string(key), value);
    }
  });
}

void RLZUserDefaults::setString(const std::optional<std::string>& value, std::string_view key) {
  setObject(value ? platform::Value(*value) : platform::Value(), key);
}

void RLZUserDefaults::removeAllObjects() {
  serialDictionaryQueue_->sync([&] { dataDictionary_.clear(); });
}

platform::Value::Dictionary RLZUserDefaults::dictionaryRepresentation() const {
  platform::Value::Dictionary copy;
  serialDictionaryQueue_->sync([&] { copy = dataDictionary_; });
  return copy;
}

bool RLZUserDefaults::synchronizeWroteToDisk() const {
  bool wrote = false;
  serialDictionaryQueue_->sync([&] { wrote = synchronizeWroteToDisk_; });
  return wrote;
}

// Snapshot and write happen together on the IO queue: two synchronizations racing could otherwise
// write their snapshots in the opposite order, leaving the older one on disk after both returned.
void RLZUserDefaults::synchronize() {
  synchronizationQueue_->sync([&] {
    std::optional<platform::Value::Dictionary> snapshot;
    serialDictionaryQueue_->sync([&] {
      synchronizeWroteToDisk_ = dataDictionary_ != persistedDataDictionary_;
      if (synchronizeWroteToDisk_) snapshot = dataDictionary_;
    });
    if (!snapshot) return;
    auto& files = platform::FileManager::defaultManager();
    platform::Error error;
    if (!files.fileExists(directoryURL_) && !files.createDirectory(directoryURL_, true, &error)) {
      RLZErrorLog("Failed to create directory with error: %@", error.description());
    }
    const auto bytes = platform::PropertyList::write(platform::Value(*snapshot), platform::PropertyList::Format::XML);
    if (!bytes || !files.writeAtomically(fileURL_, *bytes, 0600)) {
      RLZErrorLog("Unable to open file for writing at path %@", fileURL_.string());
      return;
    }
    // What is on disk is the snapshot, not values set since; a failed write leaves them all unsaved.
    serialDictionaryQueue_->sync([&] { persistedDataDictionary_ = std::move(*snapshot); });
  });
}

void RLZUserDefaults::migrateFromNSUserDefaults(const std::vector<std::string>& keys) {
  auto standard = platform::UserDefaults::standard();
  bool copied = false;
  for (const auto& key : keys) {
    const auto value = standard->objectForKey(key);
    if (value.isNull()) continue;
    setObject(value, key);
    copied = true;
  }
  if (copied) synchronize();
  for (const auto& key : keys) standard->removeObjectForKey(key);
  standard->synchronize();
}

platform::Value RLZUserDefaults::objectForKeyByMigratingFromNSUserDefaults(const std::optional<std::string>& key) {
  if (!key) return {};
  auto value = objectForKey(*key);
  if (!value.isNull()) return value;
  auto standard = platform::UserDefaults::standard();
  value = standard->objectForKey(*key);
  if (value.isNull()) return {};
  setObject(value, *key);
  synchronize();
  standard->removeObjectForKey(*key);
  standard->synchronize();
  return value;
}
