// The crash reporter's backend: the settings endpoint
// "/spi/v2/platforms/<platform>/vmp/<app ID>/settings", answering GET with a settings document,
// or with the answers a test scripted (each once, in order). Every answer, scripted or not,
// echoes the request's "X-Request-Id" (or makes one up), as the backend does.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/thread_safety.h"

namespace local_service {

class LocalService;

inline constexpr std::string_view kCrashSettingsPathPrefix = "/spi/v2/platforms/";

// "/spi/v2/platforms/<platform>/vmp/<app ID>/settings"
std::string crashSettingsPath(std::string_view platform, std::string_view appID);
// What the backend serves when no answer was scripted.
std::string crashSettingsDefaultBody();

// One scripted answer of the settings endpoint.
struct CrashSettingsReply {
  int status = 200;
  std::string contentType = "application/json; charset=utf-8";
  std::string body;
  std::string retryAfter;  // the "Retry-After" header, when not empty

  static CrashSettingsReply document(std::string body);  // 200 with a settings document
  static CrashSettingsReply notFound();                   // 404: the app is not set up
  static CrashSettingsReply serverError();                // 500
  static CrashSettingsReply unavailable(std::string retryAfter);  // 503 with "Retry-After"
  static CrashSettingsReply tooManyRequests();            // 429 without "Retry-After"
  static CrashSettingsReply html();                       // 200, but a web page
};

class CrashSettingsBackend {
 public:
  void script(std::vector<CrashSettingsReply> replies) EXCLUDES(mutex_);
  // The document of unscripted answers (default: crashSettingsDefaultBody()).
  void setDocument(std::string body) EXCLUDES(mutex_);
  std::size_t requestCount() const EXCLUDES(mutex_);

 private:
  friend std::shared_ptr<CrashSettingsBackend> addCrashRoutes(LocalService& service);
  mutable platform::Mutex mutex_;
  std::deque<CrashSettingsReply> scripted_ GUARDED_BY(mutex_);
  std::string document_ GUARDED_BY(mutex_) = crashSettingsDefaultBody();
  std::size_t requests_ GUARDED_BY(mutex_) = 0;
};

std::shared_ptr<CrashSettingsBackend> addCrashRoutes(LocalService& service);

}  // namespace local_service
