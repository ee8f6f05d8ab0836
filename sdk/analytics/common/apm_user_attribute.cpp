#include "sdk/analytics/common/apm_user_attribute.h"

#include <cmath>
#include <limits>

#include "sdk/analytics/common/apm_data_type_validator.h"

std::shared_ptr<const APMUserAttribute> APMUserAttribute::initWithOrigin(std::string origin, std::string name,
                                                                         APMValuePtr value, double lastSetTimestamp) {
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(APMObject(name), nullptr) ||
      !APMDataTypeValidator::isValidInternalUserAttributeValue(APMObject(value), name, nullptr)) {
    return nullptr;
  }
  return std::make_shared<const APMUserAttribute>(std::move(origin), std::move(name), std::move(value),
                                                  lastSetTimestamp);
}

std::int64_t APMMillisecondsFromSeconds(double seconds) {
  const double ms = std::trunc(seconds * 1000);
  // Out-of-range times saturate instead of being undefined.
  if (std::isnan(ms)) return 0;
  if (ms >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
  if (ms <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(ms);
}
