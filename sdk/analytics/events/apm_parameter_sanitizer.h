// Turns callers' parameter dictionaries into valid `APMValue` parameters, trims custom parameters
// to the configured limit and records input errors as the reserved parameters "_err", "_ev" and
// "_el" (the first error of an event only), or as an "_err" event of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "sdk/analytics/common/apm_data_type_validator.h"
#include "sdk/analytics/common/apm_object.h"

inline constexpr std::string_view kAPMErrorParameter = "_err";
inline constexpr std::string_view kAPMErrorValueParameter = "_ev";
inline constexpr std::string_view kAPMErrorLengthParameter = "_el";
inline constexpr std::int64_t kAPMDefaultMaxPublicEventParams = 25;

// Where the engine's remote setting `maxPublicEventParams` and the facade's
// `logInternalEventWithOrigin:name:parameters:` come from; connected by the engine when it starts.
struct APMSanitizerHooks {
  std::function<std::int64_t()> maxPublicEventParams;
  std::function<void(const std::string& origin, const std::string& name, const APMDictionary& parameters)>
      logInternalEvent;
};
void APMSetSanitizerHooks(APMSanitizerHooks hooks);

std::optional<APMDictionary> APMSanitizeEventParameters(const APMDictionary& parameters, std::string_view eventName,
                                                        bool isPublic, bool isItem);
std::optional<APMDictionary> APMSanitizeParameters(const APMDictionary& parameters, bool isPublic);
bool APMIsValidParameterName(const std::string& name, bool isPublic, APMDataTypeValidator::Code* failureCode);
// An `APMValue` array of the valid elements, or nothing when the array is refused.
APMValuePtr APMSanitizeArrayParameter(const APMObject& array, const std::string& parameterName,
                                      std::string_view eventName, APMDictionary& errorParameters, bool nested,
                                      bool isPublic, APMDataTypeValidator::Code* failureCode);

std::size_t APMCountCustomParameters(const APMDictionary& parameters, bool skipItemParameters);
void APMTrimCustomParameters(APMDictionary& parameters, std::size_t limit, bool keepItemParameters);
void APMTrimCustomEventParameters(APMDictionary& parameters, std::size_t limit);
// True when "value" is absent, or numeric with a valid "currency"; otherwise "value" is removed.
bool APMValidateValueAndCurrency(APMDictionary& parameters);

void APMLogErrorEvent(std::int64_t code);
void APMLogErrorEventWithValue(std::int64_t code, const APMObject& value, std::size_t maxLength,
                               const APMObject& lengthSource);
void APMAddErrorValueParameters(APMDictionary& parameters, const APMObject& value, std::size_t maxLength,
                                const APMObject& lengthSource);
void APMSetFirstErrorParameters(APMDictionary& parameters, std::int64_t code, const APMObject& value,
                                std::size_t maxLength, const APMObject& lengthSource);
void APMSetErrorCodeIfAbsent(APMDictionary& parameters, std::int64_t code);
void APMSetArrayParameterError(APMDictionary& parameters, APMDataTypeValidator::Code validatorCode,
                               const std::string& parameterName, std::string_view eventName);

bool APMIsPublicName(const APMObject& name);
bool APMIsErrorEventName(std::string_view name);
bool APMIsNotErrorEventName(std::string_view name);
bool APMHasScreenParameters(const APMDictionary& parameters);
APMDictionary APMScreenParametersFromParameters(const APMDictionary& parameters);
