#include "sdk/analytics/script/apmp_runtime_entity_converter.h"

#include <cmath>

#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_container_values.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_primitive_values.h"

APMPValuePtr APMPRuntimeEntityConverter::runtimeValueFromNSObject(const std::optional<platform::Value>& object,
                                                                  platform::Error* error) {
  if (!object || object->isNull()) return APMPNullValue::sharedInstance();
  APMPNestingGuard guard;
  if (guard.exceeded()) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return APMPUndefinedValue::sharedInstance();
  }
  const platform::Value& value = *object;
  if (value.isString()) return APMPStringValue::make(APMPText(value.stringValue()));
  if (value.isBool()) return APMPBooleanValue::booleanValueWithBool(value.boolValue());
  if (value.isNumber()) return APMPNumberValue::make(value.doubleValue());
  if (const auto* dictionary = value.ifDictionary()) {
    auto map = APMPMapValue::make();
    for (const auto& [key, entry] : *dictionary) {
      APMPValuePtr converted = runtimeValueFromNSObject(entry, error);
      if (APMPHasError(error)) return APMPUndefinedValue::sharedInstance();
      map->propertyMap().setValue(std::move(converted), APMPText(key));
    }
    return map;
  }
  if (const auto* array = value.ifArray()) {
    APMPArguments elements;
    for (const platform::Value& entry : *array) {
      elements.push_back(runtimeValueFromNSObject(entry, error));
      if (APMPHasError(error)) return APMPUndefinedValue::sharedInstance();
    }
    return APMPArrayValue::make(std::move(elements));
  }
  APMPSetError(error, kAPMPErrorUnconvertibleObject);
  return APMPUndefinedValue::sharedInstance();
}

std::optional<platform::Value> APMPRuntimeEntityConverter::objectFromRuntimeValue(const APMPRuntimeValue& value,
                                                                                  platform::Error* error) {
  switch (value.kind()) {
    case APMPRuntimeValue::Kind::Null: return std::nullopt;
    case APMPRuntimeValue::Kind::Undefined: return platform::Value(std::string());
    case APMPRuntimeValue::Kind::Map: return platform::Value(dictionaryFromMapValue(static_cast<const APMPMapValue&>(value), error));
    case APMPRuntimeValue::Kind::Array: {
      APMPNestingGuard guard;
      if (guard.exceeded()) {
        APMPSetError(error, kAPMPErrorLimitReached);
        return platform::Value(platform::Value::Array{});
      }
      platform::Value::Array array;
      for (const APMPValuePtr& element : static_cast<const APMPArrayValue&>(value).allElements()) {
        auto converted = objectFromRuntimeValue(*element, error);
        if (APMPHasError(error)) break;
        if (converted) array.push_back(std::move(*converted));
      }
      return platform::Value(std::move(array));
    }
    default: break;
  }
  platform::Error local;
  const double number = value.doubleValueOrError(&local);
  if (!local && !std::isnan(number)) return platform::Value(number);
  local = platform::Error();
  const APMPString text = value.stringValueOrError(&local);
  if (local) {
    APMPKeepError(error, local);
    return std::nullopt;
  }
  return platform::Value(APMPUTF8(text));
}

platform::Value::Dictionary APMPRuntimeEntityConverter::dictionaryFromMapValue(const APMPMapValue& map,
                                                                               platform::Error* error) {
  platform::Value::Dictionary dictionary;
  APMPNestingGuard guard;
  if (guard.exceeded()) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return dictionary;
  }
  for (const APMPString& name : map.allPropertyNames()) {
    auto converted = objectFromRuntimeValue(*map.valueForProperty(name), error);
    if (APMPHasError(error)) break;
    if (converted) dictionary.emplace(APMPUTF8(name), std::move(*converted));
  }
  return dictionary;
}
