// The primitive values (undefined, null, booleans, numbers, texts), their conversions, and the
// small functions every command evaluator shares: argument checks, integer conversions and the
// equality rules.
#pragma once

#include <cstdint>
#include <memory>

#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_runtime_value.h"

class APMPUndefinedValue final : public APMPRuntimeValue {
 public:
  APMPUndefinedValue() : APMPRuntimeValue(Kind::Undefined) {}
  static const APMPValuePtr& sharedInstance();
  APMPString stringValueOrError(platform::Error*) const override { return u"undefined"; }
  double doubleValueOrError(platform::Error*) const override;
  bool booleanValueOrError(platform::Error*) const override { return false; }
  APMPValuePtr applyWithName(const APMPString& name, const APMPArguments& arguments, const APMPScopePtr& scope,
                             platform::Error* error) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override { return other.isUndefined(); }
};

class APMPNullValue final : public APMPRuntimeValue {
 public:
  APMPNullValue() : APMPRuntimeValue(Kind::Null) {}
  static const APMPValuePtr& sharedInstance();
  APMPString stringValueOrError(platform::Error*) const override { return u"null"; }
  double doubleValueOrError(platform::Error*) const override { return 0; }
  bool booleanValueOrError(platform::Error*) const override { return false; }
  APMPValuePtr applyWithName(const APMPString& name, const APMPArguments& arguments, const APMPScopePtr& scope,
                             platform::Error* error) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override { return other.isNull(); }
};

class APMPBooleanValue final : public APMPRuntimeValue {
 public:
  explicit APMPBooleanValue(bool value) : APMPRuntimeValue(Kind::Boolean), value_(value) {}
  // One of the two shared instances.
  static const APMPValuePtr& booleanValueWithBool(bool value);
  bool value() const { return value_; }
  APMPString stringValueOrError(platform::Error*) const override { return value_ ? u"true" : u"false"; }
  double doubleValueOrError(platform::Error*) const override { return value_ ? 1 : 0; }
  bool booleanValueOrError(platform::Error*) const override { return value_; }
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;

 private:
  const bool value_;
};

class APMPNumberValue final : public APMPRuntimeValue {
 public:
  explicit APMPNumberValue(double value) : APMPRuntimeValue(Kind::Number), value_(value) {}
  static APMPValuePtr make(double value) { return std::make_shared<APMPNumberValue>(value); }
  double value() const { return value_; }
  APMPString stringValueOrError(platform::Error*) const override;
  double doubleValueOrError(platform::Error*) const override { return value_; }
  bool booleanValueOrError(platform::Error*) const override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;

 private:
  const double value_;
};

class APMPStringValue final : public APMPRuntimeValue {
 public:
  explicit APMPStringValue(APMPString value) : APMPRuntimeValue(Kind::String), value_(std::move(value)) {}
  static APMPValuePtr make(APMPString value) { return std::make_shared<APMPStringValue>(std::move(value)); }
  const APMPString& value() const { return value_; }
  // Both conversions go through every code unit and charge the run for them.
  APMPString stringValueOrError(platform::Error* error) const override;
  double doubleValueOrError(platform::Error* error) const override;
  bool booleanValueOrError(platform::Error*) const override { return !value_.empty(); }
  // The string methods; only "toString" until they are registered.
  APMPValuePtr applyWithName(const APMPString& name, const APMPArguments& arguments, const APMPScopePtr& scope,
                             platform::Error* error) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  std::size_t payloadBytes() const override { return value_.size() * sizeof(char16_t); }

 private:
  const APMPString value_;
};

// Handler of method calls on texts, installed by the string methods; none answers only
// "toString".
using APMPStringMethodHandler = APMPValuePtr (*)(const APMPString& name, const APMPStringValue& receiver,
                                                 const APMPArguments& arguments, const APMPScopePtr& scope,
                                                 platform::Error* error);
void APMPSetStringMethodHandler(APMPStringMethodHandler handler);

// Number to text as ES does it: shortest round-trip digits, plain notation for magnitudes in
// [1e-6, 1e21), otherwise one integer digit and an exponent "e+N" / "e-N".
APMPString APMPNumberToText(double value);
// Text to number: trimmed decimal literal, or exactly "NaN", "Infinity", "-Infinity"; anything
// else (hexadecimal, trailing characters) is NaN; empty or blank text is 0.
double APMPTextToNumber(const APMPString& text);
bool APMPIsWhiteSpaceOrNewline(char16_t unit);
APMPString APMPTrimmed(const APMPString& text);

double APMPToInteger(double x);
// Saturating where ES wraps: the remainder modulo 2^32 (with the sign of x) is clamped to the
// signed 32-bit range.
std::int32_t APMPToInt32(double x);
std::uint32_t APMPToUint32(double x);

// The plain text order: code unit by code unit; -1, 0 or 1.
int APMPCompareTexts(const APMPString& a, const APMPString& b);

bool APMPIsStringLike(const APMPRuntimeValue& value);
bool APMPIsArrayIndex(const APMPRuntimeValue& value);
bool APMPStringValuesEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b, platform::Error* error);
bool APMPNumberValuesEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b, platform::Error* error);
bool APMPStrictEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, platform::Error* error);
// `isEqualToRuntimeValue:` that cannot recurse without bound through self-holding containers.
bool APMPStructurallyEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b);

bool APMPCheckArgumentCount(const APMPArguments& arguments, std::size_t n, platform::Error* error);
bool APMPCheckMinimumArgumentCount(const APMPArguments& arguments, std::size_t n, platform::Error* error);
bool APMPCheckMaximumArgumentCount(const APMPArguments& arguments, std::size_t n, platform::Error* error);
// Evaluates a command's arguments left to right; stops after the first that sets the error.
APMPArguments APMPEvaluateArguments(const APMPArguments& arguments, const APMPScopePtr& scope,
                                    platform::Error* error);

// Method dispatch over a table of handlers (the string and array methods): an unknown name is
// error 17; the arguments are evaluated before the handler runs.
template <class Handlers, class Receiver>
APMPValuePtr APMPDispatchMethod(const Handlers& handlers, const APMPString& name, Receiver&& receiver,
                                const APMPArguments& arguments, const APMPScopePtr& scope, platform::Error* error) {
  const auto found = handlers.find(name);
  if (found == handlers.end()) {
    APMPSetError(error, kAPMPErrorUnknownMethod);
    return APMPUndefinedValue::sharedInstance();
  }
  const APMPArguments values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return APMPUndefinedValue::sharedInstance();
  return found->second(receiver, values, scope, error);
}

// Bounds recursion of the operations that walk nested values (joins, equality, conversions to
// native objects), so a self-holding or very deep container cannot exhaust the stack.
class APMPNestingGuard {
 public:
  static constexpr int kMaximumDepth = 256;
  APMPNestingGuard();
  ~APMPNestingGuard();
  APMPNestingGuard(const APMPNestingGuard&) = delete;
  APMPNestingGuard& operator=(const APMPNestingGuard&) = delete;
  bool exceeded() const;
};
