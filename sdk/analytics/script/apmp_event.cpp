#include "sdk/analytics/script/apmp_event.h"

#include <algorithm>
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

namespace {

bool isNumber(const platform::Value& value) { return value.isInteger() || value.isUnsigned() || value.isDouble(); }

// Exact: an integer beyond 2^53 is not equal to the double it would round to.
bool doubleEqualsInteger(double d, const platform::Value& integer) {
  if (std::trunc(d) != d) return false;
  if (const std::int64_t* i = integer.ifInteger()) {
    return d >= -0x1p63 && d < 0x1p63 && static_cast<std::int64_t>(d) == *i;
  }
  return d >= 0 && d < 0x1p64 && static_cast<std::uint64_t>(d) == *integer.ifUnsigned();
}

bool numbersEqual(const platform::Value& a, const platform::Value& b) {
  const double* x = a.ifDouble();
  const double* y = b.ifDouble();
  if (x && y) return *x == *y || (std::isnan(*x) && std::isnan(*y));
  if (x) return doubleEqualsInteger(*x, b);
  if (y) return doubleEqualsInteger(*y, a);
  return a == b;
}

}  // namespace

bool APMPParameterValuesEqual(const platform::Value& a, const platform::Value& b) {
  if (isNumber(a) && isNumber(b)) return numbersEqual(a, b);
  if (a.type() != b.type()) return false;
  if (const auto* array = a.ifArray()) {
    const auto& other = *b.ifArray();
    return array->size() == other.size() && std::equal(array->begin(), array->end(), other.begin(), APMPParameterValuesEqual);
  }
  if (const auto* dictionary = a.ifDictionary()) {
    const auto& other = *b.ifDictionary();
    return dictionary->size() == other.size() &&
           std::equal(dictionary->begin(), dictionary->end(), other.begin(), [](const auto& x, const auto& y) {
             return x.first == y.first && APMPParameterValuesEqual(x.second, y.second);
           });
  }
  return a == b;
}

bool APMPEvent::isEqualToEvent(const APMPEvent& other) const {
  if (this == &other) return true;
  return std::fabs(timestamp_ - other.timestamp_) < std::numeric_limits<double>::epsilon() && name_ == other.name_ &&
         parameters_.size() == other.parameters_.size() &&
         std::equal(parameters_.begin(), parameters_.end(), other.parameters_.begin(), [](const auto& x, const auto& y) {
           return x.first == y.first && APMPParameterValuesEqual(x.second, y.second);
         });
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
