#include "platform/foundation/system_info.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cstring>

#include "platform/runloop/clock.h"
#include "platform/testing/testing.h"

namespace {

using platform::SystemInfo::facts;

TEST(SystemInfo, TruthComesFromTheKernelAndTheProcess) {
  utsname name{};
  ASSERT_EQ(uname(&name), 0);
  EXPECT_EQ(platform::SystemInfo::machine(), std::string(name.machine));
  EXPECT_EQ(platform::SystemInfo::model(), "iPhone");
  EXPECT_EQ(platform::SystemInfo::systemName(), "iOS");

  const auto images = platform::SystemInfo::loadedImages();
  ASSERT_FALSE(images.empty());
  // The main program comes first, by its path, with its ELF header mapped where reported.
  EXPECT_NE(images.front().path.find("platform_foundation_tests"), std::string::npos);
  ASSERT_NE(images.front().header, nullptr);
  EXPECT_EQ(std::memcmp(images.front().header, "\x7f" "ELF", 4), 0);

  const auto arguments = platform::ProcessInfo::arguments();
  ASSERT_FALSE(arguments.empty());
  EXPECT_NE(arguments.front().find("platform_foundation_tests"), std::string::npos);
}

TEST(SystemInfo, BootTimeFollowsTheManualClockAndStaysPut) {
  auto& clock = platform::Clock::current();
  ASSERT_TRUE(clock.isManual());
  const auto boot = platform::SystemInfo::kernelBootTime();
  ASSERT_TRUE(boot);
  const double expected = clock.now().timeIntervalSince1970() - clock.uptime();
  EXPECT_NEAR(static_cast<double>(boot->seconds) + boot->microseconds / 1e6, expected, 1e-6);
  platform::testing::advance(1234.5);
  EXPECT_EQ(platform::SystemInfo::kernelBootTime(), boot);
}

TEST(BootClock, AdvancesWithUptimeAndAgreesWithTheKernelBootTime) {
  auto& clock = platform::Clock::current();
  ASSERT_TRUE(clock.isManual());
  const double before = clock.secondsSinceBoot();
  platform::testing::advance(90.25);
  EXPECT_DOUBLE_EQ(clock.secondsSinceBoot(), before + 90.25);
  // A changed wall date moves neither the boot clock nor uptime.
  platform::testing::manualClock()->setDate(platform::Date::fromTimeIntervalSince1970(1'000'000'000));
  EXPECT_DOUBLE_EQ(clock.secondsSinceBoot(), before + 90.25);
  const auto boot = platform::SystemInfo::kernelBootTime();
  ASSERT_TRUE(boot);
  const double wallSinceBoot = clock.now().timeIntervalSince1970() - (static_cast<double>(boot->seconds) + boot->microseconds / 1e6);
  EXPECT_NEAR(clock.secondsSinceBoot(), wallSinceBoot, 1e-6);

  // The real boot clock includes the time the monotonic clock leaves out while suspended.
  const platform::RealClock real;
  const double uptime = real.uptime();
  const double sinceBoot = real.secondsSinceBoot();
  EXPECT_GT(sinceBoot, 0);
  EXPECT_GE(sinceBoot, uptime - 1e-6);
}

TEST(SystemInfo, OverridesReplaceEveryFactUntilRestored) {
  const auto truth = facts();
  {
    auto f = truth;
    f.machine = std::nullopt;
    f.model = "iPad";
    f.systemVersion = "13.1";
    f.kernelBootTime = std::nullopt;
    f.arguments = {"app", "-VDZDebugEnabled"};
    f.iOSAppOnMac = std::nullopt;
    f.loadedImages.clear();
    platform::SystemInfo::ScopedFacts scope(f);
    EXPECT_EQ(platform::SystemInfo::machine(), std::nullopt);
    EXPECT_EQ(platform::SystemInfo::model(), "iPad");
    EXPECT_EQ(platform::SystemInfo::systemVersion(), "13.1");
    EXPECT_EQ(platform::SystemInfo::kernelBootTime(), std::nullopt);
    EXPECT_TRUE(platform::SystemInfo::loadedImages().empty());
    EXPECT_EQ(platform::ProcessInfo::arguments(), (std::vector<std::string>{"app", "-VDZDebugEnabled"}));
    EXPECT_EQ(platform::ProcessInfo::isiOSAppOnMac(), std::nullopt);
  }
  EXPECT_EQ(platform::SystemInfo::machine(), truth.machine);
  EXPECT_EQ(platform::SystemInfo::model(), truth.model);
  EXPECT_EQ(platform::ProcessInfo::arguments(), truth.arguments);
}

}  // namespace
