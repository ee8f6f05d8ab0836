#include "tools/local-service/transport_routes.h"

#include <sstream>

#include "tools/local-service/crash_report.h"
#include "tools/local-service/local_service.h"
#include "tools/local-service/wire_format.h"

namespace local_service {

namespace {

bool decodeEvent(std::string_view bytes, UploadedEvent& event, std::string& error) {
  std::vector<WireField> fields;
  if (!readWireFields(bytes, fields, error)) return false;
  for (const WireField& f : fields) {
    switch (f.number) {
      case 1: event.eventTimeMs = static_cast<std::int64_t>(f.value); break;
      case 6: event.payload = std::string(f.bytes); break;
      case 11: event.eventCode = static_cast<std::int32_t>(f.value); break;
      case 15: event.timezoneOffsetSeconds = zigzagDecode(f.value); break;
      case 17: event.uptimeMs = static_cast<std::int64_t>(f.value); break;
      case 23: event.networkConnectionInfo = std::string(f.bytes); break;
      default: break;
    }
  }
  return true;
}

bool decodeLogRequest(std::string_view bytes, UploadedLogRequest& request, std::string& error) {
  std::vector<WireField> fields;
  if (!readWireFields(bytes, fields, error)) return false;
  for (const WireField& f : fields) {
    switch (f.number) {
      case 1: {
        std::vector<WireField> client;
        if (!readWireFields(f.bytes, client, error)) return false;
        for (const WireField& c : client) {
          if (c.number == 1) request.clientType = static_cast<std::int64_t>(c.value);
          if (c.number != 4) continue;
          std::vector<WireField> ios;
          if (!readWireFields(c.bytes, ios, error)) return false;
          for (const WireField& i : ios) request.iosClientInfo[i.number] = std::string(i.bytes);
        }
        break;
      }
      case 2: request.logSource = static_cast<std::int32_t>(f.value); break;
      case 3: {
        UploadedEvent event;
        if (!decodeEvent(f.bytes, event, error)) return false;
        request.events.push_back(std::move(event));
        break;
      }
      case 4: request.requestTimeMs = static_cast<std::int64_t>(f.value); break;
      case 8: request.requestUptimeMs = static_cast<std::int64_t>(f.value); break;
      default: break;
    }
  }
  return true;
}

}  // namespace

std::optional<std::vector<UploadedLogRequest>> decodeBatchedLogRequest(std::string_view body, std::string& error) {
  std::vector<WireField> fields;
  if (!readWireFields(body, fields, error)) return std::nullopt;
  std::vector<UploadedLogRequest> requests;
  for (const WireField& f : fields) {
    if (f.number != 1 || f.wireType != 2) continue;
    UploadedLogRequest request;
    if (!decodeLogRequest(f.bytes, request, error)) return std::nullopt;
    requests.push_back(std::move(request));
  }
  return requests;
}

std::string describeBatchedLogRequest(const std::vector<UploadedLogRequest>& requests) {
  std::ostringstream out;
  for (const auto& request : requests) {
    out << "log source " << request.logSource << ", " << request.events.size() << " events, request time "
        << request.requestTimeMs << " ms, uptime " << request.requestUptimeMs << " ms, client " << request.clientType;
    for (const auto& [field, value] : request.iosClientInfo) out << " [" << field << "]=" << printableBytes(value, 40);
    out << "\n";
    for (const auto& event : request.events) {
      out << "  event at " << event.eventTimeMs << " ms (uptime " << event.uptimeMs << " ms, zone "
          << event.timezoneOffsetSeconds << " s)";
      if (event.eventCode) out << " code " << *event.eventCode;
      if (event.networkConnectionInfo) out << " network info";
      out << ": " << printableBytes(event.payload) << "\n";
    }
  }
  return out.str();
}

std::string transportResponseBody(std::optional<std::int64_t> nextRequestWaitMillis) {
  std::string body;
  if (nextRequestWaitMillis) writeVarintField(body, 1, static_cast<std::uint64_t>(*nextRequestWaitMillis));
  return body;
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
