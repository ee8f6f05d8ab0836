#include "sdk/analytics/events/apm_audience_timestamps_cache.h"

#include <algorithm>
#include <cmath>

#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/events/apm_audience_filters.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_storage_records.h"

namespace {
constexpr std::int32_t F(std::int32_t tag) { return APMAudienceField(tag); }
std::int64_t wholeSeconds(double seconds) { return static_cast<std::int64_t>(std::trunc(seconds)); }
}  // namespace

std::optional<std::vector<double>> APMSequenceTimestampsCache::sequenceTimestampsForFilterID(
    std::int32_t filterID) const {
  const auto it = allSequenceTimestampsByFilterID_.find(filterID);
  if (it == allSequenceTimestampsByFilterID_.end()) return std::nullopt;
  return it->second;
}

void APMSequenceTimestampsCache::addEventFilterTimestamp(double timestamp, std::int32_t filterID) {
  std::vector<double>& list = allSequenceTimestampsByFilterID_[filterID];
  if (!list.empty() && list.back() > timestamp) {
    APMLog(5, 42000, "Adding a sequence timestamp less than the last added timestamp");
  }
  if (!list.empty() && wholeSeconds(list.back()) == wholeSeconds(timestamp)) return;
  list.push_back(timestamp);
}

void APMSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp, std::int32_t filterID) {
  std::vector<double>& list = allSequenceTimestampsByFilterID_[filterID];
  if (!list.empty() && list.back() > timestamp) {
    APMLog(5, 42001, "Setting a sequence timestamp less than the last set timestamp");
  }
  list.assign(1, timestamp);
}

std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>
APMSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> messages;
  for (const auto& [filterID, times] : allSequenceTimestampsByFilterID_) {
    auto message = APMPBSequenceFilterResultTimestamp::initWithMessageInfo();
    NANOSetInt32(message.get(), F(1), filterID);
    if (!times.empty()) {
      std::vector<double> sorted = times;
      std::sort(sorted.begin(), sorted.end());
      platform::Value::Array array;
      for (double time : sorted) array.emplace_back(static_cast<long long>(wholeSeconds(time)));
      NANOSetArray(message.get(), F(2), platform::Value(std::move(array)));
    }
    messages.push_back(std::move(message));
  }
  return messages;
}

void APMAudienceTimestampsCache::populateCachedTimestamps(const APMFilterResult* result, std::int32_t audienceID) {
  const bool needDynamic = !cachedDynamicFilterEvaluationTimestamps_.contains(audienceID);
  const bool needSequence = !cachedSequenceEvaluationTimestamps_.contains(audienceID);
  if (!needDynamic && !needSequence) return;
  std::shared_ptr<APMPBResultData> data;
  if (result && !result->currentResults().empty()) data = APMPBResultData::initWithBuffer(result->currentResults());
  if (needDynamic) {
    std::map<std::int32_t, double> times;
    if (data) {
      for (const auto& entry : NANOGetArray<APMPBDynamicFilterResultTimestamp>(data.get(), F(3)).value_or(
               std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>>{})) {
        times[NANOGetInt32(entry.get(), F(1))] = static_cast<double>(NANOGetInt64(entry.get(), F(2)));
      }
    }
    cachedDynamicFilterEvaluationTimestamps_[audienceID] = std::move(times);
  }
  if (needSequence) {
    APMSequenceTimestampsCache sequence(audienceID);
    if (data) {
      for (const auto& entry : NANOGetArray<APMPBSequenceFilterResultTimestamp>(data.get(), F(4)).value_or(
               std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>{})) {
        const auto times = NANOGetArray(entry.get(), F(2)).value_or(platform::Value::Array{});
        // Only the last stored time carries over: a sequence needs where it stood, not its history.
        if (!times.empty()) {
          sequence.addEventFilterTimestamp(static_cast<double>(times.back().integerValue()),
                                           NANOGetInt32(entry.get(), F(1)));
        }
      }
    }
    cachedSequenceEvaluationTimestamps_.emplace(audienceID, std::move(sequence));
  }
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double timestamp, const APMEventFilter& filter) {
  addEvaluationTimestamp(timestamp, filter, true);
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double timestamp, const APMPropertyFilter& filter) {
  addEvaluationTimestamp(timestamp, filter, false);
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double timestamp, const APMAudienceFilter& filter,
                                                        bool eventFilter) {
  if (filter.sequence) {
    auto it = cachedSequenceEvaluationTimestamps_.try_emplace(filter.audienceID, filter.audienceID).first;
    if (eventFilter) {
      it->second.addEventFilterTimestamp(timestamp, filter.filterID);
    } else {
      it->second.setUserPropertyTimestamp(timestamp, filter.filterID);
    }
    return;
  }
  if (!filter.dynamic && !filter.sessionScoped) return;
  const auto audience = cachedDynamicFilterEvaluationTimestamps_.find(filter.audienceID);
  if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return;
  const auto cached = audience->second.find(filter.filterID);
  const double current = cached == audience->second.end() ? 0 : cached->second;
  if (timestamp > current) {
    audience->second[filter.filterID] = timestamp;
  } else {
    APMLog(5, 6037, "Candidate evaluation timestamp is earlier than cached evaluation timestamp");
  }
}

std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> APMAudienceTimestampsCache::
    dynamicTimestampsForAudienceID(std::int32_t audienceID) const {
  std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> messages;
  const auto audience = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
  if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return messages;
  for (const auto& [filterID, time] : audience->second) {
    auto message = APMPBDynamicFilterResultTimestamp::initWithMessageInfo();
    NANOSetInt32(message.get(), F(1), filterID);
    NANOSetInt64(message.get(), F(2), wholeSeconds(time));
    messages.push_back(std::move(message));
  }
  return messages;
}

std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>>
APMAudienceTimestampsCache::sequenceTimestampsForAudienceID(std::int32_t audienceID) const {
  const auto it = cachedSequenceEvaluationTimestamps_.find(audienceID);
  if (it == cachedSequenceEvaluationTimestamps_.end()) return std::nullopt;
  return it->second.sequenceFilterResultTimestamps();
}
