// Raw events, their bundle templates and the upload queue of the measurement database.
#include <cmath>
#include <limits>

#include "sdk/analytics/common/apm_foundation_extensions.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_raw_event_data.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_database_row.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/utilities/utilities/vul_gzip.h"

using platform::Data;
using platform::Error;
using platform::Value;
using APMDatabaseRow::column;

namespace {

constexpr std::int64_t kMaxMetadataRows = 100000;
constexpr std::int64_t kMaxEventsPerFingerprintRead = 1000;
constexpr std::int64_t kMaxRetryCount = 0x7fffffff;

// "rowid IN (?,?,...)" with the ids as its bound values.
bool rowIDCondition(const std::vector<std::int64_t>& rowIDs, std::string* condition, APMParameterValues* values,
                    Error* error) {
  if (rowIDs.empty()) {
    APMSetError(error, 3, "Received empty row IDs to process");
    return false;
  }
  std::string placeholders = "?";
  for (std::size_t i = 1; i < rowIDs.size(); ++i) placeholders += ",?";
  *condition = "rowid IN (" + placeholders + ")";
  for (std::int64_t id : rowIDs) values->push_back(Value(id));
  return true;
}

}  // namespace

// --- Metadata ---

bool APMDatabase::insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle& metadata, Error* error) {
  const auto bytes = metadata.protoBuffer();
  if (!bytes || bytes->empty()) {
    APMSetError(error, 3, "Received empty measurement bundle metadata for getting dictionary representation");
    return false;
  }
  const std::int64_t fingerprint = VULGzip::apm_64LSBMD5(*bytes);
  Error queryError;
  if (queryRawEventsMetadataWithFingerprint(fingerprint, &queryError)) return true;
  const APMRecord row{{"metadata_fingerprint", Value(fingerprint)}, {"metadata", Value(*bytes)}};
  return upsertDataType(&row, "raw_events_metadata", "metadata_fingerprint", Value(fingerprint), kMaxMetadataRows,
                        error);
}

std::shared_ptr<APMPBMeasurementBundle> APMDatabase::queryRawEventsMetadataWithFingerprint(std::int64_t fingerprint,
                                                                                           Error* error) {
  const auto bundles = dataTypesFromTableWithName<APMPBMeasurementBundle>(
      "raw_events_metadata", "metadata_fingerprint", Value(fingerprint), error,
      [&](const APMRecord& row) -> std::shared_ptr<APMPBMeasurementBundle> {
        if (row.empty()) {
          APMSetError(error, 3, "Received empty dictionary for getting measurement bundle");
          return nullptr;
        }
        const Value* metadata = column(row, "metadata");
        if (!metadata || !metadata->ifData() || metadata->ifData()->empty()) {
          APMSetError(error, 3, "Event metadata should not be empty for getting measurement bundle");
          return nullptr;
        }
        return APMPBMeasurementBundle::initWithBuffer(*metadata->ifData());
      });
  if (!bundles || bundles->empty()) return nullptr;
  return bundles->front();
}

bool APMDatabase::deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint, Error* error) {
  return store_->deleteRecordsFromTableWithName("raw_events_metadata", "metadata_fingerprint == ?",
                                                {Value(fingerprint)}, error)
      .has_value();
}

bool APMDatabase::deleteUnusedRawEventsMetadata(Error* error) {
  return store_
      ->deleteRecordsFromTableWithName(
          "raw_events_metadata", "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)",
          {}, error)
      .has_value();
}

std::optional<std::int64_t> APMDatabase::nextMetadataFingerprintToProcess(Error* error) {
  const auto rows = store_->recordsForQuery("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
  if (!rows) return std::nullopt;
  if (rows->size() != 1) {
    APMSetError(error, 2, "Only one event metadata should be processed");
    return std::nullopt;
  }
  const Value* fingerprint = column(rows->front(), "metadata_fingerprint");
  if (!fingerprint) return std::nullopt;
  return fingerprint->integerValue();
}

// --- Raw events ---

bool APMDatabase::insertRawEvent(const APMPBEvent* event, std::int64_t metadataFingerprint, bool isRealtime,
                                 Error* error) {
  if (!event) {
    APMSetError(error, 1, "Received empty event for inserting in the database");
    return false;
  }
  const std::int32_t nameField = APMFieldIndex(*event, 2);
  const std::string name = NANOGetString(event, nameField).value_or("");
  // The name lives in its own column; the stored message goes without it.
  auto stored = APMPBEvent::initWithMessageInfo(event->messageInfo());
  if (!stored) {
    APMSetError(error, 1, "Received empty event for inserting in the database");
    return false;
  }
  NANOClearField(stored.get(), nameField);
  const auto bytes = stored->protoBuffer();
  if (!bytes) {
    APMSetError(error, 1, "Received empty event for inserting in the database");
    return false;
  }
  const double timestamp = static_cast<double>(NANOGetInt64(event, APMFieldIndex(*event, 3))) / 1000.0;
  const APMRecord row{{"name", Value(name)},
                      {"timestamp", Value(timestamp)},
                      {"metadata_fingerprint", Value(metadataFingerprint)},
                      {"data", Value(*bytes)},
                      {"is_realtime", Value(std::int64_t{isRealtime ? 1 : 0})}};
  return insertDataType(&row, "raw_events", error);
}

std::shared_ptr<const APMRawEventData> APMDatabase::rawEventDataFromDictionary(const APMRecord& row, Error* error) {
  if (row.empty()) {
    APMSetError(error, 1, "Received empty dictionary for getting raw event data");
    return nullptr;
  }
  const Value* rowID = column(row, "rowid");
  if (!rowID) {
    APMSetError(error, 1, "Unable to find row ID in the database dictionary");
    return nullptr;
  }
  const Value* data = column(row, "data");
  if (!data) {
    APMSetError(error, 1, "Unable to find event data in the database dictionary");
    return nullptr;
  }
  const Value* fingerprint = column(row, "metadata_fingerprint");
  if (!fingerprint) {
    APMSetError(error, 1, "Unable to find event metadata in the database dictionary");
    return nullptr;
  }
  auto event = data->ifData() ? APMPBEvent::initWithBuffer(*data->ifData()) : nullptr;
  if (!event) {
    APMSetError(error, 3, "Failed to parse event from data");
    return nullptr;
  }
  // The stored event must be whole: an origin and convertible parameters.
  std::string origin;
  const auto params = NANOGetArray<APMPBEventParam>(event.get(), APMFieldIndex(*event, 1));
  for (const auto& param : params.value_or(std::vector<std::shared_ptr<APMPBEventParam>>{})) {
    const auto paramName = NANOGetString(param.get(), APMFieldIndex(*param, 1));
    if (paramName && *paramName == "_o") {
      const auto value = NANOGetString(param.get(), APMFieldIndex(*param, 2));
      if (!value) {
        APMSetError(error, 2, "Cannot create an event from database. Origin parameter is not a string");
        return nullptr;
      }
      origin = *value;
      continue;
    }
    if (!APMParametersFromEventParam(param.get(), false, nullptr)) {
      APMSetError(error, 2, "Failed to parse event params data");
      return nullptr;
    }
  }
  if (origin.empty()) {
    APMSetError(error, 2, "Cannot create an event from database. Missing origin parameter");
    return nullptr;
  }
  const Value* name = column(row, "name");
  NANOSetString(event.get(), APMFieldIndex(*event, 2), name && name->ifString() ? std::optional<std::string_view>(*name->ifString()) : std::nullopt);
  if (const Value* timestamp = column(row, "timestamp")) {
    NANOSetInt64(event.get(), APMFieldIndex(*event, 3),
                 static_cast<std::int64_t>(std::llround(timestamp->doubleValue() * 1000.0)));
  }
  auto raw = APMRawEventData::initWithRawEvent(std::move(event), rowID->integerValue(), fingerprint->integerValue());
  if (!raw) APMSetError(error, 2, "Failed to initialize raw event data from dictionary");
  return raw;
}

std::optional<std::vector<std::shared_ptr<const APMRawEventData>>> APMDatabase::rawEventsWithMetadataFingerprint(
    std::int64_t fingerprint, Error* error, const RowFilter& eventFilter) {
  const auto rows = store_->recordsForQuery(
      "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
      {Value(fingerprint), Value(kMaxEventsPerFingerprintRead)}, error, eventFilter);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<const APMRawEventData>> events;
  Error rowError;
  for (const APMRecord& row : *rows) {
    if (auto raw = rawEventDataFromDictionary(row, &rowError)) events.push_back(std::move(raw));
  }
  if (!rows->empty() && events.empty()) {
    if (error) *error = rowError;
    return std::nullopt;
  }
  return events;
}

std::optional<bool> APMDatabase::isRawEventsTableEmpty(Error* error) {
  return boolForQuery("SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error);
}

std::optional<Value> APMDatabase::queryLatestRawEventTime(Error* error) {
  return store_->numberForQuery("SELECT MAX(timestamp) FROM raw_events", {}, error);
}

std::optional<bool> APMDatabase::containsRawEventWithMetadataFingerprint(std::int64_t fingerprint, Error* error) {
  return boolForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
                      {Value(fingerprint)}, error);
}

std::optional<bool> APMDatabase::containsRealtimeRawEventsWithError(Error* error) {
  return boolForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)", {}, error);
}

bool APMDatabase::deleteRawEventsWithMaxRowID(std::int64_t rowID, Error* error) {
  return store_->deleteRecordsFromTableWithName("raw_events", "rowid <= ?", {Value(rowID)}, error).has_value();
}

std::optional<std::int64_t> APMDatabase::deleteRawEventsOverAbsoluteLimit(Error* error) {
  const std::int64_t keep = std::max<std::int64_t>(std::int64_t{remoteConfig()->maxEventsStored()} - 1, 0);
  return store_->deleteRecordsFromTableWithName(
      "raw_events", "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT -1 OFFSET ?)", {Value(keep)},
      error);
}

bool APMDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, Error* error) {
  if (maxAge < 0) {
    APMSetError(error, 1, "Cannot delete stale raw events given negative time period");
    return false;
  }
  const auto deleted = store_->deleteRecordsFromTableWithName(
      "raw_events", "abs(timestamp - cast(? as REAL)) > cast(? as REAL)", {Value(APMDatabaseNow()), Value(maxAge)},
      error);
  if (!deleted) return false;
  return *deleted == 0 || deleteUnusedRawEventsMetadata(error);
}

// --- Queue ---

bool APMDatabase::insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime, Error* error) {
  const auto bytes = bundle.protoBuffer();
  if (!bytes || bytes->empty()) {
    APMSetError(error, 1, "Failed to insert nil bundle");
    return false;
  }
  if (NANOGetString(&bundle, APMFieldIndex(bundle, 14)).value_or("").empty()) {
    APMSetError(error, 1, "Failed to insert bundle without App ID");
    return false;
  }
  const std::int64_t endMillis = NANOGetInt64(&bundle, APMFieldIndex(bundle, 6));
  if (endMillis < 1) {
    APMSetError(error, 1, "Failed to insert bundle without valid timestamp");
    return false;
  }
  if (!maybeDeleteStaleData(error).has_value()) return false;
  const double end = static_cast<double>(endMillis) / 1000.0;
  if (std::fabs(APMDatabaseNow() - end) > remoteConfig()->maxQueueTime()) {
    APMLog(4, 12016, "Storing bundle outside of the max uploading time span");
  }
  const auto compressed = VULGzip::vul_dataByGzippingData(*bytes);
  if (!compressed || compressed->empty()) {
    APMSetError(error, 2, "Failed to compress bundle");
    return false;
  }
  APMLog(7, 12018, "Saving bundle. size (bytes)", std::to_string(compressed->size()));
  const APMRecord row{{"bundle_end_timestamp", Value(end)},
                      {"data", Value(*compressed)},
                      {"is_realtime", Value(std::int64_t{isRealtime ? 1 : 0})},
                      {"retry_count", Value(std::int64_t{NANOGetInt32(&bundle, APMFieldIndex(bundle, 39))})}};
  return insertDataType(&row, "queue", error);
}

namespace {

std::shared_ptr<APMPBMeasurementBundle> bundleFromRow(const APMRecord& row, Error* error) {
  if (row.empty()) {
    APMSetError(error, 3, "Cannot process empty rowData");
    return nullptr;
  }
  const Value* data = column(row, "data");
  if (!data || !data->ifData() || data->ifData()->empty()) {
    APMSetError(error, 3, "Cannot decompress an empty bundle data");
    return nullptr;
  }
  const auto inflated = VULGzip::vul_dataByInflatingGzippedData(*data->ifData());
  if (!inflated) {
    APMSetError(error, 2, "The data is not valid gzip data");
    return nullptr;
  }
  auto bundle = APMPBMeasurementBundle::initWithBuffer(*inflated);
  if (!bundle) {
    APMSetError(error, 2, "Unable to parse bundle from decompressed data");
    return nullptr;
  }
  if (const Value* retries = column(row, "retry_count"); retries && retries->integerValue() >= 1) {
    NANOSetInt32(bundle.get(), APMFieldIndex(*bundle, 39), static_cast<std::int32_t>(retries->integerValue()));
  }
  return bundle;
}

}  // namespace

std::shared_ptr<APMPBMeasurementBundle> APMDatabase::readableBundleFromQueueRow(const APMRecord& row) {
  Error reason;
  auto bundle = bundleFromRow(row, &reason);
  if (bundle) return bundle;
  // Such a row never becomes readable: kept, it would say there is data to upload until the stale
  // sweep, and hold its place at the head of the queue.
  const Value* rowID = column(row, "rowid");
  if (!rowID) return nullptr;
  APMLog(4, 12057, "Deleting queued bundle that cannot be read. Row ID, error", rowID->integerValue(), reason);
  Error error;
  if (!deleteBundlesWithRowIDs({rowID->integerValue()}, &error)) {
    APMLog(1, 12058, "Failed to delete queued bundle that cannot be read. Error", error);
  }
  return nullptr;
}

std::optional<std::vector<APMDatabase::BundleAndRowID>> APMDatabase::queryBundlesWithCountLimit(
    std::int64_t countLimit, std::int64_t sizeLimit, Error* error) {
  const auto rows = store_->recordsForQuery("SELECT rowid, data, retry_count FROM queue ORDER BY rowid ASC LIMIT ?",
                                            {Value(countLimit)}, error);
  if (!rows) return std::nullopt;
  std::vector<BundleAndRowID> bundles;
  std::int64_t total = 0;
  for (const APMRecord& row : *rows) {
    auto bundle = readableBundleFromQueueRow(row);
    if (!bundle) continue;
    const auto size = static_cast<std::int64_t>(bundle->protoBuffer().value_or(Data{}).size());
    if (!bundles.empty() && total + size > sizeLimit) break;
    total += size;
    bundles.emplace_back(std::move(bundle), column(row, "rowid")->integerValue());
    if (total > sizeLimit) break;
  }
  return bundles;
}

std::optional<std::vector<APMDatabase::BundleAndRowID>> APMDatabase::queryBundlesWithRowIDs(
    const std::vector<std::int64_t>& rowIDs, Error* error) {
  std::string condition;
  APMParameterValues values;
  if (!rowIDCondition(rowIDs, &condition, &values, error)) return std::nullopt;
  const auto rows = store_->recordsForQuery("SELECT rowid, data, retry_count FROM queue WHERE " + condition, values,
                                            error);
  if (!rows) return std::nullopt;
  std::vector<BundleAndRowID> bundles;
  for (const APMRecord& row : *rows) {
    if (auto bundle = readableBundleFromQueueRow(row)) {
      bundles.emplace_back(std::move(bundle), column(row, "rowid")->integerValue());
    }
  }
  return bundles;
}

bool APMDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs, Error* error) {
  if (rowIDs.empty()) {
    APMSetError(error, 1, "Failed to increment retry counter");
    return false;
  }
  std::string condition;
  APMParameterValues values;
  if (!rowIDCondition(rowIDs, &condition, &values, error)) return false;
  if (boolForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)", {Value(kMaxRetryCount)},
                   nullptr)
          .value_or(false)) {
    APMLog(1, 12054, "The number of upload retries exceeds the limit. Will remain unchanged.");
  }
  values.push_back(Value(kMaxRetryCount));
  // A NULL count (a bundle stored before the column existed) starts from 0.
  if (!store_->executeSQL("UPDATE queue SET retry_count = 0 WHERE retry_count IS NULL", error)) return false;
  return store_->increaseColumn("retry_count", 1, "queue", condition + " AND retry_count < ?", values, error);
}

bool APMDatabase::deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, Error* error) {
  std::string condition;
  APMParameterValues values;
  if (!rowIDCondition(rowIDs, &condition, &values, error)) return false;
  return store_->deleteRecordsFromTableWithName("queue", condition, values, error).has_value();
}

bool APMDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge, Error* error) {
  if (maxAge < 0) {
    APMSetError(error, 1, "Cannot delete stale bundles after negative time period");
    return false;
  }
  return store_
      ->deleteRecordsFromTableWithName("queue", "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
                                       {Value(APMDatabaseNow()), Value(maxAge)}, error)
      .has_value();
}

std::optional<bool> APMDatabase::isQueuedBundleTableEmpty(Error* error) {
  return boolForQuery("SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error);
}

std::optional<Value> APMDatabase::queryLatestBundleTime(Error* error) {
  return store_->numberForQuery("SELECT MAX(bundle_end_timestamp) FROM queue", {}, error);
}

std::optional<bool> APMDatabase::containsRealtimeBundlesWithError(Error* error) {
  return boolForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)", {}, error);
}

std::optional<bool> APMDatabase::maybeDeleteStaleData(Error* error) {
  const double now = APMDatabaseNow();
  const auto config = remoteConfig();
  const double last = persistedConfig_ ? persistedConfig_->lastDeleteStaleBundlesTimestamp() : 0.0;
  if (std::fabs(now - last) <= config->databaseDeleteStaleBundlesInterval()) return false;
  const double maxAge = config->maxQueueTime();
  if (!deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error) || !deleteStaleBundlesOlderThanMaxAge(maxAge, error)) {
    return std::nullopt;
  }
  if (persistedConfig_) persistedConfig_->setLastDeleteStaleBundlesTimestamp(now);
  return true;
}
