#include "sdk/analytics/common/apm_decimal.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "sdk/analytics/common/apm_monitor.h"
#include "platform/foundation/thread_safety.h"
#include "platform/security/digest.h"

namespace {

using U128 = unsigned __int128;

std::string digitsOf(U128 v) {
  if (v == 0) return "0";
  std::string out;
  while (v) {
    out += static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  }
  std::reverse(out.begin(), out.end());
  return out;
}

}  // namespace

APMDecimal APMDecimal::fromInt64(std::int64_t value) {
  APMDecimal d;
  d.negative_ = value < 0;
  d.mantissa_ = value < 0 ? static_cast<U128>(-(value + 1)) + 1 : static_cast<U128>(value);
  d.normalize();
  return d;
}

std::optional<APMDecimal> APMDecimal::parse(std::string_view text) {
  std::size_t i = 0;
  APMDecimal d;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) d.negative_ = text[i++] == '-';
  int digits = 0;       // significant digits kept
  bool anyDigit = false;
  bool seenPoint = false;
  long exponent = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !seenPoint) {
      seenPoint = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    anyDigit = true;
    if (digits == 0 && c == '0') {
      if (seenPoint) --exponent;  // leading zeros of a fraction
      continue;
    }
    if (digits < kMaxDigits) {
      d.mantissa_ = d.mantissa_ * 10 + static_cast<unsigned>(c - '0');
      ++digits;
      if (seenPoint) --exponent;
    } else if (!seenPoint) {
      ++exponent;  // an integer digit beyond the precision still counts for the magnitude
    }
  }
  if (!anyDigit) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeExponent = text[i++] == '-';
    if (i >= text.size()) return std::nullopt;
    long e = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      e = std::min(e * 10 + (text[i] - '0'), 100000L);
    }
    exponent += negativeExponent ? -e : e;
  }
  if (i != text.size()) return std::nullopt;
  // The platform's decimal numbers hold exponents from -128 to 127.
  if (d.mantissa_ != 0 && (exponent > 127 || exponent < -128 - kMaxDigits)) return std::nullopt;
  d.exponent_ = static_cast<int>(exponent);
  d.normalize();
  return d;
}

void APMDecimal::normalize() {
  if (mantissa_ == 0) {
    exponent_ = 0;
    negative_ = false;
    return;
  }
  while (mantissa_ % 10 == 0) {
    mantissa_ /= 10;
    ++exponent_;
  }
}

APMDecimal APMDecimal::negated() const {
  APMDecimal d = *this;
  if (d.mantissa_ != 0) d.negative_ = !d.negative_;
  return d;
}

std::string APMDecimal::description() const {
  std::string digits = digitsOf(mantissa_);
  std::string out;
  if (isNegative()) out += '-';
  if (exponent_ >= 0) {
    out += digits;
    if (mantissa_ != 0) out.append(static_cast<std::size_t>(exponent_), '0');
    return out;
  }
  const std::size_t fraction = static_cast<std::size_t>(-exponent_);
  if (digits.size() > fraction) {
    out += digits.substr(0, digits.size() - fraction) + "." + digits.substr(digits.size() - fraction);
  } else {
    out += "0." + std::string(fraction - digits.size(), '0') + digits;
  }
  return out;
}

double APMDecimal::doubleValue() const { return std::strtod(description().c_str(), nullptr); }

std::strong_ordering operator<=>(const APMDecimal& a, const APMDecimal& b) {
  const bool an = a.isNegative();
  const bool bn = b.isNegative();
  if (an != bn) return an ? std::strong_ordering::less : std::strong_ordering::greater;
  if (a.isZero() || b.isZero()) {
    if (a.isZero() && b.isZero()) return std::strong_ordering::equal;
    const bool aBigger = b.isZero();
    return (aBigger != an) ? std::strong_ordering::greater : std::strong_ordering::less;
  }
  // Compare magnitudes by the position of the leading digit, then digit by digit.
  const std::string ad = digitsOf(a.mantissa_);
  const std::string bd = digitsOf(b.mantissa_);
  const long aTop = static_cast<long>(ad.size()) + a.exponent_;
  const long bTop = static_cast<long>(bd.size()) + b.exponent_;
  std::strong_ordering magnitude = aTop <=> bTop;
  if (magnitude == 0) {
    const int c = ad.compare(bd);
    magnitude = c < 0 ? std::strong_ordering::less : c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
  }
  if (!an) return magnitude;
  return magnitude == std::strong_ordering::less    ? std::strong_ordering::greater
         : magnitude == std::strong_ordering::greater ? std::strong_ordering::less
                                                      : std::strong_ordering::equal;
}

namespace {

constexpr const char* kDecimalPattern = "^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$";

struct DecimalRegex {
  platform::Mutex mutex;
  std::unique_ptr<icu::RegexPattern> pattern GUARDED_BY(mutex);
};

DecimalRegex& decimalRegex() {
  static DecimalRegex* regex = new DecimalRegex;
  return *regex;
}

}  // namespace

bool APMIsDecimalNumberString(std::string_view string) {
  auto& regex = decimalRegex();
  platform::MutexLock lock(regex.mutex);
  if (!regex.pattern) {
    // Compiled on first use; a failed compile is tried again next time.
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    regex.pattern.reset(icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(kDecimalPattern), UREGEX_CASE_INSENSITIVE,
                                                   parseError, status));
    if (U_FAILURE(status) || !regex.pattern) {
      regex.pattern.reset();
      lock.unlock();
      APMLog(2, 26000, "Unable to initialize decimal number regexp. Regex, error", kDecimalPattern,
             std::string(u_errorName(status)));
      return false;
    }
  }
  if (string.empty()) return false;
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(string.data(), static_cast<int32_t>(string.size())));
  std::unique_ptr<icu::RegexMatcher> matcher(regex.pattern->matcher(text, status));
  if (U_FAILURE(status) || !matcher) return false;
  const bool found = matcher->find(status);
  return U_SUCCESS(status) && found;
}

std::optional<APMDecimal> APMDecimalNumberFromString(std::string_view string) {
  if (!APMIsDecimalNumberString(string)) {
    APMLog(2, 26001, "String value does not represent a numeric value. Value", std::string(string));
    return std::nullopt;
  }
  const auto number = APMDecimal::parse(string);
  if (!number) {
    APMLog(2, 26002, "Unable to create a NSDecimalNumber from string value. Value", std::string(string));
    return std::nullopt;
  }
  std::string adjusted(string);
  if (adjusted.starts_with("+.") || adjusted.starts_with("-.") || adjusted.starts_with(".")) {
    std::string replaced;
    for (char c : adjusted) {
      if (c == '.') {
        replaced += "0.";
      } else {
        replaced += c;
      }
    }
    adjusted = std::move(replaced);
  }
  // Whatever the parser could not hold shows as a canonical text that is not part of the input.
  const std::string canonical = (number->isNegative() ? number->negated() : *number).description();
  if (adjusted.find(canonical) == std::string::npos) {
    APMLog(2, 26003, "Unable to create a NSDecimalNumber from string value: loss of precision. Value", adjusted);
    return std::nullopt;
  }
  return number;
}

std::int64_t APMNumericUtil::randomInt64() {
  std::uint8_t bytes[8] = {};
  if (!platform::SecureRandom::fill(bytes)) {
    APMLog(5, 26004, "Unable to generate random integer", std::string(std::strerror(errno)));
  }
  std::int64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}
