#include "sdk/crash/reports/rlz_report_uploader.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/file_manager.h"
#include "platform/mach/thread_state.h"
#include "sdk/crash/capture/rlz_crash_capture.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/reports/rlz_analytics_manager.h"
#include "sdk/crash/reports/rlz_internal_report.h"
#include "sdk/crash/reports/rlz_manager_data.h"
#include "sdk/crash/reports/rlz_report_adapter.h"
#include "sdk/crash/reports/rlz_symbolication.h"
#include "sdk/crash/records/rlz_packaging_watch.h"
#include "sdk/transport/core/vdtcor_transport.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kProcessingActivityOptions = 49152;
constexpr char kWatchedAttempt = 'w';
constexpr char kUnwatchedAttempt = 'u';

bool removeSubmission(RLZFileManager& fileManager, const std::string& path) {
  const bool removed = fileManager.removeItemAtPath(path);
  if (!removed) RLZErrorLog("Unable to remove packaged submission");
  return removed;
}

// A sent report is first marked, then removed: a removal that fails, whole or in part, leaves
// nothing a later launch would send again.
bool markSentAndRemove(RLZFileManager& fileManager, const std::string& path) {
  const fs::path report(path);
  const std::string sentPath =
      (report.parent_path() / (std::string(kRLZSentReportPrefix) + report.filename().string())).string();
  platform::Error error;
  if (fileManager.moveItemAtPath(path, sentPath, &error)) {
    // The new name is what keeps a later launch from handing the report off again.
    platform::Error syncError;
    if (!platform::FileManager::defaultManager().syncDirectory(report.parent_path(), &syncError)) {
      RLZErrorLog("The sent report at %@ may not stay marked as sent (%@)", sentPath, syncError.description());
    }
    return removeSubmission(fileManager, sentPath);
  }
  if (!fileManager.createFileAtPath((report / kRLZSentMarkerFileName).string(), std::nullopt)) {
    RLZErrorLog("The sent report at %@ could not be marked as sent (%@): a later launch may send it again", path,
                error.description());
  }
  return removeSubmission(fileManager, path);
}

void giveUpReport(RLZFileManager& fileManager, const std::string& path) {
  RLZErrorLog("Deleting the report at %@: it could not be packaged in %d attempts", path, kRLZMaxPackagingAttempts);
  removeSubmission(fileManager, path);
}

// The files the reporter keeps beside a report's records while it hands the report off are
// written only in prepared: whatever of them a report brings from elsewhere is not the reporter's
// (a stale or planted folder) and would cost the report its hand-off. False when one stays.
bool clearHandOffBookkeeping(const std::string& reportPath) {
  for (std::string_view name : {kRLZSentMarkerFileName, kRLZPackagingFailuresFileName, kRLZPackagingMarkerFileName}) {
    std::error_code error;
    fs::remove_all(fs::path(reportPath) / name, error);
    if (error) {
      RLZErrorLog("The report at %@ waits: its %@ cannot be removed (%@)", reportPath, std::string(name),
                  error.message());
      return false;
    }
  }
  return true;
}

using HandOffHook = std::function<void(RLZHandOffMoment, const std::string&)>;

std::mutex& handOffHookMutex() {
  // Never destroyed: a report may still be handed off on a worker while the process exits.
  static auto* const mutex = new std::mutex;
  return *mutex;
}

HandOffHook& handOffHook() {
  // Never destroyed: a report may still be packaged on a worker while the process exits.
  static auto* const hook = new HandOffHook;
  return *hook;
}

void runHandOffHook(RLZHandOffMoment moment, const std::string& packagedPath) {
  HandOffHook hook;
  {
    std::lock_guard lock(handOffHookMutex());
    hook = handOffHook();
  }
  if (hook) hook(moment, packagedPath);
}

bool isLowercaseHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// One attempt at packaging a report, written down in the report's directory so that the next
// launch knows how the attempts before it ended: failed (a byte in the failure log, written here
// or by the crash path when the packaging thread crashes), or cut short from outside (the marker
// left behind, and no byte).
class PackagingAttempt {
 public:
  // None when the report has used up its attempts (it is then deleted) or when the attempt cannot
  // be written down; the report then waits for a later launch, as packaging it could crash the
  // process for ever without anyone counting.
  static std::unique_ptr<PackagingAttempt> begin(RLZFileManager& fileManager, const std::string& reportPath) {
    auto attempt = std::unique_ptr<PackagingAttempt>(new PackagingAttempt(fileManager, reportPath));
    return attempt->start() ? std::move(attempt) : nullptr;
  }

  ~PackagingAttempt() {
    if (watching_) RLZPackagingWatchEnd(fd_);
    if (fd_ >= 0) ::close(fd_);
    std::error_code ignored;
    fs::remove(markerPath_, ignored);
    if (succeeded_) fs::remove(failuresPath_, ignored);
  }

  // True when the report has now used up its attempts.
  bool failed() {
    note();
    return ++failures_ >= kRLZMaxPackagingAttempts;
  }
  void succeeded() { succeeded_ = true; }

 private:
  PackagingAttempt(RLZFileManager& fileManager, const std::string& reportPath)
      : fileManager_(fileManager),
        reportPath_(reportPath),
        failuresPath_(fs::path(reportPath) / kRLZPackagingFailuresFileName),
        markerPath_(fs::path(reportPath) / kRLZPackagingMarkerFileName) {}

  bool start() {
    auto& files = platform::FileManager::defaultManager();
    struct stat info {};
    fd_ = platform::openRegularFileForAppending(failuresPath_, 0644, &info);
    if (fd_ < 0) {
      RLZErrorLog("The report at %@ waits: its packaging attempts cannot be counted (%@)", reportPath_,
                  std::string(std::strerror(errno)));
      return false;
    }
    failures_ = static_cast<int>(std::min<off_t>(info.st_size, kRLZMaxPackagingAttempts));
    if (const auto marker = files.contentsOfRegularFile(markerPath_, 1)) {
      // An attempt cut short. A crash of its packaging wrote its own byte; only an attempt that
      // no crash path watched counts here, as nothing tells its end apart from such a crash.
      const bool watched = !marker->empty() && (*marker)[0] == kWatchedAttempt;
      RLZErrorLog("The last packaging of the report at %@ did not finish", reportPath_);
      if (!watched) {
        note();
        ++failures_;
      }
    }
    if (failures_ >= kRLZMaxPackagingAttempts) {
      giveUpReport(fileManager_, reportPath_);
      return false;
    }
    const char state = RLZCrashCaptureHandlersInPlace() ? kWatchedAttempt : kUnwatchedAttempt;
    if (!files.writeAtomically(markerPath_, platform::Data{static_cast<std::uint8_t>(state)})) {
      RLZErrorLog("The report at %@ waits: its packaging cannot be marked", reportPath_);
      return false;
    }
    RLZPackagingWatchBegin(fd_, platform::mach::threadSelf());
    watching_ = true;
    return true;
  }

  void note() {
    const char mark = 'f';
    while (::write(fd_, &mark, 1) < 0 && errno == EINTR) {
    }
  }

  RLZFileManager& fileManager_;
  const std::string reportPath_;
  const fs::path failuresPath_;
  const fs::path markerPath_;
  int fd_ = -1;
  int failures_ = 0;
  bool watching_ = false;
  bool succeeded_ = false;
};

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
    if (!clearHandOffBookkeeping(report->path())) return;
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
  if (!managerData_->videzuTransport) return;
  auto& fileManager = *managerData_->fileManager;
  if (fileManager.fileExistsAtPath((fs::path(packagedPath) / kRLZSentMarkerFileName).string())) {
    RLZInfoLog("The report at %@ was sent already; removing what is left of it", packagedPath);
    removeSubmission(fileManager, packagedPath);
    return;
  }
  packageAndSend(packagedPath, asUrgent, urgentTimeoutSeconds);
}

void RLZReportUploader::packageAndSend(const std::string& packagedPath, bool asUrgent, double urgentTimeoutSeconds) {
  auto& fileManager = *managerData_->fileManager;
  auto transport = managerData_->videzuTransport;
  auto event = transport->eventForTransport();
  std::shared_ptr<RLZReportAdapter> adapter;
  {
    auto attempt = PackagingAttempt::begin(fileManager, packagedPath);
    if (!attempt) return;
    // One report must not stop the app: whatever its packaging throws stays here, and counts as a
    // failed attempt.
    std::string failure;
    try {
      runHandOffHook(RLZHandOffMoment::kPackaging, packagedPath);
      adapter = std::make_shared<RLZReportAdapter>(packagedPath, managerData_->videzuAppID, managerData_->installIDModel);
      if (!adapter->allRecordsRead()) {
        failure = "a record cannot be read now";
      } else {
        event->setEventID(eventIDForReportAtPath(packagedPath));
        event->setStoredOncePerID(true);
        event->setDataObject(adapter);
        event->setQosTier(kRLZReportQosTier);
        // A report that cannot be encoded is not sent as an empty message.
        if (!event->serializedDataObjectBytes()) failure = "it cannot be encoded";
      }
    } catch (const std::exception& e) {
      failure = e.what();
    }
    if (!failure.empty()) {
      RLZErrorLog("Failed to package the report at %@: %@", packagedPath, failure);
      const bool usedUp = attempt->failed();
      attempt.reset();
      if (usedUp) giveUpReport(fileManager, packagedPath);
      return;
    }
    attempt->succeeded();
  }
  if (!adapter->holdsAnEventOrCrash()) {
    // What is left of a report whose removal failed, or a folder that never held a crash.
    RLZErrorLog("Removing the report at %@ unsent: it holds no record of an event or a crash", packagedPath);
    removeSubmission(fileManager, packagedPath);
    return;
  }
  // Packaged: a failed hand-off from here on is the transport's, retried at the next launch
  // without counting against the report.
  auto semaphore = asUrgent ? std::make_shared<platform::DispatchSemaphore>(0) : nullptr;
  const std::string directoryName = fs::path(packagedPath).filename().string();
  // The transport may answer after this uploader is gone: the completion holds what it needs.
  auto sharedFileManager = managerData_->fileManager;
  transport->sendDataEvent(event, [sharedFileManager, semaphore, packagedPath, directoryName](
                                      bool written, const platform::Error& error) {
    if (!written) {
      RLZErrorLog("Failed to send crash report due to failure writing VidezuDataTransport event");
      if (error.isSet()) RLZErrorLog("VidezuDataTransport refused the crash report: %@", error.localizedDescription());
    } else if (error.isSet()) {
      RLZErrorLog("Failed to send crash report due to VidezuDataTransport error: %@", error.localizedDescription());
    } else {
      RLZInfoLog("Completed report submission with id: %@", directoryName);
      runHandOffHook(RLZHandOffMoment::kStored, packagedPath);
      markSentAndRemove(*sharedFileManager, packagedPath);
    }
    // Released on every outcome, so a failed store never leaves the work queue blocked.
    if (semaphore) semaphore->signal();
  });
  if (semaphore && !semaphore->wait(urgentTimeoutSeconds)) {
    RLZErrorLog("Timed out waiting for VidezuDataTransport to store the crash report with id: %@", directoryName);
  }
}

bool RLZReportUploader::cleanUpSubmittedReportAtPath(const std::string& path) {
  return markSentAndRemove(*managerData_->fileManager, path);
}

std::string RLZReportUploader::eventIDForReportAtPath(const std::string& packagedPath) {
  // A report is named by the execution ID of the launch that wrote it: 32 hexadecimal digits, as
  // an event ID is. Another name is none the reporter gave, and gets an event of its own.
  const std::string name = fs::path(packagedPath).filename().string();
  constexpr std::size_t kEventIDLength = 32;
  if (name.size() == kEventIDLength && isLowercaseHex(name)) return name;
  return VDTCOREvent::nextEventID();
}

void RLZReportUploader::setHandOffHookForTesting(
    std::function<void(RLZHandOffMoment moment, const std::string& packagedPath)> hook) {
  std::lock_guard lock(handOffHookMutex());
  handOffHook() = std::move(hook);
}
