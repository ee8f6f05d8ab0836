// One logged event: origin, internal name, time, previous time and parameters. Construction
// validates origin and name and sanitises the parameters, so an event always holds valid names
// and `APMValue` parameters. Flags and the origin live as reserved parameters, so they travel
// with the event through storage and upload. Used by one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/analytics/common/apm_object.h"

class APMPBEvent;
class APMValue;
class APMPBEventParam;

class APMEvent {
 public:
  static std::shared_ptr<APMEvent> initWithOrigin(const std::string& origin, bool isPublic, const std::string& name,
                                                  double timestamp, double previousTimestamp,
                                                  const APMDictionary& parameters);
  static std::shared_ptr<APMEvent> initWithEventProto(const APMPBEvent& proto);
  std::shared_ptr<APMPBEvent> protoEvent() const;

  std::shared_ptr<APMEvent> copyWithPreviousTimestamp(double previousTimestamp) const;
  std::shared_ptr<APMEvent> copyWithParameters(const APMDictionary& parameters) const;
  std::shared_ptr<APMEvent> copy() const;

  bool shouldValidateParams() const;
  bool isConversion() const;
  void setConversion(bool conversion);
  bool isRealtime() const;
  void setRealtime(bool realtime);
  bool isDebug() const;
  void setDebug(bool debug);
  void applyParameters(const APMDictionary& defaults);
  bool addScreenParameters(const APMDictionary& screenParameters);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }
  const APMDictionary& parameters() const { return parameters_; }

 private:
  APMDictionary parameters_;
  std::string origin_;
  std::string name_;
  double timestamp_ = 0;
  double previousTimestamp_ = 0;
};

// The wire form of parameters: one message per entry; arrays only at the top level.
std::vector<std::shared_ptr<APMPBEventParam>> APMProtoEventParams(const APMDictionary& parameters,
                                                                  const std::string& eventName, bool nested);

// Whether the event is "_err" (an empty name is logged and answers false).
bool APMIsErrorEvent(const APMEvent& event);
// Subscription conversions and renewals, and in-app purchases flagged "subscription" = 1.
bool APMIsSubscriptionEvent(const APMEvent& event);
// The event a store purchase is reported with: "_iap", "_iapx", "_assr" or "_assc", logged by the
// engine itself.
bool APMIsPurchaseEvent(const APMEvent& event);
// The parameter's value, or null when absent or not a value.
const APMValue* APMEventParameterValue(const APMEvent& event, std::string_view name);
// The total number of elements of the event's array parameters.
std::size_t APMArrayParameterItemCount(const APMEvent& event);
