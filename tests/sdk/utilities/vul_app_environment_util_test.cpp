#include "sdk/utilities/utilities/vul_app_environment_util.h"

#include <gtest/gtest.h>

#include "environment_fixture.h"
#include "platform/runtime/class.h"

namespace {

using utilities_testing::EnvironmentScope;
using utilities_testing::Installation;

TEST(VULAppEnvironmentUtil, SimulatorIsTheDesktopMachineNames) {
  struct Case {
    std::optional<std::string> machine;
    bool simulator;
  };
  const Case cases[] = {
      {"x86_64", true}, {"i386", true}, {"arm64", false}, {"iPhone14,2", false}, {std::nullopt, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.machine.value_or("(none)"));
    Installation i;
    i.machine = c.machine;
    EnvironmentScope scope(i);
    EXPECT_EQ(VULAppEnvironmentUtil::deviceModel(), c.machine);
    EXPECT_EQ(VULAppEnvironmentUtil::isSimulator(), c.simulator);
  }
}

TEST(VULAppEnvironmentUtil, ThisMachineReadsAsASimulator) {
  VULAppEnvironmentUtil::resetForTesting();
  EXPECT_EQ(VULAppEnvironmentUtil::deviceModel(), "x86_64");
  EXPECT_TRUE(VULAppEnvironmentUtil::isSimulator());
  EXPECT_FALSE(VULAppEnvironmentUtil::isFromAppStore());
}

TEST(VULAppEnvironmentUtil, StoreInstallationFollowsTheFirstRuleThatApplies) {
  struct Case {
    const char* name;
    Installation installation;
    bool fromStore;
  };
  auto make = [](auto change) {
    Installation i;
    change(i);
    return i;
  };
  const Case cases[] = {
      {"simulator with every store mark", make([](Installation& i) {
         i.machine = "x86_64";
         i.scInfo = true;
         i.encrypted = true;
       }),
       false},
      {"store folder", make([](Installation& i) { i.scInfo = true; }), true},
      {"store folder and sandbox receipt", make([](Installation& i) {
         i.scInfo = true;
         i.receipt = "sandboxReceipt";
       }),
       false},
      {"sandbox receipt with the check switched off", make([](Installation& i) {
         i.scInfo = true;
         i.receipt = "sandboxReceipt";
         i.receiptCheck = false;
       }),
       true},
      {"check switch given as text stays on", make([](Installation& i) {
         i.scInfo = true;
         i.receipt = "sandboxReceipt";
         i.receiptCheck = "NO";
       }),
       false},
      {"unencrypted without a profile", make([](Installation&) {}), false},
      {"encrypted without a profile", make([](Installation& i) { i.encrypted = true; }), true},
      {"encrypted with a profile", make([](Installation& i) {
         i.encrypted = true;
         i.provisioningProfile = true;
       }),
       false},
      {"encrypted with a production receipt", make([](Installation& i) {
         i.encrypted = true;
         i.receipt = "receipt";
       }),
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EnvironmentScope scope(c.installation);
    EXPECT_EQ(VULAppEnvironmentUtil::isFromAppStore(), c.fromStore);
  }
}

TEST(VULAppEnvironmentUtil, ReceiptTestNeedsASandboxReceipt) {
  struct Case {
    const char* receipt;
    platform::Value check;
    bool sandbox;
  };
  const Case cases[] = {
      {nullptr, {}, false},           {"receipt", {}, false},       {"sandboxReceipt", {}, true},
      {"sandboxReceipt", true, true}, {"sandboxReceipt", 0, false}, {"sandboxReceipt", "false", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.receipt ? c.receipt : "(none)") + " " + c.check.description());
    Installation i;
    i.receipt = c.receipt;
    i.receiptCheck = c.check;
    EnvironmentScope scope(i);
    EXPECT_EQ(VULAppEnvironmentUtil::isAppStoreReceiptSandbox(), c.sandbox);
  }
}

TEST(VULAppEnvironmentUtil, MalformedLoadCommandsReadAsUnencrypted) {
  // A command of size 0 would never advance; one that overruns the declared commands must not be read.
  for (std::uint32_t badSize : {0u, 4u, 4096u}) {
    SCOPED_TRACE(badSize);
    Installation i;
    EnvironmentScope scope(i);
    std::vector<std::uint32_t> header = {0xFEEDFACF, 0x0100000C, 0, 2,    2,  40, 0, 0, 0x19,
                                         badSize,    0,          0, 0x2C, 24, 0,  0, 1, 0};
    auto facts = platform::SystemInfo::facts();
    facts.loadedImages = {{"/Focus.app/Focus", header.data(), 0}};
    platform::SystemInfo::setForTesting(facts);
    VULAppEnvironmentUtil::resetForTesting();
    EXPECT_FALSE(VULAppEnvironmentUtil::isFromAppStore());
  }
}

TEST(VULAppEnvironmentUtil, PlatformIsDesktopOnlyFromVersion14WhenTheProcessSaysSo) {
  struct Case {
    std::string version;
    std::optional<bool> onMac;
    std::string platform;
  };
  const Case cases[] = {
      {"13.7", true, "ios"},  {"14.0", true, "ios_on_mac"},  {"14", true, "ios_on_mac"},
      {"14.0", false, "ios"}, {"17.2", std::nullopt, "ios"}, {"9.3", true, "ios"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    Installation i;
    i.systemVersion = c.version;
    i.onMac = c.onMac;
    EnvironmentScope scope(i);
    EXPECT_EQ(VULAppEnvironmentUtil::systemVersion(), c.version);
    EXPECT_EQ(VULAppEnvironmentUtil::applePlatform(), c.platform);
  }
}

TEST(VULAppEnvironmentUtil, ExtensionIsABundleEndingInAppex) {
  for (const auto& [name, extension] : {std::pair{"Focus.app", false}, std::pair{"Widget.appex", true}}) {
    SCOPED_TRACE(name);
    Installation i;
    i.bundleName = name;
    EnvironmentScope scope(i);
    EXPECT_EQ(VULAppEnvironmentUtil::isAppExtension(), extension);
  }
}

TEST(VULAppEnvironmentUtil, SwiftRuntimeIsFoundByClassName) {
  EXPECT_FALSE(VULAppEnvironmentUtil::hasSwiftRuntime());
  platform::runtime::ClassDefinition swiftObject;
  swiftObject.name = "_TtCs12_SwiftObject";
  platform::runtime::registerClass(swiftObject);
  EXPECT_TRUE(VULAppEnvironmentUtil::hasSwiftRuntime());
  platform::runtime::unregisterClass("_TtCs12_SwiftObject");
}

}  // namespace
