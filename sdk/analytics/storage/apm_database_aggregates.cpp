// Event aggregates and user properties of the measurement database.
#include "sdk/analytics/common/apm_data_type_validator.h"
#include "sdk/analytics/common/apm_names.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_database_row.h"

using namespace APMDatabaseRow;

using platform::Error;
using platform::Value;

namespace {

constexpr std::int64_t kMaxEventNames = 1000;
constexpr std::int64_t kMaxUserAttributes = 1000;

std::shared_ptr<APMEventAggregates> aggregatesFromRow(const APMRecord& row) {
  const std::string name = stringOr(row, "name");
  if (name.empty()) return nullptr;
  auto aggregates = std::make_shared<APMEventAggregates>(
      name, static_cast<std::int32_t>(integerOr(row, "lifetime_count", 0)),
      static_cast<std::int32_t>(integerOr(row, "current_bundle_count", 0)),
      static_cast<std::int32_t>(integerOr(row, "current_session_count", 0)), doubleOr(row, "last_fire_timestamp", 0));
  aggregates->setLastBundledTimestamp(doubleOr(row, "last_bundled_timestamp", 0.0));
  if (const Value* id = column(row, "last_sampled_complex_event_id"); id && id->isNumber()) {
    aggregates->setLastSampledComplexEventID(id->integerValue());
  }
  aggregates->setLastSamplingRate(static_cast<std::int32_t>(integerOr(row, "last_sampling_rate", 1)));
  aggregates->setLastExemptFromSampling(integerOr(row, "last_exempt_from_sampling", 0) != 0);
  aggregates->setLastBundledDay(static_cast<std::int32_t>(integerOr(row, "last_bundled_day", 0)));
  return aggregates;
}

}  // namespace

// The stored form of a value: text, a double, or a 64-bit integer.
Value APMStoredFormOfValue(const APMValue& value) {
  if (const std::string* s = value.stringValue()) return Value(*s);
  if (value.isDouble()) return Value(value.doubleValue());
  return Value(value.isInt64() ? value.int64Value() : std::int64_t{0});
}

APMValuePtr APMValueFromStoredForm(const Value& stored) { return APMValue::valueFromObject(APMObject(stored)); }

// --- Event aggregates ---

std::shared_ptr<APMEventAggregates> APMDatabase::eventAggregatesWithName(const std::string& name, Error* error) {
  const auto objects = dataTypesFromTableWithName<APMEventAggregates>("events", "name", Value(name), error,
                                                                      &aggregatesFromRow);
  if (!objects || objects->empty()) return nullptr;
  return objects->front();
}

std::optional<std::vector<std::shared_ptr<APMEventAggregates>>> APMDatabase::allEventAggregates(Error* error) {
  return allDataTypesFromTableWithName<APMEventAggregates>("events", kMaxEventNames, error, &aggregatesFromRow);
}

bool APMDatabase::updateEventAggregates(const APMEventAggregates* aggregates, Error* error) {
  if (!aggregates) {
    APMSetError(error, 3, "Received empty event aggregates object for getting dictionary representation");
    return false;
  }
  if (aggregates->name().empty()) {
    APMSetError(error, 1, "Received event aggregates object with empty name for getting dictionary representation");
    return false;
  }
  auto i = [](std::int64_t v) { return Value(v); };
  APMRecord row{{"name", Value(aggregates->name())},
                {"lifetime_count", i(aggregates->lifetimeCount())},
                {"current_bundle_count", i(aggregates->currentBundleCount())},
                {"current_session_count", i(aggregates->currentSessionCount())},
                {"last_fire_timestamp", Value(aggregates->lastFireTimestamp())},
                {"last_bundled_timestamp", Value(aggregates->lastBundledTimestamp())},
                {"last_sampling_rate", i(aggregates->lastSamplingRate())},
                {"last_exempt_from_sampling", i(aggregates->lastExemptFromSampling() ? 1 : 0)},
                {"last_bundled_day", i(aggregates->lastBundledDay())}};
  if (auto id = aggregates->lastSampledComplexEventID()) row["last_sampled_complex_event_id"] = i(*id);
  return upsertDataType(&row, "events", "name", Value(aggregates->name()), kMaxEventNames, error);
}

std::optional<std::int64_t> APMDatabase::publicEventCount(Error* error) {
  return integerForQuery("SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
}

bool APMDatabase::clearCurrentSessionCounts(Error* error) {
  return store_->updateAllRecordsInTableWithName("events", "current_session_count", Value(std::int64_t{0}), error);
}

// --- User properties ---

namespace {

std::shared_ptr<const APMUserAttribute> userAttributeFromRow(const APMRecord& row, Error* error) {
  if (row.empty()) {
    APMSetError(error, 3, "Received empty dictionary for getting user property");
    return nullptr;
  }
  const Value* stored = column(row, "value");
  APMValuePtr value = stored ? APMValueFromStoredForm(*stored) : nullptr;
  if (!value) return nullptr;
  return std::make_shared<const APMUserAttribute>(stringOr(row, "origin"), stringOr(row, "name"), std::move(value),
                                                  doubleOr(row, "set_timestamp", 0));
}

}  // namespace

std::shared_ptr<const APMUserAttribute> APMDatabase::userAttributeWithName(const std::string& name, Error* error) {
  const auto objects = dataTypesFromTableWithName<const APMUserAttribute>(
      "user_attributes", "name", Value(name), error,
      [&](const APMRecord& row) { return userAttributeFromRow(row, error); });
  if (!objects || objects->empty()) return nullptr;
  return objects->front();
}

std::optional<bool> APMDatabase::containsUserAttributeWithName(const std::string& name, Error* error) {
  if (name.empty()) {
    APMSetError(error, 1, "Received empty user property name for exists query");
    return std::nullopt;
  }
  return boolForQuery("SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)", {Value(name)}, error);
}

std::optional<std::int64_t> APMDatabase::userAttributeCountForOrigin(const std::string& origin, Error* error) {
  if (origin.empty()) {
    APMSetError(error, 1, "Received empty user property origin for count query");
    return std::nullopt;
  }
  return integerForQuery("SELECT count(1) FROM user_attributes WHERE origin = ?", {Value(origin)}, error);
}

std::optional<std::int64_t> APMDatabase::publicUserAttributeCount(Error* error) {
  return integerForQuery("SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
}

std::optional<std::vector<std::shared_ptr<const APMUserAttribute>>> APMDatabase::userAttributesIncludingInternal(
    bool includingInternal, Error* error) {
  auto all = allDataTypesFromTableWithName<const APMUserAttribute>(
      "user_attributes", kMaxUserAttributes, error,
      [](const APMRecord& row) { return userAttributeFromRow(row, nullptr); });
  if (!all || includingInternal) return all;
  std::erase_if(*all, [](const std::shared_ptr<const APMUserAttribute>& attribute) {
    const std::string& name = attribute->name();
    return name.empty() || name.front() == '_' || APMDataTypeValidator::hasReservedPrefixes(name) ||
           APMPublicToInternalUserPropertyNames().count(name) > 0;
  });
  return all;
}

std::optional<std::vector<std::shared_ptr<const APMUserAttribute>>> APMDatabase::allLifetimeValueUserAttributes(
    Error* error) {
  // "_" matches any character in LIKE: escaped so that only names beginning "_ltv_" match.
  const auto rows = store_->recordsForQuery(
      "SELECT * FROM user_attributes WHERE name LIKE ? || '%' ESCAPE '!' ORDER BY set_timestamp DESC",
      {Value("!_ltv!_")}, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<const APMUserAttribute>> attributes;
  for (const APMRecord& row : *rows) {
    auto attribute = userAttributeFromRow(row, error);
    if (!attribute) return std::nullopt;
    attributes.push_back(std::move(attribute));
  }
  return attributes;
}

bool APMDatabase::updateUserAttribute(const APMUserAttribute* attribute, Error* error) {
  if (!attribute) {
    APMSetError(error, 3, "Received empty user property for getting dictionary representation");
    return false;
  }
  if (attribute->origin().empty()) {
    APMSetError(error, 3, "Received user property with empty origin for getting dictionary representation");
    return false;
  }
  if (attribute->name().empty()) {
    APMSetError(error, 1, "Received user property with empty name for getting dictionary representation");
    return false;
  }
  if (!attribute->value() || (attribute->value()->isString() && attribute->value()->stringValue()->empty())) {
    APMSetError(error, 1, "Received empty string value for user property");
    return false;
  }
  const APMRecord row{{"origin", Value(attribute->origin())},
                      {"name", Value(attribute->name())},
                      {"value", APMStoredFormOfValue(*attribute->value())},
                      {"set_timestamp", Value(attribute->lastSetTimestamp())}};
  return upsertDataType(&row, "user_attributes", "name", Value(attribute->name()), kMaxUserAttributes, error);
}

bool APMDatabase::deleteUserAttributeWithName(const std::string& name, Error* error) {
  return store_->deleteRecordFromTableWithName("user_attributes", "name", Value(name), error);
}
