#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/user_defaults.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/storage/apm_persistent_dictionary.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "sdk/analytics/storage/apm_user_defaults.h"
#include "tests/sdk/analytics/monitor_recorder.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;

std::optional<Value::Dictionary> readPlist(const std::string& path) {
  auto bytes = platform::FileManager::defaultManager().contentsAtPath(path);
  if (!bytes) return std::nullopt;
  auto plist = platform::PropertyList::read(*bytes);
  if (!plist || !plist->ifDictionary()) return std::nullopt;
  return *plist->ifDictionary();
}

void writePlist(const std::string& path, const Value::Dictionary& content) {
  fs::create_directories(fs::path(path).parent_path());
  auto bytes = platform::PropertyList::write(Value(content), platform::PropertyList::Format::XML);
  ASSERT_TRUE(platform::FileManager::defaultManager().writeAtomically(path, *bytes));
}

TEST(APMStoragePathsTest, PathsOfSuitesAndMeasurementFiles) {
  EXPECT_EQ(APMMeasurementPlistPath("s"), APMMeasurementPlistPath("s.plist"));
  EXPECT_EQ(APMMeasurementPlistPath("s"),
            (platform::Home::applicationSupport() / "Videzu/Measurement/s.plist").string());
  EXPECT_EQ(APMPreferencesPlistPath("s.plist"), (platform::Home::preferences() / "s.plist.plist").string());
  EXPECT_EQ(APMPreferencesPlistPath(""), "");
  platform::Error error;
  EXPECT_FALSE(APMDeleteFileAtPath("", &error));
  EXPECT_EQ(error.localizedDescription(), "Received empty path for deleting file");
}

TEST(APMStoragePathsTest, MoveFileRules) {
  const std::string from = (platform::Home::temporary() / "from").string();
  const std::string to = (platform::Home::temporary() / "sub/to").string();
  EXPECT_TRUE(APMMoveFile(from, to, false)) << "a missing source is nothing to move";
  EXPECT_FALSE(fs::exists(to));

  std::ofstream(from) << "new";
  EXPECT_TRUE(APMMoveFile(from, to, false));
  EXPECT_FALSE(fs::exists(from));

  std::ofstream(from) << "newer";
  EXPECT_TRUE(APMMoveFile(from, to, false)) << "the destination wins and the source goes";
  EXPECT_FALSE(fs::exists(from));
  std::string text;
  std::ifstream(to) >> text;
  EXPECT_EQ(text, "new");

  std::ofstream(from) << "newest";
  EXPECT_TRUE(APMMoveFile(from, to, true));
  std::ifstream(to) >> text;
  EXPECT_EQ(text, "newest");

  fs::create_directories(from);
  EXPECT_FALSE(APMMoveFile(from, to, true)) << "directories are not moved";
}

TEST(APMStoragePathsTest, MigrationsKeepTheApplicationSupportCopy) {
  const std::string suite = "migrating.suite";
  writePlist(APMPreferencesPlistPath(suite), {{"k", Value("preferences")}});
  writePlist(APMMeasurementPlistPath(suite), {{"k", Value("support")}});
  EXPECT_TRUE(APMMigratePreferencesToApplicationSupport(suite));
  EXPECT_FALSE(fs::exists(APMPreferencesPlistPath(suite)));
  EXPECT_EQ(readPlist(APMMeasurementPlistPath(suite))->at("k"), Value("support"));

  writePlist(APMPreferencesPlistPath(suite), {{"k", Value("stale")}});
  EXPECT_TRUE(APMMigrateApplicationSupportToPreferences(suite));
  EXPECT_FALSE(fs::exists(APMMeasurementPlistPath(suite)));
  // On disk before the call returns: a process killed right after it keeps the values.
  const auto moved = readPlist(APMPreferencesPlistPath(suite));
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->at("k"), Value("support"));
  EXPECT_EQ(platform::UserDefaults::suite(suite)->objectForKey("k"), Value("support"));
  platform::UserDefaults::resetCachesForTesting();
  EXPECT_EQ(platform::UserDefaults::suite(suite)->objectForKey("k"), Value("support")) << "and on disk";
}

class APMUserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { APMUserDefaults::resetUserPreferenceEnabledForTesting(); }
  void TearDown() override { APMUserDefaults::resetUserPreferenceEnabledForTesting(); }
};

TEST_F(APMUserDefaultsTest, TypedAccessAndRefusals) {
  APMUserDefaults defaults("typed.suite");
  EXPECT_TRUE(defaults.useCFPreferencesLibrary()) << "no Info.plist switch: the preferences library";
  defaults.setObject(Value("text"), "s");
  defaults.setInteger(7, "n");
  defaults.setObject(Value(platform::Data{1, 2}), "d");
  EXPECT_EQ(defaults.integerForKey("s"), 0);
  EXPECT_EQ(defaults.stringForKey("n"), std::nullopt);
  EXPECT_EQ(defaults.integerForKey("n"), 7);
  EXPECT_EQ(defaults.objectForKey("d"), Value(platform::Data{1, 2}));

  defaults.setObject(Value("x"), "");
  defaults.setObject(Value(Value::Array{Value()}), "bad");
  EXPECT_TRUE(defaults.objectForKey("bad").isNull());

  defaults.clearAllData();
  EXPECT_TRUE(defaults.objectForKey("n").isNull());
  EXPECT_TRUE(defaults.objectForKey("s").isNull());
}

TEST_F(APMUserDefaultsTest, BothBackingsReachTheSameSuiteAndClearIt) {
  APMUserDefaults cf("shared.suite");
  cf.setObject(Value("a"), "k");
  cf.setUseCFPreferencesLibrary(false);
  EXPECT_FALSE(cf.useCFPreferencesLibrary());
  EXPECT_EQ(cf.objectForKey("k"), Value("a"));
  cf.synchronize();
  EXPECT_TRUE(fs::exists(APMPreferencesPlistPath("shared.suite")));
  EXPECT_TRUE(cf.isPreferenceFileExcluded());
  cf.clearAllData();
  EXPECT_FALSE(fs::exists(APMPreferencesPlistPath("shared.suite")));
  EXPECT_TRUE(cf.objectForKey("k").isNull());
}

class APMPersistentDictionaryTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::testing::useManualClock(); }
  static void settle(const APMPersistentDictionary& store) {
    platform::testing::advance(1.0);
    platform::testing::drain(store.serialQueue());
  }
};

TEST_F(APMPersistentDictionaryTest, NameWithAndWithoutExtensionOpensTheSameFile) {
  auto a = APMPersistentDictionary::initWithFileName("com.videzu.vmp.measurement");
  auto b = APMPersistentDictionary::initWithFileName("com.videzu.vmp.measurement.plist");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->filePath(), b->filePath());
}

TEST_F(APMPersistentDictionaryTest, BurstOfChangesIsWrittenOnceOneSecondAfterTheFirst) {
  auto store = APMPersistentDictionary::initWithFileName("burst");
  for (int i = 0; i < 20; ++i) {
    store->setInteger(i, "k" + std::to_string(i));
    platform::testing::advance(0.04);
  }
  EXPECT_FALSE(fs::exists(store->filePath()));
  platform::testing::advance(0.25);
  platform::testing::drain(store->serialQueue());
  const auto written = readPlist(store->filePath());
  ASSERT_TRUE(written);
  EXPECT_EQ(written->size(), 20u);
  EXPECT_FALSE(store->hasPendingPersistence());

  store->setInteger(19, "k19");  // equal: nothing to write
  EXPECT_FALSE(store->hasPendingPersistence());
  store->setObject(Value(Value::Array{Value()}), "bad");
  EXPECT_FALSE(store->hasPendingPersistence());
  store->synchronize();
  EXPECT_FALSE(store->hasPendingPersistence());
}

TEST_F(APMPersistentDictionaryTest, CorruptFileStartsEmptyAndPendingWriteSurvivesRelease) {
  const std::string path = APMMeasurementPlistPath("corrupt");
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << "not a property list";
  auto store = APMPersistentDictionary::initWithFileName("corrupt");
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->objectForKey("k").isNull());
  std::string aside;
  std::ifstream(path + ".corrupt.1") >> aside;
  EXPECT_EQ(aside, "not") << "the damaged file is kept for inspection";
  store->setObject(Value("v"), "k");
  store.reset();
  const auto written = readPlist(path);
  ASSERT_TRUE(written);
  EXPECT_EQ(written->at("k"), Value("v"));

  auto reopened = APMPersistentDictionary::initWithFileName("corrupt");
  EXPECT_EQ(reopened->stringForKey("k"), "v");
  reopened->clearAllData();
  settle(*reopened);
  EXPECT_TRUE(readPlist(path)->empty());
}

// Two stores on one file stand for two processes: each reads the other's saved changes and
// writes only its own on top of them.
TEST_F(APMPersistentDictionaryTest, ChangesSavedByAnotherProcessAreSeenAndKept) {
  auto mine = APMPersistentDictionary::initWithFileName("shared");
  mine->setObject(Value("mine"), "mine");
  mine->setObject(Value("kept"), "kept");
  settle(*mine);

  auto theirs = APMPersistentDictionary::initWithFileName("shared");
  EXPECT_EQ(theirs->stringForKey("mine"), "mine");
  theirs->setObject(Value("theirs"), "theirs");
  theirs->removeObjectForKey("mine");
  settle(*theirs);

  EXPECT_EQ(mine->stringForKey("theirs"), "theirs") << "their saved change is read";
  EXPECT_TRUE(mine->objectForKey("mine").isNull()) << "and so is their removal";
  mine->setObject(Value("later"), "later");
  settle(*mine);
  EXPECT_EQ(readPlist(mine->filePath()), (Value::Dictionary{{"kept", Value("kept")}, {"theirs", Value("theirs")},
                                                            {"later", Value("later")}}));
  EXPECT_EQ(theirs->stringForKey("later"), "later");

  // Clearing removes what this process knows and what the file holds, and nothing set afterwards.
  theirs->setObject(Value("unseen"), "unseen");
  settle(*theirs);
  mine->clearAllData();
  EXPECT_TRUE(mine->objectForKey("unseen").isNull());
  mine->setObject(Value("after"), "after");
  settle(*mine);
  EXPECT_EQ(readPlist(mine->filePath()), (Value::Dictionary{{"after", Value("after")}}));
  EXPECT_TRUE(theirs->objectForKey("kept").isNull());
}

TEST_F(APMPersistentDictionaryTest, AFileThatCannotBeReadNowIsNeverEmptied) {
  const std::string path = APMMeasurementPlistPath("kept");
  writePlist(path, {{"stored", Value("value")}});
  std::shared_ptr<APMPersistentDictionary> store;
  {
    // Only this thread is denied the file; the scheduled write, on the store's queue, is not.
    platform::testing::UnreadableFile unreadable(path);
    store = APMPersistentDictionary::initWithFileName("kept");
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->objectForKey("stored").isNull());
    store->setObject(Value("later"), "added");
    auto released = APMPersistentDictionary::initWithFileName("kept");
    released->setObject(Value("lost"), "unwritable");
    released.reset();  // its write, here, cannot read the file and must not replace it
  }
  EXPECT_EQ(readPlist(path), (Value::Dictionary{{"stored", Value("value")}}));
  for (const auto& entry : fs::directory_iterator(fs::path(path).parent_path())) {
    EXPECT_EQ(entry.path().filename().string().find("corrupt"), std::string::npos) << "not damage: " << entry.path();
  }
  EXPECT_EQ(store->stringForKey("stored"), "value") << "read once it can be";
  settle(*store);
  EXPECT_EQ(readPlist(path), (Value::Dictionary{{"stored", Value("value")}, {"added", Value("later")}}));
}

TEST(APMPersistentDictionaryStressTest, WritersOnManyThreads) {
  auto store = APMPersistentDictionary::initWithFileName("stress");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([store, t] {
      for (int i = 0; i < 300; ++i) {
        store->setInteger(i, "t" + std::to_string(t));
        (void)store->objectForKey("t" + std::to_string((t + 1) % 8));
        if (i % 100 == 0) store->removeObjectForKey("t" + std::to_string(t));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(store->integerForKey("t" + std::to_string(t)), 299);
  store.reset();
  EXPECT_EQ(readPlist(APMMeasurementPlistPath("stress"))->size(), 8u);
}

// Two stores on one file, as two processes, each changed by its own threads while scheduled
// writes of both run on their queues.
TEST(APMPersistentDictionaryStressTest, TwoStoresOfOneFileWritingWhileTheyPersist) {
  std::shared_ptr<APMPersistentDictionary> stores[] = {APMPersistentDictionary::initWithFileName("two"),
                                                       APMPersistentDictionary::initWithFileName("two")};
  std::atomic<int> running{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    ++running;
    threads.emplace_back([&, t] {
      auto& store = *stores[t % 2];
      const std::string key = "t" + std::to_string(t);
      for (int i = 0; i < 200; ++i) {
        store.setInteger(i, key);
        (void)store.objectForKey("t" + std::to_string((t + 1) % 4));
        if (i % 50 == 0) store.removeObjectForKey(key);
      }
      --running;
    });
  }
  while (running > 0) platform::testing::advance(1.0);
  for (auto& thread : threads) thread.join();
  for (auto& store : stores) store.reset();
  const auto written = readPlist(APMMeasurementPlistPath("two"));
  ASSERT_TRUE(written);
  for (int t = 0; t < 4; ++t) EXPECT_EQ(written->at("t" + std::to_string(t)), Value(199)) << t;
}

}  // namespace
