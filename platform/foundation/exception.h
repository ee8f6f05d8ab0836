// Raised for misuse by a caller, as the platform raises exceptions: a name, a reason and user info.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace platform {

inline constexpr std::string_view kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr std::string_view kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr std::string_view kRangeException = "NSRangeException";
inline constexpr std::string_view kGenericException = "NSGenericException";

class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason, Value::Dictionary userInfo = {})
      : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const Value::Dictionary& userInfo() const { return userInfo_; }
  const char* what() const noexcept override { return reason_.c_str(); }

 private:
  std::string name_;
  std::string reason_;
  Value::Dictionary userInfo_;
};

}  // namespace platform
