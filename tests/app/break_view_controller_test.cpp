#include "app/alert_center.h"
#include "app/app_notifications.h"
#include "app/break_view_controller.h"
#include "app/card_view_controller.h"
#include "focus_app_fixture.h"
#include "platform/foundation/notification_center.h"
#include "platform/notifications/user_notification_center.h"

namespace {

using platform::Value;

class BreakTest : public FocusAppTest {
 protected:
  // A one-minute period on the play button, the card, then its break.
  std::shared_ptr<BreakViewController> reachBreak(Launch options = Launch()) {
    options.onDevice("iPad").with(kFocusTimeKey, 1);
    focus_ = launch(options);
    returns_ = 0;
    observer_ = platform::NotificationCenter::defaultCenter().addObserver(
        std::string(kReturnFromBreakTimeNotification), nullptr, nullptr, [this](const platform::Notification& n) {
          EXPECT_EQ(booleanNumberValue(n.object), true);
          ++returns_;
        });
    platform::UIDriver::tap(*focus_->startButton());
    settle();
    // The card stays in front until the period's own alerts are over.
    advance(60 + 4);
    auto card = topScreen<CardViewController>();
    if (!card) return nullptr;
    platform::UIDriver::tap(*card->startBreakButton());
    settle();
    auto pause = topScreen<BreakViewController>();
    advance(platform::ViewController::kTransitionDuration);
    platform::Trace::clear();
    return pause;
  }
  std::vector<std::string> pending() const {
    std::vector<std::string> ids;
    for (const auto& r : platform::UserNotificationCenter::current()->pendingNotificationRequests()) {
      ids.push_back(r.identifier);
    }
    return ids;
  }
  bool focusInFront() const { return topScreen() == focus_; }

  std::shared_ptr<ViewController> focus_;
  std::shared_ptr<platform::NotificationObserver> observer_;
  int returns_ = 0;
};

TEST_F(BreakTest, CountsDownAlertsThreeTimesAndReturnsOnce) {
  auto pause = reachBreak(Launch().with(kWhiteNoiseModeKey, 0));
  ASSERT_TRUE(pause);
  EXPECT_EQ(pause->breakTimeLabel()->text(), "05:00");
  EXPECT_EQ(pending(), (std::vector<std::string>{"alert"}));
  advance(0.65);
  EXPECT_EQ(pause->breakTimeLabel()->text(), "04:59");
  advance(290);
  EXPECT_EQ(pause->breakTimeLabel()->text(), "00:09");
  advance(9);
  EXPECT_EQ(pause->breakTimeLabel()->text(), "00:00");
  EXPECT_FALSE(pause->isBreakTimerRunning());
  EXPECT_TRUE(pause->isAlertTimerRunning());
  advance(3);
  EXPECT_EQ(traceCount("vibrate"), 3u);
  EXPECT_EQ(returns_, 0);
  advance(1);
  EXPECT_EQ(returns_, 1);
  EXPECT_TRUE(pending().empty());
  advance(platform::ViewController::kTransitionDuration);
  EXPECT_TRUE(focusInFront());
  EXPECT_EQ(focus_->timerLabel()->text(), "01:00");
  advance(30);
  EXPECT_EQ(traceCount("vibrate"), 3u);
  EXPECT_EQ(returns_, 1);
}

TEST_F(BreakTest, KeepsCountingAcrossTheBackground) {
  struct Case {
    const char* name;
    std::int64_t breakMinutes;
    double before;  // seconds counted in front before leaving
    double away;
    bool returnsAtOnce;
    const char* label;  // one second after coming back, when still counting
  };
  const Case cases[] = {
      {"four minutes left, away two and a half", 5, 60, 150, false, "01:29"},
      {"twenty minutes left, away an hour and two", 20, 0, 3720, true, nullptr},
      {"away exactly the time left", 5, 100, 200, true, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto pause = reachBreak(Launch().with(kBreakTimeKey, c.breakMinutes));
    ASSERT_TRUE(pause);
    // Leave half way through a second of the countdown.
    advance(c.before + 0.5 - platform::ViewController::kTransitionDuration);
    platform::UIDriver::enterBackground();
    EXPECT_FALSE(pause->isBreakTimerRunning());
    EXPECT_TRUE(defaults()->objectForKey(kSavedTimeBackgroundKey).isDate());
    advance(c.away);
    platform::UIDriver::enterForeground();
    settle();
    if (c.returnsAtOnce) {
      EXPECT_EQ(returns_, 1);
      EXPECT_EQ(traceCount("vibrate"), 0u) << "no alerts when the break ended away";
      advance(platform::ViewController::kTransitionDuration);
      EXPECT_TRUE(focusInFront());
    } else {
      EXPECT_EQ(returns_, 0);
      advance(1);
      EXPECT_EQ(pause->breakTimeLabel()->text(), c.label);
    }
    observer_.reset();
    app_.reset();
    resetWorld();
  }
}

TEST_F(BreakTest, AClockSetBackWhileAwayCountsAsNoTimeAway) {
  auto pause = reachBreak();
  ASSERT_TRUE(pause);
  std::int64_t left = pause->breakTime();
  platform::UIDriver::enterBackground();
  auto clock = platform::testing::manualClock();
  clock->setDate(platform::Date::now().addingTimeInterval(-3600));
  platform::UIDriver::enterForeground();
  settle();
  EXPECT_EQ(pause->breakTime(), left);
  EXPECT_TRUE(pause->isBreakTimerRunning());
  EXPECT_EQ(returns_, 0);
}

TEST_F(BreakTest, ReturnsOnlyOnceWhateverFollows) {
  auto pause = reachBreak();
  ASSERT_TRUE(pause);
  platform::UIDriver::enterBackground();
  advance(400);
  platform::UIDriver::enterForeground();
  settle();
  EXPECT_EQ(returns_, 1);
  platform::UIDriver::enterBackground();
  advance(10);
  platform::UIDriver::enterForeground();
  pause->closeBreakView();
  advance(10);
  EXPECT_EQ(returns_, 1);
  EXPECT_TRUE(focusInFront());
}

TEST_F(BreakTest, TheCloseControlReturnsAtOnceDuringCountdownOrAlerts) {
  for (double before : {10.0, 301.5}) {
    SCOPED_TRACE(before);
    auto pause = reachBreak(Launch().with(kWhiteNoiseModeKey, 0));
    ASSERT_TRUE(pause);
    advance(before);
    std::size_t alerts = traceCount("vibrate");
    ASSERT_TRUE(platform::UIDriver::tap(*pause->closeButton()));
    EXPECT_EQ(returns_, 1);
    EXPECT_EQ(traceCount("haptic"), 0u) << "no haptics on this device";
    EXPECT_TRUE(pending().empty());
    advance(10);
    EXPECT_EQ(traceCount("vibrate"), alerts);
    EXPECT_EQ(returns_, 1);
    EXPECT_TRUE(focusInFront());
    observer_.reset();
    app_.reset();
    resetWorld();
  }
}

TEST_F(BreakTest, IllustrationShowsThePeriodBeforeAShortBreakAndTheFirstBeforeALongOne) {
  struct Case {
    std::int64_t done;
    const char* image;
  };
  for (const Case c : {Case{3, "f_3"}, Case{4, "f_1"}}) {
    auto pause = reachBreak(Launch().with(kSessionDoneNumberKey, c.done));
    ASSERT_TRUE(pause);
    ASSERT_TRUE(pause->fishingImageView()->image());
    EXPECT_EQ(pause->fishingImageView()->image()->name(), c.image);
    observer_.reset();
    app_.reset();
    resetWorld();
  }
}

TEST_F(BreakTest, TheEndOfABreakAwayIsNotifiedWithTheBirdSound) {
  platform::NotificationDriver::setAuthorizationStatus(platform::AuthorizationStatus::Authorized);
  auto pause = reachBreak();
  ASSERT_TRUE(pause);
  auto fires = platform::UserNotificationCenter::current()->pendingFireDates();
  ASSERT_EQ(fires.size(), 1u);
  EXPECT_NEAR(fires[0].second.timeIntervalSinceNow(), 300 - platform::ViewController::kTransitionDuration, 1e-6);
  platform::UIDriver::enterBackground();
  advance(400);
  auto shown = trace("notification");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].detail, "alert | Break is over. Ready for the next focus? |  | bird.mp3");
}

TEST_F(BreakTest, ABreakLeftEarlyWithdrawsItsNotification) {
  platform::NotificationDriver::setAuthorizationStatus(platform::AuthorizationStatus::Authorized);
  auto pause = reachBreak();
  ASSERT_TRUE(pause);
  pause->closeBreakView();
  platform::UIDriver::enterBackground();
  advance(400);
  EXPECT_TRUE(trace("notification").empty());
}

TEST_F(BreakTest, ATamperedLengthBelowAMinuteIsScheduledAsOne) {
  AlertCenter::shared()->setBreakTimeInterval(0);
  AlertCenter::shared()->scheduleBreakEndNotification();
  settle();
  auto fires = platform::UserNotificationCenter::current()->pendingFireDates();
  ASSERT_EQ(fires.size(), 1u);
  EXPECT_NEAR(fires[0].second.timeIntervalSinceNow(), 60, 1e-6);
}

TEST_F(BreakTest, TheBreakScreenIsGoneOnceItHasReturned) {
  std::weak_ptr<BreakViewController> gone = reachBreak();
  ASSERT_FALSE(gone.expired());
  gone.lock()->closeBreakView();
  advance(platform::ViewController::kTransitionDuration);
  settle();
  EXPECT_TRUE(gone.expired());
  platform::UIDriver::enterBackground();
  platform::UIDriver::enterForeground();
  advance(400);
  EXPECT_EQ(returns_, 1);
}

}  // namespace
