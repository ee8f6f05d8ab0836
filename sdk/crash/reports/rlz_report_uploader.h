// Processing, packaging and hand-off of one report: active -> processing (symbolicated) ->
// prepared -> stored by the transport -> removed.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

class RLZDataCollectionToken;
class RLZInternalReport;
struct RLZManagerData;

inline constexpr std::int64_t kRLZReportQosTier = 4;
// A prepared report whose packaging failed (or ended the process) this many times is deleted
// instead of being tried at every launch for ever.
inline constexpr int kRLZMaxPackagingAttempts = 3;
// Hidden, so neither listed as a report nor packed into one.
inline constexpr std::string_view kRLZPackagingAttemptsFileName = ".packaging-attempts";
// How long an urgent hand-off holds the launch's work queue for the transport to store a report:
// a transport that never answers must not stall the launch for ever. The report stays prepared
// for the next launch when the time runs out.
inline constexpr double kRLZUrgentHandOffTimeoutSeconds = 10;

class RLZReportUploader {
 public:
  explicit RLZReportUploader(std::shared_ptr<RLZManagerData> managerData);

  void prepareAndSubmitReport(const std::shared_ptr<RLZInternalReport>& report,
                              const std::shared_ptr<RLZDataCollectionToken>& token, bool asUrgent,
                              bool withProcessing);
  void uploadPackagedReportAtPath(const std::string& packagedPath, const std::shared_ptr<RLZDataCollectionToken>& token,
                                  bool asUrgent, double urgentTimeoutSeconds = kRLZUrgentHandOffTimeoutSeconds);
  bool cleanUpSubmittedReportAtPath(const std::string& path);

 private:
  // Counts this attempt in the report's directory before it starts; false when the report has used
  // up its attempts and was deleted.
  bool beginPackagingAttempt(const std::string& packagedPath);
  void packageAndSend(const std::string& packagedPath, bool asUrgent, double urgentTimeoutSeconds);

  std::shared_ptr<RLZManagerData> managerData_;
  std::atomic<bool> installIDChecked_{false};
};
