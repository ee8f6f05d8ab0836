#include "sdk/analytics/storage/apm_sqlite_store.h"

#include <sqlite3.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <regex>
#include <set>
#include <thread>
#include <utility>

#include "platform/dispatch/work_tracker.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/format.h"
#include "sdk/analytics/common/apm_error.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/storage/apm_storage_paths.h"

namespace fs = std::filesystem;
using platform::Error;
using platform::Value;

namespace {

// A few seconds: long enough for another connection's transaction, short enough for the worker
// queue.
std::atomic<int> busyTimeout{3000};

// Set while the process ends: every wait for another connection gives up at its next step.
std::atomic<bool> busyWaitsCutShort{false};

}  // namespace

// SQLite's busy wait, on the same schedule as its own timeout, marked as waiting for another
// process: a front end that keeps pace with the user does not wait for the worker meanwhile.
// `context` is the store; answers whether to try again.
int APMSqliteStore::waitForTheOtherConnection(void* context, int attemptsSoFar) {
  static constexpr int kDelays[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
  static constexpr int kSteps = static_cast<int>(std::size(kDelays));
  if (busyWaitsCutShort.load(std::memory_order_acquire)) return 0;
  const auto* store = static_cast<const APMSqliteStore*>(context);
  const int timeout = store->heldByAnother_ ? std::min(store->busyWaitMilliseconds_, kBusyWaitWhileHeldMilliseconds)
                                            : store->busyWaitMilliseconds_;
  int waited = 0;
  for (int i = 0; i < std::min(attemptsSoFar, kSteps); ++i) waited += kDelays[i];
  if (attemptsSoFar > kSteps) waited += (attemptsSoFar - kSteps) * kDelays[kSteps - 1];
  if (waited >= timeout) return 0;
  const int delay = std::min(kDelays[std::min(attemptsSoFar, kSteps - 1)], timeout - waited);
  platform::WaitingOutside waiting;
  std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  return 1;
}

namespace {

constexpr int kArgumentError = 1;
constexpr int kStateError = 2;
constexpr int kSqliteError = 3;

// Sets the argument error with `message` when `bad`; the caller then returns its failure value.
bool badArgument(bool bad, platform::Error* error, const char* message) {
  if (bad) APMSetError(error, kArgumentError, message);
  return bad;
}

bool containsCaseInsensitive(std::string_view text, std::string_view word) {
  auto it = std::search(text.begin(), text.end(), word.begin(), word.end(),
                        [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) ==
                                                    std::toupper(static_cast<unsigned char>(b)); });
  return it != text.end();
}

bool startsWithSelect(std::string_view query) {
  if (query.size() < 6) return false;
  return containsCaseInsensitive(query.substr(0, 6), "select");
}

std::string firstWord(const std::string& declaration) {
  const auto space = declaration.find(' ');
  return space == std::string::npos ? declaration : declaration.substr(0, space);
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A table's new definition keeps its table-level primary key; everything else takes the
// replacement declaration.
APMColumnInfo derive(const APMColumnInfo& columns, const APMModifyColumnInfo& modify) {
  APMColumnInfo derived;
  for (const auto& [name, declaration] : columns) {
    auto it = modify.find(name);
    derived.emplace_back(name, it == modify.end() ? declaration : it->second);
  }
  return derived;
}

}  // namespace

bool APMIsStorableSqliteValue(const Value& value) {
  return value.isNull() || value.isNumber() || value.isString() || value.isData();
}

bool APMIsDamagedDatabaseResultCode(int resultCode) {
  const int primary = resultCode & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

namespace {

bool isBusyResultCode(int resultCode) {
  const int primary = resultCode & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// The primary SQLite result code a store error carries, if any.
std::optional<int> primarySqliteResultCode(const Error& error) {
  if (error.domain() != kAPMErrorDomain) return std::nullopt;
  const auto it = error.userInfo().find(kAPMSqliteResultCodeKey);
  if (it == error.userInfo().end()) return std::nullopt;
  return static_cast<int>(it->second.integerValue()) & 0xff;
}

}  // namespace

bool APMIsBusySqliteError(const Error& error) {
  const auto code = primarySqliteResultCode(error);
  return code && isBusyResultCode(*code);
}

bool APMIsTransientSqliteError(const Error& error) {
  const auto code = primarySqliteResultCode(error);
  if (!code) return false;
  switch (*code) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_IOERR:
    case SQLITE_NOMEM:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_INTERRUPT:
    case SQLITE_PROTOCOL:
      return true;
    default:
      return false;
  }
}

std::unique_ptr<APMSqliteStore> APMSqliteStore::initWithDatabasePath(const std::string& path, Error* error) {
  if (badArgument(path.empty(), error, "Received empty database path on init")) return nullptr;
  std::unique_ptr<APMSqliteStore> store(new APMSqliteStore(path));
  const OpenResult result = store->openAndValidateDatabase(error);
  if (result == OpenResult::opened) return store;
  // Only a file SQLite calls damaged goes: a lock held by another connection, or trouble reading
  // the disk, would otherwise cost every stored row.
  if (result == OpenResult::damaged && store->closeAndDeleteDatabase() &&
      store->openAndValidateDatabase(error) == OpenResult::opened) {
    return store;
  }
  return nullptr;
}

APMSqliteStore::~APMSqliteStore() { closeDatabase(); }

int APMSqliteStore::busyTimeoutMilliseconds() { return busyTimeout.load(); }

void APMSqliteStore::setBusyTimeoutMilliseconds(int milliseconds) { busyTimeout.store(milliseconds); }

void APMSqliteStore::cutBusyWaitsShort(bool cut) { busyWaitsCutShort.store(cut, std::memory_order_release); }

void APMSqliteStore::noteOutcome(int resultCode) {
  if (isBusyResultCode(resultCode)) {
    heldByAnother_ = true;
  } else if (resultCode == SQLITE_OK || resultCode == SQLITE_ROW || resultCode == SQLITE_DONE) {
    heldByAnother_ = false;
  }
}

APMSqliteStore::OpenResult APMSqliteStore::openAndValidateDatabase(Error* error) {
  auto& files = platform::FileManager::defaultManager();
  if (files.fileExists(databasePath_)) {
    if (!files.attributesOfItem(databasePath_, error)) return OpenResult::failed;
  } else if (!files.createDirectory(fs::path(databasePath_).parent_path(), true, error)) {
    return OpenResult::failed;
  }
  const int rc = sqlite3_open_v2(databasePath_.c_str(), &handle_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    setDatabaseError(error, "initialize sqlite handle");
    closeDatabase();
    return OpenResult::failed;
  }
  // Another process of the app, or a tool, may hold the file for a moment: wait for it instead of
  // failing at once.
  busyWaitMilliseconds_ = std::max(busyTimeout.load(), 0);
  sqlite3_busy_handler(handle_, waitForTheOtherConnection, this);
  Error backupError;
  if (!APMExcludePathFromBackup(databasePath_, &backupError)) {
    APMLog(4, 34017, "Failed to exclude database file from backup", backupError);
  }
  const OpenResult validation = validateDatabaseWithError(error);
  if (validation != OpenResult::opened) closeDatabase();
  return validation;
}

APMSqliteStore::OpenResult APMSqliteStore::validateDatabaseWithError(Error* error) {
  if (!checkOpen(error, "Validate database failed. Database not open.")) return OpenResult::failed;
  sqlite3_stmt* statement = nullptr;
  OpenResult result = OpenResult::damaged;
  int rc = sqlite3_prepare_v2(handle_, "PRAGMA integrity_check", -1, &statement, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) {
    // The check ran: anything but a single "ok" is a report of damage.
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    if (sqlite3_column_count(statement) == 1 && text && std::string_view(text) == "ok") result = OpenResult::opened;
  } else if (!APMIsDamagedDatabaseResultCode(rc)) {
    result = OpenResult::failed;
  }
  if (result != OpenResult::opened) setDatabaseError(error, "validate database");
  sqlite3_finalize(statement);
  return result;
}

bool APMSqliteStore::closeAndDeleteDatabase() {
  closeDatabase();
  auto& files = platform::FileManager::defaultManager();
  if (!files.fileExists(databasePath_)) return true;
  Error error;
  if (!APMDeleteDatabaseFileAtPath(databasePath_, &error)) {
    APMLog(1, 34019, "Failed to delete database. Error", error);
    return false;
  }
  return true;
}

void APMSqliteStore::closeDatabase() {
  if (!handle_) return;
  for (auto& [query, statement] : statementCache_) sqlite3_finalize(statement);
  statementCache_.clear();
  const int rc = sqlite3_close(handle_);
  if (rc != SQLITE_OK) APMLog(1, 34018, "Failed to close database. Got error code", static_cast<long long>(rc));
  handle_ = nullptr;
}

bool APMSqliteStore::checkOpen(Error* error, std::string_view message) {
  if (handle_) return true;
  APMSetError(error, kStateError, message);
  return false;
}

// --- Diagnostics ---

std::optional<std::string> APMSqliteStore::lastErrorMessage() {
  if (!handle_) {
    APMLog(1, 34022, "Failed to get last error message. Database not open");
    return std::nullopt;
  }
  return std::string(sqlite3_errmsg(handle_));
}

std::optional<std::string> APMSqliteStore::errorDescriptionForDatabaseOperation(std::string_view operation) {
  if (!handle_) return std::nullopt;
  return platform::format("Database operation \"%@\" failed with sqlite code %d and error message \"%@\"",
                          std::string(operation), sqlite3_errcode(handle_), std::string(sqlite3_errmsg(handle_)));
}

std::string APMSqliteStore::monitorContextForDatabaseOperation(std::string_view operation) {
  std::string context = operation.empty() ? std::string("Unknown operation") : std::string(operation);
  context += "," + std::to_string(handle_ ? sqlite3_errcode(handle_) : 0);
  context += ::access(databasePath_.c_str(), W_OK) == 0 ? ",A," : ",NA,";
  struct statvfs stats {};
  if (::statvfs(fs::path(databasePath_).parent_path().c_str(), &stats) == 0) {
    const double freeMiB = static_cast<double>(stats.f_bavail) * static_cast<double>(stats.f_frsize) / 1048576.0;
    context += freeMiB >= 1 ? std::to_string(static_cast<long long>(std::floor(std::log10(freeMiB)))) : "-1";
  }
  return context;
}

void APMSqliteStore::setDatabaseError(Error* error, std::string_view operation) {
  if (!error) return;
  const std::string description = errorDescriptionForDatabaseOperation(operation).value_or(
      platform::format("Database operation \"%@\" failed. Database not open.", std::string(operation)));
  setSqliteError(error, description, monitorContextForDatabaseOperation(operation));
}

void APMSqliteStore::setSqliteError(Error* error, std::string_view description, std::string_view monitorContext,
                                    std::optional<int> resultCode) {
  if (!error) return;
  const Error plain = APMAdditions::apm_errorWithCode(kSqliteError, description, monitorContext);
  Value::Dictionary userInfo = plain.userInfo();
  if (!resultCode && handle_) resultCode = sqlite3_extended_errcode(handle_);
  if (resultCode) userInfo.insert_or_assign(std::string(kAPMSqliteResultCodeKey), Value(std::int64_t{*resultCode}));
  *error = Error(plain.domain(), plain.code(), std::move(userInfo));
}

// --- Statements ---

sqlite3_stmt* APMSqliteStore::prepareSQL(const std::string& sql, Error* error) {
  if (badArgument(sql.empty(), error, "Received empty SQL string to prepare")) return nullptr;
  if (!checkOpen(error, "Prepare SQL failed. Database not open.")) return nullptr;
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  int rc = SQLITE_ERROR;
  if (sqlite3_libversion_number() >= 3020000) {
    rc = sqlite3_prepare_v3(handle_, sql.c_str(), static_cast<int>(sql.size()) + 1, SQLITE_PREPARE_PERSISTENT,
                            &statement, &tail);
  }
  if (rc != SQLITE_OK) {
    rc = sqlite3_prepare_v2(handle_, sql.c_str(), static_cast<int>(sql.size()) + 1, &statement, &tail);
  }
  if (rc != SQLITE_OK) {
    setDatabaseError(error, "prepare statement");
    sqlite3_finalize(statement);
    return nullptr;
  }
  if (tail && *tail != '\0') {
    APMSetError(error, kArgumentError, "Query contained more than one SQL statement.");
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

sqlite3_stmt* APMSqliteStore::statementForQuery(const std::string& query, const APMParameterValues& parameterValues,
                                                Error* error) {
  sqlite3_stmt* statement = nullptr;
  if (auto it = statementCache_.find(query); it != statementCache_.end()) {
    statement = it->second;
  } else {
    if (!checkOpen(error, "Statement for query failed. Database not open.")) return nullptr;
    const bool hasPlaceholder = query.find('?') != std::string::npos;
    if (badArgument(hasPlaceholder && parameterValues.empty(), error, "Received empty parameters")) return nullptr;
    statement = prepareSQL(query, error);
    if (!statement) return nullptr;
    // Texts with a WHERE clause but no placeholder carry their values inline: caching them would
    // grow the cache with every call.
    if (hasPlaceholder || !containsCaseInsensitive(query, "WHERE")) statementCache_.emplace(query, statement);
  }
  if (!parameterValues.empty() && !bindValues(parameterValues, statement, error)) {
    cleanUpStatement(statement, query);
    return nullptr;
  }
  return statement;
}

void APMSqliteStore::cleanUpStatement(sqlite3_stmt* statement, const std::string& query) {
  if (!statement) return;
  if (auto it = statementCache_.find(query); it != statementCache_.end()) {
    if (it->second != statement) APMLog(5, 34016, "Statement is not the same one in the cache");
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  } else {
    sqlite3_finalize(statement);
  }
}

bool APMSqliteStore::bindValues(const APMParameterValues& values, sqlite3_stmt* statement, Error* error) {
  sqlite3_clear_bindings(statement);
  bool ok = true;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const Value& value = values[i];
    const int index = static_cast<int>(i) + 1;
    int rc = SQLITE_MISUSE;
    if (const auto* data = value.ifData()) {
      rc = sqlite3_bind_blob64(statement, index, data->data(), data->size(), SQLITE_STATIC);
    } else if (const auto* d = value.ifDouble()) {
      rc = sqlite3_bind_double(statement, index, *d);
    } else if (value.isNumber()) {
      rc = sqlite3_bind_int64(statement, index, value.integerValue());
    } else if (const auto* s = value.ifString()) {
      rc = sqlite3_bind_text64(statement, index, s->data(), s->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    } else if (value.isNull()) {
      rc = sqlite3_bind_null(statement, index);
    }
    if (rc != SQLITE_OK) {
      setDatabaseError(error, "bind values");
      ok = false;
    }
  }
  return ok;
}

std::optional<Value> APMSqliteStore::valueAtColumn(int column, sqlite3_stmt* statement) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      return Value(static_cast<std::int64_t>(sqlite3_column_int64(statement, column)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(statement, column));
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      return Value(std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(statement, column))));
    }
    case SQLITE_BLOB: {
      const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
      if (!bytes) return std::nullopt;
      return Value(platform::Data(bytes, bytes + sqlite3_column_bytes(statement, column)));
    }
    default:
      return Value();
  }
}

bool APMSqliteStore::executeSQL(const std::string& sql, Error* error) {
  if (badArgument(sql.empty(), error, "Received empty SQL string to execute")) return false;
  if (!checkOpen(error, "Execute SQL failed. Database not open.")) return false;
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (!statement) return false;
  return executeSQLStatement(statement, error);
}

bool APMSqliteStore::executeSQLStatement(sqlite3_stmt* statement, Error* error) {
  if (badArgument(!statement, error, "Execute SQL statement failed. Statement is NULL.")) return false;
  if (!checkOpen(error, "Execute SQL statement failed. Database not open.")) {
    sqlite3_finalize(statement);
    return false;
  }
  const bool done = stepStatement(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "execute statement");
  sqlite3_finalize(statement);
  return done;
}

// --- Schema ---

bool APMSqliteStore::ensureTableWithName(const std::string& table, const APMColumnInfo& elementary,
                                         const APMColumnInfo& addOn, Error* error) {
  if (badArgument(table.empty(), error, "Received empty table name for ensure table")) return false;
  if (badArgument(elementary.empty(), error, "Received empty elementary column info for ensure table")) {
    return false;
  }
  std::string create = "CREATE TABLE IF NOT EXISTS " + table + " ( ";
  std::vector<std::string> required;
  for (const auto& [name, declaration] : elementary) {
    create += name + " " + declaration + ", ";
    if (name != kAPMPrimaryKeyColumnName) required.push_back(name);
  }
  create.replace(create.size() - 2, 2, ");");
  std::map<std::string, std::string> alters;
  for (const auto& [name, declaration] : addOn) {
    if (!name.empty()) alters[name] = "ALTER TABLE " + table + " ADD COLUMN " + name + " " + declaration;
  }
  return ensureTableWithName(table, create, required, alters, error);
}

bool APMSqliteStore::ensureTableWithName(const std::string& table, const std::string& createSQL,
                                         const std::vector<std::string>& requiredColumnNames,
                                         const std::map<std::string, std::string>& addOnColumns, Error* error) {
  if (badArgument(table.empty(), error, "Received empty table name for ensure table")) return false;
  if (badArgument(requiredColumnNames.empty(), error, "Received no table columns for ensure table")) return false;
  if (badArgument(createSQL.empty(), error, "Received empty create statement for ensure table")) return false;
  if (!checkOpen(error, "Ensure table failed. Database not open.")) return false;
  const auto exists = tableExists(table, error);
  if (!exists) return false;
  if (!*exists && !executeSQL(createSQL, error)) return false;
  return validateTableWithName(table, requiredColumnNames, addOnColumns, error).value_or(false);
}

std::optional<bool> APMSqliteStore::validateTableWithName(const std::string& table,
                                                          const std::vector<std::string>& requiredColumnNames,
                                                          const std::map<std::string, std::string>& addOnColumns,
                                                          Error* error) {
  if (badArgument(table.empty(), error, "Received empty table name for validate table")) return std::nullopt;
  if (badArgument(requiredColumnNames.empty(), error, "Received no table columns for validate table")) {
    return std::nullopt;
  }
  if (!checkOpen(error, "Validate table failed. Database not open.")) return std::nullopt;
  const auto columns = columnsForTableWithName(table, error);
  if (!columns) return std::nullopt;  // the store's own error says why
  if (columns->empty()) {
    APMSetError(error, kStateError, "Table does not exist for validate table");
    return std::nullopt;
  }
  std::set<std::string> remaining(columns->begin(), columns->end());
  for (const std::string& name : requiredColumnNames) {
    if (!remaining.count(name)) {
      APMSetError(error, kStateError, "Table is missing required columns");
      return false;
    }
  }
  for (const std::string& name : requiredColumnNames) remaining.erase(name);
  for (const auto& [name, alter] : addOnColumns) {
    if (remaining.erase(name)) continue;
    if (!executeSQL(alter, error)) return false;
  }
  if (remaining.empty()) return true;
  const std::string query = "PRAGMA table_info(" + table + ")";
  sqlite3_stmt* statement = statementForQuery(query, {}, error);
  if (!statement) return false;
  bool valid = true;
  while (stepStatement(statement) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    if (name && remaining.count(name) && sqlite3_column_int(statement, 3) != 0) {
      valid = false;
      break;
    }
  }
  cleanUpStatement(statement, query);
  if (!valid) APMSetError(error, kStateError, "Table contains unknown non-optional columns");
  return valid;
}

std::optional<bool> APMSqliteStore::tableExists(const std::string& table, Error* error) {
  if (badArgument(table.empty(), error, "Received empty table name for table exists")) return std::nullopt;
  if (!checkOpen(error, "Table exists failed. Database not open.")) return std::nullopt;
  sqlite3_stmt* statement = prepareSQL("SELECT name FROM sqlite_master WHERE type='table' AND name=?", error);
  if (!statement) return std::nullopt;
  if (!bindValues({Value(table)}, statement, error)) {
    sqlite3_finalize(statement);
    return std::nullopt;
  }
  const int rc = stepStatement(statement);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) setDatabaseError(error, "table exists");
  sqlite3_finalize(statement);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return std::nullopt;
  return rc == SQLITE_ROW;
}

bool APMSqliteStore::dropTableWithName(const std::string& table, Error* error) {
  if (badArgument(table.empty(), error, "Received empty table name for drop table")) return false;
  return executeSQL("DROP TABLE " + table, error);
}

bool APMSqliteStore::renameTable(const std::string& oldName, const std::string& newName, Error* error) {
  if (badArgument(oldName.empty(), error, "Received empty old name for rename table")) return false;
  if (badArgument(newName.empty(), error, "Received empty new name for rename table")) return false;
  if (badArgument(oldName == newName, error, "Received duplicate name for rename table")) return false;
  return executeSQL("ALTER TABLE " + oldName + " RENAME TO " + newName, error);
}

bool APMSqliteStore::copyContentsFromTable(const std::string& source, const std::string& destination, Error* error) {
  if (badArgument(source.empty(), error, "Received empty source name for copy table")) return false;
  if (badArgument(destination.empty(), error, "Received empty destination name for copy table")) return false;
  if (badArgument(source == destination, error, "Received duplicate name for copy table")) return false;
  // Named columns, not "*": the new table's columns need not be in the old order, and row ids
  // (the handles callers hold) survive the copy.
  const auto from = columnsForTableWithName(source, error);
  const auto to = columnsForTableWithName(destination, error);
  if (!from || !to) return false;
  const std::set<std::string> sourceColumns(from->begin(), from->end());
  std::string columns = "rowid";
  for (const std::string& column : *to) {
    if (sourceColumns.count(column)) columns += ", " + column;
  }
  return executeSQL("INSERT INTO " + destination + " (" + columns + ") SELECT " + columns + " FROM " + source, error);
}

std::optional<std::vector<std::string>> APMSqliteStore::columnsForTableWithName(const std::string& table,
                                                                                Error* error) {
  if (badArgument(table.empty(), error, "Received empty table name for get columns")) return std::nullopt;
  if (!checkOpen(error, "Get table columns failed. Database not open.")) return std::nullopt;
  const std::string query = "PRAGMA table_info(" + table + ")";
  sqlite3_stmt* statement = statementForQuery(query, {}, error);
  if (!statement) return std::nullopt;
  std::vector<std::string> names;
  int rc;
  while ((rc = stepStatement(statement)) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    if (name && *name) names.emplace_back(name);
  }
  // A scan cut short is no answer: read as "no columns", it would condemn the table.
  if (rc != SQLITE_DONE) setDatabaseError(error, "get table columns");
  cleanUpStatement(statement, query);
  if (rc != SQLITE_DONE) return std::nullopt;
  return names;
}

std::optional<std::map<std::string, std::string>> APMSqliteStore::columnInfoForTableWithName(const std::string& table,
                                                                                           Error* error) {
  if (badArgument(table.empty(), error, "Received empty table name for column info")) return std::nullopt;
  if (!checkOpen(error, "Get table column info failed. Database not open.")) return std::nullopt;
  const std::string query = "PRAGMA table_info(" + table + ")";
  sqlite3_stmt* statement = statementForQuery(query, {}, error);
  if (!statement) return std::nullopt;
  std::map<std::string, std::string> info;
  int rc;
  while ((rc = stepStatement(statement)) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(statement, 2));
    if (name && *name && type && *type) info[name] = type;
  }
  if (rc != SQLITE_DONE) setDatabaseError(error, "get table column info");
  cleanUpStatement(statement, query);
  if (rc != SQLITE_DONE) return std::nullopt;
  return info;
}

bool APMSqliteStore::ensureTableWithName(const std::string& table, const APMColumnInfo& elementary,
                                         const APMColumnInfo& addOn, const APMModifyColumnInfo& modify,
                                         Error* error) {
  if (!ensureTableWithName(table, elementary, addOn, error)) return false;
  if (modify.empty()) return true;
  return ensureSchemaOfTableWithName(table, derive(elementary, modify), derive(addOn, modify), error);
}

bool APMSqliteStore::ensureSchemaOfTableWithName(const std::string& table, const APMColumnInfo& elementary,
                                                 const APMColumnInfo& addOn, Error* error) {
  if (badArgument(table.empty(), error, "Received empty table name for ensure table schema")) return false;
  if (badArgument(elementary.empty(), error, "Received empty column info for ensure table schema")) return false;
  const auto actual = columnInfoForTableWithName(table, error);
  if (!actual) return false;
  if (actual->empty()) {
    APMSetError(error, kStateError, "Table does not exist for ensure table schema");
    return false;
  }
  std::map<std::string, std::string> expected;
  for (const auto& [name, declaration] : elementary) {
    if (name == kAPMPrimaryKeyColumnName || name.empty() || declaration.empty()) continue;
    expected[name] = firstWord(declaration);
  }
  for (const auto& [name, declaration] : addOn) {
    if (name.empty() || declaration.empty()) continue;
    expected[name] = declaration;
  }
  if (expected == *actual) return true;

  const std::string old = table + "_old";
  Error inner;
  Error transactionError;
  const bool ok = performTransactionWithError(&transactionError, [&] {
    return renameTable(table, old, &inner) && ensureTableWithName(table, elementary, addOn, &inner) &&
           copyContentsFromTable(old, table, &inner) && dropTableWithName(old, &inner);
  });
  if (!ok && error) *error = inner ? inner : transactionError;
  return ok;
}

// --- Records ---

sqlite3_stmt* APMSqliteStore::upsertStatementForRecord(const APMRecord& record, const std::string& table,
                                                       Error* error, APMParameterValues& values) {
  std::string columns;
  std::string placeholders;
  for (const auto& [name, value] : record) {
    if (!APMIsStorableSqliteValue(value)) {
      APMLog(4, 34020, "Record has value of unexpected type");
      return nullptr;
    }
    columns += name + ", ";
    placeholders += "?, ";
    values.push_back(value);
  }
  columns.replace(columns.size() - 2, 2, ") VALUES (");
  placeholders.replace(placeholders.size() - 2, 2, ");");
  sqlite3_stmt* statement = prepareSQL("INSERT OR REPLACE INTO " + table + " (" + columns + placeholders, error);
  if (statement && !bindValues(values, statement, error)) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

bool APMSqliteStore::upsertRecord(const APMRecord& record, const std::string& table, Error* error) {
  if (badArgument(record.empty(), error, "Received empty record for upsert")) return false;
  if (badArgument(table.empty(), error, "Received empty table name for upsert")) return false;
  if (!checkOpen(error, "Upsert record failed. Database not open.")) return false;
  APMParameterValues values;
  sqlite3_stmt* statement = upsertStatementForRecord(record, table, error, values);
  if (!statement) {
    // A record of unusable values is a failure too: never let a caller count it as written.
    if (error && !*error) APMSetError(error, kArgumentError, "Failed to bind parameter of unexpected type to upsert statement");
    return false;
  }
  return executeSQLStatement(statement, error);
}

sqlite3_stmt* APMSqliteStore::updateStatementForRecord(const APMRecord& record, const std::string& table,
                                                       const std::string& column, const Value& columnValue,
                                                       Error* error, APMParameterValues& values) {
  std::string assignments;
  for (const auto& [name, value] : record) {
    if (!APMIsStorableSqliteValue(value)) {
      APMLog(4, 34021, "Record has value of unexpected type (update)");
      APMSetError(error, kArgumentError, "Failed to bind parameter of unexpected type to update statement");
      return nullptr;
    }
    assignments += name + "=?,";
    values.push_back(value);
  }
  assignments.pop_back();
  values.push_back(columnValue);
  sqlite3_stmt* statement = prepareSQL("UPDATE " + table + " SET " + assignments + " WHERE " + column + "=?", error);
  if (statement && !bindValues(values, statement, error)) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

bool APMSqliteStore::updateRecord(const APMRecord& record, const std::string& table, const std::string& column,
                                  const Value& columnValue, Error* error) {
  if (badArgument(record.empty(), error, "Empty record for update")) return false;
  if (badArgument(table.empty(), error, "Empty table name for update")) return false;
  if (badArgument(column.empty(), error, "Empty column name for update")) return false;
  if (badArgument(columnValue.isNull(), error, "Nil column value for update")) return false;
  if (!checkOpen(error, "Update record failed. Database not open.")) return false;
  APMParameterValues values;
  sqlite3_stmt* statement = updateStatementForRecord(record, table, column, columnValue, error, values);
  if (!statement) return false;
  return executeSQLStatement(statement, error);
}

namespace {

// Steps a cached statement once to completion.
bool stepToDone(APMSqliteStore& store, sqlite3_stmt* statement, const std::string& query, std::string_view operation,
                Error* error) {
  const bool done = store.stepStatement(statement) == SQLITE_DONE;
  if (!done) store.setDatabaseError(error, operation);
  store.cleanUpStatement(statement, query);
  return done;
}

}  // namespace

bool APMSqliteStore::updateAllRecordsInTableWithName(const std::string& table, const std::string& column,
                                                     const Value& columnValue, Error* error) {
  if (badArgument(table.empty(), error, "Empty table name for update")) return false;
  if (badArgument(column.empty(), error, "Empty column name for update")) return false;
  if (badArgument(columnValue.isNull(), error, "Nil column value for update")) return false;
  if (!checkOpen(error, "Update record failed. Database not open.")) return false;
  const std::string query = "UPDATE " + table + " SET " + column + "=?";
  sqlite3_stmt* statement = statementForQuery(query, {columnValue}, error);
  if (!statement) return false;
  return stepToDone(*this, statement, query, "update all records value", error);
}

bool APMSqliteStore::increaseColumn(const std::string& column, std::int64_t byValue, const std::string& table,
                                    const std::string& condition, const APMParameterValues& parameterValues,
                                    Error* error) {
  if (badArgument(table.empty(), error, "Empty table name for increase column")) return false;
  if (badArgument(column.empty(), error, "Empty column name for increase column")) return false;
  if (badArgument(condition.empty(), error, "Empty condition for increase column")) return false;
  if (!checkOpen(error, "Increase column failed. Database not open.")) return false;
  const auto info = columnInfoForTableWithName(table, error);
  if (!info) return false;
  const auto it = info->find(column);
  if (badArgument(it == info->end(), error, "Invalid column or table name")) return false;
  if (badArgument(upper(it->second) != "INTEGER", error, "Column type is not integer.")) return false;
  const std::string query = "UPDATE " + table + " SET " + column + " = " + column + " + " + std::to_string(byValue) +
                            " WHERE " + condition;
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return false;
  return stepToDone(*this, statement, query, "increase records value", error);
}

bool APMSqliteStore::deleteRecordFromTableWithName(const std::string& table, const std::string& column,
                                                   const Value& columnValue, Error* error) {
  if (badArgument(table.empty(), error, "Received empty table name for delete record")) return false;
  if (badArgument(column.empty(), error, "Received empty column for delete record")) return false;
  if (badArgument(columnValue.isNull(), error, "Received nil value for delete record")) return false;
  if (!checkOpen(error, "Delete record failed. Database not open.")) return false;
  sqlite3_stmt* statement = prepareSQL("DELETE FROM " + table + " WHERE " + column + "=?", error);
  if (!statement) return false;
  const APMParameterValues values{columnValue};
  if (!bindValues(values, statement, error)) {
    sqlite3_finalize(statement);
    return false;
  }
  const bool done = stepStatement(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "delete record");
  sqlite3_finalize(statement);
  return done;
}

std::optional<std::int64_t> APMSqliteStore::deleteRecordsFromTableWithName(const std::string& table,
                                                                           const std::string& condition,
                                                                           const APMParameterValues& parameterValues,
                                                                           Error* error) {
  if (badArgument(table.empty(), error, "Received empty table name for delete record")) return std::nullopt;
  if (badArgument(condition.empty(), error, "Received empty condition for delete record")) return std::nullopt;
  if (!checkOpen(error, "Delete records with condition failed. Database not open.")) return std::nullopt;
  const std::string query = "DELETE FROM " + table + " WHERE " + condition;
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return std::nullopt;
  if (!stepToDone(*this, statement, query, "delete records with condition", error)) return std::nullopt;
  return sqlite3_changes(handle_);
}

bool APMSqliteStore::deleteAllRecordsFromTableWithName(const std::string& table, Error* error) {
  if (badArgument(table.empty(), error, "Received empty table name for delete all records")) return false;
  if (!checkOpen(error, "Delete all records failed. Database not open.")) return false;
  const std::string query = "DELETE FROM " + table;
  sqlite3_stmt* statement = statementForQuery(query, {}, error);
  if (!statement) return false;
  return stepToDone(*this, statement, query, "delete all records", error);
}

// --- Queries ---

std::optional<APMRows> APMSqliteStore::recordsForQuery(const std::string& query,
                                                       const APMParameterValues& parameterValues, Error* error,
                                                       const APMRowFilter& filter) {
  if (badArgument(query.empty(), error, "Received empty query for records for query")) return std::nullopt;
  if (!checkOpen(error, "Query records failed. Database not open.")) return std::nullopt;
  if (badArgument(!startsWithSelect(query), error, "Received invalid select query")) return std::nullopt;
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return std::nullopt;
  APMRows rows;
  bool readAny = false;
  const int columns = sqlite3_column_count(statement);
  int step = SQLITE_OK;
  while ((step = stepStatement(statement)) == SQLITE_ROW) {
    readAny = true;
    APMRecord row;
    for (int column = 0; column < columns; ++column) {
      const char* name = sqlite3_column_name(statement, column);
      if (!name) {
        APMLog(4, 34003, "Failed to get column name");
        continue;
      }
      auto value = valueAtColumn(column, statement);
      if (!value) {
        APMLog(4, 34004, "Value is nil for column", std::string(name));
        continue;
      }
      row.emplace(name, std::move(*value));
    }
    if (filter && !filter(rows.size(), row)) {
      step = SQLITE_DONE;
      break;
    }
    rows.push_back(std::move(row));
  }
  // A read cut short (a busy file, an I/O error) is a failure, not the rows read so far.
  if (step != SQLITE_DONE) {
    setDatabaseError(error, "query records");
    cleanUpStatement(statement, query);
    return std::nullopt;
  }
  if (rows.empty() && readAny) APMLog(4, 34005, "Database contains records that were all filtered out");
  cleanUpStatement(statement, query);
  return rows;
}

std::optional<Value> APMSqliteStore::numberForQuery(const std::string& query, const APMParameterValues& parameterValues,
                                                    Error* error) {
  if (badArgument(query.empty(), error, "Received empty query to get numeric result")) return std::nullopt;
  if (!checkOpen(error, "Query numeric result failed. Database not open.")) return std::nullopt;
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return std::nullopt;
  std::optional<Value> result;
  if (stepStatement(statement) != SQLITE_ROW) {
    setDatabaseError(error, "query numeric result");
  } else {
    const auto value = valueAtColumn(0, statement);
    if (value && (value->ifInteger() || value->ifDouble())) {
      result = *value;
    } else if (value && !value->isNull()) {
      APMSetError(error, kArgumentError, "Found result that was not numeric");
    }
  }
  cleanUpStatement(statement, query);
  return result;
}

std::optional<std::int64_t> APMSqliteStore::rowCountForTableWithName(const std::string& table, Error* error) {
  return rowCountForTableWithName(table, "", std::nullopt, error);
}

std::optional<std::int64_t> APMSqliteStore::rowCountForTableWithName(const std::string& table,
                                                                     const std::string& column,
                                                                     const std::optional<Value>& columnValue,
                                                                     Error* error) {
  if (badArgument(table.empty(), error, "Received empty table name for row count")) return std::nullopt;
  if (!checkOpen(error, "Row count failed. Database not open.")) return std::nullopt;
  std::string query = "SELECT count(1) FROM " + table;
  APMParameterValues values;
  if (!column.empty() && columnValue) {
    query += " WHERE " + column + "=?";
    values.push_back(*columnValue);
  }
  const auto number = numberForQuery(query, values, error);
  if (!number) return std::nullopt;
  return number->integerValue();
}

// --- Transactions ---

namespace {

// Runs a transaction's block one level deeper; a throw undoes the level with `undo` and goes on.
template <class Undo>
bool runOneLevelDeeper(int& depth, const std::function<bool()>& block, Undo undo) {
  ++depth;
  try {
    const bool result = block();
    --depth;
    return result;
  } catch (...) {
    --depth;
    undo();
    throw;
  }
}

}  // namespace

int APMSqliteStore::stepStatement(sqlite3_stmt* statement) {
  const int rc = sqlite3_step(statement);
  noteOutcome(rc);
  if (transactionDepth_ > 0 && isBusyResultCode(rc) && transactionBusyResultCode_ == SQLITE_OK) {
    transactionBusyResultCode_ = handle_ ? sqlite3_extended_errcode(handle_) : rc;
  }
  return rc;
}

bool APMSqliteStore::beginTransaction() {
  if (!handle_) return false;
  const int rc = sqlite3_exec(handle_, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
  noteOutcome(rc);
  return rc == SQLITE_OK;
}

bool APMSqliteStore::endTransaction() {
  return handle_ && sqlite3_exec(handle_, "END TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool APMSqliteStore::rollbackTransaction() {
  return handle_ && sqlite3_exec(handle_, "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool APMSqliteStore::performTransactionWithError(Error* error, const std::function<bool()>& block) {
  if (badArgument(!block, error, "Received nil transaction block")) return false;
  if (!checkOpen(error, "Database not open")) return false;
  if (transactionDepth_ > 0) return performNestedTransactionWithError(error, block);
  if (!beginTransaction()) {
    setSqliteError(error, "Failed to begin transaction", "");
    return false;
  }
  transactionBusyResultCode_ = SQLITE_OK;
  const bool result = runOneLevelDeeper(transactionDepth_, block, [this] {
    if (!rollbackTransaction()) APMLog(1, 34009, "Failed to rollback transaction after exception");
  });
  // A statement that found the file busy or locked did not do its part: committing the others
  // would keep half of the work, and doing it again later would count the rest twice.
  if (const int busy = std::exchange(transactionBusyResultCode_, SQLITE_OK); busy != SQLITE_OK) {
    if (!rollbackTransaction()) APMLog(1, 34011, "Failed to rollback transaction");
    setSqliteError(error, "A statement of the transaction found the database busy", "", busy);
    return false;
  }
  if (!result) {
    APMSetError(error, kSqliteError, "Transaction failed");
    if (!rollbackTransaction()) APMLog(1, 34011, "Failed to rollback transaction");
    return false;
  }
  if (!endTransaction()) {
    setSqliteError(error, "Failed to end transaction", "");
    // A commit that failed leaves the transaction open: its work must not ride on the next one.
    if (!sqlite3_get_autocommit(handle_) && !rollbackTransaction()) {
      APMLog(1, 34011, "Failed to rollback transaction");
    }
    return false;
  }
  return true;
}

// A savepoint of the open transaction, which alone commits: a busy statement in here fails the
// whole of it.
bool APMSqliteStore::performNestedTransactionWithError(Error* error, const std::function<bool()>& block) {
  const std::string savepoint = "apm_nested_" + std::to_string(transactionDepth_);
  const auto exec = [this](const std::string& sql) {
    return sqlite3_exec(handle_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  };
  const auto rollBack = [&] {
    if (!exec("ROLLBACK TO " + savepoint) || !exec("RELEASE " + savepoint)) {
      APMLog(1, 34011, "Failed to rollback transaction");
    }
  };
  if (!exec("SAVEPOINT " + savepoint)) {
    setSqliteError(error, "Failed to begin transaction", "");
    return false;
  }
  if (!runOneLevelDeeper(transactionDepth_, block, rollBack)) {
    APMSetError(error, kSqliteError, "Transaction failed");
    rollBack();
    return false;
  }
  if (!exec("RELEASE " + savepoint)) {
    setSqliteError(error, "Failed to end transaction", "");
    rollBack();
    return false;
  }
  return true;
}
