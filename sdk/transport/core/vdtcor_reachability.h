// Watches the default route for the upload coordinator: the flags read once at start, and the
// flags of the latest change once there has been one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/net/reachability.h"

namespace platform {
class DispatchQueue;
}

using VDTCORNetworkReachabilityFlags = platform::NetworkReachabilityFlags;

// Reachable, and without a connection to be established first.
inline bool VDTCORReachableWithoutConnection(VDTCORNetworkReachabilityFlags flags) {
  return (flags & platform::NetworkReachabilityFlag::kReachable) &&
         !(flags & platform::NetworkReachabilityFlag::kConnectionRequired);
}
inline bool VDTCORReachableViaCellular(VDTCORNetworkReachabilityFlags flags) {
  return (flags & platform::NetworkReachabilityFlag::kIsWWAN) != 0;
}

class VDTCORReachability final {
  struct Token {};

 public:
  explicit VDTCORReachability(Token);

  static std::shared_ptr<VDTCORReachability> sharedInstance();
  static void resetSharedInstanceForTesting();

  // The latest change's flags when there has been a change (0, unreachable, included), else the
  // flags read at start.
  static VDTCORNetworkReachabilityFlags currentFlags();

  VDTCORNetworkReachabilityFlags flags() const;
  void setFlags(VDTCORNetworkReachabilityFlags flags);
  // Stores only a value that differs.
  void setCallbackFlags(VDTCORNetworkReachabilityFlags flags);
  const std::shared_ptr<platform::DispatchQueue>& reachabilityQueue() const { return reachabilityQueue_; }

 private:
  static std::shared_ptr<VDTCORReachability> make();

  std::shared_ptr<platform::NetworkReachability> reachabilityRef_;
  std::shared_ptr<platform::DispatchQueue> reachabilityQueue_;
  // Written and read on the reachability queue only.
  std::optional<VDTCORNetworkReachabilityFlags> callbackFlags_;
  VDTCORNetworkReachabilityFlags flags_ = 0;
};
