// The event transport's one uploader: registered for targets 1000 to 1003 at load, it turns each
// upload request of the coordinator into an upload operation, runs them one at a time, keeps the
// next upload time per target (in memory) and gives the API key the requests carry.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/thread_safety.h"
#include "sdk/transport/cct/vdtcct_upload_operation.h"
#include "sdk/transport/core/vdtcor_uploader.h"

namespace platform {
class DispatchQueue;
class OperationQueue;
}  // namespace platform

class VDTCCTUploader final : public VDTCORUploader,
                             public VDTCCTUploadMetadataProvider,
                             public std::enable_shared_from_this<VDTCCTUploader> {
  struct Token {};

 public:
  explicit VDTCCTUploader(Token);

  // The class-load hook: registers the shared uploader for targets 1000, 1001, 1002 and 1003.
  static void load();
  static std::shared_ptr<VDTCCTUploader> sharedInstance();
  // Lets running operations finish, then makes a new uploader on next use.
  static void resetSharedInstanceForTesting();

  static std::optional<std::string> serverURLForTarget(VDTCORTarget target);
  // The key of targets 1001, 1002 and 1003.
  static const std::string& FLLAndCSHAndINTAPIKey();

  const std::shared_ptr<platform::OperationQueue>& uploadOperationQueue() const { return uploadOperationQueue_; }
  const std::shared_ptr<platform::DispatchQueue>& uploadQueue() const { return uploadQueue_; }

  // VDTCORUploader
  void uploadTarget(VDTCORTarget target, VDTCORUploadConditions conditions) override;

  // VDTCCTUploadMetadataProvider
  std::shared_ptr<VDTCORClock> nextUploadTimeForTarget(VDTCORTarget target) override;
  void setNextUploadTime(std::shared_ptr<VDTCORClock> time, VDTCORTarget target) override;
  std::optional<std::string> APIKeyForTarget(VDTCORTarget target) override;

 private:
  const std::shared_ptr<platform::OperationQueue> uploadOperationQueue_;
  const std::shared_ptr<platform::DispatchQueue> uploadQueue_;
  platform::Mutex nextUploadTimeMutex_;
  std::map<VDTCORTarget, std::shared_ptr<VDTCORClock>> nextUploadTimeByTarget_ GUARDED_BY(nextUploadTimeMutex_);
};
