// Conditional user properties: user properties that another SDK library asks the engine to set
// later, when an event of a given name is logged within a time-out (or at once without one), and
// that expire after a time to live. The controller validates requests on the caller's thread and
// keeps the properties in the measurement store; everything that touches the store runs on the
// engine's worker queue inside one store transaction per step. Each change of state can log the
// event that the caller supplied for it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/analytics/common/apm_object.h"
#include "sdk/analytics/storage/apm_storage_records.h"

class APMEvent;
class APMMeasurement;

// The older names other libraries were written against.
using VDZAConditionalUserProperty = APMConditionalUserProperty;

// Trigger time-outs and times to live must lie in this range, in seconds (180 days at most).
inline constexpr double kAPMConditionalUserPropertyMinInterval = 0.001;
inline constexpr double kAPMConditionalUserPropertyMaxInterval = 15552000;
// How long a query waits for the worker queue.
inline constexpr double kAPMConditionalUserPropertyQueryTimeout = 30;

class APMConditionalUserPropertyController : public std::enable_shared_from_this<APMConditionalUserPropertyController> {
 public:
  using Events = std::vector<std::shared_ptr<APMEvent>>;
  using Properties = std::vector<std::shared_ptr<APMConditionalUserProperty>>;

  static std::shared_ptr<APMConditionalUserPropertyController> sharedInstance();

  // ---- any thread ----
  // Sets the property under `name` (a removal when it has no value) once the engine runs.
  void setConditionalUserProperty(const std::shared_ptr<const APMConditionalUserProperty>& property,
                                  const std::string& name);
  void clearConditionalUserPropertyWithClearEvent(const std::shared_ptr<const APMEvent>& clearEvent,
                                                  const std::string& name);
  // Prefix and origin are strings or nil. Waits for the worker queue; never call it from there.
  std::optional<Properties> conditionalUserPropertiesWithNamePrefix(const APMObject& prefix, const APMObject& origin);

  // ---- worker queue ----
  // A request as it was made: a set when it has a value, else a clear.
  void applyRequestOnWorkerQueue(const std::shared_ptr<const APMConditionalUserProperty>& request);
  void setConditionalUserPropertyOnWorkerQueue(const std::shared_ptr<const APMConditionalUserProperty>& property);
  void removeConditionalUserPropertyOnWorkerQueue(const std::shared_ptr<const APMConditionalUserProperty>& property);
  // Applies time-outs, expiries and triggers for one logged event. Writes the timed-out and
  // expired events itself and answers the triggered ones, which the caller writes after the
  // event; nothing on failure.
  std::optional<Events> processEventOnWorkerQueue(const std::shared_ptr<const APMEvent>& event);
  bool removeTimedOutCUPWithTimedOutEvents(Events* timedOutEvents);
  bool removeExpiredCUPWithExpiredEvents(Events* expiredEvents);
  std::optional<Events> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(const std::string& eventName);

 private:
  void scheduleOnEngine(const char* blockID, std::int64_t disabledCode, std::string_view disabledMessage,
                        std::shared_ptr<const APMConditionalUserProperty> request);
};

using VDZAConditionalUserPropertyController = APMConditionalUserPropertyController;

// Whether a request may be stored; the validator logs why not.
bool APMIsValidConditionalUserProperty(const APMConditionalUserProperty& property);
