#include "sdk/analytics/storage/apm_database.h"

#include <cmath>

#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/storage/apm_database_row.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apm_storage_paths.h"

using platform::Error;
using platform::Value;

namespace {

struct TableSchema {
  std::string name;
  APMColumnInfo elementary;
  APMColumnInfo addOn;
  APMModifyColumnInfo modify;
};

const std::vector<TableSchema>& schema() {
  // Never destroyed: the database queue may still open or migrate the store while the process exits.
  static const std::vector<TableSchema>* const tables = new std::vector<TableSchema>{
      {"app_metadata",
       {{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}},
       {{"last_bundle_start_timestamp", "REAL"},
        {"day", "INTEGER"},
        {"daily_conversions_count", "INTEGER"},
        {"daily_events_count", "INTEGER"},
        {"daily_public_events_count", "INTEGER"},
        {"daily_error_events_count", "INTEGER"},
        {"remote_config_data", "BLOB"},
        {"remote_config_timestamp", "REAL"},
        {"daily_real_time_conversion_events_count", "INTEGER"}},
       {}},
      {"raw_events_metadata",
       {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
       {},
       {}},
      {"raw_events",
       {{"name", "TEXT NOT NULL"},
        {"timestamp", "INTEGER NOT NULL"},
        {"metadata_fingerprint", "INTEGER NOT NULL"},
        {"data", "BLOB NOT NULL"}},
       {{"is_realtime", "INTEGER"}},
       {{"timestamp", "REAL NOT NULL"}}},
      {"events",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"lifetime_count", "INTEGER NOT NULL"},
        {"current_bundle_count", "INTEGER NOT NULL"},
        {"last_fire_timestamp", "REAL NOT NULL"}},
       {{"last_bundled_timestamp", "REAL"},
        {"last_sampled_complex_event_id", "INTEGER"},
        {"last_sampling_rate", "INTEGER"},
        {"last_exempt_from_sampling", "INTEGER"},
        {"last_bundled_day", "INTEGER"},
        {"current_session_count", "INTEGER"}},
       {}},
      {"user_attributes",
       {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"set_timestamp", "REAL NOT NULL"}, {"value", "BLOB NOT NULL"}},
       {{"origin", "TEXT"}},
       {}},
      {"queue",
       {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
       {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}},
       {}},
      {"event_filters",
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"event_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {std::string(kAPMPrimaryKeyColumnName), "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {"property_filters",
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"property_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {std::string(kAPMPrimaryKeyColumnName), "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {"audience_filter_values",
       {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"}, {"current_results", "BLOB"}, {"previous_results", "BLOB"}},
       {},
       {}},
      {"purchase_transactions", {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {"subscriptions", {{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {"done_kept_writes", {{"id", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {"conditional_properties",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"origin", "TEXT NOT NULL"},
        {"value", "BLOB NOT NULL"},
        {"creation_timestamp", "REAL NOT NULL"},
        {"active", "INTEGER NOT NULL"},
        {"trigger_timeout", "REAL NOT NULL"},
        {"triggered_timestamp", "REAL NOT NULL"},
        {"time_to_live", "REAL NOT NULL"},
        {"trigger_event_name", "TEXT"},
        {"timed_out_event", "BLOB"},
        {"triggered_event", "BLOB"},
        {"expired_event", "BLOB"}},
       {},
       {}},
      {"main_event_params",
       {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"children_to_process", "INTEGER NOT NULL"},
        {"main_event", "BLOB NOT NULL"}},
       {},
       {}},
  };
  return *tables;
}

const Value& kMetadataRowID = APMDatabaseRow::metadataRowID();
using APMDatabaseRow::doubleOr;
using APMDatabaseRow::integerOr;

// The cause itself when it is passing (a lock held elsewhere, the disk), else the failed step.
void setResourceError(Error* error, const Error& cause, const char* step) {
  if (APMIsTransientSqliteError(cause)) {
    if (error) *error = cause;
  } else {
    APMSetError(error, 2, step);
  }
}

}  // namespace

double APMDatabaseNow() { return platform::Clock::current().now().timeIntervalSince1970(); }

APMDatabase::APMDatabase(std::shared_ptr<APMPersistedConfig> persistedConfig)
    : persistedConfig_(std::move(persistedConfig)) {}

APMDatabase::~APMDatabase() = default;

std::unique_ptr<APMDatabase> APMDatabase::initWithDatabaseName(const std::string& name,
                                                               std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                               Error* error) {
  if (name.empty()) {
    APMSetError(error, 1, "Received empty database name in init");
    return nullptr;
  }
  std::unique_ptr<APMDatabase> database(new APMDatabase(std::move(persistedConfig)));
  if (!database->initializeDatabaseResourcesWithContext("Init", APMMeasurementFilePath(name), error)) return nullptr;
  return database;
}

std::shared_ptr<APMRemoteConfig> APMDatabase::remoteConfig() const { return APMMeasurementRemoteConfig(); }

bool APMDatabase::initializeDatabaseResourcesWithContext(const std::string& context, const std::string& databasePath,
                                                         Error* error) {
  store_.reset();
  store_ = APMSqliteStore::initWithDatabasePath(databasePath, error);
  if (!store_) return false;
  Error tablesError;
  if (!ensureAllTables(&tablesError)) {
    APMLog(1, 12002, "Failed to create or validate required database tables (%@)", context);
    store_->closeDatabase();
    // A table that could not be read for a lock or a disk error says nothing about the file.
    if (!APMIsTransientSqliteError(tablesError)) {
      Error deleteError;
      if (!APMDeleteDatabaseFileAtPath(databasePath, &deleteError) && deleteError) {
        APMLog(4, 12003, "Failed to delete old database file after failed validation. Error (%@)", context,
               deleteError);
      }
    }
    store_.reset();
    setResourceError(error, tablesError, "Failed to create or validate required database tables");
    return false;
  }
  Error metadataError;
  if (!initializeAppMetadata(&metadataError)) {
    APMLog(1, 12004, "Failed to initialize App Metadata table (%@)", context);
    setResourceError(error, metadataError, "Failed to initialize App Metadata table");
    return false;
  }
  return true;
}

bool APMDatabase::reset(Error* error) {
  const std::string path = store_ ? store_->databasePath() : std::string();
  if (!store_ || !store_->closeAndDeleteDatabase()) {
    APMSetError(error, 2, "Failed to delete database data");
    return false;
  }
  return initializeDatabaseResourcesWithContext("Reset", path, error);
}

bool APMDatabase::ensureAllTables(Error* error) {
  for (const TableSchema& table : schema()) {
    Error tableError;
    if (!store_->ensureTableWithName(table.name, table.elementary, table.addOn, table.modify, &tableError)) {
      APMLog(1, 12047, "Failed to ensure table. Table, error", table.name, tableError);
      if (error) *error = tableError;
      return false;
    }
  }
  return true;
}

bool APMDatabase::performTransaction(const std::function<bool()>& block, Error* error) {
  return performTransaction(block, error, false);
}

bool APMDatabase::performRetriableTransaction(const std::function<bool()>& block, Error* error) {
  return performTransaction(block, error, true);
}

bool APMDatabase::performTransaction(const std::function<bool()>& block, Error* error, bool retriable) {
  if (!store_) return false;
  Error transactionError;
  if (store_->performTransactionWithError(&transactionError, block)) return true;
  if (!retriable || !APMIsBusySqliteError(transactionError)) {
    APMLog(1, 12056, "Transaction failed. %@", transactionError.localizedDescription());
  }
  if (error) *error = transactionError;
  return false;
}

bool APMDatabase::initializeAppMetadata(Error* error) {
  const auto createRowUnlessPresent = [&] {
    Error rowError;
    const auto existing = queryAppMetadata(&rowError);
    if (!existing && rowError) {
      APMLog(1, 12005, "Failed to query app metadata");
      return false;
    }
    if (existing) return true;
    const APMRecord row{{"rowid", kMetadataRowID},
                        {"last_bundle_index", Value(std::int64_t{0})},
                        {"last_bundle_start_timestamp", Value(0.0)},
                        {"last_bundle_end_timestamp", Value(0.0)}};
    if (!upsertDataType(&row, "app_metadata", "rowid", kMetadataRowID, 1, &rowError)) {
      APMLog(1, 12006, "Unable to update the app metadata. Error", rowError);
      return false;
    }
    return true;
  };
  return performTransaction(createRowUnlessPresent, error);
}

std::shared_ptr<APMAppMetadata> APMDatabase::queryAppMetadata(Error* error) {
  const auto objects = dataTypesFromTableWithName<APMAppMetadata>(
      "app_metadata", "rowid", kMetadataRowID, error, [&](const APMRecord& row) -> std::shared_ptr<APMAppMetadata> {
        if (row.empty()) {
          APMSetError(error, 3, "Received empty dictionary for getting app metadata");
          return nullptr;
        }
        return APMAppMetadata::initWithLastBundleIndex(
            static_cast<std::int32_t>(integerOr(row, "last_bundle_index", 0)),
            doubleOr(row, "last_bundle_start_timestamp", 0.0), doubleOr(row, "last_bundle_end_timestamp", 0.0));
      });
  if (!objects || objects->empty()) return nullptr;
  return objects->front();
}

bool APMDatabase::updateAppMetadata(const APMAppMetadata* metadata, Error* error) {
  if (!metadata) {
    APMSetError(error, 3, "Received empty app metadata for getting dictionary representation");
    return false;
  }
  const APMRecord row{{"last_bundle_index", Value(std::int64_t{metadata->lastBundleIndex()})},
                      {"last_bundle_start_timestamp", Value(metadata->lastBundleStartTimestamp())},
                      {"last_bundle_end_timestamp", Value(metadata->lastBundleEndTimestamp())}};
  return updateDataType(&row, "app_metadata", "rowid", kMetadataRowID, error);
}

std::int32_t APMDatabase::currentDay() const {
  const double offset = persistedConfig_ ? persistedConfig_->midnightOffset() : 0.0;
  return static_cast<std::int32_t>(std::floor((APMDatabaseNow() - offset) / 86400.0));
}

std::shared_ptr<APMDailyCounts> APMDatabase::dailyCounts(Error* error) {
  const std::int32_t today = currentDay();
  const auto objects = dataTypesFromTableWithName<APMDailyCounts>(
      "app_metadata", "rowid", kMetadataRowID, error, [&](const APMRecord& row) -> std::shared_ptr<APMDailyCounts> {
        if (row.empty()) {
          APMSetError(error, 3, "Received empty dictionary for getting daily counts");
          return nullptr;
        }
        auto count = [&](std::string_view column) { return APMDailyCounts::clampedCount(integerOr(row, column, 0)); };
        return std::make_shared<APMDailyCounts>(
            static_cast<std::int32_t>(integerOr(row, "day", today)), count("daily_conversions_count"),
            count("daily_events_count"), count("daily_public_events_count"), count("daily_error_events_count"),
            count("daily_real_time_conversion_events_count"));
      });
  if (!objects || objects->empty()) return nullptr;
  return objects->front();
}

bool APMDatabase::updateDailyCounts(const APMDailyCounts* counts, Error* error) {
  if (!counts) {
    APMSetError(error, 3, "Received empty daily counts for getting dictionary representation");
    return false;
  }
  auto n = [](std::int32_t v) { return Value(std::int64_t{v}); };
  const APMRecord row{{"day", n(counts->day())},
                      {"daily_conversions_count", n(counts->conversionsCount())},
                      {"daily_events_count", n(counts->allEventsCount())},
                      {"daily_public_events_count", n(counts->publicEventsCount())},
                      {"daily_error_events_count", n(counts->errorEventsCount())},
                      {"daily_real_time_conversion_events_count", n(counts->realtimeCount())}};
  return updateDataType(&row, "app_metadata", "rowid", kMetadataRowID, error);
}

bool APMDatabase::insertDataType(const APMRecord* record, const std::string& table, Error* error) {
  if (table.empty()) {
    APMSetError(error, 1, "Received empty table name for inserting");
    return false;
  }
  if (!record) {
    APMSetError(error, 2, "Failed to insert empty record");
    return false;
  }
  return store_->upsertRecord(*record, table, error);
}

bool APMDatabase::upsertDataType(const APMRecord* record, const std::string& table, const std::string& column,
                                 const Value& value, std::int64_t tableLimit, Error* error) {
  if (!record) {
    APMSetError(error, 1, "Received empty data type to upsert");
    return false;
  }
  if (table.empty()) {
    APMSetError(error, 1, "Received empty table name for checking upsert");
    return false;
  }
  const auto existing = store_->rowCountForTableWithName(table, column, value, error);
  if (!existing) return false;
  if (*existing == 0) {
    const auto all = store_->rowCountForTableWithName(table, error);
    if (!all) return false;
    if (*all >= tableLimit) {
      APMSetError(error, 2, "Failed to insert data type. Table is full");
      return false;
    }
  }
  return store_->upsertRecord(*record, table, error);
}

bool APMDatabase::updateDataType(const APMRecord* record, const std::string& table, const std::string& column,
                                 const Value& value, Error* error) {
  if (!record) {
    APMSetError(error, 1, "Received empty data type to update");
    return false;
  }
  if (table.empty()) {
    APMSetError(error, 1, "Received empty table name for updating");
    return false;
  }
  const auto existing = store_->rowCountForTableWithName(table, column, value, error);
  if (!existing) return false;
  if (*existing == 0) {
    APMSetError(error, 2, "Failed to update record. Item doesn't exist");
    return false;
  }
  return store_->updateRecord(*record, table, column, value, error);
}

std::optional<bool> APMDatabase::boolForQuery(const std::string& query, const APMParameterValues& values,
                                              Error* error) {
  const auto number = store_->numberForQuery(query, values, error);
  if (!number) return std::nullopt;
  return number->integerValue() != 0;
}

std::optional<std::int64_t> APMDatabase::integerForQuery(const std::string& query, const APMParameterValues& values,
                                                         Error* error) {
  const auto number = store_->numberForQuery(query, values, error);
  if (!number) return std::nullopt;
  return number->integerValue();
}
