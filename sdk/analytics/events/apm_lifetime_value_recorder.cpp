#include "sdk/analytics/events/apm_lifetime_value_recorder.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "platform/foundation/strings.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_names_for_log.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_remote_config.h"

namespace {

constexpr std::string_view kLifetimeValuePrefix = "_ltv_";
constexpr std::int64_t kMicrosPerUnit = 1'000'000;

std::optional<std::int64_t> fitInt64(__int128 value) {
  if (value < std::numeric_limits<std::int64_t>::min() || value > std::numeric_limits<std::int64_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(value);
}

// value × 10^6 rounded half away from zero, worked on the double's shortest decimal form so that
// 9.99 gives 9990000 and a half micro-unit written as such rounds up, as a decimal number would.
std::optional<std::int64_t> microsFromDouble(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
  if (result.ec != std::errc()) return std::nullopt;
  const std::string_view s(text, result.ptr - text);
  const bool negative = s.front() == '-';
  const std::size_t e = s.find('e');
  std::string digits;
  for (char c : s.substr(0, e)) {
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  int exponent = 0;
  const std::string_view exponentText = s.substr(e + 1);
  std::from_chars(exponentText.data() + (exponentText.front() == '+' ? 1 : 0),
                  exponentText.data() + exponentText.size(), exponent);
  // value = 0.d1d2d3… × 10^(exponent + 1); the integer part has exponent + 1 + 6 digits.
  const int integerDigits = exponent + 1 + 6;
  if (integerDigits > 20) return std::nullopt;
  __int128 magnitude = 0;
  for (int i = 0; i < integerDigits; ++i) {
    const char digit = i < static_cast<int>(digits.size()) ? digits[i] : '0';
    magnitude = magnitude * 10 + (digit - '0');
  }
  const int firstDropped = integerDigits < 0 ? -1 : integerDigits;
  if (firstDropped >= 0 && firstDropped < static_cast<int>(digits.size()) && digits[firstDropped] >= '5') ++magnitude;
  return fitInt64(negative ? -magnitude : magnitude);
}

std::optional<std::int64_t> truncatedInt64(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double truncated = std::trunc(value);
  // 2^63 is exactly representable; anything at or past it does not fit.
  if (truncated >= 9223372036854775808.0 || truncated < -9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(truncated);
}

}  // namespace

bool APMLifetimeValueRecorder::isEcommercePurchaseEvent(const APMEvent& event) {
  const std::string& name = event.name();
  return name == "ecommerce_purchase" || name == "purchase" || name == "refund";
}

bool APMLifetimeValueRecorder::isPurchaseEvent(const APMEvent& event) {
  return event.name() == "_iap" || isEcommercePurchaseEvent(event);
}

bool APMLifetimeValueRecorder::recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event) {
  if (!isPurchaseEvent(event)) return true;

  const APMValue* currency = APMEventParameterValue(event, "currency");
  const std::string* currencyCode = currency ? currency->stringValue() : nullptr;
  if (!currencyCode || platform::strings::codePointLength(*currencyCode) != 3) {
    APMLog(1, 22000, "Cannot record transaction with invalid currency code",
           currency ? APMObject(currency->description()) : APMObject());
    return true;
  }
  const APMValue* value = APMEventParameterValue(event, "value");
  if (!value || (!value->isDouble() && !value->isInt64())) {
    APMLog(1, 22001, "Cannot record transaction with invalid transaction value",
           value ? APMObject(value->description()) : APMObject());
    return true;
  }

  std::optional<std::int64_t> amount;
  if (isEcommercePurchaseEvent(event)) {
    amount = value->isInt64() ? fitInt64(static_cast<__int128>(value->int64Value()) * kMicrosPerUnit)
                              : microsFromDouble(value->doubleValue());
    if (amount && event.name() == "refund") amount = fitInt64(-static_cast<__int128>(*amount));
  } else {
    amount = value->isInt64() ? value->int64Value() : truncatedInt64(value->doubleValue());
  }
  if (!amount) {
    APMLog(1, 22002, "Cannot record transaction with value that is out of bounds", value->description());
    return false;
  }

  const std::string name = std::string(kLifetimeValuePrefix) + platform::strings::uppercase(*currencyCode);
  platform::Error error;
  const auto stored = database.allLifetimeValueUserAttributes(&error);
  if (!stored) {
    APMLog(1, 22003, "Failed to query all Lifetime Value User properties. Error", error);
    return false;
  }
  std::shared_ptr<const APMUserAttribute> existing;
  for (const auto& attribute : *stored) {
    if (attribute && attribute->name() == name) {
      existing = attribute;
      break;
    }
  }

  std::int64_t total = *amount;
  if (existing) {
    const APMValuePtr& previous = existing->value();
    const std::int64_t previousTotal = previous && previous->isInt64() ? previous->int64Value() : 0;
    // A wrapped total would corrupt the user's lifetime value for good.
    if (__builtin_add_overflow(previousTotal, *amount, &total)) {
      APMLog(1, 22002, "Cannot record transaction with value that is out of bounds", value->description());
      return false;
    }
  } else {
    const auto limit = static_cast<std::size_t>(APMMeasurementRemoteConfig()->maxTrackedCurrencies());
    if (stored->size() >= limit && stored->back()) {
      const std::string& oldest = stored->back()->name();
      if (!database.deleteUserAttributeWithName(oldest, &error)) {
        APMLog(1, 22004, "Unable to delete Lifetime Value User property. Name, error",
               APMUserPropertyNameForLog(APMObject(oldest)), error);
        return false;
      }
    }
  }

  const double now = platform::Clock::current().now().timeIntervalSince1970();
  const auto attribute = APMUserAttribute::initWithOrigin("auto", name, APMValue::initWithInt64(total), now);
  if (!attribute || !database.updateUserAttribute(attribute.get(), &error)) {
    // A failure is never reported as an update, with or without an error from the store.
    APMLog(1, 22005, "Unable to upsert Lifetime Value User Attribute in database. Name, error",
           APMUserPropertyNameForLog(APMObject(name)), error);
    return false;
  }
  APMLog(7, 22006, "Lifetime value has been updated in database");
  return true;
}
