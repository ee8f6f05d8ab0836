// Quitting the front end ends the app as a phone does: it leaves the front first, and the SDK
// writes what leaving owes before the process ends.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/shared_file.h"
#include "platform/foundation/user_defaults.h"
#include "platform/testing/testing.h"
#include "platform/ui/application.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/events/apm_event.h"
#include "tests/tools/terminal/session_fixture.h"

namespace {

class QuitTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    for (std::string_view name :
         {platform::kApplicationWillResignActiveNotification, platform::kApplicationDidEnterBackgroundNotification,
          platform::kApplicationWillTerminateNotification}) {
      platform::NotificationCenter::defaultCenter().addObserver(
          owner_, std::string(name), nullptr, [this](const platform::Notification& n) { heard_.push_back(n.name); });
    }
    listener_ = APMAnalytics::addLogEventListener([this](const std::shared_ptr<const APMEvent>& event) {
      std::lock_guard lock(mutex_);
      std::int64_t engagement = -1;
      const auto& parameters = event->parameters();
      if (auto it = parameters.find("_et"); it != parameters.end() && it->second.apmValue() &&
                                             (*it->second.apmValue())->isInt64()) {
        engagement = (*it->second.apmValue())->int64Value();
      }
      logged_.push_back({event->name(), engagement});
    });
  }
  void TearDown() override {
    APMAnalytics::removeLogEventListener(listener_);
    SessionTest::TearDown();
  }

  struct Logged {
    std::string name;
    std::int64_t engagementMillis;  // -1 without "_et"
  };
  std::vector<Logged> logged() {
    std::lock_guard lock(mutex_);
    return logged_;
  }

  std::shared_ptr<int> owner_ = std::make_shared<int>(0);
  std::vector<std::string> heard_;
  APMAnalytics::ListenerToken listener_{};
  std::mutex mutex_;
  std::vector<Logged> logged_;
};

TEST_F(QuitTest, QuittingLeavesTheFrontFirstAndReportsTheLastEngagement) {
  startSession();
  session_->advance(2);
  const double before = session_->elapsed();
  session_->terminate();

  const std::vector<std::string> expected = {std::string(platform::kApplicationWillResignActiveNotification),
                                             std::string(platform::kApplicationDidEnterBackgroundNotification),
                                             std::string(platform::kApplicationWillTerminateNotification)};
  EXPECT_EQ(heard_, expected);
  std::int64_t engagement = -1;
  bool backgrounded = false;
  for (const auto& event : logged()) {
    if (event.name == "_e") engagement = event.engagementMillis;
    backgrounded = backgrounded || event.name == "_ab";
  }
  EXPECT_EQ(engagement, 2000) << "the foreground time since launch is reported";
  EXPECT_TRUE(backgrounded);
  // The engine's upload task stays open until its next upload; the quit does not wait for it.
  EXPECT_LE(session_->elapsed() - before, 5);
  EXPECT_TRUE(platform::Application::shared()->isTerminated());
}

// Another process holds the settings' file for longer than a quit may take: the quit waits for it
// only within its own allowance, and names what stays unsaved (here a setting changed just before
// it), which the process keeps until it can write it.
TEST_F(QuitTest, AQuitBehindAnotherProcesssHoldOnTheSettingsNamesWhatItLeavesUnsaved) {
  startSession();
  const auto file = platform::Home::preferences() / "com.focus.timer.plist";
  ASSERT_TRUE(platform::UserDefaults::flushAll().empty());
  std::optional<platform::SharedFile::Lock> otherProcess = platform::SharedFile(file).lock();
  ASSERT_TRUE(otherProcess);
  defaults()->setBool(true, kEnableFlashKey);
  platform::testing::LogCapture log;
  session_->terminate();

  EXPECT_TRUE(log.contains("UserDefaults: the preferences of suite \"com.focus.timer\" are not saved (unsaved: "
                           "setting.enable.flash): another process held the file's lock past the 4.5 s allowed for the "
                           "end of the process"))
      << ::testing::PrintToString(log.logs());
  EXPECT_TRUE(platform::SharedFile::waitsEndBy()) << "the exit after the quit waits for no lock again";
  otherProcess.reset();
  auto saved = [&] {
    auto bytes = platform::FileManager::defaultManager().contentsAtPath(file);
    auto root = bytes ? platform::PropertyList::read(*bytes) : std::nullopt;
    return root && root->isDictionary() && root->ifDictionary()->contains(std::string(kEnableFlashKey));
  };
  EXPECT_FALSE(saved());
  EXPECT_TRUE(platform::UserDefaults::flushAll().empty());
  EXPECT_TRUE(saved()) << "the change was kept for the next write";
}

}  // namespace
