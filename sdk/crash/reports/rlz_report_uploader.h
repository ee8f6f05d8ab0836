// Processing, packaging and hand-off of one report: active -> processing (symbolicated) ->
// prepared -> stored by the transport -> removed.
#pragma once

#include <atomic>
#include <memory>
#include <string>

class RLZDataCollectionToken;
class RLZInternalReport;
struct RLZManagerData;

inline constexpr std::int64_t kRLZReportQosTier = 4;

class RLZReportUploader {
 public:
  explicit RLZReportUploader(std::shared_ptr<RLZManagerData> managerData);

  void prepareAndSubmitReport(const std::shared_ptr<RLZInternalReport>& report,
                              const std::shared_ptr<RLZDataCollectionToken>& token, bool asUrgent,
                              bool withProcessing);
  void uploadPackagedReportAtPath(const std::string& packagedPath, const std::shared_ptr<RLZDataCollectionToken>& token,
                                  bool asUrgent);
  bool cleanUpSubmittedReportAtPath(const std::string& path);

 private:
  std::shared_ptr<RLZManagerData> managerData_;
  std::atomic<bool> installIDChecked_{false};
};
