// Translation of program entities (wire messages) into runtime values, and between runtime values
// and the host's native objects (platform values): what event parameters, module objects and
// created events pass through.
#pragma once

#include <optional>

#include "platform/foundation/value.h"
#include "sdk/analytics/script/apmp_runtime_value.h"

class APMPMapValue;
class APMPBRuntimeEntity;

class APMPRuntimeEntityConverter {
 public:
  // Kind 1 string, 2 number, 3 boolean, 4 statement (nested statements stay unevaluated); a
  // statement without its name is error 14, any other kind error 12.
  static APMPValuePtr runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity* entity, platform::Error* error);
  static APMPString stringValueFromRuntimeEntity(const APMPBRuntimeEntity* entity);
  static double numberValueFromRuntimeEntity(const APMPBRuntimeEntity* entity);
  static bool booleanValueFromRuntimeEntity(const APMPBRuntimeEntity* entity);
  static APMPValuePtr statementValueFromRuntimeEntity(const APMPBRuntimeEntity* entity, platform::Error* error);
  // Nothing (nullopt) or a null value gives null; strings, booleans, numbers, dictionaries and
  // arrays convert; data, dates and the like are error 13.
  static APMPValuePtr runtimeValueFromNSObject(const std::optional<platform::Value>& object, platform::Error* error);
  // Nothing for null; "" for undefined; maps and arrays leave out what converts to nothing; any
  // other value is its number when that is not NaN, else its text.
  static std::optional<platform::Value> objectFromRuntimeValue(const APMPRuntimeValue& value, platform::Error* error);
  static platform::Value::Dictionary dictionaryFromMapValue(const APMPMapValue& map, platform::Error* error);
};
