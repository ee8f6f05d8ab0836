#include "sdk/crash/reports/rlz_report_manager.h"

#include <algorithm>
#include <filesystem>

#include "platform/foundation/date.h"
#include "platform/foundation/file_manager.h"
#include "sdk/crash/capture/rlz_crash_capture.h"
#include "sdk/crash/capture/rlz_exception.h"
#include "sdk/crash/capture/rlz_mach_exception.h"
#include "sdk/crash/capture/rlz_signal.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/context/rlz_user_logging.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/reports/rlz_analytics_manager.h"
#include "sdk/crash/reports/rlz_internal_report.h"
#include "sdk/crash/reports/rlz_manager_data.h"
#include "sdk/crash/reports/rlz_metric_kit_manager.h"
#include "sdk/crash/reports/rlz_notification_manager.h"
#include "sdk/crash/reports/rlz_on_demand_model.h"
#include "sdk/crash/reports/rlz_report_uploader.h"
#include "sdk/crash/reports/rlz_settings_manager.h"
#include "sdk/crash/reports/vdz_ralitoze_report.h"
#include "sdk/crash/settings/rlz_settings.h"

namespace {

constexpr double kHandlerCheckDelaySeconds = 2.0;
constexpr std::string_view kKitStartTimeKey = "com.ralitoze.kit-start-time";
constexpr std::string_view kFirstRunLoopTimeKey = "com.ralitoze.first-run-loop-time";

// Diagnostic payloads exist from OS 15 on, and only when the settings ask for them.
bool metricKitEnabled(const RLZSettings& settings) {
  return RLZHostOSVersion().major >= 15 && settings.metricKitCollectionEnabled();
}

// Seconds since 1 January 2001.
double referenceNow() { return platform::Date::now().timeIntervalSinceReferenceDate(); }

std::string millisecondsSince(double mark) {
  return std::to_string(static_cast<long long>(RLZProfilingMarkElapsedMilliseconds(mark)));
}

void writeTimingKey(std::string_view key, std::string value) {
  if (auto queue = RLZContextLoggingQueue()) {
    queue->async([key, value = std::move(value)] { RLZUserLoggingWriteInternalKeyValue(std::string(key), value); });
  }
}

}  // namespace

// ---- Existing reports ----

RLZExistingReportManager::RLZExistingReportManager(std::shared_ptr<RLZManagerData> managerData,
                                                   std::shared_ptr<RLZReportUploader> reportUploader)
    : managerData_(std::move(managerData)), reportUploader_(std::move(reportUploader)) {}

void RLZExistingReportManager::removeOnWorkQueue(std::vector<std::string> paths) {
  if (paths.empty()) return;
  auto fileManager = managerData_->fileManager;
  managerData_->dispatchQueue->async([fileManager, paths = std::move(paths)] {
    for (const auto& path : paths) fileManager->removeItemAtPath(path);
  });
}

void RLZExistingReportManager::collectExistingReports() {
  auto& fileManager = *managerData_->fileManager;
  existingUnemptyActiveReportPaths_ = getUnsentActiveReportsAndDeleteEmptyOrOld(fileManager.activePathContents());
  processingReportPaths_ = fileManager.processingPathContents();
  preparedReportPaths_ = fileManager.preparedPathContents();
  // What the removal of sent reports left behind is hidden, so never sent again: removed again.
  std::vector<std::string> sentLeftovers;
  if (auto names = platform::FileManager::defaultManager().contentsOfDirectory(fileManager.preparedPath())) {
    for (const auto& name : *names) {
      if (name.starts_with(kRLZSentReportPrefix)) {
        sentLeftovers.push_back((std::filesystem::path(fileManager.preparedPath()) / name).string());
      }
    }
  }
  removeOnWorkQueue(std::move(sentLeftovers));
}

std::vector<std::string> RLZExistingReportManager::getUnsentActiveReportsAndDeleteEmptyOrOld(
    const std::vector<std::string>& paths) {
  struct Dated {
    std::shared_ptr<RLZInternalReport> report;
    double created;
  };
  std::vector<Dated> reports;
  for (const auto& path : paths) {
    // A directory whose metadata names no launch is left alone: neither counted nor deleted.
    if (auto report = RLZInternalReport::reportWithPath(path)) {
      const auto date = report->dateCreated();
      reports.push_back({report, date ? date->timeIntervalSince1970() : 0.0});
    }
  }
  if (reports.empty()) return {};
  auto newestFirst = [](const Dated& a, const Dated& b) { return a.created > b.created; };
  std::stable_sort(reports.begin(), reports.end(), newestFirst);
  auto& fileManager = *managerData_->fileManager;
  if (managerData_->settings->metricKitCollectionEnabled() && fileManager.metricKitDiagnosticFileExists()) {
    fileManager.createEmptyMetricKitFile(reports.front().report->path());
  }
  std::vector<Dated> kept;
  std::vector<std::string> removals;
  for (auto& dated : reports) {
    if (dated.report->hasAnyEvents()) {
      kept.push_back(dated);
    } else {
      removals.push_back(dated.report->path());
    }
  }
  removeOnWorkQueue(std::move(removals));
  if (kept.empty()) return {};
  std::stable_sort(kept.begin(), kept.end(), newestFirst);
  newestInternalReport_ = kept.front().report;
  if (kept.size() > kRLZMaxUnsentReports) {
    RLZInfoLog(
        "Deleting %lu unsent reports over the limit of %lu to prevent disk space from filling up. To prevent this make "
        "sure to call send/deleteUnsentReports.",
        static_cast<unsigned long>(kept.size() - kRLZMaxUnsentReports), static_cast<unsigned long>(kRLZMaxUnsentReports));
  }
  std::vector<std::string> keptPaths;
  std::vector<std::string> excess;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    (i < kRLZMaxUnsentReports ? keptPaths : excess).push_back(kept[i].report->path());
  }
  removeOnWorkQueue(std::move(excess));
  return keptPaths;
}

std::shared_ptr<VDZRalitozeReport> RLZExistingReportManager::newestUnsentReport() const {
  if (unsentReportsCount() == 0 || !newestInternalReport_) return nullptr;
  return std::make_shared<VDZRalitozeReport>(newestInternalReport_);
}

void RLZExistingReportManager::sendUnsentReportsWithToken(const std::shared_ptr<RLZDataCollectionToken>& token,
                                                          bool asUrgent) {
  for (const auto& path : existingUnemptyActiveReportPaths_) processExistingActiveReportPath(path, token, asUrgent);
  if (managerData_->onDemandModel) {
    for (const auto& path : managerData_->onDemandModel->takeStoredActiveReportPaths()) {
      processExistingActiveReportPath(path, token, asUrgent);
    }
  }
  auto uploader = reportUploader_;
  auto fileManager = managerData_->fileManager;
  managerData_->dispatchQueue->async([uploader, token, paths = processingReportPaths_] {
    // An interrupted processing is not repeated: the report moves on to prepared unchanged.
    for (const auto& path : paths) {
      if (auto report = RLZInternalReport::reportWithPath(path)) {
        uploader->prepareAndSubmitReport(report, token, false, false);
      }
    }
  });
  managerData_->dispatchQueue->async([uploader, fileManager, token, paths = preparedReportPaths_] {
    for (const auto& path : paths) {
      if (fileManager->fileExistsAtPath(path)) uploader->uploadPackagedReportAtPath(path, token, false);
    }
  });
}

void RLZExistingReportManager::processExistingActiveReportPath(const std::string& path,
                                                               const std::shared_ptr<RLZDataCollectionToken>& token,
                                                               bool asUrgent) {
  auto report = RLZInternalReport::reportWithPath(path);
  if (!report || !report->hasAnyEvents()) {
    removeOnWorkQueue({path});
    return;
  }
  if (asUrgent && RLZDataCollectionTokenIsValid(token)) {
    reportUploader_->prepareAndSubmitReport(report, token, true, true);
    return;
  }
  auto uploader = reportUploader_;
  managerData_->dispatchQueue->async([uploader, report, token] { uploader->prepareAndSubmitReport(report, token, false, true); });
}

void RLZExistingReportManager::handleOnDemandReportUpload(const std::string& path,
                                                          const std::shared_ptr<RLZDataCollectionToken>& token, bool) {
  std::weak_ptr<RLZExistingReportManager> weakSelf = weak_from_this();
  managerData_->dispatchQueue->async([weakSelf, path, token] {
    if (auto self = weakSelf.lock()) self->processExistingActiveReportPath(path, token, true);
  });
}

void RLZExistingReportManager::deleteUnsentReports() {
  std::vector<std::string> all = existingUnemptyActiveReportPaths_;
  all.insert(all.end(), processingReportPaths_.begin(), processingReportPaths_.end());
  all.insert(all.end(), preparedReportPaths_.begin(), preparedReportPaths_.end());
  removeOnWorkQueue(std::move(all));
}

// ---- Launch sequence ----

RLZReportManager::RLZReportManager(std::shared_ptr<RLZManagerData> managerData,
                                   std::shared_ptr<RLZExistingReportManager> existingReportManager,
                                   std::shared_ptr<RLZAnalyticsManager> analyticsManager)
    : managerData_(std::move(managerData)),
      existingReportManager_(std::move(existingReportManager)),
      analyticsManager_(std::move(analyticsManager)),
      unsentReportsAvailable_(ReportPromise::pendingPromise()),
      reportActionProvided_(ActionPromise::pendingPromise()),
      unsentReportsHandled_(DonePromise::pendingPromise()),
      settingsManager_(std::make_shared<RLZSettingsManager>(managerData_->appIDModel, managerData_->installIDModel,
                                                            managerData_->settings, managerData_->fileManager,
                                                            managerData_->videzuAppID)),
      notificationManager_(std::make_shared<RLZNotificationManager>()) {
  managerData_->settings->reloadFromCacheWithVidezuAppID(managerData_->videzuAppID, referenceNow());
  if (metricKitEnabled(*managerData_->settings)) {
    RLZDebugLog("MetricKit data collection enabled.");
    metricKitManager_ =
        std::make_shared<RLZMetricKitManager>(managerData_, existingReportManager_, managerData_->fileManager);
  }
  launchMarker_ = std::make_shared<RLZLaunchMarkerModel>(managerData_->fileManager);
}

std::shared_ptr<RLZReportManager::StartPromise> RLZReportManager::startWithProfilingMark(double mark) {
  const std::string executionID = managerData_->executionIDModel->executionID();
  existingReportManager_->collectExistingReports();
  if (!validateAppIdentifiers()) return StartPromise::resolvedWith(false);
  if (!managerData_->fileManager->createReportDirectories()) return StartPromise::resolvedWith(false);
  const bool launchFailed = launchMarker_->checkForAndCreateLaunchMarker();
  auto report = setupCurrentReport(executionID);
  const bool hasReport = startCrashReporterWithProfilingMark(mark, report);
  if (!hasReport) RLZErrorLog("Unable to start crash reporter");
  if (metricKitManager_) metricKitManager_->registerMetricKitManager();

  auto queue = managerData_->dispatchQueue;
  std::shared_ptr<StartPromise> started;
  if (managerData_->dataArbiter->isRalitozeCollectionEnabled()) {
    RLZDebugLog("Automatic data collection is enabled.");
    RLZDebugLog("Unsent reports will be uploaded at startup");
    auto token = RLZDataCollectionToken::validToken();
    beginSettingsWithToken(token);
    std::weak_ptr<RLZReportManager> weakSelf = weak_from_this();
    started = waitForMetricKitData()->then(queue, [weakSelf, token, launchFailed, hasReport](const VBLVoid&) {
      if (auto self = weakSelf.lock()) {
        self->beginReportUploadsWithToken(token, launchFailed);
        self->unsentReportsAvailable_->fulfill(nullptr);
      }
      return hasReport;
    });
  } else {
    RLZDebugLog("Automatic data collection is disabled.");
    RLZDebugLog("[Ralitoze:Crash] %d unsent reports are available. Waiting for send/deleteUnsentReports to be called.",
                static_cast<int>(existingReportManager_->unsentReportsCount()));
    std::weak_ptr<RLZReportManager> weakSelf = weak_from_this();
    auto existing = existingReportManager_;
    auto metricKitDone = waitForMetricKitData()->then([](const VBLVoid&) { return -1; });
    auto both = ActionPromise::all(std::vector<std::shared_ptr<ActionPromise>>{waitForReportAction(), metricKitDone});
    started = both->then(queue, [weakSelf, existing, hasReport](const std::vector<int>& results) {
      const int action = results.front();
      auto self = weakSelf.lock();
      if (action == RLZReportActionDelete) {
        RLZDebugLog("Deleting unsent reports.");
        existing->deleteUnsentReports();
      } else if (action == RLZReportActionSend) {
        RLZDebugLog("Sending unsent reports.");
        auto token = RLZDataCollectionToken::validToken();
        if (self) {
          self->beginSettingsWithToken(token);
          self->beginReportUploadsWithToken(token, false);
        }
      } else {
        RLZErrorLog("Unknown report action: %d", action);
      }
      return hasReport;
    });
  }
  if (hasReport) writeTimingKey(kKitStartTimeKey, millisecondsSince(mark));

  // Once the value is known, one more job on the work queue: everything queued before it has
  // run when it does, and only then is the launch's report work handled.
  std::weak_ptr<DonePromise> weakHandled = unsentReportsHandled_;
  return started->then([queue, weakHandled](const bool& value) {
    auto drained = DonePromise::pendingPromise();
    queue->async([drained] { drained->fulfill(VBLVoid{}); });
    return drained->then([weakHandled, value](const VBLVoid&) {
      if (auto handled = weakHandled.lock()) handled->fulfill(VBLVoid{});
      return value;
    });
  });
}

std::shared_ptr<RLZReportManager::ReportPromise> RLZReportManager::checkForUnsentReports() {
  bool expected = false;
  if (!checkForUnsentReportsCalled_.compare_exchange_strong(expected, true)) {
    RLZErrorLog("Either checkForUnsentReports or checkAndUpdateUnsentReports should be called once per execution.");
    return ReportPromise::resolvedWith(std::shared_ptr<VDZRalitozeReport>());
  }
  return unsentReportsAvailable_;
}

std::shared_ptr<RLZReportManager::DonePromise> RLZReportManager::sendUnsentReports() {
  reportActionProvided_->fulfill(RLZReportActionSend);
  return unsentReportsHandled_;
}

std::shared_ptr<RLZReportManager::DonePromise> RLZReportManager::deleteUnsentReports() {
  reportActionProvided_->fulfill(RLZReportActionDelete);
  return unsentReportsHandled_;
}

bool RLZReportManager::validateAppIdentifiers() {
  if (!managerData_->appIDModel) {
    RLZErrorLog(
        "Ralitoze could not find the symbol for the app's main function and cannot start up. This can be resolved 2 "
        "ways depending on your setup:\n 1. If you have Exported Symbols File set in your Build Settings, add "
        "\"__mh_execute_header\" as a newline in your Exported Symbols File.\n 2. If you have -exported_symbols_list "
        "in your linker flags, remove it.");
    return false;
  }
  if (managerData_->appIDModel->bundleID().empty()) {
    RLZErrorLog("An application must have a valid bundle identifier in its Info.plist");
    return false;
  }
  if (managerData_->dataArbiter->isLegacyDataCollectionKeyInPlist()) {
    RLZErrorLog("Found legacy data collection key in app's Info.plist: vuduzara_ralitoze_collection_enabled");
    RLZErrorLog("Please update your Info.plist to use the new data collection key: VuduzaraRalitozeCollectionEnabled");
    RLZErrorLog("The legacy data collection Info.plist value could be overridden by calling: [Tesmora with:...]");
    RLZErrorLog(
        "The new value can be overridden by calling: [[VDZRalitoze ralitoze] setRalitozeCollectionEnabled:<isEnabled>]");
    return false;
  }
  return true;
}

std::shared_ptr<RLZInternalReport> RLZReportManager::setupCurrentReport(const std::string& executionIdentifier) {
  launchMarker_->createLaunchFailureMarker();
  auto path = managerData_->fileManager->setupNewPathForExecutionIdentifier(executionIdentifier);
  auto report = path ? RLZInternalReport::initWithPath(*path, executionIdentifier) : nullptr;
  if (!report) RLZErrorLog("Unable to setup a new report");
  return report;
}

bool RLZReportManager::startCrashReporterWithProfilingMark(double mark,
                                                           const std::shared_ptr<RLZInternalReport>& report) {
  if (!report) return false;
  // Handlers stay out under a debugger; the context is set up all the same.
  if (!RLZCrashCaptureStart(report->path(), managerData_->fileManager->rootPath(), report->identifier(),
                            managerData_->settings) &&
      !RLZContextIsInitialized()) {
    return false;
  }
  notificationManager_->registerNotificationListener();
  if (analyticsManager_) analyticsManager_->registerAnalyticsListener();
  crashReportingSetupCompleted(mark);
  return true;
}

void RLZReportManager::crashReportingSetupCompleted(double mark) {
  auto main = platform::DispatchQueue::main();
  RLZDispatchAfter(kHandlerCheckDelaySeconds, main, [] {
    RLZExceptionCheckHandlers();
    RLZSignalCheckHandlers();
    RLZMachExceptionCheckHandlers();
  });
  auto marker = launchMarker_;
  main->async([marker, mark] {
    marker->removeLaunchFailureMarker();
    writeTimingKey(kFirstRunLoopTimeKey, millisecondsSince(mark));
  });
}

void RLZReportManager::beginSettingsWithToken(const std::shared_ptr<RLZDataCollectionToken>& token) {
  if (!managerData_->settings->isCacheExpired()) return;
  if (settingsBegun_.exchange(true)) return;
  if (settingsManager_) settingsManager_->beginSettingsWithVidezuAppId(managerData_->videzuAppID, token);
}

std::shared_ptr<RLZReportManager::DonePromise> RLZReportManager::waitForMetricKitData() {
  if (!metricKitManager_ || !metricKitEnabled(*managerData_->settings)) return DonePromise::resolvedWith(VBLVoid{});
  return metricKitManager_->waitForMetricKitDataAvailable();
}

void RLZReportManager::beginReportUploadsWithToken(const std::shared_ptr<RLZDataCollectionToken>& token,
                                                   bool blockingSend) {
  if (managerData_->settings->collectReportsEnabled()) {
    existingReportManager_->sendUnsentReportsWithToken(token, blockingSend);
  } else {
    RLZInfoLog("Collect crash reports is disabled");
    existingReportManager_->deleteUnsentReports();
  }
}

std::shared_ptr<RLZReportManager::ActionPromise> RLZReportManager::waitForReportAction() {
  unsentReportsAvailable_->fulfill(existingReportManager_->newestUnsentReport());
  auto enabled = managerData_->dataArbiter->waitForRalitozeCollectionEnabled()->then(
      [](const platform::Value&) { return static_cast<int>(RLZReportActionSend); });
  return ActionPromise::race({reportActionProvided_, enabled});
}
