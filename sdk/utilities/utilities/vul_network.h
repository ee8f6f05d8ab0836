// The HTTP client of the analytics engine: gzip-compressed POST uploads and GET downloads, each
// carried out by its own URL-session fetcher (a background session when asked), reachability of
// one host, and log lines routed to the owner's logger delegate or to the console and the SDK
// logger. Each request's handler is called exactly once, on the caller's queue (main by default),
// unless the client is gone by then.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/net/url_session.h"
#include "sdk/utilities/utilities/vul_mutable_dictionary.h"
#include "sdk/utilities/utilities/vul_network_constants.h"
#include "sdk/utilities/utilities/vul_reachability_checker.h"
#include "platform/foundation/thread_safety.h"

namespace platform {
class DispatchQueue;
}

class VULNetworkURLSession;

class VULNetwork : public VULReachabilityDelegate,
                   public VULNetworkLoggerDelegate,
                   public std::enable_shared_from_this<VULNetwork> {
 public:
  using CompletionHandler = std::function<void(const std::shared_ptr<platform::HTTPURLResponse>& response,
                                               const std::optional<platform::Data>& data, const platform::Error& error)>;
  using Headers = std::map<std::string, std::string>;

  static constexpr double kDefaultTimeoutInterval = 60;

  // Watches the measurement service's host.
  static std::shared_ptr<VULNetwork> init();
  // Null when reachability of the host (a name or a URL) cannot be watched.
  static std::shared_ptr<VULNetwork> initWithReachabilityHost(std::string_view host);
  ~VULNetwork() override;

  // The session ID, or none after the handler was told of the failure.
  std::optional<std::string> postURL(const std::string& url, const platform::Data& payload,
                                     std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                                     CompletionHandler handler);
  // The headers, when given, are the request's whole header set.
  std::optional<std::string> getURL(const std::string& url, const std::optional<Headers>& headers,
                                    std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                                    CompletionHandler handler);

  bool hasUploadInProgress() const { return requests_.count() > 0; }
  bool isNetworkConnected() const { return networkConnected_.load(); }

  // A null delegate is refused with a log line; the previous one stays.
  void setLoggerDelegate(const std::shared_ptr<VULNetworkLoggerDelegate>& delegate);
  std::shared_ptr<VULNetworkLoggerDelegate> loggerDelegate() const;
  void setReachabilityDelegate(std::weak_ptr<VULNetworkReachabilityDelegate> delegate);
  std::shared_ptr<VULNetworkReachabilityDelegate> reachabilityDelegate() const;
  bool isDebugModeEnabled() const { return debugModeEnabled_.load(); }
  void setIsDebugModeEnabled(bool enabled) { debugModeEnabled_.store(enabled); }
  double timeoutInterval() const { return timeoutInterval_.load(); }
  void setTimeoutInterval(double seconds) { timeoutInterval_.store(seconds); }

  // The application delegate's background URL-session callback.
  static void handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                    std::function<void()> completionHandler);

  void reachabilityStatusChanged(VULReachabilityChecker& reachability, VULReachabilityStatus status) override;

  void VULNetwork_logWithLevelContexts(VULLoggerLevel level, VULNetworkMessageCode messageCode,
                                       std::string_view message, const std::vector<platform::Value>& contexts) override;
  void VULNetwork_logWithLevelContext(VULLoggerLevel level, VULNetworkMessageCode messageCode, std::string_view message,
                                      const platform::Value& context) override;
  void VULNetwork_logWithLevel(VULLoggerLevel level, VULNetworkMessageCode messageCode,
                               std::string_view message) override;

  // The measurement service's host that init watches.
  static std::string defaultReachabilityHost();

 private:
  struct Token {};

 public:
  explicit VULNetwork(Token);

 private:
  // None, after reporting error 1, for an empty URL.
  std::optional<platform::URLRequest> makeRequest(const std::string& url,
                                                  const std::shared_ptr<platform::DispatchQueue>& queue,
                                                  const CompletionHandler& handler);
  // Runs the request on a fetcher of its own and logs its start.
  std::optional<std::string> start(bool post, const platform::URLRequest& request,
                                   std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                                   CompletionHandler handler);
  void handleErrorWithCode(std::int64_t code, const std::shared_ptr<platform::DispatchQueue>& queue,
                           const CompletionHandler& handler);

  std::shared_ptr<VULReachabilityChecker> reachability_;
  VULMutableDictionary<std::string, std::shared_ptr<VULNetworkURLSession>> requests_;
  std::atomic<bool> networkConnected_{false};
  std::atomic<bool> debugModeEnabled_{false};
  std::atomic<double> timeoutInterval_{kDefaultTimeoutInterval};
  mutable platform::Mutex delegatesMutex_;
  std::weak_ptr<VULNetworkReachabilityDelegate> reachabilityDelegate_ GUARDED_BY(delegatesMutex_);
  std::weak_ptr<VULNetworkLoggerDelegate> loggerDelegate_ GUARDED_BY(delegatesMutex_);
};
