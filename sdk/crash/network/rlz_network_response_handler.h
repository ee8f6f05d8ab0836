// How the crash reporter judges a finished HTTP task: transport errors, status classes and the
// content type decide between success, a final failure and a retry, and the errors of the
// "RLZNetworkError" domain are made here.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace platform {
class HTTPURLResponse;
class URLRequest;
}  // namespace platform

inline constexpr std::string_view kRLZNetworkErrorDomain = "RLZNetworkError";

inline constexpr std::int64_t kRLZNetworkErrorRetryable = -1;
inline constexpr std::int64_t kRLZNetworkErrorTaskNotCreated = -3;
inline constexpr std::int64_t kRLZNetworkErrorFailedResponse = -4;
inline constexpr std::int64_t kRLZNetworkErrorClientError = -5;
inline constexpr std::int64_t kRLZNetworkErrorRetryLimit = -6;

inline constexpr std::string_view kRLZNetworkResponseTypeKey = "type";
inline constexpr std::string_view kRLZNetworkStatusCodeKey = "status_code";
inline constexpr std::string_view kRLZNetworkRequestIdKey = "request_id";
inline constexpr std::string_view kRLZNetworkContentTypeKey = "content_type";
inline constexpr std::string_view kRLZNetworkRetryLimitKey = "retryLimit";
// The user-info key under which a background task's cancellation carries its reason.
inline constexpr std::string_view kRLZBackgroundTaskCancelledReasonKey = "NSURLErrorBackgroundTaskCancelledReasonKey";

enum RLZNetworkClientResponseType : std::int64_t {
  RLZNetworkClientResponseSuccess = 0,
  RLZNetworkClientResponseFailure = 1,
  RLZNetworkClientResponseInvalid = 2,
  RLZNetworkClientResponseRetry = 3,
  RLZNetworkClientResponseBackOff = 4,
};

class RLZNetworkResponseHandler {
 public:
  using TypeHandler = std::function<void(RLZNetworkClientResponseType type, std::int64_t statusCode)>;
  using DecisionBlock = std::function<void(bool retry, const platform::Error& error)>;

  // A null response is one that is not HTTP.
  static std::optional<std::string> headerForResponse(const platform::HTTPURLResponse* response,
                                                      std::string_view key);
  // Seconds; 2.0 when the header is missing, not a number, negative or not finite.
  static double retryValueForResponse(const platform::HTTPURLResponse* response);
  static std::optional<std::string> requestIdForResponse(const platform::HTTPURLResponse* response);
  static bool contentTypeForResponseMatchesRequest(const platform::HTTPURLResponse* response,
                                                   const platform::URLRequest& request);
  static bool retryableURLError(const platform::Error& error);
  static void clientResponseType(const platform::HTTPURLResponse* response, const TypeHandler& handler);
  static void handleCompletedResponse(const platform::HTTPURLResponse* response,
                                      const platform::URLRequest& originalRequest, const platform::Error& error,
                                      const DecisionBlock& block);

  static platform::Error errorForCode(std::int64_t code, platform::Value::Dictionary userInfo);
  // Unset for a success.
  static platform::Error errorForResponse(const platform::HTTPURLResponse* response,
                                          RLZNetworkClientResponseType type, std::int64_t status);
  // The background-task cancel reason of a cancelled URL error, else -1.
  static std::int64_t cancelReasonFromURLError(const platform::Error& error);
};
