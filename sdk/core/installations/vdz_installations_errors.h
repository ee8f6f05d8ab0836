// The errors of the installation client: one domain, a few codes, and the service's non-2xx
// answers. An HTTP error is a plain platform::Error of this domain (code 0) that also carries the
// response's URL, status and body in its user info, so it survives promise chains intact.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/exception.h"
#include "sdk/utilities/promises/vbl_promise.h"

namespace platform {
class HTTPURLResponse;
}

inline constexpr std::string_view kVDZInstallationsErrorDomain = "com.vuduzara.installations";
inline constexpr std::string_view kVDZInstallationsExceptionName = "com.vuduzara.installations";
inline constexpr std::string_view kVDZInstallationsLoggerService = "[Vuduzara/Installations]";

enum VDZInstallationsErrorCode : std::int64_t {
  VDZInstallationsErrorCodeUnknown = 0,
  VDZInstallationsErrorCodeKeychain = 1,
  VDZInstallationsErrorCodeServerUnreachable = 2,
};

// User-info keys of an HTTP error.
inline constexpr std::string_view kVDZInstallationsHTTPErrorURLKey = "VDZInstallationsHTTPErrorURL";
inline constexpr std::string_view kVDZInstallationsHTTPErrorStatusKey = "VDZInstallationsHTTPErrorStatusCode";
inline constexpr std::string_view kVDZInstallationsHTTPErrorDataKey = "VDZInstallationsHTTPErrorData";

// A view of an error that is a service answer.
class VDZInstallationsHTTPError {
 public:
  static platform::Error errorWithResponse(const std::string& url, std::int64_t statusCode, const platform::Data& data);
  // None when the error is no HTTP error of this domain.
  static std::optional<VDZInstallationsHTTPError> fromError(const platform::Error& error);

  const std::string& url() const { return url_; }
  std::int64_t statusCode() const { return statusCode_; }
  const platform::Data& data() const { return data_; }

 private:
  std::string url_;
  std::int64_t statusCode_ = 0;
  platform::Data data_;
};

class VDZInstallationsErrorUtil {
 public:
  VDZInstallationsErrorUtil() = delete;

  static platform::Error installationsErrorWithCode(std::int64_t code, std::optional<std::string> failureReason,
                                                    const platform::Error* underlyingError);
  static platform::Error keychainErrorWithFunction(std::string_view function, std::int32_t status);
  static platform::Error installationItemNotFoundForAppID(std::string_view appID, std::string_view appName);
  static platform::Error corruptedIIDTokenData();
  static platform::Error JSONSerializationError(const platform::Error* error);
  static platform::Error FIDRegistrationErrorWithResponseMissingField(std::string_view fieldName);
  static platform::Error FIDRegistrationErrorWithResponseFieldNotAnInstallationID(std::string_view fieldName);
  static platform::Error backoffIntervalWaitError();
  static platform::Error networkErrorWithError(const platform::Error& error);
  static platform::Error keyedArchiverErrorWithError(const platform::Error& error);
  static platform::Error keyedArchiverErrorWithException(const platform::Exception& exception);

  static platform::Error APIErrorWithHTTPResponse(const platform::HTTPURLResponse& response,
                                                  const platform::Data& data);
  static bool isAPIError(const platform::Error& error, std::int64_t HTTPCode);
  // Errors of this domain unchanged; any other wrapped as code 0 with it as underlying error.
  static platform::Error publicDomainErrorWithError(const platform::Error& error);

  template <class T>
  static std::shared_ptr<VBLPromise<T>> rejectedPromiseWithError(const platform::Error& error) {
    auto promise = VBLPromise<T>::pendingPromise();
    promise->reject(error);
    return promise;
  }
};
