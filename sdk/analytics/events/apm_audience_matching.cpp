#include "sdk/analytics/events/apm_audience_matching.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "platform/foundation/strings.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/events/apm_audience_filters.h"
#include "sdk/analytics/events/apm_audience_patterns.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_storage_records.h"

namespace {

constexpr std::int32_t F(std::int32_t tag) { return APMAudienceField(tag); }

APMValuePtr parameterValue(const APMObject& object) {
  if (const APMValuePtr* value = object.apmValue()) return *value;
  return APMValue::valueFromObject(object, true);
}

// Case-insensitive EXACT: same length in UTF-16 units and equal when case is folded.
bool equalsIgnoringCaseExactly(const std::string& string, const std::string& expression) {
  return platform::strings::utf16Length(string) == platform::strings::utf16Length(expression) &&
         platform::strings::hasPrefixIgnoringCase(string, expression);
}

template <class T>
APMFilterOutcome compare(std::int32_t type, const T& value, const T& comparison, const T& minimum,
                         const T& maximum) {
  switch (type) {
    case kAPMComparisonLessThan: return value < comparison;
    case kAPMComparisonGreaterThan: return value > comparison;
    case kAPMComparisonEqual: return value == comparison;
    case kAPMComparisonBetween: return minimum <= value && value <= maximum;
    default: return std::nullopt;
  }
}

}  // namespace

std::optional<double> APMAudienceDoubleFromString(const std::string& string) {
  std::string_view text = string;
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+' || !platform::strings::isValidUTF8(string)) return std::nullopt;
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

APMFilterOutcome APMEvaluateStringFilter(const APMPBStringFilter& filter, const std::string* string,
                                         APMAudiencePatterns* givenPatterns) {
  const APMObject context = APMMessageContext(&filter);
  if (!string) {
    APMLog(1, 9005, "Evaluation string is nil. Audience filter will not be evaluated", context);
    return std::nullopt;
  }
  std::optional<APMAudiencePatterns> ownPatterns;
  APMAudiencePatterns& patterns = givenPatterns ? *givenPatterns : ownPatterns.emplace();
  if (!APMValidateStringFilter(&filter, &patterns)) {
    APMLog(1, 9006, "String filter is invalid. Audience filter will not be evaluated", context);
    return std::nullopt;
  }
  const bool sensitive = NANOGetBool(&filter, F(3));
  const std::string expression = NANOGetString(&filter, F(2)).value_or("");
  switch (NANOGetInt32(&filter, F(1))) {
    case kAPMMatchRegexp:
      return patterns.findsMatch(expression, !sensitive, *string, context);
    case kAPMMatchBeginsWith:
      return sensitive ? string->starts_with(expression) : platform::strings::hasPrefixIgnoringCase(*string, expression);
    case kAPMMatchEndsWith:
      if (sensitive) return string->ends_with(expression);
      return platform::strings::utf16Length(expression) <= platform::strings::utf16Length(*string) &&
             platform::strings::hasSuffixIgnoringCase(*string, expression);
    case kAPMMatchContains:
      return sensitive ? string->find(expression) != std::string::npos
                       : platform::strings::containsIgnoringCase(*string, expression);
    case kAPMMatchExact:
      return sensitive ? *string == expression : equalsIgnoringCaseExactly(*string, expression);
    case kAPMMatchInList:
      for (const platform::Value& entry : NANOGetArray(&filter, F(4)).value_or(platform::Value::Array{})) {
        const std::string& candidate = entry.string();
        if (sensitive ? candidate == *string : equalsIgnoringCaseExactly(*string, candidate)) return true;
      }
      return false;
    default:
      return false;
  }
}

APMFilterOutcome APMEvaluateNumberFilterWithDouble(const APMPBNumberFilter& filter, double value) {
  if (!APMIsValidNumberFilter(&filter)) return std::nullopt;
  const std::int32_t type = NANOGetInt32(&filter, F(1));
  const auto parse = [&](std::int32_t tag) {
    return APMAudienceDoubleFromString(NANOGetString(&filter, F(tag)).value_or(""));
  };
  std::optional<double> comparison, minimum, maximum;
  bool parsed;
  if (type == kAPMComparisonBetween) {
    minimum = parse(4);
    maximum = parse(5);
    parsed = minimum && maximum;
  } else {
    comparison = parse(3);
    parsed = comparison.has_value();
  }
  if (!parsed) {
    APMLog(1, 8012,
           "Number filter is invalid, the comparison filter is not valid. Audience filter will not be evaluated",
           APMMessageContext(&filter));
    return std::nullopt;
  }
  if (type == kAPMComparisonEqual) {
    // Values that went through text and back may differ from the comparison in the last bits.
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    const double lo = std::nextafter(std::nextafter(*comparison, -kInfinity), -kInfinity);
    const double hi = std::nextafter(std::nextafter(*comparison, kInfinity), kInfinity);
    return lo < value && value < hi;
  }
  return compare(type, value, comparison.value_or(0), minimum.value_or(0), maximum.value_or(0));
}

APMFilterOutcome APMEvaluateNumberFilterWithInt64(const APMPBNumberFilter& filter, std::int64_t value) {
  return APMEvaluateNumberFilterWithDecimal(filter, APMDecimal::fromInt64(value));
}

APMFilterOutcome APMEvaluateNumberFilterWithDecimal(const APMPBNumberFilter& filter, const APMDecimal& value) {
  if (!APMIsValidNumberFilter(&filter)) return std::nullopt;
  const APMObject context = APMMessageContext(&filter);
  const std::int32_t type = NANOGetInt32(&filter, F(1));
  const auto convert = [&](std::int32_t tag) {
    return APMDecimalNumberFromString(NANOGetString(&filter, F(tag)).value_or(""));
  };
  std::optional<APMDecimal> comparison, minimum, maximum;
  bool valid = true;
  if (type == kAPMComparisonBetween) {
    minimum = convert(4);
    if (!minimum) {
      APMLog(1, 8004, "Number filter min comparison value is not a number", context);
      valid = false;
    } else {
      maximum = convert(5);
      if (!maximum) {
        APMLog(1, 8005, "Number filter max comparison value is not a number", context);
        valid = false;
      }
    }
  } else {
    comparison = convert(3);
    if (!comparison) {
      APMLog(1, 8002, "Number filter comparison value is not a number", context);
      valid = false;
    }
  }
  if (!valid) {
    APMLog(1, 8015,
           "Parsed decimal number comparison values are not valid. Audience filter will not be evaluated. Filter",
           context);
    return std::nullopt;
  }
  return compare(type, value, comparison.value_or(APMDecimal()), minimum.value_or(APMDecimal()),
                 maximum.value_or(APMDecimal()));
}

APMFilterOutcome APMEvaluateFilter(const APMPBFilter& filter, const APMValuePtr& value,
                                   APMAudiencePatterns* patterns) {
  const auto stringFilter = NANOGetMessage<APMPBStringFilter>(&filter, F(1));
  const auto numberFilter = NANOGetMessage<APMPBNumberFilter>(&filter, F(2));
  const APMObject valueContext = value ? APMObject(value) : APMObject();
  const APMObject filterContext = APMMessageContext(&filter);
  APMFilterOutcome outcome;
  if (numberFilter) {
    if (!value) return std::nullopt;
    if (value->isString()) {
      if (!APMIsDecimalNumberString(*value->stringValue())) {
        APMLog(3, 7001, "String value is not a numeric value. Audience filter will not be evaluated. Value, filter",
               valueContext, filterContext);
        return std::nullopt;
      }
      const auto decimal = APMDecimalNumberFromString(*value->stringValue());
      if (!decimal) return std::nullopt;
      outcome = APMEvaluateNumberFilterWithDecimal(*numberFilter, *decimal);
    } else if (value->isDouble()) {
      if (!std::isfinite(value->doubleValue())) {
        APMLog(3, 7002, "Value is not within double range. Audience filter will not be evaluated", valueContext,
               filterContext);
        return std::nullopt;
      }
      outcome = APMEvaluateNumberFilterWithDouble(*numberFilter, value->doubleValue());
    } else if (value->isInt64()) {
      outcome = APMEvaluateNumberFilterWithInt64(*numberFilter, value->int64Value());
    } else {
      return std::nullopt;
    }
  } else if (stringFilter) {
    if (!value || !value->isString()) {
      APMLog(3, 7003, "Value is not a string. Audience filter will not be evaluated", valueContext, filterContext);
      return std::nullopt;
    }
    outcome = APMEvaluateStringFilter(*stringFilter, value->stringValue(), patterns);
  } else {
    APMLog(1, 7000, "Filter has neither a number nor string filter. Audience filter will not be evaluated",
           valueContext, filterContext);
    return std::nullopt;
  }
  if (outcome && NANOGetBool(&filter, F(3))) return !*outcome;
  return outcome;
}

APMFilterOutcome APMEvaluateEventFilter(const APMPBEventFilter* filter, const std::string& eventName,
                                        const APMDictionary& parameters, const APMEventAggregates* aggregates,
                                        APMAudiencePatterns* patterns) {
  if (!filter) {
    APMLog(1, 7004, "Event filter is nil. Audience filter will not be evaluated", eventName);
    return std::nullopt;
  }
  const APMObject filterContext = APMMessageContext(filter);
  if (eventName.empty()) {
    APMLog(1, 7005, "Event name is nil. Audience filter will not be evaluated", filterContext);
    return std::nullopt;
  }
  const auto filterName = NANOGetString(filter, F(2));
  if (!filterName || *filterName != eventName) {
    APMLog(1, 7006, "Event filter name does not match event name. Audience filter will not be evaluated", eventName);
    return std::nullopt;
  }
  const auto countFilter = NANOGetMessage<APMPBNumberFilter>(filter, F(5));
  const auto filters = NANOGetArray<APMPBFilter>(filter, F(3)).value_or(std::vector<std::shared_ptr<APMPBFilter>>{});
  if (!countFilter && filters.empty()) return true;
  if (countFilter) {
    if (!aggregates || aggregates->name() != eventName) {
      APMLog(1, 7007, "Event aggregates name does not match event name. Audience filter will not be evaluated",
             aggregates ? APMObject(aggregates->name()) : APMObject(), eventName, filterContext);
      return std::nullopt;
    }
    const std::int32_t count =
        NANOGetBool(filter, F(8)) ? aggregates->currentSessionCount() : aggregates->lifetimeCount();
    const APMFilterOutcome outcome = APMEvaluateNumberFilterWithInt64(*countFilter, count);
    if (outcome != true) return outcome;
  }
  for (const auto& parameterFilter : filters) {
    const APMObject parameterContext = APMMessageContext(parameterFilter.get());
    const auto parameterName = NANOGetString(parameterFilter.get(), F(4));
    if (!parameterName) {
      APMLog(1, 7008, "Event filter does not have parameter name. Audience filter will not be evaluated", eventName,
             filterContext);
      return std::nullopt;
    }
    const auto parameter = parameters.find(*parameterName);
    if (parameter == parameters.end()) {
      APMLog(3, 7009, "Event does not have parameter required by filter. Audience filter will not be evaluated",
             eventName, APMObject(parameters), parameterContext);
      return std::nullopt;
    }
    const APMValuePtr value = parameterValue(parameter->second);
    if (value && value->isString() && !NANOHasField(parameterFilter.get(), F(1))) {
      APMLog(3, 7010,
             "Event param is a string and the filter does not have a string filter. Audience filter will not be "
             "evaluated. Event name, event params, filter",
             eventName, APMObject(parameters), parameterContext);
      return std::nullopt;
    }
    const APMFilterOutcome outcome = APMEvaluateFilter(*parameterFilter, value, patterns);
    if (outcome != true) return outcome;
  }
  return true;
}

APMFilterOutcome APMEvaluatePropertyFilter(const APMPBPropertyFilter* filter, const APMUserAttribute* property,
                                           APMAudiencePatterns* patterns) {
  if (!filter) {
    APMLog(1, 7011, "Property filter is nil. Audience filter will not be evaluated",
           property ? APMObject(property->name()) : APMObject());
    return std::nullopt;
  }
  const APMObject filterContext = APMMessageContext(filter);
  if (!property) {
    APMLog(1, 7012, "User property is nil. Audience filter will not be evaluated", filterContext);
    return std::nullopt;
  }
  const auto filterName = NANOGetString(filter, F(2));
  if (!filterName || *filterName != property->name()) {
    APMLog(1, 7013, "User property name does not match property filter name. Audience filter will not be evaluated",
           property->name(), filterContext);
    return std::nullopt;
  }
  const auto inner = NANOGetMessage<APMPBFilter>(filter, F(3));
  if (!inner) {
    APMLog(1, 7014, "Property filter does not have filter. Audience filter will not be evaluated", property->name(),
           filterContext);
    return std::nullopt;
  }
  const APMValuePtr& value = property->value();
  if (!value || !(value->isString() || value->isInt64() || value->isDouble())) {
    APMLog(1, 7015, "Unknown user property type. Audience filter will not be evaluated. Property Name",
           property->name());
    return std::nullopt;
  }
  return APMEvaluateFilter(*inner, value, patterns);
}

std::shared_ptr<const APMUserAttribute> APMUserAttributeFromNanoProperty(const APMPBUserAttribute& property) {
  APMValuePtr value;
  if (const auto string = NANOGetString(&property, F(3))) {
    value = APMValue::initWithString(*string);
  } else if (NANOHasField(&property, F(6))) {
    value = APMValue::initWithDouble(NANOGetDouble(&property, F(6)));
  } else if (NANOHasField(&property, F(4))) {
    value = APMValue::initWithInt64(NANOGetInt64(&property, F(4)));
  }
  if (!value) return nullptr;
  return std::make_shared<const APMUserAttribute>(std::string(), NANOGetString(&property, F(2)).value_or(""),
                                                  std::move(value),
                                                  static_cast<double>(NANOGetInt64(&property, F(1))) / 1000.0);
}
