// The bookkeeper of dropped events of a target, as the registrar, the storage and the uploader
// see it.
#pragma once

#include <memory>

#include "sdk/transport/core/vdtcor_log_source_metrics.h"
#include "sdk/transport/core/vdtcor_storage_protocol.h"

class VDTCORMetrics;

class VDTCORMetricsControllerProtocol : public VDTCORStorageDelegate {
 public:
  virtual std::shared_ptr<VBLPromise<VBLVoid>> logEventsDroppedForReason(VDTCOREventDropReason reason,
                                                                         const VDTCOREventSet& events) = 0;
  // The counts so far, and a new window from now. Rejected when no window could be read.
  virtual std::shared_ptr<VBLPromise<std::shared_ptr<VDTCORMetrics>>> getAndResetMetrics() = 0;
  // Folds the counts of a snapshot that could not be sent back into the stored window.
  virtual std::shared_ptr<VBLPromise<VBLVoid>> offerMetrics(std::shared_ptr<VDTCORMetrics> metrics) = 0;
};
