// The launch sequence: take stock of earlier launches' report directories, start crash capture
// for this launch in a new one, then, as the data-collection switch says, send the unsent
// reports at once or wait for the app's decision (send, delete, or turn collection on).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "sdk/utilities/promises/vbl_promise.h"

class RLZAnalyticsManager;
class RLZDataCollectionToken;
class RLZInternalReport;
class RLZLaunchMarkerModel;
class RLZMetricKitManager;
class RLZNotificationManager;
class RLZSettingsManager;
class RLZReportUploader;
class VDZRalitozeReport;
struct RLZManagerData;

inline constexpr std::size_t kRLZMaxUnsentReports = 4;

enum RLZReportAction : int { RLZReportActionSend = 0, RLZReportActionDelete = 1 };

// The unsent reports of earlier launches: which to keep, which to delete, how to send them.
class RLZExistingReportManager : public std::enable_shared_from_this<RLZExistingReportManager> {
 public:
  RLZExistingReportManager(std::shared_ptr<RLZManagerData> managerData,
                           std::shared_ptr<RLZReportUploader> reportUploader);

  void collectExistingReports();
  std::vector<std::string> getUnsentActiveReportsAndDeleteEmptyOrOld(const std::vector<std::string>& paths);
  std::size_t unsentReportsCount() const { return existingUnemptyActiveReportPaths_.size(); }
  std::shared_ptr<VDZRalitozeReport> newestUnsentReport() const;
  void sendUnsentReportsWithToken(const std::shared_ptr<RLZDataCollectionToken>& token, bool asUrgent);
  void processExistingActiveReportPath(const std::string& path, const std::shared_ptr<RLZDataCollectionToken>& token,
                                       bool asUrgent);
  // An on-demand report: processed urgently on the work queue, whatever `asUrgent` says.
  void handleOnDemandReportUpload(const std::string& path, const std::shared_ptr<RLZDataCollectionToken>& token,
                                  bool asUrgent);
  void deleteUnsentReports();

  const std::vector<std::string>& existingUnemptyActiveReportPaths() const { return existingUnemptyActiveReportPaths_; }

 private:
  void removeOnWorkQueue(std::vector<std::string> paths);

  std::shared_ptr<RLZManagerData> managerData_;
  std::shared_ptr<RLZReportUploader> reportUploader_;
  // Filled by collectExistingReports on the launch's thread before any work is queued.
  std::vector<std::string> existingUnemptyActiveReportPaths_;
  std::vector<std::string> processingReportPaths_;
  std::vector<std::string> preparedReportPaths_;
  std::shared_ptr<RLZInternalReport> newestInternalReport_;
};

class RLZReportManager : public std::enable_shared_from_this<RLZReportManager> {
 public:
  using ReportPromise = VBLPromise<std::shared_ptr<VDZRalitozeReport>>;
  using ActionPromise = VBLPromise<int>;
  using DonePromise = VBLPromise<VBLVoid>;
  using StartPromise = VBLPromise<bool>;

  RLZReportManager(std::shared_ptr<RLZManagerData> managerData,
                   std::shared_ptr<RLZExistingReportManager> existingReportManager,
                   std::shared_ptr<RLZAnalyticsManager> analyticsManager = nullptr);

  // Tests: another settings source.
  void setSettingsManager(std::shared_ptr<RLZSettingsManager> settingsManager) {
    settingsManager_ = std::move(settingsManager);
  }

  // Once per process, on the configuring thread: true when crash capture runs for this launch.
  std::shared_ptr<StartPromise> startWithProfilingMark(double mark);
  std::shared_ptr<ReportPromise> checkForUnsentReports();
  std::shared_ptr<DonePromise> sendUnsentReports();
  std::shared_ptr<DonePromise> deleteUnsentReports();

  const std::shared_ptr<RLZLaunchMarkerModel>& launchMarker() const { return launchMarker_; }
  const std::shared_ptr<RLZSettingsManager>& settingsManager() const { return settingsManager_; }
  // Null unless the settings ask for diagnostics payloads.
  const std::shared_ptr<RLZMetricKitManager>& metricKitManager() const { return metricKitManager_; }

 private:
  bool validateAppIdentifiers();
  std::shared_ptr<RLZInternalReport> setupCurrentReport(const std::string& executionIdentifier);
  bool startCrashReporterWithProfilingMark(double mark, const std::shared_ptr<RLZInternalReport>& report);
  void crashReportingSetupCompleted(double mark);
  void beginSettingsWithToken(const std::shared_ptr<RLZDataCollectionToken>& token);
  void beginReportUploadsWithToken(const std::shared_ptr<RLZDataCollectionToken>& token, bool blockingSend);
  std::shared_ptr<ActionPromise> waitForReportAction();
  std::shared_ptr<DonePromise> waitForMetricKitData();

  std::shared_ptr<RLZManagerData> managerData_;
  std::shared_ptr<RLZExistingReportManager> existingReportManager_;
  std::shared_ptr<RLZAnalyticsManager> analyticsManager_;
  std::shared_ptr<ReportPromise> unsentReportsAvailable_;
  std::shared_ptr<ActionPromise> reportActionProvided_;
  std::shared_ptr<DonePromise> unsentReportsHandled_;
  std::atomic<bool> checkForUnsentReportsCalled_{false};
  std::atomic<bool> settingsBegun_{false};
  std::shared_ptr<RLZSettingsManager> settingsManager_;
  std::shared_ptr<RLZNotificationManager> notificationManager_;
  std::shared_ptr<RLZMetricKitManager> metricKitManager_;
  std::shared_ptr<RLZLaunchMarkerModel> launchMarker_;
};
