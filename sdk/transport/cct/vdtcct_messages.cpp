#include "sdk/transport/cct/vdtcct_messages.h"

#include <unicode/uloc.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <set>

#include "platform/foundation/bundle.h"
#include "platform/foundation/system_info.h"
#include "sdk/transport/core/vdtcor_clock.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_log_source_metrics.h"
#include "sdk/transport/core/vdtcor_metrics.h"
#include "sdk/transport/core/vdtcor_platform.h"
#include "sdk/transport/cct/cct_messages.pb.h"
#include "sdk/transport/cct/vdtcct_event_support.h"
#include "sdk/utilities/wire/wire_codec.h"

namespace {

void setString(pb_callback_t& callback, const std::optional<std::string>& value) {
  if (value) callback = wire::bytesField(*value);
}

void fillLogEvent(const std::shared_ptr<VDTCOREvent>& event, CctLogEvent& message) {
  const auto& clock = event->clockSnapshot();
  message.has_event_time_ms = true;
  message.event_time_ms = clock ? clock->timeMillis() : 0;
  const auto& bytes = event->serializedDataObjectBytes();
  message.source_extension = bytes ? wire::bytesField(*bytes) : wire::emptyBytesField();
  if (auto code = VDTCCTSupport::eventCode(*event)) {
    message.has_event_code = true;
    message.event_code = static_cast<int32_t>(*code);
  }
  message.has_timezone_offset_seconds = true;
  message.timezone_offset_seconds = clock ? clock->timezoneOffsetSeconds() : 0;
  message.has_event_uptime_ms = true;
  message.event_uptime_ms = clock ? clock->uptimeMilliseconds() : 0;
  if (auto record = VDTCCTSupport::networkConnectionInfoData(*event)) {
    const auto info = VDTCCTNetworkConnectionInfo::fromRecord(*record);
    message.has_network_connection_info = true;
    message.network_connection_info = {info.hasNetworkType, info.networkType, info.hasMobileSubtype,
                                       info.mobileSubtype};
  }
}

// What one log request is made of; the clock is the request's own snapshot.
struct LogRequestParts {
  const VDTCCTLogRequestInput* input;
  const VDTCCTIosClientInfo* clientInfo;
  std::shared_ptr<VDTCORClock> clock;
};

void fillLogRequest(const LogRequestParts& parts, CctLogRequest& message) {
  const VDTCCTIosClientInfo& info = *parts.clientInfo;
  message.has_client_info = true;
  message.client_info.has_client_type = true;
  message.client_info.client_type = kVDTCCTClientTypeIOS;
  message.client_info.has_ios_client_info = true;
  CctIosClientInfo& ios = message.client_info.ios_client_info;
  setString(ios.os_major_version, info.osMajorVersion);
  setString(ios.os_full_version, info.osFullVersion);
  setString(ios.application_build, info.applicationBuild);
  setString(ios.country, info.country);
  setString(ios.model, info.model);
  setString(ios.language_code, info.languageCode);
  setString(ios.application_bundle_id, info.applicationBundleID);
  message.has_log_source = true;
  message.log_source = static_cast<int32_t>(std::atoi(parts.input->mappingID.c_str()));
  message.log_event = wire::repeatedMessages<&fillLogEvent>(parts.input->events);
  message.has_request_time_ms = true;
  message.request_time_ms = parts.clock->timeMillis();
  message.has_request_uptime = true;
  message.request_uptime = parts.clock->uptimeMilliseconds();
}

// Sizes the message, then writes it into data of exactly that size. The second pass's failure is
// logged with `bytesFailure`; the data is cut to what was written.
platform::Data encodeMessage(const pb_msgdesc_t* fields, const void* message, std::int64_t code,
                             std::string_view bytesFailure) {
  wire::Encoded encoded = wire::encode(fields, message);
  if (encoded.sizingError) {
    VDTCORLog(code, kVDTCORLogLevelError, "Error in nanopb encoding for size: %s", encoded.sizingError);
  }
  if (encoded.writingError) VDTCORLog(code, kVDTCORLogLevelError, bytesFailure, encoded.writingError);
  return std::move(encoded.bytes);
}

// ---- Client metrics ----

void fillDropped(const std::pair<const VDTCOREventDropReason, std::int64_t>& entry, CctLogEventDropped& message) {
  const auto& [reason, count] = entry;
  message.events_dropped_count = count;
  message.reason = reason >= 1 && reason <= 6 ? static_cast<uint32_t>(reason) : 0;
}

void fillLogSourceMetrics(const std::pair<const std::string, VDTCORLogSourceMetrics::ReasonCounts>& entry,
                          CctLogSourceMetrics& message) {
  message.log_source = wire::bytesField(entry.first);
  message.log_event_dropped = wire::repeatedMessages<&fillDropped>(entry.second);
}

std::int64_t wholeSecondsInMillis(platform::Date date) {
  return static_cast<std::int64_t>(std::trunc(date.timeIntervalSince1970())) * 1000;
}

// The first localisation of the main bundle that matches the user's language, else English.
std::string preferredLocalization() {
  const auto bundle = platform::Bundle::main();
  std::set<std::string> localizations;
  std::error_code ec;
  if (bundle) {
    for (const auto& entry : std::filesystem::directory_iterator(bundle->bundlePath(), ec)) {
      if (entry.path().extension() == ".lproj" && entry.path().stem() != "Base") {
        localizations.insert(entry.path().stem().string());
      }
    }
  }
  char language[ULOC_LANG_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_getLanguage(uloc_getDefault(), language, sizeof language, &status);
  if (U_SUCCESS(status) && localizations.count(language)) return language;
  if (localizations.empty() || localizations.count("en")) return "en";
  return *localizations.begin();
}

}  // namespace

// ---- Public functions ----

VDTCCTIosClientInfo VDTCCTIosClientInfo::current() {
  VDTCCTIosClientInfo info;
  const std::string version = platform::SystemInfo::systemVersion();
  info.osFullVersion = version;
  info.osMajorVersion = version.substr(0, version.find('.'));
  if (auto bundle = platform::Bundle::main()) {
    const platform::Value build = bundle->objectForInfoDictionaryKey("CFBundleVersion");
    if (const auto* text = build.ifString()) info.applicationBuild = *text;
    if (auto identifier = bundle->bundleIdentifier(); !identifier.empty()) info.applicationBundleID = identifier;
  }
  char country[ULOC_COUNTRY_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = uloc_getCountry(uloc_getDefault(), country, sizeof country, &status);
  if (U_SUCCESS(status) && length > 0) info.country = std::string(country, length);
  info.model = VDTCORHardwareModel();
  info.languageCode = preferredLocalization();
  return info;
}

platform::Data VDTCCTEncodeBatchedLogRequest(const std::vector<VDTCCTLogRequestInput>& requests,
                                             const VDTCCTIosClientInfo& clientInfo,
                                             const std::shared_ptr<VDTCORClock>& requestClock) {
  std::vector<LogRequestParts> parts;
  parts.reserve(requests.size());
  for (const auto& input : requests) {
    parts.push_back({&input, &clientInfo, requestClock ? requestClock : VDTCORClock::snapshot()});
  }
  CctBatchedLogRequest message{};
  message.log_request = wire::repeatedMessages<&fillLogRequest>(parts);
  return encodeMessage(&CctBatchedLogRequest_msg, &message, kVDTCORMessageCodeAssertion,
                       "Error in nanopb encoding for bytes: %s");
}

platform::Data VDTCCTConstructBatchedLogRequest(const VDTCOREventSet& events) {
  if (events.empty()) {
    VDTCORLog(kVDTCORMessageCodeAssertion, kVDTCORLogLevelError, "%@",
              "An empty event set can't be serialized to proto.");
    return {};
  }
  std::map<std::string, std::vector<std::shared_ptr<VDTCOREvent>>> byMappingID;
  for (const auto& event : events) byMappingID[event->mappingID()].push_back(event);
  std::vector<VDTCCTLogRequestInput> requests;
  requests.reserve(byMappingID.size());
  for (auto& [mappingID, group] : byMappingID) requests.push_back({mappingID, std::move(group)});
  return VDTCCTEncodeBatchedLogRequest(requests, VDTCCTIosClientInfo::current());
}

std::optional<VDTCCTLogResponse> VDTCCTDecodeLogResponse(const platform::Data& data, platform::Error* error) {
  CctLogResponse message{};
  const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
  if (const char* failure = wire::decode(&CctLogResponse_msg, bytes, &message)) {
    platform::Value::Dictionary info;
    info["nanopb error:"] = std::string(failure);
    platform::setError(error, platform::Error(std::string(platform::kURLErrorDomain), -1, std::move(info)));
    return std::nullopt;
  }
  VDTCCTLogResponse response;
  if (message.has_next_request_wait_millis) response.nextRequestWaitMillis = message.next_request_wait_millis;
  return response;
}

platform::Data VDTCCTEncodeClientMetrics(const VDTCORMetrics& metrics) {
  CctClientMetrics message{};
  message.window.start_ms = wholeSecondsInMillis(metrics.collectionStartDate());
  message.window.end_ms = wholeSecondsInMillis(metrics.collectionEndDate());
  const auto& counter = metrics.logSourceMetrics()->droppedEventCounterByLogSource();
  if (!counter.empty()) message.log_source_metrics = wire::repeatedMessages<&fillLogSourceMetrics>(counter);
  message.global_metrics.storage_metrics.current_cache_size_bytes = static_cast<int64_t>(metrics.currentCacheSize());
  message.global_metrics.storage_metrics.max_cache_size_bytes = static_cast<int64_t>(metrics.maxCacheSize());
  message.app_namespace = wire::bytesField(metrics.bundleID());
  return encodeMessage(&CctClientMetrics_msg, &message, kVDTCORMessageCodeEncoding,
                       "Error in nanopb encoding for size: %s");
}

VDTCCTNetworkConnectionInfo VDTCCTNetworkConnectionInfo::fromRecord(const platform::Data& record) {
  // Read field by field rather than copied over a struct: the presence bytes may hold anything.
  std::uint8_t bytes[16] = {0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0, 0, 0, 0, 0};
  std::copy_n(record.begin(), std::min<std::size_t>(record.size(), sizeof bytes), bytes);
  const auto le32 = [&](int at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
  };
  VDTCCTNetworkConnectionInfo info;
  info.hasNetworkType = bytes[0] != 0;
  info.networkType = static_cast<std::int32_t>(le32(4));
  info.hasMobileSubtype = bytes[8] != 0;
  info.mobileSubtype = le32(12);
  return info;
}
