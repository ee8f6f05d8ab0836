#include "sdk/analytics/events/apm_parameter_sanitizer.h"

#include <algorithm>
#include <vector>

#include "platform/foundation/format.h"
#include "platform/foundation/strings.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_names.h"
#include "sdk/analytics/common/apm_value.h"
#include "platform/foundation/thread_safety.h"

namespace {

using Code = APMDataTypeValidator::Code;

struct HookTable {
  platform::Mutex mutex;
  APMSanitizerHooks hooks GUARDED_BY(mutex);
};
HookTable& hookTable() {
  static HookTable* table = new HookTable;
  return *table;
}
APMSanitizerHooks hooks() {
  auto& table = hookTable();
  platform::MutexLock lock(table.mutex);
  return table.hooks;
}

std::size_t maxPublicEventParams() {
  const auto h = hooks();
  return static_cast<std::size_t>(h.maxPublicEventParams ? h.maxPublicEventParams() : kAPMDefaultMaxPublicEventParams);
}

std::size_t codePoints(const std::string& s) { return platform::strings::codePointLength(s); }

}  // namespace

void APMSetSanitizerHooks(APMSanitizerHooks newHooks) {
  auto& table = hookTable();
  platform::MutexLock lock(table.mutex);
  table.hooks = std::move(newHooks);
}

void APMAddErrorValueParameters(APMDictionary& parameters, const APMObject& value, std::size_t maxLength,
                                const APMObject& lengthSource) {
  if (parameters.contains(kAPMErrorValueParameter) || parameters.contains(kAPMErrorLengthParameter)) return;
  std::string text = value.isNil() ? "(nil)" : value.ifString() ? *value.ifString() : value.className();
  if (codePoints(text) > maxLength) text = platform::strings::prefixCodePoints(text, maxLength) + "...";
  parameters[std::string(kAPMErrorValueParameter)] = APMObject(APMValue::initWithString(std::move(text)));
  if (lengthSource.isNil()) return;
  std::int64_t length = 0;
  if (const std::string* s = lengthSource.ifString()) {
    length = static_cast<std::int64_t>(codePoints(*s));
  } else if (lengthSource.isArray()) {
    length = static_cast<std::int64_t>(lengthSource.count());
  }
  parameters[std::string(kAPMErrorLengthParameter)] = APMInt64Object(length);
}

void APMSetFirstErrorParameters(APMDictionary& parameters, std::int64_t code, const APMObject& value,
                                std::size_t maxLength, const APMObject& lengthSource) {
  if (parameters.contains(kAPMErrorValueParameter) || parameters.contains(kAPMErrorLengthParameter) ||
      parameters.contains(kAPMErrorParameter)) {
    return;
  }
  parameters[std::string(kAPMErrorParameter)] = APMInt64Object(code);
  APMAddErrorValueParameters(parameters, value, maxLength, lengthSource);
}

void APMSetErrorCodeIfAbsent(APMDictionary& parameters, std::int64_t code) {
  if (!parameters.contains(kAPMErrorParameter)) parameters[std::string(kAPMErrorParameter)] = APMInt64Object(code);
}

void APMSetArrayParameterError(APMDictionary& parameters, Code validatorCode, const std::string& parameterName,
                               std::string_view eventName) {
  switch (validatorCode) {
    case APMValidationArrayOnNonEcommerceEvent:
      APMSetFirstErrorParameters(parameters, 21, std::string(eventName), 40, {});
      break;
    case APMValidationArrayNotItems:
      APMSetFirstErrorParameters(parameters, 20, parameterName, 40, {});
      break;
    case APMValidationArrayTooLarge:
      APMSetFirstErrorParameters(parameters, 17, parameterName, 40, {});
      break;
    case APMValidationArrayNested:
      APMSetFirstErrorParameters(parameters, 22, parameterName, 40, {});
      break;
    default:
      break;
  }
}

void APMLogErrorEvent(std::int64_t code) {
  if (code == 0) return;
  if (const auto h = hooks(); h.logInternalEvent) {
    h.logInternalEvent("auto", std::string(kAPMErrorParameter), {{std::string(kAPMErrorParameter), APMInt64Object(code)}});
  }
}

void APMLogErrorEventWithValue(std::int64_t code, const APMObject& value, std::size_t maxLength,
                               const APMObject& lengthSource) {
  if (code == 0) return;
  APMDictionary parameters{{std::string(kAPMErrorParameter), APMInt64Object(code)}};
  const std::string* s = value.ifString();
  const bool withLength =
      !lengthSource.isNil() && (code == 4 || code == 7 || (s && codePoints(*s) > maxLength));
  APMAddErrorValueParameters(parameters, value, maxLength, withLength ? lengthSource : APMObject());
  if (const auto h = hooks(); h.logInternalEvent) h.logInternalEvent("auto", std::string(kAPMErrorParameter), parameters);
}

bool APMIsPublicName(const APMObject& name) {
  const std::string* s = name.ifString();
  if (!s) {
    APMLog(2, 18002, "Cannot check the name. Name is not a string");
    return false;
  }
  if (s->empty()) {
    APMLog(2, 18003, "Cannot check the name. Name is empty");
    return false;
  }
  return s->front() != '_';
}

bool APMIsErrorEventName(std::string_view name) {
  if (name.empty()) {
    APMLog(2, 18004, "Cannot check the event name. Name is empty");
    return false;
  }
  return name == kAPMErrorParameter;
}

bool APMIsNotErrorEventName(std::string_view name) { return name != kAPMErrorParameter; }

bool APMHasScreenParameters(const APMDictionary& parameters) {
  return parameters.contains("_si") || parameters.contains("_sc") || parameters.contains("_sn");
}

APMDictionary APMScreenParametersFromParameters(const APMDictionary& parameters) {
  APMDictionary out;
  for (const char* name : {"_sn", "_sc", "_si"}) {
    if (const auto it = parameters.find(name); it != parameters.end()) out.emplace(*it);
  }
  return out;
}

bool APMIsValidParameterName(const std::string& name, bool isPublic, Code* failureCode) {
  if (isPublic && !APMDataTypeValidator::isValidPublicEventParameterName(APMObject(name), failureCode)) return false;
  return APMDataTypeValidator::isValidInternalEventParameterName(APMObject(name), failureCode);
}

std::size_t APMCountCustomParameters(const APMDictionary& parameters, bool skipItemParameters) {
  std::size_t count = 0;
  for (const auto& [name, value] : parameters) {
    if (!name.empty() && name.front() != '_' && !(skipItemParameters && APMIsItemParameterName(name))) ++count;
  }
  return count;
}

void APMTrimCustomParameters(APMDictionary& parameters, std::size_t limit, bool keepItemParameters) {
  std::size_t count = APMCountCustomParameters(parameters, keepItemParameters);
  if (count <= limit) return;
  // Plain code-unit order; the smallest names stay.
  std::vector<std::string> names;
  for (const auto& [name, value] : parameters) names.push_back(name);
  std::sort(names.begin(), names.end());
  for (auto it = names.rbegin(); it != names.rend() && count > limit; ++it) {
    const std::string& name = *it;
    if (name.empty() || name.front() == '_' || (keepItemParameters && APMIsItemParameterName(name))) continue;
    parameters.erase(name);
    --count;
  }
}

void APMTrimCustomEventParameters(APMDictionary& parameters, std::size_t limit) {
  APMTrimCustomParameters(parameters, limit, false);
}

bool APMValidateValueAndCurrency(APMDictionary& parameters) {
  const auto value = parameters.find("value");
  if (value == parameters.end()) return true;
  if (!APMDataTypeValidator::isValidNumericValue(value->second, nullptr)) {
    parameters.erase(value);
    APMSetFirstErrorParameters(parameters, 18, "value", 256, {});
    return false;
  }
  const auto currency = parameters.find("currency");
  if (currency == parameters.end() || !APMDataTypeValidator::isValidCurrencyCode(currency->second, nullptr)) {
    APMLog(3, 18014,
           "Value parameter discarded. You must also supply a 3-letter ISO_4217 currency code in the currency "
           "parameter.");
    parameters.erase("value");
    APMSetFirstErrorParameters(parameters, 19, "currency", 256, {});
    return false;
  }
  return true;
}

APMValuePtr APMSanitizeArrayParameter(const APMObject& array, const std::string& parameterName,
                                      std::string_view eventName, APMDictionary& errorParameters, bool nested,
                                      bool isPublic, Code* failureCode) {
  APMArray elements = array.arrayElements();
  Code code = 0;
  if (!APMDataTypeValidator::isValidArrayParamForEvent(eventName, parameterName, elements.size(), nested, &code)) {
    if (failureCode) *failureCode = code;
    if (code != APMValidationArrayTooLarge) return nullptr;
    elements.resize(kAPMMaxArrayParameterItems);
  } else if (failureCode) {
    *failureCode = 0;
  }
  APMArray kept;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (APMDataTypeValidator::isValidArrayParamItem(elements[i], nullptr)) {
      if (auto sanitized = APMSanitizeEventParameters(elements[i].dictionaryEntries(), eventName, isPublic, true)) {
        kept.emplace_back(std::move(*sanitized));
      }
      continue;
    }
    APMSetFirstErrorParameters(errorParameters, 4,
                               platform::format("%@[%lu]", parameterName, static_cast<unsigned long>(i)), 40, {});
  }
  return APMValue::initWithValueType(APMValue::Type::Array, std::make_shared<const APMArray>(std::move(kept)));
}

std::optional<APMDictionary> APMSanitizeEventParameters(const APMDictionary& parameters, std::string_view eventName,
                                                        bool isPublic, bool isItem) {
  if (parameters.empty()) return std::nullopt;
  std::vector<std::string> removed;
  APMDictionary replacements;
  for (const auto& [name, value] : parameters) {
    Code nameCode = 0;
    if (!APMIsValidParameterName(name, isPublic, &nameCode)) {
      removed.push_back(name);
      if (nameCode != 0 && !replacements.contains(kAPMErrorParameter)) {
        APMSetFirstErrorParameters(replacements, nameCode == APMValidationReserved ? 14 : 3, name, 40,
                                   codePoints(name) >= 41 ? APMObject(name) : APMObject());
      }
      continue;
    }
    APMValuePtr converted = APMValue::valueFromObject(value, true);
    if (!converted) {
      removed.push_back(name);
      APMLog(3, 18015, "Event parameter value must be of type NSString, NSNumber or NSArray. Type", value.className());
      continue;
    }
    const bool givenAsValue = value.apmValue() != nullptr;
    Code valueCode = 0;
    bool valid = !isPublic || APMDataTypeValidator::isValidPublicEventParameterValue(APMObject(converted), &valueCode);
    if (name == kAPMErrorValueParameter) {
      const std::string text = converted->stringValue() ? *converted->stringValue() : converted->description();
      const std::size_t length = codePoints(text);
      const bool alreadyCut = length == 259 && text.ends_with("...");
      if (length > 256 && !alreadyCut) {
        APMAddErrorValueParameters(replacements, APMObject(text), 256, APMObject(text));
        converted = APMValue::initWithString(platform::strings::prefixCodePoints(text, 256) + "...");
        replacements[name] = APMObject(converted);
        continue;
      }
    } else if (valid) {
      valid = APMDataTypeValidator::isValidInternalEventParameterValue(APMObject(converted), &valueCode);
    }
    Code arrayCode = 0;
    if (valid && !givenAsValue && converted->isArray()) {
      APMValuePtr sanitized =
          APMSanitizeArrayParameter(value, name, eventName, replacements, isItem, isPublic, &arrayCode);
      if (!sanitized) {
        removed.push_back(name);
      } else {
        converted = std::move(sanitized);
      }
    }
    if (!valid && valueCode == APMValidationTooLong) {
      removed.push_back(name);
      const std::string* s = converted->stringValue();
      APMSetFirstErrorParameters(replacements, 4, name, 40, s ? APMObject(*s) : APMObject());
      continue;
    }
    if (!valid) {
      removed.push_back(name);
      continue;
    }
    if (converted->isArray() && arrayCode != 0) APMSetArrayParameterError(replacements, arrayCode, name, eventName);
    if (!givenAsValue && std::find(removed.begin(), removed.end(), name) == removed.end()) {
      replacements[name] = APMObject(converted);
    }
  }

  APMDictionary result;
  if (removed.size() == parameters.size()) return replacements;
  if (removed.empty() && replacements.empty()) {
    result = parameters;
  } else {
    result = parameters;
    for (const std::string& name : removed) result.erase(name);
    for (auto& [name, value] : replacements) result[name] = value;
  }

  if (isItem) {
    std::vector<std::string> custom;
    for (const auto& [name, value] : result) {
      if (!name.empty() && name.front() != '_' && !APMIsItemParameterName(name)) custom.push_back(name);
    }
    if (!custom.empty()) {
      for (const std::string& name : custom) result.erase(name);
      APMSetErrorCodeIfAbsent(result, 23);
      APMLog(0, 18016, "Item cannot contain custom parameters");
    }
  } else {
    const std::size_t limit = maxPublicEventParams();
    if (APMCountCustomParameters(result, false) > limit) {
      APMTrimCustomParameters(result, limit, false);
      APMSetErrorCodeIfAbsent(result, 5);
      APMLog(1, 18017, platform::format("Event cannot contain more than %d parameters", static_cast<int>(limit)),
             static_cast<long long>(limit));
    }
  }
  return result;
}

std::optional<APMDictionary> APMSanitizeParameters(const APMDictionary& parameters, bool isPublic) {
  return APMSanitizeEventParameters(parameters, "", isPublic, false);
}
