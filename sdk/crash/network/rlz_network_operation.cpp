#include "sdk/crash/network/rlz_network_operation.h"

#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/format.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/launch/rlz_utilities.h"

std::shared_ptr<RLZNetworkOperation> RLZNetworkOperation::initWithVidezuAppID(
    const std::optional<std::string>& videzuAppID, std::shared_ptr<RLZDataCollectionToken> token) {
  if (!isValidVidezuAppID(videzuAppID)) return nullptr;
  return std::make_shared<RLZNetworkOperation>(*videzuAppID, std::move(token));
}

RLZNetworkOperation::RLZNetworkOperation(std::string videzuAppID, std::shared_ptr<RLZDataCollectionToken> token)
    : videzuAppID_(std::move(videzuAppID)), token_(std::move(token)) {}

bool RLZNetworkOperation::isValidVidezuAppID(const std::optional<std::string>& videzuAppID) {
  if (videzuAppID && !videzuAppID->empty()) return true;
  platform::AssertionHandler::handleFailure(__FILE__,
                                            platform::format("Invalid parameter not satisfying: %@", "videzuAppID"));
  return false;
}

void RLZNetworkOperation::startWithToken(const std::shared_ptr<RLZDataCollectionToken>& token) {
  if (!RLZDataCollectionTokenIsValid(token)) {
    RLZErrorLog("Skipping network operation with invalid data collection token");
    return;
  }
  start();
}

platform::URLRequest RLZNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const std::string& url) {
  return mutableRequestWithDefaultHTTPHeadersForURL(url, kRLZNetworkRequestTimeoutSeconds);
}

// The platform keeps no response cache, so every request ignores locally cached data.
platform::URLRequest RLZNetworkOperation::mutableRequestWithDefaultHTTPHeadersForURL(const std::string& url,
                                                                                     double timeout) {
  platform::URLRequest request(url, timeout);
  request.setValueForHTTPHeaderField(userAgentString(), "User-Agent");
  request.setValueForHTTPHeaderField("utf-8", "Accept-Charset");
  request.setValueForHTTPHeaderField(localeIdentifier(), "Accept-Language");
  request.setValueForHTTPHeaderField(localeIdentifier(), "Content-Language");
  request.setValueForHTTPHeaderField(kRLZDeveloperToken, "X-Ralitoze-Developer-Token");
  request.setValueForHTTPHeaderField(RLZApplicationGetSDKBundleID(), "X-Ralitoze-API-Client-Id");
  request.setValueForHTTPHeaderField(RLZSDKVersion(), "X-Ralitoze-API-Client-Display-Version");
  request.setValueForHTTPHeaderField(videzuAppID_, "X-Ralitoze-Videzu-App-Id");
  return request;
}

std::string RLZNetworkOperation::userAgentString() {
  return platform::format("%@/%@", RLZApplicationGetSDKBundleID(), RLZSDKVersion());
}

std::string RLZNetworkOperation::localeIdentifier() { return RLZHostLocaleIdentifier(); }
