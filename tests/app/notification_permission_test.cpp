#include <string>
#include <vector>

#include "app/app_notifications.h"
#include "app/authorization_center.h"
#include "focus_extras_fixture.h"
#include "platform/foundation/notification_center.h"
#include "platform/notifications/user_notification_center.h"

namespace {

using platform::AuthorizationStatus;

class NotificationPermissionTest : public FocusExtrasTest {
 protected:
  void SetUp() override {
    FocusExtrasTest::SetUp();
    blinkObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        std::string(kBlinkBirdImageNotification), nullptr, nullptr,
        [this](const platform::Notification&) { ++blinks; });
  }
  // Lets the centre's queue answer and the main queue take the result.
  static void settleCentre() {
    platform::testing::drain(platform::UserNotificationCenter::current()->queue());
    settle();
    platform::testing::drain(platform::UserNotificationCenter::current()->queue());
    settle();
  }
  int blinks = 0;

 private:
  std::shared_ptr<platform::NotificationObserver> blinkObserver_;
};

TEST_F(NotificationPermissionTest, OnlyAnUndecidedStatusAsksAndOnlyTheAnswerBlinks) {
  struct Case {
    int status;
    int prompts;
    int blinks;
    const char* printed;
  };
  const Case cases[] = {
      {0, 1, 1, nullptr},     {1, 0, 0, "알람 설정이 거부되었습니다. 설정가기"},
      {2, 0, 0, nullptr},     {3, 0, 0, "Alert provisional"},
      {4, 0, 0, "ephemeral"}, {9, 0, 0, "Alert Default Case"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    platform::NotificationDriver::reset();
    blinks = 0;
    platform::testing::LogCapture log;
    platform::NotificationSettings settings;
    settings.authorizationStatus = static_cast<AuthorizationStatus>(c.status);
    AuthorizationCenter().checkNotificationSettings(settings);
    settleCentre();
    EXPECT_EQ(platform::NotificationDriver::authorizationPromptCount(), c.prompts);
    EXPECT_EQ(blinks, c.blinks);
    if (c.printed) {
      EXPECT_EQ(log.prints(), std::vector<std::string>{c.printed});
    } else {
      EXPECT_TRUE(log.prints().empty());
    }
  }
}

TEST_F(NotificationPermissionTest, ARefusalIsPrintedAndStillBlinks) {
  struct Case {
    bool granted;
    std::optional<platform::Error> error;
    std::vector<std::string> printed;
  };
  const platform::Error failure("UNErrorDomain", 1);
  const Case cases[] = {
      {true, std::nullopt, {}},
      {false, std::nullopt, {"denied"}},
      {false, failure, {failure.description()}},
  };
  for (const Case& c : cases) {
    blinks = 0;
    platform::testing::LogCapture log;
    AuthorizationCenter().handleAuthorizationAnswer(c.granted, c.error ? &*c.error : nullptr);
    EXPECT_EQ(log.prints(), c.printed);
    EXPECT_EQ(blinks, 1);
  }
}

TEST_F(NotificationPermissionTest, AskedOnceAfterTheIntroThenTheControlsBlink) {
  platform::NotificationDriver::setAuthorizationAnswer(false);
  auto focus = launch(Launch().asFirstLaunch());
  ASSERT_TRUE(focus->introStartButton());
  EXPECT_EQ(platform::NotificationDriver::authorizationPromptCount(), 0);

  platform::testing::LogCapture log;
  ASSERT_TRUE(tap(focus->introStartButton()));
  advance(0.38);
  settleCentre();
  EXPECT_EQ(platform::NotificationDriver::authorizationPromptCount(), 1);
  EXPECT_TRUE(log.contains("denied"));
  EXPECT_EQ(blinks, 1);
  EXPECT_FALSE(defaults()->boolForKey(kIsFirstLaunchKey));

  advance(0.5);
  EXPECT_DOUBLE_EQ(focus->birdTalk()->alpha(), 0);
  EXPECT_DOUBLE_EQ(focus->settingButton()->alpha(), 0.5);
  EXPECT_DOUBLE_EQ(focus->closeButton()->alpha(), 0.5);
  advance(4.3);
  EXPECT_DOUBLE_EQ(focus->birdTalk()->alpha(), 1);
  EXPECT_DOUBLE_EQ(focus->settingButton()->alpha(), 1);
  EXPECT_DOUBLE_EQ(focus->closeButton()->alpha(), 1);

  // Later launches show no intro, so nothing is asked again.
  app_.reset();
  resetWorld();
  focus = launch(Launch().asFirstLaunch());
  settleCentre();
  EXPECT_FALSE(focus->introImageView());
  EXPECT_EQ(blinks, 1);
}

TEST_F(NotificationPermissionTest, APermissionDecidedBeforeTheIntroEndsAsksNothingAndNothingBlinks) {
  platform::NotificationDriver::setAuthorizationStatus(AuthorizationStatus::Authorized);
  auto focus = launch(Launch().asFirstLaunch());
  ASSERT_TRUE(tap(focus->introStartButton()));
  advance(0.38);
  settleCentre();
  advance(5);
  EXPECT_EQ(platform::NotificationDriver::authorizationPromptCount(), 0);
  EXPECT_EQ(blinks, 0);
}

}  // namespace
