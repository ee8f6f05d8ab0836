// An exact decimal number: up to 38 significant digits and a power-of-ten exponent, as the
// platform's decimal numbers hold them. Audience filters compare event values against such
// numbers, so "0.1" must stay one tenth rather than the nearest double.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class APMDecimal {
 public:
  static constexpr int kMaxDigits = 38;

  APMDecimal() = default;
  static APMDecimal fromInt64(std::int64_t value);
  // Optional sign, digits with an optional point, optional exponent ("e" or "E"); "." is the
  // decimal point whatever the locale. Digits beyond the 38th are dropped (truncation).
  static std::optional<APMDecimal> parse(std::string_view text);

  bool isNegative() const { return negative_ && mantissa_ != 0; }
  bool isZero() const { return mantissa_ == 0; }
  APMDecimal negated() const;
  // Plain notation without exponent or trailing zeros: "1.5", "-0.25", "1000", "0".
  std::string description() const;
  double doubleValue() const;

  friend std::strong_ordering operator<=>(const APMDecimal& a, const APMDecimal& b);
  friend bool operator==(const APMDecimal& a, const APMDecimal& b) { return (a <=> b) == 0; }

 private:
  // value = (negative ? -1 : 1) * mantissa * 10^exponent; mantissa has no trailing zeros.
  void normalize();
  unsigned __int128 mantissa_ = 0;
  int exponent_ = 0;
  bool negative_ = false;
};

// Strict decimal text: an optional sign, then digits with an optional trailing point, or
// optional digits, a point and at least one digit. No exponent, grouping or blanks.
bool APMIsDecimalNumberString(std::string_view string);
// The decimal of such a text, or nothing (logged) when it is not one or would lose precision.
std::optional<APMDecimal> APMDecimalNumberFromString(std::string_view string);

class APMNumericUtil {
 public:
  APMNumericUtil() = delete;
  // 8 bytes of the system's cryptographic random source.
  static std::int64_t randomInt64();
};
