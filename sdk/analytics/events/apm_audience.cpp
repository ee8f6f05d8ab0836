#include "sdk/analytics/events/apm_audience.h"

#include <algorithm>
#include <limits>
#include <map>

#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_names.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/events/apm_audience_filters.h"
#include "sdk/analytics/events/apm_audience_matching.h"
#include "sdk/analytics/events/apm_audience_timestamps_cache.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apm_storage_records.h"

namespace {

constexpr std::int32_t F(std::int32_t tag) { return APMAudienceField(tag); }

template <class T>
std::vector<std::shared_ptr<T>> arrayOf(const NANOMessageBase* message, std::int32_t tag) {
  return NANOGetArray<T>(message, F(tag)).value_or(std::vector<std::shared_ptr<T>>{});
}

std::shared_ptr<APMPBResultData> decodeResultData(const platform::Data& data) {
  if (data.empty()) return nullptr;
  return APMPBResultData::initWithBuffer(data);
}

platform::Data encoded(const NANOMessageBase& message) { return message.protoBuffer().value_or(platform::Data{}); }

// Rewrites the names of an accepted audience's filters to their internal forms.
void rewriteEventFilterNames(APMPBEventFilter& filter) {
  const std::string name = NANOGetString(&filter, F(2)).value_or("");
  NANOSetString(&filter, F(2), APMLookUpName(APMPublicToInternalEventNames(), name));
  auto filters = arrayOf<APMPBFilter>(&filter, 3);
  bool changed = false;
  for (auto& parameterFilter : filters) {
    const std::string parameter = NANOGetString(parameterFilter.get(), F(4)).value_or("");
    const std::string internal = APMLookUpName(APMPublicToInternalParameterNames(), parameter);
    if (internal != parameter) {
      NANOSetString(parameterFilter.get(), F(4), internal);
      changed = true;
    }
  }
  if (changed) NANOSetArray(&filter, F(3), filters);
}

void rewritePropertyFilterName(APMPBPropertyFilter& filter) {
  const std::string name = NANOGetString(&filter, F(2)).value_or("");
  NANOSetString(&filter, F(2), APMLookUpName(APMPublicToInternalUserPropertyNames(), name));
}

}  // namespace

bool APMAudience::updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
  const auto config = APMMeasurementRemoteConfig();
  if (audiences.size() > static_cast<std::size_t>(std::max(config->maxAudienceCount(), 0))) {
    APMLog(2, 6008, "Configuration contains too many audiences. Audiences will not be saved. Audience count",
           static_cast<long long>(audiences.size()));
    return true;
  }
  std::set<std::int32_t> accepted;
  std::vector<std::shared_ptr<APMEventFilter>> eventFilters;
  std::vector<std::shared_ptr<APMPropertyFilter>> propertyFilters;
  for (const auto& audience : audiences) {
    if (!audience) continue;
    platform::Error error;
    if (!APMValidateAudience(*audience, accepted, *config, &error)) {
      APMLog(2, 6009, "Audience definition is invalid. Audience will not be saved. Audience, error",
             APMMessageContext(audience.get()), error);
      continue;
    }
    const std::int32_t audienceID = NANOGetInt32(audience.get(), F(1));
    accepted.insert(audienceID);
    for (const auto& filter : arrayOf<APMPBEventFilter>(audience.get(), 3)) {
      rewriteEventFilterNames(*filter);
      eventFilters.push_back(std::make_shared<APMEventFilter>(
          audienceID, NANOGetInt32(filter.get(), F(1)), NANOGetString(filter.get(), F(2)).value_or(""),
          encoded(*filter), NANOGetBool(filter.get(), F(8)), NANOGetBool(filter.get(), F(6)),
          NANOGetBool(filter.get(), F(7))));
    }
    for (const auto& filter : arrayOf<APMPBPropertyFilter>(audience.get(), 2)) {
      rewritePropertyFilterName(*filter);
      propertyFilters.push_back(std::make_shared<APMPropertyFilter>(
          audienceID, NANOGetInt32(filter.get(), F(1)), NANOGetString(filter.get(), F(2)).value_or(""),
          encoded(*filter), NANOGetBool(filter.get(), F(6)), NANOGetBool(filter.get(), F(4)),
          NANOGetBool(filter.get(), F(5))));
    }
  }
  if (!maybeDeleteStaleFilterResults(accepted)) return false;

  // New definitions: patterns that ran out of time under the old ones get their chance again.
  patterns_.reset();
  // A store failure counts only when it names an error.
  const auto failed = [](bool ok, const platform::Error& error) { return !ok && error.isSet(); };
  platform::Error error;
  if (failed(database_->deleteAllEventFilters(&error), error)) {
    APMLog(1, 6010, "Unable to delete existing Audience event filters. Audiences will not be saved. Error", error);
    return false;
  }
  error = {};
  if (failed(database_->deleteAllPropertyFilters(&error), error)) {
    APMLog(1, 6011, "Unable to delete existing Audience user property filters. Audiences will not be saved. Error",
           error);
    return false;
  }
  error = {};
  if (!eventFilters.empty() && failed(database_->updateEventFilters(eventFilters, &error), error)) {
    APMLog(1, 6012, "Unable to save Audience event filters. Audiences will not be saved. Error", error);
    return false;
  }
  error = {};
  if (!propertyFilters.empty() && failed(database_->updatePropertyFilters(propertyFilters, &error), error)) {
    APMLog(1, 6013, "Unable to save Audience user property filters. Audiences will not be saved. Error", error);
    return false;
  }
  return true;
}

bool APMAudience::maybeDeleteStaleFilterResults(const std::set<std::int32_t>& acceptedAudienceIDs) {
  platform::Error error;
  const auto results = database_->allFilterResults(&error);
  if (!results && error.isSet()) {
    APMLog(1, 6015, "Unable to query Audience filter results. Audiences will not be saved. Error", error);
    return false;
  }
  const std::size_t count = results ? results->size() : 0;
  const std::int32_t limit = APMMeasurementRemoteConfig()->maxFilterResultCount();
  if (count <= static_cast<std::size_t>(std::max(limit, 0))) return true;
  APMLog(3, 6016,
         "Too many Audience filter results. Deleting filter results for deleted Audiences. Filter result count, max "
         "filter result count",
         static_cast<long long>(count), limit);
  error = {};
  const auto storedIDs = database_->allAudienceIDs(&error);
  if (!storedIDs && error.isSet()) {
    APMLog(1, 6017, "Unable to query current Audience IDs. Audiences will not be saved. Error", error);
    return false;
  }
  std::set<std::int64_t> kept(acceptedAudienceIDs.begin(), acceptedAudienceIDs.end());
  if (storedIDs) kept.insert(storedIDs->begin(), storedIDs->end());
  std::vector<std::shared_ptr<APMFilterResult>> stale;
  for (const auto& [audienceID, result] : *results) {
    if (!kept.contains(audienceID)) stale.push_back(result);
  }
  if (stale.empty()) return true;
  error = {};
  if (!database_->deleteFilterResults(stale, &error) && error.isSet()) {
    APMLog(1, 6018, "Unable to delete stale Audience filter results. Audiences will not be saved. Error", error);
    return false;
  }
  return true;
}

namespace {

// What differs between evaluating events and user properties: the filters, the matching, the
// rule for a new result, and the texts of the log lines.
struct EvaluationTexts {
  std::int64_t resultReadCode;
  const char* resultReadMessage;
  std::int64_t corruptCode;
  const char* corruptMessage;
  std::int64_t saveCode;
  const char* saveMessage;
};

constexpr EvaluationTexts kEventTexts{
    6001, "Unable to query filter result for audience. Event will not be evaluated. Event name, error", 6035,
    "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, filter ID, audience ID, "
    "dynamic",
    6003, "Unable to save updated Audience filter results. Event will not be evaluated. Event name, error"};
constexpr EvaluationTexts kPropertyTexts{
    6005, "Unable to query filter result for audience. Property will not be evaluated. Property name, error", 6036,
    "User property filter contains no data or corrupt data. User property will not be evaluated. User property name, "
    "filter ID, audience ID, dynamic",
    6007,
    "Unable to save updated Audience filter results. User property will not be evaluated. User property name, error"};

// Runs the filters of one name; `match` gives the outcome of one filter's decoded data (nothing
// for data that does not decode is told apart by `decodes`).
template <class Filter, class Decode, class Match, class NewResult>
bool evaluateFilters(APMDatabase& database, const std::vector<std::shared_ptr<Filter>>& filters,
                     const std::string& name, double timestamp, APMAudienceTimestampsCache* givenCache,
                     const EvaluationTexts& texts, Decode decode, Match match, NewResult newResult) {
  APMAudienceTimestampsCache ownCache;
  APMAudienceTimestampsCache& cache = givenCache ? *givenCache : ownCache;
  std::map<std::int32_t, std::shared_ptr<APMFilterResult>> read;
  std::map<std::int32_t, std::shared_ptr<APMFilterResult>> updated;
  for (const auto& filter : filters) {
    const std::int32_t audienceID = filter->audienceID;
    std::shared_ptr<APMFilterResult> current;
    if (const auto it = updated.find(audienceID); it != updated.end()) {
      current = it->second;
    } else if (const auto cached = read.find(audienceID); cached != read.end()) {
      current = cached->second;
    } else {
      platform::Error error;
      current = database.filterResultForAudienceID(audienceID, &error);
      if (!current && error.isSet()) {
        APMLog(1, texts.resultReadCode, texts.resultReadMessage, name, error);
        return false;
      }
      read[audienceID] = current;
    }
    const bool currentOutcome = APMAudience::isFilterResultTrueForFilterID(current.get(), filter->filterID);
    if (currentOutcome && !filter->dynamic && !filter->sequence && !filter->sessionScoped) continue;
    const auto message = decode(filter->data);
    if (!message) {
      APMLog(1, texts.corruptCode, texts.corruptMessage,
             APMArray{APMObject(name), APMObject(filter->filterID), APMObject(audienceID), APMObject(filter->dynamic)});
      continue;
    }
    const APMFilterOutcome outcome = match(*message);
    if (!outcome) continue;
    cache.populateCachedTimestamps(current.get(), audienceID);
    if (*outcome) cache.addEvaluationTimestamp(timestamp, *filter);
    updated[audienceID] = APMAudience::updatedFilterResultWithFilterID(
        filter->filterID, audienceID, current.get(), newResult(*filter, *outcome, currentOutcome), &cache);
  }
  if (updated.empty()) return true;
  std::vector<std::shared_ptr<APMFilterResult>> results;
  for (auto& [audienceID, result] : updated) results.push_back(result);
  platform::Error error;
  if (!database.updateFilterResults(results, &error) && error.isSet()) {
    APMLog(1, texts.saveCode, texts.saveMessage, name, error);
    return false;
  }
  return true;
}

}  // namespace

bool APMAudience::evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates* eventAggregates,
                                          APMAudienceTimestampsCache* cache) {
  return evaluateFiltersForEventName(event.name(), event.parameters(), eventAggregates, event.timestamp(), cache);
}

bool APMAudience::evaluateFiltersForEventName(const std::string& eventName, const APMDictionary& eventParameters,
                                              const APMEventAggregates* eventAggregates, double eventTimestamp,
                                              APMAudienceTimestampsCache* cache) {
  platform::Error error;
  const auto filters = database_->eventFiltersForEventName(eventName, &error);
  if (!filters && error.isSet()) {
    APMLog(1, 6000, "Unable to query event filters for event. Event will not be evaluated. Event name, error",
           eventName, error);
    return false;
  }
  if (!filters) return true;
  patterns_.beginEvaluation();
  return evaluateFilters(
      *database_, *filters, eventName, eventTimestamp, cache, kEventTexts,
      [](const platform::Data& data) { return APMPBEventFilter::initWithBuffer(data); },
      [&](const APMPBEventFilter& message) {
        return APMEvaluateEventFilter(&message, eventName, eventParameters, eventAggregates, &patterns_);
      },
      // An event never turns a true event filter false.
      [](const APMEventFilter&, bool outcome, bool current) { return outcome || current; });
}

bool APMAudience::evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                                     APMAudienceTimestampsCache* cache,
                                                     std::optional<double> evaluationTime) {
  const auto attribute = APMUserAttributeFromNanoProperty(property);
  if (!attribute) {
    APMLog(2, 6039, "Could not convert user property from nano format.");
    return false;
  }
  return evaluateFiltersForUserProperty(*attribute, cache, evaluationTime.value_or(attribute->lastSetTimestamp()));
}

bool APMAudience::evaluateFiltersForUserProperty(const APMUserAttribute& property, APMAudienceTimestampsCache* cache,
                                                 double evaluationTimestamp) {
  platform::Error error;
  const auto filters = database_->propertyFiltersForPropertyName(property.name(), &error);
  if (!filters && error.isSet()) {
    APMLog(1, 6004,
           "Unable to query property filters for property. Property will not be evaluated. Property name, error",
           property.name(), error);
    return false;
  }
  if (!filters) return true;
  patterns_.beginEvaluation();
  return evaluateFilters(
      *database_, *filters, property.name(), evaluationTimestamp, cache, kPropertyTexts,
      [](const platform::Data& data) { return APMPBPropertyFilter::initWithBuffer(data); },
      [&](const APMPBPropertyFilter& message) { return APMEvaluatePropertyFilter(&message, &property, &patterns_); },
      // Only a dynamic filter that does not reset with the session follows the property back to false.
      [](const APMPropertyFilter& filter, bool outcome, bool current) {
        if (outcome) return true;
        if (filter.dynamic && !filter.sessionScoped) return false;
        return current;
      });
}

bool APMAudience::isFilterResultTrueForFilterID(const APMFilterResult* result, std::int32_t filterID) {
  if (!result || result->currentResults().empty()) return false;
  const auto data = APMPBResultData::initWithBuffer(result->currentResults());
  const APMResultWords words = data ? APMResultWords::fromResultData(*data) : APMResultWords{};
  if (words.status.empty() || words.results.empty()) {
    APMLog(2, 6023,
           "Audience filter result is non-nil and is missing status or results array. Audience result will not be "
           "bundled. Audience ID, result data",
           result->audienceID(), platform::Value(result->currentResults()));
    return false;
  }
  return words.isTrue(filterID);
}

std::shared_ptr<APMFilterResult> APMAudience::updatedFilterResultWithFilterID(
    std::int32_t filterID, std::int32_t audienceID, const APMFilterResult* currentFilterResult,
    bool newEvaluationResult, const APMAudienceTimestampsCache* cache) {
  APMResultWords words;
  if (currentFilterResult) {
    if (const auto data = decodeResultData(currentFilterResult->currentResults())) {
      words = APMResultWords::fromResultData(*data);
    }
  }
  words.set(filterID, newEvaluationResult);
  auto data = APMPBResultData::initWithMessageInfo();
  words.writeTo(*data);
  if (cache) {
    NANOSetArray(data.get(), F(3), cache->dynamicTimestampsForAudienceID(audienceID));
    if (const auto sequence = cache->sequenceTimestampsForAudienceID(audienceID)) {
      NANOSetArray(data.get(), F(4), *sequence);
    }
  }
  return std::make_shared<APMFilterResult>(audienceID, encoded(*data),
                                           currentFilterResult ? currentFilterResult->previousResults()
                                                               : std::optional<platform::Data>{});
}

bool APMAudience::resultsForBundling(std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>* results) {
  if (results) results->clear();
  platform::Error error;
  const auto stored = database_->allFilterResults(&error);
  if (!stored && error.isSet()) {
    APMLog(1, 6019, "Unable to query Audience filter results. Audience results will not be bundled. Error", error);
    return false;
  }
  std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>> list;
  std::vector<std::shared_ptr<APMFilterResult>> records;
  for (const auto& [key, result] : stored.value_or(std::map<std::int64_t, std::shared_ptr<APMFilterResult>>{})) {
    const std::int32_t audienceID = result->audienceID();
    const auto current = decodeResultData(result->currentResults());
    if (!current) {
      APMLog(2, 6020, "Current result data is nil. Audience result will not be bundled. Audience ID", audienceID);
      continue;
    }
    if (!APMResultWords::fromResultData(*current).anyEvaluated()) {
      APMLog(2, 6021, "Current result status is 0. Audience result will not be bundled. Audience ID", audienceID);
      continue;
    }
    auto leaf = APMPBAudienceLeafFilterResult::initWithMessageInfo();
    NANOSetInt32(leaf.get(), F(1), audienceID);
    NANOSetMessage(leaf.get(), F(2), current.get());
    const platform::Data previousBytes = result->previousResults().value_or(platform::Data{});
    if (!previousBytes.empty()) {
      NANOSetBool(leaf.get(), F(4), false);
      const auto previous = APMPBResultData::initWithBuffer(previousBytes);
      if (previous && previous->protoBuffer() == current->protoBuffer()) {
        // Unchanged since the last bundle: the service already has the sequence history.
        auto sequences = arrayOf<APMPBSequenceFilterResultTimestamp>(current.get(), 4);
        if (!sequences.empty()) {
          auto times = NANOGetArray(sequences.front().get(), F(2)).value_or(platform::Value::Array{});
          if (times.size() >= 2) {
            NANOSetArray(sequences.front().get(), F(2), platform::Value(platform::Value::Array{times.back()}));
            NANOSetArray(current.get(), F(4), sequences);
            NANOSetMessage(leaf.get(), F(2), current.get());
          }
        }
      } else if (previous) {
        NANOSetMessage(leaf.get(), F(3), previous.get());
      }
    } else {
      NANOSetBool(leaf.get(), F(4), true);
    }
    list.push_back(std::move(leaf));
    records.push_back(std::make_shared<APMFilterResult>(audienceID, encoded(*current), result->currentResults()));
  }
  if (!records.empty()) {
    error = {};
    if (!database_->updateFilterResults(records, &error) && error.isSet()) {
      APMLog(1, 6022, "Unable to save updated Audience filter results. Audience results will not be bundled. Error",
             error);
      return false;
    }
  }
  if (results) *results = std::move(list);
  return true;
}

bool APMAudience::clearEvaluationResultsForSessionScopedFilters() {
  platform::Error error;
  const auto scoped = database_->allSessionScopedFilters(&error);
  if (!scoped && error.isSet()) {
    APMLog(1, 6040, "Unable to query all session scoped filters. Session scoped results will not be cleared. Error",
           error);
    return false;
  }
  error = {};
  const auto stored = database_->allFilterResults(&error);
  if (!stored && error.isSet()) {
    APMLog(1, 6041, "Unable to query all filter results. Session scoped results will not be cleared. Error", error);
    return false;
  }
  if (!scoped || !stored) return true;
  for (const auto& [audienceKey, filterIDs] : *scoped) {
    const auto found = stored->find(audienceKey);
    if (found == stored->end()) continue;
    const std::shared_ptr<APMFilterResult>& result = found->second;
    auto data = decodeResultData(result->currentResults());
    if (!data) data = APMPBResultData::initWithMessageInfo();
    APMResultWords words = APMResultWords::fromResultData(*data);
    std::set<std::int32_t> cleared;
    for (std::int64_t filterID : filterIDs) {
      if (filterID < 0 || filterID > std::numeric_limits<std::int32_t>::max()) continue;
      words.clear(static_cast<std::int32_t>(filterID));
      cleared.insert(static_cast<std::int32_t>(filterID));
    }
    error = {};
    if (words.anyEvaluated()) {
      words.writeTo(*data);
      const auto keep = [&](const auto& entries) {
        using Entry = typename std::decay_t<decltype(entries)>::value_type::element_type;
        std::vector<std::shared_ptr<Entry>> kept;
        for (const auto& entry : entries) {
          if (!cleared.contains(NANOGetInt32(entry.get(), F(1)))) kept.push_back(entry);
        }
        return kept;
      };
      NANOSetArray(data.get(), F(3), keep(arrayOf<APMPBDynamicFilterResultTimestamp>(data.get(), 3)));
      NANOSetArray(data.get(), F(4), keep(arrayOf<APMPBSequenceFilterResultTimestamp>(data.get(), 4)));
      const auto record = std::make_shared<APMFilterResult>(result->audienceID(), encoded(*data),
                                                            result->currentResults());
      if (!database_->updateFilterResults({record}, &error) && error.isSet()) {
        APMLog(2, 6043, "Unable to update filter results. Session scoped results will not be cleared. Error", error);
        return false;
      }
    } else if (!database_->deleteFilterResults({result}, &error) && error.isSet()) {
      APMLog(1, 6042, "Unable to delete filter results. Session scoped results will not be cleared. Error", error);
      return false;
    }
  }
  return true;
}

bool APMAudience::evaluateAndAttachResults(APMPBMeasurementBundle& bundle, const std::vector<BundleEvent>& events,
                                           bool bundleHasSessionStart) {
  const std::int32_t userAttributesField = APMFieldIndex(bundle, 3);
  const auto properties = NANOGetArray<APMPBUserAttribute>(&bundle, userAttributesField)
                              .value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{});
  if (bundleHasSessionStart) {
    clearEvaluationResultsForSessionScopedFilters();
    for (const auto& property : properties) evaluateFiltersForNanoUserProperty(*property, nullptr, std::nullopt);
  }
  APMAudienceTimestampsCache cache;
  std::optional<double> earliest;
  for (const BundleEvent& entry : events) {
    if (!entry.event) continue;
    evaluateFiltersForEvent(*entry.event, entry.aggregates.get(), &cache);
    if (!earliest || entry.event->timestamp() < *earliest) earliest = entry.event->timestamp();
  }
  for (const auto& property : properties) evaluateFiltersForNanoUserProperty(*property, &cache, earliest);
  std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>> results;
  if (!resultsForBundling(&results)) return false;
  if (!results.empty()) NANOSetArray(&bundle, APMFieldIndex(bundle, 29), results);
  return true;
}
