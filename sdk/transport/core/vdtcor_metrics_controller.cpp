#include "sdk/transport/core/vdtcor_metrics_controller.h"

#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_flat_file_storage.h"
#include "sdk/transport/core/vdtcor_log_source_metrics.h"
#include "sdk/transport/core/vdtcor_metrics.h"
#include "sdk/transport/core/vdtcor_metrics_metadata.h"
#include "sdk/transport/core/vdtcor_registrar.h"
#include "sdk/transport/core/vdtcor_shared_instance.h"
#include "sdk/utilities/promises/vbl_promise.h"

namespace {

VDTCORSharedInstance<VDTCORMetricsController>& slot() {
  static auto* s = new VDTCORSharedInstance<VDTCORMetricsController>;
  return *s;
}

// The steps after the storage's own run on a global queue: the main queue may be busy or, in the
// background, not drained at all.
std::shared_ptr<platform::DispatchQueue> chainQueue() { return platform::DispatchQueue::global(); }

void logFetchError(const platform::Error& error) {
  VDTCORLog(kVDTCORMessageCodeDebug, kVDTCORLogLevelDebug, "Error fetching metrics metadata: %@", error);
}

}  // namespace

VDTCORMetricsController::VDTCORMetricsController(Token, std::shared_ptr<VDTCORStoragePromiseProtocol> storage)
    : storage_(std::move(storage)) {}

void VDTCORMetricsController::load() {
  auto controller = sharedInstance();
  auto registrar = VDTCORRegistrar::sharedInstance();
  registrar->registerMetricsController(controller, kVDTCORTargetCSH);
  registrar->registerMetricsController(controller, kVDTCORTargetFLL);
}

std::shared_ptr<VDTCORMetricsController> VDTCORMetricsController::sharedInstance() {
  return slot().get([] { return initWithStorage(VDTCORFlatFileStorage::sharedInstance()); });
}

void VDTCORMetricsController::resetSharedInstanceForTesting() { slot().reset(); }

std::shared_ptr<VDTCORMetricsController> VDTCORMetricsController::initWithStorage(
    std::shared_ptr<VDTCORStoragePromiseProtocol> storage) {
  return std::make_shared<VDTCORMetricsController>(Token{}, std::move(storage));
}

std::shared_ptr<VBLPromise<VBLVoid>> VDTCORMetricsController::logEventsDroppedForReason(
    VDTCOREventDropReason reason, const VDTCOREventSet& events) {
  if (events.empty()) return VBLPromise<VBLVoid>::resolvedWith(VBLVoid{});
  auto counted = VDTCORLogSourceMetrics::metricsWithEvents(
      std::vector<std::shared_ptr<VDTCOREvent>>(events.begin(), events.end()), reason);
  return storage_->fetchAndUpdateMetricsWithHandler(
      [counted](const std::shared_ptr<VDTCORMetricsMetadata>& metadata, const platform::Error& fetchError) {
        if (metadata) {
          return VDTCORMetricsMetadata::metadataWithCollectionStartDate(
              metadata->collectionStartDate(),
              metadata->logSourceMetrics()->logSourceMetricsByMergingWithLogSourceMetrics(*counted));
        }
        logFetchError(fetchError);
        return VDTCORMetricsMetadata::metadataWithCollectionStartDate(platform::Date::now(), counted);
      });
}

std::shared_ptr<VBLPromise<std::shared_ptr<VDTCORMetrics>>> VDTCORMetricsController::getAndResetMetrics() {
  auto captured = std::make_shared<std::shared_ptr<VDTCORMetricsMetadata>>();
  auto storage = storage_;
  const auto queue = chainQueue();
  return storage_
      ->fetchAndUpdateMetricsWithHandler(
          [captured](const std::shared_ptr<VDTCORMetricsMetadata>& metadata, const platform::Error& fetchError) {
            if (!metadata) logFetchError(fetchError);
            *captured = metadata;
            return VDTCORMetricsMetadata::metadataWithCollectionStartDate(platform::Date::now(),
                                                                          VDTCORLogSourceMetrics::metrics());
          })
      ->validate(queue, [captured](const VBLVoid&) { return *captured != nullptr; })
      ->then(queue, [storage](const VBLVoid&) { return storage->fetchStorageMetadata(); })
      ->then(queue, [captured](const VDTCORStorageMetadata& storageMetadata) {
        return VDTCORMetrics::metricsWithMetricsMetadata(**captured, storageMetadata);
      });
}

std::shared_ptr<VBLPromise<VBLVoid>> VDTCORMetricsController::offerMetrics(std::shared_ptr<VDTCORMetrics> metrics) {
  if (!metrics) return VBLPromise<VBLVoid>::resolvedWith(VBLVoid{});
  return storage_->fetchAndUpdateMetricsWithHandler(
      [metrics](const std::shared_ptr<VDTCORMetricsMetadata>& metadata, const platform::Error& fetchError) {
        const double offeredStart = metrics->collectionStartDate().timeIntervalSince1970();
        if (metadata) {
          // A snapshot newer than the stored window was taken after it started: its counts are in
          // the window's past already.
          if (offeredStart > metadata->collectionStartDate().timeIntervalSince1970()) return metadata;
          return VDTCORMetricsMetadata::metadataWithCollectionStartDate(
              metrics->collectionStartDate(),
              metrics->logSourceMetrics()->logSourceMetricsByMergingWithLogSourceMetrics(
                  *metadata->logSourceMetrics()));
        }
        logFetchError(fetchError);
        const platform::Date now = platform::Date::now();
        if (!(offeredStart > now.timeIntervalSince1970())) {
          return VDTCORMetricsMetadata::metadataWithCollectionStartDate(metrics->collectionStartDate(),
                                                                        metrics->logSourceMetrics());
        }
        return VDTCORMetricsMetadata::metadataWithCollectionStartDate(now, VDTCORLogSourceMetrics::metrics());
      });
}

void VDTCORMetricsController::storageDidRemoveExpiredEvents(VDTCORStorageProtocol&, const VDTCOREventSet& events) {
  logEventsDroppedForReason(kVDTCOREventDropReasonExpired, events);
}

void VDTCORMetricsController::storageDidDropEvent(VDTCORStorageProtocol&, const std::shared_ptr<VDTCOREvent>& event) {
  if (!event) return;
  logEventsDroppedForReason(kVDTCOREventDropReasonStorageLimit, VDTCOREventSet{event});
}
