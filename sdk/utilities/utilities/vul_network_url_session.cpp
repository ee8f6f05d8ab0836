#include "sdk/utilities/utilities/vul_network_url_session.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
#include <map>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/uuid.h"
#include "platform/net/server_trust.h"
#include "platform/runloop/clock.h"
#include "sdk/utilities/utilities/vul_mutable_dictionary.h"
#include "platform/foundation/thread_safety.h"

namespace {

using platform::Error;
using platform::Value;

struct FetcherMap {
  platform::Mutex mutex;
  std::map<std::string, std::weak_ptr<VULNetworkURLSession>, std::less<>> fetchers GUARDED_BY(mutex);
};

FetcherMap& fetcherMap() {
  static auto* map = new FetcherMap;
  return *map;
}

VULMutableDictionary<std::string, VULNetworkURLSession::SystemCompletionHandler>& systemCompletionHandlers() {
  static auto* handlers = new VULMutableDictionary<std::string, VULNetworkURLSession::SystemCompletionHandler>;
  return *handlers;
}

// One trust evaluation at a time in the process.
platform::Mutex& trustEvaluationLock() {
  static auto* lock = new platform::Mutex;
  return *lock;
}

Error networkError(std::int64_t code, std::string context) {
  Value::Dictionary info;
  info[std::string(kVULNetworkErrorContext)] = std::move(context);
  return Error(std::string(kVULNetworkErrorDomain), code, std::move(info));
}

// A staged body's creation date is its time of writing on the platform clock, so expiry follows
// the clock everything else reads.
void stampWithPlatformClock(const std::filesystem::path& path) {
  const double now = platform::Clock::current().now().timeIntervalSince1970();
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(std::floor(now));
  times[0].tv_nsec = times[1].tv_nsec = static_cast<long>((now - std::floor(now)) * 1e9);
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::filesystem::path networkDirectory() {
  auto support = platform::FileManager::defaultManager().urlForDirectory(platform::SearchPathDirectory::ApplicationSupport,
                                                                          false);
  if (!support) return {};
  return *support / "VUL/Network" / "VULNetworkTemporaryDirectory";
}

}  // namespace

VULNetworkURLSession::VULNetworkURLSession(Token, std::weak_ptr<VULNetworkLoggerDelegate> delegate)
    : sessionID_(std::string(kVULNetworkBackgroundSessionPrefix) + "-" + platform::UUID().UUIDString()),
      networkDirectoryURL_(networkDirectory()),
      loggerDelegate_(std::move(delegate)) {}

VULNetworkURLSession::~VULNetworkURLSession() = default;

std::shared_ptr<VULNetworkURLSession> VULNetworkURLSession::initWithNetworkLoggerDelegate(
    std::weak_ptr<VULNetworkLoggerDelegate> delegate) {
  return std::make_shared<VULNetworkURLSession>(Token{}, std::move(delegate));
}

std::string VULNetworkURLSession::sessionID() const {
  platform::MutexLock lock(mutex_);
  return sessionID_;
}

void VULNetworkURLSession::setSessionID(std::string sessionID) {
  platform::MutexLock lock(mutex_);
  sessionID_ = std::move(sessionID);
}

std::string VULNetworkURLSession::description() const {
  return platform::format("<VULNetworkURLSession %p %@>", static_cast<const void*>(this), sessionID());
}

// ---- Logging through the owner ----

void VULNetworkURLSession::log(VULLoggerLevel level, VULNetworkMessageCode code, std::string_view message) const {
  if (auto delegate = loggerDelegate_.lock()) delegate->VULNetwork_logWithLevel(level, code, message);
}

void VULNetworkURLSession::log(VULLoggerLevel level, VULNetworkMessageCode code, std::string_view message,
                               const Value& context) const {
  if (auto delegate = loggerDelegate_.lock()) delegate->VULNetwork_logWithLevelContext(level, code, message, context);
}

void VULNetworkURLSession::log(VULLoggerLevel level, VULNetworkMessageCode code, std::string_view message,
                               const std::vector<Value>& contexts) const {
  if (auto delegate = loggerDelegate_.lock()) {
    delegate->VULNetwork_logWithLevelContexts(level, code, message, contexts);
  }
}

// ---- Requests ----

platform::URLSessionConfiguration VULNetworkURLSession::backgroundSessionConfigWithSessionID(
    const std::string& sessionID) {
  return platform::URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(sessionID);
}

void VULNetworkURLSession::populateSessionConfig(platform::URLSessionConfiguration& configuration,
                                                 const platform::URLRequest& request) {
  configuration.setHTTPAdditionalHeaders(request.allHTTPHeaderFields());
  configuration.setTimeoutIntervalForRequest(request.timeoutInterval());
}

std::optional<std::string> VULNetworkURLSession::sessionIDFromAsyncPOSTRequest(const platform::URLRequest& request,
                                                                               CompletionHandler completionHandler) {
  const std::string sessionID = this->sessionID();
  uploadingFileURL_ = temporaryFilePathWithSessionID(sessionID);
  maybeRemoveTempFilesAtURL(networkDirectoryURL_, kTemporaryFileExpiry);

  const platform::Data body = request.httpBody().value_or(platform::Data());
  std::shared_ptr<platform::URLSession> session;
  std::shared_ptr<platform::URLSessionTask> task;
  if (backgroundNetworkEnabled_ && ensureTemporaryDirectoryExists()) {
    Error writeError;
    if (platform::FileManager::defaultManager().writeAtomically(uploadingFileURL_, body, 0600, &writeError)) {
      stampWithPlatformClock(uploadingFileURL_);
      excludeFromBackupForURL(uploadingFileURL_);
      auto configuration = backgroundSessionConfigWithSessionID(sessionID);
      populateSessionConfig(configuration, request);
      sessionConfig_ = configuration;
      session = platform::URLSession::sessionWithConfiguration(configuration, shared_from_this(),
                                                               platform::DispatchQueue::main());
      task = session->uploadTaskWithRequest(request, uploadingFileURL_);
    } else {
      log(VULLoggerLevelError, kVULNetworkMessageCodeURLSession000, "Failed to write request data to file",
          Value(writeError.description()));
    }
  }
  if (!task) {
    auto configuration = platform::URLSessionConfiguration::defaultSessionConfiguration();
    populateSessionConfig(configuration, request);
    sessionConfig_ = configuration;
    session = platform::URLSession::sessionWithConfiguration(configuration, shared_from_this(),
                                                             platform::DispatchQueue::main());
    task = session->uploadTaskWithRequest(request, body);
  }
  return startTask(session, task, request, std::move(completionHandler));
}

std::optional<std::string> VULNetworkURLSession::sessionIDFromAsyncGETRequest(const platform::URLRequest& request,
                                                                              CompletionHandler completionHandler) {
  auto configuration = backgroundNetworkEnabled_ ? backgroundSessionConfigWithSessionID(sessionID())
                                                 : platform::URLSessionConfiguration::defaultSessionConfiguration();
  populateSessionConfig(configuration, request);
  sessionConfig_ = configuration;
  auto session = platform::URLSession::sessionWithConfiguration(configuration, shared_from_this(),
                                                                platform::DispatchQueue::main());
  auto task = session->downloadTaskWithRequest(request);
  return startTask(session, task, request, std::move(completionHandler));
}

std::optional<std::string> VULNetworkURLSession::startTask(const std::shared_ptr<platform::URLSession>& session,
                                                           const std::shared_ptr<platform::URLSessionTask>& task,
                                                           const platform::URLRequest& request,
                                                           CompletionHandler completionHandler) {
  if (!session || !task) {
    callCompletionHandler(std::move(completionHandler), nullptr, std::nullopt,
                          networkError(VULErrorCodeNetworkSessionTaskCreation, "Cannot create network session"));
    return std::nullopt;
  }
  URLSession_ = session;
  const std::string sessionID = this->sessionID();
  setSessionInFetcherMap(shared_from_this(), sessionID);
  request_ = request;
  {
    platform::MutexLock lock(mutex_);
    completionHandler_ = std::move(completionHandler);
  }
  task->resume();
  return sessionID;
}

void VULNetworkURLSession::callCompletionHandler(CompletionHandler handler,
                                                 std::shared_ptr<platform::HTTPURLResponse> response,
                                                 std::optional<platform::Data> data, Error error) {
  if (error) {
    log(VULLoggerLevelError, kVULNetworkMessageCodeURLSession017, "Encounter network error. Code, error",
        std::vector<Value>{Value(error.code()), Value(error.description())});
  }
  if (!handler) return;
  platform::DispatchQueue::main()->async([self = shared_from_this(), handler = std::move(handler),
                                          response = std::move(response), data = std::move(data),
                                          error = std::move(error)] {
    handler(response, data, self->sessionID(), error);
  });
}

// ---- Session callbacks ----

void VULNetworkURLSession::didReceiveData(platform::URLSession&, platform::URLSessionTask&,
                                          const platform::Data& data) {
  platform::MutexLock lock(mutex_);
  platform::Data body = downloadedData_.value_or(platform::Data());
  body.insert(body.end(), data.begin(), data.end());
  downloadedData_ = std::move(body);
}

void VULNetworkURLSession::didFinishDownloadingToURL(platform::URLSession& session, platform::URLSessionTask&,
                                                     const std::filesystem::path& location) {
  std::optional<platform::Data> body;
  if (location.empty()) {
    log(VULLoggerLevelError, kVULNetworkMessageCodeURLSession001, "Unable to read downloaded data from empty temp path");
  } else {
    Error readError;
    // The temp file lies in the app's home: read no more than the session takes as a body.
    body = platform::FileManager::defaultManager().contentsOfRegularFileNoLargerThan(
        location, session.configuration().maximumResponseBodySize(), &readError);
    if (!body) {
      log(VULLoggerLevelError, kVULNetworkMessageCodeURLSession002, "Cannot read the content of downloaded data",
          Value(readError.description()));
    }
  }
  platform::MutexLock lock(mutex_);
  downloadedData_ = std::move(body);
}

void VULNetworkURLSession::didCompleteWithError(platform::URLSession& session, platform::URLSessionTask& task,
                                                const Error& error) {
  CompletionHandler handler;
  std::optional<platform::Data> body;
  {
    platform::MutexLock lock(mutex_);
    handler = std::move(completionHandler_);
    completionHandler_ = nullptr;
    body = downloadedData_;
  }
  auto response = task.response();
  // A server that answered, with any status, is a success at this level.
  Error outcome = response ? Error() : error;
  if (!response && !outcome) {
    outcome = networkError(VULErrorCodeNetworkEmptyResponse, "Network Error: Empty network response");
  }
  callCompletionHandler(std::move(handler), std::move(response), std::move(body), std::move(outcome));

  removeTempItemAtURL(uploadingFileURL_);
  maybeRemoveTempFilesAtURL(networkDirectoryURL_, kTemporaryFileExpiry);
  session.finishTasksAndInvalidate();
  if (const auto& identifier = session.configuration().identifier()) setSessionInFetcherMap(nullptr, *identifier);
}

void VULNetworkURLSession::didReceiveChallenge(platform::URLSession&, platform::URLSessionTask&,
                                               const platform::URLAuthenticationChallenge& challenge,
                                               ChallengeHandler completionHandler) {
  using Disposition = platform::URLSessionAuthChallengeDisposition;
  const Value host(request_ ? request_->url() : std::string());
  const auto& space = challenge.protectionSpace;
  if (space.authenticationMethod != platform::kURLAuthenticationMethodServerTrust) {
    return completionHandler(Disposition::PerformDefaultHandling, std::nullopt);
  }
  if (!space.serverTrust) {
    log(VULLoggerLevelDebug, kVULNetworkMessageCodeURLSession004, "Received empty server trust for host. Host", host);
    return completionHandler(Disposition::PerformDefaultHandling, std::nullopt);
  }
  auto credential = platform::URLCredential::credentialForTrust(space.serverTrust);
  if (!credential) {
    log(VULLoggerLevelWarning, kVULNetworkMessageCodeURLSession005, "Unable to verify server identity. Host", host);
    return completionHandler(Disposition::CancelAuthenticationChallenge, std::nullopt);
  }
  log(VULLoggerLevelDebug, kVULNetworkMessageCodeURLSession006, "Received SSL challenge for host. Host", host);
  platform::DispatchQueue::global()->async([self = shared_from_this(), trust = space.serverTrust,
                                            credential = std::move(*credential), host,
                                            completionHandler = std::move(completionHandler)] {
    bool valid = false;
    {
      platform::MutexLock lock(trustEvaluationLock());
      platform::SecTrustResultType result = platform::SecTrustResultType::Invalid;
      const platform::OSStatus status = trust->evaluate(result);
      if (status != platform::errSecSuccess) {
        self->log(VULLoggerLevelError, kVULNetworkMessageCodeURLSession008, "Cannot evaluate server trust. Error, host",
                  std::vector<Value>{Value(static_cast<std::int64_t>(status)), host});
      } else {
        valid = result == platform::SecTrustResultType::Proceed || result == platform::SecTrustResultType::Unspecified;
      }
    }
    if (valid) return completionHandler(Disposition::UseCredential, credential);
    self->log(VULLoggerLevelDebug, kVULNetworkMessageCodeURLSession007,
              "Cancelling authentication challenge for host. Host", host);
    completionHandler(Disposition::CancelAuthenticationChallenge, std::nullopt);
  });
}

void VULNetworkURLSession::willPerformHTTPRedirection(platform::URLSession&, platform::URLSessionTask&,
                                                      const platform::HTTPURLResponse& response,
                                                      platform::URLRequest request, RedirectHandler completionHandler) {
  const auto status = response.statusCode();
  if (status == 302 || status == 301 || status == 307 || status == 300) return completionHandler(std::nullopt);
  completionHandler(std::move(request));
}

void VULNetworkURLSession::didFinishEventsForBackgroundURLSession(platform::URLSession& session) {
  const std::string identifier = session.configuration().identifier().value_or(std::string());
  log(VULLoggerLevelDebug, kVULNetworkMessageCodeURLSession003, "Background session finished", Value(identifier));
  callSystemCompletionHandler(identifier);
}

// ---- Background events and the class-wide tables ----

void VULNetworkURLSession::handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                                 SystemCompletionHandler systemCompletionHandler) {
  if (!identifier.starts_with(kVULNetworkBackgroundSessionPrefix)) return;
  auto fetcher = fetcherWithSessionIdentifier(identifier);
  if (!fetcher) {
    VULLoggerLogError(kVULNetworkService, false, platform::format("I-NET%06ld", 900003L),
                      "Failed to retrieve background session with ID %@ after app is relaunched.", identifier);
    return;
  }
  fetcher->addSystemCompletionHandler(std::move(systemCompletionHandler), identifier);
}

std::shared_ptr<VULNetworkURLSession> VULNetworkURLSession::fetcherWithSessionIdentifier(const std::string& identifier) {
  if (auto fetcher = sessionFromFetcherMapForSessionID(identifier)) return fetcher;
  auto fetcher = initWithNetworkLoggerDelegate({});
  fetcher->setSessionID(identifier);
  setSessionInFetcherMap(fetcher, identifier);
  return fetcher;
}

void VULNetworkURLSession::setSessionInFetcherMap(const std::shared_ptr<VULNetworkURLSession>& fetcher,
                                                  const std::string& identifier) {
  auto& map = fetcherMap();
  platform::MutexLock lock(map.mutex);
  if (auto it = map.fetchers.find(identifier); it != map.fetchers.end()) {
    if (auto existing = it->second.lock(); existing && existing != fetcher) {
      if (fetcher) {
        existing->log(VULLoggerLevelInfo, kVULNetworkMessageCodeURLSession019,
                      platform::format("Discarding session: %@", existing->description()));
      }
      // Its running task still ends and reports: only new tasks are refused.
      if (auto session = existing->URLSession_.lock()) session->finishTasksAndInvalidate();
    }
  }
  if (fetcher) {
    map.fetchers[identifier] = fetcher;
  } else {
    map.fetchers.erase(identifier);
  }
  std::erase_if(map.fetchers, [](const auto& entry) { return entry.second.expired(); });
}

std::shared_ptr<VULNetworkURLSession> VULNetworkURLSession::sessionFromFetcherMapForSessionID(
    const std::string& identifier) {
  auto& map = fetcherMap();
  platform::MutexLock lock(map.mutex);
  auto it = map.fetchers.find(identifier);
  return it == map.fetchers.end() ? nullptr : it->second.lock();
}

void VULNetworkURLSession::addSystemCompletionHandler(SystemCompletionHandler handler, const std::string& identifier) {
  if (!handler) {
    log(VULLoggerLevelError, kVULNetworkMessageCodeURLSession009, "Cannot store nil system completion handler in network");
    return;
  }
  if (identifier.empty()) {
    log(VULLoggerLevelError, kVULNetworkMessageCodeURLSession010,
        "Cannot store system completion handler with empty network session identifier");
    return;
  }
  auto& handlers = systemCompletionHandlers();
  if (handlers.objectForKey(identifier)) {
    log(VULLoggerLevelWarning, kVULNetworkMessageCodeURLSession011, "Got multiple system handlers for a single session ID",
        Value(identifier));
  }
  handlers.setObject(std::move(handler), identifier);
}

void VULNetworkURLSession::callSystemCompletionHandler(const std::string& identifier) {
  auto& handlers = systemCompletionHandlers();
  auto handler = handlers.objectForKey(identifier);
  if (!handler) return;
  handlers.removeObjectForKey(identifier);
  platform::DispatchQueue::main()->async([handler = std::move(*handler)] { handler(); });
}

// ---- Temporary files ----

std::filesystem::path VULNetworkURLSession::temporaryFilePathWithSessionID(const std::string& sessionID) const {
  return networkDirectoryURL_ / platform::format("VULUpload_temp_%@", sessionID);
}

bool VULNetworkURLSession::ensureTemporaryDirectoryExists() {
  auto& files = platform::FileManager::defaultManager();
  bool isDirectory = false;
  if (files.fileExists(networkDirectoryURL_, &isDirectory) && isDirectory) return true;
  if (networkDirectoryURL_.empty()) {
    log(VULLoggerLevelWarning, kVULNetworkMessageCodeURLSession014,
        "Error while trying to access Network temp folder. Error", Value("no Application Support directory"));
    return false;
  }
  Error error;
  if (!files.createDirectory(networkDirectoryURL_, true, &error)) {
    log(VULLoggerLevelError, kVULNetworkMessageCodeURLSession015, "Cannot create temporary directory. Error",
        Value(error.description()));
    return false;
  }
  excludeFromBackupForURL(networkDirectoryURL_);
  return true;
}

// Nothing on this platform is backed up, so an existing item is excluded already; setting the
// flag fails only for an item that is not there.
void VULNetworkURLSession::excludeFromBackupForURL(const std::filesystem::path& url) {
  if (url.empty()) return;
  if (!platform::FileManager::defaultManager().fileExists(url)) {
    log(VULLoggerLevelError, kVULNetworkMessageCodeURLSession016, "Cannot exclude temporary folder from iTunes backup");
  }
}

void VULNetworkURLSession::maybeRemoveTempFilesAtURL(const std::filesystem::path& directory, double expiringTime) {
  if (directory.empty()) return;
  auto& files = platform::FileManager::defaultManager();
  Error error;
  auto names = files.contentsOfDirectory(directory, &error);
  if (!names) {
    if (error.code() != platform::kFileReadNoSuchFileError && error.code() != platform::kFileNoSuchFileError) {
      log(VULLoggerLevelDebug, kVULNetworkMessageCodeURLSession012,
          "Cannot get files from the temporary network folder. Error", Value(error.description()));
    }
    return;
  }
  const platform::Date now = platform::Clock::current().now();
  for (const std::string& name : *names) {
    const auto path = directory / name;
    auto attributes = files.attributesOfItem(path);
    if (!attributes) continue;
    if (std::fabs(now.timeIntervalSince(attributes->modificationDate)) > expiringTime) removeTempItemAtURL(path);
  }
}

void VULNetworkURLSession::removeTempItemAtURL(const std::filesystem::path& url) {
  if (url.empty()) return;
  Error error;
  if (!platform::FileManager::defaultManager().removeItem(url, &error) &&
      error.code() != platform::kFileNoSuchFileError) {
    log(VULLoggerLevelError, kVULNetworkMessageCodeURLSession013, "Failed to remove temporary uploading data file. Error",
        Value(error.localizedDescription()));
  }
}
