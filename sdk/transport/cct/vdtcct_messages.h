// The upload's wire messages: the batched log request built from a batch's events, the backend's
// log response, and the client metrics carried as the payload of the metrics event. Encoded and
// decoded with nanopb from the tables generated from cct_messages.proto; payload bytes are
// streamed from the events by callbacks, never copied into the message.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "sdk/transport/core/vdtcor_event.h"

class VDTCORClock;
class VDTCORMetrics;

inline constexpr std::int64_t kVDTCCTClientTypeIOS = 15;

// The device and application as the request describes them; absent values are not written.
struct VDTCCTIosClientInfo {
  std::optional<std::string> osMajorVersion;  // 3
  std::optional<std::string> osFullVersion;   // 4
  std::optional<std::string> applicationBuild;  // 5
  std::optional<std::string> country;         // 6
  std::optional<std::string> model;           // 7
  std::optional<std::string> languageCode;    // 8
  std::optional<std::string> applicationBundleID;  // 11

  // Read from the system, the main bundle and the locale now.
  static VDTCCTIosClientInfo current();
};

// One log request of the batch: the events of one mapping ID.
struct VDTCCTLogRequestInput {
  std::string mappingID;
  std::vector<std::shared_ptr<VDTCOREvent>> events;
};

// Encodes the batched request: per group, the client info given and `requestClock` (a snapshot
// taken after the events when null). Encoding failures are logged and give what the encoder
// produced, possibly nothing.
platform::Data VDTCCTEncodeBatchedLogRequest(const std::vector<VDTCCTLogRequestInput>& requests,
                                             const VDTCCTIosClientInfo& clientInfo,
                                             const std::shared_ptr<VDTCORClock>& requestClock = nullptr);

// Groups the events by mapping ID and encodes them with the client info read now. Empty data
// (after logging) for an empty set.
platform::Data VDTCCTConstructBatchedLogRequest(const VDTCOREventSet& events);

struct VDTCCTLogResponse {
  std::optional<std::int64_t> nextRequestWaitMillis;
};

// None, with an NSURLErrorDomain error of code -1 ("nanopb error:" in the user info), when the
// bytes are not a log response.
std::optional<VDTCCTLogResponse> VDTCCTDecodeLogResponse(const platform::Data& data, platform::Error* error);

// The encoded client metrics.
platform::Data VDTCCTEncodeClientMetrics(const VDTCORMetrics& metrics);

// The 16-byte network-information record as the event record holds it: presence of field 1, field
// 1 (little-endian, -1 before the copy), presence of field 2, field 2. At most 16 bytes of the
// data are used; shorter data leaves the rest as it was.
struct VDTCCTNetworkConnectionInfo {
  bool hasNetworkType = false;
  std::int32_t networkType = -1;
  bool hasMobileSubtype = false;
  std::uint32_t mobileSubtype = 0;

  static VDTCCTNetworkConnectionInfo fromRecord(const platform::Data& record);
};
