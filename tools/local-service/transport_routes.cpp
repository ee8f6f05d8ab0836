#include "tools/local-service/transport_routes.h"

#include <sstream>

#include "sdk/transport/cct/cct_messages.pb.h"
#include "sdk/utilities/wire/wire_codec.h"
#include "tools/local-service/crash_report.h"
#include "tools/local-service/local_service.h"
#include "tools/local-service/wire_format.h"

namespace local_service {

namespace {

void prepareEvent(CctLogEvent& message, UploadedEvent& event) {
  message.source_extension = wire::bytesInto(event.payload);
}

void finishEvent(const CctLogEvent& message, UploadedEvent& event) {
  event.eventTimeMs = message.event_time_ms;
  if (message.has_event_code) event.eventCode = message.event_code;
  event.timezoneOffsetSeconds = message.timezone_offset_seconds;
  event.uptimeMs = message.event_uptime_ms;
  if (message.has_network_connection_info) {
    const CctNetworkConnectionInfo& info = message.network_connection_info;
    UploadedNetworkConnectionInfo& uploaded = event.networkConnectionInfo.emplace();
    if (info.has_network_type) uploaded.networkType = info.network_type;
    if (info.has_mobile_subtype) uploaded.mobileSubtype = info.mobile_subtype;
  }
}

void prepareLogRequest(CctLogRequest& message, UploadedLogRequest& request) {
  CctIosClientInfo& ios = message.client_info.ios_client_info;
  UploadedClientInfo& info = request.clientInfo;
  ios.os_major_version = wire::bytesInto(info.osMajorVersion);
  ios.os_full_version = wire::bytesInto(info.osFullVersion);
  ios.application_build = wire::bytesInto(info.applicationBuild);
  ios.country = wire::bytesInto(info.country);
  ios.model = wire::bytesInto(info.model);
  ios.language_code = wire::bytesInto(info.languageCode);
  ios.application_bundle_id = wire::bytesInto(info.applicationBundleID);
  message.log_event = wire::messagesInto<&prepareEvent, &finishEvent>(request.events);
}

void finishLogRequest(const CctLogRequest& message, UploadedLogRequest& request) {
  request.logSource = message.log_source;
  request.clientType = message.client_info.client_type;
  request.requestTimeMs = message.request_time_ms;
  request.requestUptimeMs = message.request_uptime;
  // The log source may follow its events on the wire, so payloads are read once both are known.
  if (request.logSource != kDiagnosticsLogSource) return;
  for (UploadedEvent& event : request.events) {
    event.diagnosticsRecord = decodeDiagnosticsRecord(event.payload, event.payloadError);
  }
}

}  // namespace

std::optional<std::vector<UploadedLogRequest>> decodeBatchedLogRequest(std::string_view body, std::string& error) {
  std::vector<UploadedLogRequest> requests;
  CctBatchedLogRequest message{};
  message.log_request = wire::messagesInto<&prepareLogRequest, &finishLogRequest>(requests);
  if (const char* failure = wire::decode(&CctBatchedLogRequest_msg, body, &message)) {
    error = std::string("not a batched log request: ") + failure;
    return std::nullopt;
  }
  return requests;
}

std::string describeBatchedLogRequest(const std::vector<UploadedLogRequest>& requests) {
  std::ostringstream out;
  for (const auto& request : requests) {
    out << "log source " << request.logSource << ", " << request.events.size() << " events, request time "
        << request.requestTimeMs << " ms, uptime " << request.requestUptimeMs << " ms, client " << request.clientType;
    const UploadedClientInfo& info = request.clientInfo;
    for (const auto* value : {&info.osMajorVersion, &info.osFullVersion, &info.applicationBuild, &info.country,
                              &info.model, &info.languageCode, &info.applicationBundleID}) {
      if (*value) out << " " << printableBytes(**value, 40);
    }
    out << "\n";
    for (const auto& event : request.events) {
      out << "  event at " << event.eventTimeMs << " ms (uptime " << event.uptimeMs << " ms, zone "
          << event.timezoneOffsetSeconds << " s)";
      if (event.eventCode) out << " code " << *event.eventCode;
      if (event.networkConnectionInfo) out << " network info";
      if (event.diagnosticsRecord) {
        out << ": diagnostics record\n    " << describeDiagnosticsRecord(*event.diagnosticsRecord) << "\n";
      } else if (!event.payloadError.empty()) {
        out << ": undecodable payload (" << event.payloadError << "): " << printableBytes(event.payload) << "\n";
      } else {
        out << ": " << printableBytes(event.payload) << "\n";
      }
    }
  }
  return out.str();
}

std::string transportResponseBody(std::optional<std::int64_t> nextRequestWaitMillis) {
  CctLogResponse message{};
  message.has_next_request_wait_millis = nextRequestWaitMillis.has_value();
  message.next_request_wait_millis = nextRequestWaitMillis.value_or(0);
  const wire::Encoded encoded = wire::encode(&CctLogResponse_msg, &message);
  return std::string(encoded.bytes.begin(), encoded.bytes.end());
}

void addTransportRoutes(LocalService& service) {
  for (const char* name : {"cct", "fll", "csh", "int"}) {
    service.addRoute(
        "POST", std::string(kTransportPathPrefix) + name,
        [](const RecordedRequest& request) {
          if (!request.decodeError.empty()) return Answer::withStatus(400);
          Answer answer;
          answer.contentType = "application/x-protobuf";
          answer.body = transportResponseBody(kTransportDefaultWaitMillis);
          return answer;
        },
        [isCrash = std::string_view(name) == "csh"](const RecordedRequest& request, std::string& error) {
          auto decoded = decodeBatchedLogRequest(request.decodedBody, error);
          if (!decoded) return std::string();
          std::string text = describeBatchedLogRequest(*decoded);
          // Crash events carry a report message: shown decoded, file by file.
          for (const auto& logRequest : isCrash ? *decoded : std::vector<UploadedLogRequest>{}) {
            for (const auto& event : logRequest.events) {
              std::string reportError;
              if (auto report = decodeCrashReport(event.payload, reportError)) text += describeCrashReport(*report);
            }
          }
          return text;
        });
  }
}

}  // namespace local_service
