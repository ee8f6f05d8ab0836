#include "sdk/crash/network/rlz_network_response_handler.h"

#include <cmath>
#include <cstdlib>

#include "platform/foundation/strings.h"
#include "platform/net/url_session.h"

namespace {

constexpr double kDefaultRetryAfterSeconds = 2.0;
constexpr std::string_view kCharsetSeparator = "; charset=";

bool isClientErrorStatus(std::int64_t status) {
  switch (status) {
    case 400: case 401: case 403: case 404: case 406: case 410: case 411: case 413: case 419: case 422: case 431:
      return true;
    default:
      return false;
  }
}

bool isSuccessStatus(std::int64_t status) {
  return status == 200 || status == 201 || status == 202 || status == 204 || status == 304;
}

// URL errors that another attempt cannot mend: policy, authentication, malformed or unsupported
// addresses, certificates and local files.
bool isFinalURLErrorCode(std::int64_t code) {
  switch (code) {
    case -1022: case -1013: case -1012: case -1010: case -1007: case -1002: case -1000: case -995:
    case -1103: case -1101: case -1100:
      return true;
    default:
      return code >= -1206 && code <= -1200;
  }
}

}  // namespace

std::optional<std::string> RLZNetworkResponseHandler::headerForResponse(const platform::HTTPURLResponse* response,
                                                                        std::string_view key) {
  if (!response) return std::nullopt;
  return response->valueForHTTPHeaderField(key);
}

double RLZNetworkResponseHandler::retryValueForResponse(const platform::HTTPURLResponse* response) {
  const auto header = headerForResponse(response, "Retry-After");
  if (!header) return kDefaultRetryAfterSeconds;
  const char* text = header->c_str();
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (end == text || !std::isfinite(seconds) || seconds < 0) return kDefaultRetryAfterSeconds;
  return seconds;
}

std::optional<std::string> RLZNetworkResponseHandler::requestIdForResponse(const platform::HTTPURLResponse* response) {
  return headerForResponse(response, "X-Request-Id");
}

bool RLZNetworkResponseHandler::contentTypeForResponseMatchesRequest(const platform::HTTPURLResponse* response,
                                                                     const platform::URLRequest& request) {
  const auto accept = request.valueForHTTPHeaderField("Accept");
  if (!accept) return true;
  const auto contentType = headerForResponse(response, "Content-Type");
  if (!contentType) return false;
  const std::string_view type(*contentType);
  const std::size_t separator = type.find(kCharsetSeparator);
  if (!platform::strings::equalsIgnoringCase(type.substr(0, separator), *accept)) return false;
  const auto acceptCharset = request.valueForHTTPHeaderField("Accept-Charset");
  if (!acceptCharset || separator == std::string_view::npos) return true;
  // Only the text between the first and a possible second separator is the charset.
  std::string_view charset = type.substr(separator + kCharsetSeparator.size());
  charset = charset.substr(0, charset.find(kCharsetSeparator));
  return platform::strings::equalsIgnoringCase(charset, *acceptCharset);
}

bool RLZNetworkResponseHandler::retryableURLError(const platform::Error& error) {
  return error.domain() == platform::kURLErrorDomain && !isFinalURLErrorCode(error.code());
}

void RLZNetworkResponseHandler::clientResponseType(const platform::HTTPURLResponse* response,
                                                   const TypeHandler& handler) {
  if (!response) return handler(RLZNetworkClientResponseFailure, 0);
  const std::int64_t status = response->statusCode();
  RLZNetworkClientResponseType type = RLZNetworkClientResponseFailure;
  if (isClientErrorStatus(status)) {
    type = RLZNetworkClientResponseInvalid;
  } else if (status == 420 || status == 429) {
    type = RLZNetworkClientResponseBackOff;
  } else if (status == 408) {
    type = RLZNetworkClientResponseRetry;
  } else if (isSuccessStatus(status)) {
    type = RLZNetworkClientResponseSuccess;
  } else if (status >= 500 && status <= 599) {
    type = RLZNetworkClientResponseRetry;
  }
  handler(type, status);
}

void RLZNetworkResponseHandler::handleCompletedResponse(const platform::HTTPURLResponse* response,
                                                        const platform::URLRequest& originalRequest,
                                                        const platform::Error& error, const DecisionBlock& block) {
  if (error) return block(retryableURLError(error), error);
  clientResponseType(response, [&](RLZNetworkClientResponseType type, std::int64_t status) {
    switch (type) {
      case RLZNetworkClientResponseSuccess:
        if (contentTypeForResponseMatchesRequest(response, originalRequest)) return block(false, platform::Error());
        return block(false, errorForResponse(response, RLZNetworkClientResponseFailure, status));
      case RLZNetworkClientResponseFailure:
      case RLZNetworkClientResponseInvalid:
        return block(false, errorForResponse(response, type, status));
      case RLZNetworkClientResponseRetry:
      case RLZNetworkClientResponseBackOff:
        return block(true, errorForResponse(response, type, status));
    }
  });
}

platform::Error RLZNetworkResponseHandler::errorForCode(std::int64_t code, platform::Value::Dictionary userInfo) {
  return platform::Error(std::string(kRLZNetworkErrorDomain), code, std::move(userInfo));
}

platform::Error RLZNetworkResponseHandler::errorForResponse(const platform::HTTPURLResponse* response,
                                                            RLZNetworkClientResponseType type, std::int64_t status) {
  if (type == RLZNetworkClientResponseSuccess) return platform::Error();
  platform::Value::Dictionary info;
  info[std::string(kRLZNetworkResponseTypeKey)] = platform::Value(static_cast<std::int64_t>(type));
  info[std::string(kRLZNetworkStatusCodeKey)] = platform::Value(status);
  info[std::string(kRLZNetworkRequestIdKey)] = requestIdForResponse(response).value_or("");
  info[std::string(kRLZNetworkContentTypeKey)] = headerForResponse(response, "Content-Type").value_or("");
  std::int64_t code = kRLZNetworkErrorRetryable;
  if (type == RLZNetworkClientResponseInvalid) code = kRLZNetworkErrorClientError;
  if (type == RLZNetworkClientResponseFailure) code = kRLZNetworkErrorFailedResponse;
  return errorForCode(code, std::move(info));
}

std::int64_t RLZNetworkResponseHandler::cancelReasonFromURLError(const platform::Error& error) {
  if (error.domain() != platform::kURLErrorDomain || error.code() != platform::kURLErrorCancelled) return -1;
  const auto found = error.userInfo().find(std::string(kRLZBackgroundTaskCancelledReasonKey));
  if (found == error.userInfo().end() || !found->second.isInteger()) return -1;
  return *found->second.ifInteger();
}
