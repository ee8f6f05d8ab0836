#include "sdk/analytics/common/apm_data_type_validator.h"

#include "platform/foundation/format.h"
#include "platform/foundation/strings.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_names.h"
#include "sdk/analytics/common/apm_value.h"

namespace {

using Code = APMDataTypeValidator::Code;
using platform::strings::CharacterSet;

const CharacterSet& letters() {
  static const CharacterSet* set = new CharacterSet(CharacterSet::letters().subtracting(CharacterSet::nonBase()));
  return *set;
}

const CharacterSet& nameCharacters() {
  static const CharacterSet* set =
      new CharacterSet(letters().unionWith(CharacterSet::decimalDigits()).unionWith(CharacterSet::characters("_")));
  return *set;
}

bool fail(Code* failureCode, Code code) {
  if (failureCode) *failureCode = code;
  return false;
}

bool pass(Code* failureCode) {
  if (failureCode) *failureCode = APMValidationValid;
  return true;
}

std::int64_t levelForType(std::int64_t type) {
  return type == APMDataTypeEventParameterValue || type == APMDataTypeUserPropertyValue ? 3 : 0;
}

}  // namespace

std::string APMDataTypeNoun(std::int64_t type, std::string_view suffix) {
  static const char* const nouns[] = {"Event name",
                                      "Event origin",
                                      "Event parameter name",
                                      "Event parameter value",
                                      "User property name",
                                      "User property value",
                                      "Screen parameter value",
                                      "Conditional user property origin",
                                      "Conditional user property name",
                                      "Conditional user property value"};
  const std::string noun = type >= 0 && type < static_cast<std::int64_t>(std::size(nouns)) ? nouns[type] : "Object";
  return noun + std::string(suffix);
}

bool APMDataTypeValidator::isValidString(const APMObject& value, std::size_t minLength, std::size_t maxLength,
                                         std::int64_t type, Code* failureCode) {
  const std::int64_t level = levelForType(type);
  if (value.isNil()) {
    APMLog(level, 13001, APMDataTypeNoun(type, " is required and can't be nil"));
    return fail(failureCode, APMValidationMissing);
  }
  const std::string* s = value.ifString();
  if (!s) {
    APMLog(level, 13000, APMDataTypeNoun(type, " must be of type NSString"), value);
    return fail(failureCode, APMValidationWrongClass);
  }
  if (minLength >= 1 && s->empty()) {
    if (type != APMDataTypeEventParameterValue && type != APMDataTypeUserPropertyValue) {
      APMLog(level, 13001, APMDataTypeNoun(type, " is required and can't be empty"));
    }
    return fail(failureCode, APMValidationMissing);
  }
  const std::size_t length = platform::strings::codePointLength(*s);
  if (length > maxLength) {
    APMLog(level, 13000,
           APMDataTypeNoun(type, platform::format(" is too long. The maximum supported length is %d",
                                                  static_cast<int>(maxLength))),
           value);
    return fail(failureCode, APMValidationTooLong);
  }
  if (length < minLength) {
    APMLog(level, 13000,
           APMDataTypeNoun(type, platform::format(" is too short. The minimum supported length is %d",
                                                  static_cast<int>(minLength))),
           value);
    return fail(failureCode, APMValidationTooShort);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::isValidInternalName(const APMObject& name, std::size_t maxLength, std::int64_t type,
                                               Code* failureCode) {
  if (!isValidString(name, 1, maxLength, type, failureCode)) return false;
  if (!platform::strings::allCharactersIn(*name.ifString(), nameCharacters())) {
    APMLog(0, 13002, APMDataTypeNoun(type, " must contain only letters, numbers, or underscores"), name);
    return fail(failureCode, APMValidationBadCharacters);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::isValidPublicName(const APMObject& name, std::size_t maxLength, std::int64_t type,
                                             Code* failureCode) {
  if (!isValidInternalName(name, maxLength, type, failureCode)) return false;
  const auto points = platform::strings::codePoints(*name.ifString());
  if (points.empty() || !letters().contains(points.front())) {
    APMLog(0, 13003, APMDataTypeNoun(type, " must start with a letter"), name);
    return fail(failureCode, APMValidationBadCharacters);
  }
  return pass(failureCode);
}

bool APMValidateValueObject(const APMObject& value, std::int64_t type, Code* failureCode) {
  if (value.isNil()) {
    APMLog(3, 13004, APMDataTypeNoun(type, " cannot be nil"));
    return fail(failureCode, APMValidationMissing);
  }
  if (!value.apmValue()) {
    APMLog(3, 13005, APMDataTypeNoun(type, " must be a APMValue instance. value"), value.className());
    return fail(failureCode, APMValidationWrongClass);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::isValidValue(const APMObject& value, std::size_t minLength, std::size_t maxLength,
                                        std::int64_t type, Code* failureCode) {
  if (!APMValidateValueObject(value, type, failureCode)) return false;
  const APMValue& v = **value.apmValue();
  if (const std::string* s = v.stringValue()) return isValidString(APMObject(*s), minLength, maxLength, type, failureCode);
  return pass(failureCode);
}

bool APMDataTypeValidator::hasReservedPrefixes(std::string_view name) {
  return name.starts_with("vuduzara_") || name.starts_with("videzu_") || name.starts_with("ga_");
}

bool APMDataTypeValidator::isValidPublicEventName(const APMObject& name, Code* failureCode) {
  if (!isValidPublicName(name, 40, APMDataTypeEventName, failureCode)) return false;
  const std::string& s = *name.ifString();
  if (s == "screen_view") return pass(failureCode);
  if (APMPublicToInternalEventNames().contains(s) && !APMAllowedReservedEventNames().contains(s)) {
    APMLog(0, 13006, "Event name is reserved. Ignoring event", name);
    return fail(failureCode, APMValidationReserved);
  }
  if (hasReservedPrefixes(s)) {
    APMLog(0, 13007, "Event name uses reserved prefix. Ignoring event", name);
    return fail(failureCode, APMValidationReserved);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::isValidInternalEventName(const APMObject& name, Code* failureCode) {
  return isValidInternalName(name, 40, APMDataTypeEventName, failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterName(const APMObject& name, Code* failureCode) {
  if (!isValidPublicName(name, 40, APMDataTypeEventParameterName, failureCode)) return false;
  if (hasReservedPrefixes(*name.ifString())) {
    APMLog(0, 13008, "Parameter name uses reserved prefix. Ignoring parameter", name);
    return fail(failureCode, APMValidationReserved);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::isValidInternalEventParameterName(const APMObject& name, Code* failureCode) {
  return isValidInternalName(name, 40, APMDataTypeEventParameterName, failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterValue(const APMObject& value, Code* failureCode) {
  return isValidValue(value, 0, 100, APMDataTypeEventParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventParameterValue(const APMObject& value, Code* failureCode) {
  return isValidValue(value, 0, 256, APMDataTypeEventParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventOrigin(const APMObject& origin, Code* failureCode) {
  return isValidInternalName(origin, 32, APMDataTypeEventOrigin, failureCode);
}

bool APMDataTypeValidator::isValidForwardedEventOrigin(const APMObject& origin, Code* failureCode) {
  const std::string* s = origin.ifString();
  if (origin.isNil() || (s && s->empty())) return fail(failureCode, APMValidationMissing);
  if (s && s->ends_with(kAPMForwardedOriginSuffix)) {
    return isValidInternalName(APMObject(s->substr(0, s->size() - kAPMForwardedOriginSuffix.size())), 32,
                               APMDataTypeEventOrigin, failureCode);
  }
  return fail(failureCode, APMValidationNoForwardedSuffix);
}

bool APMDataTypeValidator::isValidPublicUserAttributeName(const APMObject& name, Code* failureCode) {
  if (!isValidPublicName(name, 24, APMDataTypeUserPropertyName, failureCode)) return false;
  const std::string& s = *name.ifString();
  if (APMPublicToInternalUserPropertyNames().contains(s)) {
    APMLog(0, 13009, "User property name is reserved. Ignoring user property", name);
    return fail(failureCode, APMValidationReserved);
  }
  if (hasReservedPrefixes(s)) {
    APMLog(0, 13010, "User property name uses reserved prefix. Ignoring user property", name);
    return fail(failureCode, APMValidationReserved);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::isValidInternalUserAttributeName(const APMObject& name, Code* failureCode) {
  return isValidInternalName(name, 24, APMDataTypeUserPropertyName, failureCode);
}

bool APMDataTypeValidator::isValidPublicUserAttributeValue(const APMObject& value, Code* failureCode) {
  return isValidValue(value, 1, 36, APMDataTypeUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalUserAttributeValue(const APMObject& value, std::string_view name,
                                                             Code* failureCode) {
  const std::size_t max = name == "_id" || name == "_gbraid" ? 256 : 36;
  return isValidValue(value, 1, max, APMDataTypeUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidScreenParameterValue(const APMObject& value, Code* failureCode) {
  return isValidString(value, 1, 100, APMDataTypeScreenParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyOrigin(const APMObject& origin, Code* failureCode) {
  return isValidInternalName(origin, 32, APMDataTypeConditionalUserPropertyOrigin, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyName(const APMObject& name, Code* failureCode) {
  return isValidInternalName(name, 24, APMDataTypeConditionalUserPropertyName, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyValue(const APMObject& value, Code* failureCode) {
  return isValidValue(value, 1, 36, APMDataTypeConditionalUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidNumericValue(const APMObject& value, Code* failureCode) {
  if (!APMValidateValueObject(value, APMDataTypeEventParameterValue, failureCode)) return false;
  const APMValue& v = **value.apmValue();
  if (!v.isInt64() && !v.isDouble()) {
    APMLog(3, 13011, APMDataTypeNoun(APMDataTypeEventParameterValue, " must be specified with a numeric type. value"),
           v.description());
    return fail(failureCode, APMValidationNotNumeric);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::isValidCurrencyCode(const APMObject& value, Code* failureCode) {
  if (!APMValidateValueObject(value, APMDataTypeEventParameterValue, failureCode)) return false;
  const std::string* s = (*value.apmValue())->stringValue();
  if (!s || platform::strings::utf16Length(*s) != 3 || !platform::strings::allCharactersIn(*s, letters())) {
    APMLog(3, 13012,
           APMDataTypeNoun(APMDataTypeEventParameterValue,
                           platform::format(" must contain a %d-letter ISO_4217 currency code. value", 3)),
           value);
    return fail(failureCode, APMValidationBadCurrency);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::isValidArrayParamForEvent(std::string_view eventName, std::string_view paramName,
                                                     std::size_t count, bool isNestedArrayParam, Code* failureCode) {
  if (isNestedArrayParam) {
    APMLog(0, 13013, "Nested array parameters are not allowed. Name", std::string(paramName));
    return fail(failureCode, APMValidationArrayNested);
  }
  if (!APMIsEcommerceEventName(eventName)) {
    APMLog(0, 13013, "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce name",
           std::string(eventName));
    return fail(failureCode, APMValidationArrayOnNonEcommerceEvent);
  }
  if (paramName != kAPMItemsParameterName) {
    APMLog(0, 13013,
           APMDataTypeNoun(APMDataTypeEventParameterName,
                           platform::format(" is an invalid ecommerce items. The name of array parameters for "
                                            "ecommerce should be \"%@\". Invalid parameter name",
                                            kAPMItemsParameterName)),
           std::string(paramName));
    return fail(failureCode, APMValidationArrayNotItems);
  }
  if (count > kAPMMaxArrayParameterItems) {
    APMLog(0, 13013,
           platform::format("Array parameter has too many items. The maximum number of supported items is %d. Invalid "
                            "array size",
                            static_cast<int>(kAPMMaxArrayParameterItems)),
           static_cast<long long>(count));
    return fail(failureCode, APMValidationArrayTooLarge);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::isValidArrayParamItem(const APMObject& item, Code* failureCode) {
  if (!item.isDictionary()) {
    APMLog(0, 13014, "Array param must be a dictionary. Parameters", item);
    return fail(failureCode, APMValidationArrayElementNotDictionary);
  }
  return pass(failureCode);
}
