#include "sdk/analytics/storage/apm_persistent_dictionary.h"

#include <filesystem>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/property_list.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "sdk/utilities/utilities/vul_logger.h"

using platform::SharedFile;
using platform::Value;

namespace {
constexpr double kPersistDelaySeconds = 1.0;
constexpr mode_t kPlistMode = 0600;
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
  store->refresh();
  return store;
}

APMPersistentDictionary::APMPersistentDictionary(std::string filePath)
    : filePath_(std::move(filePath)),
      file_(filePath_),
      serialQueue_(platform::DispatchQueue::serial("APMPersistentDictionary")) {}

APMPersistentDictionary::~APMPersistentDictionary() {
  // A change still waiting for its write must not be lost with the store.
  platform::MutexLock io(ioMutex_);
  {
    platform::MutexLock lock(mutex_);
    if (!hasUnsavedChangesLocked()) return;
  }
  saveChanges();
}

bool APMPersistentDictionary::hasPendingPersistence() const {
  platform::MutexLock lock(mutex_);
  return hasPendingPersistence_;
}

const Value* APMPersistentDictionary::lookupLocked(std::string_view key) const {
  if (auto it = changes_.find(key); it != changes_.end()) return it->second.value ? &*it->second.value : nullptr;
  if (clearedAt_) return nullptr;
  auto it = stored_.find(key);
  return it == stored_.end() ? nullptr : &it->second;
}

bool APMPersistentDictionary::isEmptyLocked() const {
  for (const auto& [key, change] : changes_) {
    if (change.value) return false;
  }
  if (clearedAt_) return true;
  for (const auto& [key, value] : stored_) {
    if (!changes_.contains(key)) return false;
  }
  return true;
}

bool APMPersistentDictionary::refreshLocked() {
  if (file_.isCurrent(version_)) return !damaged_;
  const SharedFile::Contents contents = file_.read();
  Value::Dictionary values;
  platform::Error error;
  switch (SharedFile::dictionaryIn(contents, values, error)) {
    case SharedFile::State::Missing:
    case SharedFile::State::Present:
      stored_ = std::move(values);
      version_ = contents.version;
      damaged_ = false;
      reportedUnreadable_ = false;
      return true;
    case SharedFile::State::Unreadable:
      // Not damage: what was read before stays, and the next look tries again.
      if (!reportedUnreadable_) {
        reportedUnreadable_ = true;
        VULLoggerLogWarning(kAPMDefaultLogTag, false, "I-ACS043005", "Cannot read configs from disk now: %@", error);
      }
      return true;
    case SharedFile::State::Damaged:
      break;
  }
  stored_.clear();
  version_ = {};
  damaged_ = true;
  return false;
}

void APMPersistentDictionary::refresh() {
  {
    platform::MutexLock lock(mutex_);
    if (refreshLocked()) return;
  }
  platform::MutexLock io(ioMutex_);
  {
    platform::MutexLock lock(mutex_);
    if (!damaged_) return;
  }
  // Without the lock the store reads as empty until a later look or write gets it.
  if (std::optional<SharedFile::Lock> held = file_.lock()) catchUp(*held);
}

bool APMPersistentDictionary::catchUp(SharedFile::Lock& lock) {
  {
    platform::MutexLock guard(mutex_);
    if (!damaged_ && file_.isCurrent(version_, lock)) return true;
  }
  SharedFile::Contents contents = file_.read(&lock);
  Value::Dictionary values;
  platform::Error error;
  const SharedFile::State state = SharedFile::dictionaryIn(contents, values, error);
  if (state == SharedFile::State::Unreadable) {
    VULLoggerLogWarning(kAPMDefaultLogTag, false, "I-ACS043005", "Cannot read configs from disk now: %@", error);
    return false;
  }
  if (state == SharedFile::State::Damaged) {
    // Kept for inspection, each damaged file under its own name; the next write makes a sound one.
    platform::Error asideError;
    auto aside = file_.setAside(lock, "corrupt", &asideError);
    VULLoggerLogError(kAPMDefaultLogTag, false, "I-ACS043006", "Cannot read configs from disk (%@), kept as %s",
                      error, aside ? aside->filename().string() : std::string("(could not be moved aside)"));
    if (!aside) return false;
    contents = file_.read(&lock);
  }
  platform::MutexLock guard(mutex_);
  stored_ = std::move(values);
  version_ = contents.version;
  damaged_ = false;
  reportedUnreadable_ = false;
  return true;
}

Value APMPersistentDictionary::objectForKey(std::string_view key) {
  if (key.empty()) {
    VULLoggerLogWarning(kAPMDefaultLogTag, false, "I-ACS043001", "Cannot get object for invalid config key.");
    return Value();
  }
  refresh();
  platform::MutexLock lock(mutex_);
  const Value* value = lookupLocked(key);
  return value ? *value : Value();
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
  refresh();  // compared with what other processes saved, not with an old copy
  platform::MutexLock lock(mutex_);
  const Value* current = lookupLocked(key);
  if (value.isNull() ? current == nullptr : current && *current == value) return;
  Change& change = changes_[std::string(key)];
  change.value = value.isNull() ? std::nullopt : std::optional<Value>(value);
  change.serial = ++nextSerial_;
  schedulePersistToDisk();
}

void APMPersistentDictionary::clearAllData() {
  refresh();
  platform::MutexLock lock(mutex_);
  if (isEmptyLocked()) return;
  changes_.clear();
  clearedAt_ = ++nextSerial_;
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
  platform::MutexLock io(ioMutex_);
  {
    platform::MutexLock lock(mutex_);
    // From here a change schedules the next write.
    hasPendingPersistence_ = false;
    if (!hasUnsavedChangesLocked()) return;
  }
  saveChanges();
}

void APMPersistentDictionary::saveChanges() {
  platform::Error error;
  std::optional<SharedFile::Lock> held = file_.lock(&error);
  // Without the file's current contents nothing is written: the changes wait for the next write.
  if (!held || !catchUp(*held)) {
    VULLoggerLogError(kAPMDefaultLogTag, false, "I-ACS043000", "Cannot persist configs to disk");
    return;
  }
  Value snapshot;
  std::uint64_t savedUpTo = 0;
  {
    platform::MutexLock lock(mutex_);
    Value::Dictionary merged = clearedAt_ ? Value::Dictionary() : stored_;
    for (const auto& [key, change] : changes_) {
      if (change.value) {
        merged.insert_or_assign(key, *change.value);
      } else if (auto it = merged.find(key); it != merged.end()) {
        merged.erase(it);
      }
    }
    snapshot = Value(std::move(merged));
    savedUpTo = nextSerial_;
  }
  std::optional<platform::Data> bytes =
      platform::PropertyList::write(snapshot, platform::PropertyList::Format::XML, &error);
  std::optional<SharedFile::Version> saved = bytes ? file_.write(*held, *bytes, kPlistMode, &error) : std::nullopt;
  if (!saved) {
    VULLoggerLogError(kAPMDefaultLogTag, false, "I-ACS043000", "Cannot persist configs to disk");
    return;
  }
  platform::MutexLock lock(mutex_);
  stored_ = std::move(*snapshot.mutableDictionary());
  version_ = *saved;
  // A change made while the file was written is newer than the snapshot and stays unsaved.
  std::erase_if(changes_, [&](const auto& entry) { return entry.second.serial <= savedUpTo; });
  if (clearedAt_ && *clearedAt_ <= savedUpTo) clearedAt_.reset();
}
