#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "app/app_notifications.h"
#include "focus_app_fixture.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/notification_center.h"

namespace {

using platform::Value;

class AppDelegateTest : public FocusAppTest {};

TEST_F(AppDelegateTest, FirstLaunchSeesEveryRegisteredDefaultWithoutStoringIt) {
  launch(Launch().asFirstLaunch());
  struct Case {
    std::string_view key;
    Value expected;
  };
  const Case cases[] = {
      {kIsFirstLaunchKey, Value(true)},       {kFocusTimeKey, Value(25)},         {kBreakTimeKey, Value(5)},
      {kLongBreakTimeKey, Value(20)},         {kSessionNumberKey, Value(4)},      {kEnableSoundKey, Value(true)},
      {kEnableVibrationKey, Value(true)},     {kEnableFlashKey, Value(false)},    {kSessionDoneNumberKey, Value(1)},
      {kWhiteNoiseModeKey, Value(1)},         {kTodayFocusTotalTimeKey, Value(0)},
  };
  for (const auto& c : cases) EXPECT_EQ(defaults()->objectForKey(c.key), c.expected) << c.key;

  // Registration lives in memory only: after a relaunch in miniature only the version remains.
  platform::UserDefaults::resetCachesForTesting();
  for (const auto& c : cases) EXPECT_TRUE(defaults()->objectForKey(c.key).isNull()) << c.key;
  EXPECT_EQ(defaults()->objectForKey(kVersionOfLastRunKey), Value("1.0.0"));
}

TEST_F(AppDelegateTest, StoredValuesWinOverRegisteredDefaults) {
  launch(Launch().with(kEnableSoundKey, false).with(kWhiteNoiseModeKey, 0).with(kFocusTimeKey, 40));
  EXPECT_FALSE(defaults()->boolForKey(kEnableSoundKey));
  EXPECT_EQ(defaults()->integerForKey(kWhiteNoiseModeKey), 0);
  EXPECT_EQ(focusScreen()->timerLabel()->text(), "40:00");
}

TEST_F(AppDelegateTest, LaunchLoadsTheFocusScreenAndConfiguresTheSdkOnce) {
  auto focus = launch();
  ASSERT_TRUE(focus);
  EXPECT_TRUE(focus->isViewLoaded());
  EXPECT_EQ(topScreen(), focus);
  EXPECT_EQ(focus->timerLabel()->text(), "25:00");
  EXPECT_TRUE(VDZApp::isDefaultAppConfigured());
  EXPECT_EQ(platform::UIDriver::keyWindow(), app_->delegate()->window());
}

TEST_F(AppDelegateTest, PostsTheWhiteNoiseNotificationAtEveryLaunch) {
  int posts = 0;
  auto observer = platform::NotificationCenter::defaultCenter().addObserver(
      std::string(kWhiteNoiseModeChangeNotification), nullptr, nullptr, [&](const platform::Notification&) { ++posts; });
  launch();
  EXPECT_EQ(posts, 1);
  app_.reset();
  resetWorld();
  launch();
  EXPECT_EQ(posts, 2);
}

// A bundle like the app's, with the Info.plist's version entry given as raw XML (or none).
class VersionBundleTest : public AppDelegateTest {
 protected:
  void useBundleWithVersionEntry(const std::string& entry) {
    namespace fs = std::filesystem;
    fs::path source = platform::Bundle::main()->bundlePath();
    folder_ = fs::temp_directory_path() / ("focus-bundle-" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    for (const char* name : {"VidezuService-Info.plist", "ImageManifest.json"}) {
      fs::copy_file(source / name, folder_ / name);
    }
    std::ofstream(folder_ / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        << "<key>CFBundleIdentifier</key><string>com.focus.timer</string>\n"
        << entry << "</dict>\n</plist>\n";
    platform::Bundle::setMainPath(folder_);
  }
  void TearDown() override {
    AppDelegateTest::TearDown();
    platform::Bundle::setMainPath({});
    std::filesystem::remove_all(folder_);
  }
  std::filesystem::path folder_;
};

TEST_F(VersionBundleTest, RecordsTheShortVersionOnlyWhenItIsAString) {
  struct Case {
    const char* name;
    std::string entry;
    Value expected;
  };
  const Case cases[] = {
      {"string", "<key>CFBundleShortVersionString</key><string>2.3.4</string>\n", Value("2.3.4")},
      {"missing", "", Value()},
      {"integer", "<key>CFBundleShortVersionString</key><integer>7</integer>\n", Value()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    defaults()->setObject(Value("0.9"), kVersionOfLastRunKey);
    useBundleWithVersionEntry(c.entry);
    launch();
    EXPECT_EQ(defaults()->objectForKey(kVersionOfLastRunKey), c.expected);
    app_.reset();
    resetWorld();
    platform::Bundle::setMainPath({});
  }
}

}  // namespace
