// The core's own telemetry: each activation's facts as one record sent through the event
// transport, the first record of each calendar day marked as the daily heartbeat. The core reaches
// this class by name ("VDZCoreDiagnostics"), so a build may leave it out.
#pragma once

#include <memory>
#include <string_view>

#include "platform/foundation/date.h"
#include "sdk/core/diagnostics/core_diagnostics.pb.h"

namespace platform {
class DispatchQueue;
}
class VDTCORTransport;
class VULHeartbeatDateStorable;
class VDZCoreDiagnosticsData;

inline constexpr std::string_view kVDZCoreDiagnosticsQueueLabel = "com.videzu.VDZCoreDiagnostics";
inline constexpr std::string_view kVDZCoreDiagnosticsMappingID = "137";
inline constexpr int kVDZCoreDiagnosticsTarget = 1001;
inline constexpr std::string_view kVDZCoreDiagnosticsHeartbeatFileName = "VUDUZARA_DIAGNOSTICS_HEARTBEAT_DATE";
inline constexpr std::string_view kVDZCoreDiagnosticsHeartbeatTag = "VDZCoreDiagnostics";

class VDZCoreDiagnostics : public std::enable_shared_from_this<VDZCoreDiagnostics> {
 public:
  VDZCoreDiagnostics(std::shared_ptr<VDTCORTransport> transport,
                     std::shared_ptr<VULHeartbeatDateStorable> heartbeatDateStorage);

  // Registers the class under its name, adopting the interop protocol, at load.
  static void load();

  static std::shared_ptr<VDZCoreDiagnostics> sharedInstance();
  // Tests only: the next sharedInstance() is made anew (on the current home).
  static void resetSharedInstanceForTesting();
  // The shared instance's sendDiagnostics.
  static void sendDiagnosticsData(const std::shared_ptr<VDZCoreDiagnosticsData>& data);
  // Returns at once; the record is built and sent on the diagnostics queue.
  void sendDiagnostics(const std::shared_ptr<VDZCoreDiagnosticsData>& data);

  // Marks the record as the heartbeat (field 20 = 1) unless one was already sent today.
  void setHeartbeatFlagIfNeededToConfig(VDZDiagnosticsRecord& config);
  static bool isDateInSameDayOrBeforeThan(platform::Date date1, platform::Date date2);

  const std::shared_ptr<platform::DispatchQueue>& diagnosticsQueue() const { return diagnosticsQueue_; }
  const std::shared_ptr<VDTCORTransport>& transport() const { return transport_; }

 private:
  void buildAndSend(const std::shared_ptr<VDZCoreDiagnosticsData>& data);

  std::shared_ptr<platform::DispatchQueue> diagnosticsQueue_;
  std::shared_ptr<VDTCORTransport> transport_;
  std::shared_ptr<VULHeartbeatDateStorable> heartbeatDateStorage_;
};
