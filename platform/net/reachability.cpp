#include "platform/net/reachability.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/dispatch_timer_source.h"
#include "platform/foundation/thread_safety.h"

namespace platform {

namespace {

constexpr unsigned kRouteUp = 0x0001;
constexpr unsigned kRouteReject = 0x0200;

// A route table's flags column (hexadecimal): up and not a reject route.
bool isUsableRoute(const std::string& hexFlags) {
  unsigned long flags = 0;
  try {
    flags = std::stoul(hexFlags, nullptr, 16);
  } catch (...) {
    return false;
  }
  return (flags & kRouteUp) && !(flags & kRouteReject);
}

struct Registry {
  Mutex mutex;
  std::optional<NetworkReachabilityFlags> testFlags GUARDED_BY(mutex);
  std::vector<std::weak_ptr<NetworkReachability>> scheduled GUARDED_BY(mutex);
  std::shared_ptr<DispatchQueue> checkQueue GUARDED_BY(mutex);
  std::shared_ptr<DispatchTimerSource> checkTimer GUARDED_BY(mutex);
};

Registry& registry() {
  static auto* r = new Registry;
  return *r;
}

std::string readFile(const char* path, bool& ok) {
  std::ifstream in(path);
  if (!in) {
    ok = false;
    return {};
  }
  std::ostringstream text;
  text << in.rdbuf();
  ok = true;
  return text.str();
}

bool isCellularInterface(std::string_view name) {
  for (std::string_view prefix : {"wwan", "rmnet", "ccmni", "ppp"}) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

std::vector<std::shared_ptr<NetworkReachability>> liveWatchers() {
  Registry& r = registry();
  MutexLock lock(r.mutex);
  std::vector<std::shared_ptr<NetworkReachability>> live;
  std::erase_if(r.scheduled, [&](const std::weak_ptr<NetworkReachability>& w) {
    auto p = w.lock();
    if (!p) return true;
    live.push_back(std::move(p));
    return false;
  });
  return live;
}

void tellWatchers() {
  const auto flags = NetworkState::currentFlags();
  for (const auto& watcher : liveWatchers()) watcher->networkStateChanged(flags);
}

// The periodic check is made anew whenever a watcher is scheduled, so it follows a clock that a
// test replaced.
void startChecking() {
  Registry& r = registry();
  MutexLock lock(r.mutex);
  if (!r.checkQueue) r.checkQueue = DispatchQueue::serial("platform.network-reachability");
  if (r.checkTimer) r.checkTimer->cancel();
  r.checkTimer = DispatchTimerSource::make(r.checkQueue);
  r.checkTimer->setTimer(NetworkState::kCheckInterval, NetworkState::kCheckInterval, 1);
  r.checkTimer->setEventHandler([] { tellWatchers(); });
  r.checkTimer->resume();
}

}  // namespace

NetworkReachability::NetworkReachability(Token, std::string host) : host_(std::move(host)) {}

NetworkReachability::~NetworkReachability() = default;

std::shared_ptr<NetworkReachability> NetworkReachability::createForDefaultRoute() {
  return std::make_shared<NetworkReachability>(Token{}, std::string());
}

std::shared_ptr<NetworkReachability> NetworkReachability::createWithName(std::string_view host) {
  if (host.empty()) return nullptr;
  return std::make_shared<NetworkReachability>(Token{}, std::string(host));
}

bool NetworkReachability::getFlags(NetworkReachabilityFlags& flags) const {
  auto current = NetworkState::currentFlags();
  if (!current) return false;
  flags = *current;
  return true;
}

bool NetworkReachability::setCallback(Callback callback) {
  MutexLock lock(mutex_);
  callback_ = std::move(callback);
  return true;
}

bool NetworkReachability::setDispatchQueue(std::shared_ptr<DispatchQueue> queue) {
  const bool schedule = queue != nullptr;
  {
    MutexLock lock(mutex_);
    queue_ = std::move(queue);
    // Changes are counted from the state at scheduling time.
    lastFlags_ = schedule ? NetworkState::currentFlags() : std::nullopt;
  }
  Registry& r = registry();
  {
    MutexLock lock(r.mutex);
    std::erase_if(r.scheduled, [this](const std::weak_ptr<NetworkReachability>& w) {
      auto p = w.lock();
      return !p || p.get() == this;
    });
    if (schedule) r.scheduled.push_back(weak_from_this());
  }
  if (schedule) startChecking();
  return true;
}

bool NetworkReachability::scheduleWithMainRunLoop() { return setDispatchQueue(DispatchQueue::main()); }

bool NetworkReachability::unscheduleFromMainRunLoop() { return setDispatchQueue(nullptr); }

void NetworkReachability::networkStateChanged(std::optional<NetworkReachabilityFlags> flags) {
  if (!flags) return;
  std::shared_ptr<DispatchQueue> queue;
  Callback callback;
  {
    MutexLock lock(mutex_);
    if (!queue_ || lastFlags_ == flags) return;
    lastFlags_ = flags;
    queue = queue_;
    callback = callback_;
  }
  if (!callback) return;
  queue->async([callback = std::move(callback), value = *flags] { callback(value); });
}

namespace NetworkState {

NetworkReachabilityFlags flagsFromRouteTables(std::string_view ipv4Routes, std::string_view ipv6Routes) {
  auto reachableVia = [](const std::string& iface) {
    return NetworkReachabilityFlag::kReachable | (isCellularInterface(iface) ? NetworkReachabilityFlag::kIsWWAN : 0u);
  };
  {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the first line is a header.
    std::istringstream lines{std::string(ipv4Routes)};
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string iface, destination, gateway, flags, refCount, use, metric, mask;
      if (!(fields >> iface >> destination >> gateway >> flags >> refCount >> use >> metric >> mask)) continue;
      if (iface == "lo" || destination != "00000000" || mask != "00000000") continue;
      if (isUsableRoute(flags)) return reachableVia(iface);
    }
  }
  {
    // Destination PrefixLength Source SourcePrefixLength NextHop Metric RefCnt Use Flags Iface.
    std::istringstream lines{std::string(ipv6Routes)};
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string destination, prefix, source, sourcePrefix, nextHop, metric, refCount, use, flags, iface;
      if (!(fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refCount >> use >> flags >>
            iface)) {
        continue;
      }
      if (iface == "lo" || prefix != "00" || destination != std::string(32, '0')) continue;
      if (isUsableRoute(flags)) return reachableVia(iface);
    }
  }
  return 0;
}

std::optional<NetworkReachabilityFlags> currentFlags() {
  {
    Registry& r = registry();
    MutexLock lock(r.mutex);
    if (r.testFlags) return r.testFlags;
  }
  bool ipv4Read = false;
  bool ipv6Read = false;
  const std::string ipv4 = readFile("/proc/net/route", ipv4Read);
  const std::string ipv6 = readFile("/proc/net/ipv6_route", ipv6Read);
  if (!ipv4Read && !ipv6Read) return std::nullopt;
  return flagsFromRouteTables(ipv4, ipv6);
}

void setFlagsForTesting(NetworkReachabilityFlags flags) {
  {
    Registry& r = registry();
    MutexLock lock(r.mutex);
    r.testFlags = flags;
  }
  tellWatchers();
}

void restore() {
  {
    Registry& r = registry();
    MutexLock lock(r.mutex);
    r.testFlags.reset();
  }
  tellWatchers();
}

}  // namespace NetworkState

}  // namespace platform
