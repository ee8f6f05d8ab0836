#include "sdk/utilities/utilities/vul_network.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/console.h"
#include "sdk/utilities/utilities/vul_gzip.h"
#include "sdk/utilities/utilities/vul_network_url_session.h"
#include "sdk/utilities/utilities/vul_service_endpoints.h"
#include "platform/foundation/thread_safety.h"

namespace {

using platform::Value;

// The measurement service's base when VDZ_SERVICE_URL does not point elsewhere.
constexpr std::string_view kVULNetworkDefaultMeasurementBaseURL = "https://measurement.vuduzara.invalid";

std::string_view levelName(VULLoggerLevel level) {
  switch (level) {
    case VULLoggerLevelError: return "ERROR";
    case VULLoggerLevelWarning: return "WARNING";
    case VULLoggerLevelInfo: return "INFO";
    case VULLoggerLevelDebug: return "DEBUG";
    default: return "";
  }
}

std::string describeContext(const Value& context) {
  if (context.isNull()) return "(nil)";
  if (context.isString()) return context.string();
  return context.description();
}

std::shared_ptr<platform::DispatchQueue> orMain(std::shared_ptr<platform::DispatchQueue> queue) {
  return queue ? std::move(queue) : platform::DispatchQueue::main();
}

}  // namespace

VULNetwork::VULNetwork(Token) {}

VULNetwork::~VULNetwork() {
  if (reachability_) {
    reachability_->setReachabilityDelegate({});
    reachability_->stop();
  }
}

std::string VULNetwork::defaultReachabilityHost() { return VULServiceBaseURL(kVULNetworkDefaultMeasurementBaseURL); }

std::shared_ptr<VULNetwork> VULNetwork::init() { return initWithReachabilityHost(defaultReachabilityHost()); }

std::shared_ptr<VULNetwork> VULNetwork::initWithReachabilityHost(std::string_view host) {
  auto network = std::make_shared<VULNetwork>(Token{});
  network->reachability_ = VULReachabilityChecker::initWithReachabilityDelegate(network, host);
  if (!network->reachability_ || !network->reachability_->start()) return nullptr;
  return network;
}

// ---- Requests ----

std::optional<platform::URLRequest> VULNetwork::makeRequest(const std::string& url,
                                                           const std::shared_ptr<platform::DispatchQueue>& queue,
                                                           const CompletionHandler& handler) {
  if (url.empty()) {
    handleErrorWithCode(VULErrorCodeNetworkInvalidURL, queue, handler);
    return std::nullopt;
  }
  const double timeout = timeoutInterval();
  return platform::URLRequest(url, timeout == 0 ? kDefaultTimeoutInterval : timeout);
}

std::optional<std::string> VULNetwork::postURL(const std::string& url, const platform::Data& payload,
                                               std::shared_ptr<platform::DispatchQueue> queue,
                                               bool usingBackgroundSession, CompletionHandler handler) {
  auto request = makeRequest(url, queue, handler);
  if (!request) return std::nullopt;
  platform::Error compressionError;
  auto compressed = VULGzip::vul_dataByGzippingData(payload, &compressionError);
  if (!compressed && (compressionError || !payload.empty())) {
    handleErrorWithCode(VULErrorCodeNetworkPayloadCompression, queue, handler);
    return std::nullopt;
  }
  const platform::Data body = compressed.value_or(platform::Data());
  request->setValueForHTTPHeaderField(std::to_string(body.size()), "Content-Length");
  request->setHTTPBody(body);
  request->setHTTPMethod("POST");
  request->setValueForHTTPHeaderField("application/x-www-form-urlencoded", "Content-Type");
  request->setValueForHTTPHeaderField("gzip", "Content-Encoding");
  return start(true, *request, std::move(queue), usingBackgroundSession, std::move(handler));
}

std::optional<std::string> VULNetwork::getURL(const std::string& url, const std::optional<Headers>& headers,
                                              std::shared_ptr<platform::DispatchQueue> queue,
                                              bool usingBackgroundSession, CompletionHandler handler) {
  auto request = makeRequest(url, queue, handler);
  if (!request) return std::nullopt;
  request->setHTTPMethod("GET");
  if (headers) {
    for (const auto& [name, value] : *headers) request->setValueForHTTPHeaderField(value, name);
  }
  return start(false, *request, std::move(queue), usingBackgroundSession, std::move(handler));
}

std::optional<std::string> VULNetwork::start(bool post, const platform::URLRequest& request,
                                             std::shared_ptr<platform::DispatchQueue> queue,
                                             bool usingBackgroundSession, CompletionHandler handler) {
  auto fetcher = VULNetworkURLSession::initWithNetworkLoggerDelegate(weak_from_this());
  fetcher->setBackgroundNetworkEnabled(usingBackgroundSession);
  queue = orMain(std::move(queue));
  // A fetcher that fails to start has told this block of error 2 already; the caller then hears
  // only of the client's error 4, so that every request ends in exactly one call.
  auto started = std::make_shared<std::atomic<bool>>(false);
  auto completion = [weakSelf = weak_from_this(), queue, handler, started](
                        const std::shared_ptr<platform::HTTPURLResponse>& response,
                        const std::optional<platform::Data>& data, const std::string& sessionID,
                        const platform::Error& error) {
    auto self = weakSelf.lock();
    if (!self || !started->load()) return;
    queue->async([self, handler, response, data, sessionID, error] {
      if (!sessionID.empty()) self->requests_.removeObjectForKey(sessionID);
      if (handler) handler(response, data, error);
    });
  };
  // The entry exists before the task can finish, so its removal always finds it.
  auto sessionID = fetcher->sessionID();
  requests_.setObject(fetcher, sessionID);
  started->store(true);
  auto startedID = post ? fetcher->sessionIDFromAsyncPOSTRequest(request, completion)
                         : fetcher->sessionIDFromAsyncGETRequest(request, completion);
  if (!startedID) {
    started->store(false);
    requests_.removeObjectForKey(sessionID);
    handleErrorWithCode(VULErrorCodeNetworkInvalidResponse, queue, handler);
    return std::nullopt;
  }
  VULNetwork_logWithLevelContext(VULLoggerLevelDebug,
                                 post ? kVULNetworkMessageCodeNetwork000 : kVULNetworkMessageCodeNetwork001,
                                 post ? "Uploading data. Host" : "Downloading data. Host", Value(request.url()));
  return startedID;
}

void VULNetwork::handleErrorWithCode(std::int64_t code, const std::shared_ptr<platform::DispatchQueue>& queue,
                                     const CompletionHandler& handler) {
  Value::Dictionary info;
  info[std::string(kVULNetworkErrorContext)] = std::string("Failed to create network request");
  platform::Error error(std::string(kVULNetworkErrorDomain), code, std::move(info));
  VULNetwork_logWithLevelContexts(VULLoggerLevelWarning, kVULNetworkMessageCodeNetwork002,
                                  "Failed to create network request. Code, error",
                                  {Value(code), Value(error.description())});
  if (!handler) return;
  orMain(queue)->async([handler, error] { handler(nullptr, std::nullopt, error); });
}

void VULNetwork::handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                       std::function<void()> completionHandler) {
  VULNetworkURLSession::handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler));
}

// ---- Delegates ----

void VULNetwork::setLoggerDelegate(const std::shared_ptr<VULNetworkLoggerDelegate>& delegate) {
  if (!delegate) {
    VULLoggerLogError(kVULNetworkService, false, platform::format("I-NET%06ld", 900002L),
                      "Cannot set the network logger delegate: delegate does not conform to the network logger "
                      "protocol.");
    return;
  }
  platform::MutexLock lock(delegatesMutex_);
  loggerDelegate_ = delegate;
}

std::shared_ptr<VULNetworkLoggerDelegate> VULNetwork::loggerDelegate() const {
  platform::MutexLock lock(delegatesMutex_);
  return loggerDelegate_.lock();
}

void VULNetwork::setReachabilityDelegate(std::weak_ptr<VULNetworkReachabilityDelegate> delegate) {
  platform::MutexLock lock(delegatesMutex_);
  reachabilityDelegate_ = std::move(delegate);
}

std::shared_ptr<VULNetworkReachabilityDelegate> VULNetwork::reachabilityDelegate() const {
  platform::MutexLock lock(delegatesMutex_);
  return reachabilityDelegate_.lock();
}

void VULNetwork::reachabilityStatusChanged(VULReachabilityChecker&, VULReachabilityStatus status) {
  networkConnected_.store(status == kVULReachabilityViaWifi || status == kVULReachabilityViaCellular);
  if (auto delegate = reachabilityDelegate()) delegate->reachabilityDidChange();
}

// ---- Logging ----

void VULNetwork::VULNetwork_logWithLevelContexts(VULLoggerLevel level, VULNetworkMessageCode messageCode,
                                                 std::string_view message, const std::vector<Value>& contexts) {
  if (auto delegate = loggerDelegate()) {
    delegate->VULNetwork_logWithLevelContexts(level, messageCode, message, contexts);
    return;
  }
  const bool shown = level == VULLoggerLevelError || level == VULLoggerLevelWarning || level == VULLoggerLevelInfo;
  if (!isDebugModeEnabled() && !shown) return;
  std::string line = platform::format("<%@/%@> %@", std::string("Videzu/Utilities/Network"),
                                      std::string(levelName(level)),
                                      std::string(message.empty() ? "(Message was empty)" : message));
  if (!contexts.empty()) {
    line += ": ";
    for (std::size_t i = 0; i < contexts.size(); ++i) {
      if (i > 0) line += ", ";
      line += describeContext(contexts[i]);
    }
  }
  platform::Console::log(line);
  VULLoggerLogBasic(level, kVULNetworkService, false, platform::format("I-NET%06ld", static_cast<long>(messageCode)),
                    line, std::nullopt);
}

void VULNetwork::VULNetwork_logWithLevelContext(VULLoggerLevel level, VULNetworkMessageCode messageCode,
                                                std::string_view message, const Value& context) {
  if (auto delegate = loggerDelegate()) {
    delegate->VULNetwork_logWithLevelContext(level, messageCode, message, context);
    return;
  }
  VULNetwork_logWithLevelContexts(level, messageCode, message,
                                  context.isNull() ? std::vector<Value>{} : std::vector<Value>{context});
}

void VULNetwork::VULNetwork_logWithLevel(VULLoggerLevel level, VULNetworkMessageCode messageCode,
                                         std::string_view message) {
  if (auto delegate = loggerDelegate()) {
    delegate->VULNetwork_logWithLevel(level, messageCode, message);
    return;
  }
  VULNetwork_logWithLevelContexts(level, messageCode, message, {});
}
