// URL sessions: the platform's one HTTP facility (libcurl underneath).
//
// A session makes tasks; a task runs one request on a thread of its own once resumed, asks the
// session's delegate about every redirect (without a delegate, redirects are followed), and hands
// its outcome to its completion handler (or, without one, to the delegate) on the session's
// delegate queue, never on the transfer thread. A task without a completion handler tells the
// delegate instead: the body (data and upload tasks) or a file holding it (download tasks), then
// the completion. HTTPS servers are trusted after the chain they present is evaluated
// (platform/net/server_trust.h); a delegate that answers challenges decides instead. A background
// session tells its delegate when its last running task has ended and every event of it was
// delivered. Gzip and deflate response bodies arrive decoded; one cut short, damaged or in an
// encoding the platform does not know fails the task with kURLErrorCannotDecodeContentData, and
// the body cap bounds both the bytes received and what they expand to. Errors are the platform's
// URL errors (kURLErrorDomain and the codes below); an HTTP error status is no error: it arrives
// as a response.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/foundation/thread_safety.h"

namespace platform {

class DispatchQueue;

// Codes of kURLErrorDomain.
inline constexpr std::int64_t kURLErrorUnknown = -1;
inline constexpr std::int64_t kURLErrorCancelled = -999;
inline constexpr std::int64_t kURLErrorBadURL = -1000;
inline constexpr std::int64_t kURLErrorTimedOut = -1001;
inline constexpr std::int64_t kURLErrorUnsupportedURL = -1002;
inline constexpr std::int64_t kURLErrorCannotFindHost = -1003;
inline constexpr std::int64_t kURLErrorCannotConnectToHost = -1004;
inline constexpr std::int64_t kURLErrorNetworkConnectionLost = -1005;
inline constexpr std::int64_t kURLErrorHTTPTooManyRedirects = -1007;
inline constexpr std::int64_t kURLErrorBadServerResponse = -1011;
inline constexpr std::int64_t kURLErrorCannotDecodeContentData = -1016;
inline constexpr std::int64_t kURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr std::int64_t kURLErrorSecureConnectionFailed = -1200;
inline constexpr std::int64_t kURLErrorServerCertificateUntrusted = -1202;
inline constexpr std::int64_t kURLErrorCannotOpenFile = -3000;
inline constexpr std::int64_t kURLErrorCannotWriteToFile = -3003;
inline constexpr std::string_view kURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";

// Header names compare without regard to case; setting one replaces it.
class URLRequest {
 public:
  URLRequest() = default;
  explicit URLRequest(std::string url, double timeoutInterval = 60) : url_(std::move(url)), timeout_(timeoutInterval) {}

  const std::string& url() const { return url_; }
  void setURL(std::string url) { url_ = std::move(url); }
  const std::string& httpMethod() const { return method_; }
  void setHTTPMethod(std::string method) { method_ = std::move(method); }
  const std::optional<Data>& httpBody() const { return body_; }
  void setHTTPBody(std::optional<Data> body) { body_ = std::move(body); }
  // Seconds; 0 or less means the session configuration's.
  double timeoutInterval() const { return timeout_; }
  void setTimeoutInterval(double seconds) { timeout_ = seconds; }

  // An empty value removes the header.
  void setValueForHTTPHeaderField(std::string_view value, std::string_view field);
  std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const;
  const std::vector<std::pair<std::string, std::string>>& allHTTPHeaderFields() const { return headers_; }

  std::string description() const;

 private:
  std::string url_;
  std::string method_ = "GET";
  std::optional<Data> body_;
  double timeout_ = 60;
  std::vector<std::pair<std::string, std::string>> headers_;
};

class HTTPURLResponse {
 public:
  HTTPURLResponse(std::string url, std::int64_t statusCode, std::vector<std::pair<std::string, std::string>> headers)
      : url_(std::move(url)), statusCode_(statusCode), headers_(std::move(headers)) {}

  const std::string& url() const { return url_; }
  std::int64_t statusCode() const { return statusCode_; }
  // In the order received.
  const std::vector<std::pair<std::string, std::string>>& allHeaderFields() const { return headers_; }
  // The last value of the header, by name without regard to case.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const;

 private:
  std::string url_;
  std::int64_t statusCode_;
  std::vector<std::pair<std::string, std::string>> headers_;
};

class URLSessionConfiguration {
 public:
  static URLSessionConfiguration defaultSessionConfiguration() { return {}; }
  // Background sessions run in this process like the others; the identifier names them.
  static URLSessionConfiguration backgroundSessionConfigurationWithIdentifier(std::string identifier);

  const std::optional<std::string>& identifier() const { return identifier_; }
  double timeoutIntervalForRequest() const { return timeoutForRequest_; }
  void setTimeoutIntervalForRequest(double seconds) { timeoutForRequest_ = seconds; }
  // Headers every request gets unless it sets them itself.
  const std::vector<std::pair<std::string, std::string>>& HTTPAdditionalHeaders() const { return additional_; }
  void setHTTPAdditionalHeaders(std::vector<std::pair<std::string, std::string>> headers) {
    additional_ = std::move(headers);
  }
  // A response body larger than this, as received or as decoded, fails with
  // kURLErrorDataLengthExceedsMaximum.
  std::size_t maximumResponseBodySize() const { return maxBody_; }
  void setMaximumResponseBodySize(std::size_t bytes) { maxBody_ = bytes; }

 private:
  std::optional<std::string> identifier_;
  double timeoutForRequest_ = 60;
  std::vector<std::pair<std::string, std::string>> additional_;
  std::size_t maxBody_ = 64u << 20;
};

class URLSession;
class URLSessionTask;
class SecTrust;

inline constexpr std::string_view kURLAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";

enum class URLSessionAuthChallengeDisposition {
  UseCredential = 0,
  PerformDefaultHandling = 1,
  CancelAuthenticationChallenge = 2,
  RejectProtectionSpace = 3,
};

struct URLProtectionSpace {
  std::string host;
  int port = 0;
  std::string authenticationMethod;
  std::shared_ptr<SecTrust> serverTrust;  // for server-trust challenges
};

struct URLAuthenticationChallenge {
  URLProtectionSpace protectionSpace;
};

struct URLCredential {
  std::shared_ptr<SecTrust> trust;
  // None without a trust.
  static std::optional<URLCredential> credentialForTrust(std::shared_ptr<SecTrust> trust);
};

// Every method is called on the session's delegate queue.
class URLSessionDelegate {
 public:
  using RedirectHandler = std::function<void(std::optional<URLRequest> request)>;
  using ChallengeHandler =
      std::function<void(URLSessionAuthChallengeDisposition disposition, std::optional<URLCredential> credential)>;

  virtual ~URLSessionDelegate() = default;
  // Hand on `request` to follow, another request, or nothing to stop and complete with `response`.
  // Not calling the handler leaves the task waiting (until cancelled).
  virtual void willPerformHTTPRedirection(URLSession& session, URLSessionTask& task,
                                          const HTTPURLResponse& response, URLRequest request,
                                          RedirectHandler completionHandler);
  // Using the credential accepts the server whatever its trust; default handling evaluates the
  // trust; cancelling fails the task with kURLErrorCancelled. The transfer waits for the answer.
  virtual void didReceiveChallenge(URLSession& session, URLSessionTask& task,
                                   const URLAuthenticationChallenge& challenge, ChallengeHandler completionHandler);
  // For tasks without a completion handler: the body of a data or upload task (not called for an
  // empty one), or the file holding a download task's body (removed once this returns); then the
  // completion.
  virtual void didReceiveData(URLSession& session, URLSessionTask& task, const Data& data);
  virtual void didFinishDownloadingToURL(URLSession& session, URLSessionTask& task,
                                         const std::filesystem::path& location);
  virtual void didCompleteWithError(URLSession& session, URLSessionTask& task, const Error& error);
  // Background sessions only: the last running task ended and its events were delivered.
  virtual void didFinishEventsForBackgroundURLSession(URLSession& session);
  // After finishTasksAndInvalidate (once the last task ended) or invalidateAndCancel; the session
  // lets go of its delegate afterwards.
  virtual void didBecomeInvalidWithError(URLSession& session, const Error& error);
};

class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
 public:
  enum class State { Running, Suspended, Canceling, Completed };
  // The body (when there was a response), the response, and the error (unset on success).
  using CompletionHandler = std::function<void(const std::optional<Data>& data,
                                               const std::shared_ptr<HTTPURLResponse>& response, const Error& error)>;
  // A download task's body lies in a temporary file of its own, removed once the handler returns.
  using DownloadCompletionHandler =
      std::function<void(const std::optional<std::filesystem::path>& location,
                         const std::shared_ptr<HTTPURLResponse>& response, const Error& error)>;

  ~URLSessionTask();
  URLSessionTask(const URLSessionTask&) = delete;
  URLSessionTask& operator=(const URLSessionTask&) = delete;

  std::uint64_t taskIdentifier() const { return identifier_; }
  const URLRequest& originalRequest() const { return original_; }
  URLRequest currentRequest() const;
  std::shared_ptr<HTTPURLResponse> response() const;
  std::optional<Error> error() const;
  State state() const;

  // Starts the transfer; later calls do nothing.
  void resume();
  // The task completes with kURLErrorCancelled unless it already completed.
  void cancel();

 private:
  friend class URLSession;
  struct Token {};

 public:
  URLSessionTask(Token, std::shared_ptr<URLSession> session, std::uint64_t identifier, URLRequest request,
                 std::optional<std::filesystem::path> bodyFile, bool download, CompletionHandler completion);

 private:
  struct Transfer;
  enum class Trust { Accepted, Untrusted, Cancelled };
  void run();
  void complete(std::optional<Data> data, std::shared_ptr<HTTPURLResponse> response, Error error);
  void deliverToDelegate(URLSessionDelegate& delegate, const std::optional<Data>& data,
                         const std::shared_ptr<HTTPURLResponse>& response, const Error& error);
  // Runs `ask` with the delegate on the delegate queue and waits for its answer; none when the
  // task was cancelled first.
  template <class Answer, class Ask>
  std::optional<Answer> askDelegate(const std::shared_ptr<URLSessionDelegate>& delegate, Ask ask);
  std::optional<URLRequest> askAboutRedirect(const std::shared_ptr<HTTPURLResponse>& response, URLRequest next);
  Trust decideServerTrust(const std::string& host, int port, std::vector<Data> chain);

  std::shared_ptr<URLSession> session_;
  const std::uint64_t identifier_;
  const URLRequest original_;
  const std::optional<std::filesystem::path> bodyFile_;
  const bool download_;
  CompletionHandler completion_;
  std::atomic<bool> cancelled_{false};
  mutable Mutex mutex_;
  ConditionVariable decided_;
  State state_ GUARDED_BY(mutex_) = State::Suspended;
  URLRequest current_ GUARDED_BY(mutex_);
  std::shared_ptr<HTTPURLResponse> response_ GUARDED_BY(mutex_);
  std::optional<Error> error_ GUARDED_BY(mutex_);
};

class URLSession : public std::enable_shared_from_this<URLSession> {
 public:
  // A session without delegate on a queue of its own.
  static std::shared_ptr<URLSession> sharedSession();
  // A null delegate queue gives the session a serial queue of its own.
  static std::shared_ptr<URLSession> sessionWithConfiguration(URLSessionConfiguration configuration,
                                                              std::shared_ptr<URLSessionDelegate> delegate = nullptr,
                                                              std::shared_ptr<DispatchQueue> delegateQueue = nullptr);
  ~URLSession();
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;

  const URLSessionConfiguration& configuration() const { return configuration_; }
  const std::shared_ptr<DispatchQueue>& delegateQueue() const { return delegateQueue_; }
  std::shared_ptr<URLSessionDelegate> delegate() const;

  // Tasks start suspended. On an invalidated session this raises platform::Exception.
  std::shared_ptr<URLSessionTask> dataTaskWithRequest(URLRequest request,
                                                      URLSessionTask::CompletionHandler completion = nullptr);
  std::shared_ptr<URLSessionTask> uploadTaskWithRequest(URLRequest request, Data fromData,
                                                        URLSessionTask::CompletionHandler completion = nullptr);
  // The file is read when the task starts; an unreadable one fails with kURLErrorCannotOpenFile.
  std::shared_ptr<URLSessionTask> uploadTaskWithRequest(URLRequest request, std::filesystem::path fromFile,
                                                        URLSessionTask::CompletionHandler completion = nullptr);

  // The body goes to a temporary file; a file that cannot be written fails the task with
  // kURLErrorCannotWriteToFile.
  std::shared_ptr<URLSessionTask> downloadTaskWithRequest(URLRequest request,
                                                          URLSessionTask::DownloadCompletionHandler completion);
  // The body goes to the delegate in a file (didFinishDownloadingToURL).
  std::shared_ptr<URLSessionTask> downloadTaskWithRequest(URLRequest request);

  // No new tasks; running ones finish, then the delegate hears of the invalidation.
  void finishTasksAndInvalidate();
  // The same, cancelling every running task.
  void invalidateAndCancel();
  bool isInvalidated() const;

 private:
  friend class URLSessionTask;
  struct Token {};

 public:
  URLSession(Token, URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
             std::shared_ptr<DispatchQueue> delegateQueue);

 private:
  std::shared_ptr<URLSessionTask> makeTask(URLRequest request, std::optional<std::filesystem::path> bodyFile,
                                           bool download, URLSessionTask::CompletionHandler completion);
  void taskEnded();
  void invalidateIfDone();

  const URLSessionConfiguration configuration_;
  const std::shared_ptr<DispatchQueue> delegateQueue_;
  mutable Mutex mutex_;
  std::shared_ptr<URLSessionDelegate> delegate_ GUARDED_BY(mutex_);
  std::vector<std::weak_ptr<URLSessionTask>> tasks_ GUARDED_BY(mutex_);
  std::uint64_t nextIdentifier_ GUARDED_BY(mutex_) = 1;
  long running_ GUARDED_BY(mutex_) = 0;
  bool invalidated_ GUARDED_BY(mutex_) = false;
  bool invalidationAnnounced_ GUARDED_BY(mutex_) = false;
};

}  // namespace platform
