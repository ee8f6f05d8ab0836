#include "platform/net/reachability.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/testing/testing.h"

namespace platform {
namespace {

using namespace NetworkReachabilityFlag;

const std::string kIPv4Header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(NetworkReachabilityTest, TheDefaultRouteDecidesTheFlags) {
  struct Case {
    const char* name;
    std::string ipv4;
    std::string ipv6;
    NetworkReachabilityFlags flags;
  };
  const std::string up = "eth0\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n";
  const std::string local = "eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n";
  const std::string ipv6Default =
      "00000000000000000000000000000000 00 00000000000000000000000000000000 00 fe800000000000000000000000000001 "
      "00000400 00000001 00000000 00450003     eth0\n";
  const std::string ipv6Unreachable =
      "00000000000000000000000000000000 00 00000000000000000000000000000000 00 00000000000000000000000000000000 "
      "ffffffff 00000001 00000000 00200200       lo\n";
  const std::vector<Case> cases = {
      {"default route up", kIPv4Header + local + up, "", kReachable},
      {"over a modem", kIPv4Header + "wwan0\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n", "",
       kReachable | kIsWWAN},
      {"local network only", kIPv4Header + local, "", 0},
      {"default route down", kIPv4Header + "eth0\t00000000\t0102A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n", "", 0},
      {"default route on loopback", kIPv4Header + "lo\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n", "", 0},
      {"IPv6 only", kIPv4Header, ipv6Unreachable + ipv6Default, kReachable},
      {"nothing", "", "", 0},
      {"garbage", "no\ttable\there\n1 2 3\n", "zz", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(NetworkState::flagsFromRouteTables(c.ipv4, c.ipv6), c.flags) << c.name;
}

TEST(NetworkReachabilityTest, ScheduledWatchersHearEachChangeOnceOnTheirQueue) {
  NetworkState::setFlagsForTesting(kReachable);
  auto reachability = NetworkReachability::createForDefaultRoute();
  auto queue = DispatchQueue::serial("watcher");
  std::mutex mutex;
  std::vector<NetworkReachabilityFlags> heard;
  bool onQueue = true;
  reachability->setCallback([&](NetworkReachabilityFlags flags) {
    std::lock_guard lock(mutex);
    onQueue = onQueue && queue->isCurrent();
    heard.push_back(flags);
  });
  reachability->setDispatchQueue(queue);

  for (NetworkReachabilityFlags flags : {kReachable, kReachable | kIsWWAN, kReachable | kIsWWAN, 0u, 0u, kReachable}) {
    NetworkState::setFlagsForTesting(flags);
    testing::runUntilIdle();
  }
  NetworkReachabilityFlags now = 99;
  EXPECT_TRUE(reachability->getFlags(now));
  EXPECT_EQ(now, kReachable);

  reachability->setDispatchQueue(nullptr);
  NetworkState::setFlagsForTesting(0);
  testing::runUntilIdle();
  NetworkState::restore();
  std::lock_guard lock(mutex);
  EXPECT_TRUE(onQueue);
  EXPECT_EQ(heard, (std::vector<NetworkReachabilityFlags>{kReachable | kIsWWAN, 0u, kReachable}));
}

TEST(NetworkReachabilityTest, AHostNeedsANameAndFollowsTheDefaultRoute) {
  EXPECT_EQ(NetworkReachability::createWithName(""), nullptr);
  auto host = NetworkReachability::createWithName("example.invalid");
  ASSERT_TRUE(host);
  NetworkState::setFlagsForTesting(0);
  NetworkReachabilityFlags flags = 99;
  EXPECT_TRUE(host->getFlags(flags));
  EXPECT_EQ(flags, 0u);
  NetworkState::restore();
}

}  // namespace
}  // namespace platform
