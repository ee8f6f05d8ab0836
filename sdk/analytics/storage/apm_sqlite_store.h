// The one thin layer between the analytics engine and SQLite: one connection on one file, opened
// and validated (a file SQLite reports damaged is deleted and recreated once; a locked or
// unreadable one makes the open fail and stays), tables created and migrated from
// column lists, records written as INSERT OR REPLACE / UPDATE, parameterised queries over a cache
// of prepared statements, and exclusive transactions. Every failure comes with an error object;
// SQLite failures carry a short diagnostic context for the monitor.
//
// Not thread-safe: each owner uses its store from one serial queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

struct sqlite3;
struct sqlite3_stmt;

// (column name, declaration); a name of "PRIMARY KEY" is a table constraint whose declaration is
// the parenthesised column list.
using APMColumnInfo = std::vector<std::pair<std::string, std::string>>;
using APMModifyColumnInfo = std::map<std::string, std::string, std::less<>>;
// Column name -> string, number, data or null.
using APMRecord = platform::Value::Dictionary;
using APMParameterValues = platform::Value::Array;
using APMRows = std::vector<APMRecord>;
using APMRowFilter = std::function<bool(std::size_t acceptedSoFar, const APMRecord& row)>;

inline constexpr std::string_view kAPMPrimaryKeyColumnName = "PRIMARY KEY";
// User-information key of a SQLite failure's own (extended) result code.
inline constexpr std::string_view kAPMSqliteResultCodeKey = "APMSqliteResultCode";

class APMSqliteStore {
 public:
  static std::unique_ptr<APMSqliteStore> initWithDatabasePath(const std::string& path, platform::Error* error);
  ~APMSqliteStore();
  APMSqliteStore(const APMSqliteStore&) = delete;
  APMSqliteStore& operator=(const APMSqliteStore&) = delete;

  // How long every connection waits for another one's lock before failing with SQLITE_BUSY.
  static int busyTimeoutMilliseconds();
  static void setBusyTimeoutMilliseconds(int milliseconds);
  // While the process ends, a wait under way and every later one give up at once (any thread).
  static void cutBusyWaitsShort(bool cut);
  // Once another connection has kept the file through a whole wait, each wait lasts at most
  // this long until a statement gets through: it may keep it for hours, and whatever waits on the
  // owner's queue behind each wait would wait with it.
  static constexpr int kBusyWaitWhileHeldMilliseconds = 100;

  sqlite3* sqliteHandle() const { return handle_; }
  const std::string& databasePath() const { return databasePath_; }

  bool closeAndDeleteDatabase();
  void closeDatabase();

  // Schema.
  bool ensureTableWithName(const std::string& table, const APMColumnInfo& elementary, const APMColumnInfo& addOn,
                           platform::Error* error);
  bool ensureTableWithName(const std::string& table, const APMColumnInfo& elementary, const APMColumnInfo& addOn,
                           const APMModifyColumnInfo& modify, platform::Error* error);
  bool ensureSchemaOfTableWithName(const std::string& table, const APMColumnInfo& elementary,
                                   const APMColumnInfo& addOn, platform::Error* error);
  bool ensureTableWithName(const std::string& table, const std::string& createSQL,
                           const std::vector<std::string>& requiredColumnNames,
                           const std::map<std::string, std::string>& addOnColumns, platform::Error* error);
  std::optional<bool> validateTableWithName(const std::string& table, const std::vector<std::string>& requiredColumnNames,
                                            const std::map<std::string, std::string>& addOnColumns,
                                            platform::Error* error);
  std::optional<bool> tableExists(const std::string& table, platform::Error* error);
  bool dropTableWithName(const std::string& table, platform::Error* error);
  bool renameTable(const std::string& oldName, const std::string& newName, platform::Error* error);
  // Copies the columns both tables share, with their row ids.
  bool copyContentsFromTable(const std::string& source, const std::string& destination, platform::Error* error);
  std::optional<std::vector<std::string>> columnsForTableWithName(const std::string& table, platform::Error* error);
  std::optional<std::map<std::string, std::string>> columnInfoForTableWithName(const std::string& table,
                                                                             platform::Error* error);

  // Records.
  bool upsertRecord(const APMRecord& record, const std::string& table, platform::Error* error);
  bool updateRecord(const APMRecord& record, const std::string& table, const std::string& column,
                    const platform::Value& columnValue, platform::Error* error);
  bool updateAllRecordsInTableWithName(const std::string& table, const std::string& column,
                                       const platform::Value& columnValue, platform::Error* error);
  bool increaseColumn(const std::string& column, std::int64_t byValue, const std::string& table,
                      const std::string& condition, const APMParameterValues& parameterValues, platform::Error* error);
  bool deleteRecordFromTableWithName(const std::string& table, const std::string& column,
                                     const platform::Value& columnValue, platform::Error* error);
  std::optional<std::int64_t> deleteRecordsFromTableWithName(const std::string& table, const std::string& condition,
                                                             const APMParameterValues& parameterValues,
                                                             platform::Error* error);
  bool deleteAllRecordsFromTableWithName(const std::string& table, platform::Error* error);

  // Queries.
  std::optional<APMRows> recordsForQuery(const std::string& query, const APMParameterValues& parameterValues,
                                         platform::Error* error, const APMRowFilter& filter = nullptr);
  // A number (integer or double value); nothing with no error for a NULL result.
  std::optional<platform::Value> numberForQuery(const std::string& query, const APMParameterValues& parameterValues,
                                                platform::Error* error);
  std::optional<std::int64_t> rowCountForTableWithName(const std::string& table, platform::Error* error);
  std::optional<std::int64_t> rowCountForTableWithName(const std::string& table, const std::string& column,
                                                       const std::optional<platform::Value>& columnValue,
                                                       platform::Error* error);

  // Transactions. A block that throws rolls back and the exception reaches the caller. One begun
  // inside another is a savepoint of it. When any statement of a transaction found the file busy
  // or locked, the whole transaction rolls back and fails with that busy error, whatever the
  // block answered. A commit that fails rolls back too (with the commit's error): no transaction
  // is ever left open.
  bool performTransactionWithError(platform::Error* error, const std::function<bool()>& block);
  bool beginTransaction();
  bool endTransaction();
  bool rollbackTransaction();

  // Statement level. Every statement steps through `stepStatement`, which lets a transaction see
  // a statement that found the file busy or locked.
  int stepStatement(sqlite3_stmt* statement);
  sqlite3_stmt* statementForQuery(const std::string& query, const APMParameterValues& parameterValues,
                                  platform::Error* error);
  void cleanUpStatement(sqlite3_stmt* statement, const std::string& query);
  sqlite3_stmt* prepareSQL(const std::string& sql, platform::Error* error);
  bool executeSQL(const std::string& sql, platform::Error* error);
  bool executeSQLStatement(sqlite3_stmt* statement, platform::Error* error);
  bool bindValues(const APMParameterValues& values, sqlite3_stmt* statement, platform::Error* error);
  // Nothing for a zero-length blob.
  std::optional<platform::Value> valueAtColumn(int column, sqlite3_stmt* statement);
  std::optional<std::string> lastErrorMessage();
  std::optional<std::string> errorDescriptionForDatabaseOperation(std::string_view operation);
  std::string monitorContextForDatabaseOperation(std::string_view operation);
  void setDatabaseError(platform::Error* error, std::string_view operation);

  std::size_t cachedStatementCount() const { return statementCache_.size(); }

 private:
  // Damaged: SQLite found the file corrupt or not a database. Failed: anything else, from a lock
  // held elsewhere to a read error, which deleting the file would not cure.
  enum class OpenResult { opened, damaged, failed };

  explicit APMSqliteStore(std::string path) : databasePath_(std::move(path)) {}
  OpenResult openAndValidateDatabase(platform::Error* error);
  OpenResult validateDatabaseWithError(platform::Error* error);
  // A code-3 error carrying the given SQLite result code, by default the connection's last one.
  void setSqliteError(platform::Error* error, std::string_view description, std::string_view monitorContext,
                      std::optional<int> resultCode = std::nullopt);
  bool performNestedTransactionWithError(platform::Error* error, const std::function<bool()>& block);
  bool checkOpen(platform::Error* error, std::string_view message);
  sqlite3_stmt* upsertStatementForRecord(const APMRecord& record, const std::string& table, platform::Error* error,
                                         APMParameterValues& values);
  sqlite3_stmt* updateStatementForRecord(const APMRecord& record, const std::string& table, const std::string& column,
                                         const platform::Value& columnValue, platform::Error* error,
                                         APMParameterValues& values);

  static int waitForTheOtherConnection(void* context, int attemptsSoFar);

  sqlite3* handle_ = nullptr;
  // Whether the last statement found the file held by another connection.
  void noteOutcome(int resultCode);

  int busyWaitMilliseconds_ = 0;
  bool heldByAnother_ = false;
  std::map<std::string, sqlite3_stmt*, std::less<>> statementCache_;
  std::string databasePath_;
  // Transactions open on this connection (the first one, then its savepoints), and the first
  // busy or locked result a statement of them met.
  int transactionDepth_ = 0;
  int transactionBusyResultCode_ = 0;
};

// String, number, data or null: what a record or parameter list may hold.
bool APMIsStorableSqliteValue(const platform::Value& value);
// SQLITE_CORRUPT or SQLITE_NOTADB, with or without an extended code.
bool APMIsDamagedDatabaseResultCode(int resultCode);
// A store error whose SQLite result code says the file is busy, locked, unreadable or unwritable
// for now: the data may be sound and must be kept.
bool APMIsTransientSqliteError(const platform::Error& error);
// A store error whose SQLite result code says another connection holds the file (busy or locked):
// the same work is likely to succeed once that connection lets go.
bool APMIsBusySqliteError(const platform::Error& error);
