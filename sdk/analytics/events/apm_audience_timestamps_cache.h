// When dynamic, session-scoped and sequence filters were met, gathered per audience during one
// evaluation pass and written back into the audience's result. Used on the worker queue only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "sdk/analytics/messages/apmpb_messages.h"

class APMFilterResult;
class APMEventFilter;
class APMPropertyFilter;
struct APMAudienceFilter;

class APMSequenceTimestampsCache {
 public:
  explicit APMSequenceTimestampsCache(std::int32_t audienceID) : audienceID_(audienceID) {}

  std::int32_t audienceID() const { return audienceID_; }
  std::optional<std::vector<double>> sequenceTimestampsForFilterID(std::int32_t filterID) const;
  // An event filter gathers a time per second it was met; a property filter keeps its latest.
  void addEventFilterTimestamp(double timestamp, std::int32_t filterID);
  void setUserPropertyTimestamp(double timestamp, std::int32_t filterID);
  // One message per filter, ascending by filter ID, times ascending.
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> sequenceFilterResultTimestamps() const;

 private:
  std::int32_t audienceID_;
  std::map<std::int32_t, std::vector<double>> allSequenceTimestampsByFilterID_;
};

class APMAudienceTimestampsCache {
 public:
  // Loads the audience's stored times once per cache.
  void populateCachedTimestamps(const APMFilterResult* result, std::int32_t audienceID);
  void addEvaluationTimestamp(double timestamp, const APMEventFilter& filter);
  void addEvaluationTimestamp(double timestamp, const APMPropertyFilter& filter);
  // Ascending by filter ID; empty when the audience has none.
  std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> dynamicTimestampsForAudienceID(
      std::int32_t audienceID) const;
  // Nothing when the cache holds no sequence times for the audience.
  std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>> sequenceTimestampsForAudienceID(
      std::int32_t audienceID) const;

 private:
  void addEvaluationTimestamp(double timestamp, const APMAudienceFilter& filter, bool eventFilter);

  std::map<std::int32_t, std::map<std::int32_t, double>> cachedDynamicFilterEvaluationTimestamps_;
  std::map<std::int32_t, APMSequenceTimestampsCache> cachedSequenceEvaluationTimestamps_;
};
