// A key-value store written to one property-list file in the measurement directory, at most once
// per second and in the background. Any thread may use it.
//
// Other processes on the same home may keep the same file. A read picks up what they saved (the
// file is read again once it changed), and a write saves only this process's own changes (sets,
// removals, a clear) on top of the file's current contents, under the file's lock. A file that
// cannot be read now is never replaced; a damaged one is kept aside and the store starts empty.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/shared_file.h"
#include "platform/foundation/thread_safety.h"
#include "sdk/analytics/storage/apm_config_store.h"

namespace platform {
class DispatchQueue;
}

class APMPersistentDictionary : public APMConfigStore, public std::enable_shared_from_this<APMPersistentDictionary> {
 public:
  // Nothing for an empty name, no measurement directory or a directory that cannot be made.
  static std::shared_ptr<APMPersistentDictionary> initWithFileName(std::string_view name);
  ~APMPersistentDictionary() override;

  const std::string& filePath() const { return filePath_; }
  bool hasPendingPersistence() const;
  const std::shared_ptr<platform::DispatchQueue>& serialQueue() const { return serialQueue_; }

  platform::Value objectForKey(std::string_view key) override;
  void setObject(const platform::Value& value, std::string_view key) override;
  void removeObjectForKey(std::string_view key) override { setObject(platform::Value(), key); }
  // Removes every key this process knows of and every key the file holds when the write comes.
  void clearAllData() override;
  // Writing follows the one-second schedule only.
  void synchronize() override {}

  explicit APMPersistentDictionary(std::string filePath);

 private:
  // A value set (or, when empty, removed) by this process and not yet saved; `serial` orders the
  // changes, so a save knows which ones it took.
  struct Change {
    std::optional<platform::Value> value;
    std::uint64_t serial = 0;
  };

  const platform::Value* lookupLocked(std::string_view key) const REQUIRES(mutex_);
  bool isEmptyLocked() const REQUIRES(mutex_);
  bool hasUnsavedChangesLocked() const REQUIRES(mutex_) { return !changes_.empty() || clearedAt_; }
  // Picks up what other processes saved since the file was last read; false when the file is
  // damaged, which only the holder of the file's lock may set aside.
  bool refreshLocked() REQUIRES(mutex_);
  // Brings the stored values up to date with the file, setting a damaged one aside.
  void refresh() EXCLUDES(mutex_, ioMutex_);
  // Under the file's lock: the stored values up to date with the file, read again only when
  // another process changed it. False when the file cannot be read now.
  bool catchUp(platform::SharedFile::Lock& lock) REQUIRES(ioMutex_) EXCLUDES(mutex_);
  void schedulePersistToDisk() REQUIRES(mutex_);
  void persistToDisk() EXCLUDES(mutex_, ioMutex_);
  // Under the file's lock, this process's changes on top of the file's current contents; logs a
  // failure, after which the changes stay for the next write.
  void saveChanges() REQUIRES(ioMutex_) EXCLUDES(mutex_);

  const std::string filePath_;
  const platform::SharedFile file_;
  // One reconciliation with the file at a time; taken before the file's lock, which is taken
  // before mutex_.
  platform::Mutex ioMutex_;
  mutable platform::Mutex mutex_;
  // The file's contents as last read or written, and which version of it that was.
  platform::Value::Dictionary stored_ GUARDED_BY(mutex_);
  platform::SharedFile::Version version_ GUARDED_BY(mutex_);
  bool damaged_ GUARDED_BY(mutex_) = false;
  bool reportedUnreadable_ GUARDED_BY(mutex_) = false;  // said once until a read succeeds
  std::map<std::string, Change, std::less<>> changes_ GUARDED_BY(mutex_);
  // The serial of a clear not saved yet: the file's keys read as absent until it is.
  std::optional<std::uint64_t> clearedAt_ GUARDED_BY(mutex_);
  std::uint64_t nextSerial_ GUARDED_BY(mutex_) = 0;
  bool hasPendingPersistence_ GUARDED_BY(mutex_) = false;
  std::shared_ptr<platform::DispatchQueue> serialQueue_;
};
