// A dictionary kept in one property-list file that other processes on the same home may keep
// too. A read picks up what they saved (the file is read again once it changed), and a save
// writes only this process's own changes (sets, removals, a clear) on top of the file's current
// contents, under the file's lock; changes made while a save runs wait for the next one. A file
// that cannot be read now is never replaced; a damaged one is kept aside and reads as empty (one
// that cannot be moved, in a folder the app cannot write, reads as empty and is told of once
// until it changes). Any thread may use it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/shared_file.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"

namespace platform {

class SharedDictionaryFile {
 public:
  enum class Trouble {
    Unreadable,  // the read failed for now; said once per spell, and on every failed save
    Damaged,     // `aside` is where the file was kept, none when it could not be moved
  };
  // Called with the object's state locked: it must not call back into the object.
  using Reporter =
      std::function<void(Trouble trouble, const Error& error, const std::optional<std::filesystem::path>& aside)>;
  struct Options {
    mode_t mode = 0600;
    PropertyList::Format format = PropertyList::Format::Binary;
    Reporter report;
  };

  SharedDictionaryFile(std::filesystem::path path, Options options);
  SharedDictionaryFile(const SharedDictionaryFile&) = delete;
  SharedDictionaryFile& operator=(const SharedDictionaryFile&) = delete;

  // Forgets what was read and every unsaved change, and keeps `path` from now on.
  void reopen(std::filesystem::path path) EXCLUDES(ioMutex_, mutex_);
  std::filesystem::path path() const EXCLUDES(mutex_);

  // Brings the values up to date with the file, setting a damaged one aside when its lock is free
  // at once. Waits for no other lock than the object's own.
  void refresh() EXCLUDES(ioMutex_, mutex_);

  // What this process sees, unsaved changes included; none for an absent key.
  std::optional<Value> value(std::string_view key) const EXCLUDES(mutex_);
  Value::Dictionary dictionary() const EXCLUDES(mutex_);
  bool hasUnsavedChanges() const EXCLUDES(mutex_);
  // The keys this process changed and has not saved, in order; `cleared` is set when a clear of
  // every key is unsaved too.
  std::vector<std::string> unsavedKeys(bool& cleared) const EXCLUDES(mutex_);

  // A value of none removes the key.
  void set(std::string_view key, std::optional<Value> value) EXCLUDES(mutex_);
  // Like set, but only when the key does not hold that already; whether it changed anything.
  bool setIfDifferent(std::string_view key, std::optional<Value> value) EXCLUDES(mutex_);
  // Removes every key this process knows of, and every key the file holds when the save comes;
  // false when there was nothing to remove.
  bool clear() EXCLUDES(mutex_);

  // The unsaved changes on top of the file's current contents, under its lock, waited for at most
  // `lockTimeoutSeconds`; true at once when there are none. On failure the changes stay for the
  // next save.
  bool save(Error& error, double lockTimeoutSeconds = SharedFile::kLockTimeoutSeconds) EXCLUDES(ioMutex_, mutex_);
  // Drops every value and unsaved change now and deletes the file. When another process holds the
  // file's lock past `lockTimeoutSeconds`, the removal stays unsaved instead, as a clear of every
  // key for the next save, and false says so.
  bool removeFile(double lockTimeoutSeconds) EXCLUDES(ioMutex_, mutex_);

 private:
  // A value set (or, when empty, removed) by this process and not yet saved; `serial` orders the
  // changes, so a save knows which ones it took.
  struct Change {
    std::optional<Value> value;
    std::uint64_t serial = 0;
  };

  const Value* lookupLocked(std::string_view key) const REQUIRES(mutex_);
  Value::Dictionary mergedLocked() const REQUIRES(mutex_);
  bool isEmptyLocked() const REQUIRES(mutex_);
  void setLocked(std::string_view key, std::optional<Value> value) REQUIRES(mutex_);
  void forgetLocked() REQUIRES(mutex_);
  // Picks up what other processes saved since the file was last read; false when the file is
  // damaged, which only the holder of the file's lock may set aside.
  bool refreshLocked() REQUIRES(mutex_);
  // The file was damaged when last read: sets it aside if the file's lock is free.
  void setAsideDamage() REQUIRES(ioMutex_) EXCLUDES(mutex_);
  // Under the file's lock: the values up to date with the file, read again only when another
  // process changed it; a damaged file is set aside and reads as empty. False when the file
  // cannot be read now.
  bool catchUp(const SharedFile& file, SharedFile::Lock& lock) REQUIRES(ioMutex_) EXCLUDES(mutex_);

  const Options options_;
  // One reconciliation with the file at a time; taken before the file's lock, which is taken
  // before mutex_.
  Mutex ioMutex_;
  mutable Mutex mutex_;
  SharedFile file_ GUARDED_BY(mutex_);
  // The file's contents as last read or written, and which version of it that was.
  Value::Dictionary stored_ GUARDED_BY(mutex_);
  SharedFile::Version version_ GUARDED_BY(mutex_);
  // The file at version_ is damaged: it waits to be set aside, or, when `damageStuck_`, could not
  // be, which readers take as it is until the file changes (a save tries again).
  bool damaged_ GUARDED_BY(mutex_) = false;
  bool damageStuck_ GUARDED_BY(mutex_) = false;
  bool reportedUnreadable_ GUARDED_BY(mutex_) = false;
  std::map<std::string, Change, std::less<>> changes_ GUARDED_BY(mutex_);
  // The serial of a clear not saved yet: the file's keys read as absent until it is.
  std::optional<std::uint64_t> clearedAt_ GUARDED_BY(mutex_);
  std::uint64_t nextSerial_ GUARDED_BY(mutex_) = 0;
};

}  // namespace platform
