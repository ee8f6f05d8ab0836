#include "sdk/core/installations/vdz_installations_api_service.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/format.h"
#include "platform/foundation/json.h"
#include "platform/foundation/strings.h"
#include "platform/net/url_session.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/core/core/vdz_heartbeat_info.h"
#include "sdk/core/core/vdz_logger.h"
#include "sdk/core/installations/vdz_installations_errors.h"
#include "sdk/utilities/promises/vul_url_session_promise.h"
#include "sdk/utilities/utilities/vul_service_endpoints.h"

using platform::Error;
using platform::URLRequest;
using platform::Value;

namespace {

constexpr std::string_view kService = kVDZInstallationsLoggerService;

std::string text(const platform::Data& data) { return std::string(data.begin(), data.end()); }

// One path segment whatever the value holds. The dot is escaped too, so no value reads as a dot
// segment.
std::string pathSegment(std::string_view value) {
  // Never destroyed: requests are built on a worker, which may still be at it while the process exits.
  static const auto* const allowed = new platform::strings::CharacterSet(platform::strings::CharacterSet::characters(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_~"));
  return platform::strings::addingPercentEncoding(value, *allowed);
}

std::string describeHeaders(const URLRequest& request) {
  Value::Dictionary headers;
  for (const auto& [name, value] : request.allHTTPHeaderFields()) headers[name] = Value(value);
  return Value(std::move(headers)).description();
}

}  // namespace

VDZInstallationsAPIService::VDZInstallationsAPIService(std::string APIKey, std::string projectID)
    : VDZInstallationsAPIService(
          platform::URLSession::sessionWithConfiguration(platform::URLSessionConfiguration::defaultSessionConfiguration()),
          std::move(APIKey), std::move(projectID)) {}

VDZInstallationsAPIService::VDZInstallationsAPIService(std::shared_ptr<platform::URLSession> session, std::string APIKey,
                                                       std::string projectID)
    : URLSession_(std::move(session)), APIKey_(std::move(APIKey)), projectID_(std::move(projectID)) {}

std::string VDZInstallationsAPIService::SDKVersion() { return "i:" + VDZVuduzaraVersion(); }

std::string VDZInstallationsAPIService::baseURL() { return VULServiceBaseURL(kVDZInstallationsDefaultBaseURL); }

URLRequest VDZInstallationsAPIService::requestWithURL(
    const std::string& url, std::string_view method, const Value::Dictionary& body,
    const std::optional<std::string>& refreshToken,
    const std::vector<std::pair<std::string, std::string>>& additionalHeaders) const {
  URLRequest request;
  request.setURL(url);
  request.setHTTPMethod(std::string(method));
  request.setValueForHTTPHeaderField(APIKey_, "X-Vdzu-Api-Key");
  auto bundle = platform::Bundle::main();
  request.setValueForHTTPHeaderField(bundle ? bundle->bundleIdentifier() : std::string(), "X-Ios-Bundle-Identifier");
  request.setValueForHTTPHeaderField("application/json", "Content-Type");
  if (auto json = platform::JSON::serialize(Value(body))) {
    request.setHTTPBody(platform::Data(json->begin(), json->end()));
  }
  if (refreshToken) request.setValueForHTTPHeaderField(platform::format("FIS_v2 %@", *refreshToken), "Authorization");
  request.setValueForHTTPHeaderField(VDZApp::vuduzaraUserAgent(), "X-vuduzara-client");
  request.setValueForHTTPHeaderField(
      std::to_string(static_cast<int>(VDZHeartbeatInfo::heartbeatCodeForTag(kVDZInstallationsHeartbeatTag))),
      "X-vuduzara-client-log-type");
  for (const auto& [field, value] : additionalHeaders) request.setValueForHTTPHeaderField(value, field);
  return request;
}

URLRequest VDZInstallationsAPIService::registerRequestWithInstallation(const VDZInstallationsItem& installation) const {
  const std::string url = platform::format("%@/v1/projects/%@/installations/", baseURL(), pathSegment(projectID_));
  const Value::Dictionary body{{"fid", Value(installation.vuduzaraInstallationID.value_or(""))},
                               {"authVersion", Value("FIS_v2")},
                               {"appId", Value(installation.appID())},
                               {"sdkVersion", Value(SDKVersion())}};
  std::vector<std::pair<std::string, std::string>> headers;
  if (installation.IIDDefaultToken) {
    headers.emplace_back(std::string(kVDZInstallationsIIDMigrationAuthHeader), *installation.IIDDefaultToken);
  }
  return requestWithURL(url, "POST", body, std::nullopt, headers);
}

URLRequest VDZInstallationsAPIService::authTokenRequestWithInstallation(const VDZInstallationsItem& installation) const {
  const std::string url =
      platform::format("%@/v1/projects/%@/installations/%@/authTokens:generate", baseURL(), pathSegment(projectID_),
                       pathSegment(installation.vuduzaraInstallationID.value_or("")));
  const Value::Dictionary body{{"installation", Value(Value::Dictionary{{"sdkVersion", Value(SDKVersion())}})}};
  return requestWithURL(url, "POST", body, installation.refreshToken, {});
}

URLRequest VDZInstallationsAPIService::deleteInstallationRequestWithInstallation(
    const VDZInstallationsItem& installation) const {
  const std::string url = platform::format("%@/v1/projects/%@/installations/%@/", baseURL(), pathSegment(projectID_),
                                           pathSegment(installation.vuduzaraInstallationID.value_or("")));
  return requestWithURL(url, "DELETE", {}, installation.refreshToken, {});
}

std::shared_ptr<VDZInstallationsAPIService::ResponsePromise> VDZInstallationsAPIService::buildAndSend(
    std::function<URLRequest()> build) const {
  auto service = shared_from_this();
  return VBLPromise<URLRequest>::do_(platform::DispatchQueue::global(platform::QualityOfService::Utility),
                                     [build = std::move(build)] { return build(); })
      ->then([service](const URLRequest& request) { return service->sendURLRequest(request); });
}

void VDZInstallationsAPIService::logParsing(const VDZInstallationsURLSessionResponse& response) {
  VDZLoggerLogDebug(kService, "I-FIS001005", "Parsing server response for %@.",
                    response.HTTPResponse ? response.HTTPResponse->url() : std::string());
}

std::shared_ptr<VDZInstallationsAPIService::ResponsePromise> VDZInstallationsAPIService::URLRequestPromise(
    const URLRequest& request) const {
  const std::string body = request.httpBody() ? text(*request.httpBody()) : std::string();
  VDZLoggerLogDebug(kService, "I-FIS001001", "Sending request: %@, body:%@, headers: %@.", request.description(), body,
                    describeHeaders(request));
  const std::string description = request.description();
  return VULPromises::vul_dataTaskPromiseWithRequest(URLSession_, request)
      ->then([description](const std::shared_ptr<VULURLSessionDataResponse>& response)
                 -> std::shared_ptr<VDZInstallationsURLSessionResponse> {
        auto result = std::make_shared<VDZInstallationsURLSessionResponse>();
        result->HTTPResponse = response->HTTPResponse();
        if (response->HTTPBody()) result->data = *response->HTTPBody();
        VDZLoggerLogDebug(kService, "I-FIS001003", "Request response received: %@, error: %@, body: %@.", description,
                          nullptr, text(result->data));
        return result;
      })
      ->catch_([description](const Error& error) {
        VDZLoggerLogDebug(kService, "I-FIS001002", "Request failed: %@, error: %@.", description, error.description());
      })
      ->then([](const std::shared_ptr<VDZInstallationsURLSessionResponse>& response)
                 -> VBLResult<std::shared_ptr<VDZInstallationsURLSessionResponse>> {
        const std::int64_t status = response->HTTPResponse ? response->HTTPResponse->statusCode() : 0;
        if (status >= 200 && status <= 299) return response;
        const std::string url = response->HTTPResponse ? response->HTTPResponse->url() : std::string();
        VDZLoggerLogDebug(kService, "I-FIS001004", "Unexpected API response: %@, body: %@.",
                          platform::format("<HTTP %ld %@>", static_cast<long>(status), url), text(response->data));
        return VDZInstallationsHTTPError::errorWithResponse(url, status, response->data);
      });
}

std::shared_ptr<VDZInstallationsAPIService::ResponsePromise> VDZInstallationsAPIService::sendURLRequest(
    const URLRequest& request) const {
  auto service = shared_from_this();
  return ResponsePromise::attempts(
      1, 1.0,
      [](std::int64_t, const Error& error) { return VDZInstallationsErrorUtil::isAPIError(error, 500); },
      [service, request] { return service->URLRequestPromise(request); });
}

std::shared_ptr<VDZInstallationsAPIService::ItemPromise> VDZInstallationsAPIService::registerInstallation(
    const std::shared_ptr<VDZInstallationsItem>& installation) {
  auto service = shared_from_this();
  Error invalid;
  if (!installation->isValid(&invalid)) {
    return VDZInstallationsErrorUtil::rejectedPromiseWithError<std::shared_ptr<VDZInstallationsItem>>(invalid);
  }
  return buildAndSend([service, installation] { return service->registerRequestWithInstallation(*installation); })
      ->then([installation](const std::shared_ptr<VDZInstallationsURLSessionResponse>& response)
                 -> VBLResult<std::shared_ptr<VDZInstallationsItem>> {
        logParsing(*response);
        Error error;
        auto registered = installation->registeredInstallationWithJSONData(response->data, platform::Date::now(), &error);
        if (!registered) {
          VDZLoggerLogDebug(kService, "I-FIS001006", "Failed to parse VDZInstallationsItem: %@.", error.description());
          return error;
        }
        VDZLoggerLogDebug(kService, "I-FIS001007", "VDZInstallationsItem parsed successfully.");
        return registered;
      });
}

std::shared_ptr<VDZInstallationsAPIService::ItemPromise> VDZInstallationsAPIService::refreshAuthTokenForInstallation(
    const std::shared_ptr<VDZInstallationsItem>& installation) {
  auto service = shared_from_this();
  return buildAndSend([service, installation] { return service->authTokenRequestWithInstallation(*installation); })
      ->then([installation](const std::shared_ptr<VDZInstallationsURLSessionResponse>& response)
                 -> VBLResult<std::shared_ptr<VDZInstallationsItem>> {
        logParsing(*response);
        Error error;
        auto token =
            VDZInstallationsItem::authTokenWithGenerateTokenAPIJSONData(response->data, platform::Date::now(), &error);
        if (!token) {
          VDZLoggerLogDebug(kService, "I-FIS001008", "Failed to parse VDZInstallationsStoredAuthToken: %@.",
                            error.description());
          return error;
        }
        VDZLoggerLogDebug(kService, "I-FIS001009", "VDZInstallationsStoredAuthToken parsed successfully.");
        auto updated = installation->copy();
        updated->authToken = token;
        return updated;
      });
}

std::shared_ptr<VDZInstallationsAPIService::ItemPromise> VDZInstallationsAPIService::deleteInstallation(
    const std::shared_ptr<VDZInstallationsItem>& installation) {
  auto service = shared_from_this();
  return buildAndSend([service, installation] { return service->deleteInstallationRequestWithInstallation(*installation); })
      ->then([installation](const std::shared_ptr<VDZInstallationsURLSessionResponse>&) { return installation; });
}
