// The rules every analytics name and value must satisfy. Each check answers a Boolean, writes a
// failure code (0 when valid) through an optional out-parameter and logs why it refused.
// Lengths are counted in Unicode code points.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sdk/analytics/common/apm_object.h"

enum APMDataType : std::int64_t {
  APMDataTypeEventName = 0,
  APMDataTypeEventOrigin = 1,
  APMDataTypeEventParameterName = 2,
  APMDataTypeEventParameterValue = 3,
  APMDataTypeUserPropertyName = 4,
  APMDataTypeUserPropertyValue = 5,
  APMDataTypeScreenParameterValue = 6,
  APMDataTypeConditionalUserPropertyOrigin = 7,
  APMDataTypeConditionalUserPropertyName = 8,
  APMDataTypeConditionalUserPropertyValue = 9,
};

// Failure codes of the validator.
enum APMValidationFailure : std::int64_t {
  APMValidationValid = 0,
  APMValidationMissing = 1,
  APMValidationTooLong = 2,
  APMValidationBadCharacters = 3,
  APMValidationReserved = 4,
  APMValidationWrongClass = 5,
  APMValidationNoForwardedSuffix = 6,
  APMValidationTooShort = 7,
  APMValidationNotNumeric = 8,
  APMValidationBadCurrency = 9,
  APMValidationArrayOnNonEcommerceEvent = 10,
  APMValidationArrayNotItems = 11,
  APMValidationArrayTooLarge = 12,
  APMValidationArrayNested = 13,
  APMValidationArrayElementNotDictionary = 14,
};

inline constexpr std::size_t kAPMMaxArrayParameterItems = 200;
inline constexpr std::string_view kAPMItemsParameterName = "items";
inline constexpr std::string_view kAPMForwardedOriginSuffix = "+vtm";

// The noun that begins each validation message, followed by `suffix`.
std::string APMDataTypeNoun(std::int64_t type, std::string_view suffix = "");

class APMDataTypeValidator {
 public:
  APMDataTypeValidator() = delete;
  using Code = std::int64_t;

  static bool isValidString(const APMObject& value, std::size_t minLength, std::size_t maxLength, std::int64_t type,
                            Code* failureCode);
  static bool isValidInternalName(const APMObject& name, std::size_t maxLength, std::int64_t type, Code* failureCode);
  static bool isValidPublicName(const APMObject& name, std::size_t maxLength, std::int64_t type, Code* failureCode);
  static bool isValidValue(const APMObject& value, std::size_t minLength, std::size_t maxLength, std::int64_t type,
                           Code* failureCode);
  static bool hasReservedPrefixes(std::string_view name);

  static bool isValidPublicEventName(const APMObject& name, Code* failureCode);
  static bool isValidInternalEventName(const APMObject& name, Code* failureCode);
  static bool isValidPublicEventParameterName(const APMObject& name, Code* failureCode);
  static bool isValidInternalEventParameterName(const APMObject& name, Code* failureCode);
  static bool isValidPublicEventParameterValue(const APMObject& value, Code* failureCode);
  static bool isValidInternalEventParameterValue(const APMObject& value, Code* failureCode);
  static bool isValidInternalEventOrigin(const APMObject& origin, Code* failureCode);
  static bool isValidForwardedEventOrigin(const APMObject& origin, Code* failureCode);
  static bool isValidPublicUserAttributeName(const APMObject& name, Code* failureCode);
  static bool isValidInternalUserAttributeName(const APMObject& name, Code* failureCode);
  static bool isValidPublicUserAttributeValue(const APMObject& value, Code* failureCode);
  static bool isValidInternalUserAttributeValue(const APMObject& value, std::string_view name, Code* failureCode);
  static bool isValidScreenParameterValue(const APMObject& value, Code* failureCode);
  static bool isValidConditionalUserPropertyOrigin(const APMObject& origin, Code* failureCode);
  static bool isValidConditionalUserPropertyName(const APMObject& name, Code* failureCode);
  static bool isValidConditionalUserPropertyValue(const APMObject& value, Code* failureCode);
  static bool isValidNumericValue(const APMObject& value, Code* failureCode);
  static bool isValidCurrencyCode(const APMObject& value, Code* failureCode);
  static bool isValidArrayParamForEvent(std::string_view eventName, std::string_view paramName, std::size_t count,
                                        bool isNestedArrayParam, Code* failureCode);
  static bool isValidArrayParamItem(const APMObject& item, Code* failureCode);
};

// nil and non-APMValue objects are refused (codes 1 and 5).
bool APMValidateValueObject(const APMObject& value, std::int64_t type, APMDataTypeValidator::Code* failureCode);
