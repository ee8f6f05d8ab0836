// Bundle building: the oldest raw events of one metadata fingerprint, hour and unbroken run of
// rows become one queued bundle, with the aggregates, daily counters, audience results and app
// metadata that go with it, in one database transaction. Any failure rolls all of it back so the
// same raw events are tried again at the next bundling.
#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/foundation/bundle.h"
#include "sdk/analytics/common/apm_app_environment.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_names.h"
#include "sdk/analytics/common/apm_raw_event_data.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_consent_settings_util.h"
#include "sdk/analytics/engine/apm_event_message_access.h"
#include "sdk/analytics/engine/apm_identity.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/events/apm_audience.h"
#include "sdk/analytics/events/apm_audience_timestamps_cache.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_database_row.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"

using platform::Error;

namespace {

// Wire tags of the bundle and user-property messages.
constexpr std::uint32_t kBundleEvents = 2;
constexpr std::uint32_t kBundleUserAttributes = 3;
constexpr std::uint32_t kBundleStart = 5;
constexpr std::uint32_t kBundleEnd = 6;
constexpr std::uint32_t kBundlePreviousEnd = 7;
constexpr std::uint32_t kBundleAppID = 14;
constexpr std::uint32_t kBundleIndex = 23;
constexpr std::uint32_t kBundleMonitoringData = 24;
constexpr std::uint32_t kBundlePreviousStart = 26;
constexpr std::uint32_t kBundleAudienceResults = 29;
constexpr std::uint32_t kBundleConfigVersion = 35;
constexpr std::uint32_t kBundleExperimentIDs = 45;
constexpr std::uint32_t kAttributeSetTimestamp = 1;
constexpr std::uint32_t kAttributeName = 2;
constexpr std::uint32_t kAttributeInt = 4;

using APMEventMessage::intParameter;

double eventSeconds(const APMPBEvent& event) {
  return static_cast<double>(APMEventMessage::int64Field(event, APMEventMessage::kTimestamp)) / 1000.0;
}

std::vector<std::shared_ptr<APMPBUserAttribute>> userAttributes(const APMPBMeasurementBundle& bundle) {
  return NANOGetArray<APMPBUserAttribute>(&bundle, APMFieldIndex(bundle, kBundleUserAttributes))
      .value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{});
}

bool isPublicName(const std::string& name) { return !name.empty() && name.front() != '_'; }

double now() { return APMDatabaseNow(); }

}  // namespace

bool APMDeleteProcessedRawEvents(APMDatabase* database, std::int64_t lastRowID, std::int64_t metadataFingerprint) {
  Error error;
  if (!database->deleteRawEventsWithMaxRowID(lastRowID, &error)) {
    APMLog(1, 23119, "Unable to delete raw events. RowID, error", lastRowID, error);
    return false;
  }
  const auto contains = database->containsRawEventWithMetadataFingerprint(metadataFingerprint, &error);
  if (!contains) {
    APMLog(1, 23120, "Unable to query existence of raw event. Metadata, error", metadataFingerprint, error);
    return false;
  }
  if (!*contains && !database->deleteRawEventMetadataWithMetadataFingerprint(metadataFingerprint, &error)) {
    APMLog(1, 23121, "Unable to delete raw event metadata. Metadata, error", metadataFingerprint, error);
    return false;
  }
  return true;
}

// ---- A. one bundle ----

bool APMMeasurement::bundleRawEvents() {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents")) return false;
  if (!database_ || !audience_) return false;
  bool bundled = false;
  const bool committed = database_->performTransaction([&] {
    bundled = false;
    Error error;
    const auto fingerprint = database_->nextMetadataFingerprintToProcess(&error);
    if (!fingerprint) {
      if (!error.isSet()) return true;  // no raw events
      APMLog(1, 23095, "Unable to fetch next event metadata. Error", error);
      return false;
    }
    const auto raw = rawEventsWithMetadataFingerprint(*fingerprint);
    if (!raw) return false;
    if (raw->empty()) return true;
    const auto bundle = database_->queryRawEventsMetadataWithFingerprint(*fingerprint, &error);
    if (!bundle) {
      APMLog(1, 23098, "Unable to fetch event metadata. Metadata fingerprint, error", *fingerprint, error);
      return false;
    }
    const auto processed = processRawEvents(*raw, *fingerprint);
    if (!processed) return false;
    if (processed->empty()) return true;

    evaluationTimeFromRawEvents(*raw, *bundle);
    APMAudienceTimestampsCache cache;
    const auto events = eventsAfterUpdatingEventAggregates(*processed, cache);
    if (!events) return false;
    EventMessages messages;
    for (const auto& event : *events) messages.push_back(event->protoEvent());
    if (remoteConfig()->isEventSamplingEnabled() && !monitor()->isDebugModeEnabled()) {
      Error samplingError;
      auto sampled = sampleEvents(messages, &samplingError);
      if (!sampled) return false;
      messages = std::move(*sampled);
    }
    const std::int64_t lastRowID = raw->back()->rowID();
    if (messages.empty()) {
      APMLog(5, 23159, "No events left after sampling. Dropping bundle");
      bundled = APMDeleteProcessedRawEvents(database_.get(), lastRowID, *fingerprint);
      return bundled;
    }
    NANOSetArray(bundle.get(), APMFieldIndex(*bundle, kBundleEvents), messages);

    double start = std::numeric_limits<double>::infinity();
    double end = -std::numeric_limits<double>::infinity();
    for (const auto& event : *raw) {
      const double seconds = eventSeconds(*event->rawEvent());
      start = std::min(start, seconds);
      end = std::max(end, seconds);
    }
    if (!updateAppMetadataForBundle(*bundle, start, end)) return false;
    for (const auto& attribute : userAttributes(*bundle)) {
      if (!audience_->evaluateFiltersForNanoUserProperty(*attribute, &cache, start)) return false;
    }
    std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>> results;
    if (!audience_->resultsForBundling(&results)) {
      APMLog(1, 23113, "Unable to read audience evaluation results");
      return false;
    }
    if (!results.empty()) NANOSetArray(bundle.get(), APMFieldIndex(*bundle, kBundleAudienceResults), results);
    addBundleMetadataIntoBundle(*bundle, start, end);

    const bool realtime =
        std::any_of(events->begin(), events->end(), [](const auto& event) { return event->isRealtime(); });
    if (!database_->insertBundle(*bundle, realtime, &error)) {
      APMLog(1, 23115, "Unable to insert bundle. Error", error);
      return false;
    }
    if (remoteConfig()->isConsentSettingsEnabled()) APMLog(8, 23221, APMConsentSettingsUtil::description());
    APMLog(7, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
           std::int64_t{NANOGetInt32(bundle.get(), APMFieldIndex(*bundle, kBundleIndex))},
           NANOGetInt64(bundle.get(), APMFieldIndex(*bundle, kBundleEnd)));
    bundled = APMDeleteProcessedRawEvents(database_.get(), lastRowID, *fingerprint);
    return bundled;
  });
  if (!committed) return false;
  if (bundled) setSuspendedUploadTimestamp(0);
  return bundled;
}

// ---- B. selection ----

std::optional<APMMeasurement::RawEvents> APMMeasurement::rawEventsWithMetadataFingerprint(std::int64_t fingerprint) {
  const auto config = remoteConfig();
  const std::int64_t maxEvents = config->uploadMaxEventsPerBundle();
  const std::int64_t maxSize = config->uploadMaxSizeLimitBytes();
  std::int64_t hour = 0;
  std::int64_t previousRowID = 0;
  std::int64_t totalSize = 0;
  std::optional<std::int64_t> unreadableFirstRowID;
  const auto filter = [&](std::size_t position, const APMRecord& row) {
    const auto i = static_cast<std::int64_t>(position);
    if (i > 0 && i >= maxEvents) return false;
    Error error;
    const auto raw = database_->rawEventDataFromDictionary(row, &error);
    if (!raw) {
      APMLog(4, 23096, "Failed to filter raw event. Error", error);
      const platform::Value* rowID = APMDatabaseRow::column(row, "rowid");
      if (i == 0 && rowID) unreadableFirstRowID = rowID->integerValue();
      return false;
    }
    const std::int64_t rowHour = static_cast<std::int64_t>(std::floor(eventSeconds(*raw->rawEvent()))) / 3600;
    if (i == 0) {
      hour = rowHour;
    } else if (rowHour != hour || raw->rowID() != previousRowID + 1) {
      return false;
    }
    totalSize += static_cast<std::int64_t>(raw->rawEvent()->protoBuffer().value_or(platform::Data{}).size());
    // The oldest row always goes, whatever its size: refused, it would stay the oldest and hold
    // back every later event until it expires.
    if (i > 0 && totalSize >= maxSize) return false;
    previousRowID = raw->rowID();
    return true;
  };
  Error error;
  auto events = database_->rawEventsWithMetadataFingerprint(fingerprint, &error, filter);
  if (!events || (events->empty() && error.isSet())) {
    APMLog(1, 23097, "Inconsistent state, raw event is expected. Error", error);
    return std::nullopt;
  }
  // An oldest row that cannot be read would never leave and would hold back every later event:
  // it goes (it is the oldest of all, so nothing else is at or below its row ID).
  if (events->empty() && unreadableFirstRowID &&
      !APMDeleteProcessedRawEvents(database_.get(), *unreadableFirstRowID, fingerprint)) {
    return std::nullopt;
  }
  return events;
}

// ---- C. checks and counters ----

std::optional<APMMeasurement::Events> APMMeasurement::processRawEvents(const RawEvents& rawEvents,
                                                                       std::int64_t metadataFingerprint) {
  if (rawEvents.empty()) return Events{};
  const auto config = remoteConfig();
  RawEvents kept;
  for (const auto& raw : rawEvents) {
    const std::string name = APMEventMessage::name(*raw->rawEvent());
    const auto& reserved = APMAllowedReservedEventNames();
    const auto mapped = reserved.find(name);
    if (mapped != reserved.end() && config->blocklistInternal() && !config->blocklistPublic()) {
      kept.push_back(raw);
      continue;
    }
    if (config->isEventBlocklisted(name) || (mapped != reserved.end() && config->isEventBlocklisted(mapped->second))) {
      APMLog(4, 23099, "Rejected event. Event name", name);
      continue;
    }
    if (config->redundantEngagementRemovalEnabled() && name == "_e" && intParameter(*raw->rawEvent(), "_fr") == 1) {
      continue;
    }
    kept.push_back(raw);
  }
  if (kept.empty()) {
    if (!APMDeleteProcessedRawEvents(database_.get(), rawEvents.back()->rowID(), metadataFingerprint)) {
      return std::nullopt;
    }
    APMLog(4, 23100, "Rejected all events.");
    return Events{};
  }
  Error error;
  const auto counts = database_->dailyCounts(&error);
  if (!counts) {
    APMLog(1, 23101, "Failed to query daily event counts. Error", error);
    return std::nullopt;
  }
  bool changed = false;
  Events events;
  for (const auto& raw : kept) {
    auto event = APMEvent::initWithEventProto(*raw->rawEvent());
    if (!event) continue;  // logged by the conversion; deleted with the group
    event = internalEventFromPublicEvent(event);
    changed = checkConversion(*event, *counts) || changed;
    changed = checkRealtime(*event, *counts) || changed;
    events.push_back(validatePurchaseEvent(event));
  }
  if (events.empty()) {
    // Nothing readable is left: the rows go, or they would stay the oldest for good.
    if (!APMDeleteProcessedRawEvents(database_.get(), rawEvents.back()->rowID(), metadataFingerprint)) {
      return std::nullopt;
    }
    return Events{};
  }
  if (changed && !database_->updateDailyCounts(counts.get(), &error)) {
    APMLog(2, 23106, "Failed to update daily event counts. Name, error", events.back()->name(), error);
    return std::nullopt;
  }
  return events;
}

std::shared_ptr<APMEvent> APMMeasurement::internalEventFromPublicEvent(const std::shared_ptr<APMEvent>& event) {
  const auto& reserved = APMAllowedReservedEventNames();
  const auto mapped = reserved.find(event->name());
  if (mapped == reserved.end()) return event;
  auto internal = APMEvent::initWithOrigin(event->origin(), false, mapped->second, event->timestamp(),
                                           event->previousTimestamp(), event->parameters());
  return internal ? internal : event;
}

std::shared_ptr<APMEvent> APMMeasurement::validatePurchaseEvent(const std::shared_ptr<APMEvent>& event) {
  if (event->name() != "_iap" || !APMAEU::isASRS()) return event;
  APMDictionary parameters = event->parameters();
  parameters["sandbox"] = APMInt64Object(1);
  auto marked = event->copyWithParameters(parameters);
  return marked ? marked : event;
}

bool APMMeasurement::checkConversion(APMEvent& event, APMDailyCounts& dailyCounts) {
  if (remoteConfig()->isEventCustomConversion(event.name())) event.setConversion(true);
  if (!isPublicName(event.name()) || !event.isConversion()) return false;
  const std::int32_t today = database_->currentDay();
  // Yesterday's counters do not hold today's events back.
  const std::int32_t conversions = dailyCounts.day() == today ? dailyCounts.conversionsCount() : 0;
  const std::int32_t limit = remoteConfig()->maxConversionsPerDay();
  if (conversions >= limit) {
    event.setConversion(false);
    APMLog(3, 23102, "Too many conversion events. Not logging event as conversion. Name, limit", event.name(),
           std::int64_t{limit});
    return false;
  }
  dailyCounts.incrementCountsForCurrentDay(today, false, true);
  dailyCounts.decrementAllEventsCount();
  return true;
}

bool APMMeasurement::checkRealtime(APMEvent& event, APMDailyCounts& dailyCounts) {
  if (!event.isRealtime() && !event.isConversion()) return false;
  if (!APMIsSubjectToRealtimeLimit(event)) {
    event.setRealtime(true);
    APMLog(7, 23105,
           "Event is not subject to real-time event count daily limit. Marking an event as real-time. Event name, "
           "parameters",
           event.name(), event.parameters());
    return false;
  }
  const std::int32_t today = database_->currentDay();
  const std::int32_t realtime = dailyCounts.day() == today ? dailyCounts.realtimeCount() : 0;
  if (realtime < remoteConfig()->maxRealtimeEventCountPerDay()) {
    dailyCounts.incrementRealtimeCountsForCurrentDay(today);
    event.setRealtime(true);
    APMLog(7, 23103,
           "Event is under real-time event count daily limit. Marking the event as real-time. Event name, parameters",
           event.name(), event.parameters());
    return true;
  }
  event.setRealtime(false);
  APMLog(4, 23104,
         "Number of real-time events is over the real-time event count daily limit. Event is no longer real-time. "
         "Event name, parameters",
         event.name(), event.parameters());
  return false;
}

// ---- F. sessions and engagement ----

void APMMeasurement::evaluationTimeFromRawEvents(const RawEvents& rawEvents, APMPBMeasurementBundle& bundle) {
  const bool sessionStart = std::any_of(rawEvents.begin(), rawEvents.end(),
                                        [](const auto& raw) { return APMEventMessage::name(*raw->rawEvent()) == "_s"; });
  if (sessionStart) {
    audience_->clearEvaluationResultsForSessionScopedFilters();
    for (const auto& attribute : userAttributes(bundle)) {
      if (!audience_->evaluateFiltersForNanoUserProperty(*attribute, nullptr, std::nullopt)) return;
    }
    Error error;
    if (!database_->clearCurrentSessionCounts(&error)) {
      APMLog(1, 23185, "Failed to clear event session counts. Error", error);
      return;
    }
  }
  std::int64_t engagement = 0;
  for (const auto& raw : rawEvents) {
    const APMPBEvent& event = *raw->rawEvent();
    if (APMEventMessage::parameter(event, "_fr")) continue;
    if (const auto et = intParameter(event, "_et")) engagement += *et;
  }
  if (!updateUserEngagement(engagement, bundle, false)) return;
  if (sessionStart) {
    Error error;
    if (!database_->deleteUserAttributeWithName("_se", &error)) {
      APMLog(1, 23188, "Unable to delete session engagement property on session start. Error", error);
      return;
    }
  }
  updateUserEngagement(engagement, bundle, true);
}

bool APMMeasurement::updateUserEngagement(std::int64_t engagementMillis, APMPBMeasurementBundle& bundle,
                                          bool sessionScoped) {
  if (engagementMillis < 0) {
    APMLog(2, 23186, "User engagement time is negative.");
    return false;
  }
  if (engagementMillis == 0) return true;
  const std::string name = sessionScoped ? "_se" : "_lte";
  Error error;
  const auto stored = database_->userAttributeWithName(name, &error);
  if (!stored && error.isSet()) {
    APMLog(1, 23187, "Failed to query for user engagement user property. Name, error", name, error);
    return false;
  }
  std::int64_t total = engagementMillis;
  if (stored && stored->value() && stored->value()->isInt64()) total += stored->value()->int64Value();
  const double timestamp = now();
  const APMUserAttribute attribute("auto", name, APMValue::initWithInt64(total), timestamp);
  if (!setUserPropertyInDatabaseOnWorkerQueue(attribute)) return false;
  auto attributes = userAttributes(bundle);
  const auto found = std::find_if(attributes.begin(), attributes.end(), [&](const auto& message) {
    return NANOGetString(message.get(), APMFieldIndex(*message, kAttributeName)) == name;
  });
  if (found != attributes.end()) {
    NANOSetInt64(found->get(), APMFieldIndex(**found, kAttributeInt), total);
    NANOSetInt64(found->get(), APMFieldIndex(**found, kAttributeSetTimestamp), APMMillisecondsFromSeconds(timestamp));
  } else if (auto message = attribute.protoUserAttribute()) {
    attributes.push_back(std::move(message));
  }
  NANOSetArray(&bundle, APMFieldIndex(bundle, kBundleUserAttributes), attributes);
  return true;
}

// ---- G. aggregates and audiences ----

std::optional<APMMeasurement::Events> APMMeasurement::eventsAfterUpdatingEventAggregates(
    const Events& events, APMAudienceTimestampsCache& cache) {
  Events updated;
  for (const auto& event : events) {
    Error error;
    auto aggregates = database_->eventAggregatesWithName(event->name(), &error);
    if (!aggregates && error.isSet()) {
      APMLog(1, 23107, "Failed to query event aggregates. Name, error", event->name(), error);
      return std::nullopt;
    }
    auto current = event;
    if (aggregates) {
      if (auto copy = event->copyWithPreviousTimestamp(aggregates->lastFireTimestamp())) current = std::move(copy);
      aggregates->incrementCurrentBundleCount();
      aggregates->incrementLifetimeCount();
      aggregates->incrementCurrentSessionCount();
      aggregates->setLastFireTimestamp(event->timestamp());
    } else {
      aggregates = APMEventAggregates::initWithName(event->name(), 1, 1, 1, event->timestamp());
    }
    if (!database_->updateEventAggregates(aggregates.get(), &error)) {
      APMLog(1, 23108, "Failed to update event aggregates. Error", error);
      return std::nullopt;
    }
    if (!audience_->evaluateFiltersForEvent(*current, aggregates.get(), &cache)) return std::nullopt;
    updated.push_back(std::move(current));
  }
  return updated;
}

// ---- H, I. bundle bookkeeping ----

bool APMMeasurement::updateAppMetadataForBundle(APMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                                double bundleEndTimestamp) {
  Error error;
  const auto metadata = database_->queryAppMetadata(&error);
  if (!metadata) {
    APMLog(1, 23111, "Unable to fetch app metadata for bundling events. Error", error);
    return false;
  }
  const double lastStart = metadata->lastBundleStartTimestamp();
  const double lastEnd = metadata->lastBundleEndTimestamp();
  if (lastEnd > 0) {
    NANOSetInt64(&bundle, APMFieldIndex(bundle, kBundlePreviousEnd), APMMillisecondsFromSeconds(lastEnd));
  }
  if (lastStart > 0 || lastEnd > 0) {
    NANOSetInt64(&bundle, APMFieldIndex(bundle, kBundlePreviousStart),
                 APMMillisecondsFromSeconds(lastStart > 0 ? lastStart : lastEnd));
  }
  metadata->incrementLastBundleIndex();
  metadata->setLastBundleStartTimestamp(bundleStartTimestamp);
  metadata->setLastBundleEndTimestamp(bundleEndTimestamp);
  NANOSetInt32(&bundle, APMFieldIndex(bundle, kBundleIndex), metadata->lastBundleIndex());
  if (!database_->updateAppMetadata(metadata.get(), &error)) {
    APMLog(1, 23112, "Unable to update the app metadata. Error", error);
    return false;
  }
  return true;
}

void APMMeasurement::addBundleMetadataIntoBundle(APMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                                 double bundleEndTimestamp) {
  const auto config = remoteConfig();
  if (const auto ids = config->experimentIDs(); !ids.empty()) {
    platform::Value::Array values;
    for (std::int32_t id : ids) values.emplace_back(id);
    NANOSetArray(&bundle, APMFieldIndex(bundle, kBundleExperimentIDs), platform::Value(std::move(values)));
  }
  const auto monitoringData = monitor()->monitoringDataForDispatchWithSamplePeriod(
      config->monitoringSamplePeriod(), persistedConfig_->lastMonitorDataSampledTimestamp());
  if (monitoringData && !monitoringData->empty()) {
    NANOSetString(&bundle, APMFieldIndex(bundle, kBundleMonitoringData), *monitoringData);
    persistedConfig_->setLastMonitorDataSampledTimestamp(now());
  }
  if (const std::int64_t version = config->version(); version >= 0) {
    NANOSetInt64(&bundle, APMFieldIndex(bundle, kBundleConfigVersion), version);
  }
  const std::int32_t appIDField = APMFieldIndex(bundle, kBundleAppID);
  if (NANOGetString(&bundle, appIDField).value_or("").empty()) {
    const auto id = identity();
    std::string appID = id ? id->appID() : std::string();
    if (appID.empty()) appID = platform::Bundle::main()->bundleIdentifier();
    NANOSetString(&bundle, appIDField, appID);
  }
  NANOSetInt64(&bundle, APMFieldIndex(bundle, kBundleStart), APMMillisecondsFromSeconds(bundleStartTimestamp));
  NANOSetInt64(&bundle, APMFieldIndex(bundle, kBundleEnd), APMMillisecondsFromSeconds(bundleEndTimestamp));
}
