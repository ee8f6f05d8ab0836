#include "sdk/analytics/storage/apme_database.h"

#include "platform/foundation/format.h"
#include "sdk/analytics/common/apm_error.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database_row.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "sdk/analytics/storage/apme_snapshot.h"

using platform::Error;
using platform::Value;

namespace {

constexpr std::int64_t kTableLimit = 100000;

const APMColumnInfo& snapshotColumns() {
  // Never destroyed: the database queue may still open the store while the process exits.
  static const APMColumnInfo* const columns = new APMColumnInfo{{"sdk_name", "TEXT NOT NULL PRIMARY KEY"},
                                                                {"snapshotProto", "BLOB NOT NULL"},
                                                                {"timestamp", "REAL NOT NULL"},
                                                                {"manually_activated", "INTEGER"}};
  return *columns;
}

// A stored row as a snapshot, with the row's time and manual mark; null when it does not decode.
std::shared_ptr<APMESnapshot> snapshotFromRow(const APMRecord& row) {
  const Value* bytes = APMDatabaseRow::column(row, "snapshotProto");
  if (!bytes || !bytes->ifData()) return nullptr;
  const auto proto = APMPBSnapshot::initWithBuffer(*bytes->ifData());
  if (!proto) return nullptr;
  auto snapshot = APMESnapshot::initWithProtobuf(*proto);
  if (!snapshot) return nullptr;
  if (const Value* timestamp = APMDatabaseRow::column(row, "timestamp"); timestamp && timestamp->isNumber()) {
    snapshot->setTimestamp(timestamp->doubleValue());
  }
  if (const Value* manual = APMDatabaseRow::column(row, "manually_activated"); manual && manual->isNumber()) {
    snapshot->setManuallyActivated(manual->integerValue() != 0);
  }
  return snapshot;
}

}  // namespace

std::unique_ptr<APMEDatabase> APMEDatabase::initWithPath(const std::string& path) {
  if (path.empty()) {
    APMLog(1, 810000, "Cannot initialize the database with invalid path");
    return nullptr;
  }
  std::unique_ptr<APMEDatabase> database(new APMEDatabase());
  if (!database->initializeDatabaseResourcesWithContext("Init", path)) return nullptr;
  return database;
}

APMEDatabase::~APMEDatabase() = default;

bool APMEDatabase::initializeDatabaseResourcesWithContext(std::string_view context, const std::string& databasePath) {
  path_ = databasePath;
  store_.reset();
  Error error;
  store_ = APMSqliteStore::initWithDatabasePath(databasePath, &error);
  if (!store_) {
    APMLog(1, 810001, platform::format("Failed to open database (%@)", context), error);
    return false;
  }
  Error tablesError;
  if (!ensureAllTables(&tablesError)) {
    APMLog(1, 810002, platform::format("Failed to create or validate required database tables (%@)", context));
    store_->closeDatabase();
    // A table that could not be read for a lock or a disk error says nothing about the file.
    if (!APMIsTransientSqliteError(tablesError)) {
      Error deleteError;
      if (!APMDeleteDatabaseFileAtPath(databasePath, &deleteError) && deleteError) {
        APMLog(4, 810003,
               platform::format("Failed to delete old database file after failed validation. Error (%@)", context),
               deleteError);
      }
    }
    store_.reset();
    return false;
  }
  return true;
}

bool APMEDatabase::ensureAllTables(Error* error) {
  for (std::string_view table : {kAPMEPendingSnapshotTable, kAPMEActivatedSnapshotTable, kAPMELaunchedSnapshotTable}) {
    Error tableError;
    if (!store_->ensureTableWithName(std::string(table), snapshotColumns(), {}, {}, &tableError)) {
      if (tableError) APMLog(1, 810004, "Failed to ensure table. Table, error", table, tableError);
      if (error) *error = tableError;
      return false;
    }
  }
  return true;
}

void APMEDatabase::reset() {
  if (store_ && !store_->closeAndDeleteDatabase()) APMLog(4, 810005, "Failed to delete database data");
  if (!initializeDatabaseResourcesWithContext("Reset", path_)) APMLog(1, 810006, "Cannot re-initialize the database");
}

bool APMEDatabase::performTransaction(const std::function<bool()>& block) {
  if (!store_) return false;
  Error error;
  if (store_->performTransactionWithError(&error, block)) return true;
  APMLog(1, 810007, platform::format("Transaction failed. %@", error.localizedDescription()));
  return false;
}

std::optional<APMEDatabase::Snapshots> APMEDatabase::fetchAllSnapshots(std::string_view table, Error* error) {
  if (!APMCheckObject(store_, error, 1, "The experiment database is not open")) return std::nullopt;
  const auto rows = store_->recordsForQuery(
      "SELECT rowid, * FROM " + std::string(table) + " ORDER BY rowid LIMIT " + std::to_string(kTableLimit), {}, error);
  if (!rows) return std::nullopt;
  Snapshots snapshots;
  for (const APMRecord& row : *rows) {
    auto snapshot = snapshotFromRow(row);
    if (!APMCheckObject(snapshot, error, 2, "Received an invalid snapshot from database")) return std::nullopt;
    snapshots.push_back(std::move(snapshot));
  }
  return snapshots;
}

std::optional<APMEDatabase::Snapshots> APMEDatabase::fetchAllActivatedSnapshots(Error* error) {
  return fetchAllSnapshots(kAPMEActivatedSnapshotTable, error);
}
std::optional<APMEDatabase::Snapshots> APMEDatabase::fetchAllPendingSnapshots(Error* error) {
  return fetchAllSnapshots(kAPMEPendingSnapshotTable, error);
}
std::optional<APMEDatabase::Snapshots> APMEDatabase::fetchAllLaunchedSnapshots(Error* error) {
  return fetchAllSnapshots(kAPMELaunchedSnapshotTable, error);
}

bool APMEDatabase::upsertSnapshot(const APMPBSnapshot& snapshot, std::string_view table, double timestamp,
                                  std::optional<bool> manuallyActivated, Error* error) {
  if (!APMCheckObject(store_, error, 1, "The experiment database is not open")) return false;
  const auto bytes = snapshot.protoBuffer();
  if (!APMCheckObject(bytes, error, 2, "Cannot serialize the snapshot")) return false;
  const auto name = NANOGetString(&snapshot, 0);
  if (!APMCheckBool(name && !name->empty(), error, 1, "Received empty SDK Name")) return false;
  APMRecord record{{"sdk_name", Value(*name)}, {"snapshotProto", Value(*bytes)}, {"timestamp", Value(timestamp)}};
  if (manuallyActivated) record.emplace("manually_activated", Value(std::int64_t{*manuallyActivated ? 1 : 0}));
  return store_->upsertRecord(record, std::string(table), error);
}

bool APMEDatabase::upsertPendingExperimentSnapshots(const Snapshots& snapshots, Error* error) {
  for (const auto& snapshot : snapshots) {
    const auto proto = snapshot ? snapshot->proto() : nullptr;
    if (!APMCheckObject(proto, error, 1, "Received an invalid pending snapshot")) return false;
    if (!upsertSnapshot(*proto, kAPMEPendingSnapshotTable, snapshot->timestamp(), snapshot->manuallyActivated(),
                        error)) {
      return false;
    }
  }
  return true;
}

bool APMEDatabase::activateSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp, Error* error) {
  if (!snapshot) {
    APMSetError(error, 1, "Received nil pending snapshot");
    return false;
  }
  std::shared_ptr<APMEExperiment> launched;
  APMESnapshot::Experiments activated;
  for (const auto& experiment : snapshot->experiments()) {
    if (experiment->experimentID() == kAPMELaunchedExperimentID) {
      launched = experiment;
    } else {
      activated.push_back(experiment);
    }
  }
  if (launched) {
    const auto launchedSnapshot = APMESnapshot::initWithSDKName(snapshot->SDKName(), {launched});
    const auto proto = launchedSnapshot ? launchedSnapshot->proto() : nullptr;
    if (!APMCheckObject(proto, error, 2, "Cannot build the launched snapshot")) return false;
    if (!upsertSnapshot(*proto, kAPMELaunchedSnapshotTable, timestamp, false, error)) return false;
  }
  // Written even when empty: memory then holds an empty activated snapshot, and a restart must
  // see the same flags and the same activation time.
  const auto activatedSnapshot = APMESnapshot::initWithSDKName(snapshot->SDKName(), activated);
  const auto proto = activatedSnapshot ? activatedSnapshot->proto() : nullptr;
  if (!APMCheckObject(proto, error, 2, "Cannot build the activated snapshot")) return false;
  if (!upsertSnapshot(*proto, kAPMEActivatedSnapshotTable, timestamp, false, error)) return false;
  return store_->deleteRecordsFromTableWithName(std::string(kAPMEPendingSnapshotTable), "sdk_name = ? AND timestamp <= ?",
                                                {Value(snapshot->SDKName()), Value(timestamp)}, error)
      .has_value();
}

bool APMEDatabase::activatePendingSnapshotsAutomatically(Error* error) {
  if (!APMCheckObject(store_, error, 1, "The experiment database is not open")) return false;
  const auto rows = store_->recordsForQuery(
      "SELECT rowid,* FROM pending_snapshot_table WHERE NOT manually_activated = ? ORDER BY rowid",
      {Value(std::int64_t{1})}, error);
  if (!rows) return false;
  for (const APMRecord& row : *rows) {
    auto snapshot = snapshotFromRow(row);
    if (!snapshot) {
      APMSetError(error, 2, "Received an invalid snapshot from database");
      return false;
    }
    if (!activateSnapshot(snapshot, snapshot->timestamp(), error)) return false;
    if (!deletePendingExperimentsOfSDKName(snapshot->SDKName(), error)) return false;
  }
  return true;
}

bool APMEDatabase::deleteStaleActivatedSnapshots(Error* error) {
  if (!APMCheckObject(store_, error, 1, "The experiment database is not open")) return false;
  return store_
      ->deleteRecordsFromTableWithName(std::string(kAPMEActivatedSnapshotTable), "timestamp <= ?",
                                       {Value(APMENow() - kAPMEStaleSnapshotAge)}, error)
      .has_value();
}

bool APMEDatabase::deleteActivatedExperimentsOfSDKName(const std::string& SDKName, Error* error) {
  return deleteExperimentsOfSDKName(SDKName, kAPMEActivatedSnapshotTable, error);
}
bool APMEDatabase::deletePendingExperimentsOfSDKName(const std::string& SDKName, Error* error) {
  return deleteExperimentsOfSDKName(SDKName, kAPMEPendingSnapshotTable, error);
}
bool APMEDatabase::deleteLaunchedExperimentSDKName(const std::string& SDKName, Error* error) {
  return deleteExperimentsOfSDKName(SDKName, kAPMELaunchedSnapshotTable, error);
}

bool APMEDatabase::deleteExperimentsOfSDKName(const std::string& SDKName, std::string_view table, Error* error) {
  if (SDKName.empty()) {
    APMSetError(error, 1, "Received empty SDK Name");
    return false;
  }
  if (!APMCheckObject(store_, error, 1, "The experiment database is not open")) return false;
  return store_->deleteRecordFromTableWithName(std::string(table), "sdk_name", Value(SDKName), error);
}
