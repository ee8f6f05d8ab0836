#include "platform/foundation/user_defaults.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/shared_file.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

fs::path preferencesFile(const std::string& suite) { return Home::preferences() / (suite + ".plist"); }

std::optional<Value> readPreferencesFile(const std::string& suite) {
  auto bytes = FileManager::defaultManager().contentsAtPath(preferencesFile(suite));
  if (!bytes) return std::nullopt;
  return PropertyList::read(*bytes);
}

class UserDefaultsTest : public ::testing::Test {
 protected:
  // Each test starts as a fresh launch; the home is fresh already.
  void SetUp() override { UserDefaults::resetCachesForTesting(); }
};

TEST_F(UserDefaultsTest, StandardIsNamedByTheBundleIdentifier) {
  auto defaults = UserDefaults::standard();
  EXPECT_EQ(defaults->suiteName(), "com.focus.timer");
  EXPECT_EQ(UserDefaults::suite(""), defaults);
  EXPECT_EQ(UserDefaults::suite("com.focus.timer"), defaults);
  EXPECT_EQ(UserDefaults::suite("other"), UserDefaults::suite("other"));
  EXPECT_NE(UserDefaults::suite("other"), defaults);
}

TEST_F(UserDefaultsTest, SuiteNamesThatCannotBeFileNamesAreRefused) {
  for (std::string_view name : {std::string_view("../escape"), std::string_view("a/b"), std::string_view("."),
                                std::string_view(".."), std::string_view("nul\0x", 5), std::string_view("tab\tname")}) {
    EXPECT_EQ(UserDefaults::suite(name), nullptr) << name;
  }
  EXPECT_EQ(UserDefaults::suite(std::string(300, 'x')), nullptr);
}

TEST_F(UserDefaultsTest, ValuesSurviveARelaunchWithTheirKinds) {
  auto defaults = UserDefaults::suite("relaunch");
  Value::Dictionary stored{
      {"bool", Value(true)},
      {"false", Value(false)},
      {"integer", Value(42)},
      {"zero", Value(0)},
      {"double", Value(2.5)},
      {"whole double", Value(3.0)},
      {"string", Value("text")},
      {"data", Value(Data{0, 1, 2, 255})},
      {"date", Value(Date::fromTimeIntervalSince1970(1'700'000'000))},
      {"array", Value::array({1, "two", 3.5, false})},
      {"dictionary", Value::dictionary({{"nested", Value::array({Value(true)})}})},
  };
  for (const auto& [key, value] : stored) ASSERT_TRUE(defaults->setObject(value, key));
  // The flusher writes on its own: no run loop, no synchronize.
  ASSERT_TRUE(UserDefaults::waitForPendingWrites());
  struct stat st {};
  ASSERT_EQ(::stat(preferencesFile("relaunch").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  UserDefaults::resetCachesForTesting();
  for (const auto& [key, value] : stored) {
    Value read = defaults->objectForKey(key);
    EXPECT_EQ(read, value) << key;
    EXPECT_EQ(read.type(), value.type()) << key;
  }
  EXPECT_TRUE(defaults->boolForKey("bool"));
  EXPECT_EQ(defaults->integerForKey("integer"), 42);
  EXPECT_DOUBLE_EQ(defaults->doubleForKey("double"), 2.5);
}

TEST_F(UserDefaultsTest, RegisteredDefaultsAreSearchedLastAndNeverWritten) {
  auto defaults = UserDefaults::standard();
  ASSERT_TRUE(defaults->registerDefaults({{"sound", Value(true)}, {"focus", Value(25)}, {"flash", Value(false)}}));
  EXPECT_TRUE(defaults->boolForKey("sound"));
  EXPECT_EQ(defaults->integerForKey("focus"), 25);

  defaults->setBool(false, "sound");  // a stored false still wins
  defaults->setInteger(0, "focus");
  EXPECT_FALSE(defaults->boolForKey("sound"));
  EXPECT_EQ(defaults->integerForKey("focus"), 0);
  EXPECT_EQ(defaults->dictionaryRepresentation(),
            (Value::Dictionary{{"sound", Value(false)}, {"focus", Value(0)}, {"flash", Value(false)}}));

  defaults->removeObjectForKey("focus");
  EXPECT_EQ(defaults->integerForKey("focus"), 25);
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(readPreferencesFile("com.focus.timer"), Value(Value::Dictionary{{"sound", Value(false)}}));

  UserDefaults::resetCachesForTesting();  // registrations are per launch
  EXPECT_TRUE(defaults->objectForKey("flash").isNull());
  EXPECT_EQ(defaults->objectForKey("sound"), Value(false));
}

TEST_F(UserDefaultsTest, TypedGettersCoerceAsThePlatformDoes) {
  auto defaults = UserDefaults::suite("coercions");
  defaults->setObject(Value(42), "int");
  defaults->setObject(Value(true), "bool");
  defaults->setObject(Value(1.5), "double");
  defaults->setObject(Value("YES"), "yes");
  defaults->setObject(Value("12abc"), "numeric string");
  defaults->setObject(Value::array({1}), "array");
  defaults->setObject(Value(Data{7}), "data");

  EXPECT_EQ(defaults->stringForKey("int"), "42");  // numbers give their description
  EXPECT_EQ(defaults->stringForKey("double"), "1.5");
  EXPECT_EQ(defaults->stringForKey("yes"), "YES");
  EXPECT_EQ(defaults->stringForKey("array"), std::nullopt);
  EXPECT_EQ(defaults->stringForKey("absent"), std::nullopt);
  EXPECT_TRUE(defaults->boolForKey("yes"));
  EXPECT_FALSE(defaults->boolForKey("absent"));
  EXPECT_EQ(defaults->integerForKey("numeric string"), 12);
  EXPECT_EQ(defaults->integerForKey("bool"), 1);
  EXPECT_EQ(defaults->integerForKey("array"), 0);
  EXPECT_DOUBLE_EQ(defaults->doubleForKey("int"), 42.0);
  EXPECT_FLOAT_EQ(defaults->floatForKey("double"), 1.5f);
  EXPECT_EQ(defaults->arrayForKey("array"), Value::Array{Value(1)});
  EXPECT_EQ(defaults->arrayForKey("int"), std::nullopt);
  EXPECT_EQ(defaults->dataForKey("data"), Data{7});
  EXPECT_EQ(defaults->dictionaryForKey("array"), std::nullopt);
}

TEST_F(UserDefaultsTest, NonPropertyListValuesAreRefusedAndChangeNothing) {
  auto defaults = UserDefaults::suite("refusals");
  defaults->setObject(Value("kept"), "key");
  testing::LogCapture log;
  EXPECT_FALSE(defaults->setObject(Value::array({Value(1), Value()}), "key"));
  EXPECT_FALSE(defaults->setObject(Value::dictionary({{"inner", Value()}}), "key"));
  EXPECT_FALSE(defaults->registerDefaults({{"other", Value::array({Value()})}}));
  EXPECT_EQ(log.logs().size(), 3u);
  EXPECT_EQ(defaults->objectForKey("key"), Value("kept"));
  EXPECT_TRUE(defaults->objectForKey("other").isNull());
}

TEST_F(UserDefaultsTest, ChangesArePostedSynchronouslyOnTheWritingThread) {
  auto defaults = UserDefaults::suite("posting");
  auto owner = std::make_shared<int>(0);
  std::vector<Value> seen;
  NotificationCenter::defaultCenter().addObserver(owner, std::string(kUserDefaultsDidChangeNotification),
                                                  defaults.get(), [&](const Notification&) {
                                                    // The new value is visible to the observer.
                                                    seen.push_back(defaults->objectForKey("k"));
                                                  });
  defaults->setInteger(1, "k");
  defaults->removeObjectForKey("k");
  UserDefaults::suite("unrelated")->setInteger(1, "k");  // another sender
  EXPECT_EQ(seen, (std::vector<Value>{Value(1), Value()}));
}

TEST_F(UserDefaultsTest, CorruptFilesAreSetAsideAndTheSuiteStartsEmpty) {
  Data validBinary = *PropertyList::write(Value::dictionary({{"a", Value("some longer text")}, {"b", Value(7)}}),
                                          PropertyList::Format::Binary);
  Data truncated(validBinary.begin(), validBinary.begin() + static_cast<std::ptrdiff_t>(validBinary.size() / 2));
  std::string garbageText = "this is not a property list \x01\x02";
  Data garbage(garbageText.begin(), garbageText.end());
  Data wrongRoot = *PropertyList::write(Value::array({1, 2}), PropertyList::Format::XML);
  struct Case {
    const char* what;
    Data bytes;
  } cases[] = {
      {"truncated binary", truncated},
      {"garbage", garbage},
      {"empty", {}},
      {"wrong root type", wrongRoot},
  };
  // Each damaged file is kept under its own number, so earlier evidence survives later damage.
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    UserDefaults::resetCachesForTesting();
    std::string name = "broken";
    ASSERT_TRUE(FileManager::defaultManager().writeAtomically(preferencesFile(name), c.bytes, 0600));
    testing::LogCapture log;
    auto defaults = UserDefaults::suite(name);
    EXPECT_TRUE(defaults->dictionaryRepresentation().empty());
    const std::string asideName = "broken.plist.corrupt." + std::to_string(i + 1);
    EXPECT_TRUE(log.contains(asideName)) << (log.logs().empty() ? "" : log.logs().front());
    EXPECT_FALSE(fs::exists(preferencesFile(name)));

    defaults->setObject(Value("fresh"), "a");
    ASSERT_TRUE(defaults->synchronize());
    EXPECT_EQ(readPreferencesFile(name), Value(Value::Dictionary{{"a", Value("fresh")}}));
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    fs::path aside = Home::preferences() / ("broken.plist.corrupt." + std::to_string(i + 1));
    EXPECT_EQ(FileManager::defaultManager().contentsAtPath(aside), cases[i].bytes) << cases[i].what;
  }
}

// In a folder the app cannot write, a damaged file can be neither set aside nor replaced: the
// suite reads as empty without trying again until the file changes, and it is told of once.
TEST_F(UserDefaultsTest, ADamagedFileThatCannotBeSetAsideIsToldOfOnce) {
  for (bool lockFileThere : {true, false}) {
    const std::string name = lockFileThere ? "stuck" : "stuck-unlocked";
    SCOPED_TRACE(name);
    auto defaults = UserDefaults::suite(name);
    defaults->setObject(Value("old"), "a");
    ASSERT_TRUE(defaults->synchronize());
    if (!lockFileThere) fs::remove(preferencesFile(name).string() + ".lock");
    ASSERT_TRUE(FileManager::defaultManager().writeAtomically(preferencesFile(name), std::string_view("damaged"), 0600));
    testing::LogCapture log;
    {
      testing::UnwritableFolder folder(Home::preferences());
      for (int i = 0; i < 100; ++i) ASSERT_TRUE(defaults->objectForKey("a").isNull()) << i;
    }
    EXPECT_EQ(log.logs().size(), 1u);
    EXPECT_FALSE(fs::exists(preferencesFile(name).string() + ".corrupt.1"));

    // Once the folder can be written, a save sets the damaged file aside and starts afresh.
    defaults->setObject(Value("new"), "b");
    ASSERT_TRUE(defaults->synchronize());
    EXPECT_EQ(readPreferencesFile(name), Value(Value::Dictionary{{"b", Value("new")}}));
    EXPECT_EQ(FileManager::defaultManager().contentsAtPath(preferencesFile(name).string() + ".corrupt.1"),
              Data({'d', 'a', 'm', 'a', 'g', 'e', 'd'}));
  }
}

// Another process holds the file's lock while the file is damaged: neither a read nor a save
// waits for it. The read answers with the suite empty and leaves the damage to the lock's holder;
// once the hold ends the flusher sets the damage aside and writes the change.
TEST_F(UserDefaultsTest, AReadOfADamagedFileWaitsForNoLock) {
  auto defaults = UserDefaults::suite("held");
  defaults->setObject(Value("old"), "a");
  ASSERT_TRUE(defaults->synchronize());
  ASSERT_TRUE(FileManager::defaultManager().writeAtomically(preferencesFile("held"), std::string_view("damaged"), 0600));
  std::optional<SharedFile::Lock> otherProcess = SharedFile(preferencesFile("held")).lock();
  ASSERT_TRUE(otherProcess);
  defaults->setObject(Value("new"), "b");
  auto save = std::async(std::launch::async, [defaults] { return defaults->synchronize(); });
  auto read = std::async(std::launch::async, [defaults] { return defaults->objectForKey("a"); });
  const bool readWhileHeld = read.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  const bool savedWhileHeld = save.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  otherProcess.reset();
  EXPECT_TRUE(readWhileHeld) << "the read waited for the file's lock";
  EXPECT_TRUE(savedWhileHeld) << "the save waited for the file's lock";
  EXPECT_TRUE(read.get().isNull());
  EXPECT_FALSE(save.get()) << "nothing can be written while the lock is held";
  ASSERT_TRUE(UserDefaults::waitForPendingWrites(30));
  EXPECT_EQ(readPreferencesFile("held"), Value(Value::Dictionary{{"b", Value("new")}}));
  EXPECT_TRUE(fs::exists(preferencesFile("held").string() + ".corrupt.1"));
}

// Another process holds a suite's file and saves to it meanwhile: no change of this process waits
// for the hold, whichever thread makes it (the main thread, or a queue the main thread waits on).
// Reads see the change at once, and the flusher writes it on top of what the holder saved once
// the hold ends; a removal of the suite takes what the holder saved with it, as a removal does.
TEST_F(UserDefaultsTest, NoChangeWaitsForAnotherProcesssHold) {
  const struct {
    const char* name;
    std::function<void(UserDefaults&)> change;
    std::function<void(UserDefaults&)> check;
    Value::Dictionary written;
  } cases[] = {
      {"a set",
       [](UserDefaults& defaults) {
         defaults.setObject(Value("new"), "b");
         EXPECT_FALSE(defaults.synchronize());
       },
       [](UserDefaults& defaults) { EXPECT_EQ(defaults.objectForKey("b"), Value("new")); },
       {{"a", Value("old")}, {"b", Value("new")}, {"theirs", Value("theirs")}}},
      {"a removal", [](UserDefaults& defaults) { defaults.removePersistentDomain(); },
       [](UserDefaults& defaults) { EXPECT_TRUE(defaults.objectForKey("a").isNull()); },
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = std::string("held-") + (c.written.empty() ? "removed" : "set");
    auto defaults = UserDefaults::suite(name);
    defaults->setObject(Value("old"), "a");
    ASSERT_TRUE(defaults->synchronize());
    const SharedFile file(preferencesFile(name));
    std::optional<SharedFile::Lock> otherProcess = file.lock();
    ASSERT_TRUE(otherProcess);
    const Value theirs(Value::Dictionary{{"a", Value("old")}, {"theirs", Value("theirs")}});
    ASSERT_TRUE(file.write(*otherProcess, *PropertyList::write(theirs, PropertyList::Format::Binary), 0600));
    auto changed = std::async(std::launch::async, [&] { c.change(*defaults); });
    const bool changedWhileHeld = changed.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(changedWhileHeld) << "the change waited for the file's lock";
    changed.get();
    c.check(*defaults);
    EXPECT_TRUE(defaults->hasUnsavedChanges());
    otherProcess.reset();
    ASSERT_TRUE(UserDefaults::waitForPendingWrites(30));
    EXPECT_EQ(readPreferencesFile(name), Value(c.written));
    c.check(*defaults);
  }
}

// Changes and saves come from many threads while another process takes the file's lock and lets
// it go again and again: nothing waits for it, and once the holds end every last value is on disk.
TEST_F(UserDefaultsTest, ChangesDuringHoldsThatComeAndGoLoseNothing) {
  constexpr int kWriters = 4;
  constexpr int kKeys = 50;
  auto defaults = UserDefaults::suite("holds");
  const SharedFile file(preferencesFile("holds"));
  fs::create_directories(preferencesFile("holds").parent_path());
  std::atomic<bool> writing{true};
  std::thread holder([&] {
    while (writing) {
      if (auto held = file.lock()) std::this_thread::sleep_for(std::chrono::milliseconds(3));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t) {
    writers.emplace_back([t, defaults] {
      for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < kKeys; ++i) {
          defaults->setInteger(round * kKeys + i, "t" + std::to_string(t) + "." + std::to_string(i));
        }
        defaults->synchronize();
        if (round % 5 == 0) UserDefaults::flushAll();
      }
    });
  }
  for (auto& w : writers) w.join();
  writing = false;
  holder.join();
  ASSERT_TRUE(UserDefaults::waitForPendingWrites(30));
  auto stored = readPreferencesFile("holds");
  ASSERT_TRUE(stored && stored->isDictionary());
  for (int t = 0; t < kWriters; ++t) {
    for (int i = 0; i < kKeys; ++i) {
      const std::string key = "t" + std::to_string(t) + "." + std::to_string(i);
      EXPECT_EQ(stored->ifDictionary()->count(key) ? stored->ifDictionary()->at(key) : Value(), Value(19 * kKeys + i))
          << key;
    }
  }
}

TEST_F(UserDefaultsTest, ADirectoryInPlaceOfTheFileIsSetAside) {
  fs::create_directories(preferencesFile("dir") / "inside");
  testing::LogCapture log;
  auto defaults = UserDefaults::suite("dir");
  EXPECT_TRUE(defaults->objectForKey("a").isNull());
  defaults->setBool(true, "a");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(readPreferencesFile("dir"), Value(Value::Dictionary{{"a", Value(true)}}));
  EXPECT_TRUE(fs::is_directory(preferencesFile("dir").string() + ".corrupt.1"));
}

TEST_F(UserDefaultsTest, WritesFromABackgroundThreadReachTheDiskWithoutARunLoop) {
  std::thread writer([] {
    auto defaults = UserDefaults::suite("background");
    for (int i = 0; i < 100; ++i) defaults->setInteger(i, "counter");
  });
  writer.join();
  ASSERT_TRUE(UserDefaults::waitForPendingWrites());
  EXPECT_EQ(readPreferencesFile("background"), Value(Value::Dictionary{{"counter", Value(99)}}));
}

TEST_F(UserDefaultsTest, UnsavedChangesAreWrittenAtExit) {
  // A quick exit skips static destructors (the test home's own flush among them), so only the
  // exit hook can save the value. The child writes into a home of its own.
  std::string pattern = (fs::temp_directory_path() / "focus-exit-XXXXXX").string();
  ASSERT_TRUE(::mkdtemp(pattern.data()));
  fs::path home = pattern;
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(devNull, STDOUT_FILENO);
    ::dup2(devNull, STDERR_FILENO);
    Home::set(home);
    UserDefaults::suite("exit")->setInteger(7, "k");
    std::quick_exit(0);  // well before the flusher's delay
  }
  ASSERT_TRUE(testing::waitForChild(pid, 30));
  auto bytes = FileManager::defaultManager().contentsAtPath(home / "Library" / "Preferences" / "exit.plist");
  fs::remove_all(home);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(PropertyList::read(*bytes), Value(Value::Dictionary{{"k", Value(7)}}));
}

// Another process holds a suite's file while this one ends: the end waits for it once, within
// the allowance it was given (a wait already under way, the flusher's, ends by then too, and the
// exit's own wait is no second one), and the log names the suite and the keys it leaves unsaved.
// The child ends while the hold lasts; only then is it let go.
TEST_F(UserDefaultsTest, AnEndingProcessWaitsForAHeldSuiteOnlyWithinItsAllowanceAndNamesWhatItLeaves) {
  std::string pattern = (fs::temp_directory_path() / "focus-held-exit-XXXXXX").string();
  ASSERT_TRUE(::mkdtemp(pattern.data()));
  const fs::path home = pattern;
  const fs::path file = home / "Library" / "Preferences" / "held.plist";
  const fs::path log = home / "child.log";
  fs::create_directories(file.parent_path());
  std::optional<SharedFile::Lock> otherProcess = SharedFile(file).lock();
  ASSERT_TRUE(otherProcess);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    Home::set(home);
    auto defaults = UserDefaults::suite("held");
    defaults->setInteger(7, "count");
    defaults->setObject(Value("x"), "name");
    // The flusher is waiting for the lock by now, with a wait of its own far beyond the end's.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    UserDefaults::endWithin(0.25);
    std::quick_exit(0);
  }
  const auto status = testing::waitForChild(pid, 60);
  otherProcess.reset();
  std::ifstream in(log);
  const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const bool written = fs::exists(file);
  fs::remove_all(home);
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << status.value_or(-1);
  EXPECT_FALSE(written);
  EXPECT_NE(said.find("UserDefaults: the preferences of suite \"held\" are not saved (unsaved: count, name): another "
                      "process held the file's lock past the 0.25 s allowed for the end of the process"),
            std::string::npos)
      << said;
}

// Saves run all the while the sets come, so that sets land while the file is written: those
// must wait for the next save, not go with the one in flight. The writers go over their keys with
// passing values until saves have met sets a few times (a loaded machine may give the saver the
// processor only once in a whole round), then once more with the values the file must end with.
TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothing) {
  constexpr int kWriters = 4;
  constexpr int kKeys = 300;
  auto defaults = UserDefaults::suite("concurrent");
  std::atomic<bool> writing{true};
  std::atomic<int> sets{0};
  std::atomic<int> savesMeetingSets{0};
  std::thread saver([&] {
    while (writing) {
      const int before = sets.load();
      defaults->synchronize();
      if (sets.load() != before) ++savesMeetingSets;
    }
  });
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t) {
    writers.emplace_back([t, defaults, &sets, &savesMeetingSets, giveUp] {
      const auto setAll = [&](int offset) {
        for (int i = 0; i < kKeys; ++i) {
          const std::string key = "t" + std::to_string(t) + "." + std::to_string(i);
          defaults->setInteger(i + offset, key);
          ++sets;
          (void)defaults->objectForKey(key);
        }
      };
      for (int round = 1; savesMeetingSets < 3 && std::chrono::steady_clock::now() < giveUp; ++round) {
        setAll(round * kKeys);
      }
      setAll(0);
    });
  }
  for (auto& w : writers) w.join();
  writing = false;
  saver.join();
  EXPECT_GE(savesMeetingSets, 3) << "the saves never ran while the sets came";
  ASSERT_TRUE(UserDefaults::waitForPendingWrites());
  auto file = readPreferencesFile("concurrent");
  ASSERT_TRUE(file && file->isDictionary());
  std::vector<std::string> lost;
  for (int t = 0; t < kWriters; ++t) {
    for (int i = 0; i < kKeys; ++i) {
      const std::string key = "t" + std::to_string(t) + "." + std::to_string(i);
      auto it = file->ifDictionary()->find(key);
      if (it == file->ifDictionary()->end() || it->second != Value(i)) lost.push_back(key);
    }
  }
  EXPECT_TRUE(lost.empty()) << lost.size() << " keys lost or wrong on disk, " << lost.front() << " among them";
  EXPECT_EQ(file->count(), static_cast<std::size_t>(kWriters * kKeys));
}

TEST_F(UserDefaultsTest, EachHomeHasItsOwnPreferences) {
  fs::path first = Home::path() / "first", second = Home::path() / "second";
  Home::set(first);
  auto defaults = UserDefaults::standard();
  defaults->setObject(Value("one"), "k");  // unsaved when the home changes: written to its own home
  Home::set(second);
  EXPECT_TRUE(defaults->objectForKey("k").isNull());
  defaults->setObject(Value("two"), "k");
  Home::set(first);
  EXPECT_EQ(defaults->objectForKey("k"), Value("one"));
  Home::set(second);
  EXPECT_EQ(defaults->objectForKey("k"), Value("two"));
}

TEST_F(UserDefaultsTest, ARemovedHomeIsNotRecreatedByALateWrite) {
  fs::path gone = Home::path() / "gone";
  Home::set(gone);
  auto defaults = UserDefaults::suite("late");
  // Saved first, so that no background save is writing into the home while it is removed.
  defaults->setBool(true, "k");
  ASSERT_TRUE(defaults->synchronize());
  fs::remove_all(gone);
  testing::LogCapture log;
  defaults->setBool(false, "k");
  EXPECT_FALSE(defaults->synchronize());
  EXPECT_FALSE(fs::exists(gone));
  EXPECT_TRUE(log.contains("late"));
}

TEST_F(UserDefaultsTest, ALibraryRemovedByAReinstallComesBack) {
  auto defaults = UserDefaults::suite("reinstall");
  fs::remove_all(Home::library());
  defaults->setBool(true, "k");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(readPreferencesFile("reinstall"), Value(Value::Dictionary{{"k", Value(true)}}));
}

// Another process on the same home is played by writing the suite's file directly.
TEST_F(UserDefaultsTest, ValuesSavedOrRemovedByAnotherProcessAreSeenAndKept) {
  auto defaults = UserDefaults::suite("shared");
  defaults->setObject(Value("mine"), "mine");
  defaults->setObject(Value("mine"), "changed by them");
  ASSERT_TRUE(defaults->synchronize());
  auto write = [](const Value::Dictionary& values) {
    ASSERT_TRUE(FileManager::defaultManager().writeAtomically(
        preferencesFile("shared"), *PropertyList::write(Value(values), PropertyList::Format::Binary), 0600));
  };
  write({{"mine", Value("mine")}, {"changed by them", Value("theirs")}, {"theirs", Value("theirs")}});
  EXPECT_EQ(defaults->objectForKey("theirs"), Value("theirs"));
  EXPECT_EQ(defaults->objectForKey("changed by them"), Value("theirs"));

  // Only this process's own changes go on top of what is on disk when it writes.
  write({{"mine", Value("mine")}, {"changed by them", Value("theirs")}, {"theirs", Value("theirs")},
         {"theirs later", Value(2)}});
  defaults->setObject(Value("new"), "mine too");
  defaults->removeObjectForKey("mine");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(readPreferencesFile("shared"),
            Value(Value::Dictionary{{"changed by them", Value("theirs")}, {"theirs", Value("theirs")},
                                    {"theirs later", Value(2)}, {"mine too", Value("new")}}));

  // Their removal holds here too, and a write of ours does not bring the key back.
  write({{"mine too", Value("new")}});
  EXPECT_TRUE(defaults->objectForKey("theirs").isNull());
  defaults->setInteger(1, "counter");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(readPreferencesFile("shared"), Value(Value::Dictionary{{"mine too", Value("new")}, {"counter", Value(1)}}));
}

TEST_F(UserDefaultsTest, AFileThatCannotBeReadNowIsNotDamage) {
  auto defaults = UserDefaults::suite("kept");
  defaults->setObject(Value("value"), "stored");
  ASSERT_TRUE(defaults->synchronize());
  UserDefaults::resetCachesForTesting();  // a new process, which has read nothing yet
  {
    testing::UnreadableFile unreadable(preferencesFile("kept"));
    defaults->objectForKey("stored");
    defaults->setObject(Value("later"), "added");
    defaults->synchronize();  // must not replace what it could not read
  }
  for (const auto& entry : fs::directory_iterator(Home::preferences())) {
    EXPECT_FALSE(entry.path().filename().string().starts_with("kept.plist.corrupt")) << entry.path();
  }
  EXPECT_EQ(defaults->objectForKey("stored"), Value("value"));
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(readPreferencesFile("kept"), Value(Value::Dictionary{{"stored", Value("value")}, {"added", Value("later")}}));
}

}  // namespace
}  // namespace platform
