#include "sdk/transport/cct/vdtcct_messages.h"

#include <pb.h>
#include <pb_decode.h>
#include <pb_encode.h>
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
#include "sdk/transport/cct/vdtcct_event_support.h"

// ---- Field tables ----
// Scalars and sub-messages of the request and response carry presence flags; the client metrics
// have none (a zero scalar is not written). Text, payloads and repeated parts are callbacks.

namespace {

struct CctNetworkConnectionInfo {
  bool has_network_type;
  int32_t network_type;
  bool has_mobile_subtype;
  uint32_t mobile_subtype;
};
#define CctNetworkConnectionInfo_FIELDLIST(X, a)             \
  X(a, STATIC, OPTIONAL, INT32, network_type, 1)             \
  X(a, STATIC, OPTIONAL, UINT32, mobile_subtype, 2)
#define CctNetworkConnectionInfo_CALLBACK NULL
#define CctNetworkConnectionInfo_DEFAULT NULL

struct CctLogEvent {
  bool has_event_time_ms;
  int64_t event_time_ms;
  pb_callback_t source_extension;
  bool has_event_code;
  int32_t event_code;
  bool has_timezone_offset_seconds;
  int64_t timezone_offset_seconds;
  bool has_event_uptime_ms;
  int64_t event_uptime_ms;
  bool has_network_connection_info;
  CctNetworkConnectionInfo network_connection_info;
};
#define CctLogEvent_FIELDLIST(X, a)                                     \
  X(a, STATIC, OPTIONAL, INT64, event_time_ms, 1)                       \
  X(a, CALLBACK, OPTIONAL, BYTES, source_extension, 6)                  \
  X(a, STATIC, OPTIONAL, INT32, event_code, 11)                         \
  X(a, STATIC, OPTIONAL, SINT64, timezone_offset_seconds, 15)           \
  X(a, STATIC, OPTIONAL, INT64, event_uptime_ms, 17)                    \
  X(a, STATIC, OPTIONAL, MESSAGE, network_connection_info, 23)
#define CctLogEvent_CALLBACK pb_default_field_callback
#define CctLogEvent_DEFAULT NULL
#define CctLogEvent_network_connection_info_MSGTYPE CctNetworkConnectionInfo

struct CctIosClientInfo {
  pb_callback_t os_major_version;
  pb_callback_t os_full_version;
  pb_callback_t application_build;
  pb_callback_t country;
  pb_callback_t model;
  pb_callback_t language_code;
  pb_callback_t application_bundle_id;
};
#define CctIosClientInfo_FIELDLIST(X, a)                     \
  X(a, CALLBACK, OPTIONAL, BYTES, os_major_version, 3)       \
  X(a, CALLBACK, OPTIONAL, BYTES, os_full_version, 4)        \
  X(a, CALLBACK, OPTIONAL, BYTES, application_build, 5)      \
  X(a, CALLBACK, OPTIONAL, BYTES, country, 6)                \
  X(a, CALLBACK, OPTIONAL, BYTES, model, 7)                  \
  X(a, CALLBACK, OPTIONAL, BYTES, language_code, 8)          \
  X(a, CALLBACK, OPTIONAL, BYTES, application_bundle_id, 11)
#define CctIosClientInfo_CALLBACK pb_default_field_callback
#define CctIosClientInfo_DEFAULT NULL

struct CctClientInfo {
  bool has_client_type;
  uint32_t client_type;
  bool has_ios_client_info;
  CctIosClientInfo ios_client_info;
};
#define CctClientInfo_FIELDLIST(X, a)                    \
  X(a, STATIC, OPTIONAL, UINT32, client_type, 1)         \
  X(a, STATIC, OPTIONAL, MESSAGE, ios_client_info, 4)
#define CctClientInfo_CALLBACK NULL
#define CctClientInfo_DEFAULT NULL
#define CctClientInfo_ios_client_info_MSGTYPE CctIosClientInfo

struct CctLogRequest {
  bool has_client_info;
  CctClientInfo client_info;
  bool has_log_source;
  int32_t log_source;
  pb_callback_t log_event;
  bool has_request_time_ms;
  int64_t request_time_ms;
  bool has_request_uptime;
  int64_t request_uptime;
  bool has_qos_tier;
  uint32_t qos_tier;
};
#define CctLogRequest_FIELDLIST(X, a)                     \
  X(a, STATIC, OPTIONAL, MESSAGE, client_info, 1)         \
  X(a, STATIC, OPTIONAL, INT32, log_source, 2)            \
  X(a, CALLBACK, REPEATED, MESSAGE, log_event, 3)         \
  X(a, STATIC, OPTIONAL, INT64, request_time_ms, 4)       \
  X(a, STATIC, OPTIONAL, INT64, request_uptime, 8)        \
  X(a, STATIC, OPTIONAL, UINT32, qos_tier, 9)
#define CctLogRequest_CALLBACK pb_default_field_callback
#define CctLogRequest_DEFAULT NULL
#define CctLogRequest_client_info_MSGTYPE CctClientInfo
#define CctLogRequest_log_event_MSGTYPE CctLogEvent

struct CctBatchedLogRequest {
  pb_callback_t log_request;
};
#define CctBatchedLogRequest_FIELDLIST(X, a) X(a, CALLBACK, REPEATED, MESSAGE, log_request, 1)
#define CctBatchedLogRequest_CALLBACK pb_default_field_callback
#define CctBatchedLogRequest_DEFAULT NULL
#define CctBatchedLogRequest_log_request_MSGTYPE CctLogRequest

struct CctQosTierConfiguration {
  bool has_qos_tier;
  uint32_t qos_tier;
  bool has_log_source;
  int32_t log_source;
};
#define CctQosTierConfiguration_FIELDLIST(X, a)        \
  X(a, STATIC, OPTIONAL, UINT32, qos_tier, 2)          \
  X(a, STATIC, OPTIONAL, INT32, log_source, 3)
#define CctQosTierConfiguration_CALLBACK NULL
#define CctQosTierConfiguration_DEFAULT NULL

struct CctQosTierOverrides {
  pb_callback_t qos_tier_configuration;
  bool has_qos_tier_fingerprint;
  int64_t qos_tier_fingerprint;
};
#define CctQosTierOverrides_FIELDLIST(X, a)                         \
  X(a, CALLBACK, REPEATED, MESSAGE, qos_tier_configuration, 1)      \
  X(a, STATIC, OPTIONAL, INT64, qos_tier_fingerprint, 2)
#define CctQosTierOverrides_CALLBACK pb_default_field_callback
#define CctQosTierOverrides_DEFAULT NULL
#define CctQosTierOverrides_qos_tier_configuration_MSGTYPE CctQosTierConfiguration

struct CctLogResponse {
  bool has_next_request_wait_millis;
  int64_t next_request_wait_millis;
  bool has_qos_tier;
  CctQosTierOverrides qos_tier;
};
#define CctLogResponse_FIELDLIST(X, a)                          \
  X(a, STATIC, OPTIONAL, INT64, next_request_wait_millis, 1)    \
  X(a, STATIC, OPTIONAL, MESSAGE, qos_tier, 3)
#define CctLogResponse_CALLBACK NULL
#define CctLogResponse_DEFAULT NULL
#define CctLogResponse_qos_tier_MSGTYPE CctQosTierOverrides

struct CctTimeWindow {
  int64_t start_ms;
  int64_t end_ms;
};
#define CctTimeWindow_FIELDLIST(X, a)        \
  X(a, STATIC, SINGULAR, INT64, start_ms, 1) \
  X(a, STATIC, SINGULAR, INT64, end_ms, 2)
#define CctTimeWindow_CALLBACK NULL
#define CctTimeWindow_DEFAULT NULL

struct CctLogEventDropped {
  int64_t events_dropped_count;
  uint32_t reason;
};
#define CctLogEventDropped_FIELDLIST(X, a)                    \
  X(a, STATIC, SINGULAR, INT64, events_dropped_count, 1)      \
  X(a, STATIC, SINGULAR, UINT32, reason, 3)
#define CctLogEventDropped_CALLBACK NULL
#define CctLogEventDropped_DEFAULT NULL

struct CctLogSourceMetrics {
  pb_callback_t log_source;
  pb_callback_t log_event_dropped;
};
#define CctLogSourceMetrics_FIELDLIST(X, a)                     \
  X(a, CALLBACK, SINGULAR, BYTES, log_source, 1)                \
  X(a, CALLBACK, REPEATED, MESSAGE, log_event_dropped, 2)
#define CctLogSourceMetrics_CALLBACK pb_default_field_callback
#define CctLogSourceMetrics_DEFAULT NULL
#define CctLogSourceMetrics_log_event_dropped_MSGTYPE CctLogEventDropped

struct CctStorageMetrics {
  int64_t current_cache_size_bytes;
  int64_t max_cache_size_bytes;
};
#define CctStorageMetrics_FIELDLIST(X, a)                        \
  X(a, STATIC, SINGULAR, INT64, current_cache_size_bytes, 1)     \
  X(a, STATIC, SINGULAR, INT64, max_cache_size_bytes, 2)
#define CctStorageMetrics_CALLBACK NULL
#define CctStorageMetrics_DEFAULT NULL

struct CctGlobalMetrics {
  CctStorageMetrics storage_metrics;
};
#define CctGlobalMetrics_FIELDLIST(X, a) X(a, STATIC, SINGULAR, MESSAGE, storage_metrics, 1)
#define CctGlobalMetrics_CALLBACK NULL
#define CctGlobalMetrics_DEFAULT NULL
#define CctGlobalMetrics_storage_metrics_MSGTYPE CctStorageMetrics

struct CctClientMetrics {
  CctTimeWindow window;
  pb_callback_t log_source_metrics;
  CctGlobalMetrics global_metrics;
  pb_callback_t app_namespace;
};
#define CctClientMetrics_FIELDLIST(X, a)                              \
  X(a, STATIC, SINGULAR, MESSAGE, window, 1)                          \
  X(a, CALLBACK, REPEATED, MESSAGE, log_source_metrics, 2)            \
  X(a, STATIC, SINGULAR, MESSAGE, global_metrics, 3)                  \
  X(a, CALLBACK, SINGULAR, BYTES, app_namespace, 4)
#define CctClientMetrics_CALLBACK pb_default_field_callback
#define CctClientMetrics_DEFAULT NULL
#define CctClientMetrics_window_MSGTYPE CctTimeWindow
#define CctClientMetrics_global_metrics_MSGTYPE CctGlobalMetrics
#define CctClientMetrics_log_source_metrics_MSGTYPE CctLogSourceMetrics

}  // namespace

PB_BIND(CctNetworkConnectionInfo, CctNetworkConnectionInfo, AUTO)
PB_BIND(CctLogEvent, CctLogEvent, AUTO)
PB_BIND(CctIosClientInfo, CctIosClientInfo, AUTO)
PB_BIND(CctClientInfo, CctClientInfo, AUTO)
PB_BIND(CctLogRequest, CctLogRequest, AUTO)
PB_BIND(CctBatchedLogRequest, CctBatchedLogRequest, AUTO)
PB_BIND(CctQosTierConfiguration, CctQosTierConfiguration, AUTO)
PB_BIND(CctQosTierOverrides, CctQosTierOverrides, AUTO)
PB_BIND(CctLogResponse, CctLogResponse, AUTO)
PB_BIND(CctTimeWindow, CctTimeWindow, AUTO)
PB_BIND(CctLogEventDropped, CctLogEventDropped, AUTO)
PB_BIND(CctLogSourceMetrics, CctLogSourceMetrics, AUTO)
PB_BIND(CctStorageMetrics, CctStorageMetrics, AUTO)
PB_BIND(CctGlobalMetrics, CctGlobalMetrics, AUTO)
PB_BIND(CctClientMetrics, CctClientMetrics, AUTO)

#define CctNetworkConnectionInfo_fields &CctNetworkConnectionInfo_msg
#define CctLogEvent_fields &CctLogEvent_msg
#define CctIosClientInfo_fields &CctIosClientInfo_msg
#define CctClientInfo_fields &CctClientInfo_msg
#define CctLogRequest_fields &CctLogRequest_msg
#define CctBatchedLogRequest_fields &CctBatchedLogRequest_msg
#define CctQosTierConfiguration_fields &CctQosTierConfiguration_msg
#define CctQosTierOverrides_fields &CctQosTierOverrides_msg
#define CctLogResponse_fields &CctLogResponse_msg
#define CctTimeWindow_fields &CctTimeWindow_msg
#define CctLogEventDropped_fields &CctLogEventDropped_msg
#define CctLogSourceMetrics_fields &CctLogSourceMetrics_msg
#define CctStorageMetrics_fields &CctStorageMetrics_msg
#define CctGlobalMetrics_fields &CctGlobalMetrics_msg
#define CctClientMetrics_fields &CctClientMetrics_msg

namespace {

const char* streamError(const pb_ostream_t& stream) { return stream.errmsg ? stream.errmsg : "(none)"; }

// ---- Encoding callbacks ----

bool encodeBytes(pb_ostream_t* stream, const pb_field_t* field, const std::uint8_t* bytes, std::size_t size) {
  return pb_encode_tag_for_field(stream, field) && pb_encode_string(stream, bytes, size);
}

bool encodeString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* text = static_cast<const std::string*>(*arg);
  return encodeBytes(stream, field, reinterpret_cast<const std::uint8_t*>(text->data()), text->size());
}

bool encodePayload(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* event = static_cast<const VDTCOREvent*>(*arg);
  const auto& bytes = event->serializedDataObjectBytes();
  static const std::uint8_t kNone = 0;
  return bytes ? encodeBytes(stream, field, bytes->data(), bytes->size()) : encodeBytes(stream, field, &kNone, 0);
}

void setString(pb_callback_t& callback, const std::optional<std::string>& value) {
  if (!value) return;
  callback.funcs.encode = &encodeString;
  callback.arg = const_cast<std::string*>(&*value);
}

CctLogEvent logEventFor(const VDTCOREvent& event) {
  CctLogEvent message{};
  const auto& clock = event.clockSnapshot();
  message.has_event_time_ms = true;
  message.event_time_ms = clock ? clock->timeMillis() : 0;
  message.source_extension.funcs.encode = &encodePayload;
  message.source_extension.arg = const_cast<VDTCOREvent*>(&event);
  if (auto code = VDTCCTSupport::eventCode(event)) {
    message.has_event_code = true;
    message.event_code = static_cast<int32_t>(*code);
  }
  message.has_timezone_offset_seconds = true;
  message.timezone_offset_seconds = clock ? clock->timezoneOffsetSeconds() : 0;
  message.has_event_uptime_ms = true;
  message.event_uptime_ms = clock ? clock->uptimeMilliseconds() : 0;
  if (auto record = VDTCCTSupport::networkConnectionInfoData(event)) {
    const auto info = VDTCCTNetworkConnectionInfo::fromRecord(*record);
    message.has_network_connection_info = true;
    message.network_connection_info = {info.hasNetworkType, info.networkType, info.hasMobileSubtype,
                                       info.mobileSubtype};
  }
  return message;
}

bool encodeLogEvents(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* events = static_cast<const std::vector<std::shared_ptr<VDTCOREvent>>*>(*arg);
  for (const auto& event : *events) {
    const CctLogEvent message = logEventFor(*event);
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, CctLogEvent_fields, &message)) {
      return false;
    }
  }
  return true;
}

struct BatchContext {
  const std::vector<VDTCCTLogRequestInput>* requests;
  const VDTCCTIosClientInfo* clientInfo;
  std::vector<std::shared_ptr<VDTCORClock>> clocks;  // one per request
};

bool encodeLogRequests(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  auto* context = static_cast<BatchContext*>(*arg);
  const VDTCCTIosClientInfo& info = *context->clientInfo;
  for (std::size_t i = 0; i < context->requests->size(); ++i) {
    const VDTCCTLogRequestInput& input = (*context->requests)[i];
    CctLogRequest message{};
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
    message.log_source = static_cast<int32_t>(std::atoi(input.mappingID.c_str()));
    message.log_event.funcs.encode = &encodeLogEvents;
    message.log_event.arg = const_cast<std::vector<std::shared_ptr<VDTCOREvent>>*>(&input.events);
    const auto& clock = context->clocks[i];
    message.has_request_time_ms = true;
    message.request_time_ms = clock->timeMillis();
    message.has_request_uptime = true;
    message.request_uptime = clock->uptimeMilliseconds();
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, CctLogRequest_fields, &message)) {
      return false;
    }
  }
  return true;
}

// Sizes the message, then writes it into data of exactly that size. The second pass's failure is
// logged with `bytesFailure`; the data is cut to what was written.
platform::Data encodeMessage(const pb_msgdesc_t* fields, const void* message, std::int64_t code,
                             std::string_view bytesFailure) {
  std::size_t size = 0;
  {
    pb_ostream_t sizing = PB_OSTREAM_SIZING;
    if (!pb_encode(&sizing, fields, message)) {
      VDTCORLog(code, kVDTCORLogLevelError, "Error in nanopb encoding for size: %s", streamError(sizing));
    }
    size = sizing.bytes_written;
  }
  platform::Data data(size);
  pb_ostream_t stream = pb_ostream_from_buffer(data.data(), data.size());
  if (!pb_encode(&stream, fields, message)) {
    VDTCORLog(code, kVDTCORLogLevelError, bytesFailure, streamError(stream));
  }
  data.resize(stream.bytes_written);
  return data;
}

// ---- Client metrics ----

bool encodeDropped(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* counts = static_cast<const VDTCORLogSourceMetrics::ReasonCounts*>(*arg);
  for (const auto& [reason, count] : *counts) {
    CctLogEventDropped message{};
    message.events_dropped_count = count;
    message.reason = reason >= 1 && reason <= 6 ? static_cast<uint32_t>(reason) : 0;
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, CctLogEventDropped_fields, &message)) {
      return false;
    }
  }
  return true;
}

bool encodeLogSourceMetrics(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* counter = static_cast<const VDTCORLogSourceMetrics::Counter*>(*arg);
  for (const auto& [logSource, counts] : *counter) {
    CctLogSourceMetrics message{};
    message.log_source.funcs.encode = &encodeString;
    message.log_source.arg = const_cast<std::string*>(&logSource);
    message.log_event_dropped.funcs.encode = &encodeDropped;
    message.log_event_dropped.arg = const_cast<VDTCORLogSourceMetrics::ReasonCounts*>(&counts);
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, CctLogSourceMetrics_fields, &message)) {
      return false;
    }
  }
  return true;
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
  BatchContext context{&requests, &clientInfo, {}};
  for (std::size_t i = 0; i < requests.size(); ++i) {
    context.clocks.push_back(requestClock ? requestClock : VDTCORClock::snapshot());
  }
  CctBatchedLogRequest message{};
  message.log_request.funcs.encode = &encodeLogRequests;
  message.log_request.arg = &context;
  return encodeMessage(CctBatchedLogRequest_fields, &message, kVDTCORMessageCodeAssertion,
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
  pb_istream_t stream = pb_istream_from_buffer(data.data(), data.size());
  if (!pb_decode(&stream, CctLogResponse_fields, &message)) {
    platform::Value::Dictionary info;
    info["nanopb error:"] = std::string(stream.errmsg ? stream.errmsg : "(none)");
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
  if (!counter.empty()) {
    message.log_source_metrics.funcs.encode = &encodeLogSourceMetrics;
    message.log_source_metrics.arg = const_cast<VDTCORLogSourceMetrics::Counter*>(&counter);
  }
  message.global_metrics.storage_metrics.current_cache_size_bytes = static_cast<int64_t>(metrics.currentCacheSize());
  message.global_metrics.storage_metrics.max_cache_size_bytes = static_cast<int64_t>(metrics.maxCacheSize());
  message.app_namespace.funcs.encode = &encodeString;
  message.app_namespace.arg = const_cast<std::string*>(&metrics.bundleID());
  return encodeMessage(CctClientMetrics_fields, &message, kVDTCORMessageCodeEncoding,
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
