#include "sdk/analytics/script/apmp_array_commands.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_container_values.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_function_value.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_run_state.h"

namespace {

APMPValuePtr undefined() { return APMPUndefinedValue::sharedInstance(); }
APMPValuePtr number(double value) { return APMPNumberValue::make(value); }
APMPValuePtr self(APMPArrayValue& array) { return array.shared_from_this(); }

std::optional<double> integerOf(const APMPValuePtr& value, platform::Error* error) {
  const double d = value->doubleValueOrError(error);
  if (APMPHasError(error)) return std::nullopt;
  return APMPToInteger(d);
}

// A relative position (negative counts from the end) clamped to [low, n].
double relative(double integer, double n, double low) {
  return std::clamp(integer < 0 ? integer + n : integer, low, n);
}

std::shared_ptr<APMPFunctionValue> functionArgument(const APMPValuePtr& value, platform::Error* error) {
  if (value->kind() != APMPRuntimeValue::Kind::Function) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return nullptr;
  }
  return std::static_pointer_cast<APMPFunctionValue>(value);
}

// Whether the slot at an index is present: what asking the array with the index as a number
// answers, without making the number or its text.
bool isPresent(const APMPArrayValue& array, std::size_t index) {
  return index < array.count() && !APMPArrayValue::isHole(array.slots()[index]);
}

// Calls the function for every slot present when its turn comes, among the first n; `step`
// answers false to stop.
template <class Step>
void iterate(APMPArrayValue& array, const APMPArguments& v, const APMPScopePtr& scope, platform::Error* error,
             Step step) {
  if (!APMPCheckArgumentCount(v, 1, error)) return;
  const auto function = functionArgument(v[0], error);
  if (!function) return;
  const APMPValuePtr receiver = self(array);
  const std::size_t n = array.count();
  for (std::size_t i = 0; i < n; ++i) {
    if (!APMPChargeWork(1, 0, error)) return;
    if (!isPresent(array, i)) continue;
    const APMPValuePtr index = number(static_cast<double>(i));
    const APMPValuePtr element = array.slots()[i];
    const APMPValuePtr result = function->invokeWithArguments({element, index, receiver}, scope, error);
    if (APMPHasError(error) || !step(i, element, result)) return;
  }
}

bool truth(const APMPValuePtr& value, platform::Error* error) {
  const bool b = value->booleanValueOrError(error);
  return !APMPHasError(error) && b;
}

APMPValuePtr every(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr& scope, platform::Error* error) {
  bool all = true;
  iterate(a, v, scope, error, [&](std::size_t, const APMPValuePtr&, const APMPValuePtr& result) {
    const bool b = truth(result, error);
    if (!b && !APMPHasError(error)) all = false;
    return b;
  });
  return APMPBooleanValue::booleanValueWithBool(all);
}

APMPValuePtr some(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr& scope, platform::Error* error) {
  bool any = false;
  iterate(a, v, scope, error, [&](std::size_t, const APMPValuePtr&, const APMPValuePtr& result) {
    any = truth(result, error);
    return !any && !APMPHasError(error);
  });
  return APMPBooleanValue::booleanValueWithBool(any);
}

APMPValuePtr filter(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr& scope, platform::Error* error) {
  auto out = APMPArrayValue::make();
  iterate(a, v, scope, error, [&](std::size_t, const APMPValuePtr& element, const APMPValuePtr& result) {
    if (truth(result, error)) out->appendElements({element}, error);
    return !APMPHasError(error);
  });
  return out;
}

APMPValuePtr forEach(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr& scope, platform::Error* error) {
  iterate(a, v, scope, error, [](std::size_t, const APMPValuePtr&, const APMPValuePtr&) { return true; });
  return undefined();
}

APMPValuePtr map(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr& scope, platform::Error* error) {
  auto out = APMPArrayValue::make();
  iterate(a, v, scope, error, [&](std::size_t i, const APMPValuePtr&, const APMPValuePtr& result) {
    out->setValue(result, *number(static_cast<double>(i)), error);
    return !APMPHasError(error);
  });
  return out;
}

APMPValuePtr reduceInDirection(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr& scope,
                               platform::Error* error, bool rightToLeft) {
  if (!APMPCheckMinimumArgumentCount(v, 1, error) || !APMPCheckMaximumArgumentCount(v, 2, error)) return undefined();
  const auto function = functionArgument(v[0], error);
  if (!function) return undefined();
  if (v.size() == 2 && v[1]->kind() == APMPRuntimeValue::Kind::Control) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return undefined();
  }
  const APMPValuePtr receiver = self(a);
  const auto n = static_cast<std::int64_t>(a.count());
  const std::int64_t stride = rightToLeft ? -1 : 1;
  std::int64_t i = rightToLeft ? n - 1 : 0;
  const auto inRange = [&] { return i >= 0 && i < n; };
  const auto present = [&](std::int64_t at) {
    return APMPChargeWork(1, 0, error) && isPresent(a, static_cast<std::size_t>(at));
  };
  APMPValuePtr accumulator;
  if (v.size() == 2) {
    accumulator = v[1];
  } else {
    for (; inRange(); i += stride) {
      const bool has = present(i);
      if (APMPHasError(error)) return undefined();
      if (has) break;
    }
    if (!inRange()) {
      APMPSetError(error, kAPMPErrorReduceOfEmpty);
      return undefined();
    }
    accumulator = a.slots()[static_cast<std::size_t>(i)];
    i += stride;
  }
  for (; inRange(); i += stride) {
    const bool has = present(i);
    if (APMPHasError(error)) return undefined();
    if (!has) continue;
    const APMPValuePtr element = a.slots()[static_cast<std::size_t>(i)];
    accumulator = function->invokeWithArguments({accumulator, element, number(static_cast<double>(i)), receiver},
                                                scope, error);
    if (APMPHasError(error)) return undefined();
  }
  return accumulator;
}

APMPValuePtr reduce(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr& scope, platform::Error* error) {
  return reduceInDirection(a, v, scope, error, false);
}

APMPValuePtr reduceRight(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr& scope,
                         platform::Error* error) {
  return reduceInDirection(a, v, scope, error, true);
}

APMPValuePtr concat(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPChargeWork(a.count(), 0, error)) return undefined();
  auto out = APMPArrayValue::make(a.slots());
  for (const APMPValuePtr& value : v) {
    if (!out->concat(value, error)) return undefined();
  }
  return out;
}

APMPValuePtr hasOwnProperty(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(v, 1, error)) return undefined();
  const APMPString name = v[0]->stringValueOrError(error);
  if (APMPHasError(error)) return undefined();
  if (name == u"length") return APMPBooleanValue::booleanValueWithBool(true);
  const bool has = a.hasProperty(*v[0], error);
  return APMPHasError(error) ? undefined() : APMPBooleanValue::booleanValueWithBool(has);
}

APMPValuePtr indexOf(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 2, error)) return undefined();
  const APMPValuePtr searched = v.empty() ? undefined() : v[0];
  const double n = static_cast<double>(a.count());
  double start = 0;
  if (v.size() > 1) {
    const auto integer = integerOf(v[1], error);
    if (!integer) return undefined();
    start = *integer;
  }
  if (start >= n) return number(-1);
  if (start < 0) start = std::max(start + n, 0.0);
  const std::int64_t found = a.indexOfValue(*searched, static_cast<std::int64_t>(start), error);
  return APMPHasError(error) ? undefined() : number(static_cast<double>(found));
}

APMPValuePtr lastIndexOf(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 2, error)) return undefined();
  const APMPValuePtr searched = v.empty() ? undefined() : v[0];
  const double n = static_cast<double>(a.count());
  double from = n - 1;
  if (v.size() > 1) {
    const double d = v[1]->doubleValueOrError(error);
    if (APMPHasError(error)) return undefined();
    if (!std::isnan(d)) from = APMPToInteger(d);
  }
  if (from < 0) from += n;
  if (from < 0) return number(-1);
  const std::int64_t found = a.lastIndexOfValue(*searched, static_cast<std::int64_t>(std::min(from, n - 1)), error);
  return APMPHasError(error) ? undefined() : number(static_cast<double>(found));
}

APMPValuePtr join(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 1, error)) return undefined();
  APMPString separator = u",";
  if (!v.empty()) {
    separator = v[0]->isNothing() ? APMPString() : v[0]->stringValueOrError(error);
    if (APMPHasError(error)) return undefined();
  }
  APMPString joined = a.stringValueWithSeparator(separator, error);
  return APMPHasError(error) ? undefined() : APMPStringValue::make(std::move(joined));
}

APMPValuePtr toString(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(v, 0, error)) return undefined();
  APMPString joined = a.stringValueWithSeparator(u",", error);
  return APMPHasError(error) ? undefined() : APMPStringValue::make(std::move(joined));
}

APMPValuePtr pop(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(v, 0, error)) return undefined();
  return a.removeLastElement();
}

APMPValuePtr shift(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(v, 0, error) || !APMPChargeWork(a.count(), 0, error)) return undefined();
  return a.removeFirstElement();
}

APMPValuePtr push(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  const auto count = a.appendElements(v, error);
  return count ? number(static_cast<double>(*count)) : undefined();
}

APMPValuePtr unshift(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  const auto count = a.prependElements(v, error);
  return count ? number(static_cast<double>(*count)) : undefined();
}

APMPValuePtr reverse(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(v, 0, error) || !APMPChargeWork(a.count(), 0, error)) return undefined();
  a.reverse();
  return self(a);
}

APMPValuePtr slice(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 2, error)) return undefined();
  const double n = static_cast<double>(a.count());
  double start = 0, end = n;
  if (!v.empty()) {
    const auto integer = integerOf(v[0], error);
    if (!integer) return undefined();
    start = relative(*integer, n, 0);
  }
  if (v.size() > 1) {
    const auto integer = integerOf(v[1], error);
    if (!integer) return undefined();
    end = relative(*integer, n, start);
  }
  end = std::max(end, start);
  if (!APMPChargeWork(static_cast<std::size_t>(end - start), 0, error)) return undefined();
  return a.subarrayWithRange(static_cast<std::int64_t>(start), static_cast<std::int64_t>(end - start));
}

APMPValuePtr sort(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 1, error)) return undefined();
  if (a.count() <= 1) return self(a);
  std::shared_ptr<APMPFunctionValue> comparator;
  if (!v.empty()) {
    comparator = functionArgument(v[0], error);
    if (!comparator) return self(a);
  }
  a.sortUsingFunctionValue(comparator, scope, error);
  return self(a);
}

APMPValuePtr splice(APMPArrayValue& a, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (v.empty()) return APMPArrayValue::make();
  const double n = static_cast<double>(a.count());
  const auto first = integerOf(v[0], error);
  if (!first) return undefined();
  const double start = relative(*first, n, 0);
  double deleteCount = n - start;
  if (v.size() > 1) {
    const auto integer = integerOf(v[1], error);
    if (!integer) return undefined();
    deleteCount = std::clamp(*integer, 0.0, n - start);
  }
  const APMPArguments inserted(v.begin() + std::min<std::size_t>(2, v.size()), v.end());
  auto removed = a.spliceFrom(static_cast<std::int64_t>(start), static_cast<std::int64_t>(deleteCount), inserted, error);
  if (!removed) return undefined();
  return APMPArrayValue::make(std::move(*removed));
}

APMPValuePtr dispatch(const APMPString& name, APMPArrayValue& receiver, const APMPArguments& arguments,
                      const APMPScopePtr& scope, platform::Error* error) {
  return APMPArrayCommandEvaluator::sharedInstance().evaluateCommand(name, receiver, arguments, scope, error);
}

}  // namespace

APMPArrayCommandEvaluator& APMPArrayCommandEvaluator::sharedInstance() {
  // Never destroyed: a script may still run on a worker while the process exits.
  static APMPArrayCommandEvaluator* const evaluator = new APMPArrayCommandEvaluator;
  return *evaluator;
}

APMPArrayCommandEvaluator::APMPArrayCommandEvaluator()
    : handlers_{{u"concat", concat},   {u"every", every},         {u"filter", filter},
                {u"forEach", forEach}, {u"hasOwnProperty", hasOwnProperty},
                {u"indexOf", indexOf}, {u"join", join},           {u"lastIndexOf", lastIndexOf},
                {u"map", map},         {u"pop", pop},             {u"push", push},
                {u"reduce", reduce},   {u"reduceRight", reduceRight},
                {u"reverse", reverse}, {u"shift", shift},         {u"slice", slice},
                {u"some", some},       {u"sort", sort},           {u"splice", splice},
                {u"toString", toString}, {u"unshift", unshift}} {}

APMPValuePtr APMPArrayCommandEvaluator::evaluateCommand(const APMPString& name, APMPArrayValue& array,
                                                        const APMPArguments& arguments, const APMPScopePtr& scope,
                                                        platform::Error* error) const {
  return APMPDispatchMethod(handlers_, name, array, arguments, scope, error);
}

void APMPInstallArrayMethods() { APMPSetArrayMethodHandler(&dispatch); }
