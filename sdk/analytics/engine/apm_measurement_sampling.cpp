// Event sampling: a name with a server-given rate r is kept with probability 1/r, except that its
// first occurrence of each account day is always kept and marked exempt. Kept events carry the
// rate so that the service can scale the counts. The per-name state lives in the aggregates rows.
#include <map>
#include <mutex>
#include <random>

#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/engine/apm_event_message_access.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_remote_config.h"

using platform::Error;

namespace {

using namespace APMEventMessage;

struct Roll {
  std::mutex mutex;
  std::function<std::int32_t(std::int32_t)> fixed;
  std::mt19937 engine{std::random_device{}()};
};

Roll& roll() {
  // Never destroyed: a worker may still sample an event while the process exits.
  static Roll* const r = new Roll;
  return *r;
}

// Adds an int64 parameter unless the event already has one of that name.
void addIntParameter(APMPBEvent& event, const std::string& name, std::int64_t value, std::int64_t failureCode,
                     std::string_view failureMessage) {
  auto list = params(event);
  if (APMEventHasParameter(list, name)) return;
  auto param = APMPBEventParam::initWithMessageInfo();
  if (!param) {
    APMLog(2, failureCode, failureMessage);
    return;
  }
  NANOSetString(param.get(), APMFieldIndex(*param, kParamName), name);
  NANOSetInt64(param.get(), APMFieldIndex(*param, kParamInt), value);
  list.push_back(std::move(param));
  NANOSetArray(&event, APMFieldIndex(event, kParams), list);
}

std::int32_t accountDay(std::int64_t millis, double offsetSeconds) {
  return static_cast<std::int32_t>((static_cast<double>(millis) / 1000.0 + offsetSeconds) / 86400.0);
}

}  // namespace

bool APMEventHasParameter(const std::vector<std::shared_ptr<APMPBEventParam>>& params, const std::string& name) {
  for (const auto& param : params) {
    if (isNamed(*param, name)) {
      APMLog(4, 23156, "Event parameter already exists. Parameter name", name);
      return true;
    }
  }
  return false;
}

void APMAddSamplingRateParameter(APMPBEvent& event, std::int32_t rate) {
  addIntParameter(event, "_sr", rate, 23153, "Failed to create sampling rate parameter");
}

void APMMeasurement::setSamplingRollForTesting(std::function<std::int32_t(std::int32_t)> fixed) {
  Roll& r = roll();
  std::lock_guard lock(r.mutex);
  r.fixed = std::move(fixed);
}

bool APMMeasurement::isEventBundledAfterRoll(std::int32_t rate) {
  if (rate <= 1) return true;
  Roll& r = roll();
  std::lock_guard lock(r.mutex);
  if (r.fixed) return r.fixed(rate) == 0;
  return std::uniform_int_distribution<std::int32_t>(0, rate - 1)(r.engine) == 0;
}

bool APMMeasurement::canEventBeSampled(const APMPBEvent& event) {
  const auto config = remoteConfig();
  if (!config->isEventSamplingEnabled()) return false;
  const std::string name = APMEventMessage::name(event);
  if (!config->eventHasSamplingRate(name)) return false;
  if (config->samplingRateForEvent(name) <= 1) {
    APMLog(5, 23154, "Invalid sampling rate provided");
    return false;
  }
  return true;
}

std::optional<APMMeasurement::EventMessages> APMMeasurement::sampleEvents(const EventMessages& events,
                                                                          Error* error) {
  Error localError;
  Error* const out = error ? error : &localError;
  const auto all = database_->allEventAggregates(out);
  if (!all) {
    APMLog(1, 23157, "Unable to query all event aggregates for cache. error", *out);
    return std::nullopt;
  }
  std::map<std::string, std::shared_ptr<APMEventAggregates>> cache;
  for (const auto& row : *all) cache[row->name()] = row;

  const auto config = remoteConfig();
  const double offset = static_cast<double>(config->analyticsAccountTimeZoneOffsetMinutes()) * 60.0;
  EventMessages kept;
  for (const auto& event : events) {
    const std::string name = APMEventMessage::name(*event);
    if (name.empty()) {
      APMLog(2, 23155, "Dropping event at sampling. Event has no name");
      continue;
    }
    const std::int64_t millis = int64Field(*event, kTimestamp);
    const double seconds = static_cast<double>(millis) / 1000.0;
    const std::int32_t day = accountDay(millis, offset);
    auto& row = cache[name];
    if (!row) row = std::make_shared<APMEventAggregates>(name, 0, 0, 0, 0);

    if (!canEventBeSampled(*event)) {
      row->setLastBundledTimestamp(seconds);
      row->setLastBundledDay(day);
      kept.push_back(event);
      continue;
    }
    const std::int32_t rate = config->samplingRateForEvent(name);
    if (isEventBundledAfterRoll(rate)) {
      row->setLastSamplingRate(rate);
      row->setLastSampledComplexEventID(std::nullopt);
      row->setLastBundledTimestamp(seconds);
      row->setLastBundledDay(day);
      APMAddSamplingRateParameter(*event, rate);
      kept.push_back(event);
      continue;
    }
    std::int32_t lastDay = row->lastBundledDay();
    if (lastDay == 0) {
      lastDay = accountDay(int64Field(*event, kPreviousTimestamp), offset);
    }
    if (lastDay != day) {
      // The first of the day is always kept, marked so the service does not scale it.
      row->setLastBundledTimestamp(seconds);
      row->setLastBundledDay(day);
      APMAddSamplingRateParameter(*event, rate);
      addIntParameter(*event, "_efs", 1, 23158, "Failed to create exempt from sampling parameter");
      row->setLastExemptFromSampling(true);
      kept.push_back(event);
    } else {
      if (const auto eid = parameter(*event, "_eid")) {
        row->setLastSampledComplexEventID(NANOGetInt64(eid.get(), APMFieldIndex(*eid, kParamInt)));
      }
    }
    row->setLastSamplingRate(rate);
  }

  // Only the sampling fields are ours: the counts come from a fresh read of each row.
  for (const auto& [name, row] : cache) {
    auto stored = database_->eventAggregatesWithName(name, out);
    if (!stored && out->isSet()) {
      APMLog(1, 23151, "Unable to query event aggregates to update database. Name, error", name, *out);
      return std::nullopt;
    }
    if (!stored) {
      stored = row;
    } else {
      if (row->lastBundledTimestamp() != 0) stored->setLastBundledTimestamp(row->lastBundledTimestamp());
      stored->setLastSamplingRate(row->lastSamplingRate());
      stored->setLastSampledComplexEventID(row->lastSampledComplexEventID());
      stored->setLastExemptFromSampling(row->lastExemptFromSampling());
      stored->setLastBundledDay(row->lastBundledDay());
    }
    if (!database_->updateEventAggregates(stored.get(), out)) {
      APMLog(1, 23152, "Failed to update event aggregates after removing removing events due to sampling. Error",
             *out);
      return std::nullopt;
    }
  }
  return kept;
}
