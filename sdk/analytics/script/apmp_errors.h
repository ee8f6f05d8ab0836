// The interpreter's error reports: a domain and a code, no text. The first error of a run is
// kept; every later evaluation sees it set and returns undefined at once.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {
class Error;
}

inline constexpr std::string_view kAPMPErrorDomain = "com.videzu.vmp.measurement.zaraz.ErrorDomain";
inline constexpr std::string_view kAPMPEditingErrorDomain = "com.videzu.vmp.measurement.zaraz.editing.ErrorDomain";

enum APMPErrorCode : std::int64_t {
  kAPMPErrorUndeclaredAssignment = 2,
  kAPMPErrorNoBooleanValue = 3,
  kAPMPErrorNoNumberValue = 4,
  kAPMPErrorNoStringValue = 5,
  kAPMPErrorPropertyOfNothing = 6,
  kAPMPErrorMethodOfNothing = 7,
  kAPMPErrorReduceOfEmpty = 8,
  kAPMPErrorArgumentCount = 9,
  kAPMPErrorArgumentKind = 10,
  kAPMPErrorInvalidLength = 11,
  kAPMPErrorUnknownEntity = 12,
  kAPMPErrorUnconvertibleObject = 13,
  kAPMPErrorMissingFunctionName = 14,
  kAPMPErrorEmptyModule = 15,
  kAPMPErrorNotIterable = 16,
  kAPMPErrorUnknownMethod = 17,
  // The step budget ran out, or another resource limit of a run (nesting depth, growth of an
  // array or a text, memory of one run, what a program keeps between runs) was reached.
  kAPMPErrorLimitReached = 18,
};

// Sets the interpreter-domain error unless one is already set; a null out-parameter is ignored.
void APMPSetError(platform::Error* error, std::int64_t code);
void APMPSetEditingError(platform::Error* error, std::int64_t code);
bool APMPHasError(const platform::Error* error);
// Hands an error met on the side (in a local out-parameter) to the caller's, unless one is set.
void APMPKeepError(platform::Error* error, const platform::Error& met);
