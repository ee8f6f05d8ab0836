#include "platform/foundation/error.h"

#include "platform/foundation/format.h"

namespace platform {

Error::Error(std::string domain, std::int64_t code, Value::Dictionary userInfo, std::shared_ptr<const Error> underlying)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)), underlying_(std::move(underlying)) {}

std::string Error::localizedDescription() const {
  if (auto it = userInfo_.find(kLocalizedDescriptionKey); it != userInfo_.end() && it->second.isString()) {
    return *it->second.ifString();
  }
  return format("The operation couldn’t be completed. (%@ error %lld.)", domain_, code_);
}

std::string Error::localizedFailureReason() const {
  auto it = userInfo_.find(kLocalizedFailureReasonErrorKey);
  return it != userInfo_.end() ? it->second.stringValue() : std::string();
}

std::string Error::description() const {
  Value::Dictionary info = userInfo_;
  if (underlying_) info.emplace(std::string(kUnderlyingErrorKey), underlying_->description());
  std::string text = format("Error Domain=%@ Code=%lld \"%@\"", domain_, code_, localizedDescription());
  if (info.empty()) return text + " UserInfo={}";
  std::string inner;
  for (const auto& [key, value] : info) {
    if (!inner.empty()) inner += ", ";
    inner += key + "=" + value.description();
  }
  return text + " UserInfo={" + inner + "}";
}

Error corruptDataError(std::string detail, std::int64_t code) {
  return Error(std::string(kCocoaErrorDomain), code,
               {{std::string(kLocalizedDescriptionKey),
                 "The data couldn’t be read because it isn’t in the correct format."},
                {std::string(kDebugDescriptionErrorKey), std::move(detail)}});
}

Error invalidValueError(std::string detail) {
  return Error(std::string(kCocoaErrorDomain), kPropertyListWriteInvalidError,
               {{std::string(kDebugDescriptionErrorKey), std::move(detail)}});
}

}  // namespace platform
