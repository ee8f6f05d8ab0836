// The process-wide table tying each target to its uploader, its storage and its metrics
// controller. It also makes a target's metrics controller the delegate of the target's storage and
// passes lifecycle events on to uploaders and storages.
#pragma once

#include <map>
#include <memory>

#include "sdk/transport/core/vdtcor_event.h"
#include "sdk/transport/core/vdtcor_lifecycle_protocol.h"

namespace platform {
class DispatchQueue;
}

class VDTCORMetricsControllerProtocol;
class VDTCORStoragePromiseProtocol;
class VDTCORStorageProtocol;
class VDTCORUploader;

class VDTCORRegistrar final : public VDTCORLifecycleProtocol, public std::enable_shared_from_this<VDTCORRegistrar> {
  struct Token {};

 public:
  explicit VDTCORRegistrar(Token);

  static std::shared_ptr<VDTCORRegistrar> sharedInstance();
  static void resetSharedInstanceForTesting();

  // Queued; a later registration for the same target replaces the earlier one.
  void registerUploader(std::shared_ptr<VDTCORUploader> uploader, VDTCORTarget target);
  void registerStorage(std::shared_ptr<VDTCORStorageProtocol> storage, VDTCORTarget target);
  void registerMetricsController(std::shared_ptr<VDTCORMetricsControllerProtocol> metricsController,
                                 VDTCORTarget target);

  // Copies of the tables, read on the registrar queue, so a lookup sees every registration made
  // before it on the same thread.
  std::map<VDTCORTarget, std::shared_ptr<VDTCORUploader>> targetToUploader() const;
  std::map<VDTCORTarget, std::shared_ptr<VDTCORStorageProtocol>> targetToStorage() const;
  std::map<VDTCORTarget, std::shared_ptr<VDTCORMetricsControllerProtocol>> targetToMetricsController() const;

  const std::shared_ptr<platform::DispatchQueue>& registrarQueue() const { return registrarQueue_; }

  // Every registered uploader, then every registered storage (once per registration).
  void appWillBackground(VDTCORApplication& app) override;
  void appWillForeground(VDTCORApplication& app) override;
  void appWillTerminate(VDTCORApplication& app) override;

 private:
  // Runs on the registrar queue.
  void setMetricsControllerAsStorageDelegateForTarget(VDTCORTarget target);
  template <class F>
  void fanOut(F&& call);

  std::shared_ptr<platform::DispatchQueue> registrarQueue_;
  std::map<VDTCORTarget, std::shared_ptr<VDTCORUploader>> targetToUploader_;
  std::map<VDTCORTarget, std::shared_ptr<VDTCORStorageProtocol>> targetToStorage_;
  std::map<VDTCORTarget, std::shared_ptr<VDTCORMetricsControllerProtocol>> targetToMetricsController_;
};

// The target's storage when it offers the promise interface, else null.
std::shared_ptr<VDTCORStoragePromiseProtocol> VDTCORLookUpStorage(VDTCORTarget target);
std::shared_ptr<VDTCORMetricsControllerProtocol> VDTCORLookUpMetricsController(VDTCORTarget target);
