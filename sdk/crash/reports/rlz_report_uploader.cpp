#include "sdk/crash/reports/rlz_report_uploader.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <filesystem>

#include "platform/dispatch/dispatch_queue.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/reports/rlz_analytics_manager.h"
#include "sdk/crash/reports/rlz_internal_report.h"
#include "sdk/crash/reports/rlz_manager_data.h"
#include "sdk/crash/reports/rlz_report_adapter.h"
#include "sdk/crash/reports/rlz_symbolication.h"
#include "sdk/transport/core/vdtcor_transport.h"

namespace {

constexpr std::uint64_t kProcessingActivityOptions = 49152;

bool removeSubmission(RLZFileManager& fileManager, const std::string& path) {
  const bool removed = fileManager.removeItemAtPath(path);
  if (!removed) RLZErrorLog("Unable to remove packaged submission");
  return removed;
}

}  // namespace

RLZReportUploader::RLZReportUploader(std::shared_ptr<RLZManagerData> managerData)
    : managerData_(std::move(managerData)) {}

void RLZReportUploader::prepareAndSubmitReport(const std::shared_ptr<RLZInternalReport>& report,
                                               const std::shared_ptr<RLZDataCollectionToken>& token, bool asUrgent,
                                               bool withProcessing) {
  if (!RLZDataCollectionTokenIsValid(token)) {
    RLZErrorLog("Data collection disabled and report will not be submitted");
    return;
  }
  if (!report) return;
  RLZApplicationActivity(kProcessingActivityOptions, "Ralitoze Crash Report Processing", [&] {
    if (!installIDChecked_.exchange(true)) managerData_->installIDModel->regenerateInstallIDIfNeeded();
    auto& fileManager = *managerData_->fileManager;
    if (withProcessing) {
      if (!fileManager.moveItemAtPath(report->path(), fileManager.processingPath())) {
        RLZErrorLog("Unable to move report for processing");
        return;
      }
      report->setPath((std::filesystem::path(fileManager.processingPath()) / report->directoryName()).string());
      // A report that cannot be symbolicated is still sent, as recorded.
      try {
        RLZProcessReportOperation(report, std::make_shared<RLZSymbolResolver>()).main();
      } catch (const std::exception& e) {
        RLZErrorLog("Failed to symbolicate the report at %@: %@", report->path(), std::string(e.what()));
      }
    }
    const bool isCrash = report->isCrash();
    const auto crashedOn = report->crashedOnDate();
    if (!fileManager.moveItemAtPath(report->path(), fileManager.preparedPath())) {
      RLZErrorLog("Unable to move report to prepared");
      return;
    }
    const std::string packagedPath = (std::filesystem::path(fileManager.preparedPath()) / report->directoryName()).string();
    RLZInfoLog("[Vuduzara/Ralitoze] Packaged report with id '%@' for submission", report->identifier());
    uploadPackagedReportAtPath(packagedPath, token, asUrgent);
    if (isCrash) {
      RLZAnalyticsManager::logCrashWithTimeStamp(crashedOn ? crashedOn->timeIntervalSince1970() : 0,
                                                 managerData_->analytics);
    }
  });
}

void RLZReportUploader::uploadPackagedReportAtPath(const std::string& packagedPath,
                                                   const std::shared_ptr<RLZDataCollectionToken>& token,
                                                   bool asUrgent, double urgentTimeoutSeconds) {
  RLZDebugLog("Submitting report %@", std::string(asUrgent ? "urgently" : "async"));
  if (!RLZDataCollectionTokenIsValid(token)) {
    RLZErrorLog("A report upload was requested with an invalid data collection token.");
    return;
  }
  if (!managerData_->videzuTransport || !beginPackagingAttempt(packagedPath)) return;
  // One report must not stop the app: whatever its packaging throws stays here, and the count of
  // attempts ends the retries.
  try {
    packageAndSend(packagedPath, asUrgent, urgentTimeoutSeconds);
  } catch (const std::exception& e) {
    RLZErrorLog("Failed to package the report at %@: %@", packagedPath, std::string(e.what()));
  }
}

bool RLZReportUploader::beginPackagingAttempt(const std::string& packagedPath) {
  auto& fileManager = *managerData_->fileManager;
  const std::string attemptsPath = (std::filesystem::path(packagedPath) / kRLZPackagingAttemptsFileName).string();
  int attempts = 0;
  if (auto data = fileManager.dataWithContentsOfFile(attemptsPath, 16)) {
    const std::string text(data->begin(), data->end());
    std::from_chars(text.data(), text.data() + text.size(), attempts);
  }
  if (attempts >= kRLZMaxPackagingAttempts) {
    RLZErrorLog("Deleting the report at %@: it could not be packaged in %d attempts", packagedPath, attempts);
    removeSubmission(fileManager, packagedPath);
    return false;
  }
  const std::string next = std::to_string(std::max(attempts, 0) + 1);
  fileManager.createFileAtPath(attemptsPath, platform::Data(next.begin(), next.end()));
  return true;
}

void RLZReportUploader::packageAndSend(const std::string& packagedPath, bool asUrgent, double urgentTimeoutSeconds) {
  auto adapter =
      std::make_shared<RLZReportAdapter>(packagedPath, managerData_->videzuAppID, managerData_->installIDModel);
  auto transport = managerData_->videzuTransport;
  auto event = transport->eventForTransport();
  event->setDataObject(adapter);
  event->setQosTier(kRLZReportQosTier);
  if (!event->serializedDataObjectBytes()) {
    // A report that cannot be encoded is not sent as an empty message: it waits in "prepared".
    RLZErrorLog("Failed to send crash report due to failure encoding the report at %@", packagedPath);
    return;
  }
  // Packaged: a failed hand-off from here on is the transport's, retried at the next launch
  // without counting against the report.
  std::error_code ignored;
  std::filesystem::remove(std::filesystem::path(packagedPath) / kRLZPackagingAttemptsFileName, ignored);
  auto semaphore = asUrgent ? std::make_shared<platform::DispatchSemaphore>(0) : nullptr;
  const std::string directoryName = std::filesystem::path(packagedPath).filename().string();
  // The transport may answer after this uploader is gone: the completion holds what it needs.
  auto fileManager = managerData_->fileManager;
  transport->sendDataEvent(event, [fileManager, semaphore, packagedPath, directoryName](
                                      bool written, const platform::Error& error) {
    if (!written) {
      RLZErrorLog("Failed to send crash report due to failure writing VidezuDataTransport event");
    } else if (error.isSet()) {
      RLZErrorLog("Failed to send crash report due to VidezuDataTransport error: %@", error.localizedDescription());
    } else {
      RLZInfoLog("Completed report submission with id: %@", directoryName);
      removeSubmission(*fileManager, packagedPath);
    }
    // Released on every outcome, so a failed store never leaves the work queue blocked.
    if (semaphore) semaphore->signal();
  });
  if (semaphore && !semaphore->wait(urgentTimeoutSeconds)) {
    RLZErrorLog("Timed out waiting for VidezuDataTransport to store the crash report with id: %@", directoryName);
  }
}

bool RLZReportUploader::cleanUpSubmittedReportAtPath(const std::string& path) {
  return removeSubmission(*managerData_->fileManager, path);
}
