#include "platform/foundation/shared_dictionary_file.h"

#include <utility>

#include "platform/foundation/file_manager.h"

namespace platform {

namespace fs = std::filesystem;

SharedDictionaryFile::SharedDictionaryFile(fs::path path, Options options)
    : options_(std::move(options)), file_(std::move(path)) {}

void SharedDictionaryFile::reopen(fs::path path) {
  MutexLock io(ioMutex_);
  MutexLock lock(mutex_);
  forgetLocked();
  file_ = SharedFile(std::move(path));
}

fs::path SharedDictionaryFile::path() const {
  MutexLock lock(mutex_);
  return file_.path();
}

void SharedDictionaryFile::forgetLocked() {
  stored_.clear();
  version_ = {};
  damaged_ = false;
  damageStuck_ = false;
  reportedUnreadable_ = false;
  changes_.clear();
  clearedAt_.reset();
}

const Value* SharedDictionaryFile::lookupLocked(std::string_view key) const {
  if (auto it = changes_.find(key); it != changes_.end()) return it->second.value ? &*it->second.value : nullptr;
  if (clearedAt_) return nullptr;
  auto it = stored_.find(key);
  return it == stored_.end() ? nullptr : &it->second;
}

Value::Dictionary SharedDictionaryFile::mergedLocked() const {
  Value::Dictionary merged = clearedAt_ ? Value::Dictionary() : stored_;
  for (const auto& [key, change] : changes_) {
    if (change.value) {
      merged.insert_or_assign(key, *change.value);
    } else if (auto it = merged.find(key); it != merged.end()) {
      merged.erase(it);
    }
  }
  return merged;
}

bool SharedDictionaryFile::isEmptyLocked() const {
  for (const auto& [key, change] : changes_) {
    if (change.value) return false;
  }
  if (clearedAt_) return true;
  for (const auto& [key, value] : stored_) {
    if (!changes_.contains(key)) return false;
  }
  return true;
}

std::optional<Value> SharedDictionaryFile::value(std::string_view key) const {
  MutexLock lock(mutex_);
  const Value* value = lookupLocked(key);
  return value ? std::optional<Value>(*value) : std::nullopt;
}

Value::Dictionary SharedDictionaryFile::dictionary() const {
  MutexLock lock(mutex_);
  return mergedLocked();
}

bool SharedDictionaryFile::hasUnsavedChanges() const {
  MutexLock lock(mutex_);
  return !changes_.empty() || clearedAt_;
}

std::vector<std::string> SharedDictionaryFile::unsavedKeys(bool& cleared) const {
  MutexLock lock(mutex_);
  cleared = clearedAt_.has_value();
  std::vector<std::string> keys;
  keys.reserve(changes_.size());
  for (const auto& [key, change] : changes_) keys.push_back(key);
  return keys;
}

void SharedDictionaryFile::setLocked(std::string_view key, std::optional<Value> value) {
  Change& change = changes_[std::string(key)];
  change.value = std::move(value);
  change.serial = ++nextSerial_;
}

void SharedDictionaryFile::set(std::string_view key, std::optional<Value> value) {
  MutexLock lock(mutex_);
  setLocked(key, std::move(value));
}

bool SharedDictionaryFile::setIfDifferent(std::string_view key, std::optional<Value> value) {
  MutexLock lock(mutex_);
  const Value* current = lookupLocked(key);
  if (value ? current && *current == *value : current == nullptr) return false;
  setLocked(key, std::move(value));
  return true;
}

bool SharedDictionaryFile::clear() {
  MutexLock lock(mutex_);
  if (isEmptyLocked()) return false;
  changes_.clear();
  clearedAt_ = ++nextSerial_;
  return true;
}

bool SharedDictionaryFile::refreshLocked() {
  if (file_.isCurrent(version_)) return !damaged_ || damageStuck_;
  const SharedFile::Contents contents = file_.read();
  Value::Dictionary values;
  Error error;
  switch (SharedFile::dictionaryIn(contents, values, error)) {
    case SharedFile::State::Missing:
    case SharedFile::State::Present:
      stored_ = std::move(values);
      version_ = contents.version;
      damaged_ = false;
      damageStuck_ = false;
      reportedUnreadable_ = false;
      return true;
    case SharedFile::State::Unreadable:
      // Not damage: what was read before stays, and the next look tries again.
      if (!reportedUnreadable_) {
        reportedUnreadable_ = true;
        if (options_.report) options_.report(Trouble::Unreadable, error, std::nullopt);
      }
      return true;
    case SharedFile::State::Damaged:
      break;
  }
  stored_.clear();
  version_ = contents.version;
  damaged_ = true;
  damageStuck_ = false;
  return false;
}

void SharedDictionaryFile::refresh() {
  {
    MutexLock lock(mutex_);
    if (refreshLocked()) return;
  }
  // Damaged: set aside under the file's lock, which is taken before mutex_, when that needs no
  // waiting. A save of this process under way sets it aside itself, and another process's lock is
  // left to its holder; until then the values read as empty.
  if (!ioMutex_.try_lock()) return;
  setAsideDamage();
  ioMutex_.unlock();
}

void SharedDictionaryFile::setAsideDamage() {
  std::optional<SharedFile> file;
  {
    MutexLock lock(mutex_);
    if (!damaged_) return;
    file = file_;
  }
  Error error;
  if (std::optional<SharedFile::Lock> held = file->lock(&error, 0)) {
    catchUp(*file, *held);
    return;
  }
  if (SharedFile::isBusy(error)) return;
  MutexLock lock(mutex_);
  if (!damaged_ || damageStuck_) return;
  damageStuck_ = true;
  if (options_.report) options_.report(Trouble::Damaged, error, std::nullopt);
}

bool SharedDictionaryFile::catchUp(const SharedFile& file, SharedFile::Lock& lock) {
  {
    MutexLock guard(mutex_);
    if (!damaged_ && file.isCurrent(version_, lock)) return true;
  }
  SharedFile::Contents contents = file.read(&lock);
  Value::Dictionary values;
  Error error;
  const SharedFile::State state = SharedFile::dictionaryIn(contents, values, error);
  if (state == SharedFile::State::Unreadable) {
    if (options_.report) options_.report(Trouble::Unreadable, error, std::nullopt);
    return false;
  }
  if (state == SharedFile::State::Damaged) {
    // Kept for inspection, each damaged file under its own name; the next save makes a sound one.
    Error asideError;
    std::optional<fs::path> aside = file.setAside(lock, &asideError);
    if (!aside) {
      // Told once for this state of the file; reads take it as it is until it changes.
      MutexLock guard(mutex_);
      const bool told = damaged_ && damageStuck_ && SharedFile::sameFile(version_, contents.version);
      stored_.clear();
      version_ = contents.version;
      damaged_ = true;
      damageStuck_ = true;
      if (!told && options_.report) options_.report(Trouble::Damaged, error, std::nullopt);
      return false;
    }
    if (options_.report) options_.report(Trouble::Damaged, error, aside);
    contents = file.read(&lock);
  }
  MutexLock guard(mutex_);
  stored_ = std::move(values);
  version_ = contents.version;
  damaged_ = false;
  damageStuck_ = false;
  reportedUnreadable_ = false;
  return true;
}

bool SharedDictionaryFile::save(Error& error, double lockTimeoutSeconds) {
  MutexLock io(ioMutex_);
  std::optional<SharedFile> file;
  {
    MutexLock lock(mutex_);
    if (changes_.empty() && !clearedAt_) return true;
    file = file_;  // fixed while ioMutex_ is held
  }
  std::optional<SharedFile::Lock> held = file->lock(&error, lockTimeoutSeconds);
  if (!held) return false;
  // Without the file's current contents nothing is written: the changes wait for the next save.
  if (!catchUp(*file, *held)) {
    error = fileError(kFileReadUnknownError, file->path(), 0);
    return false;
  }
  Value snapshot;
  std::uint64_t savedUpTo = 0;
  {
    MutexLock lock(mutex_);
    snapshot = Value(mergedLocked());
    savedUpTo = nextSerial_;
  }
  std::optional<Data> bytes = PropertyList::write(snapshot, options_.format, &error);
  std::optional<SharedFile::Version> saved = bytes ? file->write(*held, *bytes, options_.mode, &error) : std::nullopt;
  if (!saved) return false;
  MutexLock lock(mutex_);
  stored_ = std::move(*snapshot.mutableDictionary());
  version_ = *saved;
  // A change made while the file was written is newer than the snapshot and stays unsaved.
  std::erase_if(changes_, [&](const auto& entry) { return entry.second.serial <= savedUpTo; });
  if (clearedAt_ && *clearedAt_ <= savedUpTo) clearedAt_.reset();
  return true;
}

bool SharedDictionaryFile::removeFile(double lockTimeoutSeconds) {
  MutexLock io(ioMutex_);
  std::optional<SharedFile> file;
  {
    MutexLock lock(mutex_);
    file = file_;
  }
  std::error_code ec;
  if (!fs::is_directory(file->path().parent_path(), ec)) {
    MutexLock lock(mutex_);
    forgetLocked();
    return true;
  }
  Error error;
  std::optional<SharedFile::Lock> held = file->lock(&error, lockTimeoutSeconds);
  MutexLock lock(mutex_);
  if (!held && SharedFile::isBusy(error)) {
    // Another process is writing the file: the values read as gone now, and the file is emptied on
    // top of what it saved once it lets go.
    changes_.clear();
    clearedAt_ = ++nextSerial_;
    return false;
  }
  forgetLocked();
  if (held) {
    file->remove(*held);
  } else {
    fs::remove(file->path(), ec);  // a lock file that cannot serve does not keep the old values alive
  }
  return true;
}

}  // namespace platform
