// One user property: its origin, internal name, value and the time it was set. Immutable.
#pragma once

#include <memory>
#include <string>

#include "sdk/analytics/common/apm_value.h"

class APMPBUserAttribute;

class APMUserAttribute {
 public:
  // Nothing unless the name and the value pass the internal user-property rules.
  static std::shared_ptr<const APMUserAttribute> initWithOrigin(std::string origin, std::string name, APMValuePtr value,
                                                                double lastSetTimestamp);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const APMValuePtr& value() const { return value_; }
  double lastSetTimestamp() const { return lastSetTimestamp_; }
  bool isPublic() const { return !name_.empty() && name_.front() != '_'; }
  // The user property of a bundle; the origin stays behind.
  std::shared_ptr<APMPBUserAttribute> protoUserAttribute() const;

  APMUserAttribute(std::string origin, std::string name, APMValuePtr value, double lastSetTimestamp)
      : origin_(std::move(origin)), name_(std::move(name)), value_(std::move(value)), lastSetTimestamp_(lastSetTimestamp) {}

 private:
  std::string origin_;
  std::string name_;
  APMValuePtr value_;
  double lastSetTimestamp_;
};

// Seconds to whole milliseconds, truncated toward zero, as stored and uploaded records carry them.
std::int64_t APMMillisecondsFromSeconds(double seconds);
