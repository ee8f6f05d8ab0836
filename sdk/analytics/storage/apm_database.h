// The analytics engine's one persistent store: one SQLite file holding the raw events waiting to
// be bundled, the queue of bundles waiting for upload, per-event and per-property aggregates,
// audience state, conditional user properties, purchase fingerprints and the one-row
// `app_metadata` record. All SQL goes through `APMSqliteStore`.
//
// Not thread-safe: the engine calls it from its serial worker queue only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/error.h"
#include "sdk/analytics/common/apm_error.h"
#include "sdk/analytics/storage/apm_app_metadata.h"
#include "sdk/analytics/storage/apm_sqlite_store.h"
#include "sdk/analytics/storage/apm_storage_records.h"

class APMPersistedConfig;
class APMRawEventData;
class APMRemoteConfig;
class APMUserAttribute;
class APMPBEvent;
class APMPBMeasurementBundle;
class APMPBMeasurementConfig;

inline constexpr std::string_view kAPMMeasurementDatabaseName = "videzu-app-measurement.sql";

class APMDatabase {
 public:
  using BundleAndRowID = std::pair<std::shared_ptr<APMPBMeasurementBundle>, std::int64_t>;
  using RowFilter = APMRowFilter;

  static std::unique_ptr<APMDatabase> initWithDatabaseName(const std::string& name,
                                                           std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                           platform::Error* error);
  ~APMDatabase();

  APMSqliteStore* store() const { return store_.get(); }
  bool reset(platform::Error* error);
  // Runs the block in one exclusive transaction; NO from the block or a throw rolls back, and so
  // does a statement that found the file busy or locked (see `APMSqliteStore`). Inside another
  // transaction the block is a savepoint of it.
  bool performTransaction(const std::function<bool()>& block, platform::Error* error = nullptr);
  // The same for a unit of work the caller keeps and does again when another connection holds
  // the file: that failure (busy or locked, nothing of the block stored) is the caller's to
  // report; any other is logged as above.
  bool performRetriableTransaction(const std::function<bool()>& block, platform::Error* error);
  // A failure for a lock held elsewhere or trouble with the disk answers the store's own error, so
  // that the caller can tell it from a file that cannot be used.
  bool initializeDatabaseResourcesWithContext(const std::string& context, const std::string& databasePath,
                                              platform::Error* error);
  bool ensureAllTables(platform::Error* error = nullptr);
  bool initializeAppMetadata(platform::Error* error = nullptr);

  std::shared_ptr<APMAppMetadata> queryAppMetadata(platform::Error* error);
  bool updateAppMetadata(const APMAppMetadata* metadata, platform::Error* error);
  std::shared_ptr<APMDailyCounts> dailyCounts(platform::Error* error);
  bool updateDailyCounts(const APMDailyCounts* counts, platform::Error* error);
  // floor((now − midnight offset) / 86400).
  std::int32_t currentDay() const;

  // Generic row operations. A limit of −1 reads every row.
  template <class T>
  using CreateBlock = std::function<std::shared_ptr<T>(const APMRecord&)>;
  template <class T>
  std::optional<std::vector<std::shared_ptr<T>>> allDataTypesFromTableWithName(const std::string& table,
                                                                                std::int64_t tableLimit,
                                                                                platform::Error* error,
                                                                                const CreateBlock<T>& block);
  template <class T>
  std::optional<std::vector<std::shared_ptr<T>>> dataTypesFromTableWithName(const std::string& table,
                                                                             const std::string& column,
                                                                             const platform::Value& value,
                                                                             platform::Error* error,
                                                                             const CreateBlock<T>& block);
  bool insertDataType(const APMRecord* record, const std::string& table, platform::Error* error);
  bool upsertDataType(const APMRecord* record, const std::string& table, const std::string& column,
                      const platform::Value& value, std::int64_t tableLimit, platform::Error* error);
  bool updateDataType(const APMRecord* record, const std::string& table, const std::string& column,
                      const platform::Value& value, platform::Error* error);

  // Raw-event metadata.
  bool insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle& metadata, platform::Error* error);
  std::shared_ptr<APMPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(std::int64_t fingerprint,
                                                                                platform::Error* error);
  bool deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint, platform::Error* error);
  bool deleteUnusedRawEventsMetadata(platform::Error* error);
  // Nothing with no error when there are no raw events.
  std::optional<std::int64_t> nextMetadataFingerprintToProcess(platform::Error* error);

  // Raw events.
  bool insertRawEvent(const APMPBEvent* event, std::int64_t metadataFingerprint, bool isRealtime,
                      platform::Error* error);
  std::optional<std::vector<std::shared_ptr<const APMRawEventData>>> rawEventsWithMetadataFingerprint(
      std::int64_t fingerprint, platform::Error* error, const RowFilter& eventFilter = nullptr);
  std::shared_ptr<const APMRawEventData> rawEventDataFromDictionary(const APMRecord& row, platform::Error* error);
  std::optional<bool> isRawEventsTableEmpty(platform::Error* error);
  std::optional<platform::Value> queryLatestRawEventTime(platform::Error* error);
  std::optional<bool> containsRawEventWithMetadataFingerprint(std::int64_t fingerprint, platform::Error* error);
  std::optional<bool> containsRealtimeRawEventsWithError(platform::Error* error);
  bool deleteRawEventsWithMaxRowID(std::int64_t rowID, platform::Error* error);
  std::optional<std::int64_t> deleteRawEventsOverAbsoluteLimit(platform::Error* error);
  bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, platform::Error* error);

  // Bundle queue.
  bool insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime, platform::Error* error);
  std::optional<std::vector<BundleAndRowID>> queryBundlesWithCountLimit(std::int64_t countLimit,
                                                                        std::int64_t sizeLimit,
                                                                        platform::Error* error);
  std::optional<std::vector<BundleAndRowID>> queryBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs,
                                                                    platform::Error* error);
  bool incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs, platform::Error* error);
  bool deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, platform::Error* error);
  bool deleteStaleBundlesOlderThanMaxAge(double maxAge, platform::Error* error);
  std::optional<bool> isQueuedBundleTableEmpty(platform::Error* error);
  std::optional<platform::Value> queryLatestBundleTime(platform::Error* error);
  std::optional<bool> containsRealtimeBundlesWithError(platform::Error* error);
  // YES when the sweep ran, NO when it was not due; nothing on failure.
  std::optional<bool> maybeDeleteStaleData(platform::Error* error);

  // Event aggregates.
  std::shared_ptr<APMEventAggregates> eventAggregatesWithName(const std::string& name, platform::Error* error);
  std::optional<std::vector<std::shared_ptr<APMEventAggregates>>> allEventAggregates(platform::Error* error);
  bool updateEventAggregates(const APMEventAggregates* aggregates, platform::Error* error);
  std::optional<std::int64_t> publicEventCount(platform::Error* error);
  bool clearCurrentSessionCounts(platform::Error* error);

  // User properties.
  std::shared_ptr<const APMUserAttribute> userAttributeWithName(const std::string& name, platform::Error* error);
  std::optional<bool> containsUserAttributeWithName(const std::string& name, platform::Error* error);
  std::optional<std::int64_t> userAttributeCountForOrigin(const std::string& origin, platform::Error* error);
  std::optional<std::int64_t> publicUserAttributeCount(platform::Error* error);
  std::optional<std::vector<std::shared_ptr<const APMUserAttribute>>> userAttributesIncludingInternal(
      bool includingInternal, platform::Error* error);
  std::optional<std::vector<std::shared_ptr<const APMUserAttribute>>> allLifetimeValueUserAttributes(
      platform::Error* error);
  bool updateUserAttribute(const APMUserAttribute* attribute, platform::Error* error);
  bool deleteUserAttributeWithName(const std::string& name, platform::Error* error);

  // Audience filters and results.
  std::optional<std::vector<std::shared_ptr<APMEventFilter>>> eventFiltersForEventName(const std::string& name,
                                                                                       platform::Error* error);
  std::optional<std::vector<std::shared_ptr<APMPropertyFilter>>> propertyFiltersForPropertyName(
      const std::string& name, platform::Error* error);
  std::optional<std::vector<std::int64_t>> allAudienceIDs(platform::Error* error);
  std::optional<std::map<std::int64_t, std::vector<std::int64_t>>> allSessionScopedFilters(platform::Error* error);
  std::optional<std::map<std::int64_t, std::shared_ptr<APMFilterResult>>> allFilterResults(platform::Error* error);
  std::shared_ptr<APMFilterResult> filterResultForAudienceID(std::int32_t audienceID, platform::Error* error);
  bool updateEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters, platform::Error* error);
  bool updatePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters, platform::Error* error);
  bool updateFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results, platform::Error* error);
  bool deleteEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters, platform::Error* error);
  bool deletePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters, platform::Error* error);
  bool deleteFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results, platform::Error* error);
  bool deleteAllEventFilters(platform::Error* error);
  bool deleteAllPropertyFilters(platform::Error* error);

  // Conditional user properties.
  std::shared_ptr<APMConditionalUserProperty> conditionalUserPropertyWithName(const std::string& name,
                                                                              platform::Error* error);
  bool updateConditionalUserProperty(const APMConditionalUserProperty* property, platform::Error* error);
  bool deleteConditionalUserPropertyWithName(const std::string& name, platform::Error* error);
  using ConditionalProperties = std::vector<std::shared_ptr<APMConditionalUserProperty>>;
  std::optional<ConditionalProperties> timedOutConditionalUserPropertiesWithError(platform::Error* error);
  std::optional<ConditionalProperties> expiredConditionalUserPropertiesWithError(platform::Error* error);
  std::optional<ConditionalProperties> triggeredConditionalUserPropertiesWithEventName(const std::string& eventName,
                                                                                       platform::Error* error);
  std::optional<ConditionalProperties> conditionalUserPropertiesWithPrefix(const std::string& prefix,
                                                                           const std::string& origin,
                                                                           platform::Error* error);
  std::optional<ConditionalProperties> conditionalUserPropertiesWithCondition(const std::string& condition,
                                                                              const APMParameterValues& values,
                                                                              platform::Error* error);

  // Purchases.
  std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint, platform::Error* error);
  // Writes kept for a held database and done, by ID: a write named in the journal of an earlier
  // run is done once however often the journal is read. Recorded in the write's own transaction.
  std::optional<bool> containsDoneKeptWriteID(const std::string& id, platform::Error* error);
  bool insertDoneKeptWriteID(const std::string& id, platform::Error* error);
  // Once no journal may name them: the journals that did are gone.
  bool deleteDoneKeptWriteIDs(const std::vector<std::string>& ids, platform::Error* error);
  std::optional<bool> insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID, platform::Error* error);
  std::optional<std::int64_t> deleteSubscriptionsOverLimit(platform::Error* error);

  // Complex events awaiting audience evaluation.
  bool updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID, std::int64_t childEventCount,
                                                          const APMPBEvent* mainEvent, platform::Error* error);
  std::optional<std::pair<std::shared_ptr<APMPBEvent>, std::int64_t>> mainEventAndChildCountPairWithEventID(
      std::int64_t eventID, platform::Error* error);
  bool deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID, platform::Error* error);

  // The downloaded measurement configuration.
  bool updateRemoteConfig(const APMPBMeasurementConfig& config, platform::Error* error);
  bool updateRemoteConfigSuccessfulTimestamp(double timestamp, platform::Error* error);
  std::shared_ptr<APMPBMeasurementConfig> queryMeasurementConfigWithError(platform::Error* error);
  std::optional<platform::Value> lastRemoteConfigUpdateTimestamp(platform::Error* error);

 private:
  explicit APMDatabase(std::shared_ptr<APMPersistedConfig> persistedConfig);
  bool performTransaction(const std::function<bool()>& block, platform::Error* error, bool retriable);
  std::shared_ptr<APMRemoteConfig> remoteConfig() const;
  std::optional<bool> boolForQuery(const std::string& query, const APMParameterValues& values,
                                   platform::Error* error);
  std::optional<std::int64_t> integerForQuery(const std::string& query, const APMParameterValues& values,
                                              platform::Error* error);
  std::shared_ptr<APMConditionalUserProperty> conditionalUserPropertyFromDictionary(const APMRecord& row,
                                                                                    platform::Error* error);
  // The bundle of a queue row; a row that cannot be read is deleted (logged) and gives nothing.
  std::shared_ptr<APMPBMeasurementBundle> readableBundleFromQueueRow(const APMRecord& row);
  std::optional<bool> insertIfNotDuplicate(const std::string& table, const std::string& column,
                                           const std::string& value, bool trimToLimit, platform::Error* error);

  std::unique_ptr<APMSqliteStore> store_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
};

// Seconds since 1970 on the platform clock.
double APMDatabaseNow();

template <class T>
std::optional<std::vector<std::shared_ptr<T>>> APMDatabase::allDataTypesFromTableWithName(
    const std::string& table, std::int64_t tableLimit, platform::Error* error, const CreateBlock<T>& block) {
  if (!block) {
    APMSetError(error, 1, "Received nil block to get all data types");
    return std::nullopt;
  }
  const auto rows = store_->recordsForQuery(
      "SELECT rowid, * FROM " + table + " ORDER BY rowid LIMIT " + std::to_string(tableLimit), {}, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<T>> objects;
  for (const APMRecord& row : *rows) {
    if (auto object = block(row)) objects.push_back(std::move(object));
  }
  return objects;
}

template <class T>
std::optional<std::vector<std::shared_ptr<T>>> APMDatabase::dataTypesFromTableWithName(
    const std::string& table, const std::string& column, const platform::Value& value, platform::Error* error,
    const CreateBlock<T>& block) {
  if (table.empty()) {
    APMSetError(error, 1, "Received empty table name to create data type from table");
    return std::nullopt;
  }
  if (column.empty()) {
    APMSetError(error, 1, "Received empty column name to create data type from table");
    return std::nullopt;
  }
  if (value.isNull()) {
    APMSetError(error, 1, "Received nil column value to create data type from table");
    return std::nullopt;
  }
  if (!block) {
    APMSetError(error, 2, "Received nil block to create data type from table");
    return std::nullopt;
  }
  const auto rows = store_->recordsForQuery("SELECT rowid, * FROM " + table + " WHERE " + column + " = ?", {value},
                                            error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<T>> objects;
  for (const APMRecord& row : *rows) {
    if (auto object = block(row)) objects.push_back(std::move(object));
  }
  if (!rows->empty() && objects.empty()) {
    APMSetError(error, 2, "Failed to initialize data types from dictionaries");
    return std::nullopt;
  }
  return objects;
}

// A user-property or conditional-property value as stored: text, a double or a 64-bit integer.
platform::Value APMStoredFormOfValue(const APMValue& value);
APMValuePtr APMValueFromStoredForm(const platform::Value& stored);
