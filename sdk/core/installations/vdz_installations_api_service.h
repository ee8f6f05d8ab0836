// The installations service client: register an installation, generate an auth token, delete
// an installation. JSON bodies; a 500 answer is tried once more after a second; non-2xx answers
// become HTTP errors; answers are read into installation records.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/value.h"
#include "sdk/core/installations/vdz_installations_item.h"
#include "sdk/utilities/promises/vbl_promise.h"

namespace platform {
class HTTPURLResponse;
class URLRequest;
class URLSession;
}  // namespace platform

inline constexpr std::string_view kVDZInstallationsDefaultBaseURL = "https://installations.vuduzara.invalid";
inline constexpr std::string_view kVDZInstallationsHeartbeatTag = "vud-installations";
inline constexpr std::string_view kVDZInstallationsIIDMigrationAuthHeader = "x-vdzu-fis-ios-iid-migration-auth";

struct VDZInstallationsURLSessionResponse {
  std::shared_ptr<platform::HTTPURLResponse> HTTPResponse;
  platform::Data data;  // empty when the answer had no body
};

class VDZInstallationsAPIService : public std::enable_shared_from_this<VDZInstallationsAPIService> {
 public:
  using ItemPromise = VBLPromise<std::shared_ptr<VDZInstallationsItem>>;
  using ResponsePromise = VBLPromise<std::shared_ptr<VDZInstallationsURLSessionResponse>>;

  VDZInstallationsAPIService(std::string APIKey, std::string projectID);
  VDZInstallationsAPIService(std::shared_ptr<platform::URLSession> session, std::string APIKey, std::string projectID);

  std::shared_ptr<ItemPromise> registerInstallation(const std::shared_ptr<VDZInstallationsItem>& installation);
  // A copy of the installation carrying the new token.
  std::shared_ptr<ItemPromise> refreshAuthTokenForInstallation(const std::shared_ptr<VDZInstallationsItem>& installation);
  std::shared_ptr<ItemPromise> deleteInstallation(const std::shared_ptr<VDZInstallationsItem>& installation);

  // "i:" followed by the SDK version.
  static std::string SDKVersion();
  // The service's base URL, without a trailing "/".
  static std::string baseURL();

  platform::URLRequest registerRequestWithInstallation(const VDZInstallationsItem& installation) const;
  platform::URLRequest authTokenRequestWithInstallation(const VDZInstallationsItem& installation) const;
  platform::URLRequest deleteInstallationRequestWithInstallation(const VDZInstallationsItem& installation) const;

 private:
  platform::URLRequest requestWithURL(const std::string& url, std::string_view method,
                                      const platform::Value::Dictionary& body,
                                      const std::optional<std::string>& refreshToken,
                                      const std::vector<std::pair<std::string, std::string>>& additionalHeaders) const;
  // Builds the request on the utility queue, then sends it.
  std::shared_ptr<ResponsePromise> buildAndSend(std::function<platform::URLRequest()> build) const;
  static void logParsing(const VDZInstallationsURLSessionResponse& response);
  std::shared_ptr<ResponsePromise> sendURLRequest(const platform::URLRequest& request) const;
  std::shared_ptr<ResponsePromise> URLRequestPromise(const platform::URLRequest& request) const;

  const std::shared_ptr<platform::URLSession> URLSession_;
  const std::string APIKey_;
  const std::string projectID_;
};
