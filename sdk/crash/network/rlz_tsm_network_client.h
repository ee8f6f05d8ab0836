// The crash reporter's HTTP client: data and download tasks on a URL session of its own, each
// retried after a jittered exponential backoff while the response handler asks for a retry and
// the retry limit allows. Every task ends in exactly one call of its completion.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/net/url_session.h"

namespace platform {
class DispatchQueue;
}

class RLZTSMNetworkClient : public std::enable_shared_from_this<RLZTSMNetworkClient> {
  struct Token {};

 public:
  using DataCompletion = std::function<void(const std::optional<platform::Data>& data,
                                            const std::shared_ptr<platform::HTTPURLResponse>& response,
                                            const platform::Error& error)>;
  using DownloadCompletion = std::function<void(const std::optional<std::filesystem::path>& location,
                                                const std::shared_ptr<platform::HTTPURLResponse>& response,
                                                const platform::Error& error)>;

  static constexpr unsigned kDefaultRetryLimit = 10;

  static std::shared_ptr<RLZTSMNetworkClient> init() { return initWithQueue(nullptr); }
  // A null queue gives the session a serial delegate queue of its own.
  static std::shared_ptr<RLZTSMNetworkClient> initWithQueue(std::shared_ptr<platform::DispatchQueue> queue);
  static std::shared_ptr<RLZTSMNetworkClient> initWithSessionConfiguration(
      platform::URLSessionConfiguration configuration, std::shared_ptr<platform::DispatchQueue> queue);

  RLZTSMNetworkClient(Token, std::shared_ptr<platform::URLSession> session);
  ~RLZTSMNetworkClient();
  RLZTSMNetworkClient(const RLZTSMNetworkClient&) = delete;
  RLZTSMNetworkClient& operator=(const RLZTSMNetworkClient&) = delete;

  const std::shared_ptr<platform::URLSession>& session() const { return session_; }

  void startDataTaskWithRequest(const platform::URLRequest& request, unsigned retryLimit, unsigned tries,
                                DataCompletion completionHandler);
  void startDataTaskWithRequest(const platform::URLRequest& request, unsigned retryLimit,
                                DataCompletion completionHandler) {
    startDataTaskWithRequest(request, retryLimit, 0, std::move(completionHandler));
  }
  void startDataTaskWithRequest(const platform::URLRequest& request, DataCompletion completionHandler) {
    startDataTaskWithRequest(request, kDefaultRetryLimit, 0, std::move(completionHandler));
  }

  void startDownloadTaskWithRequest(const platform::URLRequest& request, unsigned retryLimit, unsigned tries,
                                    DownloadCompletion completionHandler);
  void startDownloadTaskWithRequest(const platform::URLRequest& request, unsigned retryLimit,
                                    DownloadCompletion completionHandler) {
    startDownloadTaskWithRequest(request, retryLimit, 0, std::move(completionHandler));
  }
  void startDownloadTaskWithRequest(const platform::URLRequest& request, DownloadCompletion completionHandler) {
    startDownloadTaskWithRequest(request, kDefaultRetryLimit, 0, std::move(completionHandler));
  }

  // No further tasks; running ones are cancelled. A retry that falls due afterwards completes
  // with the task-not-created error.
  void invalidateAndCancel();

  // min + (max - min) * a uniform value in [0, 1) of the 48-bit generator.
  static double randomDoubleWithMin(double min, double max);
  // Uniform in [0.9, 1.1) (the single-precision bounds).
  static double generateRandomJitter();
  // jitter * max(Retry-After, 2)^max(tries, 1) seconds, at most a day.
  static double computeDelayForResponse(const platform::HTTPURLResponse* response, unsigned tries);
  static void runAfterRetryValueFromResponse(const platform::HTTPURLResponse* response, unsigned attempts,
                                             const std::shared_ptr<platform::DispatchQueue>& queue,
                                             std::function<void()> block);
  // On the default-priority global queue.
  static void runAfterRetryValueFromResponse(const platform::HTTPURLResponse* response, unsigned attempts,
                                             std::function<void()> block);

 private:
  template <class Payload>
  void startTask(const platform::URLRequest& request, unsigned retryLimit, unsigned tries,
                 std::function<void(const std::optional<Payload>&, const std::shared_ptr<platform::HTTPURLResponse>&,
                                    const platform::Error&)>
                     completion);

  const std::shared_ptr<platform::URLSession> session_;
};
