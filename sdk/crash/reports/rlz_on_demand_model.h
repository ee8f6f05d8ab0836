// On-demand exceptions: the app reports an exception as a report of its own, sent at once (or
// kept for the next send while data collection is off). A quota of waiting upload steps drops
// exceptions in a burst, and a back-off that grows while the quota stays full spaces them out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/thread_safety.h"

namespace platform {
class DispatchQueue;
class OperationQueue;
}  // namespace platform
class RLZDataCollectionToken;
class RLZExistingReportManager;
class RLZSettings;
class VDZExceptionModel;

inline constexpr std::string_view kRLZOnDemandQueueLabel = "com.videzu.vuduzara.ralitoze.on.demand";
inline constexpr double kRLZOnDemandMaxDelaySeconds = 3600;
inline constexpr double kRLZOnDemandMaxStep = 100;
inline constexpr std::size_t kRLZOnDemandMaxStoredReports = 4;

class RLZOnDemandModel : public std::enable_shared_from_this<RLZOnDemandModel> {
 public:
  // Records the exception into a new report directory: its path, or none.
  using Recorder = std::function<std::optional<std::string>(const VDZExceptionModel& model, int recordedCount,
                                                            int droppedCount)>;

  explicit RLZOnDemandModel(std::shared_ptr<RLZSettings> settings);

  // True when the exception was recorded.
  bool recordOnDemandExceptionIfQuota(const VDZExceptionModel& model, bool dataCollectionEnabled,
                                      const std::shared_ptr<RLZExistingReportManager>& existingReportManager);

  // The counters take the re-entrant lock, so the recording decision calls them while holding it.
  bool isQueueFull();
  // Seconds: base^step * 60 / rate, at most an hour.
  double calculateUploadDelay();
  double calculateStepDuration();
  // Blocks the calling thread for that many seconds of the platform clock.
  void implementOnDemandUploadDelay(int seconds);

  int recordedOnDemandExceptionCount();
  void setRecordedOnDemandExceptionCount(int count);
  void incrementRecordedExceptionCount();
  void decrementRecordedExceptionCount();
  int droppedOnDemandExceptionCount();
  void setDroppedOnDemandExceptionCount(int count);
  void incrementDroppedExceptionCount();
  void decrementDroppedExceptionCount();
  void resetDroppedExceptionCount();
  int getQueuedOperationsCount();
  void setQueuedOperationsCount(int count);
  void incrementQueuedOperationCount();
  void decrementQueuedOperationCount();

  // Newest first. The send of unsent reports takes them all and empties the list.
  std::vector<std::string> storedActiveReportPaths() EXCLUDES(lock_);
  std::vector<std::string> takeStoredActiveReportPaths() EXCLUDES(lock_);

  const std::shared_ptr<platform::OperationQueue>& operationQueue() const { return operationQueue_; }
  double currentStep() EXCLUDES(lock_);

  // Tests: record without a crash-time context.
  void setRecorderForTesting(Recorder recorder) EXCLUDES(lock_);

 private:
  // The remote values; a value that cannot hold (not positive, not finite) reads as its default.
  double uploadRate() const;
  double backoffBase() const;
  double stepDurationSeconds() const;
  void uploadStep(const std::string& path, const std::shared_ptr<RLZDataCollectionToken>& token,
                  bool dataCollectionEnabled, const std::weak_ptr<RLZExistingReportManager>& existingReportManager);
  void storeReportPath(const std::string& path);

  const std::shared_ptr<RLZSettings> settings_;
  const std::shared_ptr<platform::DispatchQueue> dispatchQueue_;
  const std::shared_ptr<platform::OperationQueue> operationQueue_;
  // Re-entrant: the compound operations call the single ones while holding it.
  platform::RecursiveMutex lock_;
  int recordedOnDemandExceptionCount_ GUARDED_BY(lock_) = 0;
  int droppedOnDemandExceptionCount_ GUARDED_BY(lock_) = 0;
  int queuedOperationsCount_ GUARDED_BY(lock_) = 0;
  double lastUpdated_ GUARDED_BY(lock_);
  double currentStep_ GUARDED_BY(lock_) = -1.0;
  std::vector<std::string> storedActiveReportPaths_ GUARDED_BY(lock_);
  Recorder recorder_ GUARDED_BY(lock_);
};
