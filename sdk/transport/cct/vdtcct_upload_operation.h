// One upload attempt for one target, run by the uploader's operation queue one at a time: checks
// that the target may upload now, moves a selection of its stored events into a batch, adds the
// dropped-event metrics, posts the batch (gzip-compressed when that is smaller), records the wait
// the backend asks for, and deletes the batch's events or gives them back by the answer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/operation.h"
#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"
#include "platform/net/url_session.h"
#include "sdk/transport/core/vdtcor_event.h"
#include "sdk/transport/core/vdtcor_uploader.h"

namespace platform {
class DispatchQueue;
}

template <class T>
class VBLPromise;
struct VBLVoid;

class VDTCORClock;
class VDTCORMetrics;
class VDTCORMetricsControllerProtocol;
class VDTCORStorageEventSelector;
class VDTCORStoragePromiseProtocol;
class VDTCORUploadBatch;
class VULURLSessionDataResponse;

inline constexpr std::string_view kVDTCCTUploaderErrorDomain = "VDTCCTUploader";
inline constexpr std::string_view kVDTCCTTransportVersion = "0.0.1";
inline constexpr std::string_view kVDTCCTSupportVersion = "0.0.1";
inline constexpr double kVDTCCTBatchExpirationSeconds = 600;
inline constexpr std::uint64_t kVDTCCTDefaultNextUploadMillis = 900'000;

// Keeps the next upload time per target and gives the API key per target (the uploader).
class VDTCCTUploadMetadataProvider {
 public:
  virtual ~VDTCCTUploadMetadataProvider() = default;
  virtual std::shared_ptr<VDTCORClock> nextUploadTimeForTarget(VDTCORTarget target) = 0;
  // Null removes the time.
  virtual void setNextUploadTime(std::shared_ptr<VDTCORClock> time, VDTCORTarget target) = 0;
  virtual std::optional<std::string> APIKeyForTarget(VDTCORTarget target) = 0;
};

// "cct", "fll", "csh", "int"; "unknown" for any other target.
std::string_view VDTCCTTargetShortName(VDTCORTarget target);

class VDTCCTUploadOperation final : public platform::Operation, public platform::URLSessionDelegate {
  struct Token {};

 public:
  using ResponsePromise = VBLPromise<std::shared_ptr<VULURLSessionDataResponse>>;
  using BatchPromise = VBLPromise<std::shared_ptr<VDTCORUploadBatch>>;

  // An empty upload URL names no endpoint: no request is ever built for it.
  static std::shared_ptr<VDTCCTUploadOperation> initWithTarget(
      VDTCORTarget target, VDTCORUploadConditions conditions, std::string uploadURL,
      std::shared_ptr<platform::DispatchQueue> queue, std::shared_ptr<VDTCORStoragePromiseProtocol> storage,
      std::shared_ptr<VDTCCTUploadMetadataProvider> metadataProvider,
      std::shared_ptr<VDTCORMetricsControllerProtocol> metricsController);
  VDTCCTUploadOperation(Token, VDTCORTarget target, VDTCORUploadConditions conditions, std::string uploadURL,
                        std::shared_ptr<platform::DispatchQueue> queue,
                        std::shared_ptr<VDTCORStoragePromiseProtocol> storage,
                        std::shared_ptr<VDTCCTUploadMetadataProvider> metadataProvider,
                        std::shared_ptr<VDTCORMetricsControllerProtocol> metricsController);

  VDTCORTarget target() const { return target_; }
  VDTCORUploadConditions conditions() const { return conditions_; }
  const std::string& uploadURL() const { return uploadURL_; }
  bool uploadAttempted() const;
  std::shared_ptr<VDTCORMetrics> currentMetrics() const;

  // platform::Operation
  void start() override;
  void cancel() override;
  bool isExecuting() const override;
  bool isFinished() const override;
  bool isAsynchronous() const override { return true; }
  std::string description() const override;

  // The steps of the upload, each on the uploader queue.
  void uploadTarget(VDTCORTarget target, VDTCORUploadConditions conditions);
  std::shared_ptr<VBLPromise<VBLVoid>> isReadyToUploadTarget(VDTCORTarget target, VDTCORUploadConditions conditions);
  bool readyToUploadTarget(VDTCORTarget target, VDTCORUploadConditions conditions);
  static std::shared_ptr<VDTCORStorageEventSelector> eventSelectorTarget(VDTCORTarget target,
                                                                         VDTCORUploadConditions conditions);
  std::shared_ptr<BatchPromise> batchByAddingMetricsEventToBatch(std::shared_ptr<VDTCORUploadBatch> batch,
                                                                 VDTCORTarget target);
  std::shared_ptr<VBLPromise<VBLVoid>> uploadBatch(std::shared_ptr<VDTCORUploadBatch> batch, VDTCORTarget target,
                                                   std::shared_ptr<VDTCORStoragePromiseProtocol> storage);
  std::shared_ptr<ResponsePromise> sendURLRequestWithBatch(std::shared_ptr<VDTCORUploadBatch> batch,
                                                           VDTCORTarget target);
  static platform::Data constructRequestProtoWithEvents(const VDTCOREventSet& events);
  // None for empty data or an empty URL.
  std::optional<platform::URLRequest> constructRequestWithURL(const std::string& url, VDTCORTarget target,
                                                              const platform::Data& data);
  void updateNextUploadTimeWithResponse(const VULURLSessionDataResponse& response, VDTCORTarget target);
  std::shared_ptr<VBLPromise<VBLVoid>> processResponse(const VULURLSessionDataResponse& response,
                                                       std::shared_ptr<VDTCORUploadBatch> batch,
                                                       std::shared_ptr<VDTCORStoragePromiseProtocol> storage);
  static platform::Error genericRejectedPromiseErrorWithReason(std::string reason);
  std::shared_ptr<platform::URLSession> uploaderSessionCreateIfNeeded();

  // platform::URLSessionDelegate
  void willPerformHTTPRedirection(platform::URLSession& session, platform::URLSessionTask& task,
                                  const platform::HTTPURLResponse& response, platform::URLRequest request,
                                  RedirectHandler completionHandler) override;

 private:
  std::shared_ptr<VDTCCTUploadOperation> self();
  void startOperation();
  void finishOperation();
  void setState(bool executing, bool finished);
  // Stops the request in flight (background-task expiry).
  void cancelCurrentTask();

  const VDTCORTarget target_;
  const VDTCORUploadConditions conditions_;
  const std::string uploadURL_;
  const std::shared_ptr<platform::DispatchQueue> uploaderQueue_;
  const std::shared_ptr<VDTCORStoragePromiseProtocol> storage_;
  const std::shared_ptr<VDTCCTUploadMetadataProvider> metadataProvider_;
  const std::shared_ptr<VDTCORMetricsControllerProtocol> metricsController_;

  mutable platform::RecursiveMutex mutex_;
  bool executing_ GUARDED_BY(mutex_) = false;
  bool finished_ GUARDED_BY(mutex_) = false;
  bool uploadAttempted_ GUARDED_BY(mutex_) = false;
  std::shared_ptr<VDTCORMetrics> currentMetrics_ GUARDED_BY(mutex_);
  std::shared_ptr<platform::URLSession> uploaderSession_ GUARDED_BY(mutex_);
  std::shared_ptr<platform::URLSessionTask> currentTask_ GUARDED_BY(mutex_);
};
