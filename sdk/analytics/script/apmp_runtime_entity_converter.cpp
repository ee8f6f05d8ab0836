#include "sdk/analytics/script/apmp_runtime_entity_converter.h"

#include <cmath>
#include <limits>

#include "platform/foundation/error.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/script/apmp_container_values.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_run_state.h"

namespace {
// Field indices of `APMPBRuntimeEntity`.
constexpr std::int32_t kEntityKind = 0;
constexpr std::int32_t kEntityArguments = 1;
constexpr std::int32_t kEntityStatement = 2;
constexpr std::int32_t kEntityString = 3;
constexpr std::int32_t kEntityBoolean = 4;
constexpr std::int32_t kEntityNumber = 5;

enum EntityKind : std::int32_t { kKindString = 1, kKindNumber = 2, kKindBoolean = 3, kKindStatement = 4 };
}  // namespace

APMPValuePtr APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity* entity,
                                                                       platform::Error* error) {
  if (!entity || !NANOHasField(entity, kEntityKind)) {
    APMPSetError(error, kAPMPErrorUnknownEntity);
    return APMPUndefinedValue::sharedInstance();
  }
  switch (NANOGetInt32(entity, kEntityKind)) {
    case kKindString: return APMPStringValue::make(stringValueFromRuntimeEntity(entity));
    case kKindNumber: return APMPNumberValue::make(numberValueFromRuntimeEntity(entity));
    case kKindBoolean: return APMPBooleanValue::booleanValueWithBool(booleanValueFromRuntimeEntity(entity));
    case kKindStatement: return statementValueFromRuntimeEntity(entity, error);
    default: break;
  }
  APMPSetError(error, kAPMPErrorUnknownEntity);
  return APMPUndefinedValue::sharedInstance();
}

APMPString APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(const APMPBRuntimeEntity* entity) {
  return APMPText(NANOGetString(entity, kEntityString).value_or(""));
}

double APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(const APMPBRuntimeEntity* entity) {
  if (!NANOHasField(entity, kEntityNumber)) return std::numeric_limits<double>::quiet_NaN();
  return NANOGetDouble(entity, kEntityNumber);
}

bool APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(const APMPBRuntimeEntity* entity) {
  return NANOHasField(entity, kEntityBoolean) && NANOGetBool(entity, kEntityBoolean);
}

APMPValuePtr APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(const APMPBRuntimeEntity* entity,
                                                                         platform::Error* error) {
  const std::optional<std::string> name = NANOGetString(entity, kEntityStatement);
  if (!name) {
    APMPSetError(error, kAPMPErrorMissingFunctionName);
    return APMPUndefinedValue::sharedInstance();
  }
  // Decoded messages are already bounded in depth; messages built in memory are not.
  APMPNestingGuard guard;
  if (guard.exceeded()) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return APMPUndefinedValue::sharedInstance();
  }
  APMPArguments arguments;
  for (const auto& child : NANOGetArray<APMPBRuntimeEntity>(entity, kEntityArguments).value_or(
           std::vector<std::shared_ptr<APMPBRuntimeEntity>>{})) {
    arguments.push_back(runtimeValueFromRuntimeEntity(child.get(), error));
    if (APMPHasError(error)) return APMPUndefinedValue::sharedInstance();
  }
  return APMPStatementValue::initWithFunctionName(APMPText(*name), std::move(arguments));
}

APMPValuePtr APMPRuntimeEntityConverter::runtimeValueFromNSObject(const std::optional<platform::Value>& object,
                                                                  platform::Error* error) {
  if (!object || object->isNull()) return APMPNullValue::sharedInstance();
  APMPNestingGuard guard;
  if (guard.exceeded()) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return APMPUndefinedValue::sharedInstance();
  }
  const platform::Value& value = *object;
  // A program may read back, again and again, whatever large value it stored in the event.
  const std::string* text = value.ifString();
  if (!APMPChargeWork(1, text ? text->size() : 0, error)) return APMPUndefinedValue::sharedInstance();
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
  if (!APMPChargeWork(1, 0, error)) return std::nullopt;
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
