// Counts the events the transport loses, per log source and reason, in a collection window kept
// in the storage's "metrics_metadata" entry. Every change of the window is one read-modify-write
// on the storage's queue, so concurrent drops and resets apply one after another.
#pragma once

#include <memory>

#include "sdk/transport/core/vdtcor_metrics_controller_protocol.h"

class VDTCORStoragePromiseProtocol;

class VDTCORMetricsController final : public VDTCORMetricsControllerProtocol,
                                      public std::enable_shared_from_this<VDTCORMetricsController> {
  struct Token {};

 public:
  VDTCORMetricsController(Token, std::shared_ptr<VDTCORStoragePromiseProtocol> storage);

  // The class-load hook: registers the shared controller for targets 1002 and 1001.
  static void load();
  // Made with the shared flat-file storage.
  static std::shared_ptr<VDTCORMetricsController> sharedInstance();
  static void resetSharedInstanceForTesting();
  static std::shared_ptr<VDTCORMetricsController> initWithStorage(std::shared_ptr<VDTCORStoragePromiseProtocol> storage);

  std::shared_ptr<VBLPromise<VBLVoid>> logEventsDroppedForReason(VDTCOREventDropReason reason,
                                                                 const VDTCOREventSet& events) override;
  std::shared_ptr<VBLPromise<std::shared_ptr<VDTCORMetrics>>> getAndResetMetrics() override;
  std::shared_ptr<VBLPromise<VBLVoid>> offerMetrics(std::shared_ptr<VDTCORMetrics> metrics) override;

  // Expired events count under reason 1, a refused one under reason 2; nothing waits for that.
  void storageDidRemoveExpiredEvents(VDTCORStorageProtocol& storage, const VDTCOREventSet& events) override;
  void storageDidDropEvent(VDTCORStorageProtocol& storage, const std::shared_ptr<VDTCOREvent>& event) override;

  const std::shared_ptr<VDTCORStoragePromiseProtocol>& storage() const { return storage_; }

 private:
  std::shared_ptr<VDTCORStoragePromiseProtocol> storage_;
};
