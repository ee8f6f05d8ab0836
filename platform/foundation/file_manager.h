// Files in the app's home: create, list, move, copy, remove, attributes, reads and atomic writes.
// Failures are Errors in the Cocoa domain with the platform's codes; the user info names the
// path (NSFilePath) and the underlying error is the POSIX one (errno).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace platform {

enum class SearchPathDirectory { Caches, ApplicationSupport, Documents, Temporary };

enum class FileType { Regular, Directory, SymbolicLink, Other };

// Opens `path` for reading only when it is a regular file, never following a link in its last
// component nor waiting on a FIFO or device: folders kept between runs may hold anything. The
// descriptor (the caller closes it) and its fstat in `info`, or -1 with errno: ELOOP for a link,
// EISDIR for a directory, EINVAL for any other special file.
int openRegularFileForReading(const std::filesystem::path& path, struct stat* info = nullptr);
// Opens `path` for reading and appending (made with `mode` when missing) under the same rules,
// for a file the app writes in place, such as a log; nor is a file with a second name (a hard
// link planted there) written through, which would change the other file (EMLINK).
int openRegularFileForAppending(const std::filesystem::path& path, mode_t mode, struct stat* info = nullptr);

struct FileAttributes {
  std::uint64_t size = 0;
  Date modificationDate;
  FileType type = FileType::Other;
  mode_t permissions = 0;  // the permission bits (07777)
};

// The error of a failed file call: the Cocoa domain's `code` with the platform's description,
// the path, and the POSIX error `err` (when not 0) underneath.
Error fileError(std::int64_t code, const std::filesystem::path& path, int err);

// What the file layer did that decides what a power cut keeps: a name made or changed (a rename,
// an atomic write's included, or a directory made), a directory synced, an item removed.
enum class FileOperation { Rename, MakeDirectory, SyncDirectory, Remove };
struct FileOperationRecord {
  FileOperation operation;
  std::filesystem::path path;  // the new name, the directory, or the item removed
};

// Tests: while one lives, every operation above that succeeds, from any thread, in order. Lets a
// test check that a name is synced before what relies on it, which no file system shows.
class FileOperationRecorder {
 public:
  FileOperationRecorder();
  ~FileOperationRecorder();
  FileOperationRecorder(const FileOperationRecorder&) = delete;
  FileOperationRecorder& operator=(const FileOperationRecorder&) = delete;
  std::vector<FileOperationRecord> operations() const;
};

class FileManager {
 public:
  static FileManager& defaultManager();
  virtual ~FileManager() = default;

  // An existing directory is success only with intermediates (as the platform does it).
  bool createDirectory(const std::filesystem::path& path, bool withIntermediateDirectories = true,
                       Error* error = nullptr);
  // Names of the entries (not paths), sorted.
  std::optional<std::vector<std::string>> contentsOfDirectory(const std::filesystem::path& path,
                                                              Error* error = nullptr);
  // Every entry below `path`, recursively, as paths relative to it; a directory comes before
  // its contents, siblings sorted by name.
  std::optional<std::vector<std::filesystem::path>> enumerator(const std::filesystem::path& path,
                                                               Error* error = nullptr);
  // Both fail when `to` exists (516); a missing source is 4 for a move, 260 for a copy.
  bool moveItem(const std::filesystem::path& from, const std::filesystem::path& to, Error* error = nullptr);
  bool copyItem(const std::filesystem::path& from, const std::filesystem::path& to, Error* error = nullptr);
  // Removes a file or a whole directory tree.
  bool removeItem(const std::filesystem::path& path, Error* error = nullptr);
  bool fileExists(const std::filesystem::path& path, bool* isDirectory = nullptr) const;
  std::optional<FileAttributes> attributesOfItem(const std::filesystem::path& path, Error* error = nullptr) const;

  // Follows links (for bundle resources), but reads only a regular file and never waits on a FIFO
  // or device; no size limit, so never for files in the app's home.
  std::optional<Data> contentsAtPath(const std::filesystem::path& path, Error* error = nullptr) const;
  // The bytes of a regular file opened as openRegularFileForReading opens it, at most `limit` of
  // them: a longer file gives its first `limit` bytes and sets *truncated. `info` gets the
  // opened file's fstat.
  std::optional<Data> contentsOfRegularFile(const std::filesystem::path& path, std::uint64_t limit,
                                            Error* error = nullptr, bool* truncated = nullptr,
                                            struct stat* info = nullptr) const;
  // The whole of a regular file opened as openRegularFileForReading opens it; one longer than
  // `limit` is an error (too large, EFBIG underneath) rather than cut short. For readers of a
  // file that is only meaningful whole.
  std::optional<Data> contentsOfRegularFileNoLargerThan(const std::filesystem::path& path, std::uint64_t limit,
                                                        Error* error = nullptr) const;
  // Temp file beside the target, fsync, rename over the target, fsync of the directory: a crash
  // leaves either the old or the new content, never a mix. The file gets exactly `mode`.
  bool writeAtomically(const std::filesystem::path& path, const Data& bytes, mode_t mode = 0644,
                       Error* error = nullptr);
  bool writeAtomically(const std::filesystem::path& path, std::string_view text, mode_t mode = 0644,
                       Error* error = nullptr);
  // As writeAtomically, but without the final sync of the directory: the content is on disk, the
  // new name only once syncDirectory has run. A writer of many files in a row syncs once.
  bool writeAtomicallyWithoutDirectorySync(const std::filesystem::path& path, const Data& bytes, mode_t mode = 0644,
                                           Error* error = nullptr);
  // Whether `name` is one the atomic writes of `path` give their temporary file beside it.
  static bool isTemporaryNameFor(std::string_view name, const std::filesystem::path& path);
  // The file name an atomic write's temporary file of that name was for; none for another name.
  static std::optional<std::string> targetOfTemporaryName(std::string_view name);
  // Virtual so that a test can make the sync fail, which no real file system does on demand.
  virtual bool syncDirectory(const std::filesystem::path& directory, Error* error = nullptr);

  // The directory inside the app's home; created when missing if `create`.
  std::optional<std::filesystem::path> urlForDirectory(SearchPathDirectory directory, bool create = true,
                                                       Error* error = nullptr);
};

}  // namespace platform
