// The audience engine: stores the audience definitions of a downloaded configuration, evaluates
// the events and user properties of each bundle against them, keeps one result per audience and
// hands the results to bundling. Runs on the measurement worker queue only; of its own it keeps
// only the compiled patterns of the definitions in force: the store and the per-pass timestamps
// cache carry the rest.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sdk/analytics/common/apm_object.h"
#include "sdk/analytics/events/apm_audience_patterns.h"
#include "sdk/analytics/messages/apmpb_messages.h"

class APMAudienceTimestampsCache;
class APMDatabase;
class APMEvent;
class APMEventAggregates;
class APMFilterResult;
class APMUserAttribute;

class APMAudience {
 public:
  // `database` is the engine's store and must outlive the audience engine. The limits are read
  // from the process's remote configuration at each call.
  explicit APMAudience(APMDatabase& database) : database_(&database) {}

  // Definitions.
  bool updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences);
  bool maybeDeleteStaleFilterResults(const std::set<std::int32_t>& acceptedAudienceIDs);

  // Evaluation. A null cache means one for this call only.
  bool evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates* eventAggregates,
                               APMAudienceTimestampsCache* cache);
  bool evaluateFiltersForEventName(const std::string& eventName, const APMDictionary& eventParameters,
                                   const APMEventAggregates* eventAggregates, double eventTimestamp,
                                   APMAudienceTimestampsCache* cache);
  // Without an evaluation time the property's own set time is used.
  bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property, APMAudienceTimestampsCache* cache,
                                          std::optional<double> evaluationTime);
  bool evaluateFiltersForUserProperty(const APMUserAttribute& property, APMAudienceTimestampsCache* cache,
                                      double evaluationTimestamp);

  static bool isFilterResultTrueForFilterID(const APMFilterResult* result, std::int32_t filterID);
  static std::shared_ptr<APMFilterResult> updatedFilterResultWithFilterID(std::int32_t filterID,
                                                                          std::int32_t audienceID,
                                                                          const APMFilterResult* currentFilterResult,
                                                                          bool newEvaluationResult,
                                                                          const APMAudienceTimestampsCache* cache);

  // Bundling. On failure `results` is left empty.
  bool resultsForBundling(std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>* results);
  bool clearEvaluationResultsForSessionScopedFilters();

  // One event of a bundle with its counters, as bundle building has them.
  struct BundleEvent {
    std::shared_ptr<const APMEvent> event;
    std::shared_ptr<const APMEventAggregates> aggregates;
  };
  // Everything bundle building asks of audiences for one bundle: when the bundle holds a session
  // start, the session-scoped results are cleared and the bundle's user properties evaluated
  // afresh; then the events and the user properties (at the earliest event time) are evaluated
  // with one cache, and the results are put into the bundle's audience evaluation results.
  // Evaluation failures are logged and do not stop the bundle; false only when no results could
  // be attached.
  bool evaluateAndAttachResults(APMPBMeasurementBundle& bundle, const std::vector<BundleEvent>& events,
                                bool bundleHasSessionStart);

  // The regular expressions of the definitions in force, with what they cost.
  const APMAudiencePatterns& patterns() const { return patterns_; }

 private:
  APMDatabase* database_;
  APMAudiencePatterns patterns_;
};
