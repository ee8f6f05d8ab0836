// Arithmetic in IEEE doubles, addition that concatenates texts, pass-through opcodes, and the
// 32-bit integer operators over the saturating conversions.
#include <cmath>
#include <cstdint>

#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_command_registrar.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_run_state.h"

namespace {

APMPValuePtr undefined() { return APMPUndefinedValue::sharedInstance(); }

// Both operands as numbers, a first; false after a failed count check or conversion.
bool numbers(const APMPArguments& v, std::size_t count, double* a, double* b, platform::Error* error) {
  if (!APMPCheckArgumentCount(v, count, error)) return false;
  *a = v[0]->doubleValueOrError(error);
  if (APMPHasError(error)) return false;
  if (count == 2) *b = v[1]->doubleValueOrError(error);
  return !APMPHasError(error);
}

template <class Operation>
APMPValuePtr arithmetic(const APMPArguments& v, platform::Error* error, Operation operation) {
  double a = 0, b = 0;
  if (!numbers(v, 2, &a, &b, error)) return undefined();
  return APMPNumberValue::make(operation(a, b));
}

APMPValuePtr add(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(v, 2, error)) return undefined();
  if (!APMPIsStringLike(*v[0]) && !APMPIsStringLike(*v[1])) {
    return arithmetic(v, error, [](double a, double b) { return a + b; });
  }
  APMPString text = v[0]->stringValueOrError(error);
  if (APMPHasError(error)) return undefined();
  const APMPString right = v[1]->stringValueOrError(error);
  if (APMPHasError(error)) return undefined();
  // Repeated doubling would otherwise reach gigabytes within a few steps.
  if (text.size() + right.size() > APMPRunState::kMaximumTextLength ||
      !APMPChargeAllocation((text.size() + right.size()) * sizeof(char16_t), error)) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return undefined();
  }
  text += right;
  return APMPStringValue::make(std::move(text));
}

APMPValuePtr divide(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return arithmetic(v, error, [](double a, double b) { return a / b; });
}
APMPValuePtr remainder(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  // fmod is exact and keeps the sign of a, as ES's % does.
  return arithmetic(v, error, [](double a, double b) { return std::fmod(a, b); });
}
APMPValuePtr multiply(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return arithmetic(v, error, [](double a, double b) { return a * b; });
}
APMPValuePtr subtract(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return arithmetic(v, error, [](double a, double b) { return a - b; });
}
APMPValuePtr negate(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  double a = 0;
  if (!numbers(v, 1, &a, nullptr, error)) return undefined();
  return APMPNumberValue::make(-a);
}
APMPValuePtr firstOfTwo(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return APMPCheckArgumentCount(v, 2, error) ? v[0] : undefined();
}
APMPValuePtr onlyOne(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return APMPCheckArgumentCount(v, 1, error) ? v[0] : undefined();
}

template <class Operation>
APMPValuePtr bitwise(const APMPArguments& v, platform::Error* error, Operation operation) {
  double a = 0, b = 0;
  if (!numbers(v, 2, &a, &b, error)) return undefined();
  return APMPNumberValue::make(operation(a, b));
}

std::uint32_t shiftCount(double b) { return APMPToUint32(b) % 32; }

APMPValuePtr bitAnd(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return bitwise(v, error, [](double a, double b) { return double(APMPToInt32(a) & APMPToInt32(b)); });
}
APMPValuePtr bitOr(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return bitwise(v, error, [](double a, double b) { return double(APMPToInt32(a) | APMPToInt32(b)); });
}
APMPValuePtr bitXor(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return bitwise(v, error, [](double a, double b) { return double(APMPToInt32(a) ^ APMPToInt32(b)); });
}
APMPValuePtr shiftLeft(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return bitwise(v, error, [](double a, double b) {
    return double(static_cast<std::int32_t>(static_cast<std::uint32_t>(APMPToInt32(a)) << shiftCount(b)));
  });
}
APMPValuePtr shiftRight(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return bitwise(v, error, [](double a, double b) { return double(APMPToInt32(a) >> shiftCount(b)); });
}
APMPValuePtr unsignedShiftRight(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  return bitwise(v, error, [](double a, double b) { return double(APMPToUint32(a) >> shiftCount(b)); });
}
APMPValuePtr bitNot(const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  double a = 0;
  if (!numbers(v, 1, &a, nullptr, error)) return undefined();
  return APMPNumberValue::make(double(~APMPToInt32(a)));
}

}  // namespace

APMPMathCommandEvaluator::APMPMathCommandEvaluator()
    : APMPTableCommandEvaluator(Arguments::Evaluated, {
                                                          {"0", add},
                                                          {"10", divide},
                                                          {"25", remainder},
                                                          {"26", multiply},
                                                          {"27", negate},
                                                          {"32", firstOfTwo},
                                                          {"33", firstOfTwo},
                                                          {"34", onlyOne},
                                                          {"35", onlyOne},
                                                          {"37", subtract},
                                                      }) {}

APMPBitwiseCommandEvaluator::APMPBitwiseCommandEvaluator()
    : APMPTableCommandEvaluator(Arguments::Evaluated, {
                                                          {"56", bitAnd},
                                                          {"57", shiftLeft},
                                                          {"58", bitNot},
                                                          {"59", bitOr},
                                                          {"60", shiftRight},
                                                          {"61", unsignedShiftRight},
                                                          {"62", bitXor},
                                                      }) {}
