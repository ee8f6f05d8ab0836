// What the uploader adds to events (VDTCOREvent(VDTCCTSupport)): network information and an event
// code kept as a JSON object in an event's custom bytes, and the event that carries the dropped-
// event metrics to the backend (VDTCORMetrics(VDTCCTSupport) as its payload).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/foundation/value.h"
#include "sdk/transport/core/vdtcor_event.h"

class VDTCORMetrics;

inline constexpr std::string_view kVDTCCTNeedsNetworkConnectionInfo = "needs_network_connection_info";
inline constexpr std::string_view kVDTCCTNetworkConnectionInfo = "network_connection_info";
inline constexpr std::string_view kVDTCCTEventCodeInfo = "event_code_info";
inline constexpr std::string_view kVDTCCTMetricsEventMappingID = "1710";

namespace VDTCCTSupport {

// Custom bytes that are not a JSON object are never overwritten by these setters (a failure to
// serialise clears them); each failure is logged.
void setNeedsNetworkConnectionInfoPopulated(VDTCOREvent& event, bool needed);
bool needsNetworkConnectionInfoPopulated(const VDTCOREvent& event);
void setNetworkConnectionInfoData(VDTCOREvent& event, const std::optional<platform::Data>& data);
std::optional<platform::Data> networkConnectionInfoData(const VDTCOREvent& event);
// None removes the code.
void setEventCode(VDTCOREvent& event, std::optional<std::int64_t> code);
std::optional<std::int64_t> eventCode(const VDTCOREvent& event);

// A new event of mapping ID "1710" whose payload is the encoded metrics; it is never stored.
std::shared_ptr<VDTCOREvent> eventWithMetrics(std::shared_ptr<VDTCORMetrics> metrics, VDTCORTarget target);

}  // namespace VDTCCTSupport

// The metrics as an event's payload.
class VDTCCTMetricsDataObject final : public VDTCOREventDataObject {
 public:
  explicit VDTCCTMetricsDataObject(std::shared_ptr<VDTCORMetrics> metrics) : metrics_(std::move(metrics)) {}
  const std::shared_ptr<VDTCORMetrics>& metrics() const { return metrics_; }
  // The encoded client metrics.
  std::optional<platform::Data> transportBytes() const override;

 private:
  std::shared_ptr<VDTCORMetrics> metrics_;
};
