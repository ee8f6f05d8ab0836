#include "platform/foundation/file_manager.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "platform/foundation/home.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void writeText(const fs::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

class FileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = Home::documents() / "fm";
    fs::create_directories(root);
  }
  FileManager& files = FileManager::defaultManager();
  fs::path root;
};

TEST_F(FileManagerTest, FailuresCarryThePlatformCodesPathAndErrno) {
  writeText(root / "existing", "x");
  writeText(root / "other", "y");
  fs::create_directory(root / "dir");
  struct Case {
    const char* what;
    std::function<bool(Error*)> op;
    std::int64_t code;
    fs::path path;
    int posix;
  } cases[] = {
      {"remove missing", [&](Error* e) { return files.removeItem(root / "missing", e); }, kFileNoSuchFileError,
       root / "missing", ENOENT},
      {"move missing", [&](Error* e) { return files.moveItem(root / "missing", root / "to", e); }, kFileNoSuchFileError,
       root / "missing", ENOENT},
      {"read missing", [&](Error* e) { return files.contentsAtPath(root / "missing", e).has_value(); },
       kFileReadNoSuchFileError, root / "missing", ENOENT},
      {"copy missing", [&](Error* e) { return files.copyItem(root / "missing", root / "to", e); },
       kFileReadNoSuchFileError, root / "missing", ENOENT},
      {"attributes of missing", [&](Error* e) { return files.attributesOfItem(root / "missing", e).has_value(); },
       kFileReadNoSuchFileError, root / "missing", ENOENT},
      {"list missing", [&](Error* e) { return files.contentsOfDirectory(root / "missing", e).has_value(); },
       kFileReadNoSuchFileError, root / "missing", ENOENT},
      {"move onto existing", [&](Error* e) { return files.moveItem(root / "other", root / "existing", e); },
       kFileWriteFileExistsError, root / "existing", EEXIST},
      {"copy onto existing", [&](Error* e) { return files.copyItem(root / "other", root / "existing", e); },
       kFileWriteFileExistsError, root / "existing", EEXIST},
      {"create existing without intermediates", [&](Error* e) { return files.createDirectory(root / "dir", false, e); },
       kFileWriteFileExistsError, root / "dir", EEXIST},
      {"create over a file", [&](Error* e) { return files.createDirectory(root / "existing", true, e); },
       kFileWriteFileExistsError, root / "existing", EEXIST},
      {"read a directory", [&](Error* e) { return files.contentsAtPath(root / "dir", e).has_value(); },
       kFileReadUnknownError, root / "dir", EISDIR},
      {"list a file", [&](Error* e) { return files.contentsOfDirectory(root / "existing", e).has_value(); },
       kFileReadUnknownError, root / "existing", ENOTDIR},
      {"write into a missing folder", [&](Error* e) { return files.writeAtomically(root / "no" / "f", "x", 0644, e); },
       kFileNoSuchFileError, root / "no" / "f", ENOENT},
      {"write over a directory", [&](Error* e) { return files.writeAtomically(root / "dir", "x", 0644, e); },
       kFileWriteUnknownError, root / "dir", EISDIR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Error error;
    EXPECT_FALSE(c.op(&error));
    EXPECT_EQ(error.domain(), kCocoaErrorDomain);
    EXPECT_EQ(error.code(), c.code);
    EXPECT_EQ(error.userInfo().at(std::string(kFilePathErrorKey)), Value(c.path.string()));
    ASSERT_TRUE(error.underlyingError());
    EXPECT_EQ(error.underlyingError()->domain(), kPOSIXErrorDomain);
    EXPECT_EQ(error.underlyingError()->code(), c.posix);
    EXPECT_FALSE(c.op(nullptr));  // a null out-parameter is allowed
  }
  // Nothing was overwritten by the refused moves and copies.
  EXPECT_EQ(readText(root / "existing"), "x");
  EXPECT_EQ(readText(root / "other"), "y");
}

TEST_F(FileManagerTest, CreateListEnumerateCopyMoveRemoveATree) {
  ASSERT_TRUE(files.createDirectory(root / "a" / "b" / "c"));
  EXPECT_TRUE(files.createDirectory(root / "a" / "b"));  // existing is fine with intermediates
  writeText(root / "a" / "z.txt", "z");
  writeText(root / "a" / "b" / "y.txt", "y");
  fs::create_symlink(root / "a", root / "a" / "b" / "loop");

  EXPECT_EQ(files.contentsOfDirectory(root / "a"), (std::vector<std::string>{"b", "z.txt"}));
  std::vector<fs::path> expected{"b", "b/c", "b/loop", "b/y.txt", "z.txt"};
  EXPECT_EQ(files.enumerator(root / "a"), expected);

  ASSERT_TRUE(files.copyItem(root / "a", root / "copy"));
  EXPECT_EQ(files.enumerator(root / "copy"), expected);
  EXPECT_EQ(readText(root / "copy" / "b" / "y.txt"), "y");

  ASSERT_TRUE(files.moveItem(root / "copy", root / "moved"));
  bool isDirectory = false;
  EXPECT_FALSE(files.fileExists(root / "copy"));
  EXPECT_TRUE(files.fileExists(root / "moved", &isDirectory));
  EXPECT_TRUE(isDirectory);

  ASSERT_TRUE(files.removeItem(root / "moved"));
  EXPECT_FALSE(files.fileExists(root / "moved"));
  EXPECT_TRUE(files.fileExists(root / "a" / "z.txt", &isDirectory));  // the link was not followed
  EXPECT_FALSE(isDirectory);
}

// Folders kept between runs may hold anything: only a regular file is read, never through a link,
// never waiting for a FIFO's writer, and never more than asked for however large it claims to be.
TEST_F(FileManagerTest, RegularFileReadsRefuseLinksAndSpecialFilesAndStopAtTheLimit) {
  writeText(root / "plain", "0123456789");
  writeText(root / "target", "secret");
  fs::create_symlink(root / "target", root / "link");
  ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
  fs::create_directory(root / "dir");
  {
    std::ofstream sparse(root / "sparse", std::ios::binary);
  }
  ASSERT_EQ(::truncate((root / "sparse").c_str(), std::int64_t{2} << 40), 0);
  struct Case {
    const char* name;
    std::uint64_t limit;
    std::optional<std::string> contents;
    bool truncated;
    int posix;
  } cases[] = {
      {"plain", 100, "0123456789", false, 0},
      {"plain", 10, "0123456789", false, 0},
      {"plain", 4, "0123", true, 0},
      {"link", 100, std::nullopt, false, ELOOP},
      {"fifo", 100, std::nullopt, false, EINVAL},
      {"dir", 100, std::nullopt, false, EISDIR},
      {"missing", 100, std::nullopt, false, ENOENT},
      {"sparse", 3, std::string(3, '\0'), true, 0},
  };
  for (const auto& c : cases) {
    Error error;
    bool truncated = !c.truncated;
    auto data = files.contentsOfRegularFile(root / c.name, c.limit, &error, &truncated);
    ASSERT_EQ(data.has_value(), c.contents.has_value()) << c.name;
    if (data) {
      EXPECT_EQ(std::string(data->begin(), data->end()), *c.contents) << c.name;
      EXPECT_EQ(truncated, c.truncated) << c.name << " " << c.limit;
    } else {
      ASSERT_TRUE(error.underlyingError()) << c.name;
      EXPECT_EQ(error.underlyingError()->code(), c.posix) << c.name;
    }
  }
}

// The unbounded reader still follows links (bundle resources may be links), but neither it nor
// the whole-file reader ever waits on a FIFO; the whole-file reader refuses what is too long.
TEST_F(FileManagerTest, PathAndWholeFileReadsNeverWaitOnSpecialFiles) {
  writeText(root / "plain", "0123456789");
  fs::create_symlink(root / "plain", root / "link");
  fs::create_directory(root / "dir");
  testing::PlantedFifos fifos({root / "fifo"}, 5);
  ASSERT_TRUE(fifos.planted());
  enum class Reader { AtPath, NoLargerThan };
  struct Case {
    Reader reader;
    const char* name;
    std::uint64_t limit;
    std::optional<std::string> contents;
    std::int64_t code;
    int posix;
  } cases[] = {
      {Reader::AtPath, "plain", 0, "0123456789", 0, 0},
      {Reader::AtPath, "link", 0, "0123456789", 0, 0},
      {Reader::AtPath, "fifo", 0, std::nullopt, kFileReadUnknownError, EINVAL},
      {Reader::AtPath, "dir", 0, std::nullopt, kFileReadUnknownError, EISDIR},
      {Reader::AtPath, "missing", 0, std::nullopt, kFileReadNoSuchFileError, ENOENT},
      {Reader::NoLargerThan, "plain", 10, "0123456789", 0, 0},
      {Reader::NoLargerThan, "plain", 9, std::nullopt, kFileReadTooLargeError, EFBIG},
      {Reader::NoLargerThan, "link", 100, std::nullopt, kFileReadUnknownError, ELOOP},
      {Reader::NoLargerThan, "fifo", 100, std::nullopt, kFileReadUnknownError, EINVAL},
  };
  for (const auto& c : cases) {
    Error error;
    auto data = c.reader == Reader::AtPath ? files.contentsAtPath(root / c.name, &error)
                                           : files.contentsOfRegularFileNoLargerThan(root / c.name, c.limit, &error);
    ASSERT_EQ(data.has_value(), c.contents.has_value()) << c.name << " " << c.limit;
    if (data) {
      EXPECT_EQ(std::string(data->begin(), data->end()), *c.contents) << c.name;
    } else {
      EXPECT_EQ(error.code(), c.code) << c.name << " " << c.limit;
      ASSERT_TRUE(error.underlyingError()) << c.name;
      EXPECT_EQ(error.underlyingError()->code(), c.posix) << c.name;
    }
  }
  EXPECT_FALSE(fifos.finish()) << "a read waited on a FIFO";
}

// A file the app appends to in place (a log) is made when missing and written only when it is a
// regular file of its own: never through a link of either kind, never waiting on a FIFO.
TEST_F(FileManagerTest, AppendsGoOnlyToARegularFileWithASingleName) {
  writeText(root / "plain", "old\n");
  writeText(root / "target", "secret");
  fs::create_symlink(root / "target", root / "link");
  fs::create_hard_link(root / "target", root / "hardlink");
  fs::create_directory(root / "dir");
  testing::PlantedFifos fifos({root / "fifo"}, 5);
  ASSERT_TRUE(fifos.planted());
  struct Case {
    const char* name;
    const char* after;  // the file's contents after appending "new\n"; null: refused
    int posix;
  } cases[] = {
      {"plain", "old\nnew\n", 0},  {"missing", "new\n", 0},  {"link", nullptr, ELOOP},
      {"hardlink", nullptr, EMLINK}, {"dir", nullptr, EISDIR}, {"fifo", nullptr, EINVAL},
  };
  for (const auto& c : cases) {
    struct stat info {};
    errno = 0;
    const int fd = openRegularFileForAppending(root / c.name, 0600, &info);
    if (!c.after) {
      EXPECT_EQ(fd, -1) << c.name;
      EXPECT_EQ(errno, c.posix) << c.name;
      if (fd >= 0) ::close(fd);
      continue;
    }
    ASSERT_GE(fd, 0) << c.name << ": " << std::strerror(errno);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << c.name;
    EXPECT_EQ(::write(fd, "new\n", 4), 4);
    ::close(fd);
    EXPECT_EQ(readText(root / c.name), c.after) << c.name;
  }
  EXPECT_EQ(fs::status(root / "missing").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(readText(root / "target"), "secret");
  EXPECT_FALSE(fifos.finish()) << "an open waited on a FIFO";
}

TEST_F(FileManagerTest, AttributesGiveSizeTypeAndModificationDate) {
  writeText(root / "f", "12345");
  timespec times[2] = {{1'700'000'000, 500'000'000}, {1'700'000'000, 500'000'000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (root / "f").c_str(), times, 0), 0);
  auto attributes = files.attributesOfItem(root / "f");
  ASSERT_TRUE(attributes);
  EXPECT_EQ(attributes->size, 5u);
  EXPECT_EQ(attributes->type, FileType::Regular);
  EXPECT_DOUBLE_EQ(attributes->modificationDate.timeIntervalSince1970(), 1'700'000'000.5);
  EXPECT_EQ(files.attributesOfItem(root)->type, FileType::Directory);
}

TEST_F(FileManagerTest, AtomicWriteSetsTheModeAndLeavesNoTempFile) {
  ::umask(077);  // the requested mode is applied regardless of the umask
  for (mode_t mode : {mode_t{0600}, mode_t{0644}}) {
    Error error;
    ASSERT_TRUE(files.writeAtomically(root / "f", "first", mode, &error)) << error.description();
    ASSERT_TRUE(files.writeAtomically(root / "f", "second", mode, &error)) << error.description();
    EXPECT_EQ(readText(root / "f"), "second");
    EXPECT_EQ(files.attributesOfItem(root / "f")->permissions, mode);
    EXPECT_EQ(files.contentsOfDirectory(root), std::vector<std::string>{"f"});
  }
  ::umask(022);
}

// A file-size limit makes the write fail half-way, as a full disk would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{bytes, saved_.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

TEST_F(FileManagerTest, FailedAtomicWriteKeepsTheOldContentAndNoTempFile) {
  ASSERT_TRUE(files.writeAtomically(root / "f", "old content"));
  Error error;
  {
    FileSizeLimit limit(1024);
    EXPECT_FALSE(files.writeAtomically(root / "f", std::string(64 * 1024, 'n'), 0644, &error));
  }
  EXPECT_EQ(error.code(), kFileWriteUnknownError);
  ASSERT_TRUE(error.underlyingError());
  EXPECT_EQ(error.underlyingError()->code(), EFBIG);
  EXPECT_EQ(readText(root / "f"), "old content");
  EXPECT_EQ(files.contentsOfDirectory(root), std::vector<std::string>{"f"});
}

// A directory sync that fails, as it can on a disk that reports an I/O error.
class FailingDirectorySync : public FileManager {
 public:
  bool syncDirectory(const fs::path& directory, Error* error) override {
    return FileManager::syncDirectory(directory / "missing", error);
  }
};

TEST_F(FileManagerTest, FailedDirectorySyncIsAFailedWrite) {
  FailingDirectorySync failing;
  Error error;
  EXPECT_FALSE(failing.writeAtomically(root / "f", "content", 0644, &error));
  EXPECT_EQ(error.code(), kFileWriteUnknownError);
  ASSERT_TRUE(error.underlyingError());
  EXPECT_EQ(error.underlyingError()->code(), ENOENT);
}

// A recorder sees what decides what a power cut keeps, in order: each directory made, each new
// name (an atomic write's and a move's), each directory sync and removal; nothing that failed.
TEST_F(FileManagerTest, ARecorderSeesNamesSyncsAndRemovalsInOrder) {
  FileOperationRecorder recorder;
  ASSERT_TRUE(files.createDirectory(root / "a" / "b"));
  ASSERT_TRUE(files.writeAtomically(root / "a" / "f", "x"));
  ASSERT_TRUE(files.moveItem(root / "a" / "f", root / "g"));
  EXPECT_FALSE(files.moveItem(root / "missing", root / "h"));
  ASSERT_TRUE(files.removeItem(root / "a"));
  using Op = FileOperation;
  const std::vector<std::pair<Op, fs::path>> expected = {
      {Op::MakeDirectory, root / "a"}, {Op::MakeDirectory, root / "a" / "b"}, {Op::Rename, root / "a" / "f"},
      {Op::SyncDirectory, root / "a"}, {Op::Rename, root / "g"},          {Op::Remove, root / "a"}};
  std::vector<std::pair<Op, fs::path>> seen;
  for (const auto& [operation, path] : recorder.operations()) seen.emplace_back(operation, path);
  ASSERT_EQ(seen.size(), expected.size());
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].first, expected[i].first) << i;
    EXPECT_EQ(seen[i].second, expected[i].second.lexically_normal()) << i;
  }
}

// Recorders made and dropped while other threads work on files: each sees whole records only, of
// the threads' own files, and nothing is recorded once none lives.
TEST_F(FileManagerTest, RecordersComeAndGoWhileThreadsWriteFiles) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      const fs::path path = root / ("w" + std::to_string(t));
      while (!stop.load()) {
        ASSERT_TRUE(files.writeAtomically(path, "x"));
        ASSERT_TRUE(files.removeItem(path));
      }
    });
  }
  for (int round = 0; round < 200; ++round) {
    FileOperationRecorder recorder;
    std::this_thread::yield();
    for (const auto& record : recorder.operations()) {
      const fs::path directory = record.operation == FileOperation::SyncDirectory ? record.path : record.path.parent_path();
      EXPECT_EQ(directory, root.lexically_normal()) << record.path;
    }
  }
  stop = true;
  for (auto& writer : writers) writer.join();
  FileOperationRecorder after;
  EXPECT_TRUE(after.operations().empty());
}

TEST_F(FileManagerTest, SearchPathsLieInTheHome) {
  struct Case {
    SearchPathDirectory directory;
    fs::path expected;
  } cases[] = {
      {SearchPathDirectory::Caches, Home::path() / "Library" / "Caches"},
      {SearchPathDirectory::ApplicationSupport, Home::path() / "Library" / "Application Support"},
      {SearchPathDirectory::Documents, Home::path() / "Documents"},
      {SearchPathDirectory::Temporary, Home::path() / "tmp"},
  };
  fs::remove_all(Home::library());  // a reinstall: the folders come back on demand
  for (const auto& c : cases) {
    auto url = files.urlForDirectory(c.directory);
    ASSERT_TRUE(url);
    EXPECT_EQ(*url, c.expected);
    bool isDirectory = false;
    EXPECT_TRUE(files.fileExists(*url, &isDirectory) && isDirectory);
  }
}

}  // namespace
}  // namespace platform
