#include "sdk/crash/reports/rlz_on_demand_model.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/date.h"
#include "platform/foundation/file_manager.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/reports/rlz_report_manager.h"
#include "sdk/crash/reports/vdz_stack_frame.h"
#include "sdk/crash/settings/rlz_settings.h"

namespace {

constexpr double kDefaultUploadRate = 10.0;
constexpr double kDefaultBackoffBase = 1.5;
constexpr double kDefaultStepDuration = 6.0;

double referenceNow() { return platform::Date::now().timeIntervalSinceReferenceDate(); }

double positiveOr(double value, double fallback) { return std::isfinite(value) && value > 0 ? value : fallback; }

}  // namespace

RLZOnDemandModel::RLZOnDemandModel(std::shared_ptr<RLZSettings> settings)
    : settings_(std::move(settings)),
      dispatchQueue_(platform::DispatchQueue::serial(std::string(kRLZOnDemandQueueLabel))),
      operationQueue_(platform::OperationQueue::make()),
      lastUpdated_(referenceNow()),
      recorder_(RLZExceptionRecordOnDemandModel) {
  operationQueue_->setName(RLZApplicationGetSDKBundleID() + ".on-demand-queue");
  operationQueue_->setMaxConcurrentOperationCount(1);
  operationQueue_->setUnderlyingQueue(dispatchQueue_);
}

double RLZOnDemandModel::uploadRate() const {
  return positiveOr(settings_ ? settings_->onDemandUploadRate() : kDefaultUploadRate, kDefaultUploadRate);
}

double RLZOnDemandModel::backoffBase() const {
  return positiveOr(settings_ ? settings_->onDemandBackoffBase() : kDefaultBackoffBase, kDefaultBackoffBase);
}

double RLZOnDemandModel::stepDurationSeconds() const {
  const double duration = settings_ ? settings_->onDemandBackoffStepDuration() : kDefaultStepDuration;
  return positiveOr(duration, kDefaultStepDuration);
}

bool RLZOnDemandModel::recordOnDemandExceptionIfQuota(
    const VDZExceptionModel& model, bool dataCollectionEnabled,
    const std::shared_ptr<RLZExistingReportManager>& existingReportManager) {
  platform::RecursiveMutexLock lock(lock_);
  if (isQueueFull()) {
    RLZDebugLog("No available on-demand quota, dropping report");
    incrementDroppedExceptionCount();
    incrementRecordedExceptionCount();
    return false;
  }
  auto token = RLZDataCollectionToken::validToken();
  const auto path = recorder_ ? recorder_(model, recordedOnDemandExceptionCount_, droppedOnDemandExceptionCount_)
                              : std::nullopt;
  if (!path) {
    RLZErrorLog("Error recording on-demand exception");
    return false;
  }
  incrementQueuedOperationCount();
  incrementRecordedExceptionCount();
  resetDroppedExceptionCount();
  std::weak_ptr<RLZOnDemandModel> weakSelf = weak_from_this();
  std::weak_ptr<RLZExistingReportManager> weakManager = existingReportManager;
  operationQueue_->addOperation([weakSelf, path = *path, token, dataCollectionEnabled, weakManager] {
    if (auto self = weakSelf.lock()) self->uploadStep(path, token, dataCollectionEnabled, weakManager);
  });
  return true;
}

void RLZOnDemandModel::uploadStep(const std::string& path, const std::shared_ptr<RLZDataCollectionToken>& token,
                                  bool dataCollectionEnabled,
                                  const std::weak_ptr<RLZExistingReportManager>& existingReportManager) {
  const double delay = calculateUploadDelay();
  if (dataCollectionEnabled) {
    if (auto manager = existingReportManager.lock()) manager->handleOnDemandReportUpload(path, token, true);
    RLZDebugLog("Submitted an on-demand exception, starting delay %.20f", delay);
  } else {
    storeReportPath(path);
    RLZDebugLog("Stored an on-demand exception, starting delay %.20f", delay);
  }
  implementOnDemandUploadDelay(static_cast<int>(delay));
  decrementQueuedOperationCount();
}

void RLZOnDemandModel::storeReportPath(const std::string& path) {
  std::optional<std::string> pushedOut;
  {
    platform::RecursiveMutexLock lock(lock_);
    storedActiveReportPaths_.insert(storedActiveReportPaths_.begin(), path);
    if (storedActiveReportPaths_.size() > kRLZOnDemandMaxStoredReports) {
      pushedOut = storedActiveReportPaths_.back();
      storedActiveReportPaths_.pop_back();
      decrementRecordedExceptionCount();
      incrementDroppedExceptionCount();
    }
  }
  if (pushedOut) platform::FileManager::defaultManager().removeItem(*pushedOut);
}

bool RLZOnDemandModel::isQueueFull() {
  return static_cast<double>(getQueuedOperationsCount()) >= uploadRate();
}

double RLZOnDemandModel::calculateStepDuration() {
  platform::RecursiveMutexLock lock(lock_);
  const bool full = isQueueFull();
  const double now = referenceNow();
  if (currentStep_ == -1.0) {
    currentStep_ = 0;
    lastUpdated_ = now;
  }
  const double elapsedSteps = (now - lastUpdated_) / stepDurationSeconds();
  const double up = std::min(currentStep_ + elapsedSteps, kRLZOnDemandMaxStep);
  const double down = std::max(currentStep_ - elapsedSteps, 0.0);
  const double step = full ? up : down;
  if (step != currentStep_) {
    currentStep_ = step;
    lastUpdated_ = now;
  }
  return step;
}

double RLZOnDemandModel::calculateUploadDelay() {
  const double delay = std::pow(backoffBase(), calculateStepDuration()) * 60.0 / uploadRate();
  return std::isfinite(delay) ? std::min(delay, kRLZOnDemandMaxDelaySeconds) : kRLZOnDemandMaxDelaySeconds;
}

void RLZOnDemandModel::implementOnDemandUploadDelay(int seconds) {
  platform::sleepOnClock(seconds);
}

double RLZOnDemandModel::currentStep() {
  platform::RecursiveMutexLock lock(lock_);
  return currentStep_;
}

int RLZOnDemandModel::recordedOnDemandExceptionCount() {
  platform::RecursiveMutexLock lock(lock_);
  return recordedOnDemandExceptionCount_;
}
void RLZOnDemandModel::setRecordedOnDemandExceptionCount(int count) {
  platform::RecursiveMutexLock lock(lock_);
  recordedOnDemandExceptionCount_ = count;
}
void RLZOnDemandModel::incrementRecordedExceptionCount() {
  platform::RecursiveMutexLock lock(lock_);
  ++recordedOnDemandExceptionCount_;
}
void RLZOnDemandModel::decrementRecordedExceptionCount() {
  platform::RecursiveMutexLock lock(lock_);
  --recordedOnDemandExceptionCount_;
}
int RLZOnDemandModel::droppedOnDemandExceptionCount() {
  platform::RecursiveMutexLock lock(lock_);
  return droppedOnDemandExceptionCount_;
}
void RLZOnDemandModel::setDroppedOnDemandExceptionCount(int count) {
  platform::RecursiveMutexLock lock(lock_);
  droppedOnDemandExceptionCount_ = count;
}
void RLZOnDemandModel::incrementDroppedExceptionCount() {
  platform::RecursiveMutexLock lock(lock_);
  ++droppedOnDemandExceptionCount_;
}
void RLZOnDemandModel::decrementDroppedExceptionCount() {
  platform::RecursiveMutexLock lock(lock_);
  --droppedOnDemandExceptionCount_;
}
void RLZOnDemandModel::resetDroppedExceptionCount() {
  platform::RecursiveMutexLock lock(lock_);
  droppedOnDemandExceptionCount_ = 0;
}
int RLZOnDemandModel::getQueuedOperationsCount() {
  platform::RecursiveMutexLock lock(lock_);
  return queuedOperationsCount_;
}
void RLZOnDemandModel::setQueuedOperationsCount(int count) {
  platform::RecursiveMutexLock lock(lock_);
  queuedOperationsCount_ = count;
}
void RLZOnDemandModel::incrementQueuedOperationCount() {
  platform::RecursiveMutexLock lock(lock_);
  ++queuedOperationsCount_;
}
void RLZOnDemandModel::decrementQueuedOperationCount() {
  platform::RecursiveMutexLock lock(lock_);
  --queuedOperationsCount_;
}

std::vector<std::string> RLZOnDemandModel::storedActiveReportPaths() {
  platform::RecursiveMutexLock lock(lock_);
  return storedActiveReportPaths_;
}

std::vector<std::string> RLZOnDemandModel::takeStoredActiveReportPaths() {
  platform::RecursiveMutexLock lock(lock_);
  return std::exchange(storedActiveReportPaths_, {});
}

void RLZOnDemandModel::setRecorderForTesting(Recorder recorder) {
  platform::RecursiveMutexLock lock(lock_);
  recorder_ = std::move(recorder);
}
