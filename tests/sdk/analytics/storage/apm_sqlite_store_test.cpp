#include "sdk/analytics/storage/apm_sqlite_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/foundation/home.h"
#include "tests/sdk/analytics/monitor_recorder.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"

namespace {

namespace fs = std::filesystem;
using platform::Error;
using platform::Value;

class APMSqliteStoreTest : public ::testing::Test {
 protected:
  std::string path_ = (platform::Home::applicationSupport() / "Videzu/Measurement/test.sql").string();
  MonitorRecorder recorder_;

  std::unique_ptr<APMSqliteStore> open() {
    Error error;
    auto store = APMSqliteStore::initWithDatabasePath(path_, &error);
    EXPECT_TRUE(store) << error.description();
    return store;
  }
  static bool exec(APMSqliteStore& store, const std::string& sql) {
    Error error;
    const bool ok = store.executeSQL(sql, &error);
    EXPECT_TRUE(ok) << sql << ": " << error.description();
    return ok;
  }
};

TEST_F(APMSqliteStoreTest, CorruptFileIsDeletedAndRecreatedEmpty) {
  {
    auto store = open();
    exec(*store, "CREATE TABLE t (a INTEGER)");
    for (int i = 0; i < 200; ++i) exec(*store, "INSERT INTO t VALUES (" + std::to_string(i) + ")");
  }
  // Overwrite a stretch of the header and first pages, as a torn or foreign write would.
  {
    std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(16);
    const std::string junk(3000, '\x5a');
    file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->tableExists("t", nullptr), false);
  EXPECT_TRUE(store->executeSQL("CREATE TABLE u (a INTEGER)", nullptr));
}

TEST_F(APMSqliteStoreTest, EmptyPathIsRefused) {
  Error error;
  EXPECT_FALSE(APMSqliteStore::initWithDatabasePath("", &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.localizedDescription(), "Received empty database path on init");
}

TEST_F(APMSqliteStoreTest, ValidationAcceptsExtraNullableColumnsAndAddsMissingAddOns) {
  auto store = open();
  exec(*store, "CREATE TABLE t (a INTEGER NOT NULL, extra TEXT)");
  Error error;
  EXPECT_TRUE(store->ensureTableWithName("t", {{"a", "INTEGER NOT NULL"}}, {{"b", "REAL"}}, &error));
  EXPECT_EQ(store->columnsForTableWithName("t", nullptr), (std::vector<std::string>{"a", "extra", "b"}));

  exec(*store, "CREATE TABLE v (a INTEGER NOT NULL, strict TEXT NOT NULL)");
  EXPECT_FALSE(store->ensureTableWithName("v", {{"a", "INTEGER NOT NULL"}}, {}, &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(error.localizedDescription(), "Table contains unknown non-optional columns");
}

TEST_F(APMSqliteStoreTest, ModifiedColumnTypeRebuildsTableKeepingRowsRowIDsAndPrimaryKey) {
  auto store = open();
  const APMColumnInfo elementary{{"k", "TEXT NOT NULL"}, {"ts", "INTEGER NOT NULL"}, {"name", "TEXT"},
                                 {"PRIMARY KEY", "(k)"}};
  ASSERT_TRUE(store->ensureTableWithName("t", elementary, {{"extra", "INTEGER"}}, nullptr));
  for (int i = 1; i <= 5; ++i) {
    exec(*store, "INSERT INTO t (k, ts, name, extra) VALUES ('" + std::to_string(i) + "', " + std::to_string(i * 10) +
                     ", 'n" + std::to_string(i) + "', " + std::to_string(i) + ")");
  }
  exec(*store, "DELETE FROM t WHERE k = '2'");  // a gap in the row ids must survive

  Error error;
  ASSERT_TRUE(store->ensureTableWithName("t", elementary, {{"extra", "INTEGER"}}, {{"ts", "REAL NOT NULL"}}, &error))
      << error.description();
  EXPECT_EQ((*store->columnInfoForTableWithName("t", nullptr))["ts"], "REAL");
  const auto rows = store->recordsForQuery("SELECT rowid, k, ts, name, extra FROM t ORDER BY rowid", {}, nullptr);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 4u);
  EXPECT_EQ(rows->at(1).at("rowid").integerValue(), 3);
  EXPECT_EQ(rows->at(1).at("name"), Value("n3"));
  EXPECT_EQ(rows->at(3).at("extra").integerValue(), 5);
  // The table-level primary key came along: a duplicate key replaces instead of adding.
  exec(*store, "INSERT OR REPLACE INTO t (k, ts) VALUES ('3', 1.5)");
  EXPECT_EQ(store->rowCountForTableWithName("t", nullptr), 4);
  EXPECT_FALSE(store->tableExists("t_old", nullptr).value_or(true));

  // A second run finds the schema equal and does nothing.
  recorder_.clear();
  ASSERT_TRUE(store->ensureTableWithName("t", elementary, {{"extra", "INTEGER"}}, {{"ts", "REAL NOT NULL"}}, nullptr));
  EXPECT_EQ(store->rowCountForTableWithName("t", nullptr), 4);
}

TEST_F(APMSqliteStoreTest, QueryChecks) {
  auto store = open();
  exec(*store, "CREATE TABLE t (a INTEGER, b BLOB)");
  for (int i = 0; i < 5; ++i) exec(*store, "INSERT INTO t VALUES (" + std::to_string(i) + ", x'')");

  struct Case {
    std::string query;
    APMParameterValues values;
    std::int64_t code;
    std::string message;
  };
  const Case cases[] = {
      {"SELECT a FROM t; SELECT 1", {}, 1, "Query contained more than one SQL statement."},
      {" SELECT a FROM t", {}, 1, "Received invalid select query"},
      {"SELECT a FROM t WHERE a = ?", {}, 1, "Received empty parameters"},
      {"", {}, 1, "Received empty query for records for query"},
  };
  for (const Case& c : cases) {
    Error error;
    EXPECT_FALSE(store->recordsForQuery(c.query, c.values, &error)) << c.query;
    EXPECT_EQ(error.code(), c.code) << c.query;
    EXPECT_EQ(error.localizedDescription(), c.message) << c.query;
  }
  EXPECT_TRUE(store->recordsForQuery("SELECT a FROM t", {}, nullptr));

  const auto filtered = store->recordsForQuery("SELECT a, b FROM t ORDER BY a", {}, nullptr,
                                               [](std::size_t accepted, const APMRecord&) { return accepted < 2; });
  ASSERT_TRUE(filtered);
  ASSERT_EQ(filtered->size(), 2u);
  EXPECT_EQ(filtered->at(1).at("a").integerValue(), 1);
  EXPECT_FALSE(filtered->at(0).count("b"));  // a zero-length blob is left out
  EXPECT_TRUE(recorder_.has(34004));

  Error error;
  EXPECT_EQ(store->deleteRecordsFromTableWithName("t", "a > ?", {Value(100)}, &error), 0);
  EXPECT_FALSE(store->numberForQuery("SELECT max(a) FROM t WHERE a > 100", {}, &error));
  EXPECT_FALSE(error.isSet()) << "a NULL result is no error";
}

TEST_F(APMSqliteStoreTest, RecordsAndIncrements) {
  auto store = open();
  exec(*store, "CREATE TABLE t (k TEXT PRIMARY KEY, n INTEGER, s TEXT)");
  Error error;
  ASSERT_TRUE(store->upsertRecord({{"k", Value("a")}, {"n", Value(1)}, {"s", Value("x")}}, "t", &error));
  ASSERT_TRUE(store->upsertRecord({{"k", Value("b")}, {"n", Value(5)}}, "t", &error));
  ASSERT_TRUE(store->updateRecord({{"s", Value("y")}}, "t", "k", Value("a"), &error));
  ASSERT_TRUE(store->increaseColumn("n", 3, "t", "k = ?", {Value("a")}, &error));
  auto rows = store->recordsForQuery("SELECT * FROM t WHERE k = ?", {Value("a")}, nullptr);
  EXPECT_EQ(rows->at(0).at("n").integerValue(), 4);
  EXPECT_EQ(rows->at(0).at("s"), Value("y"));

  EXPECT_FALSE(store->increaseColumn("s", 1, "t", "k = ?", {Value("a")}, &error));
  EXPECT_EQ(error.localizedDescription(), "Column type is not integer.");

  // A record of a value SQLite cannot hold fails with an error, never silently.
  error = Error();
  EXPECT_FALSE(store->upsertRecord({{"k", Value("c")}, {"n", Value(Value::Array{Value(1)})}}, "t", &error));
  EXPECT_TRUE(error.isSet());
  EXPECT_TRUE(recorder_.has(34020));
  EXPECT_EQ(store->rowCountForTableWithName("t", nullptr), 2);
}

TEST_F(APMSqliteStoreTest, TransactionsRollBackOnFailureAndThrowAndNestAsSavepoints) {
  auto store = open();
  exec(*store, "CREATE TABLE t (a INTEGER)");
  Error error;
  EXPECT_FALSE(store->performTransactionWithError(&error, [&] {
    exec(*store, "INSERT INTO t VALUES (1)");
    return false;
  }));
  EXPECT_EQ(error.localizedDescription(), "Transaction failed");
  EXPECT_THROW(store->performTransactionWithError(nullptr,
                                                  [&]() -> bool {
                                                    exec(*store, "INSERT INTO t VALUES (2)");
                                                    throw std::runtime_error("boom");
                                                  }),
               std::runtime_error);
  EXPECT_EQ(store->rowCountForTableWithName("t", nullptr), 0);

  // A transaction inside another takes back only its own work when it fails; what the inner ones
  // kept goes with the outer one, whichever way it ends.
  Error nested;
  EXPECT_TRUE(store->performTransactionWithError(&error, [&] {
    EXPECT_TRUE(store->performTransactionWithError(&nested, [&] { return exec(*store, "INSERT INTO t VALUES (3)"); }));
    EXPECT_FALSE(store->performTransactionWithError(&nested, [&] {
      exec(*store, "INSERT INTO t VALUES (4)");
      return false;
    }));
    return true;
  }));
  EXPECT_EQ(nested.localizedDescription(), "Transaction failed");
  EXPECT_FALSE(store->performTransactionWithError(&error, [&] {
    EXPECT_TRUE(store->performTransactionWithError(&nested, [&] { return exec(*store, "INSERT INTO t VALUES (5)"); }));
    return false;
  }));
  const auto rows = store->recordsForQuery("SELECT a FROM t", {}, nullptr);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ(rows->at(0).at("a").integerValue(), 3);
}

// A transaction that meets a busy or locked file anywhere (its begin, one of its statements, its
// commit) keeps nothing and says busy, so that its owner can do the whole of it again later
// without counting anything twice; it never leaves the connection inside a transaction.
TEST_F(APMSqliteStoreTest, ATransactionThatMeetsABusyFileKeepsNothingAndSaysBusy) {
  storage_test::BusyTimeoutForScope wait(50);
  {
    auto store = open();
    exec(*store, "CREATE TABLE t (a INTEGER)");
    exec(*store, "INSERT INTO t VALUES (1)");
  }
  struct Case {
    const char* name;
    // Runs inside the transaction after one row was inserted; the block then answers YES.
    std::function<void(APMSqliteStore&, std::vector<sqlite3_stmt*>& leftOpen)> trouble;
    bool heldElsewhere = false;
  };
  const auto pendingStatement = [](APMSqliteStore& store, const char* sql, std::vector<sqlite3_stmt*>& leftOpen) {
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(store.sqliteHandle(), sql, -1, &statement, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_ROW);
    leftOpen.push_back(statement);
  };
  const Case cases[] = {
      {"another connection holds the file", nullptr, true},
      // The only same-connection way to a locked table: dropping it while a read of it is open.
      {"a statement finds its table locked",
       [&](APMSqliteStore& store, std::vector<sqlite3_stmt*>& leftOpen) {
         pendingStatement(store, "SELECT a FROM t", leftOpen);
         EXPECT_FALSE(store.dropTableWithName("t", nullptr));
       }},
      // A write still running makes the commit itself fail busy.
      {"the commit finds a write still running",
       [&](APMSqliteStore& store, std::vector<sqlite3_stmt*>& leftOpen) {
         pendingStatement(store, "INSERT INTO t VALUES (7) RETURNING a", leftOpen);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = open();
    ASSERT_TRUE(store);
    std::optional<storage_test::LockingConnection> other;
    if (c.heldElsewhere) {
      other.emplace(path_, "BEGIN EXCLUSIVE", 30);
      ASSERT_TRUE(other->waitUntilLocked());
    }
    std::vector<sqlite3_stmt*> leftOpen;
    bool ran = false;
    Error error;
    EXPECT_FALSE(store->performTransactionWithError(&error, [&] {
      ran = true;
      store->executeSQL("INSERT INTO t VALUES (2)", nullptr);
      if (c.trouble) c.trouble(*store, leftOpen);
      return true;
    }));
    for (sqlite3_stmt* statement : leftOpen) sqlite3_finalize(statement);
    EXPECT_TRUE(APMIsBusySqliteError(error)) << error.description();
    EXPECT_EQ(ran, !c.heldElsewhere);
    EXPECT_NE(sqlite3_get_autocommit(store->sqliteHandle()), 0) << "left inside the transaction";
    other.reset();
    EXPECT_EQ(storage_test::rowCountOnDisk(path_, "t"), 1) << "part of the transaction was kept";
    EXPECT_TRUE(store->performTransactionWithError(&error, [&] { return exec(*store, "INSERT INTO t VALUES (3)"); }))
        << error.description();
    exec(*store, "DELETE FROM t WHERE a = 3");
  }
}

// A read that the file's holder cuts short fails busy: no rows read so far pass for the answer.
TEST_F(APMSqliteStoreTest, AReadOfAHeldFileFailsBusyInsteadOfAnsweringEmpty) {
  storage_test::BusyTimeoutForScope wait(50);
  auto store = open();
  exec(*store, "CREATE TABLE t (a INTEGER)");
  exec(*store, "INSERT INTO t VALUES (1)");
  std::optional<storage_test::LockingConnection> other(std::in_place, path_, "BEGIN EXCLUSIVE", 30);
  ASSERT_TRUE(other->waitUntilLocked());
  Error error;
  EXPECT_FALSE(store->recordsForQuery("SELECT a FROM t", {}, &error));
  EXPECT_TRUE(APMIsBusySqliteError(error)) << error.description();
  other.reset();  // waits until the other connection has let go
  const auto rows = store->recordsForQuery("SELECT a FROM t", {}, &error);
  ASSERT_TRUE(rows) << error.description();
  EXPECT_EQ(rows->size(), 1u);
}

TEST_F(APMSqliteStoreTest, ClosedStoreRefusesWithStateError) {
  auto store = open();
  store->closeDatabase();
  Error error;
  EXPECT_FALSE(store->recordsForQuery("SELECT 1", {}, &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(error.localizedDescription(), "Query records failed. Database not open.");
}

TEST_F(APMSqliteStoreTest, SqliteFailureCarriesOperationAndMonitorContext) {
  auto store = open();
  Error error;
  EXPECT_FALSE(store->executeSQL("INSERT INTO missing VALUES (1)", &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_NE(error.localizedDescription().find("Database operation \"prepare statement\" failed with sqlite code 1"),
            std::string::npos);
  const auto context = store->monitorContextForDatabaseOperation("prepare statement");
  EXPECT_EQ(context.rfind("prepare statement,1,A,", 0), 0u) << context;
}

TEST_F(APMSqliteStoreTest, CachedStatementsAreReusedButInlineWhereClausesAreNot) {
  auto store = open();
  exec(*store, "CREATE TABLE t (a INTEGER)");
  const auto before = store->cachedStatementCount();
  for (int i = 0; i < 3; ++i) store->recordsForQuery("SELECT a FROM t WHERE a = ?", {Value(i)}, nullptr);
  EXPECT_EQ(store->cachedStatementCount(), before + 1);
  for (int i = 0; i < 3; ++i) store->recordsForQuery("SELECT a FROM t WHERE a = " + std::to_string(i), {}, nullptr);
  EXPECT_EQ(store->cachedStatementCount(), before + 1);
}

}  // namespace
