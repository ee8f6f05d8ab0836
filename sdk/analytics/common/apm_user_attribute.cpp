#include "sdk/analytics/common/apm_user_attribute.h"

#include <cmath>
#include <limits>

#include "sdk/analytics/common/apm_data_type_validator.h"
#include "sdk/analytics/messages/nano_accessors.h"

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

std::shared_ptr<APMPBUserAttribute> APMUserAttribute::protoUserAttribute() const {
  auto message = APMPBUserAttribute::initWithMessageInfo();
  NANOSetString(message.get(), 1, name_);
  if (value_->isDouble()) {
    NANOSetDouble(message.get(), 5, value_->doubleValue());
  } else if (value_->isInt64()) {
    NANOSetInt64(message.get(), 3, value_->int64Value());
  } else if (const std::string* s = value_->stringValue()) {
    NANOSetString(message.get(), 2, *s);
  }
  NANOSetInt64(message.get(), 0, APMMillisecondsFromSeconds(lastSetTimestamp_));
  return message;
}
