// The network-reachability service: whether the default route (or the route to a host) can be
// used now, as the platform's reachability flags, and a callback when that changes.
//
// Production reads the kernel's routing tables: a usable default route means reachable, over a
// cellular modem's interface also "WWAN". No host name is resolved: a host counts as reachable
// whenever the default route is. Changes are found by a check every few seconds of the platform
// clock. Tests set the state of the network instead (NetworkState::setFlagsForTesting), and every
// scheduled watcher whose flags change hears of it at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/thread_safety.h"

namespace platform {

class DispatchQueue;

using NetworkReachabilityFlags = std::uint32_t;

namespace NetworkReachabilityFlag {
inline constexpr NetworkReachabilityFlags kTransientConnection = 1u << 0;
inline constexpr NetworkReachabilityFlags kReachable = 1u << 1;
inline constexpr NetworkReachabilityFlags kConnectionRequired = 1u << 2;
inline constexpr NetworkReachabilityFlags kConnectionOnTraffic = 1u << 3;
inline constexpr NetworkReachabilityFlags kInterventionRequired = 1u << 4;
inline constexpr NetworkReachabilityFlags kConnectionOnDemand = 1u << 5;
inline constexpr NetworkReachabilityFlags kIsLocalAddress = 1u << 16;
inline constexpr NetworkReachabilityFlags kIsDirect = 1u << 17;
inline constexpr NetworkReachabilityFlags kIsWWAN = 1u << 18;
}  // namespace NetworkReachabilityFlag

class NetworkReachability : public std::enable_shared_from_this<NetworkReachability> {
 public:
  using Callback = std::function<void(NetworkReachabilityFlags flags)>;

  // The default route (the all-zero address).
  static std::shared_ptr<NetworkReachability> createForDefaultRoute();
  // The route to a host; null for an empty name.
  static std::shared_ptr<NetworkReachability> createWithName(std::string_view host);

  ~NetworkReachability();
  NetworkReachability(const NetworkReachability&) = delete;
  NetworkReachability& operator=(const NetworkReachability&) = delete;

  const std::string& host() const { return host_; }

  // False when the state of the network cannot be read.
  bool getFlags(NetworkReachabilityFlags& flags) const;
  // An empty callback removes it. Always succeeds.
  bool setCallback(Callback callback);
  // Where callbacks are delivered; a null queue stops delivery. Always succeeds.
  bool setDispatchQueue(std::shared_ptr<DispatchQueue> queue);
  // Delivery on the main run loop (which drains the main queue).
  bool scheduleWithMainRunLoop();
  bool unscheduleFromMainRunLoop();

  // Internal: the state of the network may have changed.
  void networkStateChanged(std::optional<NetworkReachabilityFlags> flags);

 private:
  struct Token {};

 public:
  NetworkReachability(Token, std::string host);

 private:
  std::string host_;
  mutable Mutex mutex_;
  Callback callback_ GUARDED_BY(mutex_);
  std::shared_ptr<DispatchQueue> queue_ GUARDED_BY(mutex_);
  std::optional<NetworkReachabilityFlags> lastFlags_ GUARDED_BY(mutex_);
};

namespace NetworkState {
// The flags of the default route now: the test's setting, else the routing tables. None when the
// routing tables cannot be read.
std::optional<NetworkReachabilityFlags> currentFlags();
// Every watcher reports these flags until restore(); scheduled watchers whose flags change are
// called back.
void setFlagsForTesting(NetworkReachabilityFlags flags);
void restore();
// The flags that routing tables in the kernel's text form give (IPv4 table, IPv6 table; either
// may be empty).
NetworkReachabilityFlags flagsFromRouteTables(std::string_view ipv4Routes, std::string_view ipv6Routes);
// How often production looks for changes, in seconds of the platform clock.
inline constexpr double kCheckInterval = 5;
}  // namespace NetworkState

}  // namespace platform
