#include "sdk/core/installations/vdz_installations_errors.h"

#include "platform/foundation/format.h"
#include "platform/net/url_session.h"

using platform::Error;
using platform::Value;

Error VDZInstallationsHTTPError::errorWithResponse(const std::string& url, std::int64_t statusCode,
                                                   const platform::Data& data) {
  const std::string body(data.begin(), data.end());
  const std::string reason = platform::format(
      "The server responded with an error: \n - URL: %@ \n - HTTP status code: %ld \n - Response body: %@", url,
      static_cast<long>(statusCode), body);
  return Error(std::string(kVDZInstallationsErrorDomain), VDZInstallationsErrorCodeUnknown,
               {{std::string(platform::kLocalizedFailureReasonErrorKey), Value(reason)},
                {std::string(kVDZInstallationsHTTPErrorURLKey), Value(url)},
                {std::string(kVDZInstallationsHTTPErrorStatusKey), Value(statusCode)},
                {std::string(kVDZInstallationsHTTPErrorDataKey), Value(data)}});
}

std::optional<VDZInstallationsHTTPError> VDZInstallationsHTTPError::fromError(const Error& error) {
  if (error.domain() != kVDZInstallationsErrorDomain) return std::nullopt;
  const auto& info = error.userInfo();
  auto status = info.find(kVDZInstallationsHTTPErrorStatusKey);
  if (status == info.end() || !status->second.isInteger()) return std::nullopt;
  VDZInstallationsHTTPError http;
  http.statusCode_ = *status->second.ifInteger();
  if (auto url = info.find(kVDZInstallationsHTTPErrorURLKey); url != info.end()) http.url_ = url->second.string();
  if (auto data = info.find(kVDZInstallationsHTTPErrorDataKey); data != info.end() && data->second.isData()) {
    http.data_ = *data->second.ifData();
  }
  return http;
}

Error VDZInstallationsErrorUtil::installationsErrorWithCode(std::int64_t code, std::optional<std::string> failureReason,
                                                            const Error* underlyingError) {
  Value::Dictionary info;
  std::shared_ptr<const Error> underlying;
  if (underlyingError && *underlyingError) {
    underlying = std::make_shared<const Error>(*underlyingError);
    if (!failureReason) failureReason = platform::format("Underlying error: %@", underlyingError->localizedDescription());
  }
  if (failureReason) info[std::string(platform::kLocalizedFailureReasonErrorKey)] = Value(*failureReason);
  return Error(std::string(kVDZInstallationsErrorDomain), code, std::move(info), std::move(underlying));
}

Error VDZInstallationsErrorUtil::keychainErrorWithFunction(std::string_view function, std::int32_t status) {
  return installationsErrorWithCode(VDZInstallationsErrorCodeKeychain,
                                    platform::format("%@ (%li)", function, static_cast<long>(status)), nullptr);
}

Error VDZInstallationsErrorUtil::installationItemNotFoundForAppID(std::string_view appID, std::string_view appName) {
  return installationsErrorWithCode(VDZInstallationsErrorCodeUnknown,
                                    platform::format("Installation for appID %@ appName %@ not found", appID, appName),
                                    nullptr);
}

Error VDZInstallationsErrorUtil::corruptedIIDTokenData() {
  return installationsErrorWithCode(
      VDZInstallationsErrorCodeUnknown,
      std::string("IID token data stored in Keychain is corrupted or in an incompatible format."), nullptr);
}

Error VDZInstallationsErrorUtil::JSONSerializationError(const Error*) {
  return installationsErrorWithCode(VDZInstallationsErrorCodeUnknown, std::string("Failed to serialize JSON data."),
                                    nullptr);
}

Error VDZInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField(std::string_view fieldName) {
  return installationsErrorWithCode(VDZInstallationsErrorCodeUnknown,
                                    platform::format("A required response field with name %@ is missing", fieldName),
                                    nullptr);
}

Error VDZInstallationsErrorUtil::FIDRegistrationErrorWithResponseFieldNotAnInstallationID(std::string_view fieldName) {
  return installationsErrorWithCode(VDZInstallationsErrorCodeUnknown,
                                    platform::format("A response field with name %@ is not an installation ID",
                                                     fieldName),
                                    nullptr);
}

Error VDZInstallationsErrorUtil::backoffIntervalWaitError() {
  return installationsErrorWithCode(VDZInstallationsErrorCodeServerUnreachable, std::string("Too many server requests."),
                                    nullptr);
}

Error VDZInstallationsErrorUtil::networkErrorWithError(const Error& error) {
  return installationsErrorWithCode(VDZInstallationsErrorCodeServerUnreachable, std::string("Network connection error."),
                                    &error);
}

Error VDZInstallationsErrorUtil::keyedArchiverErrorWithError(const Error& error) {
  return installationsErrorWithCode(VDZInstallationsErrorCodeUnknown, std::string("NSKeyedArchiver error."), &error);
}

Error VDZInstallationsErrorUtil::keyedArchiverErrorWithException(const platform::Exception& exception) {
  return installationsErrorWithCode(
      VDZInstallationsErrorCodeUnknown,
      platform::format("NSKeyedArchiver exception with name: %@, reason: %@, userInfo: %@", exception.name(),
                       exception.reason(), Value(exception.userInfo())),
      nullptr);
}

Error VDZInstallationsErrorUtil::APIErrorWithHTTPResponse(const platform::HTTPURLResponse& response,
                                                          const platform::Data& data) {
  return VDZInstallationsHTTPError::errorWithResponse(response.url(), response.statusCode(), data);
}

bool VDZInstallationsErrorUtil::isAPIError(const Error& error, std::int64_t HTTPCode) {
  auto http = VDZInstallationsHTTPError::fromError(error);
  return http && http->statusCode() == HTTPCode;
}

Error VDZInstallationsErrorUtil::publicDomainErrorWithError(const Error& error) {
  if (error.domain() == kVDZInstallationsErrorDomain) return error;
  return installationsErrorWithCode(VDZInstallationsErrorCodeUnknown, std::nullopt, &error);
}
