#include "sdk/analytics/storage/apm_persistent_dictionary.h"

#include <filesystem>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/property_list.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "sdk/utilities/utilities/vul_logger.h"
#include "platform/foundation/thread_safety.h"

using platform::Value;

namespace {
constexpr double kPersistDelaySeconds = 1.0;
}

std::shared_ptr<APMPersistentDictionary> APMPersistentDictionary::initWithFileName(std::string_view name) {
  if (name.empty()) return nullptr;
  const std::string path = APMMeasurementPlistPath(name);
  if (path.empty()) return nullptr;
  auto& files = platform::FileManager::defaultManager();
  if (!files.createDirectory(std::filesystem::path(path).parent_path(), true)) {
    VULLoggerLogError(kAPMDefaultLogTag, false, "I-ACS043004", "Cannot create subdirectories for config plist files.");
    return nullptr;
  }
  Value::Dictionary content;
  if (auto bytes = files.contentsAtPath(path)) {
    if (auto plist = platform::PropertyList::read(*bytes); plist && plist->ifDictionary()) content = *plist->ifDictionary();
  }
  return std::make_shared<APMPersistentDictionary>(path, std::move(content));
}

APMPersistentDictionary::APMPersistentDictionary(std::string filePath, Value::Dictionary content)
    : filePath_(std::move(filePath)),
      content_(std::move(content)),
      serialQueue_(platform::DispatchQueue::serial("APMPersistentDictionary")) {}

APMPersistentDictionary::~APMPersistentDictionary() {
  // A change still waiting for its write must not be lost with the store.
  if (hasPendingPersistence_) writeFile(filePath_, content_);
}

bool APMPersistentDictionary::hasPendingPersistence() const {
  platform::MutexLock lock(mutex_);
  return hasPendingPersistence_;
}

Value APMPersistentDictionary::objectForKey(std::string_view key) {
  if (key.empty()) {
    VULLoggerLogWarning(kAPMDefaultLogTag, false, "I-ACS043001", "Cannot get object for invalid config key.");
    return Value();
  }
  platform::MutexLock lock(mutex_);
  auto it = content_.find(key);
  return it == content_.end() ? Value() : it->second;
}

void APMPersistentDictionary::setObject(const Value& value, std::string_view key) {
  if (key.empty()) {
    VULLoggerLogWarning(kAPMDefaultLogTag, false, "I-ACS043002", "Cannot set object for invalid config key.");
    return;
  }
  if (!value.isNull() && !APMIsValidConfigValue(value)) {
    VULLoggerLogWarning(kAPMDefaultLogTag, false, "I-ACS043003",
                        "Cannot set invalid object to config. Must be a string, number, array, dictionary, date, or "
                        "data. Value %@",
                        value);
    return;
  }
  platform::MutexLock lock(mutex_);
  auto it = content_.find(key);
  if (value.isNull()) {
    if (it == content_.end()) return;
    content_.erase(it);
  } else {
    if (it != content_.end() && it->second == value) return;
    content_.insert_or_assign(std::string(key), value);
  }
  schedulePersistToDisk();
}

void APMPersistentDictionary::clearAllData() {
  platform::MutexLock lock(mutex_);
  if (content_.empty()) return;
  content_.clear();
  schedulePersistToDisk();
}

void APMPersistentDictionary::schedulePersistToDisk() {
  if (hasPendingPersistence_) return;
  hasPendingPersistence_ = true;
  serialQueue_->after(kPersistDelaySeconds, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->persistToDisk();
  });
}

void APMPersistentDictionary::persistToDisk() {
  Value::Dictionary copy;
  {
    platform::MutexLock lock(mutex_);
    copy = content_;
    hasPendingPersistence_ = false;
  }
  writeFile(filePath_, copy);
}

void APMPersistentDictionary::writeFile(const std::string& path, const Value::Dictionary& content) {
  platform::Error error;
  auto bytes = platform::PropertyList::write(Value(content), platform::PropertyList::Format::XML, &error);
  if (!bytes || !platform::FileManager::defaultManager().writeAtomically(path, *bytes, 0600, &error)) {
    VULLoggerLogError(kAPMDefaultLogTag, false, "I-ACS043000", "Cannot persist configs to disk");
  }
}
