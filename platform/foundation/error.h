// Errors that can happen are values: a domain, a numeric code and user information.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace platform {

// User-information keys with the platform's spelling.
inline constexpr std::string_view kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr std::string_view kLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr std::string_view kLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
inline constexpr std::string_view kFilePathErrorKey = "NSFilePath";
inline constexpr std::string_view kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr std::string_view kDebugDescriptionErrorKey = "NSDebugDescription";

// Domains the platform itself reports in.
inline constexpr std::string_view kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::string_view kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::string_view kURLErrorDomain = "NSURLErrorDomain";

// Codes of the Cocoa domain used by the file manager and archivers.
inline constexpr std::int64_t kFileNoSuchFileError = 4;
inline constexpr std::int64_t kFileReadNoSuchFileError = 260;
inline constexpr std::int64_t kFileReadCorruptFileError = 259;
inline constexpr std::int64_t kFileReadUnknownError = 256;
inline constexpr std::int64_t kFileReadTooLargeError = 263;
inline constexpr std::int64_t kFileWriteUnknownError = 512;
inline constexpr std::int64_t kFileWriteFileExistsError = 516;
inline constexpr std::int64_t kPropertyListReadCorruptError = 3840;
inline constexpr std::int64_t kPropertyListWriteInvalidError = 3851;
inline constexpr std::int64_t kCoderReadCorruptError = 4864;
inline constexpr std::int64_t kCoderValueNotFoundError = 4865;
inline constexpr std::int64_t kCoderInvalidValueError = 4866;

class Error {
 public:
  Error() = default;
  Error(std::string domain, std::int64_t code, Value::Dictionary userInfo = {},
        std::shared_ptr<const Error> underlying = nullptr);
  virtual ~Error() = default;
  Error(const Error&) = default;
  Error& operator=(const Error&) = default;

  // An empty domain means "no error" (a default-constructed out-parameter).
  bool isSet() const { return !domain_.empty(); }
  explicit operator bool() const { return isSet(); }

  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  const Value::Dictionary& userInfo() const { return userInfo_; }
  const std::shared_ptr<const Error>& underlyingError() const { return underlying_; }

  // The user-info description, or the platform's default text:
  // "The operation couldn’t be completed. (<domain> error <code>.)"
  virtual std::string localizedDescription() const;
  virtual std::string localizedFailureReason() const;  // empty when none
  // "Error Domain=<domain> Code=<code> \"<description>\" UserInfo={...}"
  virtual std::string description() const;

 private:
  std::string domain_;
  std::int64_t code_ = 0;
  Value::Dictionary userInfo_;
  std::shared_ptr<const Error> underlying_;
};

// The errors of a reader given bytes in the wrong format (Cocoa domain, `code`, with the
// platform's description) and of a writer given a value its format cannot hold (code 3851).
Error corruptDataError(std::string detail, std::int64_t code = kPropertyListReadCorruptError);
Error invalidValueError(std::string detail);

// Writes `e` through an optional out-parameter.
inline void setError(Error* out, Error e) {
  if (out) *out = std::move(e);
}

}  // namespace platform
