// User defaults: per-suite preferences kept in memory and persisted as a property list
// "<suite>.plist" under Library/Preferences of the app's home (atomic writes, mode 0600).
//
// Other processes on the same home may change the same suite. A read picks up what they saved
// (the file is read again once it changed), and a write saves only this process's own changes
// (sets and removals), on top of the file's current contents, under the file's lock.
//
// Changes reach the disk on their own: a dedicated flusher thread writes a suite a short real-time
// delay after its first unsaved change (no run loop or platform clock involved, so writes from
// any thread or queue are saved), `synchronize` writes at once, `flushAll` writes every suite
// (the app calls it at terminate) and the process does so at exit and at a quick exit.
//
// No write waits more than a moment for another process that holds the suite's file, whichever
// thread asks for it (the main thread, or a queue it waits on): the changes stay in memory, where
// reads see them, and the flusher tries again a little later, then less and less often, until the
// file is free. Only the end of the process waits for a held file (`flushAll`, the exit), within
// an allowance of its own (`endWithin`): no wait outlasts it, and a suite that cannot be written
// is named in a log line with the keys it leaves unsaved, never dropped silently.
//
// Registered defaults live in memory only, are searched after the stored values and never
// written. When the home changes, every suite forgets its loaded values and registrations and
// reads the new home's file on next use; the objects themselves stay valid.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/shared_dictionary_file.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"

namespace platform {

// Posted on the default centre, synchronously on the writing thread, after a value was set or
// removed; the object is the UserDefaults instance.
inline constexpr std::string_view kUserDefaultsDidChangeNotification = "NSUserDefaultsDidChangeNotification";

class UserDefaults {
 public:
  // The app's own suite, named by the main bundle's identifier ("com.focus.timer" without one).
  static std::shared_ptr<UserDefaults> standard();
  // A named suite; an empty name or the app's own identifier gives standard(). Names that cannot
  // be a file name (with "/" or control characters, "." or "..", over 200 bytes) give null.
  static std::shared_ptr<UserDefaults> suite(std::string_view name);

  // Writes every suite with unsaved changes now, waiting for another process's hold on a file
  // (the end of the process calls it). The log lines of the suites it could not write.
  static std::vector<std::string> flushAll();
  // The process ends within `seconds` of real time from now: no wait for another process's lock
  // on a suite's file (or any shared file), one under way or the exit's own included, lasts past
  // that. Without it the exit waits once, for all suites together. None lifts it (a test's
  // process goes on).
  static void endWithin(std::optional<double> seconds);
  // Blocks until no suite has unsaved changes or `timeoutSeconds` of real time pass; true when
  // everything was written. Waits for the flusher rather than writing itself.
  static bool waitForPendingWrites(double timeoutSeconds = 10);
  // A relaunch in miniature: writes what is unsaved, then forgets loaded values and registered
  // defaults of every suite so the next read comes from disk.
  static void resetCachesForTesting();

  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  const std::string& suiteName() const { return name_; }

  // Stored value, else registered default, else null.
  Value objectForKey(std::string_view key) const;
  // The platform's coercions; 0 / false when absent.
  bool boolForKey(std::string_view key) const;
  std::int64_t integerForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  // A string, or a number's description; none for other kinds.
  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<Value::Array> arrayForKey(std::string_view key) const;
  std::optional<Value::Dictionary> dictionaryForKey(std::string_view key) const;
  std::optional<Data> dataForKey(std::string_view key) const;

  // A null value removes the key. A value that is not a property list (null inside a
  // collection) is refused with a log line and false; nothing changes then.
  bool setObject(const Value& value, std::string_view key);
  void setBool(bool value, std::string_view key) { setObject(Value(value), key); }
  void setInteger(std::int64_t value, std::string_view key) { setObject(Value(value), key); }
  void setFloat(float value, std::string_view key) { setObject(Value(value), key); }
  void setDouble(double value, std::string_view key) { setObject(Value(value), key); }
  void removeObjectForKey(std::string_view key) { setObject(Value(), key); }

  // Merged into the registration domain; refused like setObject when not a property list.
  bool registerDefaults(const Value::Dictionary& defaults);
  // Registered defaults overlaid with the stored values.
  Value::Dictionary dictionaryRepresentation() const;

  // Writes the suite now when it has unsaved changes; false when the write failed, or has to
  // wait for another process's hold on the file (the flusher writes it once that ends).
  bool synchronize();
  // Drops every stored value of the suite and deletes its file (registered defaults stay): the
  // platform's removal of a persistent domain, so no cached copy of old values survives. While
  // another process holds the file, the values read as gone and the flusher empties it later.
  void removePersistentDomain();

  bool hasUnsavedChanges() const;

 private:
  friend class UserDefaultsRegistry;
  explicit UserDefaults(std::string name);

  // How long a write waits for another process's hold on the file: a moment, or, at the end of
  // the process, as long as its allowance lets it.
  enum class Wait { Briefly, WithinTheEnd };
  enum class Saved { Yes, Busy, Failed };

  // Points the file at the current home the first time after construction or forget().
  void useCurrentHomeLocked() const REQUIRES(mutex_);
  // Brings the stored values up to date with the file of the current home.
  void refresh() const EXCLUDES(mutex_, ioMutex_);
  // The home must still exist; the preferences folder may be made again.
  bool saveChanges(const std::filesystem::path& home, Wait wait, Error& error) REQUIRES(ioMutex_) EXCLUDES(mutex_);
  // Writes what is unsaved. A failure is logged, with its line in `told`; a hold that outlasts a
  // brief wait is no failure and is logged once until a write succeeds.
  Saved save(Wait wait, std::string* told = nullptr) EXCLUDES(ioMutex_, mutex_);
  // The keys a failed write leaves unsaved, as a log line names them.
  std::string unsavedKeys() const;
  // Names the suite and the keys a failed write leaves unsaved, and why.
  std::string unsavedLine(const Error& error) const;
  void report(SharedDictionaryFile::Trouble trouble, const Error& error,
              const std::optional<std::filesystem::path>& aside) const;
  // Writes what is unsaved (to the home it was loaded from), then drops values and registrations.
  void forget();

  const std::string name_;
  mutable Mutex mutex_;  // which home, registrations
  // One synchronize, forget or removal at a time, so the home does not change under a write;
  // taken before mutex_.
  mutable Mutex ioMutex_;
  mutable bool loaded_ GUARDED_BY(mutex_) = false;
  mutable std::string home_ GUARDED_BY(mutex_);  // the home the values were loaded from
  // What was read from the suite's file and this process's unsaved changes; reading it picks up
  // what other processes saved. Its own locks come after mutex_.
  mutable SharedDictionaryFile file_;
  Value::Dictionary registered_ GUARDED_BY(mutex_);
  // Another process's hold on the file was logged, and no write has succeeded since.
  bool holdTold_ GUARDED_BY(ioMutex_) = false;
};

}  // namespace platform
