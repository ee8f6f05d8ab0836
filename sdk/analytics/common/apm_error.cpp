#include "sdk/analytics/common/apm_error.h"

platform::Error APMAdditions::apm_errorWithCode(std::int64_t code, std::string_view description) {
  return apm_errorWithCode(code, description, "");
}

platform::Error APMAdditions::apm_errorWithCode(std::int64_t code, std::string_view description,
                                                std::string_view monitorContext) {
  platform::Value::Dictionary userInfo;
  if (!description.empty()) userInfo.emplace(platform::kLocalizedDescriptionKey, description);
  if (!monitorContext.empty()) userInfo.emplace(kAPMMonitorContextKey, monitorContext);
  return platform::Error(std::string(kAPMErrorDomain), code, std::move(userInfo));
}

void APMSetError(platform::Error* error, std::int64_t code, std::string_view description) {
  APMSetErrorWithContext(error, code, description, "");
}

void APMSetErrorWithContext(platform::Error* error, std::int64_t code, std::string_view description,
                            std::string_view monitorContext) {
  if (error) *error = APMAdditions::apm_errorWithCode(code, description, monitorContext);
}

bool APMCheckBool(bool condition, platform::Error* error, std::int64_t code, std::string_view description) {
  if (!condition) APMSetError(error, code, description);
  return condition;
}

bool APMCheckPointer(const void* pointer, platform::Error* error, std::int64_t code, std::string_view description) {
  return APMCheckBool(pointer != nullptr, error, code, description);
}

bool APMCheckNonZero(std::uint64_t count, platform::Error* error, std::int64_t code, std::string_view description) {
  return APMCheckBool(count != 0, error, code, description);
}
