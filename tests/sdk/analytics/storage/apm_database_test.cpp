#include "sdk/analytics/storage/apm_database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <thread>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/work_tracker.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/common/apm_foundation_extensions.h"
#include "sdk/analytics/common/apm_raw_event_data.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/storage/apm_database_row.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apm_sqlite_store.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "tests/sdk/analytics/monitor_recorder.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"

namespace {

namespace fs = std::filesystem;
using platform::Error;
using platform::Value;
using namespace storage_test;

class APMDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = platform::testing::useManualClock();
    config_ = std::make_shared<APMRemoteConfig>();
    APMSetMeasurementRemoteConfig(config_);
    Error error;
    persisted_ = APMPersistedConfig::initWithSuiteName("database.test.suite");
    db_ = APMDatabase::initWithDatabaseName(std::string(kAPMMeasurementDatabaseName), persisted_, &error);
    ASSERT_TRUE(db_) << error.description();
  }
  void TearDown() override { APMSetMeasurementRemoteConfig(nullptr); }
  double now() const { return APMDatabaseNow(); }
  std::int64_t count(const std::string& table) { return db_->store()->rowCountForTableWithName(table, nullptr).value(); }

  MonitorRecorder recorder_;
  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::shared_ptr<APMRemoteConfig> config_;
  std::shared_ptr<APMPersistedConfig> persisted_;
  std::unique_ptr<APMDatabase> db_;
};

// The thirteen tables of the layout and the IDs of kept writes already done.
TEST_F(APMDatabaseTest, FreshDatabaseHasFourteenTablesAndOneMetadataRow) {
  const auto tables = db_->store()->recordsForQuery(
      "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name", {}, nullptr);
  ASSERT_TRUE(tables);
  EXPECT_EQ(tables->size(), 14u);
  EXPECT_TRUE(std::any_of(tables->begin(), tables->end(),
                          [](const auto& row) { return row.at("name").stringValue() == "done_kept_writes"; }));
  const auto columns = *db_->store()->columnsForTableWithName("app_metadata", nullptr);
  EXPECT_EQ(columns.size(), 11u);
  EXPECT_EQ((*db_->store()->columnInfoForTableWithName("raw_events", nullptr))["timestamp"], "REAL");

  db_.reset();
  db_ = openDatabase();
  ASSERT_TRUE(db_);
  EXPECT_EQ(count("app_metadata"), 1);
  auto metadata = db_->queryAppMetadata(nullptr);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->lastBundleIndex(), 0);
}

TEST(APMDatabaseMigrationTest, OlderSchemaGainsAddOnColumnsAndRawEventsTimestampBecomesReal) {
  MonitorRecorder recorder;
  const std::string path = APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName));
  fs::create_directories(fs::path(path).parent_path());
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
  const char* fixture =
      "CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, last_bundle_end_timestamp REAL NOT NULL);"
      "INSERT INTO app_metadata (rowid, last_bundle_index, last_bundle_end_timestamp) VALUES (1, 41, 12.5);"
      "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, metadata_fingerprint INTEGER NOT "
      "NULL, data BLOB NOT NULL);"
      "INSERT INTO raw_events VALUES ('a', 100, 7, x'01');"
      "INSERT INTO raw_events VALUES ('b', 200, 7, x'02');"
      "INSERT INTO raw_events VALUES ('c', 300, 7, x'03');"
      "DELETE FROM raw_events WHERE name = 'b';"
      "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, current_bundle_count "
      "INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL);"
      "INSERT INTO events VALUES ('_e', 3, 1, 9.0);";
  ASSERT_EQ(sqlite3_exec(handle, fixture, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(handle);

  auto db = openDatabase();
  ASSERT_TRUE(db);
  auto metadata = db->queryAppMetadata(nullptr);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->lastBundleIndex(), 41);
  EXPECT_EQ(metadata->lastBundleStartTimestamp(), 0.0);
  auto counts = db->dailyCounts(nullptr);
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->allEventsCount(), 0);
  EXPECT_EQ(counts->day(), db->currentDay());

  EXPECT_EQ((*db->store()->columnInfoForTableWithName("raw_events", nullptr))["timestamp"], "REAL");
  const auto rows = db->store()->recordsForQuery("SELECT rowid, name FROM raw_events ORDER BY rowid", {}, nullptr);
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ(rows->at(1).at("rowid").integerValue(), 3);

  auto aggregates = db->eventAggregatesWithName("_e", nullptr);
  ASSERT_TRUE(aggregates);
  EXPECT_EQ(aggregates->currentSessionCount(), 0);
  EXPECT_EQ(aggregates->lastSamplingRate(), 1);
  EXPECT_FALSE(aggregates->lastExemptFromSampling());
  EXPECT_FALSE(aggregates->lastSampledComplexEventID());
}

// Another connection holds the file while the database opens (a second process of the app, a
// backup tool, a shell on the file): the open waits for it a while, and when the lock outlasts
// the wait it fails, says the file was busy (so the engine can try again later) and leaves the
// file as it was.
TEST(APMDatabaseLockTest, LockedFileIsWaitedForOrLeftAlone) {
  MonitorRecorder recorder;
  auto config = std::make_shared<APMRemoteConfig>();
  APMSetMeasurementRemoteConfig(config);
  const std::string path = APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName));
  struct Case {
    const char* name;
    bool olderSchema;  // tables lack columns, so opening has to write
    const char* lock;
    double holdSeconds;
    int busyTimeoutMilliseconds;
    bool opens;
  };
  const Case cases[] = {
      {"exclusive lock held throughout", false, "BEGIN EXCLUSIVE", 10, 100, false},
      {"exclusive lock released while the open waits", false, "BEGIN EXCLUSIVE", 0.2, 5000, true},
      {"write lock while the tables need new columns", true, "BEGIN IMMEDIATE", 10, 100, false},
      {"write lock on a current file", false, "BEGIN IMMEDIATE", 10, 100, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ignored;
    fs::remove(path, ignored);
    fs::remove(path + "-journal", ignored);
    if (c.olderSchema) {
      fs::create_directories(fs::path(path).parent_path());
      sqlite3* handle = nullptr;
      ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(handle,
                             "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp REAL NOT NULL, "
                             "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL);"
                             "INSERT INTO raw_events VALUES ('a', 1, 7, x'01'), ('b', 2, 7, x'02'), "
                             "('c', 3, 7, x'03');",
                             nullptr, nullptr, nullptr),
                SQLITE_OK);
      sqlite3_close(handle);
    } else {
      auto db = openDatabase();
      ASSERT_TRUE(db);
      for (int i = 0; i < 3; ++i) ASSERT_TRUE(db->insertRawEvent(event("e", 1000 + i).get(), 7, false, nullptr));
    }

    std::unique_ptr<APMDatabase> db;
    Error error;
    {
      LockingConnection other(path, c.lock, c.holdSeconds);
      ASSERT_TRUE(other.waitUntilLocked());
      BusyTimeoutForScope wait(c.busyTimeoutMilliseconds);
      db = openDatabase(&error);
    }
    EXPECT_EQ(static_cast<bool>(db), c.opens) << error.description();
    if (!db) {
      EXPECT_TRUE(APMIsBusySqliteError(error)) << error.description();
    } else {
      EXPECT_EQ(db->store()->rowCountForTableWithName("raw_events", nullptr), 3);
    }
    db.reset();
    EXPECT_EQ(rowCountOnDisk(path, "raw_events"), 3);
  }
  APMSetMeasurementRemoteConfig(nullptr);
}

// The worker waiting for another connection's lock is waiting on another process, not working:
// a front end that keeps pace with its user goes on meanwhile, while tests still wait for it.
TEST(APMDatabaseLockTest, AnOpenWaitingForAnotherConnectionWaitsOutsideTheProcess) {
  auto config = std::make_shared<APMRemoteConfig>();
  APMSetMeasurementRemoteConfig(config);
  const std::string path = APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName));
  ASSERT_TRUE(openDatabase());
  auto other = std::make_unique<LockingConnection>(path, "BEGIN EXCLUSIVE", 20);
  ASSERT_TRUE(other->waitUntilLocked());
  BusyTimeoutForScope wait(15'000);
  auto worker = platform::DispatchQueue::serial("test.worker");
  std::unique_ptr<APMDatabase> db;
  worker->async([&] { db = openDatabase(); });
  bool waitingOutside = false;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!waitingOutside && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    waitingOutside = platform::WorkTracker::outstanding() > 0 && platform::WorkTracker::ownOutstanding() == 0;
  }
  EXPECT_TRUE(waitingOutside) << "the worker's wait for the lock counted as the process's own work";
  other->release();
  platform::testing::drain(worker);
  EXPECT_TRUE(db);
  db.reset();
  APMSetMeasurementRemoteConfig(nullptr);
}

TEST(APMDatabaseLockTest, OnlyContentionAndDiskTroubleAreTransient) {
  const auto withCode = [](std::int64_t code) {
    return Error(std::string(kAPMErrorDomain), 3,
                 {{std::string(kAPMSqliteResultCodeKey), Value(code)}});
  };
  struct Case {
    Error error;
    bool transient;
    bool busy;  // another connection holds the file
  };
  const Case cases[] = {
      {withCode(SQLITE_BUSY), true, true},
      {withCode(SQLITE_BUSY_SNAPSHOT), true, true},
      {withCode(SQLITE_LOCKED), true, true},
      {withCode(SQLITE_IOERR_READ), true, false},
      {withCode(SQLITE_FULL), true, false},
      {withCode(SQLITE_CANTOPEN), true, false},
      {withCode(SQLITE_CORRUPT), false, false},
      {withCode(SQLITE_NOTADB), false, false},
      {withCode(SQLITE_ERROR), false, false},
      {Error(std::string(kAPMErrorDomain), 2), false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMIsTransientSqliteError(c.error), c.transient) << c.error.description();
    EXPECT_EQ(APMIsBusySqliteError(c.error), c.busy) << c.error.description();
  }
  EXPECT_TRUE(APMIsDamagedDatabaseResultCode(SQLITE_CORRUPT_INDEX));
  EXPECT_FALSE(APMIsDamagedDatabaseResultCode(SQLITE_BUSY));
}

// A table that cannot be made valid deletes the database with its journal, which would otherwise
// be replayed into the empty file made in its place.
TEST(APMDatabaseLockTest, InvalidTablesDeleteTheFileWithItsJournal) {
  MonitorRecorder recorder;
  const std::string path = APMMeasurementFilePath(std::string(kAPMMeasurementDatabaseName));
  fs::create_directories(fs::path(path).parent_path());
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(handle, "CREATE TABLE queue (data BLOB NOT NULL, strange TEXT NOT NULL)", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  sqlite3_close(handle);
  std::ofstream(path + "-journal") << "left behind";

  EXPECT_FALSE(openDatabase());
  EXPECT_TRUE(recorder.has(12002));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::exists(path + "-journal"));
}

TEST_F(APMDatabaseTest, RawEventsRoundTripAndAreCappedAtMaxEventsStored) {
  auto metadata = bundle(now());
  ASSERT_TRUE(db_->insertIfNotExistsRawEventMetadata(*metadata, nullptr));
  EXPECT_TRUE(db_->queryRawEventsMetadataWithFingerprint(VULGzip::apm_64LSBMD5(*metadata->protoBuffer()), nullptr));
  EXPECT_TRUE(db_->insertIfNotExistsRawEventMetadata(*metadata, nullptr));
  EXPECT_EQ(count("raw_events_metadata"), 1);
  config_->setRawSettings({{"measurement.store.max_stored_events_per_app", "3"}});
  const std::int64_t fp = 99;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(db_->performTransaction([&] {
      return db_->deleteRawEventsOverAbsoluteLimit(nullptr).has_value() &&
             db_->insertRawEvent(event("ev" + std::to_string(i), now() + i).get(), fp, i == 4, nullptr);
    }));
  }
  EXPECT_EQ(count("raw_events"), 3);
  auto events = db_->rawEventsWithMetadataFingerprint(fp, nullptr);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 3u);
  EXPECT_EQ(eventName(*events->front()->rawEvent()), "ev2");
  EXPECT_EQ(db_->containsRealtimeRawEventsWithError(nullptr), true);
  EXPECT_EQ(db_->queryLatestRawEventTime(nullptr)->doubleValue(), now() + 4);
}

TEST_F(APMDatabaseTest, EmptyTablesAnswerNothingWithoutError) {
  Error error;
  EXPECT_FALSE(db_->nextMetadataFingerprintToProcess(&error));
  EXPECT_FALSE(db_->queryLatestRawEventTime(&error));
  EXPECT_FALSE(db_->queryMeasurementConfigWithError(&error));
  EXPECT_FALSE(error.isSet());
  EXPECT_EQ(db_->isRawEventsTableEmpty(nullptr), true);
}

TEST_F(APMDatabaseTest, EventWithoutOriginIsSkippedByTheBatchRead) {
  ASSERT_TRUE(db_->insertRawEvent(event("good", now()).get(), 1, false, nullptr));
  ASSERT_TRUE(db_->insertRawEvent(event("orphan", now(), 1, false).get(), 1, false, nullptr));
  auto events = db_->rawEventsWithMetadataFingerprint(1, nullptr);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ(eventName(*events->front()->rawEvent()), "good");
}

TEST_F(APMDatabaseTest, BundleQueueLimitsAndRetries) {
  Error error;
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(db_->insertBundle(*bundle(now(), "1:app", i == 0 ? 40 : 1), false, &error));
  EXPECT_FALSE(db_->insertBundle(*bundle(now(), ""), false, &error));
  EXPECT_EQ(error.localizedDescription(), "Failed to insert bundle without App ID");

  const auto first = db_->queryBundlesWithCountLimit(10, 10, nullptr);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), 1u) << "the first bundle is taken whatever its size";
  const auto some = db_->queryBundlesWithCountLimit(3, 1 << 20, nullptr);
  ASSERT_EQ(some->size(), 3u);

  std::vector<std::int64_t> ids;
  for (const auto& [b, id] : *some) ids.push_back(id);
  ASSERT_TRUE(db_->store()->executeSQL("UPDATE queue SET retry_count = 2147483647 WHERE rowid = " +
                                           std::to_string(ids[0]), nullptr));
  ASSERT_TRUE(db_->incrementRetryCounterForBundlesWithIDs(ids, &error)) << error.description();
  EXPECT_TRUE(recorder_.has(12054));
  const auto retried = db_->queryBundlesWithRowIDs(ids, nullptr);
  ASSERT_EQ(retried->size(), 3u);
  std::map<std::int64_t, std::int32_t> retries;
  for (const auto& [b, id] : *retried) retries[id] = NANOGetInt32(b.get(), APMFieldIndex(*b, 39));
  EXPECT_EQ(retries[ids[0]], 2147483647);
  EXPECT_EQ(retries[ids[1]], 1);

  ASSERT_TRUE(db_->deleteBundlesWithRowIDs(ids, nullptr));
  EXPECT_EQ(count("queue"), 1);
}

// A queued row that cannot be read goes (logged), or the queue would look full until the stale
// sweep; the readable rows around it are kept.
TEST_F(APMDatabaseTest, UnreadableQueuedBundlesAreDeleted) {
  struct Case {
    const char* name;
    std::string data;  // SQL value of the row's data column
  };
  const Case cases[] = {
      {"not gzip", "x'00112233'"},
      {"empty", "x''"},
      {"gzip of no bundle", "x'1f8b08000000000002ffcb48cdc9c9070086a6103605000000'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder_.clear();
    ASSERT_TRUE(db_->insertBundle(*bundle(now()), false, nullptr));
    ASSERT_TRUE(db_->store()->executeSQL(
        "INSERT INTO queue (data, bundle_end_timestamp) VALUES (" + c.data + ", " + std::to_string(now()) + ")",
        nullptr));
    ASSERT_TRUE(db_->insertBundle(*bundle(now()), false, nullptr));

    const auto bundles = db_->queryBundlesWithCountLimit(10, 1 << 20, nullptr);
    ASSERT_TRUE(bundles);
    EXPECT_EQ(bundles->size(), 2u);
    EXPECT_TRUE(recorder_.has(12057));
    EXPECT_EQ(count("queue"), 2);

    std::vector<std::int64_t> ids;
    for (const auto& [b, id] : *bundles) ids.push_back(id);
    ASSERT_TRUE(db_->deleteBundlesWithRowIDs(ids, nullptr));
    EXPECT_EQ(db_->isQueuedBundleTableEmpty(nullptr), true);
  }
}

TEST_F(APMDatabaseTest, StaleSweepRunsWhenDueAndRemovesOldAndFutureRows) {
  const double week = 7 * 86400.0;
  ASSERT_TRUE(db_->insertRawEvent(event("old", now() - 5 * week).get(), 1, false, nullptr));
  ASSERT_TRUE(db_->insertRawEvent(event("future", now() + 5 * week).get(), 1, false, nullptr));
  ASSERT_TRUE(db_->insertRawEvent(event("fresh", now()).get(), 1, false, nullptr));
  ASSERT_TRUE(db_->insertBundle(*bundle(now() - 5 * week), false, nullptr));
  EXPECT_TRUE(recorder_.has(12016));
  // The insert above ran the sweep before storing its bundle: the old bundle stays until the next one.
  EXPECT_EQ(count("raw_events"), 1);
  EXPECT_EQ(count("queue"), 1);
  EXPECT_EQ(db_->maybeDeleteStaleData(nullptr), false) << "not due again within a day";
  platform::testing::advance(86401);
  EXPECT_EQ(db_->maybeDeleteStaleData(nullptr), true);
  EXPECT_EQ(count("queue"), 0);
}

TEST_F(APMDatabaseTest, TableLimitsKeepOrRefuseNewest) {
  ASSERT_TRUE(db_->performTransaction([&] {
    for (int i = 0; i < 1000; ++i) {
      APMEventAggregates aggregates("e" + std::to_string(i), 1, 1, 1, now());
      if (!db_->updateEventAggregates(&aggregates, nullptr)) return false;
    }
    return true;
  }));
  APMEventAggregates existing("e5", 9, 9, 9, now());
  EXPECT_TRUE(db_->updateEventAggregates(&existing, nullptr));
  APMEventAggregates extra("one_more", 1, 1, 1, now());
  Error error;
  EXPECT_FALSE(db_->updateEventAggregates(&extra, &error));
  EXPECT_EQ(error.localizedDescription(), "Failed to insert data type. Table is full");
  EXPECT_EQ(db_->allEventAggregates(nullptr)->size(), 1000u);

  ASSERT_TRUE(db_->performTransaction([&] {
    for (int i = 0; i < 1001; ++i) {
      if (db_->insertIfNotDuplicatePurchaseFingerprint("f" + std::to_string(i), nullptr) != true) return false;
    }
    return true;
  }));
  EXPECT_EQ(count("purchase_transactions"), 1000);
  EXPECT_EQ(db_->insertIfNotDuplicatePurchaseFingerprint("f1000", nullptr), false);
  EXPECT_EQ(db_->insertIfNotDuplicatePurchaseFingerprint("f0", nullptr), true) << "the oldest went";
  EXPECT_EQ(db_->insertIfNotDuplicatePurchaseFingerprint("", nullptr), false);
}

TEST_F(APMDatabaseTest, UserAttributesAndLikeEscaping) {
  auto put = [&](const std::string& name, APMValuePtr value) {
    APMUserAttribute attribute("app", name, std::move(value), now());
    return db_->updateUserAttribute(&attribute, nullptr);
  };
  EXPECT_TRUE(put("_ltv_USD", APMValue::initWithInt64(5)));
  EXPECT_TRUE(put("xltvxEUR", APMValue::initWithInt64(6)));
  EXPECT_TRUE(put("color", APMValue::initWithString(std::string("red"))));
  EXPECT_TRUE(put("zero", APMValue::initWithInt64(0)));
  EXPECT_FALSE(put("empty", APMValue::initWithString(std::string(""))));
  EXPECT_TRUE(put("_fot", APMValue::initWithDouble(1.5)));

  const auto ltv = db_->allLifetimeValueUserAttributes(nullptr);
  ASSERT_TRUE(ltv);
  ASSERT_EQ(ltv->size(), 1u) << "\"_\" must not match any character";
  EXPECT_EQ(ltv->front()->name(), "_ltv_USD");
  EXPECT_EQ(db_->publicUserAttributeCount(nullptr), 3);
  const auto visible = db_->userAttributesIncludingInternal(false, nullptr);
  EXPECT_EQ(visible->size(), 3u);
  auto color = db_->userAttributeWithName("color", nullptr);
  ASSERT_TRUE(color);
  EXPECT_EQ(*color->value()->stringValue(), "red");
}

TEST_F(APMDatabaseTest, AudienceRowsConditionalPropertiesAndConfiguration) {
  auto filterData = [](bool session) {
    auto message = APMPBEventFilter::initWithMessageInfo();
    NANOSetBool(message.get(), APMFieldIndex(*message, 8), session);
    return message->protoBuffer().value_or(platform::Data{0});
  };
  auto session = std::make_shared<APMEventFilter>(1, 1, "purchase", filterData(true), true, false, false);
  auto broken = std::make_shared<APMEventFilter>(1, 2, "purchase", platform::Data{0xff, 0xff}, true, true, true);
  ASSERT_TRUE(db_->updateEventFilters({session, broken}, nullptr));
  const auto filters = db_->eventFiltersForEventName("purchase", nullptr);
  ASSERT_EQ(filters->size(), 2u);
  EXPECT_TRUE(filters->at(0)->isSessionScoped());
  EXPECT_FALSE(filters->at(1)->isSessionScoped() || filters->at(1)->dynamic || filters->at(1)->sequence);
  EXPECT_EQ(db_->allSessionScopedFilters(nullptr)->at(1).size(), 2u);

  auto result = std::make_shared<APMFilterResult>(1, platform::Data{1}, platform::Data{});
  ASSERT_TRUE(db_->updateFilterResults({result}, nullptr));
  EXPECT_FALSE(db_->filterResultForAudienceID(1, nullptr)->previousResults());

  APMConditionalUserProperty property;
  property.name = "p_1";
  property.origin = "app";
  property.value = APMValue::initWithInt64(3);
  ASSERT_TRUE(db_->updateConditionalUserProperty(&property, nullptr));
  property.name = "pX1";
  ASSERT_TRUE(db_->updateConditionalUserProperty(&property, nullptr));
  EXPECT_EQ(db_->conditionalUserPropertiesWithPrefix("", "", nullptr)->size(), 2u);
  const auto prefixed = db_->conditionalUserPropertiesWithPrefix("p_", "", nullptr);
  ASSERT_EQ(prefixed->size(), 1u);
  EXPECT_TRUE(prefixed->front()->triggerEventName.empty());

  auto measurement = APMPBMeasurementConfig::initWithMessageInfo();
  Error error;
  NANOSetInt64(measurement.get(), APMFieldIndex(*measurement, 1), 3);
  EXPECT_FALSE(db_->updateRemoteConfig(*measurement, &error));
  EXPECT_EQ(error.localizedDescription(), "Missing Videzu app ID in measurement configuration");
  NANOSetString(measurement.get(), APMFieldIndex(*measurement, 2), "1:app");
  ASSERT_TRUE(db_->updateRemoteConfig(*measurement, nullptr));
  EXPECT_TRUE(db_->queryMeasurementConfigWithError(nullptr));
  EXPECT_EQ(db_->lastRemoteConfigUpdateTimestamp(nullptr)->doubleValue(), now());
}

TEST_F(APMDatabaseTest, ResetEmptiesEveryTableButKeepsTheMetadataRow) {
  ASSERT_TRUE(db_->insertRawEvent(event("x", now()).get(), 1, false, nullptr));
  ASSERT_TRUE(db_->reset(nullptr));
  EXPECT_EQ(count("raw_events"), 0);
  EXPECT_EQ(count("app_metadata"), 1);
}

TEST(APMDailyCountsTest, NewDayRollsCountersOver) {
  APMDailyCounts counts(10, 1, 5, 4, 1, 1);
  counts.incrementCountsForCurrentDay(11, false, false, 3);
  EXPECT_EQ(counts.day(), 11);
  EXPECT_EQ(counts.allEventsCount(), 3);
  EXPECT_EQ(counts.publicEventsCount() + counts.conversionsCount() + counts.errorEventsCount() +
                counts.realtimeCount(),
            0);
  counts.incrementCountsForCurrentDay(11, true, true, 2);
  EXPECT_EQ(counts.conversionsCount(), 1);
  EXPECT_EQ(counts.allEventsCount(), 5);
  APMDailyCounts zero(1, 0, 0, 0, 0, 0);
  zero.decrementAllEventsCount();
  EXPECT_EQ(zero.allEventsCount(), 0);
  APMAppMetadata metadata(2147483647, 0, 0);
  metadata.incrementLastBundleIndex();
  EXPECT_EQ(metadata.lastBundleIndex(), 0);
}

// The daily limits compare against these counts: a count that wrapped negative would lift its
// limit for the rest of the day.
TEST(APMDailyCountsTest, CountsStopAtTheLargestValue) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  struct Case {
    const char* name;
    std::function<void(APMDailyCounts&)> increment;
    std::function<std::int32_t(const APMDailyCounts&)> count;
  };
  const Case cases[] = {
      {"conversions", [](APMDailyCounts& c) { c.incrementCountsForCurrentDay(1, false, true); },
       [](const APMDailyCounts& c) { return c.conversionsCount(); }},
      {"all events", [](APMDailyCounts& c) { c.incrementCountsForCurrentDay(1, false, false, 1000); },
       [](const APMDailyCounts& c) { return c.allEventsCount(); }},
      {"public events", [](APMDailyCounts& c) { c.incrementCountsForCurrentDay(1, true, false, 1000); },
       [](const APMDailyCounts& c) { return c.publicEventsCount(); }},
      {"error events", [](APMDailyCounts& c) { c.incrementErrorEventsCountForCurrentDay(1); },
       [](const APMDailyCounts& c) { return c.errorEventsCount(); }},
      {"realtime events", [](APMDailyCounts& c) { c.incrementRealtimeCountsForCurrentDay(1); },
       [](const APMDailyCounts& c) { return c.realtimeCount(); }},
  };
  for (const Case& c : cases) {
    APMDailyCounts counts(1, kMax, kMax - 1, kMax - 1, kMax, kMax);
    c.increment(counts);
    c.increment(counts);
    EXPECT_EQ(c.count(counts), kMax) << c.name;
  }
  EXPECT_EQ(APMDailyCounts::clampedCount(std::int64_t{1} << 32), kMax) << "a stored count past the range";
  EXPECT_EQ(APMDailyCounts::clampedCount(-5), 0);
}

// The store reads and writes the one metadata row on its worker, which may still be at it while
// the app returns from main: the row's key outlives static destruction. A fresh copy of this binary
// reads it on a thread of its own while it exits.
TEST(APMDatabaseExitTest, ChildReadsTheMetadataRowKeyWhileExiting) {
  if (!platform::testing::isExitTestChild()) GTEST_SKIP() << "runs only as the child of the exit test";
  platform::testing::exitWhileUsingOnAThread([] { return APMDatabaseRow::metadataRowID() == platform::Value("1"); });
}

TEST(APMDatabaseExitTest, MetadataRowKeyStaysReadableWhileTheProcessExits) {
  EXPECT_EQ(platform::testing::runExitTestChild("APMDatabaseExitTest.ChildReadsTheMetadataRowKeyWhileExiting"), "");
}

}  // namespace
