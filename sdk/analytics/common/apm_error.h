// One error domain and constructor for every fallible engine operation, and the one-line checks
// that fill a caller's error out-parameter when a condition fails.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"

inline constexpr std::string_view kAPMErrorDomain = "com.videzu.vmp.measurement.ErrorDomain";
// User-information key of the context the monitor turns into health data.
inline constexpr std::string_view kAPMMonitorContextKey = "APMMonitorContext";

// The category `NSError(APMAdditions)`.
namespace APMAdditions {
platform::Error apm_errorWithCode(std::int64_t code, std::string_view description);
platform::Error apm_errorWithCode(std::int64_t code, std::string_view description, std::string_view monitorContext);
}  // namespace APMAdditions

void APMSetError(platform::Error* error, std::int64_t code, std::string_view description);
void APMSetErrorWithContext(platform::Error* error, std::int64_t code, std::string_view description,
                            std::string_view monitorContext);

bool APMCheckBool(bool condition, platform::Error* error, std::int64_t code, std::string_view description);
template <class T>
bool APMCheckObject(const T& object, platform::Error* error, std::int64_t code, std::string_view description) {
  return APMCheckBool(static_cast<bool>(object), error, code, description);
}
bool APMCheckPointer(const void* pointer, platform::Error* error, std::int64_t code, std::string_view description);
bool APMCheckNonZero(std::uint64_t count, platform::Error* error, std::int64_t code, std::string_view description);
