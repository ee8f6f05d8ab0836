// Equality and ordering operators (operands evaluated first) and the short-circuit logical ones
// (operands evaluated by the handler, only when needed).
#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_command_registrar.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_primitive_values.h"

namespace {

using Kind = APMPRuntimeValue::Kind;

APMPValuePtr undefined() { return APMPUndefinedValue::sharedInstance(); }
APMPValuePtr boolean(bool value, platform::Error* error) {
  return APMPHasError(error) ? undefined() : APMPBooleanValue::booleanValueWithBool(value);
}

int operandKind(const APMPRuntimeValue& value) {
  switch (value.kind()) {
    case Kind::Undefined:
    case Kind::Null: return 0;
    case Kind::Number:
    case Kind::Boolean: return 1;
    case Kind::String: return 2;
    default: return 3;
  }
}

bool looseEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, platform::Error* error) {
  const bool swap = operandKind(a) > operandKind(b);
  const APMPRuntimeValue& x = swap ? b : a;
  const APMPRuntimeValue& y = swap ? a : b;
  switch (operandKind(x)) {
    case 2: return APMPStringValuesEqual(x, y, error);
    case 1: return APMPNumberValuesEqual(x, y, error);
    case 0: return operandKind(y) == 0;
    default: return &a == &b;
  }
}

// -1, 0 or 1; NaN on either side, or a failed conversion, gives 1.
int compareValues(const APMPRuntimeValue& a, const APMPRuntimeValue& b, platform::Error* error) {
  if (APMPIsStringLike(a) && APMPIsStringLike(b)) {
    const APMPString x = a.stringValueOrError(error);
    if (APMPHasError(error)) return 1;
    const APMPString y = b.stringValueOrError(error);
    if (APMPHasError(error)) return 1;
    return APMPCompareTexts(x, y);
  }
  const double x = a.doubleValueOrError(error);
  if (APMPHasError(error)) return 1;
  const double y = b.doubleValueOrError(error);
  if (APMPHasError(error)) return 1;
  if (x == y) return 0;
  return x < y ? -1 : 1;
}

APMPValuePtr equal(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return boolean(looseEquals(*v[0], *v[1], error), error);
}
APMPValuePtr notEqual(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return boolean(!looseEquals(*v[0], *v[1], error), error);
}
APMPValuePtr strictEqual(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return boolean(APMPStrictEquals(*v[0], *v[1], error), error);
}
APMPValuePtr strictNotEqual(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return boolean(!APMPStrictEquals(*v[0], *v[1], error), error);
}
APMPValuePtr greater(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return boolean(compareValues(*v[1], *v[0], error) == -1, error);
}
APMPValuePtr greaterOrEqual(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return boolean(compareValues(*v[1], *v[0], error) <= 0, error);
}
APMPValuePtr less(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return boolean(compareValues(*v[0], *v[1], error) == -1, error);
}
APMPValuePtr lessOrEqual(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return boolean(compareValues(*v[0], *v[1], error) <= 0, error);
}

APMPValuePtr logicalAnd(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 2, error)) return undefined();
  APMPValuePtr a = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (APMPHasError(error)) return undefined();
  const bool truth = a->booleanValueOrError(error);
  if (APMPHasError(error)) return undefined();
  return truth ? APMPEvaluator::evaluateStatement(arguments[1], scope, error) : a;
}

APMPValuePtr logicalOr(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 2, error)) return undefined();
  APMPValuePtr a = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (APMPHasError(error)) return undefined();
  const bool truth = a->booleanValueOrError(error);
  if (APMPHasError(error)) return undefined();
  return truth ? a : APMPEvaluator::evaluateStatement(arguments[1], scope, error);
}

APMPValuePtr logicalNot(const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 1, error)) return undefined();
  const APMPValuePtr a = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (APMPHasError(error)) return undefined();
  const bool truth = a->booleanValueOrError(error);
  return boolean(!truth, error);
}

}  // namespace

APMPComparisonCommandEvaluator::APMPComparisonCommandEvaluator()
    : APMPTableCommandEvaluator(Arguments::Evaluated, {
                                                          {"12", equal},
                                                          {"18", greater},
                                                          {"19", greaterOrEqual},
                                                          {"20", strictEqual},
                                                          {"21", strictNotEqual},
                                                          {"23", less},
                                                          {"24", lessOrEqual},
                                                          {"29", notEqual},
                                                      }) {}

APMPValuePtr APMPComparisonCommandEvaluator::evaluateCommand(const APMPString& command, const APMPArguments& arguments,
                                                             const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 2, error)) return undefined();
  return APMPTableCommandEvaluator::evaluateCommand(command, arguments, scope, error);
}

APMPLogicalCommandEvaluator::APMPLogicalCommandEvaluator()
    : APMPTableCommandEvaluator(Arguments::AsWritten, {
                                                          {"1", logicalAnd},
                                                          {"28", logicalNot},
                                                          {"30", logicalOr},
                                                      }) {}
