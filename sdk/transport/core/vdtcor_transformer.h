// The one serial queue on which every sent event passes through its transport's transformers and
// is handed to the storage of its target.
#pragma once

#include <memory>
#include <vector>

#include "sdk/transport/core/vdtcor_lifecycle_protocol.h"
#include "sdk/transport/core/vdtcor_storage_protocol.h"

namespace platform {
class DispatchQueue;
}

class VDTCORApplicationProtocol;
class VDTCOREvent;
class VDTCOREventTransformer;

inline constexpr std::string_view kVDTCORTransformerErrorDomain = "VDTCORTransformer";

class VDTCORTransformer final : public VDTCORLifecycleProtocol, public std::enable_shared_from_this<VDTCORTransformer> {
  struct Token {};

 public:
  VDTCORTransformer(Token, std::shared_ptr<VDTCORApplicationProtocol> application);

  static std::shared_ptr<VDTCORTransformer> sharedInstance();
  static void resetSharedInstanceForTesting();
  // The shared application wrapper unless another is given.
  static std::shared_ptr<VDTCORTransformer> init();
  static std::shared_ptr<VDTCORTransformer> initWithApplication(std::shared_ptr<VDTCORApplicationProtocol> application);

  // Applies the transformers in order on the event-writing queue, then hands the result to the
  // storage of the event's target, which completes once the file is written or refused. A
  // transformer that drops the event, or a null transformer, completes with (false, no error); a
  // target without storage completes at once with an error. A background task covers the flight.
  void transformEvent(std::shared_ptr<VDTCOREvent> event,
                      std::vector<std::shared_ptr<VDTCOREventTransformer>> transformers,
                      VDTCORStorageProtocol::StoreCompletion onComplete);

  // Returns once every event queued before has been handed to storage.
  void appWillTerminate(VDTCORApplication& app) override;

  const std::shared_ptr<platform::DispatchQueue>& eventWritingQueue() const { return eventWritingQueue_; }
  const std::shared_ptr<VDTCORApplicationProtocol>& application() const { return application_; }

 private:
  std::shared_ptr<platform::DispatchQueue> eventWritingQueue_;
  std::shared_ptr<VDTCORApplicationProtocol> application_;
};
