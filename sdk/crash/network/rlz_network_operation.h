// An asynchronous operation that talks to the crash reporter's backend: it runs only with a valid
// data-collection token, and its requests carry the common headers of every such call.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net/url_session.h"
#include "sdk/crash/network/rlz_tsm_async_operation.h"

class RLZDataCollectionToken;

// The fixed token every request of the crash reporter presents.
inline constexpr std::string_view kRLZDeveloperToken = "5c2e9a01b7d3f4e6a8c0b2d4f6e8a0c2e4b6d8f1";
inline constexpr double kRLZNetworkRequestTimeoutSeconds = 10;

class RLZNetworkOperation : public RLZTSMAsyncOperation {
 public:
  // None when the app ID is missing or empty (after the parameter assertion, when that returns).
  static std::shared_ptr<RLZNetworkOperation> initWithVidezuAppID(const std::optional<std::string>& videzuAppID,
                                                                  std::shared_ptr<RLZDataCollectionToken> token);
  RLZNetworkOperation(std::string videzuAppID, std::shared_ptr<RLZDataCollectionToken> token);

  const std::string& videzuAppID() const { return videzuAppID_; }
  const std::shared_ptr<RLZDataCollectionToken>& token() const { return token_; }

  // Starts only with a valid token; without one nothing runs and no completion is called.
  void startWithToken(const std::shared_ptr<RLZDataCollectionToken>& token);

  virtual platform::URLRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const std::string& url);
  platform::URLRequest mutableRequestWithDefaultHTTPHeadersForURL(const std::string& url, double timeout);
  static std::string userAgentString();
  static std::string localeIdentifier();

  void main() override { finishWithError(platform::Error()); }

 protected:
  // Subclasses' factories check the app ID the same way.
  static bool isValidVidezuAppID(const std::optional<std::string>& videzuAppID);

 private:
  const std::string videzuAppID_;
  const std::shared_ptr<RLZDataCollectionToken> token_;
};
