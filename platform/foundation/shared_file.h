// A file that several processes on one home read and rewrite whole: the preferences of a suite,
// the keychain. Writers replace it atomically, so a reader needs no lock and always sees one
// whole version. A writer holds an exclusive advisory lock on "<name>.lock" beside it while it
// reads the current version, applies its own changes on top and replaces it, so no process
// overwrites another's saved change with an older copy of its own.
//
// Nothing here follows a link or blocks on a special file, and reads are bounded in size. A
// failed read is told apart from a damaged file: only the second is set aside, and it is kept as
// "<name>.corrupt.<n>", the newest few of them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace platform {

class SharedFile {
 public:
  // Which version of the file a copy in memory was made from. A default one is never current.
  struct Version {
    bool known = false;
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t changedNanoseconds = 0;
    std::int64_t modifiedNanoseconds = 0;
    // Writers count their writes in the lock file; known only for a version read or written
    // under the lock.
    std::optional<std::uint64_t> generation;
  };
  // Whether two versions are the same file in the same state (the writers' count aside).
  static bool sameFile(const Version& a, const Version& b);

  enum class State {
    Missing,     // nothing at the path
    Present,     // `bytes` hold the file
    Damaged,     // something other than a regular file of sane size: set it aside
    Unreadable,  // the read failed (I/O, permissions, descriptors): transient, the file may be fine
  };
  struct Contents {
    State state = State::Missing;
    Data bytes;
    Version version;  // Missing and Present; Damaged when it could be examined
    Error error;      // Damaged and Unreadable
  };

  // Held for its lifetime; released explicitly, so a child forked meanwhile does not keep it.
  class Lock {
   public:
    Lock(Lock&& other) noexcept;
    Lock& operator=(Lock&&) = delete;
    ~Lock();
    std::uint64_t generation() const { return generation_; }

   private:
    friend class SharedFile;
    Lock(int fd, std::uint64_t generation, bool counts) : fd_(fd), generation_(generation), counts_(counts) {}
    void countWrite();

    int fd_;
    std::uint64_t generation_;
    // False for a lock file that is also another file (a hard link): nothing is written into it,
    // and the others notice a change by the file's identity alone.
    bool counts_;
  };

  static constexpr std::uint64_t kMaxBytes = std::uint64_t{64} << 20;
  // A writer holds the lock for one read and one synced write; far longer means a stuck process.
  static constexpr double kLockTimeoutSeconds = 10;
  static constexpr int kDamagedCopiesKept = 5;

  explicit SharedFile(std::filesystem::path path);
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path lockPath() const;

  // Waits at most `timeoutSeconds` of real time for another holder, and never past the end set
  // below; the parent folder must exist.
  std::optional<Lock> lock(Error* error = nullptr, double timeoutSeconds = kLockTimeoutSeconds) const;
  // The process ends by `deadline` (steady clock): from now on no wait for a lock, one under way
  // included, lasts past it, so that another process's hold cannot stretch the end beyond its
  // allowance; a wait cut short fails as busy. None lifts it (a test's process goes on).
  static void endWaitsBy(std::optional<std::chrono::steady_clock::time_point> deadline);
  static std::optional<std::chrono::steady_clock::time_point> waitsEndBy();
  // Whether a failed lock() only met another holder for too long.
  static bool isBusy(const Error& error);

  // Whether the path still holds `version`. Under the lock it also checks that no other writer
  // replaced the file since, which a reused inode within one clock tick could hide.
  bool isCurrent(const Version& version) const;
  bool isCurrent(const Version& version, const Lock& lock) const;

  Contents read(const Lock* lock = nullptr) const;
  // The dictionary at the root of a property-list file as read: empty for a missing file, and
  // anything but a property list with a dictionary at its root is damage. The state it comes to.
  static State dictionaryIn(const Contents& contents, Value::Dictionary& values, Error& error);

  // Under the lock: replaces the file (temp file, fsync, rename, exactly `mode`). Temporary files
  // of earlier writes that were killed before their rename are removed first.
  std::optional<Version> write(Lock& lock, const Data& bytes, mode_t mode, Error* error = nullptr) const;
  // Under the lock: nothing at the path afterwards.
  bool remove(Lock& lock, Error* error = nullptr) const;
  // Under the lock: moves whatever is at the path to "<name>.corrupt.<n>", n one past the highest
  // copy there, then removes all but the newest kDamagedCopiesKept copies (names that are no
  // copy's are left alone; near the end of the numbers' range the copies kept are numbered again
  // from 1). The new path, or none.
  std::optional<std::filesystem::path> setAside(Lock& lock, Error* error = nullptr) const;

 private:
  void removeStaleTemporaryFiles() const;

  std::filesystem::path path_;
};

}  // namespace platform
