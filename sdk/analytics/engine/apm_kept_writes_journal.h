// The journal of writes kept for a held measurement database: what the engine still owed the
// database when the app was ended, written beside it so that the next start writes it first.
// One header line ("kept-writes 1 <records> <SHA-1 of the rest>") and one JSON record per line;
// each record carries the ID the database is told of when its write is done, so a write is done
// once however often the journal is read. The file is the app's own, but like every file kept
// between runs it may hold anything: it is read only as a regular file, bounded in size, and
// checked whole before any record is believed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

class APMEvent;
class APMUserAttribute;
struct APMConditionalUserProperty;

// The whole journal may not be larger: past it the newest records are left out when writing, and
// a larger file is not read.
inline constexpr std::uint64_t kAPMMaxKeptWritesJournalBytes = 16 * 1024 * 1024;

// The journal of a run that ended before each run wrote its own; still read.
std::string APMKeptWritesJournalPath(const std::string& databaseName);
// The journal a run writes when it ends with writes kept.
std::string APMKeptWritesJournalPathOfRun(const std::string& databaseName, const std::string& runID);

// One record as its journal line, without the line break; nothing when it cannot be encoded.
std::optional<std::string> APMKeptWriteJournalLine(const platform::Value::Dictionary& record);

// Writes the lines (synced, replacing the journal at once) while they fit the size limit;
// `written` tells how many did. With no lines the journal is removed.
bool APMWriteKeptWritesJournal(const std::string& path, const std::vector<const std::string*>& lines,
                               std::size_t& written, platform::Error* error);

struct APMKeptWritesJournalContents {
  enum class State { missing, read, damaged, unreadable };
  State state = State::missing;
  // In the order they were kept; only records that decoded.
  std::vector<platform::Value::Dictionary> records;
  // Records the file claimed, or lines it had, that could not be used.
  std::size_t damagedRecords = 0;
  platform::Error error;  // unreadable: why (a lock, the disk, a link or a directory in its place)
};
APMKeptWritesJournalContents APMReadKeptWritesJournal(const std::string& path);
// The same for a journal's bytes, read whole.
APMKeptWritesJournalContents APMParseKeptWritesJournal(std::string_view text);

// A damaged journal goes aside (one earlier damaged copy is replaced), never read again.
bool APMSetAsideKeptWritesJournal(const std::string& path, platform::Error* error);
bool APMRemoveKeptWritesJournal(const std::string& path, platform::Error* error);

// The journals of one database on a home that several processes of the app may share. Each run
// writes a journal of its own, and holds that journal's lock file ("<journal>.lock", an advisory
// lock) for as long as it lives; so a journal whose lock can be taken was left by a run that has
// ended (quit or killed), and the run that takes the lock claims it: only that run reads what it
// names, and it removes the journal once each of its writes is done or saved in its own journal.
// A run killed meanwhile leaves its claims to the next one, which skips what was done (by ID).
// Not thread-safe: the engine calls it under its journal lock.
class APMKeptWritesJournals {
 public:
  APMKeptWritesJournals(std::string databaseName, std::string runID);
  ~APMKeptWritesJournals();
  APMKeptWritesJournals(const APMKeptWritesJournals&) = delete;
  APMKeptWritesJournals& operator=(const APMKeptWritesJournals&) = delete;

  struct Journal {
    std::string path;
    APMKeptWritesJournalContents contents;
  };
  // Claims the journals of ended runs, oldest first, with what each holds; the temporary files of
  // their killed writes are removed. One that is damaged is set aside and not claimed, or left
  // where it is when it cannot be moved; one that cannot be read now is left for a later start.
  struct Found {
    std::vector<Journal> claimed;
    std::vector<Journal> setAside;
    std::vector<Journal> damagedInPlace;  // `contents.error` tells why it could not be moved
    std::vector<Journal> unreadable;
  };
  Found claimJournalsOfEndedRuns();
  // This run's own journal, written whole (synced, replacing its last version) with the lines
  // that fit; `written` tells how many did. With no lines it is removed.
  bool writeOwn(const std::vector<const std::string*>& lines, std::size_t& written, platform::Error* error);
  // Removes the claimed journals, whose writes are done or saved in this run's own journal; true
  // when none is left.
  bool removeClaimed(platform::Error* error);
  // Removes this run's own journal; true when it is gone.
  bool removeOwn(platform::Error* error);
  bool hasClaimed() const { return !claimed_.empty(); }

 private:
  struct Held {
    std::string journal;
    int fd;
  };
  // The journal's lock, when no other process holds it after `attempts` tries.
  std::optional<Held> tryLock(const std::string& journal, int attempts) const;
  // Unlocks, removing the lock file first when asked (only a journal that is gone).
  static void release(Held& held, bool removeLockFile);

  std::string directory_;
  std::string baseName_;  // the journal of the runs before each had its own
  std::string ownPath_;
  std::optional<Held> own_;
  std::vector<Held> claimed_;
};

// Records of the kinds of writes: an event (origin, name, times and parameters), a user property
// and a conditional property's request (a set, or a clear when it has no value). The readers
// answer nothing for a record that does not hold a valid one.
platform::Value::Dictionary APMKeptWriteRecordForEvent(const APMEvent& event);
std::shared_ptr<APMEvent> APMEventFromKeptWriteRecord(const platform::Value::Dictionary& record);
platform::Value::Dictionary APMKeptWriteRecordForUserAttribute(const APMUserAttribute& attribute);
std::shared_ptr<const APMUserAttribute> APMUserAttributeFromKeptWriteRecord(const platform::Value::Dictionary& record);
platform::Value::Dictionary APMKeptWriteRecordForConditionalUserProperty(const APMConditionalUserProperty& property);
std::shared_ptr<const APMConditionalUserProperty> APMConditionalUserPropertyFromKeptWriteRecord(
    const platform::Value::Dictionary& record);
// The text of a record's field, or nothing.
const std::string* APMKeptWriteRecordString(const platform::Value::Dictionary& record, const char* key);
