#include "sdk/analytics/storage/apm_persistent_dictionary.h"

#include <filesystem>
#include <optional>
#include <string>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/file_manager.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "sdk/utilities/utilities/vul_logger.h"

using platform::Value;

namespace {
constexpr double kPersistDelaySeconds = 1.0;
constexpr mode_t kPlistMode = 0600;

void reportTrouble(platform::SharedDictionaryFile::Trouble trouble, const platform::Error& error,
                   const std::optional<std::filesystem::path>& aside) {
  if (trouble == platform::SharedDictionaryFile::Trouble::Unreadable) {
    VULLoggerLogWarning(kAPMDefaultLogTag, false, "I-ACS043005", "Cannot read configs from disk now: %@", error);
    return;
  }
  VULLoggerLogError(kAPMDefaultLogTag, false, "I-ACS043006", "Cannot read configs from disk (%@), kept as %s", error,
                    aside ? aside->filename().string() : std::string("(could not be moved aside)"));
}
}  // namespace

std::shared_ptr<APMPersistentDictionary> APMPersistentDictionary::initWithFileName(std::string_view name) {
  if (name.empty()) return nullptr;
  const std::string path = APMMeasurementPlistPath(name);
  if (path.empty()) return nullptr;
  if (!platform::FileManager::defaultManager().createDirectory(std::filesystem::path(path).parent_path(), true)) {
    VULLoggerLogError(kAPMDefaultLogTag, false, "I-ACS043004", "Cannot create subdirectories for config plist files.");
    return nullptr;
  }
  auto store = std::make_shared<APMPersistentDictionary>(path);
  store->file_.refresh();
  return store;
}

APMPersistentDictionary::APMPersistentDictionary(std::string filePath)
    : filePath_(std::move(filePath)),
      file_(filePath_, {.mode = kPlistMode, .format = platform::PropertyList::Format::XML, .report = reportTrouble}),
      serialQueue_(platform::DispatchQueue::serial("APMPersistentDictionary")) {}

// A change still waiting for its write must not be lost with the store.
APMPersistentDictionary::~APMPersistentDictionary() { saveChanges(); }

bool APMPersistentDictionary::hasPendingPersistence() const {
  platform::MutexLock lock(mutex_);
  return hasPendingPersistence_;
}

Value APMPersistentDictionary::objectForKey(std::string_view key) {
  if (key.empty()) {
    VULLoggerLogWarning(kAPMDefaultLogTag, false, "I-ACS043001", "Cannot get object for invalid config key.");
    return Value();
  }
  file_.refresh();
  return file_.value(key).value_or(Value());
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
  file_.refresh();  // compared with what other processes saved, not with an old copy
  if (!file_.setIfDifferent(key, value.isNull() ? std::nullopt : std::optional<Value>(value))) return;
  platform::MutexLock lock(mutex_);
  schedulePersistToDisk();
}

void APMPersistentDictionary::clearAllData() {
  file_.refresh();
  if (!file_.clear()) return;
  platform::MutexLock lock(mutex_);
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
  {
    platform::MutexLock lock(mutex_);
    // From here a change schedules the next write; one made before it is in this one.
    hasPendingPersistence_ = false;
  }
  saveChanges();
}

void APMPersistentDictionary::saveChanges() {
  platform::Error error;
  if (!file_.save(error)) VULLoggerLogError(kAPMDefaultLogTag, false, "I-ACS043000", "Cannot persist configs to disk");
}
