// for-in and for-of in three binding variants, the counted loop with per-iteration copies of its
// variables, and while/do-while. The step budget is the only bound on iterations.
#include <optional>

#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_command_registrar.h"
#include "sdk/analytics/script/apmp_container_values.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_function_value.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_run_state.h"
#include "sdk/analytics/script/apmp_scope.h"

namespace {

using Kind = APMPRuntimeValue::Kind;

APMPValuePtr undefined() { return APMPUndefinedValue::sharedInstance(); }

// One pass of a body; nullopt goes on, a value ends the loop with it (undefined after an error
// or a break, the control value of a return).
std::optional<APMPValuePtr> runBody(const APMPArguments& body, const APMPScopePtr& scope, platform::Error* error) {
  const APMPValuePtr result = APMPEvaluator::executeStatements(body, scope, error);
  if (APMPHasError(error)) return undefined();
  if (result->kind() == Kind::Control) {
    switch (static_cast<const APMPControlValue&>(*result).type()) {
      case APMPControlValue::Type::Break: return undefined();
      case APMPControlValue::Type::Return: return result;
      case APMPControlValue::Type::Continue: break;
    }
  }
  return std::nullopt;
}

// The items are charged to the run before they are made.
APMPArguments propertyNames(const APMPValuePtr& collection, platform::Error* error) {
  APMPArguments names;
  const auto addAll = [&](const std::vector<APMPString>& all) {
    for (const APMPString& name : all) names.push_back(APMPStringValue::make(name));
  };
  switch (collection->kind()) {
    case Kind::String: {
      const std::size_t length = static_cast<const APMPStringValue&>(*collection).value().size();
      if (!APMPChargeWork(length, 0, error)) break;
      for (std::size_t i = 0; i < length; ++i) names.push_back(APMPStringValue::make(APMPNumberToText(double(i))));
      break;
    }
    case Kind::Array: {
      const auto& array = static_cast<const APMPArrayValue&>(*collection);
      if (!APMPChargeWork(array.count(), 0, error)) break;
      return array.allPropertyNames();
    }
    case Kind::Map: {
      const auto& map = static_cast<const APMPMapValue&>(*collection);
      if (APMPChargeWork(map.propertyMap().count(), 0, error)) addAll(map.allPropertyNames());
      break;
    }
    case Kind::Function: {
      const std::vector<APMPString> all = static_cast<const APMPFunctionValue&>(*collection).allPropertyNames();
      if (APMPChargeWork(all.size(), 0, error)) addAll(all);
      break;
    }
    default: break;
  }
  return names;
}

std::optional<APMPArguments> elements(const APMPValuePtr& collection, platform::Error* error) {
  if (collection->kind() == Kind::Array) {
    const auto& array = static_cast<const APMPArrayValue&>(*collection);
    if (!APMPChargeWork(array.count(), 0, error)) return std::nullopt;
    return array.allElements();
  }
  if (collection->kind() == Kind::String) {
    if (!APMPChargeWork(static_cast<const APMPStringValue&>(*collection).value().size(), 0, error)) return std::nullopt;
    APMPArguments units;
    for (char16_t unit : static_cast<const APMPStringValue&>(*collection).value()) {
      units.push_back(APMPStringValue::make(APMPString(1, unit)));
    }
    return units;
  }
  APMPSetError(error, kAPMPErrorNotIterable);
  return std::nullopt;
}

enum class Binding { Assign, Immutable, Mutable };

template <bool kOverElements, Binding kBinding>
APMPValuePtr forEachItem(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 3, error)) return undefined();
  const APMPArguments values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return undefined();
  const APMPString name = values[0]->stringValueOrError(error);
  if (APMPHasError(error)) return undefined();
  APMPArguments items;
  if constexpr (kOverElements) {
    auto all = elements(values[1], error);
    if (!all) return undefined();
    items = std::move(*all);
  } else {
    items = propertyNames(values[1], error);
    if (APMPHasError(error)) return undefined();
  }
  if (values[2]->kind() != Kind::Array) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return undefined();
  }
  const APMPArguments body = static_cast<const APMPArrayValue&>(*values[2]).slots();
  for (const APMPValuePtr& item : items) {
    APMPScopePtr iterationScope = scope;
    if constexpr (kBinding == Binding::Assign) {
      scope->setValue(item, name);
    } else {
      iterationScope = scope->createChildScope();
      if constexpr (kBinding == Binding::Immutable) {
        iterationScope->addImmutableValue(item, name);
      } else {
        iterationScope->addValue(item, name);
      }
    }
    if (auto end = runBody(body, iterationScope, error)) return *end;
  }
  return undefined();
}

APMPScopePtr iterationCopy(const APMPScopePtr& scope, const APMPScopePtr& from, const std::vector<APMPString>& names) {
  APMPScopePtr iteration = scope->createChildScope();
  for (const APMPString& name : names) iteration->addValue(from->valueForName(name), name);
  return iteration;
}

bool test(const APMPValuePtr& condition, const APMPScopePtr& scope, platform::Error* error) {
  const APMPValuePtr value = APMPEvaluator::evaluateStatement(condition, scope, error);
  if (APMPHasError(error)) return false;
  const bool truth = value->booleanValueOrError(error);
  return !APMPHasError(error) && truth;
}

APMPValuePtr countedLoop(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 4, error)) return undefined();
  const APMPValuePtr nameList = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (APMPHasError(error)) return undefined();
  if (nameList->kind() != Kind::Array) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return undefined();
  }
  const APMPValuePtr bodyList = APMPEvaluator::evaluateStatement(arguments[3], scope, error);
  if (APMPHasError(error)) return undefined();
  if (bodyList->kind() != Kind::Array) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return undefined();
  }
  std::vector<APMPString> names;
  for (const APMPValuePtr& name : static_cast<const APMPArrayValue&>(*nameList).slots()) {
    names.push_back(name->stringValueOrError(error));
    if (APMPHasError(error)) return undefined();
  }
  const APMPArguments body = static_cast<const APMPArrayValue&>(*bodyList).slots();
  APMPScopePtr iteration = iterationCopy(scope, scope, names);
  if (!test(arguments[1], iteration, error)) return undefined();
  for (;;) {
    if (auto end = runBody(body, iteration, error)) return *end;
    APMPScopePtr next = iterationCopy(scope, iteration, names);
    APMPEvaluator::evaluateStatement(arguments[2], next, error);
    if (APMPHasError(error) || !test(arguments[1], next, error)) return undefined();
    iteration = std::move(next);
  }
}

APMPValuePtr whileLoop(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 4, error)) return undefined();
  const APMPValuePtr flag = APMPEvaluator::evaluateStatement(arguments[2], scope, error);
  if (APMPHasError(error)) return undefined();
  const bool runFirst = flag->booleanValueOrError(error);
  if (APMPHasError(error)) return undefined();
  const APMPValuePtr bodyList = APMPEvaluator::evaluateStatement(arguments[3], scope, error);
  if (APMPHasError(error)) return undefined();
  if (bodyList->kind() != Kind::Array) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return undefined();
  }
  const APMPArguments body = static_cast<const APMPArrayValue&>(*bodyList).slots();
  if (runFirst) {
    if (auto end = runBody(body, scope, error)) return *end;
  }
  while (test(arguments[0], scope, error)) {
    if (auto end = runBody(body, scope, error)) return *end;
    APMPEvaluator::evaluateStatement(arguments[1], scope, error);
    if (APMPHasError(error)) return undefined();
  }
  return undefined();
}

}  // namespace

APMPLoopCommandEvaluator::APMPLoopCommandEvaluator()
    : APMPTableCommandEvaluator(Arguments::AsWritten, {
                                                          {"42", whileLoop},
                                                          {"47", forEachItem<false, Binding::Assign>},
                                                          {"54", forEachItem<false, Binding::Immutable>},
                                                          {"55", forEachItem<false, Binding::Mutable>},
                                                          {"63", countedLoop},
                                                          {"64", forEachItem<true, Binding::Assign>},
                                                          {"65", forEachItem<true, Binding::Immutable>},
                                                          {"66", forEachItem<true, Binding::Mutable>},
                                                      }) {}
