// Audience filters and results, conditional user properties, purchase fingerprints, complex
// events and the stored measurement configuration of the measurement database.
#include <algorithm>
#include <set>

#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_database_row.h"
#include "sdk/analytics/storage/apm_event_params.h"

using platform::Data;
using platform::Error;
using platform::Value;
using namespace APMDatabaseRow;

namespace {

constexpr std::int64_t kMaxConditionalProperties = 1000;
constexpr std::int64_t kMaxPurchaseRows = 1000;
const Value& kMetadataRowID = metadataRowID();

double doubleOr(const APMRecord& row, std::string_view name) { return APMDatabaseRow::doubleOr(row, name, 0.0); }

// The flags of a filter come from its message, not from the session_scoped column.
template <class Message, class Filter>
std::shared_ptr<Filter> filterFromRow(const APMRecord& row, std::string_view nameColumn, std::uint32_t sessionTag,
                                      std::uint32_t dynamicTag, std::uint32_t sequenceTag) {
  const Data data = dataOf(row, "data").value_or(Data{});
  bool session = false, dynamic = false, sequence = false;
  if (auto message = Message::initWithBuffer(data)) {
    session = NANOGetBool(message.get(), APMFieldIndex(*message, sessionTag));
    dynamic = NANOGetBool(message.get(), APMFieldIndex(*message, dynamicTag));
    sequence = NANOGetBool(message.get(), APMFieldIndex(*message, sequenceTag));
  }
  return std::make_shared<Filter>(static_cast<std::int32_t>(integerOr(row, "audience_id", 0)),
                                  static_cast<std::int32_t>(integerOr(row, "filter_id", 0)),
                                  stringOr(row, nameColumn), data, session, dynamic, sequence);
}

template <class Filter>
bool writeFilters(APMDatabase& database, const std::vector<std::shared_ptr<Filter>>& filters, const std::string& table,
                  const std::string& nameColumn, std::string_view kind, Error* error) {
  const std::string k(kind);
  if (filters.empty()) {
    APMSetError(error, 1, "Received empty " + k + " filters to update");
    return false;
  }
  for (const auto& filter : filters) {
    if (!filter) {
      APMSetError(error, 3, "Received empty " + k + " filter for getting dictionary representation");
      return false;
    }
    if (filter->name.empty()) {
      APMSetError(error, 3, "Received " + k + " filter with empty " + k + " name for getting dictionary representation");
      return false;
    }
    if (filter->data.empty()) {
      APMSetError(error, 3, "Received " + k + " filter with empty data for getting dictionary representation");
      return false;
    }
    const APMRecord row{{"audience_id", Value(std::int64_t{filter->audienceID})},
                        {"filter_id", Value(std::int64_t{filter->filterID})},
                        {nameColumn, Value(filter->name)},
                        {"data", Value(filter->data)},
                        {"session_scoped", Value(std::int64_t{filter->sessionScoped ? 1 : 0})}};
    if (!database.insertDataType(&row, table, error)) return false;
  }
  return true;
}

template <class Filter>
bool deleteFilters(APMSqliteStore& store, const std::vector<std::shared_ptr<Filter>>& filters,
                   const std::string& table, std::string_view kind, Error* error) {
  const std::string k(kind);
  if (filters.empty()) {
    APMSetError(error, 1, "Received empty " + k + " filters to delete");
    return false;
  }
  std::string condition;
  for (const auto& filter : filters) {
    if (!filter) {
      APMSetError(error, 1, "Received unknown type to delete " + k + " filter");
      return false;
    }
    if (!condition.empty()) condition += " OR ";
    condition += "(audience_id=" + std::to_string(filter->audienceID) +
                 " AND filter_id=" + std::to_string(filter->filterID) + ")";
  }
  return store.deleteRecordsFromTableWithName(table, condition, {}, error).has_value();
}

std::shared_ptr<APMFilterResult> filterResultFromRow(const APMRecord& row) {
  return std::make_shared<APMFilterResult>(static_cast<std::int32_t>(integerOr(row, "audience_id", 0)),
                                           dataOf(row, "current_results").value_or(Data{}),
                                           dataOf(row, "previous_results"));
}

}  // namespace

// --- Audience filters and results ---

std::optional<std::vector<std::shared_ptr<APMEventFilter>>> APMDatabase::eventFiltersForEventName(
    const std::string& name, Error* error) {
  if (name.empty()) {
    APMSetError(error, 1, "Received empty event name for getting event filters");
    return std::nullopt;
  }
  return dataTypesFromTableWithName<APMEventFilter>("event_filters", "event_name", Value(name), error,
                                                    [](const APMRecord& row) {
                                                      return filterFromRow<APMPBEventFilter, APMEventFilter>(
                                                          row, "event_name", 8, 6, 7);
                                                    });
}

std::optional<std::vector<std::shared_ptr<APMPropertyFilter>>> APMDatabase::propertyFiltersForPropertyName(
    const std::string& name, Error* error) {
  if (name.empty()) {
    APMSetError(error, 1, "Received empty property name for getting property filters");
    return std::nullopt;
  }
  return dataTypesFromTableWithName<APMPropertyFilter>("property_filters", "property_name", Value(name), error,
                                                       [](const APMRecord& row) {
                                                         return filterFromRow<APMPBPropertyFilter, APMPropertyFilter>(
                                                             row, "property_name", 6, 4, 5);
                                                       });
}

std::optional<std::vector<std::int64_t>> APMDatabase::allAudienceIDs(Error* error) {
  const auto rows = store_->recordsForQuery(
      "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {}, error);
  if (!rows) return std::nullopt;
  std::vector<std::int64_t> ids;
  for (const APMRecord& row : *rows) {
    const Value* id = column(row, "audience_id");
    if (!id) {
      APMSetError(error, 1, "Received nil audience ID for querying all audience IDs");
      return std::nullopt;
    }
    ids.push_back(id->integerValue());
  }
  return ids;
}

std::optional<std::map<std::int64_t, std::vector<std::int64_t>>> APMDatabase::allSessionScopedFilters(Error* error) {
  const auto rows = store_->recordsForQuery(
      "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION SELECT audience_id, filter_id "
      "FROM property_filters WHERE session_scoped = 1",
      {}, error);
  if (!rows) return std::nullopt;
  std::map<std::int64_t, std::vector<std::int64_t>> filters;
  for (const APMRecord& row : *rows) {
    const Value* audience = column(row, "audience_id");
    const Value* filter = column(row, "filter_id");
    if (audience && filter) filters[audience->integerValue()].push_back(filter->integerValue());
  }
  return filters;
}

std::optional<std::map<std::int64_t, std::shared_ptr<APMFilterResult>>> APMDatabase::allFilterResults(Error* error) {
  const auto results = allDataTypesFromTableWithName<APMFilterResult>("audience_filter_values", -1, error,
                                                                      &filterResultFromRow);
  if (!results) return std::nullopt;
  std::map<std::int64_t, std::shared_ptr<APMFilterResult>> byAudience;
  for (const auto& result : *results) byAudience[result->audienceID()] = result;
  return byAudience;
}

std::shared_ptr<APMFilterResult> APMDatabase::filterResultForAudienceID(std::int32_t audienceID, Error* error) {
  const auto results = dataTypesFromTableWithName<APMFilterResult>(
      "audience_filter_values", "audience_id", Value(std::int64_t{audienceID}), error, &filterResultFromRow);
  if (!results || results->empty()) return nullptr;
  return results->front();
}

bool APMDatabase::updateEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters, Error* error) {
  return writeFilters(*this, filters, "event_filters", "event_name", "event", error);
}

bool APMDatabase::updatePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters, Error* error) {
  return writeFilters(*this, filters, "property_filters", "property_name", "property", error);
}

bool APMDatabase::updateFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results, Error* error) {
  if (results.empty()) {
    APMSetError(error, 1, "Received empty filter results to update");
    return false;
  }
  for (const auto& result : results) {
    if (!result) {
      APMSetError(error, 3, "Received empty filter result for getting dictionary representation");
      return false;
    }
    if (result->currentResults().empty()) {
      APMSetError(error, 3, "Received filter result with empty data for getting dictionary representation");
      return false;
    }
    const auto& previous = result->previousResults();
    const APMRecord row{{"audience_id", Value(std::int64_t{result->audienceID()})},
                        {"current_results", Value(result->currentResults())},
                        {"previous_results", previous && !previous->empty() ? Value(*previous) : Value()}};
    if (!insertDataType(&row, "audience_filter_values", error)) return false;
  }
  return true;
}

bool APMDatabase::deleteEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters, Error* error) {
  return deleteFilters(*store_, filters, "event_filters", "event", error);
}

bool APMDatabase::deletePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters, Error* error) {
  return deleteFilters(*store_, filters, "property_filters", "property", error);
}

bool APMDatabase::deleteFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results, Error* error) {
  if (results.empty()) {
    APMSetError(error, 1, "Received empty filter results to delete");
    return false;
  }
  std::set<std::int32_t> audiences;
  for (const auto& result : results) {
    if (!result) {
      APMSetError(error, 1, "Received unknown type to delete filter result");
      return false;
    }
    audiences.insert(result->audienceID());
  }
  std::string ids;
  for (std::int32_t id : audiences) ids += (ids.empty() ? "" : ",") + std::to_string(id);
  return store_->deleteRecordsFromTableWithName("audience_filter_values", "audience_id IN (" + ids + ")", {}, error)
      .has_value();
}

bool APMDatabase::deleteAllEventFilters(Error* error) {
  return store_->deleteAllRecordsFromTableWithName("event_filters", error);
}

bool APMDatabase::deleteAllPropertyFilters(Error* error) {
  return store_->deleteAllRecordsFromTableWithName("property_filters", error);
}

// --- Conditional user properties ---

std::shared_ptr<APMConditionalUserProperty> APMDatabase::conditionalUserPropertyFromDictionary(const APMRecord& row,
                                                                                               Error* error) {
  auto property = std::make_shared<APMConditionalUserProperty>();
  property->name = stringOr(row, "name");
  property->origin = stringOr(row, "origin");
  if (const Value* value = column(row, "value")) property->value = APMValueFromStoredForm(*value);
  property->triggerTimeout = doubleOr(row, "trigger_timeout");
  property->timeToLive = doubleOr(row, "time_to_live");
  property->triggerEventName = stringOr(row, "trigger_event_name");
  struct Slot {
    const char* column;
    std::shared_ptr<APMPBEvent> APMConditionalUserProperty::*member;
  };
  for (const Slot slot : {Slot{"triggered_event", &APMConditionalUserProperty::triggeredEvent},
                          Slot{"timed_out_event", &APMConditionalUserProperty::timedOutEvent},
                          Slot{"expired_event", &APMConditionalUserProperty::expiredEvent}}) {
    const Value* stored = column(row, slot.column);
    if (!stored) continue;
    auto event = APMEventFromStoredValue(*stored, error);
    if (!event) return nullptr;
    (*property).*slot.member = std::move(event);
  }
  property->active = integerOr(row, "active", 0) != 0;
  property->creationTimestamp = doubleOr(row, "creation_timestamp");
  property->triggeredTimestamp = doubleOr(row, "triggered_timestamp");
  return property;
}

std::shared_ptr<APMConditionalUserProperty> APMDatabase::conditionalUserPropertyWithName(const std::string& name,
                                                                                         Error* error) {
  const auto objects = dataTypesFromTableWithName<APMConditionalUserProperty>(
      "conditional_properties", "name", Value(name), error,
      [&](const APMRecord& row) { return conditionalUserPropertyFromDictionary(row, error); });
  if (!objects || objects->empty()) return nullptr;
  return objects->front();
}

bool APMDatabase::updateConditionalUserProperty(const APMConditionalUserProperty* property, Error* error) {
  if (!property) {
    APMSetError(error, 3, "Received empty conditional user property for getting dictionary representation");
    return false;
  }
  if (property->name.empty()) {
    APMSetError(error, 3, "Received conditional user property with empty name for getting dictionary representation");
    return false;
  }
  if (property->origin.empty()) {
    APMSetError(error, 3,
                "Received conditional user property with empty origin for getting dictionary representation");
    return false;
  }
  if (!property->value) {
    APMSetError(error, 3, "Received conditional user property with nil value for getting dictionary representation");
    return false;
  }
  APMRecord row{{"name", Value(property->name)},
                {"origin", Value(property->origin)},
                {"value", APMStoredFormOfValue(*property->value)},
                {"creation_timestamp", Value(property->creationTimestamp)},
                {"active", Value(std::int64_t{property->active ? 1 : 0})},
                {"trigger_timeout", Value(property->triggerTimeout)},
                {"triggered_timestamp", Value(property->triggeredTimestamp)},
                {"time_to_live", Value(property->timeToLive)}};
  if (!property->triggerEventName.empty()) row["trigger_event_name"] = Value(property->triggerEventName);
  const std::pair<const char*, const std::shared_ptr<APMPBEvent>*> events[] = {
      {"triggered_event", &property->triggeredEvent},
      {"timed_out_event", &property->timedOutEvent},
      {"expired_event", &property->expiredEvent}};
  for (const auto& [name, event] : events) {
    if (!*event) continue;
    if (auto bytes = (*event)->protoBuffer()) row[name] = Value(*bytes);
  }
  return upsertDataType(&row, "conditional_properties", "name", Value(property->name), kMaxConditionalProperties,
                        error);
}

bool APMDatabase::deleteConditionalUserPropertyWithName(const std::string& name, Error* error) {
  return store_->deleteRecordFromTableWithName("conditional_properties", "name", Value(name), error);
}

std::optional<APMDatabase::ConditionalProperties> APMDatabase::conditionalUserPropertiesWithCondition(
    const std::string& condition, const APMParameterValues& values, Error* error) {
  if (condition.empty()) {
    APMSetError(error, 1, "Received empty condition for querying a conditional user property");
    return std::nullopt;
  }
  const auto rows = store_->recordsForQuery("SELECT rowid, * FROM conditional_properties WHERE " + condition, values,
                                            error);
  if (!rows) return std::nullopt;
  ConditionalProperties properties;
  for (const APMRecord& row : *rows) {
    auto property = conditionalUserPropertyFromDictionary(row, error);
    if (!property) return std::nullopt;
    properties.push_back(std::move(property));
  }
  return properties;
}

std::optional<APMDatabase::ConditionalProperties> APMDatabase::timedOutConditionalUserPropertiesWithError(
    Error* error) {
  return conditionalUserPropertiesWithCondition("active=0 and abs(? - creation_timestamp) > trigger_timeout",
                                                {Value(APMDatabaseNow())}, error);
}

std::optional<APMDatabase::ConditionalProperties> APMDatabase::expiredConditionalUserPropertiesWithError(
    Error* error) {
  return conditionalUserPropertiesWithCondition("active=1 and abs(? - triggered_timestamp) > time_to_live",
                                                {Value(APMDatabaseNow())}, error);
}

std::optional<APMDatabase::ConditionalProperties> APMDatabase::triggeredConditionalUserPropertiesWithEventName(
    const std::string& eventName, Error* error) {
  if (eventName.empty()) {
    APMSetError(error, 1, "Received nil/empty event name for querying triggered conditional user properties");
    return std::nullopt;
  }
  return conditionalUserPropertiesWithCondition(
      "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
      {Value(eventName), Value(APMDatabaseNow())}, error);
}

namespace {

// A LIKE operand that matches the text literally: "_" and "%" are wildcards otherwise.
std::string escapeLike(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '!' || c == '_' || c == '%') escaped += '!';
    escaped += c;
  }
  return escaped;
}

}  // namespace

std::optional<APMDatabase::ConditionalProperties> APMDatabase::conditionalUserPropertiesWithPrefix(
    const std::string& prefix, const std::string& origin, Error* error) {
  std::string condition;
  APMParameterValues values;
  if (!origin.empty()) {
    condition = "origin LIKE ? ESCAPE '!'";
    values.push_back(Value(escapeLike(origin)));
  }
  if (!prefix.empty()) {
    if (!condition.empty()) condition += " AND ";
    condition += "name LIKE ? || '%' ESCAPE '!'";
    values.push_back(Value(escapeLike(prefix)));
  }
  if (condition.empty()) condition = "1 == 1";
  return conditionalUserPropertiesWithCondition(condition, values, error);
}

// --- Purchases ---

std::optional<bool> APMDatabase::insertIfNotDuplicate(const std::string& table, const std::string& column,
                                                      const std::string& value, bool trimToLimit, Error* error) {
  if (value.empty()) return false;
  const auto exists =
      boolForQuery("SELECT EXISTS (SELECT 1 FROM " + table + " WHERE " + column + " = ? LIMIT 1)", {Value(value)},
                   error);
  if (!exists) return std::nullopt;
  if (*exists) return false;
  const APMRecord row{{column, Value(value)}};
  if (!insertDataType(&row, table, error)) return std::nullopt;
  if (trimToLimit &&
      !store_->deleteRecordsFromTableWithName(
          table, "rowid IN (SELECT rowid FROM " + table + " ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
          {Value(kMaxPurchaseRows)}, error)) {
    return std::nullopt;
  }
  return true;
}

std::optional<bool> APMDatabase::insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                                         Error* error) {
  return insertIfNotDuplicate("purchase_transactions", "fingerprint", fingerprint, true, error);
}

std::optional<bool> APMDatabase::containsDoneKeptWriteID(const std::string& id, Error* error) {
  return boolForQuery("SELECT EXISTS (SELECT 1 FROM done_kept_writes WHERE id = ? LIMIT 1)", {Value(id)}, error);
}

bool APMDatabase::insertDoneKeptWriteID(const std::string& id, Error* error) {
  const APMRecord row{{"id", Value(id)}};
  return insertDataType(&row, "done_kept_writes", error);
}

bool APMDatabase::deleteDoneKeptWriteIDs(const std::vector<std::string>& ids, Error* error) {
  // In pieces well under SQLite's bound on a statement's parameters.
  constexpr std::size_t kPiece = 500;
  return performTransaction([&] {
    for (std::size_t start = 0; start < ids.size(); start += kPiece) {
      const std::size_t count = std::min(kPiece, ids.size() - start);
      std::string where = "id IN (?";
      for (std::size_t i = 1; i < count; ++i) where += ",?";
      where += ")";
      APMParameterValues values;
      for (std::size_t i = 0; i < count; ++i) values.emplace_back(ids[start + i]);
      if (!store_->deleteRecordsFromTableWithName("done_kept_writes", where, values, error)) return false;
    }
    return true;
  });
}

std::optional<bool> APMDatabase::insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID, Error* error) {
  return insertIfNotDuplicate("subscriptions", "subscription_id", subscriptionID, false, error);
}

std::optional<std::int64_t> APMDatabase::deleteSubscriptionsOverLimit(Error* error) {
  return store_->deleteRecordsFromTableWithName(
      "subscriptions", "rowid IN (SELECT rowid FROM subscriptions ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
      {Value(kMaxPurchaseRows)}, error);
}

// --- Complex events ---

bool APMDatabase::updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                                     std::int64_t childEventCount,
                                                                     const APMPBEvent* mainEvent, Error* error) {
  if (!mainEvent) {
    APMSetError(error, 1, "Received nil main event");
    return false;
  }
  const auto bytes = mainEvent->protoBuffer();
  if (!bytes || bytes->empty()) {
    APMSetError(error, 1, "Cannot create the main event blob");
    return false;
  }
  const APMRecord row{{"main_event", Value(*bytes)},
                      {"event_id", Value(eventID)},
                      {"children_to_process", Value(childEventCount)}};
  return insertDataType(&row, "main_event_params", error);
}

std::optional<std::pair<std::shared_ptr<APMPBEvent>, std::int64_t>> APMDatabase::mainEventAndChildCountPairWithEventID(
    std::int64_t eventID, Error* error) {
  const auto rows =
      store_->recordsForQuery("SELECT * FROM main_event_params WHERE event_id=? LIMIT 1", {Value(eventID)}, error);
  if (!rows || rows->empty()) return std::nullopt;
  const Value* blob = column(rows->front(), "main_event");
  auto event = blob ? APMEventFromStoredValue(*blob, nullptr) : nullptr;
  if (!event) {
    APMSetError(error, 3, "Main event blob is nil in database");
    return std::nullopt;
  }
  const Value* count = column(rows->front(), "children_to_process");
  if (!count) {
    APMSetError(error, 3, "Complex event does not have children count in database");
    return std::nullopt;
  }
  return std::make_pair(std::move(event), count->integerValue());
}

bool APMDatabase::deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID, Error* error) {
  return store_->deleteRecordsFromTableWithName("main_event_params", "event_id=?", {Value(eventID)}, error)
      .has_value();
}

// --- Measurement configuration ---

bool APMDatabase::updateRemoteConfig(const APMPBMeasurementConfig& config, Error* error) {
  const auto bytes = config.protoBuffer();
  if (!bytes || bytes->empty()) {
    APMSetError(error, 1, "Invalid measurement config data");
    return false;
  }
  if (NANOGetString(&config, APMFieldIndex(config, 2)).value_or("").empty()) {
    APMSetError(error, 1, "Missing Videzu app ID in measurement configuration");
    return false;
  }
  const APMRecord row{{"remote_config_data", Value(*bytes)}, {"remote_config_timestamp", Value(APMDatabaseNow())}};
  return updateDataType(&row, "app_metadata", "rowid", kMetadataRowID, error);
}

bool APMDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, Error* error) {
  const APMRecord row{{"remote_config_timestamp", Value(timestamp)}};
  return updateDataType(&row, "app_metadata", "rowid", kMetadataRowID, error);
}

std::shared_ptr<APMPBMeasurementConfig> APMDatabase::queryMeasurementConfigWithError(Error* error) {
  const auto rows = store_->recordsForQuery("SELECT remote_config_data FROM app_metadata LIMIT 1", {}, error);
  if (!rows || rows->empty()) return nullptr;
  const auto data = dataOf(rows->front(), "remote_config_data");
  if (!data || data->empty()) return nullptr;
  auto config = APMPBMeasurementConfig::initWithBuffer(*data);
  if (!config) APMSetError(error, 2, "Remote config data is corrupted");
  return config;
}

std::optional<Value> APMDatabase::lastRemoteConfigUpdateTimestamp(Error* error) {
  return store_->numberForQuery("SELECT remote_config_timestamp FROM app_metadata LIMIT 1", {}, error);
}
