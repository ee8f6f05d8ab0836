// The event as event-editing programs see it: a name, a timestamp in the engine's unit, and
// parameters as native values. Edits work on copies; `isEqualToEvent` tells whether any stuck.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "sdk/analytics/common/apm_object.h"

class APMEvent;

class APMPEvent {
 public:
  APMPEvent(std::string name, double timestamp, platform::Value::Dictionary parameters)
      : name_(std::move(name)), timestamp_(timestamp), parameters_(std::move(parameters)) {}
  static std::shared_ptr<APMPEvent> initWithName(std::string name, double timestamp,
                                                 platform::Value::Dictionary parameters) {
    return std::make_shared<APMPEvent>(std::move(name), timestamp, std::move(parameters));
  }

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  double timestamp() const { return timestamp_; }
  void setTimestamp(double timestamp) { timestamp_ = timestamp; }
  const platform::Value::Dictionary& parameters() const { return parameters_; }
  std::optional<platform::Value> parameterForName(const std::string& name) const;
  // Nothing removes the parameter.
  void setParameter(std::optional<platform::Value> value, const std::string& name);
  bool hasParameterName(const std::string& name) const { return parameters_.count(name) != 0; }
  // Timestamps closer than the double epsilon count as equal; parameters by
  // `APMPParameterValuesEqual`.
  bool isEqualToEvent(const APMPEvent& other) const;
  std::shared_ptr<APMPEvent> copy() const { return std::make_shared<APMPEvent>(*this); }

 private:
  std::string name_;
  double timestamp_;
  platform::Value::Dictionary parameters_;
};

// Parameter values as the edit check compares them: numbers by their value whatever their kind
// (a program hands an integer parameter back as a double), NaN equal to NaN, containers by
// content; booleans, texts and other kinds as they are.
bool APMPParameterValuesEqual(const platform::Value& a, const platform::Value& b);

// Parameters for the interpreter: doubles, 64-bit integers and strings as they are, arrays of
// item dictionaries only at the top level; anything else is left out.
platform::Value::Dictionary APMEditEventParameters(const APMDictionary& parameters, bool nested);

// The interpreter's copy of an event, under its public name.
std::shared_ptr<APMPEvent> APMEventEditEvent(const APMEvent& event);
// An edited or created event back as an engine event: internal name, origin from "_o" when it is
// a string (else "app"), parameters sanitised again; nullptr when the name or origin is invalid.
std::shared_ptr<APMEvent> APMEventFromEditEvent(const APMPEvent& event);
