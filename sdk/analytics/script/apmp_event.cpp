#include "sdk/analytics/script/apmp_event.h"

#include <cmath>
#include <limits>

#include "sdk/analytics/common/apm_names.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/events/apm_event.h"

std::optional<platform::Value> APMPEvent::parameterForName(const std::string& name) const {
  const auto found = parameters_.find(name);
  if (found == parameters_.end()) return std::nullopt;
  return found->second;
}

void APMPEvent::setParameter(std::optional<platform::Value> value, const std::string& name) {
  if (value) {
    parameters_[name] = std::move(*value);
  } else {
    parameters_.erase(name);
  }
}

bool APMPEvent::isEqualToEvent(const APMPEvent& other) const {
  if (this == &other) return true;
  return std::fabs(timestamp_ - other.timestamp_) < std::numeric_limits<double>::epsilon() && name_ == other.name_ &&
         parameters_ == other.parameters_;
}

platform::Value::Dictionary APMEditEventParameters(const APMDictionary& parameters, bool nested) {
  platform::Value::Dictionary out;
  for (const auto& [name, object] : parameters) {
    const APMValuePtr* value = object.apmValue();
    if (!value || !*value) continue;
    switch ((*value)->valueType()) {
      case APMValue::Type::Double: out.emplace(name, platform::Value((*value)->doubleValue())); break;
      case APMValue::Type::Int64:
        out.emplace(name, platform::Value(static_cast<long long>((*value)->int64Value())));
        break;
      case APMValue::Type::String: out.emplace(name, platform::Value(*(*value)->stringValue())); break;
      case APMValue::Type::Array: {
        if (nested) break;
        platform::Value::Array items;
        for (const APMObject& item : *(*value)->arrayValue()) {
          items.emplace_back(APMEditEventParameters(item.dictionaryEntries(), true));
        }
        out.emplace(name, platform::Value(std::move(items)));
        break;
      }
    }
  }
  return out;
}

namespace {
const std::string& lookedUp(const APMNameTable& table, const std::string& name) {
  const auto found = table.find(name);
  return found == table.end() ? name : found->second;
}
}  // namespace

std::shared_ptr<APMPEvent> APMEventEditEvent(const APMEvent& event) {
  return APMPEvent::initWithName(lookedUp(APMInternalToPublicEventNames(), event.name()), event.timestamp(),
                                 APMEditEventParameters(event.parameters(), false));
}

std::shared_ptr<APMEvent> APMEventFromEditEvent(const APMPEvent& event) {
  const std::string& name = lookedUp(APMPublicToInternalEventNames(), event.name());
  const auto origin = event.parameterForName("_o");
  const std::string originName = origin && origin->isString() ? origin->stringValue() : "app";
  APMDictionary parameters;
  for (const auto& [key, value] : event.parameters()) parameters.emplace(key, APMObject(value));
  return APMEvent::initWithOrigin(originName, false, name, event.timestamp(), 0, parameters);
}
