#include "sdk/transport/core/vdtcor_transport.h"

#include "platform/foundation/exception.h"
#include "sdk/transport/core/vdtcor_clock.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_transformer.h"

VDTCORTransport::VDTCORTransport(Token, std::string mappingID,
                                 std::vector<std::shared_ptr<VDTCOREventTransformer>> transformers,
                                 VDTCORTarget target)
    : mappingID_(std::move(mappingID)),
      transformers_(std::move(transformers)),
      target_(target),
      transformerInstance_(VDTCORTransformer::sharedInstance()) {}

std::shared_ptr<VDTCORTransport> VDTCORTransport::initWithMappingID(
    std::string_view mappingID, std::vector<std::shared_ptr<VDTCOREventTransformer>> transformers,
    VDTCORTarget target) {
  VDTCORAssert(!mappingID.empty(), "A mapping ID cannot be nil or empty");
  VDTCORAssert(target > 0, "A target cannot be negative or 0");
  if (mappingID.empty() || target <= 0) return nullptr;
  auto transport = std::make_shared<VDTCORTransport>(Token{}, std::string(mappingID), std::move(transformers), target);
  if (VDTCORConsoleLoggerLoggingLevel().load() <= kVDTCORLogLevelDebug) {
    std::string list = "(";
    for (const auto& transformer : transport->transformers_) {
      list += platform::format(list.size() > 1 ? ", %@" : "%@", static_cast<const void*>(transformer.get()));
    }
    list += ")";
    VDTCORLogDebug("Transport object created. mappingID:%@ transformers:%@ target:%ld", transport->mappingID_, list,
                   target);
  }
  return transport;
}

std::shared_ptr<VDTCOREvent> VDTCORTransport::eventForTransport() const {
  return VDTCOREvent::initWithMappingID(mappingID_, target_);
}

void VDTCORTransport::sendTelemetryEvent(const std::shared_ptr<VDTCOREvent>& event,
                                         VDTCORStorageProtocol::StoreCompletion onComplete) {
  if (event) event->setQosTier(kVDTCORTierTelemetry);
  sendEvent(event, std::move(onComplete));
}

void VDTCORTransport::sendDataEvent(const std::shared_ptr<VDTCOREvent>& event,
                                    VDTCORStorageProtocol::StoreCompletion onComplete) {
  VDTCORAssert(!event || event->qosTier() != kVDTCORTierTelemetry, "Use -sendTelemetryEvent, please.");
  sendEvent(event, std::move(onComplete));
}

void VDTCORTransport::sendEvent(const std::shared_ptr<VDTCOREvent>& event,
                                VDTCORStorageProtocol::StoreCompletion onComplete) {
  VDTCORAssert(event, "You can't send a nil event");
  std::shared_ptr<VDTCOREvent> copy = event ? event->copy() : nullptr;
  if (event && !copy) {
    // The caller changed the event into one that is no event (empty mapping ID, target below 1).
    if (onComplete) {
      onComplete(false, platform::Error(std::string(platform::kInternalInconsistencyException), -1));
    }
    return;
  }
  if (copy) copy->setClockSnapshot(VDTCORClock::snapshot());
  transformerInstance_->transformEvent(std::move(copy), transformers_, std::move(onComplete));
}
