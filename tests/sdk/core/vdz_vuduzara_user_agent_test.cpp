#include "sdk/core/core/vdz_vuduzara_user_agent.h"

#include <gtest/gtest.h>

#include "core_test_fixture.h"
#include "platform/foundation/system_info.h"

namespace {

using core_test::CoreTest;

class VDZVuduzaraUserAgentTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    auto facts = platform::SystemInfo::facts();
    facts.machine = "arm64";
    facts.systemVersion = "16.4";
    facts.iOSAppOnMac = false;
    facts_.emplace(std::move(facts));
    VULAppEnvironmentUtil::resetForTesting();
    core_test::BundleContents contents;
    contents.info["DTSDKBuild"] = "20E238";
    contents.info["DTXcodeBuild"] = "14E300c";
    useBundle(contents);
  }
  void TearDown() override {
    facts_.reset();
    CoreTest::TearDown();
  }
  std::optional<platform::SystemInfo::ScopedFacts> facts_;
};

TEST_F(VDZVuduzaraUserAgentTest, JoinsLibrariesAndEnvironmentSortedIgnoringCase) {
  VDZVuduzaraUserAgent agent;
  agent.setValue("8.15.0", "vud-ios");
  agent.setValue("1.0", "Zeta");
  agent.setValue("8.15.0", "vud-install");
  agent.setValue("2.0", "alpha-kit");
  EXPECT_EQ(agent.vuduzaraUserAgent(),
            "alpha-kit/2.0 apple-platform/ios apple-sdk/20E238 appstore/false deploy/swiftpm device/arm64 "
            "os-version/16.4 vud-install/8.15.0 vud-ios/8.15.0 xcode/14E300c Zeta/1.0");
}

TEST_F(VDZVuduzaraUserAgentTest, ChangesReplaceEntriesAndEnvironmentKeysWin) {
  VDZVuduzaraUserAgent agent;
  agent.setValue("1.0", "lib");
  const std::string before = agent.vuduzaraUserAgent();
  EXPECT_NE(before.find("lib/1.0"), std::string::npos);

  agent.setValue("1.1", "lib");
  agent.setValue("my-phone", "device");
  const std::string after = agent.vuduzaraUserAgent();
  EXPECT_EQ(after.find("lib/1.0"), std::string::npos);
  EXPECT_NE(after.find("lib/1.1"), std::string::npos);
  EXPECT_NE(after.find("device/arm64"), std::string::npos);
  EXPECT_EQ(after.find("my-phone"), std::string::npos);

  agent.reset();
  EXPECT_EQ(agent.vuduzaraUserAgent().find("lib/"), std::string::npos);
  EXPECT_EQ(agent.valuesByComponent(), VDZVuduzaraUserAgent::environmentComponents());
}

TEST_F(VDZVuduzaraUserAgentTest, EntriesMissingFromInfoPlistAreLeftOut) {
  useBundle(core_test::BundleContents{});
  const auto components = VDZVuduzaraUserAgent::environmentComponents();
  EXPECT_FALSE(components.contains("apple-sdk"));
  EXPECT_FALSE(components.contains("xcode"));
  EXPECT_EQ(components.at("appstore"), "false");
  EXPECT_EQ(components.at("deploy"), "swiftpm");
}

struct InstallLibrary {
  static VDZComponentList componentsToRegister() { return {}; }
};
struct CapitalLibrary {
  static VDZComponentList componentsToRegister() { return {}; }
};

TEST_F(VDZVuduzaraUserAgentTest, TheSharedUserAgentListsRegisteredLibrariesInAStableOrder) {
  VDZApp::registerInternalLibrary(defineLibrary<CapitalLibrary>("FakeCapitalLibrary"), "Zeta-lib", "1.0");
  VDZApp::registerInternalLibrary(defineLibrary<InstallLibrary>("FakeInstallLibrary"), "vud-install");
  VDZApp::registerLibrary("alpha-kit", "2.0");
  const std::string agent = VDZApp::vuduzaraUserAgent();

  const auto alpha = agent.find("alpha-kit/2.0");
  const auto install = agent.find("vud-install/8.15.0");
  const auto zeta = agent.find("Zeta-lib/1.0");
  ASSERT_NE(alpha, std::string::npos);
  ASSERT_NE(install, std::string::npos);
  ASSERT_NE(zeta, std::string::npos);
  EXPECT_LT(alpha, install);
  EXPECT_LT(install, zeta);
  EXPECT_EQ(VDZApp::vuduzaraUserAgent(), agent);
}

}  // namespace
