// The road of one event on the worker queue, from admission to the raw-event row. Policy drops
// (disabled, not allowlisted, duplicate subscription or rollout session start, blocklisted,
// daily limits, distinct-name limit) are logged and end quietly; storage failures are logged as
// data loss. Each kept event is written in one store transaction, so the day's counters, the
// lifetime value, the aggregates row, the metadata record and the raw event commit together;
// that transaction is part of the one around the event's whole road, which is kept and done
// again when another connection holds the database (apm_measurement_held_database.cpp).
#include <charconv>
#include <climits>

#include "platform/foundation/bundle.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_error.h"
#include "sdk/analytics/common/apm_foundation_extensions.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_names.h"
#include "sdk/analytics/common/apm_names_for_log.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_conditional_user_property_controller.h"
#include "sdk/analytics/engine/apm_identity.h"
#include "sdk/analytics/engine/apm_launch_utilities.h"
#include "sdk/analytics/engine/apm_kept_writes_journal.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/engine/apm_session_reporter.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/events/apm_lifetime_value_recorder.h"
#include "sdk/analytics/events/apm_parameter_sanitizer.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/script/apmp_event.h"
#include "sdk/analytics/script/apmp_event_editing.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_event_editing_loader.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"

namespace {

constexpr std::string_view kSafelistedParameter = "ga_safelisted";
constexpr std::string_view kFeatureRolloutsParameter = "_ffr";
constexpr std::string_view kExtendSessionParameter = "extend_session";
constexpr std::string_view kSubscriptionIDParameter = "_did";
constexpr std::int64_t kEventIsBlockedError = 11;
constexpr std::int64_t kPublicEventLimitReachedError = 16;
constexpr std::int64_t kEventLimitReachedError = 8;
constexpr std::size_t kMaxBlockedNameLength = 40;

std::optional<std::int64_t> int64Parameter(const APMEvent& event, std::string_view name) {
  const APMValue* value = APMEventParameterValue(event, name);
  if (!value || !value->isInt64()) return std::nullopt;
  return value->int64Value();
}

APMObject parameterObject(const APMEvent& event, std::string_view name) {
  const auto it = event.parameters().find(name);
  return it == event.parameters().end() ? APMObject() : it->second;
}

// Daily-limit lines are written at the limit and at every further thousand, not for every event.
bool isLoggedExcess(std::int32_t count, std::int32_t limit) {
  const auto excess = static_cast<std::int32_t>(static_cast<std::uint32_t>(count) - static_cast<std::uint32_t>(limit));
  return excess % 1000 == 0;
}

// The store reports its failures with an error; one that comes back without gets a generic one,
// so that no failure is ever logged as a success or without its reason.
platform::Error& withError(platform::Error& error, std::string_view what) {
  if (!error.isSet()) APMSetError(&error, 1, std::string(what));
  return error;
}

std::string eventNameForLog(const std::string& name) { return APMEventNameForLog(APMObject(name)); }
std::string parametersForLog(const APMEvent& event) { return APMParametersForLog(APMObject(event.parameters())); }

}  // namespace

bool APMIsSubjectToRealtimeLimit(const APMEvent& event) {
  if (APMMeasurementMonitor()->isDebugModeEnabled()) return false;
  const std::string& name = event.name();
  return name != "_iap" && name != "_f" && name != "_fx";
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::eventWritingConfig() const {
  return remoteConfig_ ? remoteConfig_ : APMMeasurementRemoteConfig();
}

// ---- admission ----

void APMMeasurement::handleInternalEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!event) return;
  if (!APMIsErrorEvent(*event)) {
    if (const auto defaults = persistedConfig_->defaultEventParameters()) {
      APMDictionary parameters;
      for (const auto& [key, value] : *defaults) parameters[key] = APMObject(value);
      event->applyParameters(parameters);
    }
  }
  handleEventOnWorkerQueue(event);
  APMAnalytics::notifyEventListeners(event);
}

void APMMeasurement::handleEventOnWorkerQueue(const std::shared_ptr<APMEvent>& original) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue:") || !original) return;
  if (!isEnabled()) {
    APMLog(7, 23049, "Analytics is disabled. Event not logged");
    return;
  }
  // The whole road is one write: what it makes on the way (released and session-start events,
  // conditional and session properties, a held purchase's fingerprint) lands with the event or
  // not at all.
  const auto purchase = takePurchaseAwaitingEvent(*original);
  performDatabaseWriteOnWorkerQueue(
      purchase ? eventWithPurchaseFingerprintWrite(original, purchase->fingerprint, purchase->productID)
               : std::function<void()>([this, original] { admitAndWriteEvent(original); }),
      [original, purchase] {
        auto record = APMKeptWriteRecordForEvent(*original);
        record["k"] = platform::Value("e");
        if (purchase) {
          record["f"] = platform::Value(purchase->fingerprint);
          record["pid"] = platform::Value(purchase->productID);
        }
        return std::optional(std::move(record));
      });
}

std::function<void()> APMMeasurement::eventWithPurchaseFingerprintWrite(const std::shared_ptr<APMEvent>& event,
                                                                        std::string fingerprint,
                                                                        std::string productID) {
  return [this, event, fingerprint = std::move(fingerprint), productID = std::move(productID)] {
    // Reported by another process meanwhile: the purchase is not reported twice.
    if (storePurchaseFingerprintOnWorkerQueue(fingerprint, productID) == false) {
      APMLog(4, 23141, "Purchase is a duplicate and will not be reported. Product ID", productID);
      return;
    }
    admitAndWriteEvent(event);
  };
}

void APMMeasurement::admitAndWriteEvent(const std::shared_ptr<APMEvent>& original) {
  if (!database_) return;
  auto event = eventAfterSafelistingEvent(original);
  if (!event) return;
  processSessionFromEvent(*event);
  if (!dedupeSubscriptionEvent(*event)) return;
  // Events released by conditional user properties, written after this one.
  std::vector<std::shared_ptr<APMEvent>> releasedEvents;
  if (auto released = APMConditionalUserPropertyController::sharedInstance()->processEventOnWorkerQueue(event)) {
    releasedEvents = std::move(*released);
  } else {
    APMLog(4, 23050, "Unable to process conditional user property. Event name, origin", eventNameForLog(event->name()),
           event->origin());
  }
  if (shouldDropDuplicatedSessionStartWithRolloutEvent(*event)) return;
  event = appExceptionEventWithVuduzaraFeatureRollouts(event);
  writeEventOnWorkerQueue(event);
  writeSessionStartEventOnWorkerQueue(*event);
  for (const auto& released : releasedEvents) writeEventOnWorkerQueue(released);
  updateSchedule();
}

std::shared_ptr<APMEvent> APMMeasurement::eventAfterSafelistingEvent(const std::shared_ptr<APMEvent>& event) {
  if (!safelistedEvents_ || safelistedEvents_->empty()) return event;
  if (std::find(safelistedEvents_->begin(), safelistedEvents_->end(), event->name()) == safelistedEvents_->end()) {
    APMLog(3, 23174, "Event dropped. Reason: not in allowlist. Event name, origin", eventNameForLog(event->name()),
           event->origin());
    return nullptr;
  }
  APMDictionary parameters = event->parameters();
  parameters[std::string(kSafelistedParameter)] = APMInt64Object(1);
  return event->copyWithParameters(parameters);
}

void APMMeasurement::processSessionFromEvent(const APMEvent& event) {
  if (APMIsAppActive()) return;
  const auto reporter = sessionReporter();
  if (!reporter || !database_) return;
  if (event.parameters().find(kExtendSessionParameter) != event.parameters().end()) {
    if (int64Parameter(event, kExtendSessionParameter) == 1) {
      if (reporter->isSessionExpired()) {
        reportSessionStartOnWorkerQueueWithTimestamp(event.timestamp(), true);
      } else {
        reporter->extendSession();
      }
    } else {
      APMLog(3, 23179,
             "extend_session is a reserved parameter. To extend or start a session in the background, set an event "
             "parameter {@'extend_session': @1}");
    }
  }
  if (!reporter->isSessionExpired()) return;
  // An expired session's properties go together or not at all.
  database_->performTransaction([this] {
    constexpr std::pair<const char*, std::pair<std::int64_t, const char*>> kSessionProperties[] = {
        {"_sid", {23177, "Failed to remove session ID user property on session expiration. Error"}},
        {"_sno", {23178, "Failed to remove session number user property on session expiration. Error"}},
        {"_se", {23192, "Failed to remove session user engagement user property on session expiration. Error"}}};
    for (const auto& [name, failure] : kSessionProperties) {
      platform::Error error;
      if (!database_->deleteUserAttributeWithName(name, &error)) {
        APMLog(2, failure.first, failure.second, withError(error, "Unknown error"));
        return false;
      }
    }
    return true;
  });
}

bool APMMeasurement::dedupeSubscriptionEvent(const APMEvent& event) {
  if (!APMIsSubscriptionEvent(event)) return true;
  const auto subscriptionID = int64Parameter(event, kSubscriptionIDParameter);
  if (!subscriptionID || !database_) return true;
  const APMObject productID = parameterObject(event, "product_id");
  platform::Error error;
  const auto inserted = database_->insertIfNotDuplicateSubscriptionID(std::to_string(*subscriptionID), &error);
  if (!inserted) {
    APMLog(2, 23181, "Failed to save subscription ID. Product ID, error", productID, withError(error, "Unknown error"));
  } else if (!*inserted) {
    APMLog(4, 23182, "Event dropped. Reason: Subscription purchase is a duplicate. Product ID", productID);
    return false;
  }
  platform::Error deleteError;
  const auto deleted = database_->deleteSubscriptionsOverLimit(&deleteError);
  if (!deleted) {
    APMLog(5, 23183, "Failed to delete older subscription records. Error", withError(deleteError, "Unknown error"));
    return false;
  }
  if (*deleted != 0) APMLog(5, 23184, "Deleted older subscription records beyond limit");
  return true;
}

bool APMMeasurement::shouldDropDuplicatedSessionStartWithRolloutEvent(const APMEvent& event) {
  if (event.name() != "_ssr") return false;
  const APMValue* value = APMEventParameterValue(event, kFeatureRolloutsParameter);
  const std::string* rollouts = value ? value->stringValue() : nullptr;
  const auto stored = persistedConfig_->vuduzaraFeatureRollouts();
  const bool duplicate = stored ? (rollouts && *rollouts == *stored) : (!value || (rollouts && rollouts->empty()));
  if (duplicate) {
    APMLog(8, 23191, "Feature rollouts value is a duplicate, dropping event");
    return true;
  }
  if (value && !rollouts) APMLog(2, 23190, "Unable to process vuduzara feature rollouts, value is not a string.");
  persistedConfig_->setVuduzaraFeatureRollouts(rollouts && !rollouts->empty() ? std::optional<std::string>(*rollouts)
                                                                               : std::nullopt);
  return false;
}

std::shared_ptr<APMEvent> APMMeasurement::appExceptionEventWithVuduzaraFeatureRollouts(
    const std::shared_ptr<APMEvent>& event) {
  if (event->name() != "_ae") return event;
  const auto stored = persistedConfig_->vuduzaraFeatureRollouts();
  if (!stored) return event;
  APMDictionary parameters = event->parameters();
  parameters[std::string(kFeatureRolloutsParameter)] = APMObject(APMValue::initWithString(*stored));
  return event->copyWithParameters(parameters);
}

void APMMeasurement::writeSessionStartEventOnWorkerQueue(const APMEvent& event) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("writeSessionStartEventOnWorkerQueue:")) return;
  if (event.name() != "_s") return;
  const auto stored = persistedConfig_->vuduzaraFeatureRollouts();
  if (!stored) return;
  const double now = platform::Clock::current().now().timeIntervalSince1970();
  auto rolloutEvent = APMEvent::initWithOrigin(
      "auto", false, "_ssr", now, 0,
      {{std::string(kFeatureRolloutsParameter), APMObject(APMValue::initWithString(*stored))}});
  if (rolloutEvent) writeEventOnWorkerQueue(rolloutEvent);
}

// ---- blocklist and editing ----

void APMMeasurement::writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("writeEventOnWorkerQueue:") || !event) return;
  performDatabaseWriteOnWorkerQueue([this, event] { writeEventPastAdmission(event); },
                                    [event] {
                                      auto record = APMKeptWriteRecordForEvent(*event);
                                      record["k"] = platform::Value("w");
                                      return std::optional(std::move(record));
                                    });
}

void APMMeasurement::writeEventPastAdmission(const std::shared_ptr<APMEvent>& event) {
  APMLog(7, 23051, "Logging event: origin, name, params", event->origin(), eventNameForLog(event->name()),
         parametersForLog(*event));
  const auto config = eventWritingConfig();
  if (config->isEventBlocklisted(event->name())) {
    APMLog(5, 23052, "Rejected event. Event name", eventNameForLog(event->name()));
    if (!config->blocklistInternal() && !config->blocklistPublic() && !APMIsErrorEvent(*event)) {
      APMLogErrorEventWithValue(kEventIsBlockedError, APMObject(event->name()), kMaxBlockedNameLength,
                                APMObject(event->name()));
    }
    return;
  }
  const auto loaded = config->eventEditing();
  auto* editing = dynamic_cast<APMPEventEditing*>(loaded.get());
  if (!config->eesFeatureEnabled() || !editing) {
    writeFilteredEventOnWorkerQueue(event);
    return;
  }
  const auto editEvent = APMEventEditEvent(*event);
  APMPEventEditResult result = editEvent ? editing->editEvent(*editEvent) : APMPEventEditResult{};
  if (result.error.isSet()) {
    writeFilteredEventOnWorkerQueue(event);
    APMLog(1, 23223, "Event editing failed. Event name", eventNameForLog(event->name()));
    return;
  }
  if (result.outputEvent) {
    // An edit that leaves no valid event (the converter logs why) leaves nothing to write.
    if (auto edited = APMEventFromEditEvent(*result.outputEvent)) writeFilteredEventOnWorkerQueue(edited);
  } else {
    writeFilteredEventOnWorkerQueue(event);
  }
  for (const auto& created : result.eventsToLog) {
    if (!created) continue;
    if (auto converted = APMEventFromEditEvent(*created)) {
      auto createdEvent = APMEvent::initWithOrigin(converted->origin(), false, converted->name(),
                                                   converted->timestamp(), 0, converted->parameters());
      if (createdEvent) writeFilteredEventOnWorkerQueue(createdEvent);
    }
  }
}

// ---- the store transaction ----

void APMMeasurement::writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!event || !database_) return;
  // Refreshed in this thread's own turn of the identity queue: the event's metadata reads the
  // identifiers right after, and a refresh left queued would make each of those reads wait for a
  // thread to run it first.
  if (const auto identity = this->identity()) identity->updateIdentifiersAndWait();
  if (APMIsDefaultConversionEventName(event->name())) event->setConversion(true);
  database_->performTransaction([&] {
    if (!updateLifetimeValueWithEvent(*event)) return false;
    const bool isPublicEvent = !event->name().empty() && event->name().front() != '_';
    platform::Error error;
    const auto counts = database_->dailyCounts(&error);
    if (!counts) {
      APMLog(1, 23054, "Data loss. Unable to query daily event counts. Error",
             withError(error, "No daily counts are stored"));
      return false;
    }
    const bool process = shouldProcessEvent(*event, *counts, isPublicEvent);
    const bool realtime = isRealtimeEvent(*event, *counts);
    if (!database_->updateDailyCounts(counts.get(), &error)) {
      APMLog(1, 23061, "Data loss. Unable to update daily event counts. Name, error", eventNameForLog(event->name()),
             withError(error, "Unknown error"));
      return false;
    }
    return process ? writeEvent(*event, isPublicEvent, realtime) : true;
  });
}

bool APMMeasurement::updateLifetimeValueWithEvent(const APMEvent& event) {
  if (!APMLifetimeValueRecorder::isPurchaseEvent(event)) return true;
  if (APMLifetimeValueRecorder::recordLifetimeValueToDatabase(*database_, event)) return true;
  APMLog(1, 23053, "Cannot record lifetime value of event. Name, currency code, transaction value",
         eventNameForLog(event.name()), parameterObject(event, "currency"), parameterObject(event, "value"));
  return false;
}

bool APMMeasurement::shouldProcessEvent(const APMEvent& event, APMDailyCounts& counts, bool isPublicEvent) {
  const auto config = eventWritingConfig();
  const std::int32_t today = database_->currentDay();
  if (counts.day() != today) counts.resetWithNewDay(today);
  const bool isError = APMIsErrorEvent(event);
  const auto effectiveCount = static_cast<std::int32_t>(
      std::min<std::size_t>(1 + APMArrayParameterItemCount(event), static_cast<std::size_t>(INT32_MAX)));
  const auto count = [&] {
    if (isError) {
      counts.incrementErrorEventsCountForCurrentDay(today);
    } else {
      counts.incrementCountsForCurrentDay(today, isPublicEvent, false, effectiveCount);
    }
  };

  const std::int32_t maxEvents = config->maxEventsPerDay();
  if (counts.allEventsCount() - maxEvents >= 0) {
    if (isLoggedExcess(counts.allEventsCount(), maxEvents)) {
      APMLog(1, 23055, "Data loss. Too many events logged. Name, limit", eventNameForLog(event.name()),
             static_cast<long long>(maxEvents));
    }
    count();
    return false;
  }
  if (isError) {
    const std::int32_t maxErrors = config->maxErrorEventsPerDay();
    if (counts.errorEventsCount() - maxErrors >= 0) {
      if (isLoggedExcess(counts.errorEventsCount(), maxErrors)) {
        APMLog(1, 23056, "Too many error events logged. Error code, limit", parameterObject(event, kAPMErrorParameter),
               static_cast<long long>(maxErrors));
      }
      counts.incrementErrorEventsCountForCurrentDay(today);
      counts.decrementAllEventsCount();
      return false;
    }
  } else if (isPublicEvent) {
    const std::int32_t maxPublic = config->maxPublicEventsPerDay();
    if (counts.publicEventsCount() - maxPublic >= 0) {
      if (isLoggedExcess(counts.publicEventsCount(), maxPublic)) {
        APMLog(1, 23057, "Data loss. Too many public events logged. Name, limit", eventNameForLog(event.name()),
               static_cast<long long>(maxPublic));
      }
      APMLogErrorEvent(kPublicEventLimitReachedError);
      count();
      counts.decrementAllEventsCount();
      return false;
    }
  }
  count();
  return true;
}

bool APMMeasurement::isRealtimeEvent(APMEvent& event, APMDailyCounts& counts) {
  const auto config = eventWritingConfig();
  const std::int32_t maxRealtime = config->maxRealtimeEventCountPerDay();
  const bool conversion = event.isConversion() || config->isEventCustomConversion(event.name());
  const bool subjectToLimit = APMIsSubjectToRealtimeLimit(event);
  const bool realtime = conversion && (counts.realtimeCount() < maxRealtime || !subjectToLimit);
  if (event.isRealtime() && subjectToLimit && counts.realtimeCount() >= maxRealtime) {
    event.setRealtime(false);
    APMLog(4, 23060, "Too many real-time events. Event is no longer real-time. Event name, parameters",
           eventNameForLog(event.name()), parametersForLog(event));
  }
  maybeAddDebugAndRealtimeParameters(event);
  return realtime || event.isRealtime();
}

void APMMeasurement::maybeAddDebugAndRealtimeParameters(APMEvent& event) {
  if (!APMMeasurementMonitor()->isDebugModeEnabled()) return;
  event.setRealtime(true);
  event.setDebug(true);
  APMLog(7, 23073, "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters",
         eventNameForLog(event.name()), parametersForLog(event));
}

bool APMMeasurement::writeEvent(APMEvent& event, bool isPublicEvent, bool isRealtime) {
  const auto config = eventWritingConfig();
  platform::Error error;
  const auto aggregates = database_->eventAggregatesWithName(event.name(), &error);
  if (!aggregates && error.isSet()) {
    APMLog(1, 23063, "Cannot query event aggregates. Name, error", eventNameForLog(event.name()), error);
    return false;
  }
  if (!aggregates) {
    if (isPublicEvent) {
      const auto publicNames = database_->publicEventCount(&error);
      if (!publicNames) {
        APMLog(1, 23064, "Cannot query event count. Error", withError(error, "Unknown error"));
        return false;
      }
      if (*publicNames >= config->maxEventNameCardinality()) {
        APMLog(1, 23065, "Cannot set event. Reached limit on set events. Name", eventNameForLog(event.name()));
        APMLogErrorEvent(kEventLimitReachedError);
        return false;
      }
    }
    const APMEventAggregates fresh(event.name(), 0, 0, 0, 0);
    if (!database_->updateEventAggregates(&fresh, &error)) {
      APMLog(1, 23066, "Data loss. Cannot record event aggregates. Error", withError(error, "Unknown error"));
      return false;
    }
  }

  const auto identity = this->identity();
  if (identity && identity->shouldSetLastAdvertisingIDResetUserProperty()) {
    setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  }
  const auto userAttributes = database_->userAttributesIncludingInternal(true, &error);
  if (!userAttributes) {
    APMLog(1, 23067, "Data loss. Cannot query user properties. Error", withError(error, "Unknown error"));
    return false;
  }
  const auto metadata = createRawEventMetadataWithUserAttributes(*userAttributes);
  const auto encoded = metadata ? metadata->protoBuffer() : std::nullopt;
  if (!encoded) {
    APMLog(1, 23068, "Data loss. Cannot record event metadata. Error",
           withError(error, "The event metadata could not be encoded"));
    return false;
  }

  const bool hasResettableDeviceID = NANOHasField(metadata.get(), APMFieldIndex(*metadata, 19));
  if (hasResettableDeviceID && persistedConfig_->unmatchedFirstOpenWithoutIDFA()) {
    logFirstOpenConsentedEvent(event.timestamp());
  } else if (!hasResettableDeviceID && event.name() == "_f") {
    persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(true);
  }

  if (!database_->insertIfNotExistsRawEventMetadata(*metadata, &error)) {
    APMLog(1, 23068, "Data loss. Cannot record event metadata. Error", withError(error, "Unknown error"));
    return false;
  }
  const auto deleted = database_->deleteRawEventsOverAbsoluteLimit(&error);
  if (!deleted) {
    APMLog(1, 23069, "Data loss. Unable to check raw event storage limit. Error", withError(error, "Unknown error"));
    return false;
  }
  if (*deleted != 0) {
    APMLog(4, 23070, "Data loss. Too many events stored on disk. Deleted count", static_cast<long long>(*deleted));
  }
  const std::int64_t fingerprint = VULGzip::apm_64LSBMD5(*encoded);
  const auto proto = event.protoEvent();
  if (!database_->insertRawEvent(proto.get(), fingerprint, isRealtime, &error)) {
    APMLog(1, 23071, "Data loss. Cannot record raw event. Error", withError(error, "Unknown error"));
    return false;
  }
  if (event.name() == "_f") incrementPreviousFirstOpenCount();
  APMLog(7, 23072, "Event logged. Event name, event params", eventNameForLog(event.name()), parametersForLog(event));
  return true;
}

void APMMeasurement::incrementPreviousFirstOpenCount() {
  const std::string appID = platform::Bundle::main()->bundleIdentifier();
  const auto stored =
      APMKeychainWrapper::keychainValueWithIdentifier(std::string(kAPMPreviousFirstOpenCountKeychainIdentifier), appID);
  long long count = 0;
  if (stored) {
    const auto [end, ec] = std::from_chars(stored->data(), stored->data() + stored->size(), count);
    if (ec != std::errc() || count < 1) count = 0;
  }
  if (count != LLONG_MAX) ++count;
  APMKeychainWrapper::upsertKeychainValue(std::to_string(count),
                                          std::string(kAPMPreviousFirstOpenCountKeychainIdentifier), appID);
}

void APMMeasurement::logFirstOpenConsentedEvent(double timestamp) {
  persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(false);
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:892", [weak, timestamp] {
    auto self = weak.lock();
    if (!self) return;
    auto event = APMEvent::initWithOrigin("auto", false, "_fx", timestamp, 0, {});
    if (!event) return;
    event->setRealtime(true);
    self->writeEventOnWorkerQueue(event);
  });
}
