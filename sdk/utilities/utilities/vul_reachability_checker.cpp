#include "sdk/utilities/utilities/vul_reachability_checker.h"

#include <curl/curl.h>

#include "platform/dispatch/dispatch_queue.h"
#include "sdk/utilities/utilities/vul_logger.h"

namespace {

namespace Flag = platform::NetworkReachabilityFlag;

void logReachability(VULLoggerLevel level, long code, std::string_view message) {
  VULLoggerLog(level, kVULReachabilityService, false, platform::format("I-REA%06ld", code), message);
}

// "https://host:443/path" -> "host"; a plain name stays as it is.
std::string hostOf(std::string_view hostOrURL) {
  if (hostOrURL.find("://") == std::string_view::npos) return std::string(hostOrURL);
  std::string host;
  CURLU* url = curl_url();
  char* part = nullptr;
  if (url && curl_url_set(url, CURLUPART_URL, std::string(hostOrURL).c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
      curl_url_get(url, CURLUPART_HOST, &part, 0) == CURLUE_OK && part) {
    host = part;
    curl_free(part);
  }
  curl_url_cleanup(url);
  return host;
}

}  // namespace

VULReachabilityApi VULReachabilityApi::defaultApi() {
  VULReachabilityApi api;
  api.createWithNameFn = [](const std::string& host) { return platform::NetworkReachability::createWithName(host); };
  api.setCallbackFn = [](const VULReachabilityHandle& handle, platform::NetworkReachability::Callback callback) {
    return handle->setCallback(std::move(callback));
  };
  api.scheduleWithRunLoopFn = [](const VULReachabilityHandle& handle) { return handle->scheduleWithMainRunLoop(); };
  api.unscheduleFromRunLoopFn = [](const VULReachabilityHandle& handle) { handle->unscheduleFromMainRunLoop(); };
  api.releaseFn = [](const VULReachabilityHandle& handle) { handle->setCallback({}); };
  return api;
}

std::string_view VULReachabilityStatusName(VULReachabilityStatus status) {
  switch (status) {
    case kVULReachabilityNotReachable: return "Disconnected";
    case kVULReachabilityViaWifi:
    case kVULReachabilityViaCellular: return "Connected";
    default: return "Unknown";
  }
}

VULReachabilityChecker::VULReachabilityChecker(Token, std::weak_ptr<VULReachabilityDelegate> delegate,
                                               std::string host)
    : api_(VULReachabilityApi::defaultApi()), host_(std::move(host)), delegate_(std::move(delegate)) {}

std::shared_ptr<VULReachabilityChecker> VULReachabilityChecker::initWithReachabilityDelegate(
    std::weak_ptr<VULReachabilityDelegate> delegate, std::string_view host) {
  std::string name = hostOf(host);
  if (name.empty()) {
    logReachability(VULLoggerLevelError, 902001, "Invalid host specified");
    return nullptr;
  }
  return std::make_shared<VULReachabilityChecker>(Token{}, std::move(delegate), std::move(name));
}

VULReachabilityChecker::~VULReachabilityChecker() {
  delegate_.reset();
  stop();
}

bool VULReachabilityChecker::start() {
  if (!reachability_) {
    VULReachabilityHandle handle = api_.createWithNameFn(host_);
    if (!handle) return false;
    std::weak_ptr<VULReachabilityChecker> weakSelf = weak_from_this();
    const bool ok = api_.setCallbackFn(handle, [weakSelf](platform::NetworkReachabilityFlags flags) {
                      if (auto self = weakSelf.lock()) self->reachabilityFlagsChanged(flags);
                    }) &&
                    api_.scheduleWithRunLoopFn(handle);
    if (!ok) {
      api_.releaseFn(handle);
      logReachability(VULLoggerLevelError, 902002, "Failed to start reachability handle");
      return false;
    }
    reachability_ = handle;
    // The first status, as the platform's service reports it once after scheduling.
    platform::DispatchQueue::main()->async([weakSelf, weakHandle = std::weak_ptr(handle)] {
      auto self = weakSelf.lock();
      auto current = weakHandle.lock();
      platform::NetworkReachabilityFlags flags = 0;
      if (self && current && self->reachability_ == current && current->getFlags(flags)) {
        self->reachabilityFlagsChanged(flags);
      }
    });
  }
  logReachability(VULLoggerLevelDebug, 902003, "Monitoring the network status");
  return true;
}

void VULReachabilityChecker::stop() {
  if (!reachability_) return;
  status_ = kVULReachabilityUnknown;
  api_.unscheduleFromRunLoopFn(reachability_);
  api_.releaseFn(reachability_);
  reachability_.reset();
}

void VULReachabilityChecker::setReachabilityApi(VULReachabilityApi api) {
  if (reachability_) {
    logReachability(VULLoggerLevelError, 902000,
                    "Cannot change reachability API while reachability is running. Call stop first.");
    return;
  }
  api_ = std::move(api);
}

VULReachabilityStatus VULReachabilityChecker::statusForFlags(platform::NetworkReachabilityFlags flags) {
  const bool cellular = flags & Flag::kIsWWAN;
  const VULReachabilityStatus connected = cellular ? kVULReachabilityViaCellular : kVULReachabilityViaWifi;
  if (!(flags & Flag::kReachable)) return kVULReachabilityNotReachable;
  if (!(flags & Flag::kConnectionRequired)) return connected;
  if (!(flags & (Flag::kConnectionOnTraffic | Flag::kConnectionOnDemand))) return kVULReachabilityNotReachable;
  return (flags & Flag::kInterventionRequired) ? kVULReachabilityNotReachable : connected;
}

void VULReachabilityChecker::reachabilityFlagsChanged(platform::NetworkReachabilityFlags flags) {
  const VULReachabilityStatus status = statusForFlags(flags);
  if (status == status_) return;
  VULLoggerLog(VULLoggerLevelDebug, kVULReachabilityService, false, platform::format("I-REA%06ld", 902004L),
               "Network status has changed. Code:%@, status:%@", static_cast<std::int64_t>(status),
               std::string(VULReachabilityStatusName(status)));
  status_ = status;
  if (auto delegate = delegate_.lock()) delegate->reachabilityStatusChanged(*this, status);
}
