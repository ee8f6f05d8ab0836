// The measurement service's configuration and experiment endpoints.
//
// POST "/sdk-exp": the experiment request (gzip body). Answers 200 with a gzip-compressed
// experiment response and no content-encoding header, as the real service does: an empty one
// unless a test queues an answer made by `experimentAnswer`.
// GET "/config/app/<app id>": the configuration stored for that app with an ETag; 304 when the
// request's If-None-Match names the stored ETag; 404 for an app with none. Other statuses
// (429, 503) are scripted with the service's answers.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/local-service/local_service.h"
#include "platform/foundation/thread_safety.h"

namespace local_service {

inline constexpr std::string_view kExperimentFetchPath = "/sdk-exp";
inline constexpr std::string_view kMeasurementConfigPrefix = "/config/app/";

// Configurations served by app ID, each the encoded message and its ETag.
class MeasurementConfigs {
 public:
  void set(const std::string& appID, std::string encodedConfig, std::string etag);
  void remove(const std::string& appID);
  bool find(const std::string& appID, std::string& encodedConfig, std::string& etag) const;

 private:
  mutable platform::Mutex mutex_;
  std::map<std::string, std::pair<std::string, std::string>> byAppID_ GUARDED_BY(mutex_);
};

// A snapshot of an experiment response: SDK name, experiments (ID -> int64 flags by name).
struct ExperimentSnapshot {
  std::string sdkName;
  std::map<int, std::map<std::string, long long>> experiments;
};

// The encoded experiment response carrying the snapshots in its field 1.
std::string experimentResponse(const std::vector<ExperimentSnapshot>& snapshots);
// An experiment response carrying per-SDK answers in its field 2: (SDK name, status, snapshot).
std::string experimentResponseWithSDKResponses(
    const std::vector<std::tuple<std::string, int, std::vector<ExperimentSnapshot>>>& responses);
// A 200 answer with the bytes gzip-compressed and no content-encoding header.
Answer experimentAnswer(std::string_view encodedResponse);

std::shared_ptr<MeasurementConfigs> addAnalyticsRoutes(LocalService& service);

}  // namespace local_service
