// Carries out one request of the HTTP client: builds a URL session for it (a background one when
// allowed, staging a POST body in a temporary file so the upload can outlive the app's
// suspension), collects the body, answers server-trust challenges, refuses some redirects and
// reports the outcome once on the main queue. Class-wide tables tie a background session's
// identifier to its fetcher and to the block the system hands the app for that session's events.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/net/url_session.h"
#include "sdk/utilities/utilities/vul_network_constants.h"
#include "platform/foundation/thread_safety.h"

class VULNetworkURLSession : public platform::URLSessionDelegate,
                             public std::enable_shared_from_this<VULNetworkURLSession> {
 public:
  using CompletionHandler =
      std::function<void(const std::shared_ptr<platform::HTTPURLResponse>& response,
                         const std::optional<platform::Data>& data, const std::string& sessionID,
                         const platform::Error& error)>;
  using SystemCompletionHandler = std::function<void()>;

  // Temporary files older than this are removed by the next POST or completion.
  static constexpr double kTemporaryFileExpiry = 3600;

  static std::shared_ptr<VULNetworkURLSession> initWithNetworkLoggerDelegate(
      std::weak_ptr<VULNetworkLoggerDelegate> delegate);
  ~VULNetworkURLSession() override;

  // The session ID, or none after the completion was told of error 2.
  std::optional<std::string> sessionIDFromAsyncPOSTRequest(const platform::URLRequest& request,
                                                           CompletionHandler completionHandler);
  std::optional<std::string> sessionIDFromAsyncGETRequest(const platform::URLRequest& request,
                                                          CompletionHandler completionHandler);

  // The app was woken for a background session's events; identifiers of other libraries are
  // ignored.
  static void handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                    SystemCompletionHandler systemCompletionHandler);
  static std::shared_ptr<VULNetworkURLSession> fetcherWithSessionIdentifier(const std::string& identifier);
  // A null fetcher removes the entry; a replaced entry's session finishes its tasks and ends.
  static void setSessionInFetcherMap(const std::shared_ptr<VULNetworkURLSession>& fetcher,
                                     const std::string& identifier);
  static std::shared_ptr<VULNetworkURLSession> sessionFromFetcherMapForSessionID(const std::string& identifier);

  void addSystemCompletionHandler(SystemCompletionHandler handler, const std::string& identifier);
  void callSystemCompletionHandler(const std::string& identifier);

  bool backgroundNetworkEnabled() const { return backgroundNetworkEnabled_; }
  void setBackgroundNetworkEnabled(bool enabled) { backgroundNetworkEnabled_ = enabled; }
  std::string sessionID() const;
  void setSessionID(std::string sessionID);
  std::shared_ptr<VULNetworkLoggerDelegate> loggerDelegate() const { return loggerDelegate_.lock(); }
  const std::filesystem::path& networkDirectoryURL() const { return networkDirectoryURL_; }
  std::string description() const;

  static platform::URLSessionConfiguration backgroundSessionConfigWithSessionID(const std::string& sessionID);
  std::filesystem::path temporaryFilePathWithSessionID(const std::string& sessionID) const;
  bool ensureTemporaryDirectoryExists();
  void excludeFromBackupForURL(const std::filesystem::path& url);
  void maybeRemoveTempFilesAtURL(const std::filesystem::path& directory, double expiringTime);
  void removeTempItemAtURL(const std::filesystem::path& url);
  static void populateSessionConfig(platform::URLSessionConfiguration& configuration,
                                    const platform::URLRequest& request);
  void callCompletionHandler(CompletionHandler handler, std::shared_ptr<platform::HTTPURLResponse> response,
                             std::optional<platform::Data> data, platform::Error error);

  // URL-session delegate callbacks (on the main queue).
  void didReceiveData(platform::URLSession& session, platform::URLSessionTask& task,
                      const platform::Data& data) override;
  void didFinishDownloadingToURL(platform::URLSession& session, platform::URLSessionTask& task,
                                 const std::filesystem::path& location) override;
  void didCompleteWithError(platform::URLSession& session, platform::URLSessionTask& task,
                            const platform::Error& error) override;
  void didReceiveChallenge(platform::URLSession& session, platform::URLSessionTask& task,
                           const platform::URLAuthenticationChallenge& challenge,
                           ChallengeHandler completionHandler) override;
  void willPerformHTTPRedirection(platform::URLSession& session, platform::URLSessionTask& task,
                                  const platform::HTTPURLResponse& response, platform::URLRequest request,
                                  RedirectHandler completionHandler) override;
  void didFinishEventsForBackgroundURLSession(platform::URLSession& session) override;

 private:
  struct Token {};

 public:
  VULNetworkURLSession(Token, std::weak_ptr<VULNetworkLoggerDelegate> delegate);

 private:
  // Starts the task of a session made for this fetcher, or reports error 2.
  std::optional<std::string> startTask(const std::shared_ptr<platform::URLSession>& session,
                                       const std::shared_ptr<platform::URLSessionTask>& task,
                                       const platform::URLRequest& request, CompletionHandler completionHandler);
  void log(VULLoggerLevel level, VULNetworkMessageCode code, std::string_view message) const;
  void log(VULLoggerLevel level, VULNetworkMessageCode code, std::string_view message,
           const platform::Value& context) const;
  void log(VULLoggerLevel level, VULNetworkMessageCode code, std::string_view message,
           const std::vector<platform::Value>& contexts) const;

  mutable platform::Mutex mutex_;  // the body collected so far, the session ID and the completion
  CompletionHandler completionHandler_ GUARDED_BY(mutex_);
  std::string sessionID_ GUARDED_BY(mutex_);
  std::optional<platform::URLSessionConfiguration> sessionConfig_;
  std::weak_ptr<platform::URLSession> URLSession_;
  std::filesystem::path networkDirectoryURL_;
  std::optional<platform::Data> downloadedData_ GUARDED_BY(mutex_);
  std::filesystem::path uploadingFileURL_;
  std::optional<platform::URLRequest> request_;
  bool backgroundNetworkEnabled_ = false;
  std::weak_ptr<VULNetworkLoggerDelegate> loggerDelegate_;
};
