// A store of, per tag, the date at which something last happened.
#pragma once

#include <optional>
#include <string_view>

#include "platform/foundation/date.h"

class VULHeartbeatDateStorable {
 public:
  virtual ~VULHeartbeatDateStorable() = default;
  virtual std::optional<platform::Date> heartbeatDateForTag(std::string_view tag) = 0;
  // Spelled as its callers know it.
  virtual bool setHearbeatDate(platform::Date date, std::string_view tag) = 0;
};
