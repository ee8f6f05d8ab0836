#include "platform/foundation/shared_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <thread>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/work_tracker.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/testing/testing.h"

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
    std::function<void(const fs::path&)> make;  // none: a named pipe
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
      {"a named pipe", nullptr, State::Damaged},
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
    // A read that waits on the pipe is freed after the limit and fails the case instead of hanging.
    std::optional<testing::PlantedFifos> pipe;
    if (c.make) {
      c.make(path);
    } else {
      pipe.emplace(std::vector<fs::path>{path}, 5.0);
      ASSERT_TRUE(pipe->planted());
    }
    SharedFile::Contents contents = SharedFile(path).read();
    if (pipe) {
      EXPECT_FALSE(pipe->finish()) << "the read waited for a writer";
    }
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

  // Tried on a thread of its own: a lock that waited without bound must fail this test, not stop it.
  auto attempt = std::async(std::launch::async, [&file] {
    Error error;
    const bool locked = file.lock(&error, 0.05).has_value();
    return std::pair(locked, SharedFile::isBusy(error));
  });
  if (attempt.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    first.reset();  // lets the waiting thread end
    FAIL() << "the lock waited past its limit for a holder that stays";
  }
  const auto [locked, busy] = attempt.get();
  EXPECT_FALSE(locked);
  EXPECT_TRUE(busy);
  first.reset();
  Error error;
  std::optional<SharedFile::Lock> second = file.lock(&error, 0.05);
  ASSERT_TRUE(second);

  // The writers' count lives in the lock file, so the next holder sees this one's writes.
  ASSERT_TRUE(file.write(*second, Data{'x'}, 0600));
  const std::uint64_t count = second->generation();
  second.reset();
  EXPECT_EQ(file.lock()->generation(), count);
}

// The end of the process cuts short every wait for a holder that stays, one under way and one
// begun after, far within their own limits; each fails as busy. Lifted, waits are their own again.
TEST(SharedFileTest, TheEndOfTheProcessCutsEveryWaitShort) {
  const SharedFile file(Home::temporary() / "ending");
  std::optional<SharedFile::Lock> holder = file.lock();
  ASSERT_TRUE(holder);
  auto attempt = [&file] {
    return std::async(std::launch::async, [&file] {
      Error error;
      const bool locked = file.lock(&error, 600).has_value();
      return std::pair(locked, SharedFile::isBusy(error));
    });
  };
  auto underWay = attempt();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  SharedFile::endWaitsBy(std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
  auto after = attempt();
  for (auto* waiting : {&underWay, &after}) {
    // A wait the end did not cut must fail this test, not stop it.
    if (waiting->wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      SharedFile::endWaitsBy(std::nullopt);
      holder.reset();  // lets the waiting threads end
      FAIL() << "a wait went on past the end of the process";
    }
    EXPECT_EQ(waiting->get(), std::pair(false, true));
  }
  SharedFile::endWaitsBy(std::nullopt);
  EXPECT_FALSE(SharedFile::waitsEndBy());
  holder.reset();
  EXPECT_TRUE(file.lock(nullptr, 0));
}

// A queue waiting for the lock another holder keeps waits outside the process: a front end that
// keeps pace with its user goes on meanwhile.
TEST(SharedFileTest, AQueueWaitingForTheLockWaitsOutsideTheProcess) {
  const SharedFile file(Home::temporary() / "held");
  std::optional<SharedFile::Lock> first = file.lock();
  ASSERT_TRUE(first);
  auto queue = DispatchQueue::serial("test.locker");
  std::atomic<bool> locked{false};
  queue->async([&] { locked = file.lock(nullptr, 10).has_value(); });
  bool waitingOutside = false;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!waitingOutside && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    waitingOutside = WorkTracker::outstanding() > 0 && WorkTracker::ownOutstanding() == 0;
  }
  EXPECT_TRUE(waitingOutside);
  first.reset();
  testing::drain(queue);
  EXPECT_TRUE(locked);
}

TEST(SharedFileTest, ALockFileThatIsNoRegularFileIsNoLock) {
  const SharedFile file(Home::temporary() / "odd");
  fs::create_directory(file.lockPath());
  Error error;
  EXPECT_FALSE(file.lock(&error, 0.05));
  EXPECT_FALSE(SharedFile::isBusy(error));
}

// A lock path may be a hard link planted to another file: nothing is written through it.
TEST(SharedFileTest, ALockFileWithAnotherNameIsNeverWrittenThrough) {
  const SharedFile file(Home::temporary() / "linked");
  const fs::path victim = Home::temporary() / "victim";
  ASSERT_TRUE(FileManager::defaultManager().writeAtomically(victim, std::string_view("VICTIM"), 0600));
  fs::create_hard_link(victim, file.lockPath());

  std::optional<SharedFile::Lock> lock = file.lock();
  ASSERT_TRUE(lock);
  for (char c : {'a', 'b'}) ASSERT_TRUE(file.write(*lock, Data{static_cast<std::uint8_t>(c)}, 0600));
  EXPECT_EQ(file.read(&*lock).bytes, Data{'b'});
  lock.reset();
  EXPECT_EQ(FileManager::defaultManager().contentsAtPath(victim), Data({'V', 'I', 'C', 'T', 'I', 'M'}));
}

std::set<std::string> namesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// Names beside the store that look like its damaged copies but are none, or lie at the end of the
// numbers' range, neither stop setting aside nor keep more than the newest copies.
TEST(SharedFileTest, DamagedCopiesAreNumberedAndPrunedWhateverElseLiesThere) {
  const std::string planted[] = {
      "suite.plist.corrupt.999999999999999999",    // the longest number that once counted
      "suite.plist.corrupt.99999999999999999999",  // past every integer
      "suite.plist.corrupt.999999999",             // the last copy number in range
      "suite.plist.corrupt.007",
      "suite.plist.corrupt.-3",
      "suite.plist.corrupt.+4",
      "suite.plist.corrupt.12x",
      "suite.plist.corrupt.",
      "suite.plist.corrupted.1",
  };
  for (const std::string& name : planted) {
    SCOPED_TRACE(name);
    const fs::path folder = Home::temporary() / ("planted" + std::to_string(&name - planted));
    fs::create_directories(folder);
    ASSERT_TRUE(FileManager::defaultManager().writeAtomically(folder / name, std::string_view("planted")));
    const SharedFile file(folder / "suite.plist");
    std::vector<std::string> damage;
    for (int i = 0; i < 20; ++i) {
      damage.push_back("damage " + std::to_string(i));
      ASSERT_TRUE(FileManager::defaultManager().writeAtomically(file.path(), damage.back(), 0600));
      std::optional<SharedFile::Lock> lock = file.lock();
      ASSERT_TRUE(lock);
      Error error;
      ASSERT_TRUE(file.setAside(*lock, &error)) << i << ": " << error.description();
    }
    // The newest five copies, each with its own damage, and whatever was there that is no copy.
    std::vector<std::string> kept;
    for (const std::string& entry : namesIn(folder)) {
      if (entry == name || entry == "suite.plist.lock") continue;
      auto contents = FileManager::defaultManager().contentsAtPath(folder / entry);
      ASSERT_TRUE(contents) << entry;
      kept.emplace_back(contents->begin(), contents->end());
    }
    std::sort(kept.begin(), kept.end());
    std::vector<std::string> newest(damage.end() - SharedFile::kDamagedCopiesKept, damage.end());
    std::sort(newest.begin(), newest.end());
    if (name == "suite.plist.corrupt.999999999") {
      EXPECT_FALSE(fs::exists(folder / name)) << "a copy in range is one of the copies";
    } else {
      EXPECT_TRUE(fs::exists(folder / name)) << "only copies are pruned";
    }
    EXPECT_EQ(kept, newest);
  }
}

// A write killed before its rename leaves its temporary file; the next write under the lock,
// when no other writer of the file can be in the middle of one, clears it.
TEST(SharedFileTest, AWriteClearsTheTemporaryFilesAKilledWriteLeft) {
  const fs::path folder = Home::temporary() / "stale";
  fs::create_directories(folder);
  const SharedFile file(folder / "suite.plist");
  auto plant = [&](const std::string& name) {
    ASSERT_TRUE(FileManager::defaultManager().writeAtomically(folder / name, std::string_view("left")));
  };
  for (const char* name : {".suite.plist.Ab3xYz", ".suite.plist.000000", ".suite.plist.zzzzzz"}) plant(name);
  // Not this file's temporary files, or not files.
  const std::set<std::string> others{".suite.plist.Ab3xY",  ".suite.plist.Ab3xYz1", ".suite.plist.Ab-xYz",
                                     ".other.plist.Ab3xYz", "suite.plist.Ab3xYz",   ".suite.plist.lock",
                                     ".suite.plist.dirXYZ", ".suite.plist.lnkXYZ",  ".suite.plist.pipXYZ"};
  for (const std::string& name : others) {
    if (name == ".suite.plist.dirXYZ") {
      fs::create_directory(folder / name);
    } else if (name == ".suite.plist.lnkXYZ") {
      fs::create_symlink(folder / ".other.plist.Ab3xYz", folder / name);
    } else if (name == ".suite.plist.pipXYZ") {
      ASSERT_EQ(::mkfifo((folder / name).c_str(), 0600), 0);
    } else {
      plant(name);
    }
  }

  std::optional<SharedFile::Lock> lock = file.lock();
  ASSERT_TRUE(lock);
  ASSERT_TRUE(file.write(*lock, Data{'x'}, 0600));
  std::set<std::string> expected = others;
  expected.insert({"suite.plist", "suite.plist.lock"});
  EXPECT_EQ(namesIn(folder), expected);
}

}  // namespace
}  // namespace platform
