#include "sdk/transport/core/vdtcor_registrar.h"

#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_metrics_controller_protocol.h"
#include "sdk/transport/core/vdtcor_shared_instance.h"
#include "sdk/transport/core/vdtcor_storage_protocol.h"
#include "sdk/transport/core/vdtcor_uploader.h"

namespace {

VDTCORSharedInstance<VDTCORRegistrar>& slot() {
  static auto* s = new VDTCORSharedInstance<VDTCORRegistrar>;
  return *s;
}

}  // namespace

VDTCORRegistrar::VDTCORRegistrar(Token)
    : registrarQueue_(platform::DispatchQueue::serial("com.videzu.VDTCORRegistrar")) {}

std::shared_ptr<VDTCORRegistrar> VDTCORRegistrar::sharedInstance() {
  return slot().get([] { return std::make_shared<VDTCORRegistrar>(Token{}); });
}

void VDTCORRegistrar::resetSharedInstanceForTesting() {
  // Registrations still queued land in the old tables, never in the next ones; the tables are
  // then emptied, since the components they hold refer back to the registrar.
  if (auto old = slot().reset()) {
    old->registrarQueue_->sync([&old] {
      old->targetToUploader_.clear();
      old->targetToStorage_.clear();
      old->targetToMetricsController_.clear();
    });
  }
}

void VDTCORRegistrar::registerUploader(std::shared_ptr<VDTCORUploader> uploader, VDTCORTarget target) {
  std::weak_ptr<VDTCORRegistrar> weak = weak_from_this();
  registrarQueue_->async([weak, uploader = std::move(uploader), target] {
    auto self = weak.lock();
    if (!self) return;
    VDTCORLogDebug("Registered an uploader: %@ for target:%ld", static_cast<const void*>(uploader.get()), target);
    self->targetToUploader_[target] = uploader;
  });
}

void VDTCORRegistrar::registerStorage(std::shared_ptr<VDTCORStorageProtocol> storage, VDTCORTarget target) {
  std::weak_ptr<VDTCORRegistrar> weak = weak_from_this();
  registrarQueue_->async([weak, storage = std::move(storage), target] {
    auto self = weak.lock();
    if (!self) return;
    VDTCORLogDebug("Registered storage: %@ for target:%ld", static_cast<const void*>(storage.get()), target);
    self->targetToStorage_[target] = storage;
    self->setMetricsControllerAsStorageDelegateForTarget(target);
  });
}

void VDTCORRegistrar::registerMetricsController(std::shared_ptr<VDTCORMetricsControllerProtocol> metricsController,
                                                VDTCORTarget target) {
  std::weak_ptr<VDTCORRegistrar> weak = weak_from_this();
  registrarQueue_->async([weak, metricsController = std::move(metricsController), target] {
    auto self = weak.lock();
    if (!self) return;
    VDTCORLogDebug("Registered metrics controller: %@ for target:%ld",
                   static_cast<const void*>(metricsController.get()), target);
    self->targetToMetricsController_[target] = metricsController;
    self->setMetricsControllerAsStorageDelegateForTarget(target);
  });
}

void VDTCORRegistrar::setMetricsControllerAsStorageDelegateForTarget(VDTCORTarget target) {
  auto storage = targetToStorage_.find(target);
  if (storage == targetToStorage_.end() || !storage->second) return;
  auto controller = targetToMetricsController_.find(target);
  std::shared_ptr<VDTCORStorageDelegate> delegate;
  if (controller != targetToMetricsController_.end()) delegate = controller->second;
  storage->second->setDelegate(delegate);
}

std::map<VDTCORTarget, std::shared_ptr<VDTCORUploader>> VDTCORRegistrar::targetToUploader() const {
  return registrarQueue_->syncResult([this] { return targetToUploader_; });
}

std::map<VDTCORTarget, std::shared_ptr<VDTCORStorageProtocol>> VDTCORRegistrar::targetToStorage() const {
  return registrarQueue_->syncResult([this] { return targetToStorage_; });
}

std::map<VDTCORTarget, std::shared_ptr<VDTCORMetricsControllerProtocol>> VDTCORRegistrar::targetToMetricsController()
    const {
  return registrarQueue_->syncResult([this] { return targetToMetricsController_; });
}

template <class F>
void VDTCORRegistrar::fanOut(F&& call) {
  // Called outside the registrar queue: a listener may itself look something up here.
  std::vector<std::shared_ptr<VDTCORLifecycleProtocol>> listeners;
  registrarQueue_->sync([&] {
    for (const auto& [target, uploader] : targetToUploader_) listeners.push_back(uploader);
    for (const auto& [target, storage] : targetToStorage_) listeners.push_back(storage);
  });
  for (const auto& listener : listeners) {
    if (listener) call(*listener);
  }
}

void VDTCORRegistrar::appWillBackground(VDTCORApplication& app) {
  fanOut([&](VDTCORLifecycleProtocol& listener) { listener.appWillBackground(app); });
}

void VDTCORRegistrar::appWillForeground(VDTCORApplication& app) {
  fanOut([&](VDTCORLifecycleProtocol& listener) { listener.appWillForeground(app); });
}

void VDTCORRegistrar::appWillTerminate(VDTCORApplication& app) {
  fanOut([&](VDTCORLifecycleProtocol& listener) { listener.appWillTerminate(app); });
}

std::shared_ptr<VDTCORStoragePromiseProtocol> VDTCORLookUpStorage(VDTCORTarget target) {
  auto storages = VDTCORRegistrar::sharedInstance()->targetToStorage();
  auto it = storages.find(target);
  if (it == storages.end()) return nullptr;
  return std::dynamic_pointer_cast<VDTCORStoragePromiseProtocol>(it->second);
}

std::shared_ptr<VDTCORMetricsControllerProtocol> VDTCORLookUpMetricsController(VDTCORTarget target) {
  auto controllers = VDTCORRegistrar::sharedInstance()->targetToMetricsController();
  auto it = controllers.find(target);
  return it == controllers.end() ? nullptr : it->second;
}
