// The app-state and orientation facts the crash reporter keeps in a report's internal keys.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "crash_test_support.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/home.h"
#include "platform/foundation/notification_center.h"
#include "platform/testing/testing.h"
#include "platform/testing/ui_driver.h"
#include "platform/ui/application.h"
#include "platform/ui/device.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/launch/rlz_file_reader.h"
#include "sdk/crash/reports/rlz_notification_manager.h"

namespace {

namespace fs = std::filesystem;
using Entries = std::vector<std::pair<std::string, std::string>>;

class RLZNotificationManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::UIDriver::reset();
    startContext("notification-report");
  }
  void TearDown() override { stopContext(); }

  void startContext(const std::string& name) {
    report_ = crash_test::scratch(name);
    const RLZContextInitStrings strings{report_.string(), crash_test::scratch(name + "-root").string(),
                                        "0123456789abcdef0123456789abcdef"};
    ASSERT_TRUE(RLZContextInitializeWithData(RLZContextBuildInitData(strings, nullptr)));
    platform::testing::runUntilIdle();
  }
  void stopContext() {
    manager_.reset();
    platform::testing::runUntilIdle();
    RLZContextResetForTesting();
    platform::UIDriver::reset();
    platform::Bundle::setMainPath({});
  }

  // An app with no screen, so that there is a shared application and its status bar.
  void launchApp() {
    const fs::path bundle = platform::Home::temporary() / "bundle";
    fs::create_directories(bundle);
    platform::Bundle::setMainPath(bundle);
    platform::ApplicationDelegateRegistry::registerClass(
        "NotificationTestDelegate", [] { return std::make_shared<platform::ApplicationDelegate>(); });
    platform::Application::launch("NotificationTestDelegate");
  }

  void start() {
    manager_ = std::make_shared<RLZNotificationManager>();
    manager_->registerNotificationListener();
  }

  // The internal keys written so far, decoded, in the order they were written.
  Entries written() {
    platform::testing::drain(RLZContextLoggingQueue());
    Entries entries;
    const auto sections = RLZFileReadSections((report_ / "internal_incremental_kv.rlzrecord").c_str(), false);
    if (!sections) return entries;
    for (const platform::Value& line : *sections) {
      const auto* object = line.ifDictionary();
      const auto kv = object ? object->find("kv") : platform::Value::Dictionary::const_iterator{};
      const auto* pair = object && kv != object->end() ? kv->second.ifDictionary() : nullptr;
      if (!pair) continue;
      auto text = [&](const char* name) {
        const auto it = pair->find(name);
        const std::string* hex = it == pair->end() ? nullptr : it->second.ifString();
        return hex ? RLZFileHexDecodeString(hex->c_str()).value_or("?") : std::string("?");
      };
      entries.emplace_back(text("key"), text("value"));
    }
    return entries;
  }
  Entries writtenFor(std::string_view key) {
    Entries found;
    for (auto& entry : written()) {
      if (entry.first == key) found.push_back(std::move(entry));
    }
    return found;
  }

  fs::path report_;
  std::shared_ptr<RLZNotificationManager> manager_;
};

TEST_F(RLZNotificationManagerTest, StartUpWritesTheForegroundAndBothOrientationsInOrder) {
  struct Case {
    const char* name;
    bool withApplication;
    platform::DeviceOrientation device;
    Entries expected;
  };
  const std::vector<Case> cases = {
      {"an app held in landscape",
       true,
       platform::DeviceOrientation::LandscapeLeft,
       {{"com.ralitoze.in-background", "0"},
        {"com.ralitoze.device-orientation", "3"},
        {"com.ralitoze.ui-orientation", "1"}}},
      {"an extension, which has no status bar",
       false,
       platform::DeviceOrientation::FaceUp,
       {{"com.ralitoze.in-background", "0"},
        {"com.ralitoze.device-orientation", "5"},
        {"com.ralitoze.ui-orientation", "0"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    stopContext();
    startContext(c.name);
    if (c.withApplication) launchApp();
    platform::Device::current().setOrientation(c.device);
    start();
    EXPECT_EQ(written(), c.expected);
  }
}

TEST_F(RLZNotificationManagerTest, LeavingTheAppAndComingBackRecordsYesThenNo) {
  launchApp();
  start();
  auto app = platform::Application::shared();
  app->enterBackground();
  platform::testing::runUntilIdle();
  app->enterForeground();
  platform::testing::runUntilIdle();
  const Entries expected = {
      {"com.ralitoze.in-background", "0"}, {"com.ralitoze.in-background", "1"}, {"com.ralitoze.in-background", "0"}};
  EXPECT_EQ(writtenFor("com.ralitoze.in-background"), expected);
}

TEST_F(RLZNotificationManagerTest, OrientationChangesRecordTheOrientationAtTheTimeOfTheNotification) {
  launchApp();
  start();
  platform::Device::current().setOrientation(platform::DeviceOrientation::LandscapeRight);
  platform::NotificationCenter::defaultCenter().post(std::string(kRLZStatusBarOrientationDidChangeNotification));
  const Entries expected = {{"com.ralitoze.device-orientation", "1"}, {"com.ralitoze.device-orientation", "4"}};
  EXPECT_EQ(writtenFor("com.ralitoze.device-orientation"), expected);
  EXPECT_EQ(writtenFor("com.ralitoze.ui-orientation").size(), 2u);
  EXPECT_EQ(writtenFor("com.ralitoze.ui-orientation").back().second, "1");
}

TEST_F(RLZNotificationManagerTest, AManagerThatIsGoneRecordsNothingMore) {
  start();
  const Entries before = written();
  manager_.reset();
  platform::Device::current().setOrientation(platform::DeviceOrientation::PortraitUpsideDown);
  platform::NotificationCenter::defaultCenter().post(std::string(platform::kApplicationDidEnterBackgroundNotification));
  EXPECT_EQ(written(), before);
}

}  // namespace
