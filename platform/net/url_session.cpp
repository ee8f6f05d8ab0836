#include "platform/net/url_session.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdlib>

#include <fstream>
#include <iterator>
#include <span>
#include <thread>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/work_tracker.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/format.h"
#include "platform/foundation/home.h"
#include "platform/foundation/strings.h"
#include "platform/foundation/uuid.h"
#include "platform/net/content_decoder.h"
#include "platform/net/server_trust.h"
#include "platform/foundation/thread_safety.h"
#include "platform/security/crypto_library.h"

namespace platform {

namespace {

constexpr int kMaximumRedirects = 16;

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    // libcurl sets OpenSSL up as it starts: ours must come first.
    CryptoLibrary::initialize();
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

std::optional<std::string> lastHeaderValue(const std::vector<std::pair<std::string, std::string>>& headers,
                                           std::string_view field) {
  std::optional<std::string> found;
  for (const auto& [name, value] : headers) {
    if (strings::equalsIgnoringCase(name, field)) found = value;
  }
  return found;
}

// All lines of a header as the one comma-separated list they make, in order; none without any.
std::optional<std::string> headerList(const std::vector<std::pair<std::string, std::string>>& headers,
                                      std::string_view field) {
  std::optional<std::string> list;
  for (const auto& [name, value] : headers) {
    if (!strings::equalsIgnoringCase(name, field)) continue;
    if (list) {
      list->append(", ");
    } else {
      list.emplace();
    }
    list->append(value);
  }
  return list;
}

Error urlError(std::int64_t code, std::string_view description, const std::string& url) {
  Value::Dictionary info;
  info[std::string(kLocalizedDescriptionKey)] = std::string(description);
  info[std::string(kURLErrorFailingURLStringErrorKey)] = url;
  return Error(std::string(kURLErrorDomain), code, std::move(info));
}

Error errorForCurlCode(CURLcode code, const std::string& url) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return urlError(kURLErrorTimedOut, "The request timed out.", url);
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return urlError(kURLErrorCannotFindHost, "A server with the specified hostname could not be found.", url);
    case CURLE_COULDNT_CONNECT:
      return urlError(kURLErrorCannotConnectToHost, "Could not connect to the server.", url);
    case CURLE_URL_MALFORMAT:
      return urlError(kURLErrorBadURL, "bad URL", url);
    case CURLE_UNSUPPORTED_PROTOCOL:
      return urlError(kURLErrorUnsupportedURL, "unsupported URL", url);
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return urlError(kURLErrorNetworkConnectionLost, "The network connection was lost.", url);
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      return urlError(kURLErrorServerCertificateUntrusted, "The certificate for this server is invalid.", url);
    case CURLE_SSL_CONNECT_ERROR:
      return urlError(kURLErrorSecureConnectionFailed, "An SSL error has occurred.", url);
    case CURLE_BAD_CONTENT_ENCODING:
      return urlError(kURLErrorCannotDecodeContentData, "cannot decode raw data", url);
    case CURLE_WEIRD_SERVER_REPLY:
      return urlError(kURLErrorBadServerResponse, "bad server response", url);
    default:
      return urlError(kURLErrorUnknown, curl_easy_strerror(code), url);
  }
}

// Names under the reserved ".invalid" domain never resolve: they fail at once, without a query
// that would leave the machine.
bool isReservedInvalidHost(const std::string& url) {
  CURLU* parsed = curl_url();
  if (!parsed) return false;
  char* host = nullptr;
  bool invalid = false;
  if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK && host) {
    std::string name = strings::lowercase(host);
    while (!name.empty() && name.back() == '.') name.pop_back();
    invalid = name == "invalid" || name.ends_with(".invalid");
    curl_free(host);
  }
  curl_url_cleanup(parsed);
  return invalid;
}

// A new file in the home's tmp holding `data`; none (with `error` set) when it cannot be written.
std::optional<std::filesystem::path> writeDownloadedFile(const Data& data, const std::string& url, Error& error) {
  std::string pattern = (Home::temporary() / "URLSessionDownload-XXXXXX").string();
  const int fd = ::mkstemp(pattern.data());
  bool written = fd >= 0;
  for (std::size_t done = 0; written && done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n <= 0) written = false;
    else done += static_cast<std::size_t>(n);
  }
  if (fd >= 0) written = ::close(fd) == 0 && written;
  if (written) return std::filesystem::path(pattern);
  if (fd >= 0) ::unlink(pattern.c_str());
  error = urlError(kURLErrorCannotWriteToFile, "The downloaded file could not be written.", url);
  return std::nullopt;
}

void hostAndPort(const std::string& url, std::string& host, int& port) {
  CURLU* parsed = curl_url();
  if (!parsed) return;
  char* part = nullptr;
  if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    if (curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK && part) {
      host = part;
      // An IPv6 literal comes in brackets.
      if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
      curl_free(part);
    }
    if (curl_url_get(parsed, CURLUPART_PORT, &part, CURLU_DEFAULT_PORT) == CURLUE_OK && part) {
      port = std::atoi(part);
      curl_free(part);
    }
  }
  curl_url_cleanup(parsed);
}

bool isRedirectStatus(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

// ---- URLRequest, HTTPURLResponse, configuration ----

void URLRequest::setValueForHTTPHeaderField(std::string_view value, std::string_view field) {
  std::erase_if(headers_, [&](const auto& header) { return strings::equalsIgnoringCase(header.first, field); });
  if (!value.empty()) headers_.emplace_back(std::string(field), std::string(value));
}

std::optional<std::string> URLRequest::valueForHTTPHeaderField(std::string_view field) const {
  return lastHeaderValue(headers_, field);
}

std::string URLRequest::description() const { return format("<URLRequest %s %s>", method_, url_); }

std::optional<std::string> HTTPURLResponse::valueForHTTPHeaderField(std::string_view field) const {
  return lastHeaderValue(headers_, field);
}

URLSessionConfiguration URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(std::string identifier) {
  URLSessionConfiguration configuration;
  configuration.identifier_ = std::move(identifier);
  return configuration;
}

void URLSessionDelegate::willPerformHTTPRedirection(URLSession&, URLSessionTask&, const HTTPURLResponse&,
                                                    URLRequest request, RedirectHandler completionHandler) {
  completionHandler(std::move(request));
}
void URLSessionDelegate::didReceiveChallenge(URLSession&, URLSessionTask&, const URLAuthenticationChallenge&,
                                             ChallengeHandler completionHandler) {
  completionHandler(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
}
void URLSessionDelegate::didReceiveData(URLSession&, URLSessionTask&, const Data&) {}
void URLSessionDelegate::didFinishDownloadingToURL(URLSession&, URLSessionTask&, const std::filesystem::path&) {}
void URLSessionDelegate::didCompleteWithError(URLSession&, URLSessionTask&, const Error&) {}
void URLSessionDelegate::didFinishEventsForBackgroundURLSession(URLSession&) {}

std::optional<URLCredential> URLCredential::credentialForTrust(std::shared_ptr<SecTrust> trust) {
  if (!trust) return std::nullopt;
  return URLCredential{std::move(trust)};
}
void URLSessionDelegate::didBecomeInvalidWithError(URLSession&, const Error&) {}

// ---- One transfer with libcurl ----

struct URLSessionTask::Transfer {
  URLSessionTask* task = nullptr;
  const std::atomic<bool>* cancelled = nullptr;
  Trust trust = Trust::Accepted;
  std::size_t maxBody = 0;
  bool tooLarge = false;
  bool undecodable = false;
  long status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::unique_ptr<ContentDecoder> decoder;  // made at the first body byte, once the headers are in
  Data body;

  // Returning less than `count` aborts the transfer.
  static size_t onBody(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    const size_t n = size * count;
    if (!t->decoder) {
      t->decoder = std::make_unique<ContentDecoder>(headerList(t->headers, "Content-Encoding"), t->maxBody);
    }
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(data), n);
    return t->settle(t->decoder->append(bytes, t->body)) ? n : 0;
  }

  // Whether the body, complete now, ended where its encoding says.
  bool finishBody() { return !decoder || settle(decoder->finish()); }

  bool settle(ContentDecoder::Outcome outcome) {
    tooLarge = outcome == ContentDecoder::Outcome::TooLarge;
    undecodable = outcome == ContentDecoder::Outcome::Undecodable;
    return outcome == ContentDecoder::Outcome::Decoded;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    const size_t n = size * count;
    std::string_view line(data, n);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {
      t->headers.clear();  // a new response (after "100 Continue", say)
    } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
      t->headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    }
    return n;
  }

  static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(self)->cancelled->load() ? 1 : 0;
  }

  // Replaces OpenSSL's own chain check: the chain the server presented becomes a trust that the
  // delegate, or the default evaluation, accepts or refuses.
  static int onVerify(X509_STORE_CTX* context, void* self) {
    auto* t = static_cast<Transfer*>(self);
    std::vector<Data> chain;
    const auto add = [&chain](X509* certificate) {
      const int length = i2d_X509(certificate, nullptr);
      if (length <= 0) return;
      Data der(static_cast<std::size_t>(length));
      unsigned char* out = der.data();
      i2d_X509(certificate, &out);
      chain.push_back(std::move(der));
    };
    if (STACK_OF(X509)* presented = X509_STORE_CTX_get0_untrusted(context); presented && sk_X509_num(presented) > 0) {
      for (int i = 0; i < sk_X509_num(presented); ++i) add(sk_X509_value(presented, i));
    } else if (X509* leaf = X509_STORE_CTX_get0_cert(context)) {
      add(leaf);
    }
    t->trust = t->task->decideServerTrust(t->host, t->port, std::move(chain));
    if (t->trust == Trust::Accepted) return 1;
    X509_STORE_CTX_set_error(context, X509_V_ERR_CERT_REJECTED);
    return 0;
  }

  static CURLcode onSSLContext(CURL*, void* sslContext, void* self) {
    SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(sslContext), &Transfer::onVerify, self);
    return CURLE_OK;
  }

  std::string host;
  int port = 0;

  // The code of the transfer; `effectiveURL` and `redirectURL` are filled in when known.
  CURLcode perform(const URLRequest& request, const std::optional<Data>& body, double timeout,
                   std::string& redirectURL) {
    CURL* curl = curl_easy_init();
    if (!curl) return CURLE_FAILED_INIT;
    curl_easy_setopt(curl, CURLOPT_URL, request.url().c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // The body arrives as sent and is decoded here, so that a body cut short or expanding without
    // bound fails instead of passing as complete.
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    curl_easy_setopt(curl, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    // The trust decision covers the host name too.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &Transfer::onSSLContext);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, this);
    hostAndPort(request.url(), host, port);
    if (timeout > 0) {
      curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout * 1000));
      curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout * 1000));
    }
    const std::string& method = request.httpMethod();
    if (body) {
      curl_easy_setopt(curl, CURLOPT_POST, 1L);
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->empty() ? "" : reinterpret_cast<const char*>(body->data()));
      if (method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method == "HEAD") {
      curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (method != "GET") {
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.allHTTPHeaderFields()) {
      headers = curl_slist_append(headers, (name + ": " + value).c_str());
    }
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);

    const CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    char* location = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location) redirectURL = location;
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return code;
  }
};

// ---- URLSessionTask ----

URLSessionTask::URLSessionTask(Token, std::shared_ptr<URLSession> session, std::uint64_t identifier,
                               URLRequest request, std::optional<std::filesystem::path> bodyFile, bool download,
                               CompletionHandler completion)
    : session_(std::move(session)),
      identifier_(identifier),
      original_(request),
      bodyFile_(std::move(bodyFile)),
      download_(download),
      completion_(std::move(completion)),
      current_(std::move(request)) {}

URLSessionTask::~URLSessionTask() {
  // A task dropped without ever running still counts against its session's invalidation.
  if (state_ == State::Suspended && session_) session_->taskEnded();
}

URLRequest URLSessionTask::currentRequest() const {
  MutexLock lock(mutex_);
  return current_;
}

std::shared_ptr<HTTPURLResponse> URLSessionTask::response() const {
  MutexLock lock(mutex_);
  return response_;
}

std::optional<Error> URLSessionTask::error() const {
  MutexLock lock(mutex_);
  return error_;
}

URLSessionTask::State URLSessionTask::state() const {
  MutexLock lock(mutex_);
  return state_;
}

void URLSessionTask::resume() {
  {
    MutexLock lock(mutex_);
    if (state_ != State::Suspended) return;
    state_ = State::Running;
  }
  initCurlOnce();
  // The thread owns the task (and so the session) until the outcome is on the delegate queue.
  std::thread([self = shared_from_this(), pending = PendingWork()]() mutable {
    {
      // The transfer waits for a server; its outcome, once on the delegate queue, is own work again.
      RunningPendingWork running;
      WaitingOutside waiting;
      self->run();
    }
    pending.finish();
  }).detach();
}

void URLSessionTask::cancel() {
  bool neverStarted = false;
  {
    MutexLock lock(mutex_);
    if (state_ == State::Completed || state_ == State::Canceling) return;
    neverStarted = state_ == State::Suspended;
    state_ = State::Canceling;
    cancelled_.store(true);
  }
  decided_.notify_all();
  if (neverStarted) complete(std::nullopt, nullptr, urlError(kURLErrorCancelled, "cancelled", original_.url()));
}

void URLSessionTask::run() {
  const URLSessionConfiguration& configuration = session_->configuration();
  URLRequest request = currentRequest();
  for (const auto& [name, value] : configuration.HTTPAdditionalHeaders()) {
    if (!request.valueForHTTPHeaderField(name)) request.setValueForHTTPHeaderField(value, name);
  }
  if (bodyFile_) {
    std::ifstream in(*bodyFile_, std::ios::binary);
    if (!in) {
      complete(std::nullopt, nullptr,
               urlError(kURLErrorCannotOpenFile, "The file could not be opened.", original_.url()));
      return;
    }
    request.setHTTPBody(Data(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  }
  const auto cancelledError = [&] { return urlError(kURLErrorCancelled, "cancelled", request.url()); };

  for (int redirects = 0;; ++redirects) {
    if (cancelled_.load()) return complete(std::nullopt, nullptr, cancelledError());
    if (isReservedInvalidHost(request.url())) {
      return complete(std::nullopt, nullptr, errorForCurlCode(CURLE_COULDNT_RESOLVE_HOST, request.url()));
    }
    Transfer transfer;
    transfer.task = this;
    transfer.cancelled = &cancelled_;
    transfer.maxBody = configuration.maximumResponseBodySize();
    const double timeout =
        request.timeoutInterval() > 0 ? request.timeoutInterval() : configuration.timeoutIntervalForRequest();
    std::string redirectURL;
    const CURLcode code = transfer.perform(request, request.httpBody(), timeout, redirectURL);
    if (cancelled_.load() || transfer.trust == Trust::Cancelled) {
      return complete(std::nullopt, nullptr, cancelledError());
    }
    if (transfer.trust == Trust::Untrusted) {
      return complete(std::nullopt, nullptr, errorForCurlCode(CURLE_PEER_FAILED_VERIFICATION, request.url()));
    }
    if (code == CURLE_OK) transfer.finishBody();
    if (transfer.tooLarge) {
      return complete(std::nullopt, nullptr,
                      urlError(kURLErrorDataLengthExceedsMaximum, "resource exceeds maximum size", request.url()));
    }
    if (transfer.undecodable) {
      return complete(std::nullopt, nullptr, errorForCurlCode(CURLE_BAD_CONTENT_ENCODING, request.url()));
    }
    if (code != CURLE_OK) return complete(std::nullopt, nullptr, errorForCurlCode(code, request.url()));

    auto response = std::make_shared<HTTPURLResponse>(request.url(), transfer.status, std::move(transfer.headers));
    if (!isRedirectStatus(transfer.status) || redirectURL.empty()) {
      return complete(std::move(transfer.body), std::move(response), Error());
    }
    if (redirects + 1 > kMaximumRedirects) {
      return complete(std::nullopt, nullptr,
                      urlError(kURLErrorHTTPTooManyRedirects, "too many HTTP redirects", request.url()));
    }
    URLRequest next = request;
    next.setURL(redirectURL);
    // As browsers do: a 303, or a POST answered with 301 or 302, goes on as a GET without a body.
    if (transfer.status == 303 || ((transfer.status == 301 || transfer.status == 302) && request.httpMethod() == "POST")) {
      next.setHTTPMethod("GET");
      next.setHTTPBody(std::nullopt);
      next.setValueForHTTPHeaderField("", "Content-Type");
      next.setValueForHTTPHeaderField("", "Content-Encoding");
    }
    std::optional<URLRequest> decided = askAboutRedirect(response, std::move(next));
    if (cancelled_.load()) return complete(std::nullopt, nullptr, cancelledError());
    if (!decided) return complete(std::move(transfer.body), std::move(response), Error());
    request = std::move(*decided);
    MutexLock lock(mutex_);
    current_ = request;
  }
}

template <class Answer, class Ask>
std::optional<Answer> URLSessionTask::askDelegate(const std::shared_ptr<URLSessionDelegate>& delegate, Ask ask) {
  struct Decision {
    Mutex mutex;
    bool made GUARDED_BY(mutex) = false;
    std::optional<Answer> answer GUARDED_BY(mutex);
  };
  auto decision = std::make_shared<Decision>();
  std::weak_ptr<URLSessionTask> weakSelf = weak_from_this();
  auto reply = [decision, weakSelf](Answer answer) {
    {
      MutexLock lock(decision->mutex);
      if (decision->made) return;
      decision->made = true;
      decision->answer = std::move(answer);
    }
    if (auto self = weakSelf.lock()) {
      MutexLock lock(self->mutex_);  // orders the notification after the waiter's check
      self->decided_.notify_all();
    }
  };
  session_->delegateQueue()->async([self = shared_from_this(), delegate, ask = std::move(ask), reply]() mutable {
    ask(*delegate, *self, std::move(reply));
  });
  MutexLock lock(mutex_);
  for (;;) {
    {
      MutexLock decisionLock(decision->mutex);
      if (decision->made || cancelled_.load()) break;
    }
    decided_.wait(lock);
  }
  MutexLock decisionLock(decision->mutex);
  return decision->made ? decision->answer : std::nullopt;
}

std::optional<URLRequest> URLSessionTask::askAboutRedirect(const std::shared_ptr<HTTPURLResponse>& response,
                                                           URLRequest next) {
  auto delegate = session_->delegate();
  if (!delegate) return next;
  auto answer = askDelegate<std::optional<URLRequest>>(
      delegate, [response, next = std::move(next)](URLSessionDelegate& d, URLSessionTask& task, auto reply) mutable {
        d.willPerformHTTPRedirection(*task.session_, task, *response, std::move(next),
                                     [reply](std::optional<URLRequest> request) { reply(std::move(request)); });
      });
  return answer ? std::move(*answer) : std::nullopt;
}

URLSessionTask::Trust URLSessionTask::decideServerTrust(const std::string& host, int port, std::vector<Data> chain) {
  auto trust = std::make_shared<SecTrust>(host, std::move(chain));
  const auto evaluated = [&trust] {
    SecTrustResultType result = SecTrustResultType::Invalid;
    const bool valid = trust->evaluate(result) == errSecSuccess &&
                       (result == SecTrustResultType::Unspecified || result == SecTrustResultType::Proceed);
    return valid ? Trust::Accepted : Trust::Untrusted;
  };
  auto delegate = session_->delegate();
  if (!delegate) return evaluated();
  URLAuthenticationChallenge challenge{{host, port, std::string(kURLAuthenticationMethodServerTrust), trust}};
  using Reply = std::pair<URLSessionAuthChallengeDisposition, std::optional<URLCredential>>;
  auto answer = askDelegate<Reply>(delegate, [challenge](URLSessionDelegate& d, URLSessionTask& task, auto reply) {
    d.didReceiveChallenge(*task.session_, task, challenge,
                          [reply](URLSessionAuthChallengeDisposition disposition,
                                  std::optional<URLCredential> credential) { reply({disposition, std::move(credential)}); });
  });
  if (!answer) return Trust::Cancelled;
  switch (answer->first) {
    case URLSessionAuthChallengeDisposition::UseCredential:
      // Without a credential the server is not vouched for: the platform evaluates as usual.
      return answer->second ? Trust::Accepted : evaluated();
    case URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge:
      return Trust::Cancelled;
    default:
      return evaluated();
  }
}

void URLSessionTask::complete(std::optional<Data> data, std::shared_ptr<HTTPURLResponse> response, Error error) {
  CompletionHandler completion;
  {
    MutexLock lock(mutex_);
    if (state_ == State::Completed) return;
    state_ = State::Completed;
    response_ = response;
    if (error) error_ = error;
    completion = std::move(completion_);
    completion_ = nullptr;
  }
  session_->delegateQueue()->async([self = shared_from_this(), completion = std::move(completion),
                                    data = std::move(data), response = std::move(response),
                                    error = std::move(error)] {
    if (completion) {
      completion(data, response, error);
    } else if (auto delegate = self->session_->delegate()) {
      self->deliverToDelegate(*delegate, data, response, error);
    }
    self->session_->taskEnded();
  });
}

void URLSessionTask::deliverToDelegate(URLSessionDelegate& delegate, const std::optional<Data>& data,
                                       const std::shared_ptr<HTTPURLResponse>& response, const Error& error) {
  URLSession& session = *session_;
  if (download_ && response && data) {
    Error writeError;
    const auto location = writeDownloadedFile(*data, response->url(), writeError);
    delegate.didFinishDownloadingToURL(session, *this, location.value_or(std::filesystem::path()));
    std::error_code ignored;
    if (location) std::filesystem::remove(*location, ignored);
  } else if (!download_ && data && !data->empty()) {
    delegate.didReceiveData(session, *this, *data);
  }
  delegate.didCompleteWithError(session, *this, error);
}

// ---- URLSession ----

URLSession::URLSession(Token, URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                       std::shared_ptr<DispatchQueue> delegateQueue)
    : configuration_(std::move(configuration)),
      delegateQueue_(delegateQueue ? std::move(delegateQueue)
                                   : DispatchQueue::serial("com.platform.urlsession.delegate")),
      delegate_(std::move(delegate)) {}

URLSession::~URLSession() = default;

std::shared_ptr<URLSession> URLSession::sharedSession() {
  // Never destroyed: a worker may still start a request with it while the process exits.
  static const auto* const shared =
      new std::shared_ptr<URLSession>(sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration()));
  return *shared;
}

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(URLSessionConfiguration configuration,
                                                                 std::shared_ptr<URLSessionDelegate> delegate,
                                                                 std::shared_ptr<DispatchQueue> delegateQueue) {
  return std::make_shared<URLSession>(Token{}, std::move(configuration), std::move(delegate),
                                      std::move(delegateQueue));
}

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const {
  MutexLock lock(mutex_);
  return delegate_;
}

std::shared_ptr<URLSessionTask> URLSession::makeTask(URLRequest request,
                                                     std::optional<std::filesystem::path> bodyFile, bool download,
                                                     URLSessionTask::CompletionHandler completion) {
  std::uint64_t identifier = 0;
  {
    MutexLock lock(mutex_);
    if (invalidated_) {
      throw Exception(std::string(kInternalInconsistencyException),
                      "Task created in a session that has been invalidated");
    }
    identifier = nextIdentifier_++;
    ++running_;
  }
  auto task = std::make_shared<URLSessionTask>(URLSessionTask::Token{}, shared_from_this(), identifier,
                                               std::move(request), std::move(bodyFile), download,
                                               std::move(completion));
  MutexLock lock(mutex_);
  std::erase_if(tasks_, [](const auto& weak) { return weak.expired(); });
  tasks_.push_back(task);
  return task;
}

std::shared_ptr<URLSessionTask> URLSession::dataTaskWithRequest(URLRequest request,
                                                                URLSessionTask::CompletionHandler completion) {
  return makeTask(std::move(request), std::nullopt, false, std::move(completion));
}

std::shared_ptr<URLSessionTask> URLSession::downloadTaskWithRequest(URLRequest request) {
  return makeTask(std::move(request), std::nullopt, true, nullptr);
}

std::shared_ptr<URLSessionTask> URLSession::uploadTaskWithRequest(URLRequest request, Data fromData,
                                                                  URLSessionTask::CompletionHandler completion) {
  request.setHTTPBody(std::move(fromData));
  return makeTask(std::move(request), std::nullopt, false, std::move(completion));
}

std::shared_ptr<URLSessionTask> URLSession::uploadTaskWithRequest(URLRequest request, std::filesystem::path fromFile,
                                                                  URLSessionTask::CompletionHandler completion) {
  return makeTask(std::move(request), std::move(fromFile), false, std::move(completion));
}

std::shared_ptr<URLSessionTask> URLSession::downloadTaskWithRequest(
    URLRequest request, URLSessionTask::DownloadCompletionHandler completion) {
  URLSessionTask::CompletionHandler toFile;
  if (completion) {
    toFile = [completion = std::move(completion), url = request.url()](
                 const std::optional<Data>& data, const std::shared_ptr<HTTPURLResponse>& response, const Error& error) {
      if (error || !data) return completion(std::nullopt, response, error);
      Error writeError;
      const auto location = writeDownloadedFile(*data, url, writeError);
      completion(location, location ? response : nullptr, writeError);
      std::error_code ignored;
      if (location) std::filesystem::remove(*location, ignored);
    };
  }
  return makeTask(std::move(request), std::nullopt, false, std::move(toFile));
}

void URLSession::taskEnded() {
  std::shared_ptr<URLSessionDelegate> delegate;
  {
    MutexLock lock(mutex_);
    --running_;
    if (running_ == 0 && configuration_.identifier()) delegate = delegate_;
  }
  if (delegate) {
    delegateQueue_->async([self = shared_from_this(), delegate] { delegate->didFinishEventsForBackgroundURLSession(*self); });
  }
  invalidateIfDone();
}

void URLSession::finishTasksAndInvalidate() {
  {
    MutexLock lock(mutex_);
    invalidated_ = true;
  }
  invalidateIfDone();
}

void URLSession::invalidateAndCancel() {
  std::vector<std::shared_ptr<URLSessionTask>> tasks;
  {
    MutexLock lock(mutex_);
    invalidated_ = true;
    for (const auto& weak : tasks_) {
      if (auto task = weak.lock()) tasks.push_back(std::move(task));
    }
  }
  for (const auto& task : tasks) task->cancel();
  invalidateIfDone();
}

bool URLSession::isInvalidated() const {
  MutexLock lock(mutex_);
  return invalidated_;
}

void URLSession::invalidateIfDone() {
  std::shared_ptr<URLSessionDelegate> delegate;
  {
    MutexLock lock(mutex_);
    if (!invalidated_ || running_ > 0 || invalidationAnnounced_) return;
    invalidationAnnounced_ = true;
    delegate = std::move(delegate_);  // breaks the cycle of a delegate that owns its session
    delegate_ = nullptr;
  }
  if (!delegate) return;
  // Held by the block, not the session: the delegate may own the session.
  delegateQueue_->async([weakSelf = weak_from_this(), delegate] {
    if (auto self = weakSelf.lock()) delegate->didBecomeInvalidWithError(*self, Error());
  });
}

}  // namespace platform
