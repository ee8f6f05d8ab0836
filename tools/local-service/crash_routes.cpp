#include "tools/local-service/crash_routes.h"

#include <atomic>

#include "tools/local-service/local_service.h"

namespace local_service {

std::string crashSettingsPath(std::string_view platform, std::string_view appID) {
  return std::string(kCrashSettingsPathPrefix) + std::string(platform) + "/vmp/" + std::string(appID) + "/settings";
}

std::string crashSettingsDefaultBody() {
  return R"({"settings_version":3,"cache_duration":86400,)"
         R"("features":{"collect_reports":true,"collect_logged_exceptions":true,"collect_metric_kit":false},)"
         R"("app":{"status":"activated","update_required":false},)"
         R"("session":{"log_buffer_size":64000,"max_custom_exception_events":8,"max_custom_key_value_pairs":64},)"
         R"("on_demand_upload_rate_per_minute":10,"on_demand_backoff_base":1.5,)"
         R"("on_demand_backoff_step_duration_seconds":6})";
}

void addCrashRoutes(LocalService& service) {
  service.addRoute("GET", std::string(kCrashSettingsPathPrefix) + "*", [](const RecordedRequest& request) {
    const std::string_view path(request.path);
    if (!path.ends_with("/settings") || path.find("/vmp/") == std::string_view::npos) return Answer::withStatus(404);
    static std::atomic<long> served{0};
    Answer answer;
    answer.contentType = "application/json; charset=utf-8";
    answer.body = crashSettingsDefaultBody();
    // A request ID is how a developer matches a client's failure log to the server's.
    answer.headers.emplace_back("X-Request-Id", request.header("X-Request-Id").value_or(
                                                    "local-settings-" + std::to_string(++served)));
    return answer;
  });
}

}  // namespace local_service
