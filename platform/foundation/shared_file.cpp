#include "platform/foundation/shared_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/work_tracker.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/property_list.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

std::int64_t nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

SharedFile::Version versionOf(const struct stat& st, std::optional<std::uint64_t> generation) {
  SharedFile::Version version;
  version.known = true;
  version.exists = true;
  version.device = st.st_dev;
  version.inode = st.st_ino;
  version.size = st.st_size;
  version.changedNanoseconds = nanoseconds(st.st_ctim);
  version.modifiedNanoseconds = nanoseconds(st.st_mtim);
  version.generation = generation;
  return version;
}

SharedFile::Version absent(std::optional<std::uint64_t> generation) {
  SharedFile::Version version;
  version.known = true;
  version.generation = generation;
  return version;
}

// The version at the path now; unknown when it cannot be examined.
SharedFile::Version versionAt(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) return versionOf(st, std::nullopt);
  return errno == ENOENT ? absent(std::nullopt) : SharedFile::Version{};
}

SharedFile::Contents failed(SharedFile::State state, const fs::path& path, int err,
                           const SharedFile::Version& version = {}) {
  SharedFile::Contents contents;
  contents.state = state;
  contents.version = version;
  contents.error = fileError(state == SharedFile::State::Damaged ? kFileReadCorruptFileError : kFileReadUnknownError,
                             path, err);
  return contents;
}

// Damaged copies are numbered 1, 2, ... in decimal without leading zeros, up to a bound far beyond
// any real count of damaged files; a name that reads otherwise is no copy.
constexpr std::uint64_t kMaxCopyNumber = 999'999'999;
constexpr int kCopyNameAttempts = 16;

std::optional<std::uint64_t> copyNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 9 || digits.front() == '0') return std::nullopt;
  std::uint64_t number = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (ec != std::errc() || end != digits.data() + digits.size() || number > kMaxCopyNumber) return std::nullopt;
  return number;
}

using SteadyClock = std::chrono::steady_clock;
constexpr SteadyClock::rep kNoEnd = SteadyClock::time_point::max().time_since_epoch().count();
// Read by every wait on each turn, so that an end set meanwhile cuts a wait under way short.
std::atomic<SteadyClock::rep> endOfWaits{kNoEnd};

SteadyClock::time_point endOfWaitsNow() {
  return SteadyClock::time_point(SteadyClock::duration(endOfWaits.load(std::memory_order_acquire)));
}

}  // namespace

void SharedFile::endWaitsBy(std::optional<SteadyClock::time_point> deadline) {
  endOfWaits.store(deadline ? deadline->time_since_epoch().count() : kNoEnd, std::memory_order_release);
}

std::optional<SteadyClock::time_point> SharedFile::waitsEndBy() {
  const SteadyClock::rep end = endOfWaits.load(std::memory_order_acquire);
  if (end == kNoEnd) return std::nullopt;
  return SteadyClock::time_point(SteadyClock::duration(end));
}

SharedFile::Lock::Lock(Lock&& other) noexcept
    : fd_(other.fd_), generation_(other.generation_), counts_(other.counts_) {
  other.fd_ = -1;
}

SharedFile::Lock::~Lock() {
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
}

void SharedFile::Lock::countWrite() {
  if (!counts_) return;
  // Counted before the file changes: a count without a change only costs a reader a re-read.
  ++generation_;
  // A count that fails to land leaves the others to notice the change by the file's identity.
  if (::pwrite(fd_, &generation_, sizeof generation_, 0) < 0) return;
}

bool SharedFile::sameFile(const Version& a, const Version& b) {
  if (!a.known || !b.known || a.exists != b.exists) return false;
  return !a.exists || (a.device == b.device && a.inode == b.inode && a.size == b.size &&
                       a.changedNanoseconds == b.changedNanoseconds && a.modifiedNanoseconds == b.modifiedNanoseconds);
}

SharedFile::SharedFile(fs::path path) : path_(std::move(path)) {}

fs::path SharedFile::lockPath() const {
  fs::path lock = path_;
  lock += ".lock";
  return lock;
}

std::optional<SharedFile::Lock> SharedFile::lock(Error* error, double timeoutSeconds) const {
  const fs::path lockFile = lockPath();
  int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    setError(error, fileError(errno == ENOENT ? kFileNoSuchFileError : kFileWriteUnknownError, lockFile, errno));
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    setError(error, fileError(kFileWriteUnknownError, lockFile, EINVAL));
    return std::nullopt;
  }
  using Clock = SteadyClock;
  const auto ownDeadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
  auto pause = std::chrono::milliseconds(1);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EINTR) continue;
    const auto deadline = std::min(ownDeadline, endOfWaitsNow());
    const auto now = Clock::now();
    if (err != EWOULDBLOCK || now >= deadline) {
      ::close(fd);
      setError(error, fileError(kFileWriteUnknownError, lockFile, err));
      return std::nullopt;
    }
    {
      WaitingOutside waiting;
      std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    }
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
  // A lock file with a second name is some other file too (a planted hard link): it still
  // serves as the lock, but its bytes are neither read nor written.
  const bool counts = st.st_nlink == 1;
  std::uint64_t generation = 0;
  if (counts && ::pread(fd, &generation, sizeof generation, 0) != static_cast<ssize_t>(sizeof generation)) {
    generation = 0;
  }
  return Lock(fd, generation, counts);
}

bool SharedFile::isBusy(const Error& error) {
  const auto& underlying = error.underlyingError();
  return underlying && underlying->domain() == kPOSIXErrorDomain && underlying->code() == EWOULDBLOCK;
}

bool SharedFile::isCurrent(const Version& version) const { return sameFile(version, versionAt(path_)); }

bool SharedFile::isCurrent(const Version& version, const Lock& lock) const {
  return version.generation == lock.generation() && isCurrent(version);
}

SharedFile::Contents SharedFile::read(const Lock* lock) const {
  const std::optional<std::uint64_t> generation =
      lock ? std::optional<std::uint64_t>(lock->generation()) : std::nullopt;
  struct stat st {};
  if (::lstat(path_.c_str(), &st) != 0) {
    if (errno != ENOENT) return failed(State::Unreadable, path_, errno);
    Contents contents;
    contents.version = absent(generation);
    return contents;
  }
  if (!S_ISREG(st.st_mode)) {
    return failed(State::Damaged, path_, S_ISDIR(st.st_mode) ? EISDIR : EINVAL, versionOf(st, generation));
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxBytes) {
    return failed(State::Damaged, path_, EFBIG, versionOf(st, generation));
  }
  Contents contents;
  Error readError;
  bool truncated = false;
  auto bytes = FileManager::defaultManager().contentsOfRegularFile(path_, kMaxBytes, &readError, &truncated, &st);
  if (!bytes) {
    const auto& underlying = readError.underlyingError();
    const int err = underlying ? static_cast<int>(underlying->code()) : EIO;
    if (err == ENOENT) {  // replaced by a removal since the look
      contents.version = absent(generation);
      return contents;
    }
    const bool special = err == ELOOP || err == EISDIR || err == EINVAL;
    return failed(special ? State::Damaged : State::Unreadable, path_, err);
  }
  if (truncated) return failed(State::Damaged, path_, EFBIG, versionOf(st, generation));
  contents.version = versionOf(st, generation);
  contents.bytes = std::move(*bytes);
  contents.state = State::Present;
  return contents;
}

SharedFile::State SharedFile::dictionaryIn(const Contents& contents, Value::Dictionary& values, Error& error) {
  values.clear();
  error = contents.error;
  if (contents.state != State::Present) return contents.state;
  if (contents.bytes.empty()) {
    error = corruptDataError("The file is empty.");
    return State::Damaged;
  }
  std::optional<Value> root = PropertyList::read(contents.bytes, &error);
  if (!root) return State::Damaged;
  if (!root->isDictionary()) {
    error = corruptDataError("The root of the property list is not a dictionary.");
    return State::Damaged;
  }
  values = std::move(*root->mutableDictionary());
  return State::Present;
}

std::optional<SharedFile::Version> SharedFile::write(Lock& lock, const Data& bytes, mode_t mode, Error* error) const {
  removeStaleTemporaryFiles();
  lock.countWrite();
  if (!FileManager::defaultManager().writeAtomically(path_, bytes, mode, error)) return std::nullopt;
  struct stat st {};
  if (::lstat(path_.c_str(), &st) != 0) return Version{};  // written; the next look reads it again
  return versionOf(st, lock.generation());
}

void SharedFile::removeStaleTemporaryFiles() const {
  // Every writer of the file writes under its lock, which this process holds now: a temporary
  // file of the file's own is left from a writer killed before its rename, never one in flight.
  const fs::path folder = path_.parent_path();
  auto names = FileManager::defaultManager().contentsOfDirectory(folder);
  if (!names) return;
  for (const auto& name : *names) {
    if (!FileManager::isTemporaryNameFor(name, path_)) continue;
    const fs::path stale = folder / name;
    struct stat st {};
    if (::lstat(stale.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(stale.c_str());
  }
}

bool SharedFile::remove(Lock& lock, Error* error) const {
  lock.countWrite();
  if (::unlink(path_.c_str()) == 0 || errno == ENOENT) return true;
  setError(error, fileError(kFileWriteUnknownError, path_, errno));
  return false;
}

std::optional<fs::path> SharedFile::setAside(Lock& lock, Error* error) const {
  lock.countWrite();
  const fs::path folder = path_.parent_path();
  const std::string prefix = path_.filename().string() + ".corrupt.";
  auto copy = [&](std::uint64_t number) { return folder / (prefix + std::to_string(number)); };
  auto& files = FileManager::defaultManager();
  auto names = files.contentsOfDirectory(folder, error);
  if (!names) return std::nullopt;
  std::vector<std::uint64_t> numbers;
  for (const auto& name : *names) {
    if (!name.starts_with(prefix)) continue;
    if (auto number = copyNumber(std::string_view(name).substr(prefix.size()))) numbers.push_back(*number);
  }
  std::sort(numbers.begin(), numbers.end());
  const auto keep = static_cast<std::size_t>(kDamagedCopiesKept);
  auto prune = [&](std::size_t kept) {
    for (std::size_t i = 0; i + kept < numbers.size(); ++i) files.removeItem(copy(numbers[i]));
    numbers.erase(numbers.begin(), numbers.end() - static_cast<std::ptrdiff_t>(std::min(kept, numbers.size())));
  };
  if (!numbers.empty() && numbers.back() > kMaxCopyNumber - kCopyNameAttempts) {
    // At the end of the range (a planted name): the newest copies are numbered again from 1, in
    // their order, so that the next ones still count.
    prune(keep - 1);
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      if (numbers[i] != i + 1 && !files.moveItem(copy(numbers[i]), copy(i + 1), error)) return std::nullopt;
      numbers[i] = i + 1;
    }
  }
  std::uint64_t next = numbers.empty() ? 1 : numbers.back() + 1;
  std::optional<fs::path> aside;
  // A name taken meanwhile by a process outside the lock is never overwritten: the next one is tried.
  for (int attempt = 0; attempt < kCopyNameAttempts && !aside; ++attempt, ++next) {
    Error moveError;
    if (files.moveItem(path_, copy(next), &moveError)) {
      aside = copy(next);
      numbers.push_back(next);
    } else if (moveError.code() != kFileWriteFileExistsError) {
      setError(error, moveError);
      return std::nullopt;
    }
  }
  if (!aside) {
    setError(error, fileError(kFileWriteFileExistsError, path_, EEXIST));
    return std::nullopt;
  }
  prune(keep);
  return aside;
}

}  // namespace platform
