// Declaring, reading and assigning variables, properties, literals and type names. Arguments
// arrive evaluated, so names are string values.
#include <cmath>

#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_command_registrar.h"
#include "sdk/analytics/script/apmp_container_values.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_function_value.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_scope.h"

namespace {

using Kind = APMPRuntimeValue::Kind;

APMPValuePtr undefined() { return APMPUndefinedValue::sharedInstance(); }

const APMPString* nameOf(const APMPValuePtr& value, platform::Error* error) {
  if (value->kind() != Kind::String) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return nullptr;
  }
  return &static_cast<const APMPStringValue&>(*value).value();
}

APMPValuePtr assign(const APMPArguments& values, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckArgumentCount(values, 2, error)) return undefined();
  const APMPString* name = nameOf(values[0], error);
  if (!name) return undefined();
  if (!scope->hasName(*name)) {
    APMPSetError(error, kAPMPErrorUndeclaredAssignment);
    return undefined();
  }
  scope->setValue(values[1], *name);
  return values[1];
}

APMPValuePtr declareImmutable(const APMPArguments& values, const APMPScopePtr& scope, platform::Error* error) {
  if (values.size() % 2 != 0) {
    APMPSetError(error, kAPMPErrorArgumentCount);
    return undefined();
  }
  for (std::size_t i = 0; i < values.size(); i += 2) {
    const APMPString* name = nameOf(values[i], error);
    if (!name) return undefined();
    scope->addImmutableValue(values[i + 1], *name);
  }
  return undefined();
}

APMPValuePtr declareMutable(const APMPArguments& values, const APMPScopePtr& scope, platform::Error* error) {
  for (const APMPValuePtr& value : values) {
    const APMPString* name = nameOf(value, error);
    if (!name) return undefined();
    scope->addValue(undefined(), *name);
  }
  return undefined();
}

APMPValuePtr arrayLiteral(const APMPArguments& values, const APMPScopePtr&, platform::Error*) {
  return APMPArrayValue::make(values);
}

APMPValuePtr mapLiteral(const APMPArguments& values, const APMPScopePtr&, platform::Error* error) {
  if (values.size() % 2 != 0) {
    APMPSetError(error, kAPMPErrorArgumentCount);
    return undefined();
  }
  auto map = APMPMapValue::make();
  for (std::size_t i = 0; i < values.size(); i += 2) {
    const APMPString key = values[i]->stringValueOrError(error);
    if (APMPHasError(error)) return undefined();
    map->setValue(values[i + 1], key);
  }
  return map;
}

APMPValuePtr readVariable(const APMPArguments& values, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckArgumentCount(values, 1, error)) return undefined();
  const APMPString* name = nameOf(values[0], error);
  return name ? scope->valueForName(*name) : undefined();
}

APMPValuePtr readProperty(const APMPArguments& values, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(values, 2, error)) return undefined();
  const APMPValuePtr& target = values[0];
  const APMPValuePtr& key = values[1];
  switch (target->kind()) {
    case Kind::Array: return static_cast<const APMPArrayValue&>(*target).valueForProperty(*key, error);
    case Kind::Map:
    case Kind::Function: {
      const APMPString name = key->stringValueOrError(error);
      if (APMPHasError(error)) return undefined();
      return target->kind() == Kind::Map ? static_cast<const APMPMapValue&>(*target).valueForProperty(name)
                                         : static_cast<const APMPFunctionValue&>(*target).valueForProperty(name);
    }
    case Kind::String: {
      const APMPString& text = static_cast<const APMPStringValue&>(*target).value();
      if (key->kind() == Kind::String && static_cast<const APMPStringValue&>(*key).value() == u"length") {
        return APMPNumberValue::make(static_cast<double>(text.size()));
      }
      if (!APMPIsArrayIndex(*key)) return undefined();
      const double index = key->doubleValueOrError(nullptr);
      if (index >= static_cast<double>(text.size())) return undefined();
      return APMPStringValue::make(APMPString(1, text[static_cast<std::size_t>(index)]));
    }
    default: return undefined();
  }
}

APMPValuePtr setProperty(const APMPArguments& values, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(values, 3, error)) return undefined();
  const APMPValuePtr& target = values[0];
  switch (target->kind()) {
    case Kind::Undefined:
    case Kind::Null: APMPSetError(error, kAPMPErrorPropertyOfNothing); return undefined();
    case Kind::Array: static_cast<APMPArrayValue&>(*target).setValue(values[2], *values[1], error); break;
    case Kind::Map:
    case Kind::Function: {
      const APMPString name = values[1]->stringValueOrError(error);
      if (APMPHasError(error)) return undefined();
      if (target->kind() == Kind::Map) {
        static_cast<APMPMapValue&>(*target).setValue(values[2], name);
      } else {
        static_cast<APMPFunctionValue&>(*target).setValue(values[2], name);
      }
      break;
    }
    default: break;
  }
  return values[2];
}

APMPValuePtr typeName(const APMPArguments& values, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(values, 1, error)) return undefined();
  switch (values[0]->kind()) {
    case Kind::Boolean: return APMPStringValue::make(u"boolean");
    case Kind::Function: return APMPStringValue::make(u"function");
    case Kind::Number: return APMPStringValue::make(u"number");
    case Kind::String: return APMPStringValue::make(u"string");
    case Kind::Undefined: return APMPStringValue::make(u"undefined");
    default: return APMPStringValue::make(u"object");
  }
}

APMPValuePtr undefinedValue(const APMPArguments&, const APMPScopePtr&, platform::Error*) { return undefined(); }
APMPValuePtr nullValue(const APMPArguments&, const APMPScopePtr&, platform::Error*) {
  return APMPNullValue::sharedInstance();
}

}  // namespace

APMPVariableCommandEvaluator::APMPVariableCommandEvaluator()
    : APMPTableCommandEvaluator(Arguments::Evaluated, {
                                                          {"3", assign},
                                                          {"7", arrayLiteral},
                                                          {"8", mapLiteral},
                                                          {"15", readVariable},
                                                          {"16", readProperty},
                                                          {"17", readProperty},
                                                          {"40", typeName},
                                                          {"41", declareMutable},
                                                          {"43", setProperty},
                                                          {"44", undefinedValue},
                                                          {"45", nullValue},
                                                          {"52", declareImmutable},
                                                      }) {}
