// The measurement service's configuration and experiment endpoints.
//
// POST "/sdk-exp": the experiment request (gzip body). Answers 200 with a gzip-compressed
// experiment response and no content-encoding header, as the real service does: an empty one
// unless a test queues an answer made by `experimentAnswer`.
// GET "/config/app/<app id>": the configuration stored for that app with an ETag (else the one
// made from the fixture, when one is set, for whichever app asks); 304 when the request's
// If-None-Match names the ETag (or, without one, If-Modified-Since gives its Last-Modified); 404 for an app with none. Other statuses (429, 503) are scripted
// with the service's answers.
// POST "/a": the measurement upload, a gzip-compressed batch of bundles; answers 204 and prints
// each bundle's events and user properties.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
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
inline constexpr std::string_view kMeasurementUploadPath = "/a";
inline constexpr std::string_view kMeasurementConfigLastModified = "Tue, 01 Dec 2026 00:00:00 GMT";

// Configurations served by app ID, each the encoded message and its ETag.
class MeasurementConfigs {
 public:
  void set(const std::string& appID, std::string encodedConfig, std::string etag);
  void remove(const std::string& appID);
  bool find(const std::string& appID, std::string& encodedConfig, std::string& etag) const;
  // The readable fixture (tools/local-service/fixtures) served to apps without a configuration of
  // their own; false with `error` set when it does not convert.
  bool setFixture(std::string json, std::string& error);

 private:
  mutable platform::Mutex mutex_;
  std::map<std::string, std::pair<std::string, std::string>> byAppID_ GUARDED_BY(mutex_);
  std::string fixture_ GUARDED_BY(mutex_);
};

// What the service read of one uploaded bundle.
struct UploadedMeasurementEvent {
  std::string name;
  std::int64_t timestampMillis = 0;
  std::map<std::string, std::string> params;  // values as text; strings quoted
};
struct UploadedMeasurementBundle {
  std::string appID;
  std::string appInstanceID;
  std::string consentSignals;
  std::int64_t uploadTimestampMillis = 0;
  std::vector<UploadedMeasurementEvent> events;
  std::map<std::string, std::string> userProperties;
};

// The bundles of a measurement batch; none with `error` set when the bytes are not one.
std::optional<std::vector<UploadedMeasurementBundle>> decodeMeasurementBatch(std::string_view body,
                                                                             std::string& error);
std::string describeMeasurementBatch(const std::vector<UploadedMeasurementBundle>& bundles);

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
