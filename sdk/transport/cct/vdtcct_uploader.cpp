#include "sdk/transport/cct/vdtcct_uploader.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/thread_safety.h"
#include "sdk/transport/cct/vdtcor_endpoints.h"
#include "sdk/transport/core/vdtcor_clock.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_registrar.h"
#include "sdk/transport/core/vdtcor_shared_instance.h"

namespace {

VDTCORSharedInstance<VDTCCTUploader>& slot() {
  static VDTCORSharedInstance<VDTCCTUploader> instance;
  return instance;
}

}  // namespace

VDTCCTUploader::VDTCCTUploader(Token)
    : uploadOperationQueue_(platform::OperationQueue::make()),
      uploadQueue_(platform::DispatchQueue::serial("com.videzu.VDTCCTUploader")) {
  uploadOperationQueue_->setMaxConcurrentOperationCount(1);
}

void VDTCCTUploader::load() {
  auto uploader = sharedInstance();
  auto registrar = VDTCORRegistrar::sharedInstance();
  for (VDTCORTarget target : {kVDTCORTargetCCT, kVDTCORTargetFLL, kVDTCORTargetCSH, kVDTCORTargetINT}) {
    registrar->registerUploader(uploader, target);
  }
}

std::shared_ptr<VDTCCTUploader> VDTCCTUploader::sharedInstance() {
  return slot().get([] { return std::make_shared<VDTCCTUploader>(Token{}); });
}

void VDTCCTUploader::resetSharedInstanceForTesting() {
  if (auto old = slot().reset()) old->uploadOperationQueue_->waitUntilAllOperationsAreFinished();
}

std::optional<std::string> VDTCCTUploader::serverURLForTarget(VDTCORTarget target) {
  return VDTCOREndpoints::uploadURLForTarget(target);
}

const std::string& VDTCCTUploader::FLLAndCSHAndINTAPIKey() {
  // Never destroyed: an upload on a worker may still read it while the process exits.
  static const std::string* const key = [] {
    std::string k = "vdzu-transport-";
    for (const char* part : {"fll", "csh", "int"}) k += part;
    return new std::string(k + "-local-0001");
  }();
  return *key;
}

void VDTCCTUploader::uploadTarget(VDTCORTarget target, VDTCORUploadConditions conditions) {
  auto storage = VDTCORLookUpStorage(target);
  if (!storage) {
    VDTCORLogError(kVDTCORMessageCodeAssertion,
                   "Failed to upload target: %ld - could not find corresponding storage instance.",
                   static_cast<long>(target));
    return;
  }
  auto metricsController = VDTCORLookUpMetricsController(target);
  auto operation = VDTCCTUploadOperation::initWithTarget(target, conditions, serverURLForTarget(target).value_or(""),
                                                         uploadQueue_, std::move(storage), shared_from_this(),
                                                         std::move(metricsController));
  VDTCORLogDebug("Upload operation created: %@, target: %@", operation->description(), target);

  std::weak_ptr<VDTCCTUploader> weakSelf = weak_from_this();
  std::weak_ptr<VDTCCTUploadOperation> weakOperation = operation;
  operation->setCompletionBlock([weakSelf, weakOperation] {
    auto self = weakSelf.lock();
    auto finished = weakOperation.lock();
    if (!self || !finished) {
      VDTCORLogDebug("%@", "Internal inconsistency: VDTCCTUploader was deallocated during upload.");
      return;
    }
    VDTCORLogDebug("Upload operation finished: %@, uploadAttempted: %@", finished->description(),
                   finished->uploadAttempted() ? "YES" : "NO");
    // Of the operations waiting, the first to send cancels the rest: the next request starts over.
    if (finished->uploadAttempted()) self->uploadOperationQueue_->cancelAllOperations();
  });
  uploadOperationQueue_->addOperation(operation);
  VDTCORLogDebug("Upload operation scheduled: %@, operation count: %@", operation->description(),
                 static_cast<long>(uploadOperationQueue_->operationCount()));
}

std::shared_ptr<VDTCORClock> VDTCCTUploader::nextUploadTimeForTarget(VDTCORTarget target) {
  platform::MutexLock lock(nextUploadTimeMutex_);
  auto it = nextUploadTimeByTarget_.find(target);
  return it == nextUploadTimeByTarget_.end() ? nullptr : it->second;
}

void VDTCCTUploader::setNextUploadTime(std::shared_ptr<VDTCORClock> time, VDTCORTarget target) {
  platform::MutexLock lock(nextUploadTimeMutex_);
  if (time) {
    nextUploadTimeByTarget_[target] = std::move(time);
  } else {
    nextUploadTimeByTarget_.erase(target);
  }
}

std::optional<std::string> VDTCCTUploader::APIKeyForTarget(VDTCORTarget target) {
  if (target == kVDTCORTargetFLL || target == kVDTCORTargetCSH || target == kVDTCORTargetINT) {
    return FLLAndCSHAndINTAPIKey();
  }
  return std::nullopt;
}
