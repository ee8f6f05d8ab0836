// The event transport's backend: one upload path per target, answering with the log response
// (the next-request wait) and reading the batched log request it receives, both with the SDK's
// own message schema.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/local-service/core_diagnostics_record.h"

namespace local_service {

class LocalService;

// "/transport/cct", "/transport/fll", "/transport/csh": the targets' paths below the base URL.
inline constexpr std::string_view kTransportPathPrefix = "/transport/";
// What the backend asks of clients when no answer was scripted.
inline constexpr std::int64_t kTransportDefaultWaitMillis = 1000;

struct UploadedNetworkConnectionInfo {
  std::optional<std::int32_t> networkType;
  std::optional<std::uint32_t> mobileSubtype;
};

struct UploadedEvent {
  std::int64_t eventTimeMs = 0;
  std::string payload;
  std::optional<std::int64_t> eventCode;
  std::int64_t timezoneOffsetSeconds = 0;
  std::int64_t uptimeMs = 0;
  std::optional<UploadedNetworkConnectionInfo> networkConnectionInfo;
  // Events of the diagnostics log source: the record read from the payload, or why none could be.
  std::optional<DiagnosticsRecord> diagnosticsRecord;
  std::string payloadError;
};

// The device and application as the client described them; text is UTF-8.
struct UploadedClientInfo {
  std::optional<std::string> osMajorVersion;
  std::optional<std::string> osFullVersion;
  std::optional<std::string> applicationBuild;
  std::optional<std::string> country;
  std::optional<std::string> model;
  std::optional<std::string> languageCode;
  std::optional<std::string> applicationBundleID;
};

struct UploadedLogRequest {
  std::int64_t logSource = 0;
  std::int64_t clientType = 0;
  UploadedClientInfo clientInfo;
  std::int64_t requestTimeMs = 0;
  std::int64_t requestUptimeMs = 0;
  std::vector<UploadedEvent> events;
};

// A batched log request; none with `error` set when the bytes are not one. A payload the log
// source promises a schema for and that does not follow it leaves the request readable: only its
// event is marked (payloadError).
std::optional<std::vector<UploadedLogRequest>> decodeBatchedLogRequest(std::string_view body, std::string& error);
// Lines for people: one per log request and one per event.
std::string describeBatchedLogRequest(const std::vector<UploadedLogRequest>& requests);
// The log response: field 1 with the wait when given.
std::string transportResponseBody(std::optional<std::int64_t> nextRequestWaitMillis);

void addTransportRoutes(LocalService& service);

}  // namespace local_service
