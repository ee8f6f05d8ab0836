#include "sdk/transport/core/vdtcor_transformer.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/exception.h"
#include "sdk/transport/core/vdtcor_application.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_event.h"
#include "sdk/transport/core/vdtcor_event_transformer.h"
#include "sdk/transport/core/vdtcor_registrar.h"
#include "sdk/transport/core/vdtcor_shared_instance.h"

namespace {

VDTCORSharedInstance<VDTCORTransformer>& slot() {
  static auto* s = new VDTCORSharedInstance<VDTCORTransformer>;
  return *s;
}

}  // namespace

VDTCORTransformer::VDTCORTransformer(Token, std::shared_ptr<VDTCORApplicationProtocol> application)
    : eventWritingQueue_(platform::DispatchQueue::serial("com.videzu.VDTCORTransformer")),
      application_(std::move(application)) {}

std::shared_ptr<VDTCORTransformer> VDTCORTransformer::sharedInstance() { return slot().get([] { return init(); }); }

void VDTCORTransformer::resetSharedInstanceForTesting() {
  if (auto old = slot().reset()) old->eventWritingQueue_->sync([] {});
}

std::shared_ptr<VDTCORTransformer> VDTCORTransformer::init() {
  return initWithApplication(VDTCORApplication::sharedApplication());
}

std::shared_ptr<VDTCORTransformer> VDTCORTransformer::initWithApplication(
    std::shared_ptr<VDTCORApplicationProtocol> application) {
  return std::make_shared<VDTCORTransformer>(Token{}, std::move(application));
}

void VDTCORTransformer::transformEvent(std::shared_ptr<VDTCOREvent> event,
                                       std::vector<std::shared_ptr<VDTCOREventTransformer>> transformers,
                                       VDTCORStorageProtocol::StoreCompletion onComplete) {
  VDTCORAssert(event, "You can't write a nil event");
  auto task = VDTCORBackgroundTask::begin(application_, "VDTTransformer");
  auto completion = [onComplete = std::move(onComplete), task](bool wasWritten, const platform::Error& error) {
    if (onComplete) onComplete(wasWritten, error);
    task->end();
  };
  eventWritingQueue_->async([event = std::move(event), transformers = std::move(transformers), completion] {
    if (!event) {
      completion(false, platform::Error(std::string(platform::kInternalInconsistencyException), -1));
      return;
    }
    // The storage is the one of the target the event was sent for, whatever a transformer does.
    const VDTCORTarget target = event->target();
    std::shared_ptr<VDTCOREvent> transformed = event;
    for (const auto& transformer : transformers) {
      if (!transformer) {
        VDTCORLogError(kVDTCORMessageCodeTransformer,
                       "Transformer doesn't implement transformVDTEvent: %@", nullptr);
        completion(false, platform::Error());
        return;
      }
      VDTCORLogDebug("Applying a transformer to event %@", transformed.get());
      transformed = transformer->transformVDTEvent(transformed);
      if (!transformed) {
        completion(false, platform::Error());
        return;
      }
    }
    const auto storages = VDTCORRegistrar::sharedInstance()->targetToStorage();
    auto it = storages.find(target);
    if (it == storages.end() || !it->second) {
      completion(false, platform::Error(std::string(kVDTCORTransformerErrorDomain), -1,
                                        {{std::string(platform::kLocalizedFailureReasonErrorKey),
                                          platform::Value(platform::format(
                                              "No storage is registered for target %ld.", target))}}));
      return;
    }
    it->second->storeEvent(transformed, completion);
  });
}

void VDTCORTransformer::appWillTerminate(VDTCORApplication&) { eventWritingQueue_->sync([] {}); }
