#include "platform/security/keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/shared_file.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

Value::Dictionary password(std::string account) {
  return {{std::string(kSecClass), Value(kSecClassGenericPassword)},
          {std::string(kSecAttrService), Value("svc")},
          {std::string(kSecAttrAccount), Value(std::move(account))}};
}

Value::Dictionary withData(Value::Dictionary query, std::string text) {
  query[std::string(kSecValueData)] = Value(Data(text.begin(), text.end()));
  return query;
}

namespace fs = std::filesystem;

fs::path keychainFile() { return Home::keychain() / "keychain.plist"; }

// What another process sharing the home would leave on disk.
void writeKeychainFile(const Value& root) {
  ASSERT_TRUE(FileManager::defaultManager().writeAtomically(
      keychainFile(), *PropertyList::write(root, PropertyList::Format::Binary), 0600));
}

Value::Array itemsOnDisk() {
  auto bytes = FileManager::defaultManager().contentsAtPath(keychainFile());
  auto root = bytes ? PropertyList::read(*bytes) : std::nullopt;
  return root ? root->arrayOrEmpty() : Value::Array{};
}

std::set<std::string> damagedCopies() {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(Home::keychain())) {
    if (entry.path().filename().string().starts_with("keychain.plist.corrupt")) {
      names.insert(entry.path().filename().string());
    }
  }
  return names;
}

// Counts and injected failures start afresh whatever ran before (the stress test resets nothing).
class KeychainTest : public ::testing::Test {
  void SetUp() override { KeychainTesting::reset(); }
  void TearDown() override { KeychainTesting::reset(); }
};

TEST_F(KeychainTest, ItemsAreAddedFoundUpdatedAndDeletedWithTheirStatusCodes) {
  std::optional<Data> data;
  EXPECT_EQ(SecItemCopyMatching(password("a"), &data), errSecItemNotFound);
  EXPECT_EQ(SecItemAdd(withData(password("a"), "one")), errSecSuccess);
  EXPECT_EQ(SecItemAdd(withData(password("a"), "two")), errSecDuplicateItem);
  EXPECT_EQ(SecItemCopyMatching(password("a"), &data), errSecSuccess);
  EXPECT_EQ(data, Data({'o', 'n', 'e'}));
  EXPECT_EQ(SecItemUpdate(password("a"), {{std::string(kSecValueData), Value(Data{'x'})}}), errSecSuccess);
  EXPECT_EQ(SecItemCopyMatching(password("a"), &data), errSecSuccess);
  EXPECT_EQ(data, Data{'x'});
  EXPECT_EQ(SecItemUpdate(password("b"), {{std::string(kSecValueData), Value(Data{'x'})}}), errSecItemNotFound);
  EXPECT_EQ(SecItemDelete(password("a")), errSecSuccess);
  EXPECT_EQ(SecItemDelete(password("a")), errSecItemNotFound);
  EXPECT_EQ(SecItemAdd({{std::string(kSecAttrAccount), Value("no class")}}), errSecParam);
}

TEST_F(KeychainTest, TheStoreIsPrivateAndOutlivesTheLibraryFolder) {
  ASSERT_EQ(SecItemAdd(withData(password("kept"), "secret")), errSecSuccess);
  const auto file = Home::keychain() / "keychain.plist";
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::filesystem::remove_all(Home::library());
  Home::set(Home::path());  // the caches start afresh, as in a new process
  std::optional<Data> data;
  EXPECT_EQ(SecItemCopyMatching(password("kept"), &data), errSecSuccess);
}

TEST_F(KeychainTest, InjectedFailuresAnswerWithoutTouchingItems) {
  KeychainTesting::failNext(KeychainTesting::Call::Add, errSecInteractionNotAllowed);
  EXPECT_EQ(SecItemAdd(withData(password("a"), "one")), errSecInteractionNotAllowed);
  EXPECT_EQ(SecItemCopyMatching(password("a"), nullptr), errSecItemNotFound);
  EXPECT_EQ(SecItemAdd(withData(password("a"), "one")), errSecSuccess);
  EXPECT_EQ(KeychainTesting::callCount(KeychainTesting::Call::Add), 2);
}

TEST_F(KeychainTest, ItemsSavedOrRemovedByAnotherProcessAreSeenAndKept) {
  ASSERT_EQ(SecItemAdd(withData(password("mine"), "1")), errSecSuccess);
  Value::Array items = itemsOnDisk();
  items.emplace_back(withData(password("theirs"), "2"));
  writeKeychainFile(Value(items));

  std::optional<Data> data;
  EXPECT_EQ(SecItemCopyMatching(password("theirs"), &data), errSecSuccess);
  EXPECT_EQ(data, Data{'2'});
  ASSERT_EQ(SecItemAdd(withData(password("mine too"), "3")), errSecSuccess);
  EXPECT_EQ(itemsOnDisk().size(), 3u);

  // The other process removes one of ours: gone here too, and not brought back by our next write.
  items = itemsOnDisk();
  std::erase_if(items, [](const Value& item) { return item.ifDictionary()->at(std::string(kSecAttrAccount)) == Value("mine"); });
  writeKeychainFile(Value(items));
  EXPECT_EQ(SecItemCopyMatching(password("mine"), &data), errSecItemNotFound);
  ASSERT_EQ(SecItemUpdate(password("theirs"), {{std::string(kSecValueData), Value(Data{'4'})}}), errSecSuccess);
  EXPECT_EQ(itemsOnDisk(), (Value::Array{Value(withData(password("theirs"), "4")), Value(withData(password("mine too"), "3"))}));
}

TEST_F(KeychainTest, EachDamagedStoreIsKeptUnderItsOwnNameUpToALimit) {
  std::vector<std::string> damage;
  for (int i = 1; i <= 7; ++i) damage.push_back("damaged store number " + std::to_string(i));
  for (const auto& text : damage) {
    ASSERT_TRUE(FileManager::defaultManager().writeAtomically(keychainFile(), text, 0600));
    EXPECT_EQ(SecItemCopyMatching(password("a"), nullptr), errSecItemNotFound) << text;
  }
  // The oldest two made room; each kept copy holds its own damage.
  EXPECT_EQ(damagedCopies(), (std::set<std::string>{"keychain.plist.corrupt.3", "keychain.plist.corrupt.4",
                                                    "keychain.plist.corrupt.5", "keychain.plist.corrupt.6",
                                                    "keychain.plist.corrupt.7"}));
  for (int i = 3; i <= 7; ++i) {
    auto kept = FileManager::defaultManager().contentsAtPath(Home::keychain() / ("keychain.plist.corrupt." + std::to_string(i)));
    ASSERT_TRUE(kept);
    EXPECT_EQ(std::string(kept->begin(), kept->end()), damage[static_cast<std::size_t>(i - 1)]);
  }
  EXPECT_EQ(SecItemAdd(withData(password("a"), "fresh")), errSecSuccess);
}

TEST_F(KeychainTest, AStoreThatCannotBeReadNowIsNotDamage) {
  ASSERT_EQ(SecItemAdd(withData(password("kept"), "secret")), errSecSuccess);
  Home::set(Home::path());  // a new process, which has read nothing yet
  {
    testing::UnreadableFile unreadable(keychainFile());
    EXPECT_EQ(SecItemCopyMatching(password("kept"), nullptr), errSecIO);
    EXPECT_NE(SecItemAdd(withData(password("other"), "x")), errSecSuccess);
  }
  EXPECT_TRUE(damagedCopies().empty());
  std::optional<Data> data;
  EXPECT_EQ(SecItemCopyMatching(password("kept"), &data), errSecSuccess);
  EXPECT_EQ(data, Data({'s', 'e', 'c', 'r', 'e', 't'}));
  EXPECT_EQ(itemsOnDisk().size(), 1u);
}

// In a folder the app cannot write, a damaged store can be neither set aside nor replaced: reads
// answer errSecIO without trying again until the file changes, and it is told of once.
TEST_F(KeychainTest, ADamagedStoreThatCannotBeSetAsideIsToldOfOnce) {
  const fs::path home = Home::path();
  for (bool lockFileThere : {true, false}) {
    SCOPED_TRACE(lockFileThere ? "lock file there" : "no lock file");
    Home::set(home / (lockFileThere ? "with-lock" : "without-lock"));
    ASSERT_EQ(SecItemAdd(withData(password("old"), "1")), errSecSuccess);
    if (!lockFileThere) fs::remove(SharedFile(keychainFile()).lockPath());
    ASSERT_TRUE(FileManager::defaultManager().writeAtomically(keychainFile(), std::string_view("damaged"), 0600));
    testing::LogCapture log;
    {
      testing::UnwritableFolder folder(Home::keychain());
      for (int i = 0; i < 100; ++i) ASSERT_EQ(SecItemCopyMatching(password("old"), nullptr), errSecIO) << i;
    }
    EXPECT_EQ(log.logs().size(), 1u);
    EXPECT_TRUE(damagedCopies().empty());

    // Once the folder can be written, a change sets the damaged store aside and starts afresh.
    EXPECT_EQ(SecItemAdd(withData(password("new"), "2")), errSecSuccess);
    EXPECT_EQ(damagedCopies(), std::set<std::string>{"keychain.plist.corrupt.1"});
    EXPECT_EQ(itemsOnDisk(), Value::Array{Value(withData(password("new"), "2"))});
  }
}

// Another process holds the store's lock, and a change of this process waits for it: a read on
// another thread answers meanwhile from what is on disk, and a damaged store, which only the
// lock's holder may set aside, reads as empty.
TEST_F(KeychainTest, AReadDoesNotWaitForAChangeWaitingForAnotherProcess) {
  const fs::path home = Home::path();
  for (bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged store" : "sound store");
    Home::set(home / (damaged ? "damaged" : "sound"));
    ASSERT_EQ(SecItemAdd(withData(password("kept"), "1")), errSecSuccess);
    if (damaged) {
      ASSERT_TRUE(FileManager::defaultManager().writeAtomically(keychainFile(), std::string_view("damaged"), 0600));
    }
    std::optional<SharedFile::Lock> otherProcess = SharedFile(keychainFile()).lock();
    ASSERT_TRUE(otherProcess);
    const auto addsBefore = KeychainTesting::callCount(KeychainTesting::Call::Add);
    auto change = std::async(std::launch::async, [] { return SecItemAdd(withData(password("new"), "2")); });
    // The read comes once the change is under way.
    auto read = std::async(std::launch::async, [addsBefore] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (KeychainTesting::callCount(KeychainTesting::Call::Add) == addsBefore &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
      std::optional<Data> data;
      const OSStatus status = SecItemCopyMatching(password("kept"), &data);
      return std::pair(status, data);
    });
    const bool readWhileHeld = read.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    otherProcess.reset();
    EXPECT_TRUE(readWhileHeld) << "the read waited for the lock another process held";
    const auto [status, data] = read.get();
    if (damaged) {
      EXPECT_EQ(status, errSecItemNotFound);
    } else {
      EXPECT_EQ(status, errSecSuccess);
      EXPECT_EQ(data, Data{'1'});
    }
    EXPECT_EQ(change.get(), errSecSuccess);
    EXPECT_EQ(itemsOnDisk().size(), damaged ? 1u : 2u);
    EXPECT_EQ(damagedCopies().size(), damaged ? 1u : 0u);
  }
}

// Threads adding, changing, removing and reading items at once, each its own accounts.
TEST(KeychainStressTest, ThreadsChangingTheStoreAtOnceKeepEveryChange) {
  constexpr int kThreads = 6;
  constexpr int kItems = 30;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kItems; ++i) {
        const std::string account = std::to_string(t) + "." + std::to_string(i);
        std::optional<Data> data;
        if (SecItemAdd(withData(password(account), "first")) != errSecSuccess ||
            SecItemUpdate(password(account), {{std::string(kSecValueData), Value(Data{'x'})}}) != errSecSuccess ||
            SecItemCopyMatching(password(account), &data) != errSecSuccess || data != Data{'x'} ||
            (i % 3 == 0 && SecItemDelete(password(account)) != errSecSuccess)) {
          ++failures;
        }
        SecItemCopyMatching(password(std::to_string((t + 1) % kThreads) + "." + std::to_string(i)), &data);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  std::set<std::string> expected, found;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kItems; ++i) {
      if (i % 3 != 0) expected.insert(std::to_string(t) + "." + std::to_string(i));
    }
  }
  for (const Value& item : itemsOnDisk()) {
    found.insert(item.ifDictionary()->at(std::string(kSecAttrAccount)).stringValue());
    EXPECT_EQ(item.ifDictionary()->at(std::string(kSecValueData)), Value(Data{'x'}));
  }
  EXPECT_EQ(found, expected);
}

}  // namespace
}  // namespace platform
