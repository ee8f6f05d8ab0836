#include "sdk/transport/cct/vdtcct_upload_operation.h"

#include <charconv>
#include <cmath>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/date.h"
#include "platform/foundation/format.h"
#include "platform/foundation/thread_safety.h"
#include "sdk/transport/cct/vdtcct_compression_helper.h"
#include "sdk/transport/cct/vdtcct_event_support.h"
#include "sdk/transport/cct/vdtcct_messages.h"
#include "sdk/transport/core/vdtcor_application.h"
#include "sdk/transport/core/vdtcor_clock.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_metrics.h"
#include "sdk/transport/core/vdtcor_metrics_controller_protocol.h"
#include "sdk/transport/core/vdtcor_storage_event_selector.h"
#include "sdk/transport/core/vdtcor_storage_protocol.h"
#include "sdk/transport/core/vdtcor_upload_batch.h"
#include "sdk/utilities/promises/vbl_promise.h"
#include "sdk/utilities/promises/vul_url_session_promise.h"

namespace {

using ResponsePtr = std::shared_ptr<VULURLSessionDataResponse>;
using BatchPtr = std::shared_ptr<VDTCORUploadBatch>;

// The "Retry-After" header in milliseconds: a non-negative decimal number of seconds.
std::optional<std::uint64_t> retryAfterMillis(std::string text) {
  while (!text.empty() && text.front() == ' ') text.erase(text.begin());
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.empty()) return std::nullopt;
  double seconds = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds, std::chars_format::fixed);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds) || seconds < 0) {
    return std::nullopt;
  }
  constexpr double kMaxSeconds = 1e15;  // far beyond any wait, and safe to multiply
  return static_cast<std::uint64_t>(std::min(std::trunc(seconds), kMaxSeconds)) * 1000;
}

}  // namespace

std::string_view VDTCCTTargetShortName(VDTCORTarget target) {
  switch (target) {
    case kVDTCORTargetCCT: return "cct";
    case kVDTCORTargetFLL: return "fll";
    case kVDTCORTargetCSH: return "csh";
    case kVDTCORTargetINT: return "int";
    default: return "unknown";
  }
}

std::shared_ptr<VDTCCTUploadOperation> VDTCCTUploadOperation::initWithTarget(
    VDTCORTarget target, VDTCORUploadConditions conditions, std::string uploadURL,
    std::shared_ptr<platform::DispatchQueue> queue, std::shared_ptr<VDTCORStoragePromiseProtocol> storage,
    std::shared_ptr<VDTCCTUploadMetadataProvider> metadataProvider,
    std::shared_ptr<VDTCORMetricsControllerProtocol> metricsController) {
  return std::make_shared<VDTCCTUploadOperation>(Token{}, target, conditions, std::move(uploadURL), std::move(queue),
                                                 std::move(storage), std::move(metadataProvider),
                                                 std::move(metricsController));
}

VDTCCTUploadOperation::VDTCCTUploadOperation(Token, VDTCORTarget target, VDTCORUploadConditions conditions,
                                             std::string uploadURL, std::shared_ptr<platform::DispatchQueue> queue,
                                             std::shared_ptr<VDTCORStoragePromiseProtocol> storage,
                                             std::shared_ptr<VDTCCTUploadMetadataProvider> metadataProvider,
                                             std::shared_ptr<VDTCORMetricsControllerProtocol> metricsController)
    : target_(target),
      conditions_(conditions),
      uploadURL_(std::move(uploadURL)),
      uploaderQueue_(std::move(queue)),
      storage_(std::move(storage)),
      metadataProvider_(std::move(metadataProvider)),
      metricsController_(std::move(metricsController)) {}

std::shared_ptr<VDTCCTUploadOperation> VDTCCTUploadOperation::self() {
  return std::static_pointer_cast<VDTCCTUploadOperation>(shared_from_this());
}

std::string VDTCCTUploadOperation::description() const {
  return platform::format("<VDTCCTUploadOperation %p target %lld conditions %lld>", static_cast<const void*>(this),
                          static_cast<long long>(target_), static_cast<long long>(conditions_));
}

bool VDTCCTUploadOperation::uploadAttempted() const {
  platform::RecursiveMutexLock lock(mutex_);
  return uploadAttempted_;
}

std::shared_ptr<VDTCORMetrics> VDTCCTUploadOperation::currentMetrics() const {
  platform::RecursiveMutexLock lock(mutex_);
  return currentMetrics_;
}

// ---- Operation state ----

void VDTCCTUploadOperation::start() {
  startOperation();
  VDTCORLogDebug("Upload operation started: %@", description());
  uploadTarget(target_, conditions_);
}

void VDTCCTUploadOperation::cancel() {
  platform::RecursiveMutexLock lock(mutex_);
  platform::Operation::cancel();
  if (!executing_) {
    executing_ = false;
    finished_ = true;
  }
}

bool VDTCCTUploadOperation::isExecuting() const {
  platform::RecursiveMutexLock lock(mutex_);
  return executing_;
}

bool VDTCCTUploadOperation::isFinished() const {
  platform::RecursiveMutexLock lock(mutex_);
  return finished_;
}

void VDTCCTUploadOperation::setState(bool executing, bool finished) {
  // Announced outside the lock: the queue hears of the end and may call back into the operation.
  willChangeValueForKey("isExecuting");
  willChangeValueForKey("isFinished");
  {
    platform::RecursiveMutexLock lock(mutex_);
    executing_ = executing;
    finished_ = finished;
  }
  didChangeValueForKey("isExecuting");
  didChangeValueForKey("isFinished");
}

void VDTCCTUploadOperation::startOperation() { setState(true, false); }

void VDTCCTUploadOperation::finishOperation() { setState(false, true); }

void VDTCCTUploadOperation::cancelCurrentTask() {
  std::shared_ptr<platform::URLSessionTask> task;
  {
    platform::RecursiveMutexLock lock(mutex_);
    task = currentTask_;
  }
  if (task) task->cancel();
}

// ---- The upload sequence ----

void VDTCCTUploadOperation::uploadTarget(VDTCORTarget target, VDTCORUploadConditions conditions) {
  auto op = self();
  std::weak_ptr<VDTCCTUploadOperation> weak = op;
  auto backgroundTask = VDTCORBackgroundTask::begin(VDTCORApplication::sharedApplication(), "VDTCCTUploader-upload",
                                                    [weak] {
                                                      if (auto o = weak.lock()) o->cancelCurrentTask();
                                                    });
  const auto& queue = uploaderQueue_;
  const auto notCancelled = [op](const auto&) { return !op->isCancelled(); };
  isReadyToUploadTarget(target, conditions)
      ->validate(queue, notCancelled)
      ->then(queue, [op, target](const VBLVoid&) { return op->storage_->removeAllBatchesForTarget(target, false); })
      ->then(queue, [op, target](const VBLVoid&) { return op->storage_->hasEventsForTarget(target); })
      ->validate(queue, [](bool hasEvents) { return hasEvents; })
      ->then(queue,
             [op, target, conditions](bool) {
               return op->storage_->batchWithEventSelector(
                   eventSelectorTarget(target, conditions),
                   platform::Date::now().addingTimeInterval(kVDTCCTBatchExpirationSeconds));
             })
      ->then(queue,
             [op, target](const BatchPtr& batch) -> std::shared_ptr<BatchPromise> {
               if (op->metricsController_) return op->batchByAddingMetricsEventToBatch(batch, target);
               return BatchPromise::resolvedWith(batch);
             })
      ->validate(queue, notCancelled)
      ->then(queue,
             [op, target](const BatchPtr& batch) {
               {
                 platform::RecursiveMutexLock lock(op->mutex_);
                 op->uploadAttempted_ = true;
               }
               return op->uploadBatch(batch, target, op->storage_);
             })
      ->catch_(queue, [](const platform::Error&) {})
      ->always(queue, [op, backgroundTask] {
        op->finishOperation();
        backgroundTask->end();
      });
}

std::shared_ptr<VBLPromise<VBLVoid>> VDTCCTUploadOperation::isReadyToUploadTarget(VDTCORTarget target,
                                                                                 VDTCORUploadConditions conditions) {
  auto promise = VBLPromise<VBLVoid>::pendingPromise();
  if (readyToUploadTarget(target, conditions)) {
    promise->fulfill(VBLVoid{});
  } else {
    promise->reject(genericRejectedPromiseErrorWithReason(
        platform::format("Target %ld is not ready to upload with condition: %ld", static_cast<long>(target),
                         static_cast<long>(conditions))));
  }
  return promise;
}

bool VDTCCTUploadOperation::readyToUploadTarget(VDTCORTarget target, VDTCORUploadConditions conditions) {
  if (conditions & kVDTCORUploadConditionNoNetwork) {
    VDTCORLogDebug("%@", "CCT: Not ready to upload without a network connection.");
    return false;
  }
  if (conditions & kVDTCORUploadConditionForced) {
    VDTCORLogDebug("%@", "CCT: a high priority event is allowing an upload");
    return true;
  }
  auto next = metadataProvider_ ? metadataProvider_->nextUploadTimeForTarget(target) : nullptr;
  const bool ready = !next || VDTCORClock::snapshot()->isAfter(*next);
  if (ready) {
    VDTCORLogDebug("CCT: can upload to target %ld because the request wait time has transpired",
                   static_cast<long>(target));
  } else {
    VDTCORLogDebug("CCT: can't upload to target %ld because the backend asked to wait", static_cast<long>(target));
  }
  return ready;
}

std::shared_ptr<VDTCORStorageEventSelector> VDTCCTUploadOperation::eventSelectorTarget(
    VDTCORTarget target, VDTCORUploadConditions conditions) {
  if (conditions & kVDTCORUploadConditionForced) return VDTCORStorageEventSelector::eventSelectorForTarget(target);
  std::set<std::int64_t> tiers;
  if (conditions & kVDTCORUploadConditionWifi) tiers.insert({4, 5, 3, 1, 0});
  if (conditions & kVDTCORUploadConditionCellular) tiers.insert({4, 3});
  return VDTCORStorageEventSelector::initWithTarget(target, std::nullopt, std::nullopt, tiers);
}

std::shared_ptr<VDTCCTUploadOperation::BatchPromise> VDTCCTUploadOperation::batchByAddingMetricsEventToBatch(
    std::shared_ptr<VDTCORUploadBatch> batch, VDTCORTarget target) {
  auto op = self();
  return metricsController_->getAndResetMetrics()
      ->then(uploaderQueue_,
             [op, batch, target](const std::shared_ptr<VDTCORMetrics>& metrics) {
               {
                 platform::RecursiveMutexLock lock(op->mutex_);
                 op->currentMetrics_ = metrics;
               }
               VDTCOREventSet events = batch->events();
               if (auto event = VDTCCTSupport::eventWithMetrics(metrics, target)) events.insert(std::move(event));
               return VDTCORUploadBatch::initWithBatchID(batch->batchID(), std::move(events));
             })
      ->recover(uploaderQueue_, [batch](const platform::Error&) { return batch; });
}

std::shared_ptr<VBLPromise<VBLVoid>> VDTCCTUploadOperation::uploadBatch(
    std::shared_ptr<VDTCORUploadBatch> batch, VDTCORTarget target,
    std::shared_ptr<VDTCORStoragePromiseProtocol> storage) {
  auto op = self();
  return sendURLRequestWithBatch(batch, target)
      ->then(uploaderQueue_,
             [op, target, batch, storage](const ResponsePtr& response) {
               op->updateNextUploadTimeWithResponse(*response, target);
               return op->processResponse(*response, batch, storage);
             })
      ->recover(uploaderQueue_, [op, batch, storage](const platform::Error&) {
        if (auto metrics = op->currentMetrics(); metrics && op->metricsController_) {
          op->metricsController_->offerMetrics(metrics);
        }
        return storage->removeBatchWithID(batch->batchID(), false);
      });
}

std::shared_ptr<VDTCCTUploadOperation::ResponsePromise> VDTCCTUploadOperation::sendURLRequestWithBatch(
    std::shared_ptr<VDTCORUploadBatch> batch, VDTCORTarget target) {
  auto op = self();
  const auto invalidate = [op] {
    std::shared_ptr<platform::URLSession> session;
    {
      platform::RecursiveMutexLock lock(op->mutex_);
      session = op->uploaderSession_;
      op->currentTask_ = nullptr;
    }
    if (session) session->finishTasksAndInvalidate();
  };
  return VBLPromise<platform::URLRequest>::do_(
             uploaderQueue_,
             [op, batch, target]() -> VBLResult<platform::URLRequest> {
               const platform::Data data = constructRequestProtoWithEvents(batch->events());
               auto gzipped = VDTCCTCompressionHelper::gzippedData(data);
               const platform::Data& body = gzipped && gzipped->size() < data.size() ? *gzipped : data;
               auto request = op->constructRequestWithURL(op->uploadURL_, target, body);
               // Nothing to send: the batch goes back to storage rather than into a request.
               if (!request) {
                 return genericRejectedPromiseErrorWithReason(
                     platform::format("No request could be built for target %ld.", static_cast<long>(target)));
               }
               VDTCORLogDebug("CTT: request containing %lu events for batch: %@ for target: %ld created: %@",
                              static_cast<unsigned long>(batch->events().size()), batch->batchID(),
                              static_cast<long>(target), request->description());
               return *request;
             })
      ->then(uploaderQueue_,
             [op](const platform::URLRequest& request) {
               auto session = op->uploaderSessionCreateIfNeeded();
               return VULPromises::vul_dataTaskPromiseWithRequest(
                   session, request, [op](const std::shared_ptr<platform::URLSessionTask>& task) {
                     platform::RecursiveMutexLock lock(op->mutex_);
                     op->currentTask_ = task;
                   });
             })
      ->then(uploaderQueue_,
             [invalidate](const ResponsePtr& response) {
               invalidate();
               return response;
             })
      ->recover(uploaderQueue_, [invalidate](const platform::Error& error) -> VBLResult<ResponsePtr> {
        invalidate();
        return error;
      });
}

platform::Data VDTCCTUploadOperation::constructRequestProtoWithEvents(const VDTCOREventSet& events) {
  return VDTCCTConstructBatchedLogRequest(events);
}

std::optional<platform::URLRequest> VDTCCTUploadOperation::constructRequestWithURL(const std::string& url,
                                                                                  VDTCORTarget target,
                                                                                  const platform::Data& data) {
  if (data.empty() || url.empty()) {
    VDTCORLogDebug("There was no data to construct a request for target %ld.", static_cast<long>(target));
    return std::nullopt;
  }
  platform::URLRequest request(url);
  if (auto key = metadataProvider_ ? metadataProvider_->APIKeyForTarget(target) : std::nullopt) {
    request.setValueForHTTPHeaderField(*key, "X-Vdzu-Api-Key");
  }
  if (VDTCCTCompressionHelper::isGzipped(data)) request.setValueForHTTPHeaderField("gzip", "Content-Encoding");
  request.setValueForHTTPHeaderField("application/x-protobuf", "Content-Type");
  request.setValueForHTTPHeaderField("gzip", "Accept-Encoding");
  request.setValueForHTTPHeaderField(platform::format("datatransport/%@ %@support/%@ apple/", kVDTCCTTransportVersion,
                                                      VDTCCTTargetShortName(target), kVDTCCTSupportVersion),
                                     "User-Agent");
  request.setHTTPMethod("POST");
  request.setHTTPBody(data);
  return request;
}

void VDTCCTUploadOperation::updateNextUploadTimeWithResponse(const VULURLSessionDataResponse& response,
                                                             VDTCORTarget target) {
  std::shared_ptr<VDTCORClock> next;
  if (const auto& body = response.HTTPBody()) {
    platform::Error error;
    auto decoded = VDTCCTDecodeLogResponse(*body, &error);
    if (!decoded) {
      VDTCORLogDebug("There was a response decoding error: %@", error.description());
    } else if (decoded->nextRequestWaitMillis && *decoded->nextRequestWaitMillis >= 0) {
      // A negative wait would turn into an endless one as unsigned milliseconds: it counts as absent.
      VDTCORLogDebug("CCT: The backend responded asking to not upload for %lld millis from now.",
                     static_cast<long long>(*decoded->nextRequestWaitMillis));
      next = VDTCORClock::clockSnapshotInTheFuture(static_cast<std::uint64_t>(*decoded->nextRequestWaitMillis));
    }
  }
  if (!next && response.HTTPResponse()) {
    if (auto header = response.HTTPResponse()->valueForHTTPHeaderField("Retry-After"); header && !header->empty()) {
      if (auto millis = retryAfterMillis(*header)) next = VDTCORClock::clockSnapshotInTheFuture(*millis);
    }
  }
  if (!next) {
    VDTCORLogDebug("%@",
                   "CCT: The backend response failed to parse, so the next request won't occur until 15 minutes "
                   "from now");
    next = VDTCORClock::clockSnapshotInTheFuture(kVDTCCTDefaultNextUploadMillis);
  }
  if (metadataProvider_) metadataProvider_->setNextUploadTime(next, target);
}

std::shared_ptr<VBLPromise<VBLVoid>> VDTCCTUploadOperation::processResponse(
    const VULURLSessionDataResponse& response, std::shared_ptr<VDTCORUploadBatch> batch,
    std::shared_ptr<VDTCORStoragePromiseProtocol> storage) {
  const std::int64_t status = response.HTTPResponse() ? response.HTTPResponse()->statusCode() : 0;
  const bool success = status >= 200 && status <= 299;
  if (auto metrics = currentMetrics(); metrics && !success && metricsController_) {
    metricsController_->offerMetrics(metrics);
  }
  bool deleteEvents = true;
  if (success) {
    VDTCORLogDebug("CCT: batch %@ uploaded. Batch will be deleted.", batch->batchID());
  } else if (status == 404 || status == 429 || (status >= 500 && status <= 599)) {
    VDTCORLogDebug("CCT: batch %@ upload failed. Batch will attempt to be uploaded later.", batch->batchID());
    deleteEvents = false;
  } else {
    VDTCORLogDebug("CCT: batch %@ upload failed. Batch will be deleted.", batch->batchID());
    if (status == 400 && metricsController_) {
      metricsController_->logEventsDroppedForReason(kVDTCOREventDropReasonRejectedByServer, batch->events());
    }
  }
  return storage->removeBatchWithID(batch->batchID(), deleteEvents);
}

platform::Error VDTCCTUploadOperation::genericRejectedPromiseErrorWithReason(std::string reason) {
  platform::Value::Dictionary info;
  info[std::string(platform::kLocalizedFailureReasonErrorKey)] = std::move(reason);
  return platform::Error(std::string(kVDTCCTUploaderErrorDomain), -1, std::move(info));
}

std::shared_ptr<platform::URLSession> VDTCCTUploadOperation::uploaderSessionCreateIfNeeded() {
  platform::RecursiveMutexLock lock(mutex_);
  if (!uploaderSession_) {
    // The session holds its delegate (this operation) until it is invalidated after its request.
    std::shared_ptr<platform::URLSessionDelegate> delegate(self(), static_cast<platform::URLSessionDelegate*>(this));
    uploaderSession_ = platform::URLSession::sessionWithConfiguration(
        platform::URLSessionConfiguration::defaultSessionConfiguration(), std::move(delegate));
  }
  return uploaderSession_;
}

void VDTCCTUploadOperation::willPerformHTTPRedirection(platform::URLSession&, platform::URLSessionTask& task,
                                                       const platform::HTTPURLResponse& response,
                                                       platform::URLRequest request,
                                                       RedirectHandler completionHandler) {
  if (!completionHandler) return;
  const std::int64_t status = response.statusCode();
  if (status == 301 || status == 302) {
    const auto& body = task.originalRequest().httpBody();
    completionHandler(constructRequestWithURL(request.url(), kVDTCORTargetCCT, body ? *body : platform::Data()));
    return;
  }
  completionHandler(std::move(request));
}
