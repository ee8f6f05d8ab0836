#include "sdk/transport/core/vdtcor_upload_coordinator.h"

#include <set>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/dispatch_timer_source.h"
#include "sdk/transport/core/vdtcor_application.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_reachability.h"
#include "sdk/transport/core/vdtcor_registrar.h"
#include "sdk/transport/core/vdtcor_shared_instance.h"
#include "sdk/transport/core/vdtcor_storage_protocol.h"

namespace {

VDTCORSharedInstance<VDTCORUploadCoordinator>& slot() {
  static auto* s = new VDTCORSharedInstance<VDTCORUploadCoordinator>;
  return *s;
}

constexpr double seconds(std::uint64_t nanoseconds) { return static_cast<double>(nanoseconds) / 1e9; }

}  // namespace

VDTCORUploadCoordinator::VDTCORUploadCoordinator(Token)
    : coordinationQueue_(platform::DispatchQueue::serial("com.videzu.VDTCORUploadCoordinator")),
      registrar_(VDTCORRegistrar::sharedInstance()) {}

std::shared_ptr<VDTCORUploadCoordinator> VDTCORUploadCoordinator::sharedInstance() {
  return slot().get([] {
    auto coordinator = std::make_shared<VDTCORUploadCoordinator>(Token{});
    coordinator->startTimer();
    return coordinator;
  });
}

void VDTCORUploadCoordinator::resetSharedInstanceForTesting() {
  if (auto old = slot().reset()) old->coordinationQueue_->sync([&old] { old->stopTimer(); });
}

void VDTCORUploadCoordinator::startTimer() {
  std::weak_ptr<VDTCORUploadCoordinator> weak = weak_from_this();
  coordinationQueue_->async([weak] {
    auto self = weak.lock();
    if (!self || self->timer_) return;
    self->timer_ = platform::DispatchTimerSource::make(self->coordinationQueue_);
    self->timer_->setTimer(seconds(kTimerStartDelay), seconds(kTimerInterval), seconds(kTimerLeeway));
    self->timer_->setEventHandler([weak] {
      if (auto coordinator = weak.lock()) coordinator->timerFired();
    });
    VDTCORLogDebug("Upload timer started");
    self->timer_->resume();
  });
}

void VDTCORUploadCoordinator::stopTimer() {
  if (!timer_) return;
  timer_->cancel();
  timer_.reset();
}

bool VDTCORUploadCoordinator::timerIsRunning() const {
  return coordinationQueue_->syncResult([this] { return timer_ != nullptr; });
}

void VDTCORUploadCoordinator::timerFired() {
  if (VDTCORApplication::sharedApplication()->isRunningInBackground()) return;
  const VDTCORUploadConditions conditions = uploadConditions();
  VDTCORLogDebug("Upload timer fired");
  std::vector<VDTCORTarget> targets;
  for (const auto& [target, uploader] : registrar_->targetToUploader()) targets.push_back(target);
  uploadTargets(std::move(targets), conditions);
}

void VDTCORUploadCoordinator::forceUploadForTarget(VDTCORTarget target) {
  std::weak_ptr<VDTCORUploadCoordinator> weak = weak_from_this();
  coordinationQueue_->async([weak, target] {
    auto self = weak.lock();
    if (!self) return;
    VDTCORLogDebug("Forcing an upload of target %ld", target);
    self->uploadTargets({target}, self->uploadConditions() | kVDTCORUploadConditionForced);
  });
}

void VDTCORUploadCoordinator::uploadTargets(std::vector<VDTCORTarget> targets, VDTCORUploadConditions conditions) {
  std::weak_ptr<VDTCORUploadCoordinator> weak = weak_from_this();
  coordinationQueue_->async([weak, targets = std::move(targets), conditions] {
    auto self = weak.lock();
    if (!self || (conditions & kVDTCORUploadConditionNoNetwork)) return;
    const auto uploaders = self->registrar_->targetToUploader();
    for (VDTCORTarget target : targets) {
      auto it = uploaders.find(target);
      if (it == uploaders.end() || !it->second) continue;
      it->second->uploadTarget(target, conditions);
    }
  });
}

VDTCORUploadConditions VDTCORUploadCoordinator::uploadConditions() const {
  const VDTCORNetworkReachabilityFlags flags = VDTCORReachability::currentFlags();
  if (!VDTCORReachableWithoutConnection(flags)) return kVDTCORUploadConditionNoNetwork;
  return VDTCORReachableViaCellular(flags) ? kVDTCORUploadConditionCellular : kVDTCORUploadConditionWifi;
}

void VDTCORUploadCoordinator::signalToStoragesToCheckExpirations() {
  std::set<VDTCORStorageProtocol*> signalled;
  for (const auto& [target, storage] : registrar_->targetToStorage()) {
    if (!storage || !signalled.insert(storage.get()).second) continue;
    storage->checkForExpirations();
  }
}

std::shared_ptr<VDTCORStorageProtocol> VDTCORUploadCoordinator::storageForTarget(VDTCORTarget target) {
  const auto storages = registrar_->targetToStorage();
  auto it = storages.find(target);
  std::shared_ptr<VDTCORStorageProtocol> storage = it == storages.end() ? nullptr : it->second;
  VDTCORAssert(storage, "A storage must be registered for target %@", target);
  return storage;
}

void VDTCORUploadCoordinator::appWillForeground(VDTCORApplication&) {
  startTimer();
  signalToStoragesToCheckExpirations();
}

void VDTCORUploadCoordinator::appWillBackground(VDTCORApplication&) {
  std::weak_ptr<VDTCORUploadCoordinator> weak = weak_from_this();
  coordinationQueue_->async([weak] {
    if (auto self = weak.lock()) self->stopTimer();
  });
}

void VDTCORUploadCoordinator::appWillTerminate(VDTCORApplication&) {
  coordinationQueue_->sync([this] { stopTimer(); });
}
