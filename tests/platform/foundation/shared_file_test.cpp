#include "platform/foundation/shared_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

using State = SharedFile::State;

TEST(SharedFileTest, ReadsTellMissingPresentAndDamagedApartWithoutFollowingOrBlocking) {
  const fs::path folder = Home::temporary();
  const fs::path target = folder / "target";
  ASSERT_TRUE(FileManager::defaultManager().writeAtomically(target, std::string_view("elsewhere")));
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
    State expected;
  } cases[] = {
      {"nothing there", [](const fs::path&) {}, State::Missing},
      {"a file", [](const fs::path& p) { FileManager::defaultManager().writeAtomically(p, std::string_view("x")); },
       State::Present},
      {"an empty file", [](const fs::path& p) { FileManager::defaultManager().writeAtomically(p, Data{}); },
       State::Present},
      {"a link to a good file", [&](const fs::path& p) { fs::create_symlink(target, p); }, State::Damaged},
      {"a dangling link", [](const fs::path& p) { fs::create_symlink("/nonexistent/file", p); }, State::Damaged},
      {"a directory", [](const fs::path& p) { fs::create_directory(p); }, State::Damaged},
      // Opening a pipe for reading would wait for a writer that never comes.
      {"a named pipe", [](const fs::path& p) { ::mkfifo(p.c_str(), 0600); }, State::Damaged},
      {"a file past the size bound",
       [](const fs::path& p) {
         FileManager::defaultManager().writeAtomically(p, std::string_view("x"));
         fs::resize_file(p, SharedFile::kMaxBytes + 1);
       },
       State::Damaged},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path path = folder / ("case" + std::to_string(n++));
    c.make(path);
    SharedFile::Contents contents = SharedFile(path).read();
    EXPECT_EQ(contents.state, c.expected);
    if (c.expected == State::Present) {
      EXPECT_TRUE(SharedFile(path).isCurrent(contents.version));
    }
  }
}

TEST(SharedFileTest, AVersionIsCurrentUntilTheFileIsReplacedOrRemoved) {
  const SharedFile file(Home::temporary() / "versions");
  SharedFile::Contents missing = file.read();
  EXPECT_TRUE(file.isCurrent(missing.version));
  EXPECT_FALSE(file.isCurrent(SharedFile::Version{}));

  ASSERT_TRUE(FileManager::defaultManager().writeAtomically(file.path(), std::string_view("one")));
  EXPECT_FALSE(file.isCurrent(missing.version));
  SharedFile::Contents one = file.read();
  EXPECT_TRUE(file.isCurrent(one.version));
  ASSERT_TRUE(FileManager::defaultManager().writeAtomically(file.path(), std::string_view("one")));
  EXPECT_FALSE(file.isCurrent(one.version));

  // Under the lock a version also needs the writers' count it was made at.
  std::optional<SharedFile::Lock> lock = file.lock();
  ASSERT_TRUE(lock);
  std::optional<SharedFile::Version> written = file.write(*lock, Data{'2'}, 0600);
  ASSERT_TRUE(written);
  EXPECT_TRUE(file.isCurrent(*written, *lock));
  EXPECT_FALSE(file.isCurrent(file.read().version, *lock));
  ASSERT_TRUE(file.remove(*lock));
  EXPECT_FALSE(file.isCurrent(*written));
}

TEST(SharedFileTest, TheLockWaitsABoundedTimeForAnotherHolder) {
  const SharedFile file(Home::temporary() / "locked");
  std::optional<SharedFile::Lock> first = file.lock();
  ASSERT_TRUE(first);
  struct stat st {};
  ASSERT_EQ(::stat(file.lockPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  Error error;
  EXPECT_FALSE(file.lock(&error, 0.05));
  EXPECT_TRUE(SharedFile::isBusy(error));
  first.reset();
  std::optional<SharedFile::Lock> second = file.lock(&error, 0.05);
  ASSERT_TRUE(second);

  // The writers' count lives in the lock file, so the next holder sees this one's writes.
  ASSERT_TRUE(file.write(*second, Data{'x'}, 0600));
  const std::uint64_t count = second->generation();
  second.reset();
  EXPECT_EQ(file.lock()->generation(), count);
}

TEST(SharedFileTest, ALockFileThatIsNoRegularFileIsNoLock) {
  const SharedFile file(Home::temporary() / "odd");
  fs::create_directory(file.lockPath());
  Error error;
  EXPECT_FALSE(file.lock(&error, 0.05));
  EXPECT_FALSE(SharedFile::isBusy(error));
}

}  // namespace
}  // namespace platform
