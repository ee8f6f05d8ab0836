// The app ended while another connection held the measurement database: what waited for it goes
// to a journal beside the database, which the next start writes first, once, in order. The
// engine, its real store and a second SQLite connection holding the file, on the manual clock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>

#include "platform/foundation/bundle.h"
#include "platform/foundation/home.h"
#include "platform/foundation/notification_center.h"
#include "platform/store/payment_queue.h"
#include "platform/store/receipt_builder.h"
#include "platform/ui/application.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_conditional_user_property_controller.h"
#include "sdk/analytics/engine/apm_in_app_purchase_item.h"
#include "sdk/analytics/engine/apm_in_app_purchase_transaction_reporter.h"
#include "sdk/analytics/engine/apm_kept_writes_journal.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "platform/testing/child_process.h"
#include "tests/sdk/analytics/engine/event_writing_fixture.h"
#include "tests/sdk/analytics/engine/upload_fixture.h"
#include "tests/sdk/analytics/kill_test_support.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"

#include <sqlite3.h>

namespace {

namespace fs = std::filesystem;
using platform::store::PaymentQueue;
using storage_test::BusyTimeoutForScope;
using storage_test::LockingConnection;
namespace StoreCatalog = platform::store::StoreCatalog;

constexpr std::int64_t kLoggingEventCode = 23051;
constexpr std::int64_t kJournalSavedCode = 23230;
constexpr std::int64_t kJournalGivenUpCode = 23231;
constexpr std::int64_t kJournalDamagedCode = 23232;
constexpr std::int64_t kJournalUnreadableCode = 23234;
constexpr std::int64_t kJournalNotSetAsideCode = 23235;
constexpr std::int64_t kReadyCode = 23016;
constexpr const char* kChildHomeVariable = "FOCUS_KEPT_WRITES_KILL_CHILD_HOME";
constexpr const char* kChildKillAtVariable = "FOCUS_KEPT_WRITES_KILL_AT";

std::string databasePath() { return APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName)); }
// The journal's name before each run wrote its own: still read.
std::string journalPath() { return APMKeptWritesJournalPath(std::string(kAPMMeasurementDatabaseName)); }
// The journals on disk, of every run: regular files named as a journal, nothing else.
std::vector<fs::path> journals() {
  const fs::path base(journalPath());
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(base.parent_path(), ec)) {
    const std::string name = entry.path().filename().string();
    const std::string prefix = base.filename().string();
    if (name != prefix && !(name.rfind(prefix + ".", 0) == 0 &&
                            name.find_first_not_of("0123456789ABCDEFabcdef-", prefix.size() + 1) == std::string::npos)) {
      continue;
    }
    if (fs::is_regular_file(fs::symlink_status(entry.path()))) found.push_back(entry.path());
  }
  return found;
}
std::string contentsOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class KeptWritesJournalTest : public engine_test::UploadTest {
 protected:
  void SetUp() override {
    UploadTest::SetUp();
    StoreCatalog::removeAllProducts();
    APMInAppPurchaseProductCache::sharedInstance().resetForTesting();
    StoreCatalog::addProduct({"coins", "0.99", "USD", "Coins", std::nullopt});
  }
  void TearDown() override {
    StoreCatalog::removeAllProducts();
    APMInAppPurchaseProductCache::sharedInstance().resetForTesting();
    platform::store::ReceiptBuilder::uninstall();
    UploadTest::TearDown();
  }

  // A first launch, whose own events are forgotten, so that the store holds only the test's.
  void firstLaunch() {
    std::error_code ignored;
    fs::remove_all(fs::path(databasePath()).parent_path(), ignored);
    start();
  }
  // The process ends as after a quit (the app hears it will terminate) or a kill (it hears
  // nothing); the next launch starts with a fresh stack.
  void endProcess(bool quit) {
    if (quit) platform::NotificationCenter::defaultCenter().post(std::string(platform::kApplicationWillTerminateNotification));
    platform::testing::runUntilIdle();
    engine_.reset();
    freshProcess();
  }
  void relaunch() {
    configure();
    engine_ = APMMeasurement::sharedInstanceIfCreated();
    ASSERT_TRUE(engine_);
    ASSERT_TRUE(engine_->database());
  }
  std::vector<std::string> storedNames() {
    std::vector<std::string> names;
    onWorker([&] {
      const auto rows =
          engine_->database()->store()->recordsForQuery("SELECT name FROM raw_events ORDER BY rowid", {}, nullptr);
      ASSERT_TRUE(rows);
      for (const auto& row : *rows) names.push_back(row.at("name").stringValue());
    });
    return names;
  }
  std::int64_t rowCount(const std::string& table) {
    std::int64_t count = -1;
    onWorker([&] {
      const auto rows =
          engine_->database()->store()->recordsForQuery("SELECT count(*) AS n FROM " + table, {}, nullptr);
      ASSERT_TRUE(rows && rows->size() == 1);
      count = rows->at(0).at("n").integerValue();
    });
    return count;
  }
  static void logEngagement(std::int64_t milliseconds) {
    APMAnalytics::logInternalEventWithOrigin("auto", "_e", {{"_et", APMInt64Object(milliseconds)}});
  }
  // Conditional properties as another library sets and clears them; `setEvent` is logged when
  // the property is set, and `clearEvent` when it is cleared.
  static void setConditional(const std::string& name, const std::string& triggerEventName, const std::string& setEvent) {
    auto property = std::make_shared<APMConditionalUserProperty>();
    property->origin = "viam";
    property->value = APMValue::initWithString(name + "-on");
    property->triggerEventName = triggerEventName;
    property->triggerTimeout = 86400;
    property->timeToLive = 86400;
    if (!setEvent.empty()) property->triggeredEvent = eventTemplate(setEvent);
    APMConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(property, name);
  }
  static void clearConditional(const std::string& name, const std::string& clearEvent) {
    APMConditionalUserPropertyController::sharedInstance()->clearConditionalUserPropertyWithClearEvent(
        APMEvent::initWithOrigin("viam", false, clearEvent, 0, 0, {}), name);
  }
  static std::shared_ptr<APMPBEvent> eventTemplate(const std::string& name) {
    return APMEvent::initWithOrigin("viam", false, name, 0, 0, {{"tag", APMObject(std::string("kept"))}})->protoEvent();
  }
  // Name to whether it is active.
  std::map<std::string, bool> conditionalProperties() {
    std::map<std::string, bool> byName;
    onWorker([&] {
      const auto rows = engine_->database()->store()->recordsForQuery(
          "SELECT name, active FROM conditional_properties", {}, nullptr);
      ASSERT_TRUE(rows);
      for (const auto& row : *rows) byName[row.at("name").stringValue()] = row.at("active").integerValue() != 0;
    });
    return byName;
  }
};

// Three purchases, three engagement reports and conditional properties set and cleared while
// another connection holds the database, then the app is ended and the lock released: the next
// start writes them all, once and in order, before what it logs itself, with the purchases'
// fingerprints, so that a purchase the store hands over again is not reported again, and the
// events the conditional properties log on the way. The journal is gone once written.
TEST_F(KeptWritesJournalTest, WritesKeptWhenTheAppQuitsAreWrittenOnceInOrderAtTheNextStart) {
  BusyTimeoutForScope wait(50);
  firstLaunch();
  setConditional("old", "", "");
  platform::testing::runUntilIdle();
  ASSERT_EQ(conditionalProperties(), (std::map<std::string, bool>{{"old", true}}));
  auto other = storage_test::holdAnalyticsDatabase(60);
  // Set at once (and logs its event), set to wait for a trigger, and cleared (logging its event).
  setConditional("tier", "", "tier_set");
  std::vector<std::shared_ptr<const platform::store::PaymentTransaction>> bought;
  for (int i = 0; i < 3; ++i) {
    bought.push_back(PaymentQueue::defaultQueue().purchase("coins", 1));
    platform::testing::runUntilIdle();
    logEngagement(1000 * (i + 1));
    platform::testing::runUntilIdle();
  }
  setConditional("plan", "go", "plan_set");
  clearConditional("old", "old_cleared");
  platform::testing::runUntilIdle();
  clearLines();
  endProcess(true);
  EXPECT_EQ(journals().size(), 1u);
  EXPECT_EQ(linesWithCode(kJournalSavedCode), 1);
  EXPECT_EQ(linesWithCode(kJournalGivenUpCode), 0);
  other.reset();

  relaunch();
  DOREvoredire::logEventWithName("after_restart", {});
  platform::testing::runUntilIdle();
  auto names = storedNames();
  ASSERT_FALSE(names.empty());
  const auto isKept = [](const std::string& name) {
    return name.rfind("_iap", 0) == 0 || name == "_e" || name == "tier_set" || name == "old_cleared";
  };
  std::vector<std::string> kept;
  for (const auto& name : names) {
    if (name.rfind("_iap", 0) == 0) kept.push_back("purchase");
    if (name == "_e" || name == "tier_set" || name == "old_cleared") kept.push_back(name);
  }
  EXPECT_EQ(kept, (std::vector<std::string>{"tier_set", "purchase", "_e", "purchase", "_e", "purchase", "_e",
                                            "old_cleared"}));
  const auto firstOwn = std::find_if(names.begin(), names.end(), [&](const std::string& name) { return !isKept(name); });
  EXPECT_EQ(firstOwn - names.begin(), 8) << "a write of the new start came before the kept ones";
  EXPECT_EQ(std::count(names.begin(), names.end(), "after_restart"), 1);
  EXPECT_EQ(conditionalProperties(), (std::map<std::string, bool>{{"tier", true}, {"plan", false}}));
  const auto properties = userProperties();
  EXPECT_EQ(properties.count("tier"), 1u);
  EXPECT_EQ(properties.count("old"), 0u);
  EXPECT_EQ(rowCount("purchase_transactions"), 3);
  EXPECT_TRUE(journals().empty());
  EXPECT_EQ(rowCount("done_kept_writes"), 0) << "done IDs outlive the journal that named them";

  clearLines();
  PaymentQueue::defaultQueue().deliver({bought[1]});
  platform::testing::runUntilIdle();
  EXPECT_TRUE(loggedCode(23141)) << "a purchase handed over again was not recognised";
  names = storedNames();
  EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.rfind("_iap", 0) == 0; }), 3);
}

using KeptWritesJournalKillChild = KeptWritesJournalTest;

// Runs only inside the spawned child: a start that writes the journal it finds, stopped inside
// its write number FOCUS_KEPT_WRITES_KILL_AT (which it acknowledges) until it is killed.
TEST_F(KeptWritesJournalKillChild, WritesTheJournalUntilKilled) {
  const char* home = std::getenv(kChildHomeVariable);
  if (!home) GTEST_SKIP() << "runs only as the child of the kill test";
  platform::Home::set(home);
  freshProcess();
  useBundle({{"CFBundleIdentifier", platform::Value(engine_test::kBundleID)}, {"CFBundleShortVersionString", "1.2"}});
  const std::int64_t killAt = std::atoll(std::getenv(kChildKillAtVariable));
  std::atomic<std::int64_t> writes{0};
  APMMeasurementMonitor()->setObserver(
      [&](std::int64_t, std::int64_t code, const std::string&, const APMMonitor::Contexts&) {
        if (code != kLoggingEventCode || ++writes != killAt) return;
        const std::int64_t n = killAt;
        if (::write(kill_test::kAckDescriptor, &n, sizeof n) != sizeof n) std::_Exit(1);
        // Inside the write's transaction, holding the file, until the kill.
        for (;;) ::pause();
      });
  configure();
  for (;;) ::pause();
}

// A start killed while it writes the journal of the last run leaves the journal and the writes
// it had done: the start after it writes the rest, and none of those again, in order.
TEST_F(KeptWritesJournalTest, AStartKilledWhileWritingTheJournalWritesNothingTwice) {
  BusyTimeoutForScope wait(50);
  firstLaunch();
  // Killed inside the fourth write of the second transaction of kept writes: the first one's
  // writes are done.
  constexpr int kDone = static_cast<int>(kAPMKeptDatabaseWritesPerTransaction);
  constexpr int kKept = kDone + 8;
  constexpr int kKillAt = kDone + 4;
  std::vector<std::string> kept;
  {
    auto other = storage_test::holdAnalyticsDatabase(60);
    for (int i = 0; i < kKept; ++i) {
      kept.push_back("kept_" + std::to_string(i));
      DOREvoredire::logEventWithName(kept.back(), {});
    }
    platform::testing::runUntilIdle();
    endProcess(true);
  }
  ASSERT_EQ(journals().size(), 1u);

  const auto child = kill_test::spawnSelf(
      "KeptWritesJournalKillChild.*", {std::string(kChildHomeVariable) + "=" + platform::Home::path().string(),
                                       std::string(kChildKillAtVariable) + "=" + std::to_string(kKillAt)});
  ASSERT_GE(child.acks, 0);
  std::int64_t acknowledged = 0;
  const auto read = platform::testing::readFromPipe(child.acks, &acknowledged, sizeof acknowledged, kill_test::kAckSeconds);
  ::kill(child.pid, SIGKILL);
  platform::testing::waitForChild(child.pid, 30);
  ::close(child.acks);
  ASSERT_EQ(read, platform::testing::PipeRead::Complete) << "the child never began its write " << kKillAt;
  EXPECT_EQ(journals().size(), 1u);
  EXPECT_EQ(storage_test::rowCountOnDisk(databasePath(), "raw_events"), kDone);

  relaunch();
  platform::testing::runUntilIdle();
  const auto names = storedNames();
  std::vector<std::string> ours;
  std::copy_if(names.begin(), names.end(), std::back_inserter(ours),
               [](const std::string& name) { return name.rfind("kept_", 0) == 0; });
  EXPECT_EQ(ours, kept);
  EXPECT_TRUE(journals().empty());
}

// A journal that cannot be believed is logged and set aside, and the start goes on; one that
// cannot be read (a link in its place) is left alone for a later start. Either way the app's
// events are stored.
TEST_F(KeptWritesJournalTest, ADamagedOrUnreadableJournalDoesNotBlockTheStart) {
  BusyTimeoutForScope wait(50);
  struct Case {
    const char* name;
    std::function<void(const std::string& path, const std::string& valid)> make;
    std::int64_t code;
    // Where the journal is afterwards: set aside, or left where it was.
    bool setAside;
  };
  const Case cases[] = {
      {"not a journal",
       [](const std::string& path, const std::string&) { std::ofstream(path) << "{\"id\": 1}\n\x01\x02"; },
       kJournalDamagedCode, true},
      {"cut short",
       [](const std::string& path, const std::string& valid) {
         std::ofstream(path, std::ios::binary) << valid.substr(0, valid.size() - 20);
       },
       kJournalDamagedCode, true},
      {"one byte changed",
       [](const std::string& path, const std::string& valid) {
         std::string changed = valid;
         changed[changed.size() - 10] ^= 0x20;
         std::ofstream(path, std::ios::binary) << changed;
       },
       kJournalDamagedCode, true},
      {"larger than any journal",
       [](const std::string& path, const std::string&) {
         std::ofstream(path, std::ios::binary) << "kept-writes 1 ";
         fs::resize_file(path, kAPMMaxKeptWritesJournalBytes + 1);
       },
       kJournalDamagedCode, true},
      {"a link in its place",
       [](const std::string& path, const std::string& valid) {
         std::ofstream(path + ".target", std::ios::binary) << valid;
         fs::create_symlink(path + ".target", path);
       },
       kJournalUnreadableCode, false},
      {"damaged, with no room to set it aside",
       [](const std::string& path, const std::string& valid) {
         std::ofstream(path, std::ios::binary) << valid.substr(0, valid.size() - 20);
         fs::create_directories(path + ".damaged/taken");
       },
       kJournalNotSetAsideCode, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    freshProcess();
    firstLaunch();
    {
      auto other = storage_test::holdAnalyticsDatabase(60);
      DOREvoredire::logEventWithName("kept", {});
      platform::testing::runUntilIdle();
      endProcess(true);
    }
    const auto written = journals();
    ASSERT_EQ(written.size(), 1u);
    const std::string valid = contentsOf(written.front());
    ASSERT_FALSE(valid.empty());
    fs::remove(written.front());
    c.make(journalPath(), valid);
    clearLines();

    relaunch();
    DOREvoredire::logEventWithName("after_restart", {});
    platform::testing::runUntilIdle();
    EXPECT_EQ(linesWithCode(c.code), 1);
    // A loss, or what may be one, reaches the log.
    EXPECT_EQ(levelOf(c.code), c.code == kJournalUnreadableCode ? 3 : 1);
    const auto names = storedNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "after_restart"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "kept"), 0);
    EXPECT_EQ(fs::is_regular_file(journalPath() + ".damaged"), c.setAside);
    EXPECT_EQ(fs::exists(fs::symlink_status(journalPath())), !c.setAside)
        << "a journal that was not set aside is gone";
    engine_.reset();
    std::error_code ignored;
    fs::remove_all(journalPath() + ".damaged", ignored);
    fs::remove(journalPath(), ignored);
  }
}

// The first open and the ad-personalisation property of a start whose database another
// connection takes right after it opened wait with the kept writes instead of being skipped, and
// are written once it is free.
TEST_F(KeptWritesJournalTest, FirstOpenAndAdPersonalisationWaitForAHeldDatabase) {
  BusyTimeoutForScope wait(50);
  std::error_code ignored;
  fs::remove_all(fs::path(databasePath()).parent_path(), ignored);
  useBundle({{"CFBundleIdentifier", platform::Value(engine_test::kBundleID)},
             {"CFBundleShortVersionString", "1.2"},
             {"VIDEZU_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", false}});
  std::unique_ptr<LockingConnection> other;
  APMMeasurementMonitor()->setObserver(
      [&](std::int64_t level, std::int64_t code, const std::string& message, const APMMonitor::Contexts&) {
        {
          std::lock_guard lock(mutex_);
          lines_.push_back({level, code, message});
        }
        // The start opened the database and is about to write its first open.
        if (code != kReadyCode || other) return;
        other = std::make_unique<LockingConnection>(databasePath(), "BEGIN EXCLUSIVE", 60);
        EXPECT_TRUE(other->waitUntilLocked());
      });
  relaunch();
  ASSERT_TRUE(other);
  for (const std::int64_t code : {23161, 23162, 23172}) EXPECT_FALSE(loggedCode(code)) << code;
  other.reset();
  advance(kAPMHeldDatabaseRetryInitialDelay);
  const auto properties = userProperties(true);
  for (const char* name : {"_fi", "_fot", "_npa"}) EXPECT_EQ(properties.count(name), 1u) << name;
  const auto names = storedNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "_f"), 1);
}

// The names of the raw events on disk, with how often each is there (read by a connection of
// the test's own, while no engine of this process has the file).
std::map<std::string, int> storedNamesOnDisk() {
  std::map<std::string, int> counts;
  sqlite3* handle = nullptr;
  if (sqlite3_open_v2(databasePath().c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(handle, 10000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, "SELECT name, count(*) FROM raw_events GROUP BY name", -1, &statement, nullptr) ==
        SQLITE_OK) {
      while (sqlite3_step(statement) == SQLITE_ROW) {
        counts[reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))] = sqlite3_column_int(statement, 1);
      }
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(handle);
  return counts;
}

// A purchase reported while the database is held is kept with its fingerprint as one write: a
// purchase whose event never came (its product could not be looked up) leaves no fingerprint in
// the journal, so the transaction handed over again after the next start is reported then.
TEST_F(KeptWritesJournalTest, APurchasesFingerprintIsKeptOnlyWithItsEvent) {
  BusyTimeoutForScope wait(50);
  firstLaunch();
  StoreCatalog::addProduct({"gems", "1.99", "USD", "Gems", std::nullopt});
  std::shared_ptr<const platform::store::PaymentTransaction> unreported;
  {
    auto other = storage_test::holdAnalyticsDatabase(60);
    platform::store::StoreCatalog::setFailure(platform::Error("SKErrorDomain", 0));
    unreported = PaymentQueue::defaultQueue().purchase("coins", 1);
    platform::testing::runUntilIdle();
    platform::store::StoreCatalog::setFailure(std::nullopt);
    PaymentQueue::defaultQueue().purchase("gems", 1);
    platform::testing::runUntilIdle();
    endProcess(true);
  }
  const auto written = journals();
  ASSERT_EQ(written.size(), 1u);
  const auto contents = APMReadKeptWritesJournal(written.front().string());
  ASSERT_EQ(contents.state, APMKeptWritesJournalContents::State::read);
  int withFingerprint = 0;
  for (const auto& record : contents.records) {
    const std::string* kind = APMKeptWriteRecordString(record, "k");
    EXPECT_FALSE(kind && *kind == "p") << "a fingerprint kept without its purchase's event";
    withFingerprint += APMKeptWriteRecordString(record, "f") != nullptr;
  }
  EXPECT_EQ(withFingerprint, 1);

  relaunch();
  platform::testing::runUntilIdle();
  EXPECT_EQ(rowCount("purchase_transactions"), 1);
  clearLines();
  PaymentQueue::defaultQueue().deliver({unreported});
  platform::testing::runUntilIdle();
  EXPECT_FALSE(loggedCode(23141)) << "a purchase never reported was taken for a duplicate";
  const auto names = storedNames();
  EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.rfind("_iap", 0) == 0; }), 2);
  EXPECT_EQ(rowCount("purchase_transactions"), 2);
}

// Purchases reach the engine in the order they were made, even when the first one's product
// must first be looked up and the later ones' are known: the events are logged, kept and written
// in that order.
TEST_F(KeptWritesJournalTest, PurchasesAreReportedInTheOrderTheyWereMade) {
  BusyTimeoutForScope wait(50);
  firstLaunch();
  const std::vector<std::string> products = {"coins", "gems", "stars", "keys"};
  for (const auto& product : products) StoreCatalog::addProduct({product, "0.99", "USD", product, std::nullopt});
  // Known to the product cache, all but the first.
  for (std::size_t i = 1; i < products.size(); ++i) PaymentQueue::defaultQueue().purchase(products[i], 1);
  platform::testing::runUntilIdle();
  forgetStartEvents();
  auto other = storage_test::holdAnalyticsDatabase(60);
  for (const auto& product : products) PaymentQueue::defaultQueue().purchase(product, 1);
  platform::testing::runUntilIdle();
  other.reset();
  advance(kAPMHeldDatabaseRetryInitialDelay);
  std::vector<std::string> reported;
  onWorker([&] {
    const auto rows = engine_->database()->store()->recordsForQuery(
        "SELECT name, data FROM raw_events ORDER BY rowid", {}, nullptr);
    ASSERT_TRUE(rows);
    for (const auto& row : *rows) {
      const std::string name = row.at("name").stringValue();
      if (name.rfind("_iap", 0) != 0) continue;
      const auto proto = APMPBEvent::initWithBuffer(*row.at("data").ifData());
      ASSERT_TRUE(proto);
      NANOSetString(proto.get(), APMFieldIndex(*proto, 2), name);
      const auto event = APMEvent::initWithEventProto(*proto);
      ASSERT_TRUE(event);
      const APMValue* product = APMEventParameterValue(*event, "product_id");
      reported.push_back(product && product->stringValue() ? *product->stringValue() : "?");
    }
  });
  EXPECT_EQ(reported, products);
}

// The journal of a run whose quit could not save it (something in its place) is a loss, and one
// that reaches the log as an error, with the count of writes lost.
TEST_F(KeptWritesJournalTest, AJournalThatCannotBeSavedIsLoggedAsAnError) {
  BusyTimeoutForScope wait(50);
  firstLaunch();
  fs::create_directories(engine_->keptWritesJournalPathOfThisRun() + "/taken");
  {
    auto other = storage_test::holdAnalyticsDatabase(60);
    for (int i = 0; i < 3; ++i) DOREvoredire::logEventWithName("kept_" + std::to_string(i), {});
    platform::testing::runUntilIdle();
    clearLines();
    endProcess(true);
  }
  EXPECT_EQ(linesWithCode(kJournalGivenUpCode), 1);
  EXPECT_EQ(levelOf(kJournalGivenUpCode), 1);
}

// Temporary files of journal writes killed before their rename are removed by the next start,
// whichever run's journal they were for; the journal itself is read.
TEST_F(KeptWritesJournalTest, TemporaryFilesOfKilledJournalWritesAreRemovedAtStart) {
  BusyTimeoutForScope wait(50);
  firstLaunch();
  {
    auto other = storage_test::holdAnalyticsDatabase(60);
    DOREvoredire::logEventWithName("kept", {});
    platform::testing::runUntilIdle();
    endProcess(true);
  }
  ASSERT_EQ(journals().size(), 1u);
  const fs::path folder = fs::path(journalPath()).parent_path();
  const std::string base = fs::path(journalPath()).filename().string();
  const std::vector<fs::path> stale = {folder / ("." + base + ".a1B2c3"),
                                       folder / ("." + journals().front().filename().string() + ".Zz9Yy8"),
                                       folder / ("." + base + ".0F2C8E4A-1B3D-4E5F-8A9B-0C1D2E3F4A5B.x0x0x0")};
  for (const auto& path : stale) std::ofstream(path) << std::string(4096, 'k');

  relaunch();
  platform::testing::runUntilIdle();
  for (const auto& path : stale) EXPECT_FALSE(fs::exists(path)) << path;
  const auto names = storedNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "kept"), 1);
  EXPECT_TRUE(journals().empty());
}

// ---- two processes on one home ----

constexpr const char* kRoleVariable = "FOCUS_KEPT_WRITES_ROLE";
constexpr const char* kTagVariable = "FOCUS_KEPT_WRITES_TAG";
constexpr int kEventsPerProcess = 5;

// Waits for the parent to create `name` in the home (at most a minute: a parent that never does
// has failed already).
bool waitForSignal(const std::string& name) {
  const fs::path path = platform::Home::path() / name;
  for (int i = 0; i < 6000; ++i) {
    if (fs::exists(path)) return true;
    ::usleep(10000);
  }
  return false;
}
void signalChildren(const std::string& name) { std::ofstream(platform::Home::path() / name) << "go"; }
void acknowledge(std::int64_t step) {
  if (::write(kill_test::kAckDescriptor, &step, sizeof step) != sizeof step) std::_Exit(1);
}

using KeptWritesJournalProcess = KeptWritesJournalTest;

// Runs only as a child of the tests below, one process of the app on the parent's home:
//  start      starts (writing what journals it claims), stopping before it writes them until told
//  keep-quit  keeps its events while the parent holds the database, then quits
//  keep-stay  keeps its events while the parent holds the database, and writes them once it is free
TEST_F(KeptWritesJournalProcess, Run) {
  const char* home = std::getenv(kChildHomeVariable);
  if (!home) GTEST_SKIP() << "runs only as a child of the two-process tests";
  BusyTimeoutForScope wait(50);
  platform::Home::set(home);
  freshProcess();
  // The parent's bundle in the shared home: a process that wrote it anew would remove it from
  // under the others starting beside it.
  platform::Bundle::setMainPath(platform::Home::path() / "bundles" / "Focus.app");
  const std::string role = std::getenv(kRoleVariable);
  const std::string tag = std::getenv(kTagVariable) ? std::getenv(kTagVariable) : "";
  if (role == "start") {
    // What this process writes of the journal's events, by name; the parent adds up both.
    std::mutex mutex;
    std::vector<std::string> written;
    // Writing kept writes (23227) or finding the database held again (23228), whichever came last.
    std::atomic<std::int64_t> lastRetry{0};
    APMMeasurementMonitor()->setObserver([&](std::int64_t, std::int64_t code, const std::string&,
                                             const APMMonitor::Contexts& contexts) {
      if (code == 23227 || code == 23228) lastRetry = code;
      if (code == kLoggingEventCode && contexts.size() > 1 && contexts[1].isString()) {
        const std::string name = contexts[1].platformValue()->stringValue();
        std::lock_guard lock(mutex);
        if (name.rfind("kept_", 0) == 0) written.push_back(name);
      }
      if (code != 23233) return;
      acknowledge(1);
      if (!waitForSignal("go")) std::_Exit(2);
    });
    configure();
    // Retries of writes that found the database held come on virtual time: it passes here about
    // ten times as fast as real time, until what this process kept is written (half a minute at
    // the most: the other process is done by then).
    for (int i = 0; i < 300 && lastRetry != 23227 && (lastRetry != 0 || i < 5); ++i) {
      platform::testing::advance(1);
      platform::testing::runUntilIdle();
      ::usleep(100 * 1000);
    }
    {
      std::lock_guard lock(mutex);
      std::ofstream out(platform::Home::path() / ("written." + std::to_string(::getpid())));
      for (const auto& name : written) out << name << "\n";
    }
    acknowledge(2);
    std::_Exit(0);
  }
  relaunch();
  acknowledge(1);
  if (!waitForSignal("held")) std::_Exit(2);
  for (int i = 0; i < kEventsPerProcess; ++i) DOREvoredire::logEventWithName(tag + "_" + std::to_string(i), {});
  platform::testing::runUntilIdle();
  if (role == "keep-quit") {
    platform::NotificationCenter::defaultCenter().post(std::string(platform::kApplicationWillTerminateNotification));
    platform::testing::runUntilIdle();
    acknowledge(2);
    std::_Exit(0);
  }
  acknowledge(2);
  if (!waitForSignal("released")) std::_Exit(2);
  advance(kAPMHeldDatabaseRetryInitialDelay);
  platform::testing::runUntilIdle();
  acknowledge(3);
  std::_Exit(0);
}

struct Process {
  kill_test::Child child;
  std::int64_t step = 0;
};

Process spawnProcess(const std::string& role, const std::string& tag) {
  return {kill_test::spawnSelf("KeptWritesJournalProcess.Run",
                               {std::string(kChildHomeVariable) + "=" + platform::Home::path().string(),
                                std::string(kRoleVariable) + "=" + role, std::string(kTagVariable) + "=" + tag}),
          0};
}

// Whether the process acknowledged `step` within `seconds`.
bool reached(Process& process, std::int64_t step, double seconds = kill_test::kAckSeconds) {
  while (process.step < step) {
    std::int64_t acknowledged = 0;
    if (platform::testing::readFromPipe(process.child.acks, &acknowledged, sizeof acknowledged, seconds) !=
        platform::testing::PipeRead::Complete) {
      return false;
    }
    process.step = acknowledged;
  }
  return true;
}

void finish(Process& process) {
  if (process.child.pid <= 0) return;
  const auto status = platform::testing::waitForChild(process.child.pid, 30);
  if (!status) ::kill(process.child.pid, SIGKILL);
  ::close(process.child.acks);
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "a child process failed";
}

// Two processes start at once on a home whose last run left a journal of hundreds of writes: one
// claims it and writes each once; the other does not read it.
TEST_F(KeptWritesJournalTest, TwoProcessesStartingAtOnceWriteTheJournalOnce) {
  BusyTimeoutForScope wait(50);
  firstLaunch();
  // Each its own name, within the day's bound on distinct names.
  constexpr int kKept = 450;
  {
    auto other = storage_test::holdAnalyticsDatabase(60);
    for (int i = 0; i < kKept; ++i) DOREvoredire::logEventWithName("kept_" + std::to_string(i), {});
    platform::testing::runUntilIdle();
    endProcess(true);
  }
  ASSERT_EQ(journals().size(), 1u);
  engine_.reset();
  tearDownProcess();

  Process first = spawnProcess("start", "");
  Process second = spawnProcess("start", "");
  ASSERT_TRUE(first.child.acks >= 0 && second.child.acks >= 0);
  // Each that read the journal waits before writing it; the one that did not goes on to the end.
  const bool firstRead = reached(first, 1, 60);
  const bool secondRead = reached(second, 1, firstRead ? 5 : 60);
  EXPECT_TRUE(firstRead || secondRead) << "no process wrote the journal";
  signalChildren("go");
  EXPECT_TRUE(reached(first, 2));
  EXPECT_TRUE(reached(second, 2));
  finish(first);
  finish(second);

  std::map<std::string, int> counts;
  for (const auto& entry : fs::directory_iterator(platform::Home::path())) {
    if (entry.path().filename().string().rfind("written.", 0) != 0) continue;
    std::ifstream in(entry.path());
    for (std::string name; std::getline(in, name);) ++counts[name];
  }
  int once = 0;
  int twice = 0;
  for (int i = 0; i < kKept; ++i) {
    const auto found = counts.find("kept_" + std::to_string(i));
    const int times = found == counts.end() ? 0 : found->second;
    once += times == 1;
    twice += times > 1;
  }
  EXPECT_EQ(twice, 0) << "writes of the journal written more than once";
  EXPECT_EQ(once, kKept);
}

// Three processes keep writes through one hold of the database: two quit one after the other,
// the third writes its own once the hold ends and goes on running. None removes or replaces what
// another saved: the next start writes both quitters' writes, and each write is there once.
TEST_F(KeptWritesJournalTest, ProcessesSharingAHomeKeepEachOthersJournals) {
  BusyTimeoutForScope wait(50);
  firstLaunch();
  engine_.reset();
  tearDownProcess();
  Process quitFirst = spawnProcess("keep-quit", "first");
  Process quitSecond = spawnProcess("keep-quit", "second");
  Process stays = spawnProcess("keep-stay", "stays");
  for (Process* process : {&quitFirst, &quitSecond, &stays}) ASSERT_TRUE(reached(*process, 1, 60));
  {
    auto other = storage_test::holdAnalyticsDatabase(120);
    signalChildren("held");
    ASSERT_TRUE(reached(stays, 2));
    ASSERT_TRUE(reached(quitFirst, 2));
    finish(quitFirst);
    ASSERT_TRUE(reached(quitSecond, 2));
    finish(quitSecond);
  }
  signalChildren("released");
  ASSERT_TRUE(reached(stays, 3));
  finish(stays);

  freshProcess();
  relaunch();
  platform::testing::runUntilIdle();
  engine_.reset();
  tearDownProcess();
  const auto counts = storedNamesOnDisk();
  for (const char* tag : {"first", "second", "stays"}) {
    for (int i = 0; i < kEventsPerProcess; ++i) {
      const std::string name = std::string(tag) + "_" + std::to_string(i);
      const auto found = counts.find(name);
      EXPECT_EQ(found == counts.end() ? 0 : found->second, 1) << name;
    }
  }
  EXPECT_TRUE(journals().empty());
}

// What the journal keeps of an event, a user property and a conditional property's request reads
// back as the same: every kind of value (an integer stays an integer, a double a double, item
// arrays whole), all times and the events a conditional property logs, also through a written
// and read journal.
TEST(KeptWriteRecordTest, EventsAndUserPropertiesReadBackAsTheyWereKept) {
  APMDictionary item{{"item_id", APMObject(APMValue::initWithString(std::string("sku-1")))},
                     {"price", APMObject(APMValue::initWithDouble(2.0))},
                     {"quantity", APMInt64Object(3)}};
  const auto items = APMValue::initWithValueType(APMValue::Type::Array,
                                                 std::make_shared<const APMArray>(APMArray{APMObject(item)}));
  const auto event = APMEvent::initWithOrigin(
      "app", true, "purchase", 1765400000.123, 1765300000.5,
      {{"value", APMObject(APMValue::initWithDouble(4.0))},
       {"count", APMInt64Object(9007199254740993)},
       {"note", APMObject(APMValue::initWithString(std::string("caf\u00e9 \"quoted\"\nline")))},
       {"items", APMObject(items)}});
  ASSERT_TRUE(event);
  auto record = APMKeptWriteRecordForEvent(*event);
  record["id"] = platform::Value("run-1");
  record["k"] = platform::Value("e");
  const auto line = APMKeptWriteJournalLine(record);
  ASSERT_TRUE(line);
  const std::string path = (fs::temp_directory_path() / ("kept-writes-" + std::to_string(::getpid()))).string();
  std::size_t written = 0;
  ASSERT_TRUE(APMWriteKeptWritesJournal(path, {&*line}, written, nullptr));
  EXPECT_EQ(written, 1u);
  const auto contents = APMReadKeptWritesJournal(path);
  fs::remove(path);
  ASSERT_EQ(contents.state, APMKeptWritesJournalContents::State::read);
  ASSERT_EQ(contents.records.size(), 1u);

  const auto back = APMEventFromKeptWriteRecord(contents.records.front());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->origin(), event->origin());
  EXPECT_EQ(back->name(), event->name());
  EXPECT_EQ(back->timestamp(), event->timestamp());
  EXPECT_EQ(back->previousTimestamp(), event->previousTimestamp());
  ASSERT_EQ(back->parameters().size(), event->parameters().size());
  for (const auto& [name, object] : event->parameters()) {
    const auto found = back->parameters().find(name);
    ASSERT_NE(found, back->parameters().end()) << name;
    ASSERT_TRUE(found->second.apmValue() && object.apmValue()) << name;
    const APMValue& expected = **object.apmValue();
    const APMValue& actual = **found->second.apmValue();
    EXPECT_EQ(actual.valueType(), expected.valueType()) << name;
    if (!expected.isArray()) {
      EXPECT_TRUE(actual.isEqual(expected)) << name << ": " << actual.description();
      continue;
    }
    ASSERT_EQ(actual.arrayValue()->size(), 1u);
    const auto entries = actual.arrayValue()->front().dictionaryEntries();
    ASSERT_EQ(entries.size(), item.size());
    for (const auto& [itemName, itemObject] : item) {
      const auto itemFound = entries.find(itemName);
      ASSERT_NE(itemFound, entries.end()) << itemName;
      EXPECT_TRUE((*itemFound->second.apmValue())->isEqual(**itemObject.apmValue())) << itemName;
    }
  }

  for (const auto& value : {APMValue::initWithInt64(-4), APMValue::initWithDouble(1.0),
                            APMValue::initWithString(std::string("rain"))}) {
    const APMUserAttribute attribute("app", "sound", value, 1765400000.25);
    const auto property = APMUserAttributeFromKeptWriteRecord(APMKeptWriteRecordForUserAttribute(attribute));
    ASSERT_TRUE(property) << value->description();
    EXPECT_EQ(property->origin(), "app");
    EXPECT_EQ(property->name(), "sound");
    EXPECT_EQ(property->lastSetTimestamp(), 1765400000.25);
    EXPECT_TRUE(property->value()->isEqual(*value)) << value->description();
  }

  const auto eventTemplate = [](const std::string& name) {
    return APMEvent::initWithOrigin("viam", false, name, 0, 0, {{"tag", APMInt64Object(7)}})->protoEvent();
  };
  APMConditionalUserProperty set;
  set.name = "plan";
  set.origin = "viam";
  set.value = APMValue::initWithInt64(3);
  set.creationTimestamp = 1765400000.75;
  set.triggerTimeout = 60.5;
  set.timeToLive = 3600;
  set.triggerEventName = "go";
  set.triggeredEvent = eventTemplate("plan_set");
  set.timedOutEvent = eventTemplate("plan_timed_out");
  set.expiredEvent = eventTemplate("plan_expired");
  APMConditionalUserProperty setAtOnce = set;
  setAtOnce.value = APMValue::initWithString(std::string("pro"));
  setAtOnce.triggerEventName.clear();
  setAtOnce.timedOutEvent = nullptr;
  APMConditionalUserProperty clear;
  clear.name = "plan";
  clear.expiredEvent = eventTemplate("plan_cleared");
  APMConditionalUserProperty clearSilently;
  clearSilently.name = "plan";
  for (const auto* request : {&set, &setAtOnce, &clear, &clearSilently}) {
    SCOPED_TRACE(request->value ? request->value->description() : "clear");
    auto conditionalRecord = APMKeptWriteRecordForConditionalUserProperty(*request);
    conditionalRecord["id"] = platform::Value("run-2");
    conditionalRecord["k"] = platform::Value("c");
    const auto conditionalLine = APMKeptWriteJournalLine(conditionalRecord);
    ASSERT_TRUE(conditionalLine);
    std::size_t conditionalWritten = 0;
    ASSERT_TRUE(APMWriteKeptWritesJournal(path, {&*conditionalLine}, conditionalWritten, nullptr));
    const auto conditionalContents = APMReadKeptWritesJournal(path);
    fs::remove(path);
    ASSERT_EQ(conditionalContents.records.size(), 1u);
    const auto back = APMConditionalUserPropertyFromKeptWriteRecord(conditionalContents.records.front());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name, request->name);
    EXPECT_EQ(back->origin, request->origin);
    ASSERT_EQ(!back->value, !request->value);
    if (request->value) {
      EXPECT_EQ(back->value->valueType(), request->value->valueType());
      EXPECT_TRUE(back->value->isEqual(*request->value));
    }
    EXPECT_EQ(back->creationTimestamp, request->creationTimestamp);
    EXPECT_EQ(back->triggerTimeout, request->triggerTimeout);
    EXPECT_EQ(back->timeToLive, request->timeToLive);
    EXPECT_EQ(back->triggerEventName, request->triggerEventName);
    for (const auto member : {&APMConditionalUserProperty::triggeredEvent, &APMConditionalUserProperty::timedOutEvent,
                              &APMConditionalUserProperty::expiredEvent}) {
      const auto& expected = (*request).*member;
      const auto& actual = (*back).*member;
      ASSERT_EQ(!actual, !expected);
      if (expected) {
        EXPECT_EQ(actual->protoBuffer(), expected->protoBuffer());
      }
    }
  }

  // A request that could not have been made, or whose logged events are not events, is none.
  const auto withField = [&](const char* key, platform::Value value) {
    auto changed = APMKeptWriteRecordForConditionalUserProperty(set);
    changed[key] = std::move(value);
    return changed;
  };
  const std::pair<const char*, platform::Value::Dictionary> refused[] = {
      {"a time to live of nothing", withField("ttl", platform::Value(0.0))},
      {"an event that is not base64", withField("te", platform::Value("not base64!"))},
      {"an event that is not an event", withField("xe", platform::Value("AAAA"))},
      {"an event that is not text", withField("oe", platform::Value(std::int64_t{4}))},
      {"a name no property may have", withField("n", platform::Value(""))},
      {"a value that is an item array", withField("v", platform::Value(platform::Value::Dictionary{
                                                           {"a", platform::Value(platform::Value::Array{})}}))},
  };
  for (const auto& [name, record] : refused) {
    EXPECT_FALSE(APMConditionalUserPropertyFromKeptWriteRecord(record)) << name;
  }
}

}  // namespace
