#include "tools/local-service/crash_routes.h"

#include "tools/local-service/local_service.h"

namespace local_service {

std::string crashSettingsPath(std::string_view platform, std::string_view appID) {
  return std::string(kCrashSettingsPathPrefix) + std::string(platform) + "/vmp/" + std::string(appID) + "/settings";
}

std::string crashSettingsDefaultBody() {
  return R"({"settings_version":3,"cache_duration":86400,)"
         R"("features":{"collect_reports":true,"collect_logged_exceptions":true,"collect_metric_kit":true},)"
         R"("app":{"status":"activated","update_required":false},)"
         R"("session":{"log_buffer_size":64000,"max_custom_exception_events":8,"max_custom_key_value_pairs":64},)"
         R"("on_demand_upload_rate_per_minute":10,"on_demand_backoff_base":1.5,)"
         R"("on_demand_backoff_step_duration_seconds":6})";
}

CrashSettingsReply CrashSettingsReply::document(std::string body) {
  CrashSettingsReply reply;
  reply.body = std::move(body);
  return reply;
}

CrashSettingsReply CrashSettingsReply::notFound() {
  CrashSettingsReply reply;
  reply.status = 404;
  reply.body = R"({"error":"app not found"})";
  return reply;
}

CrashSettingsReply CrashSettingsReply::serverError() {
  CrashSettingsReply reply;
  reply.status = 500;
  reply.body = R"({"error":"internal"})";
  return reply;
}

CrashSettingsReply CrashSettingsReply::unavailable(std::string retryAfter) {
  CrashSettingsReply reply;
  reply.status = 503;
  reply.body = R"({"error":"unavailable"})";
  reply.retryAfter = std::move(retryAfter);
  return reply;
}

CrashSettingsReply CrashSettingsReply::tooManyRequests() {
  CrashSettingsReply reply;
  reply.status = 429;
  reply.body = R"({"error":"slow down"})";
  return reply;
}

CrashSettingsReply CrashSettingsReply::html() {
  CrashSettingsReply reply;
  reply.contentType = "text/html";
  reply.body = "<html><body>maintenance</body></html>";
  return reply;
}

void CrashSettingsBackend::script(std::vector<CrashSettingsReply> replies) {
  platform::MutexLock lock(mutex_);
  for (auto& reply : replies) scripted_.push_back(std::move(reply));
}

void CrashSettingsBackend::setDocument(std::string body) {
  platform::MutexLock lock(mutex_);
  document_ = std::move(body);
}

std::size_t CrashSettingsBackend::requestCount() const {
  platform::MutexLock lock(mutex_);
  return requests_;
}

std::shared_ptr<CrashSettingsBackend> addCrashRoutes(LocalService& service) {
  auto backend = std::make_shared<CrashSettingsBackend>();
  service.addRoute("GET", std::string(kCrashSettingsPathPrefix) + "*", [backend](const RecordedRequest& request) {
    const std::string_view path(request.path);
    if (!path.ends_with("/settings") || path.find("/vmp/") == std::string_view::npos) return Answer::withStatus(404);
    CrashSettingsReply reply;
    std::size_t served = 0;
    {
      platform::MutexLock lock(backend->mutex_);
      served = ++backend->requests_;
      if (!backend->scripted_.empty()) {
        reply = std::move(backend->scripted_.front());
        backend->scripted_.pop_front();
      } else {
        reply = CrashSettingsReply::document(backend->document_);
      }
    }
    Answer answer = Answer::withStatus(reply.status);
    answer.contentType = reply.contentType;
    answer.body = std::move(reply.body);
    if (!reply.retryAfter.empty()) answer.headers.emplace_back("Retry-After", reply.retryAfter);
    // A request ID is how a developer matches a client's failure log to the server's.
    answer.headers.emplace_back("X-Request-Id",
                                request.header("X-Request-Id").value_or("local-settings-" + std::to_string(served)));
    return answer;
  });
  return backend;
}

}  // namespace local_service
