// Heartbeat dates kept in one user-defaults value: a dictionary from tag to date.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"
#include "sdk/utilities/utilities/vul_heartbeat_date_storable.h"

namespace platform {
class UserDefaults;
}

class VULHeartbeatDateStorageUserDefaults : public VULHeartbeatDateStorable {
 public:
  VULHeartbeatDateStorageUserDefaults(std::shared_ptr<platform::UserDefaults> defaults, std::string key);

  // None unless the stored value is a date.
  std::optional<platform::Date> heartbeatDateForTag(std::string_view tag) override;
  bool setHearbeatDate(platform::Date date, std::string_view tag) override;

 private:
  platform::Value::Dictionary heartbeatDictionaryFromDefaults() const;

  const std::shared_ptr<platform::UserDefaults> defaults_;
  const std::string key_;
};
