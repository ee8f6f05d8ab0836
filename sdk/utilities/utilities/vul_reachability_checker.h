// Watches whether one host can be reached and tells its delegate, on the main thread, when the
// reduced status changes. The platform's reachability service is reached through a table of five
// functions so that tests can replace it. After a successful start the delegate hears the status
// once even when nothing changes, so an owner does not wait for the network to move first.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/net/reachability.h"

using VULReachabilityStatus = std::uint32_t;
inline constexpr VULReachabilityStatus kVULReachabilityUnknown = 0;
inline constexpr VULReachabilityStatus kVULReachabilityNotReachable = 1;
inline constexpr VULReachabilityStatus kVULReachabilityViaWifi = 2;
inline constexpr VULReachabilityStatus kVULReachabilityViaCellular = 3;

inline constexpr std::string_view kVULReachabilityService = "[VULReachability]";

using VULReachabilityHandle = std::shared_ptr<platform::NetworkReachability>;

struct VULReachabilityApi {
  std::function<VULReachabilityHandle(const std::string& host)> createWithNameFn;
  std::function<bool(const VULReachabilityHandle& handle, platform::NetworkReachability::Callback callback)>
      setCallbackFn;
  std::function<bool(const VULReachabilityHandle& handle)> scheduleWithRunLoopFn;
  std::function<void(const VULReachabilityHandle& handle)> unscheduleFromRunLoopFn;
  std::function<void(const VULReachabilityHandle& handle)> releaseFn;

  // The platform's functions.
  static VULReachabilityApi defaultApi();
};

class VULReachabilityChecker;

class VULReachabilityDelegate {
 public:
  virtual ~VULReachabilityDelegate() = default;
  virtual void reachabilityStatusChanged(VULReachabilityChecker& reachability, VULReachabilityStatus status) = 0;
};

class VULReachabilityChecker : public std::enable_shared_from_this<VULReachabilityChecker> {
 public:
  // The host may be a name or a URL (its host is taken). Null, after logging, for an empty host.
  static std::shared_ptr<VULReachabilityChecker> initWithReachabilityDelegate(
      std::weak_ptr<VULReachabilityDelegate> delegate, std::string_view host);
  ~VULReachabilityChecker();
  VULReachabilityChecker(const VULReachabilityChecker&) = delete;
  VULReachabilityChecker& operator=(const VULReachabilityChecker&) = delete;

  // Meant for one thread at a time (the main thread), like stop.
  bool start();
  void stop();
  bool isActive() const { return reachability_ != nullptr; }

  // Refused, with a log line, while running.
  void setReachabilityApi(VULReachabilityApi api);
  const VULReachabilityApi& reachabilityApi() const { return api_; }
  void setReachabilityDelegate(std::weak_ptr<VULReachabilityDelegate> delegate) { delegate_ = std::move(delegate); }
  std::shared_ptr<VULReachabilityDelegate> reachabilityDelegate() const { return delegate_.lock(); }
  VULReachabilityStatus reachabilityStatus() const { return status_; }
  const std::string& host() const { return host_; }

  static VULReachabilityStatus statusForFlags(platform::NetworkReachabilityFlags flags);
  void reachabilityFlagsChanged(platform::NetworkReachabilityFlags flags);

 private:
  struct Token {};

 public:
  VULReachabilityChecker(Token, std::weak_ptr<VULReachabilityDelegate> delegate, std::string host);

 private:
  VULReachabilityApi api_;
  VULReachabilityStatus status_ = kVULReachabilityUnknown;
  VULReachabilityHandle reachability_;
  std::string host_;
  std::weak_ptr<VULReachabilityDelegate> delegate_;
};

// "Unknown", "Disconnected" or "Connected".
std::string_view VULReachabilityStatusName(VULReachabilityStatus status);
