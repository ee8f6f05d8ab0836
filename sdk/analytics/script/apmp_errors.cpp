#include "sdk/analytics/script/apmp_errors.h"

#include <string>

#include "platform/foundation/error.h"

namespace {
void setIfClear(platform::Error* error, std::string_view domain, std::int64_t code) {
  if (error && !error->isSet()) *error = platform::Error(std::string(domain), code);
}
}  // namespace

void APMPSetError(platform::Error* error, std::int64_t code) { setIfClear(error, kAPMPErrorDomain, code); }
void APMPSetEditingError(platform::Error* error, std::int64_t code) {
  setIfClear(error, kAPMPEditingErrorDomain, code);
}
bool APMPHasError(const platform::Error* error) { return error && error->isSet(); }

void APMPKeepError(platform::Error* error, const platform::Error& met) {
  if (error && !error->isSet() && met.isSet()) *error = met;
}
