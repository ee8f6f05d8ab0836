#include "platform/foundation/file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "platform/foundation/format.h"
#include "platform/foundation/home.h"
#include "platform/foundation/thread_safety.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

// What a FileOperationRecorder holds. `on` is read without the lock, so that a file call pays one
// load when no test records.
struct Recording {
  Mutex mutex;
  std::unique_ptr<std::vector<FileOperationRecord>> operations GUARDED_BY(mutex);
  std::atomic<bool> on{false};
};

Recording& recording() {
  // Never destroyed: a worker may touch a file while the process exits.
  static auto* const r = new Recording;
  return *r;
}

void note(FileOperation operation, const fs::path& path) {
  Recording& r = recording();
  if (!r.on.load(std::memory_order_acquire)) return;
  MutexLock lock(r.mutex);
  if (r.operations) r.operations->push_back({operation, path.lexically_normal()});
}

std::string describe(std::int64_t code, const fs::path& path) {
  std::string name = path.filename().string();
  if (name.empty()) name = path.string();
  switch (code) {
    case kFileNoSuchFileError:
      return format("The file “%s” doesn’t exist.", name);
    case kFileReadNoSuchFileError:
      return format("The file “%s” couldn’t be opened because there is no such file.", name);
    case kFileWriteFileExistsError:
      return format("The file “%s” couldn’t be saved because an item with the same name already exists.", name);
    case kFileWriteUnknownError:
      return format("The file “%s” couldn’t be saved.", name);
    default:
      return format("The file “%s” couldn’t be opened.", name);
  }
}

bool fail(Error* error, std::int64_t code, const fs::path& path, int err) {
  setError(error, fileError(code, path, err));
  return false;
}

std::int64_t readCode(int err) { return err == ENOENT ? kFileReadNoSuchFileError : kFileReadUnknownError; }

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The temporary file of an atomic write: ".<name>." and the letters and digits mkostemp puts in
// place of as many X.
constexpr std::size_t kTemporarySuffixLength = 6;

std::string temporaryPrefix(const fs::path& path) { return "." + path.filename().string() + "."; }

// mkdir -p; returns 0 or the errno of the step that failed.
int makeDirectories(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : EEXIST;
  fs::path parent = path.parent_path();
  if (!parent.empty() && parent != path) {
    if (int err = makeDirectories(parent)) return err;
  }
  if (::mkdir(path.c_str(), 0755) != 0) {
    int err = errno;
    if (err == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return err;
  }
  note(FileOperation::MakeDirectory, path);
  return 0;
}

bool listNames(const fs::path& path, std::vector<std::string>& names, int& err) {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) {
    err = errno;
    return false;
  }
  errno = 0;
  while (dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  err = errno;
  ::closedir(dir);
  if (err != 0) return false;
  std::sort(names.begin(), names.end());
  return true;
}

bool enumerate(const fs::path& root, const fs::path& relative, std::vector<fs::path>& out, Error* error) {
  std::vector<std::string> names;
  int err = 0;
  fs::path dir = relative.empty() ? root : root / relative;
  if (!listNames(dir, names, err)) return fail(error, readCode(err), dir, err);
  for (const auto& name : names) {
    fs::path child = relative.empty() ? fs::path(name) : relative / name;
    out.push_back(child);
    struct stat st {};
    // Links are listed, not followed: a link to a parent must not loop.
    if (::lstat((root / child).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      if (!enumerate(root, child, out, error)) return false;
    }
  }
  return true;
}

// Reads to the end or to `limit` bytes and closes `fd`. The size reported by fstat only sizes the
// first allocation: a file may grow or shrink while it is read.
std::optional<Data> readOpenFile(int fd, const fs::path& path, std::uint64_t limit, std::uint64_t reportedSize,
                                 Error* error, bool* truncated) {
  Data bytes;
  bytes.reserve(static_cast<std::size_t>(std::min(reportedSize, limit)));
  std::uint8_t buffer[64 * 1024];
  for (;;) {
    const std::uint64_t room = limit - bytes.size();
    // One byte past the limit tells a file of exactly `limit` bytes from a longer one.
    const std::size_t want = room >= sizeof buffer ? sizeof buffer : static_cast<std::size_t>(room) + 1;
    ssize_t n = ::read(fd, buffer, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      fail(error, kFileReadUnknownError, path, err);
      return std::nullopt;
    }
    if (n == 0) break;
    if (static_cast<std::uint64_t>(n) > room) {
      bytes.insert(bytes.end(), buffer, buffer + room);
      if (truncated) *truncated = true;
      break;
    }
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  ::close(fd);
  return bytes;
}

}  // namespace

Error fileError(std::int64_t code, const fs::path& path, int err) {
  Value::Dictionary info{{std::string(kFilePathErrorKey), Value(path.string())},
                         {std::string(kLocalizedDescriptionKey), Value(describe(code, path))}};
  std::shared_ptr<const Error> underlying;
  if (err != 0) {
    underlying = std::make_shared<Error>(
        std::string(kPOSIXErrorDomain), err,
        Value::Dictionary{{std::string(kLocalizedDescriptionKey), Value(std::string(std::strerror(err)))}});
  }
  return Error(std::string(kCocoaErrorDomain), code, std::move(info), std::move(underlying));
}

namespace {

// Opens without waiting on a FIFO or device, then keeps the descriptor only for a regular file
// (with one name only, when `singleName`).
int openRegularFile(const fs::path& path, int flags, mode_t mode, bool singleName, struct stat* info) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode);
  if (fd < 0) return -1;
  struct stat st {};
  const bool statted = ::fstat(fd, &st) == 0;
  if (!statted || !S_ISREG(st.st_mode) || (singleName && st.st_nlink > 1)) {
    const int err = !statted ? errno : S_ISDIR(st.st_mode) ? EISDIR : S_ISREG(st.st_mode) ? EMLINK : EINVAL;
    ::close(fd);
    errno = err;
    return -1;
  }
  if (info) *info = st;
  return fd;
}

}  // namespace

int openRegularFileForReading(const fs::path& path, struct stat* info) {
  return openRegularFile(path, O_RDONLY | O_NOFOLLOW, 0, false, info);
}

int openRegularFileForAppending(const fs::path& path, mode_t mode, struct stat* info) {
  return openRegularFile(path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW, mode, true, info);
}

FileManager& FileManager::defaultManager() {
  static auto* manager = new FileManager;
  return *manager;
}

bool FileManager::createDirectory(const fs::path& path, bool withIntermediateDirectories, Error* error) {
  if (withIntermediateDirectories) {
    int err = makeDirectories(path);
    if (err == 0) return true;
    return fail(error, err == EEXIST ? kFileWriteFileExistsError : err == ENOENT ? kFileNoSuchFileError : kFileWriteUnknownError,
                path, err);
  }
  if (::mkdir(path.c_str(), 0755) == 0) {
    note(FileOperation::MakeDirectory, path);
    return true;
  }
  int err = errno;
  return fail(error, err == EEXIST ? kFileWriteFileExistsError : err == ENOENT ? kFileNoSuchFileError : kFileWriteUnknownError,
              path, err);
}

std::optional<std::vector<std::string>> FileManager::contentsOfDirectory(const fs::path& path, Error* error) {
  std::vector<std::string> names;
  int err = 0;
  if (!listNames(path, names, err)) {
    fail(error, readCode(err), path, err);
    return std::nullopt;
  }
  return names;
}

std::optional<std::vector<fs::path>> FileManager::enumerator(const fs::path& path, Error* error) {
  std::vector<fs::path> out;
  if (!enumerate(path, {}, out, error)) return std::nullopt;
  return out;
}

bool FileManager::moveItem(const fs::path& from, const fs::path& to, Error* error) {
  struct stat st {};
  if (::lstat(from.c_str(), &st) != 0) return fail(error, errno == ENOENT ? kFileNoSuchFileError : kFileWriteUnknownError, from, errno);
  // No-replace rename: a destination that appears meanwhile is never overwritten.
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    note(FileOperation::Rename, to);
    return true;
  }
  int err = errno;
  if (err == EEXIST) return fail(error, kFileWriteFileExistsError, to, err);
  if (err == EINVAL || err == ENOSYS) {
    // A file system without no-replace renames.
    if (::lstat(to.c_str(), &st) == 0) return fail(error, kFileWriteFileExistsError, to, EEXIST);
    if (::rename(from.c_str(), to.c_str()) == 0) {
      note(FileOperation::Rename, to);
      return true;
    }
    err = errno;
  }
  if (err == EXDEV) {
    if (!copyItem(from, to, error)) return false;
    return removeItem(from, error);
  }
  return fail(error, err == ENOENT ? kFileNoSuchFileError : kFileWriteUnknownError, to, err);
}

bool FileManager::copyItem(const fs::path& from, const fs::path& to, Error* error) {
  struct stat st {};
  if (::lstat(from.c_str(), &st) != 0) return fail(error, readCode(errno), from, errno);
  if (::lstat(to.c_str(), &st) == 0) return fail(error, kFileWriteFileExistsError, to, EEXIST);
  std::error_code ec;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) return fail(error, ec.value() == ENOENT ? kFileNoSuchFileError : kFileWriteUnknownError, to, ec.value());
  return true;
}

bool FileManager::removeItem(const fs::path& path, Error* error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    int err = errno;
    return fail(error, err == ENOENT ? kFileNoSuchFileError : kFileWriteUnknownError, path, err);
  }
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) return fail(error, kFileWriteUnknownError, path, ec.value());
  note(FileOperation::Remove, path);
  return true;
}

bool FileManager::fileExists(const fs::path& path, bool* isDirectory) const {
  struct stat st {};
  bool exists = ::stat(path.c_str(), &st) == 0;
  if (isDirectory) *isDirectory = exists && S_ISDIR(st.st_mode);
  return exists;
}

std::optional<FileAttributes> FileManager::attributesOfItem(const fs::path& path, Error* error) const {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    fail(error, readCode(errno), path, errno);
    return std::nullopt;
  }
  FileAttributes attributes;
  attributes.size = static_cast<std::uint64_t>(st.st_size);
  attributes.modificationDate = Date::fromTimeIntervalSince1970(static_cast<double>(st.st_mtim.tv_sec) +
                                                                static_cast<double>(st.st_mtim.tv_nsec) / 1e9);
  attributes.type = S_ISREG(st.st_mode)   ? FileType::Regular
                    : S_ISDIR(st.st_mode) ? FileType::Directory
                    : S_ISLNK(st.st_mode) ? FileType::SymbolicLink
                                          : FileType::Other;
  attributes.permissions = st.st_mode & 07777;
  return attributes;
}

std::optional<Data> FileManager::contentsAtPath(const fs::path& path, Error* error) const {
  // Links are followed here: bundle resources read through this may be links.
  struct stat st {};
  const int fd = openRegularFile(path, O_RDONLY, 0, false, &st);
  if (fd < 0) {
    fail(error, readCode(errno), path, errno);
    return std::nullopt;
  }
  return readOpenFile(fd, path, std::numeric_limits<std::uint64_t>::max(), static_cast<std::uint64_t>(st.st_size),
                      error, nullptr);
}

std::optional<Data> FileManager::contentsOfRegularFile(const fs::path& path, std::uint64_t limit, Error* error,
                                                       bool* truncated, struct stat* info) const {
  if (truncated) *truncated = false;
  struct stat st {};
  int fd = openRegularFileForReading(path, &st);
  if (info) *info = st;
  if (fd < 0) {
    fail(error, readCode(errno), path, errno);
    return std::nullopt;
  }
  return readOpenFile(fd, path, limit, static_cast<std::uint64_t>(st.st_size), error, truncated);
}

std::optional<Data> FileManager::contentsOfRegularFileNoLargerThan(const fs::path& path, std::uint64_t limit,
                                                                   Error* error) const {
  bool truncated = false;
  auto bytes = contentsOfRegularFile(path, limit, error, &truncated);
  if (bytes && truncated) {
    fail(error, kFileReadTooLargeError, path, EFBIG);
    return std::nullopt;
  }
  return bytes;
}

bool FileManager::writeAtomically(const fs::path& path, const Data& bytes, mode_t mode, Error* error) {
  if (!writeAtomicallyWithoutDirectorySync(path, bytes, mode, error)) return false;
  // The rename itself must reach the disk too; until it has, the write is not durable.
  fs::path dir = path.parent_path();
  return syncDirectory(dir.empty() ? fs::path(".") : dir, error);
}

bool FileManager::syncDirectory(const fs::path& directory, Error* error) {
  int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return fail(error, kFileWriteUnknownError, directory, errno);
  if (::fsync(dirFd) != 0) {
    int err = errno;
    ::close(dirFd);
    return fail(error, kFileWriteUnknownError, directory, err);
  }
  ::close(dirFd);
  note(FileOperation::SyncDirectory, directory);
  return true;
}

bool FileManager::isTemporaryNameFor(std::string_view name, const fs::path& path) {
  const std::string prefix = temporaryPrefix(path);
  if (name.size() != prefix.size() + kTemporarySuffixLength || !name.starts_with(prefix)) return false;
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

std::optional<std::string> FileManager::targetOfTemporaryName(std::string_view name) {
  // "." + target + "." + the suffix.
  if (name.size() < 3 + kTemporarySuffixLength || name.front() != '.') return std::nullopt;
  std::string target(name.substr(1, name.size() - 2 - kTemporarySuffixLength));
  if (!isTemporaryNameFor(name, target)) return std::nullopt;
  return target;
}

bool FileManager::writeAtomicallyWithoutDirectorySync(const fs::path& path, const Data& bytes, mode_t mode,
                                                      Error* error) {
  fs::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  std::string tempLeaf = temporaryPrefix(path);
  tempLeaf.append(kTemporarySuffixLength, 'X');
  std::string tempName = (dir / tempLeaf).string();
  int fd = ::mkostemp(tempName.data(), O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    return fail(error, err == ENOENT ? kFileNoSuchFileError : kFileWriteUnknownError, path, err);
  }
  auto abandon = [&](int err) {
    ::close(fd);
    ::unlink(tempName.c_str());
    return fail(error, kFileWriteUnknownError, path, err);
  };
  if (::fchmod(fd, mode) != 0) return abandon(errno);
  if (!writeAll(fd, bytes.data(), bytes.size())) return abandon(errno);
  if (::fsync(fd) != 0) return abandon(errno);
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(tempName.c_str());
    return fail(error, kFileWriteUnknownError, path, err);
  }
  if (::rename(tempName.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tempName.c_str());
    return fail(error, kFileWriteUnknownError, path, err);
  }
  note(FileOperation::Rename, path);
  return true;
}

bool FileManager::writeAtomically(const fs::path& path, std::string_view text, mode_t mode, Error* error) {
  return writeAtomically(path, Data(text.begin(), text.end()), mode, error);
}

FileOperationRecorder::FileOperationRecorder() {
  Recording& r = recording();
  MutexLock lock(r.mutex);
  r.operations = std::make_unique<std::vector<FileOperationRecord>>();
  r.on.store(true, std::memory_order_release);
}

FileOperationRecorder::~FileOperationRecorder() {
  Recording& r = recording();
  MutexLock lock(r.mutex);
  r.on.store(false, std::memory_order_release);
  r.operations.reset();
}

std::vector<FileOperationRecord> FileOperationRecorder::operations() const {
  Recording& r = recording();
  MutexLock lock(r.mutex);
  return r.operations ? *r.operations : std::vector<FileOperationRecord>{};
}

std::optional<fs::path> FileManager::urlForDirectory(SearchPathDirectory directory, bool create, Error* error) {
  fs::path path;
  switch (directory) {
    case SearchPathDirectory::Caches:
      path = Home::caches();
      break;
    case SearchPathDirectory::ApplicationSupport:
      path = Home::applicationSupport();
      break;
    case SearchPathDirectory::Documents:
      path = Home::documents();
      break;
    case SearchPathDirectory::Temporary:
      path = Home::temporary();
      break;
  }
  if (create && !createDirectory(path, true, error)) return std::nullopt;
  return path;
}

}  // namespace platform
