#include "sdk/transport/core/vdtcor_reachability.h"

#include "platform/dispatch/dispatch_queue.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_shared_instance.h"

namespace {

VDTCORSharedInstance<VDTCORReachability>& slot() {
  static auto* s = new VDTCORSharedInstance<VDTCORReachability>;
  return *s;
}

}  // namespace

VDTCORReachability::VDTCORReachability(Token)
    : reachabilityRef_(platform::NetworkReachability::createForDefaultRoute()),
      reachabilityQueue_(platform::DispatchQueue::serial("com.videzu.VDTCORReachability")) {}

std::shared_ptr<VDTCORReachability> VDTCORReachability::sharedInstance() { return slot().get([] { return make(); }); }

void VDTCORReachability::resetSharedInstanceForTesting() {
  if (auto old = slot().reset()) {
    old->reachabilityRef_->setCallback({});
    old->reachabilityRef_->setDispatchQueue(nullptr);
    old->reachabilityQueue_->sync([] {});
  }
}

std::shared_ptr<VDTCORReachability> VDTCORReachability::make() {
  auto reachability = std::make_shared<VDTCORReachability>(Token{});
  if (!reachability->reachabilityRef_->setDispatchQueue(reachability->reachabilityQueue_)) {
    VDTCORLogWarning(kVDTCORMessageCodeReachability, "The reachability queue wasn't set.");
  }
  std::weak_ptr<VDTCORReachability> weak = reachability;
  const bool callbackSet = reachability->reachabilityRef_->setCallback([weak](platform::NetworkReachabilityFlags flags) {
    VDTCORLogDebug("Reachability changed, new flags: %d", flags);
    if (auto self = weak.lock()) self->setCallbackFlags(flags);
  });
  if (!callbackSet) VDTCORLogWarning(kVDTCORMessageCodeReachability, "The reachability callback wasn't set.");
  reachability->reachabilityQueue_->async([weak] {
    auto self = weak.lock();
    if (!self) return;
    platform::NetworkReachabilityFlags flags = 0;
    if (!self->reachabilityRef_->getFlags(flags)) {
      VDTCORLogDebug("Determining reachability failed.");
      flags = 0;
    }
    self->flags_ = flags;
  });
  return reachability;
}

VDTCORNetworkReachabilityFlags VDTCORReachability::currentFlags() {
  auto self = sharedInstance();
  return self->reachabilityQueue_->syncResult([&self] {
    const VDTCORNetworkReachabilityFlags flags = self->callbackFlags_.value_or(self->flags_);
    VDTCORLogDebug("Initial reachability flags determined: %d", flags);
    return flags;
  });
}

VDTCORNetworkReachabilityFlags VDTCORReachability::flags() const {
  return reachabilityQueue_->syncResult([this] { return flags_; });
}

void VDTCORReachability::setFlags(VDTCORNetworkReachabilityFlags flags) {
  auto set = [this, flags] { flags_ = flags; };
  reachabilityQueue_->isCurrent() ? set() : reachabilityQueue_->sync(set);
}

void VDTCORReachability::setCallbackFlags(VDTCORNetworkReachabilityFlags flags) {
  auto set = [this, flags] {
    if (callbackFlags_ != flags) callbackFlags_ = flags;
  };
  reachabilityQueue_->isCurrent() ? set() : reachabilityQueue_->sync(set);
}
