#include "sdk/analytics/script/apmp_primitive_values.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <typeinfo>

#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_run_state.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
thread_local int tNestingDepth = 0;
APMPStringMethodHandler gStringMethodHandler = nullptr;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal literal consumed to its end: sign, digits with an optional fraction (either side of
// the point may be empty, not both), optional exponent.
bool isDecimalLiteral(const std::string& s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < s.size() && isDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && isDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exponentDigits = 0;
    while (i < s.size() && isDigit(s[i])) ++i, ++exponentDigits;
    if (exponentDigits == 0) return false;
  }
  return i == s.size();
}

// from_chars leaves out-of-range results unset: decide between overflow and underflow from the
// position of the first significant digit.
double outOfRange(const std::string& literal, bool negative) {
  std::size_t i = 0;
  long long position = 0;  // decimal exponent of the first significant digit, plus one
  bool seenPoint = false, seenSignificant = false;
  for (; i < literal.size() && literal[i] != 'e' && literal[i] != 'E'; ++i) {
    const char c = literal[i];
    if (c == '.') {
      seenPoint = true;
    } else if (isDigit(c)) {
      if (!seenSignificant && c != '0') seenSignificant = true;
      if (!seenPoint && seenSignificant) ++position;
      if (seenPoint && !seenSignificant) --position;
    }
  }
  long long exponent = 0;
  if (i < literal.size()) {
    std::string digits = literal.substr(i + 1);
    bool negativeExponent = !digits.empty() && digits[0] == '-';
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.erase(0, 1);
    for (char c : digits) exponent = std::min<long long>(exponent * 10 + (c - '0'), 1'000'000'000);
    if (negativeExponent) exponent = -exponent;
  }
  const double magnitude = (seenSignificant && position + exponent > 0) ? kInfinity : 0.0;
  return negative ? -magnitude : magnitude;
}

}  // namespace

const APMPValuePtr& APMPUndefinedValue::sharedInstance() {
  // Never destroyed: a script may still run on a worker while the process exits.
  static const APMPValuePtr* const instance = new APMPValuePtr(std::make_shared<APMPUndefinedValue>());
  return *instance;
}

double APMPUndefinedValue::doubleValueOrError(platform::Error*) const { return kNaN; }

APMPValuePtr APMPUndefinedValue::applyWithName(const APMPString&, const APMPArguments&, const APMPScopePtr&,
                                               platform::Error* error) {
  APMPSetError(error, kAPMPErrorMethodOfNothing);
  return sharedInstance();
}

const APMPValuePtr& APMPNullValue::sharedInstance() {
  // Never destroyed: a script may still run on a worker while the process exits.
  static const APMPValuePtr* const instance = new APMPValuePtr(std::make_shared<APMPNullValue>());
  return *instance;
}

APMPValuePtr APMPNullValue::applyWithName(const APMPString&, const APMPArguments&, const APMPScopePtr&,
                                          platform::Error* error) {
  APMPSetError(error, kAPMPErrorMethodOfNothing);
  return APMPUndefinedValue::sharedInstance();
}

const APMPValuePtr& APMPBooleanValue::booleanValueWithBool(bool value) {
  // Never destroyed: a script may still run on a worker while the process exits.
  static const APMPValuePtr* const yes = new APMPValuePtr(std::make_shared<APMPBooleanValue>(true));
  static const APMPValuePtr* const no = new APMPValuePtr(std::make_shared<APMPBooleanValue>(false));
  return value ? *yes : *no;
}

bool APMPBooleanValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  return other.kind() == Kind::Boolean && static_cast<const APMPBooleanValue&>(other).value_ == value_;
}

APMPString APMPNumberValue::stringValueOrError(platform::Error*) const { return APMPNumberToText(value_); }

bool APMPNumberValue::booleanValueOrError(platform::Error*) const { return !(value_ == 0 || std::isnan(value_)); }

bool APMPNumberValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (other.kind() != Kind::Number) return false;
  const double v = static_cast<const APMPNumberValue&>(other).value_;
  return v == value_ || (std::isnan(v) && std::isnan(value_));
}

APMPString APMPStringValue::stringValueOrError(platform::Error* error) const {
  APMPChargeWork(0, value_.size(), error);
  return value_;
}

double APMPStringValue::doubleValueOrError(platform::Error* error) const {
  APMPChargeWork(0, value_.size(), error);
  return APMPTextToNumber(value_);
}

APMPValuePtr APMPStringValue::applyWithName(const APMPString& name, const APMPArguments& arguments,
                                            const APMPScopePtr& scope, platform::Error* error) {
  if (gStringMethodHandler) return gStringMethodHandler(name, *this, arguments, scope, error);
  return APMPRuntimeValue::applyWithName(name, arguments, scope, error);
}

bool APMPStringValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  return other.kind() == Kind::String && static_cast<const APMPStringValue&>(other).value_ == value_;
}

void APMPSetStringMethodHandler(APMPStringMethodHandler handler) { gStringMethodHandler = handler; }

APMPString APMPNumberToText(double value) {
  if (std::isnan(value)) return u"NaN";
  if (std::isinf(value)) return value > 0 ? u"Infinity" : u"-Infinity";
  if (value == 0) return u"0";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific);
  const std::string scientific(buffer, result.ptr);
  const std::size_t e = scientific.find('e');
  std::string digits;
  for (std::size_t i = 0; i < e; ++i) {
    if (scientific[i] != '.') digits += scientific[i];
  }
  const int k = static_cast<int>(digits.size());
  const int n = std::stoi(scientific.substr(e + 1)) + 1;
  std::string out = value < 0 ? "-" : "";
  if (k <= n && n <= 21) {
    out += digits + std::string(static_cast<std::size_t>(n - k), '0');
  } else if (0 < n && n <= 21) {
    out += digits.substr(0, static_cast<std::size_t>(n)) + "." + digits.substr(static_cast<std::size_t>(n));
  } else if (-6 < n && n <= 0) {
    out += "0." + std::string(static_cast<std::size_t>(-n), '0') + digits;
  } else {
    out += digits.substr(0, 1);
    if (k > 1) out += "." + digits.substr(1);
    out += n - 1 < 0 ? "e-" : "e+";
    out += std::to_string(std::abs(n - 1));
  }
  return APMPString(out.begin(), out.end());
}

bool APMPIsWhiteSpaceOrNewline(char16_t u) {
  return (u >= 0x09 && u <= 0x0D) || u == 0x20 || u == 0x85 || u == 0xA0 || u == 0x1680 ||
         (u >= 0x2000 && u <= 0x200A) || u == 0x2028 || u == 0x2029 || u == 0x202F || u == 0x205F || u == 0x3000;
}

APMPString APMPTrimmed(const APMPString& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && APMPIsWhiteSpaceOrNewline(text[begin])) ++begin;
  while (end > begin && APMPIsWhiteSpaceOrNewline(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

double APMPTextToNumber(const APMPString& text) {
  const APMPString trimmed = APMPTrimmed(text);
  if (trimmed.empty()) return 0;
  if (trimmed == u"NaN") return kNaN;
  if (trimmed == u"Infinity") return kInfinity;
  if (trimmed == u"-Infinity") return -kInfinity;
  std::string ascii;
  ascii.reserve(trimmed.size());
  for (char16_t u : trimmed) {
    if (u > 0x7F) return kNaN;
    ascii += static_cast<char>(u);
  }
  if (!isDecimalLiteral(ascii)) return kNaN;
  const bool negative = ascii[0] == '-';
  const std::string body = (ascii[0] == '-' || ascii[0] == '+') ? ascii.substr(1) : ascii;
  double value = 0;
  const auto result = std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) return outOfRange(body, negative);
  if (result.ec != std::errc() || result.ptr != body.data() + body.size()) return kNaN;
  return negative ? -value : value;
}

double APMPToInteger(double x) {
  if (std::isnan(x)) return 0;
  if (x == 0 || std::isinf(x)) return x;
  return std::copysign(std::floor(std::fabs(x)), x);
}

std::int32_t APMPToInt32(double x) {
  if (std::isnan(x) || std::isinf(x)) return 0;
  const double t = std::copysign(std::floor(std::fabs(x)), x);
  const double r = std::fmod(t, 4294967296.0);
  if (r >= 2147483648.0) return 2147483647;
  if (r <= -2147483649.0) return -2147483647 - 1;
  return static_cast<std::int32_t>(r);
}

std::uint32_t APMPToUint32(double x) { return static_cast<std::uint32_t>(APMPToInt32(x)); }

int APMPCompareTexts(const APMPString& a, const APMPString& b) {
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool APMPIsStringLike(const APMPRuntimeValue& value) {
  switch (value.kind()) {
    case APMPRuntimeValue::Kind::Array:
    case APMPRuntimeValue::Kind::Function:
    case APMPRuntimeValue::Kind::Map:
    case APMPRuntimeValue::Kind::String: return true;
    default: return false;
  }
}

bool APMPIsArrayIndex(const APMPRuntimeValue& value) {
  if (value.kind() != APMPRuntimeValue::Kind::Number && value.kind() != APMPRuntimeValue::Kind::String) return false;
  platform::Error error;
  const double d = value.doubleValueOrError(&error);
  return !error && std::isfinite(d) && d >= 0 && std::floor(d) == d;
}

bool APMPStringValuesEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b, platform::Error* error) {
  platform::Error local;
  const APMPString x = a.stringValueOrError(&local);
  if (!local) {
    const APMPString y = b.stringValueOrError(&local);
    if (!local) return x == y;
  }
  APMPKeepError(error, local);
  return false;
}

bool APMPNumberValuesEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b, platform::Error* error) {
  platform::Error local;
  const double x = a.doubleValueOrError(&local);
  if (!local) {
    const double y = b.doubleValueOrError(&local);
    if (!local) return x == y;
  }
  APMPKeepError(error, local);
  return false;
}

bool APMPStrictEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, platform::Error* error) {
  if (a.kind() != b.kind() || typeid(a) != typeid(b)) return false;
  switch (a.kind()) {
    case APMPRuntimeValue::Kind::Number:
    case APMPRuntimeValue::Kind::Boolean: return APMPNumberValuesEqual(a, b, error);
    case APMPRuntimeValue::Kind::String: return APMPStringValuesEqual(a, b, error);
    default: return &a == &b;
  }
}

bool APMPStructurallyEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b) {
  if (&a == &b) return true;
  APMPNestingGuard guard;
  if (guard.exceeded()) return false;
  return a.isEqualToRuntimeValue(b);
}

bool APMPCheckArgumentCount(const APMPArguments& arguments, std::size_t n, platform::Error* error) {
  if (arguments.size() == n) return true;
  APMPSetError(error, kAPMPErrorArgumentCount);
  return false;
}

bool APMPCheckMinimumArgumentCount(const APMPArguments& arguments, std::size_t n, platform::Error* error) {
  if (arguments.size() >= n) return true;
  APMPSetError(error, kAPMPErrorArgumentCount);
  return false;
}

bool APMPCheckMaximumArgumentCount(const APMPArguments& arguments, std::size_t n, platform::Error* error) {
  if (arguments.size() <= n) return true;
  APMPSetError(error, kAPMPErrorArgumentCount);
  return false;
}

APMPNestingGuard::APMPNestingGuard() { ++tNestingDepth; }
APMPNestingGuard::~APMPNestingGuard() { --tNestingDepth; }
bool APMPNestingGuard::exceeded() const { return tNestingDepth > kMaximumDepth; }
