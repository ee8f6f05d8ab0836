// What an SDK client creates once per log source and target to send events. A send completes
// once the event is written to disk (or refused), never when it is uploaded.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/transport/core/vdtcor_event.h"
#include "sdk/transport/core/vdtcor_storage_protocol.h"

class VDTCOREventTransformer;
class VDTCORTransformer;

class VDTCORTransport final {
  struct Token {};

 public:
  VDTCORTransport(Token, std::string mappingID, std::vector<std::shared_ptr<VDTCOREventTransformer>> transformers,
                  VDTCORTarget target);

  // Null, after a failed assertion, for an empty mapping ID or a target below 1.
  static std::shared_ptr<VDTCORTransport> initWithMappingID(
      std::string_view mappingID, std::vector<std::shared_ptr<VDTCOREventTransformer>> transformers,
      VDTCORTarget target);

  // A new event of this transport's mapping ID and target.
  std::shared_ptr<VDTCOREvent> eventForTransport() const;

  // Sets the caller's event to the telemetry tier, then sends it.
  void sendTelemetryEvent(const std::shared_ptr<VDTCOREvent>& event,
                          VDTCORStorageProtocol::StoreCompletion onComplete = {});
  // Sends the event as it is (a telemetry-tier event fails an assertion and is sent anyway).
  void sendDataEvent(const std::shared_ptr<VDTCOREvent>& event, VDTCORStorageProtocol::StoreCompletion onComplete = {});

  const std::string& mappingID() const { return mappingID_; }
  const std::vector<std::shared_ptr<VDTCOREventTransformer>>& transformers() const { return transformers_; }
  VDTCORTarget target() const { return target_; }
  const std::shared_ptr<VDTCORTransformer>& transformerInstance() const { return transformerInstance_; }

 private:
  // A copy of the event, with a new clock snapshot, is what travels on: the caller's object may
  // change afterwards without effect.
  void sendEvent(const std::shared_ptr<VDTCOREvent>& event, VDTCORStorageProtocol::StoreCompletion onComplete);

  std::string mappingID_;
  std::vector<std::shared_ptr<VDTCOREventTransformer>> transformers_;
  VDTCORTarget target_;
  std::shared_ptr<VDTCORTransformer> transformerInstance_;
};
