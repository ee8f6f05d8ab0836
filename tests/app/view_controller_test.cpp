#include <optional>

#include "app/app_notifications.h"
#include "app/break_view_controller.h"
#include "app/card_view_controller.h"
#include "focus_app_fixture.h"
#include "platform/foundation/notification_center.h"
#include "platform/ui/alert_controller.h"

namespace {

using platform::Value;

// The play/pause path: a device other than "iPhone".
class FocusStateTest : public FocusAppTest {
 protected:
  std::shared_ptr<ViewController> launchPad(Launch options = Launch()) {
    options.onDevice("iPad");
    return launch(options);
  }
  void pressPlay(ViewController& focus) {
    ASSERT_TRUE(focus.startButton());
    ASSERT_TRUE(platform::UIDriver::tap(*focus.startButton()));
    settle();
  }
  // Records the boolean objects of one notification, in order.
  std::shared_ptr<platform::NotificationObserver> record(std::string_view name, std::vector<std::optional<bool>>& out) {
    return platform::NotificationCenter::defaultCenter().addObserver(
        std::string(name), nullptr, nullptr,
        [&out](const platform::Notification& n) { out.push_back(booleanNumberValue(n.object)); });
  }
};

TEST_F(FocusStateTest, LabelShowsMinutesAndSecondsOfTheStoredLength) {
  const std::pair<int, std::string> cases[] = {{25, "25:00"}, {1, "01:00"}, {100, "100:00"}};
  for (const auto& [minutes, text] : cases) {
    auto focus = launchPad(Launch().with(kFocusTimeKey, minutes));
    EXPECT_EQ(focus->timerLabel()->text(), text);
    EXPECT_EQ(focus->focusTime(), minutes * 60);
    EXPECT_FALSE(focus->isFocusStarted());
    app_.reset();
    resetWorld();
  }
}

TEST_F(FocusStateTest, RunningCountsDownOncePerSecondWithNoiseAndOneVibration) {
  auto focus = launchPad();
  pressPlay(*focus);
  EXPECT_TRUE(focus->isFocusStarted());
  EXPECT_TRUE(focus->isFocusTimerRunning());
  EXPECT_EQ(traceCount("vibrate"), 1u);
  EXPECT_EQ(traceCount("sound", "bgm_rain"), 1u);
  EXPECT_TRUE(focus->birdTalk()->isHidden());
  EXPECT_EQ(focus->startButton()->currentImage()->name(), "pause_btn");

  advance(1);
  EXPECT_EQ(focus->timerLabel()->text(), "24:59");
  advance(61);
  EXPECT_EQ(focus->timerLabel()->text(), "23:58");
}

TEST_F(FocusStateTest, InterruptedPeriodIsAngryAndResumesFromTheRemainingSeconds) {
  struct Case {
    int noiseMode;
    std::size_t vibrationsOnStop;
  };
  for (const Case c : {Case{1, 2}, Case{0, 1}}) {
    SCOPED_TRACE(c.noiseMode);
    auto focus = launchPad(Launch().with(kWhiteNoiseModeKey, c.noiseMode));
    pressPlay(*focus);
    advance(60);
    platform::Trace::clear();

    pressPlay(*focus);
    EXPECT_FALSE(focus->isFocusStarted());
    EXPECT_FALSE(focus->isFocusTimerRunning());
    EXPECT_TRUE(focus->isPiloAngry());
    EXPECT_EQ(traceCount("vibrate"), c.vibrationsOnStop);
    EXPECT_EQ(focus->startButton()->currentImage()->name(), "play_btn");
    advance(0.7);
    ASSERT_TRUE(focus->angryView());
    EXPECT_TRUE(focus->angryView()->window());
    EXPECT_TRUE(focus->isAngryTimerRunning());
    advance(5);
    EXPECT_EQ(focus->focusTime(), 1440) << "the countdown stands still while interrupted";

    pressPlay(*focus);
    EXPECT_FALSE(focus->isPiloAngry());
    EXPECT_FALSE(focus->angryView());
    EXPECT_FALSE(focus->isAngryTimerRunning());
    advance(1);
    EXPECT_EQ(focus->timerLabel()->text(), "23:59");
    app_.reset();
    resetWorld();
  }
}

TEST_F(FocusStateTest, StoppingWhatDoesNotRunChangesNothing) {
  auto focus = launchPad();
  focus->stopFocus(false);
  settle();
  EXPECT_EQ(traceCount("vibrate"), 0u);
  EXPECT_FALSE(focus->isPiloAngry());
}

TEST_F(FocusStateTest, AStopAtZeroIsNotAngryButOneSecondLeftIs) {
  auto focus = launchPad(Launch().with(kFocusTimeKey, 1));
  pressPlay(*focus);
  advance(59);
  EXPECT_EQ(focus->focusTime(), 1);
  pressPlay(*focus);
  EXPECT_TRUE(focus->isPiloAngry());

  pressPlay(*focus);
  advance(1);  // runs down to zero: stopped without anger, then finished
  EXPECT_FALSE(focus->isPiloAngry());
  EXPECT_FALSE(focus->isFocusStarted());
}

// A stop reaches the countdown timer through the main queue; a tick already due before that
// must not take the last second and finish a period the user stopped.
TEST_F(FocusStateTest, ATickDueBeforeAStopReachesTheTimerChangesNothing) {
  struct Case {
    const char* name;
    const char* model;
    void (*start)(ViewController&);
    void (*stop)(ViewController&);
  };
  const Case cases[] = {
      {"sensor uncovered", "iPhone", [](ViewController&) { layFaceDown(); },
       [](ViewController&) { platform::UIDriver::setProximityCovered(false); }},
      {"pause button", "iPad", [](ViewController& f) { ASSERT_TRUE(platform::UIDriver::tap(*f.startButton())); settle(); },
       [](ViewController& f) { ASSERT_TRUE(platform::UIDriver::tap(*f.startButton())); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto focus = launch(Launch().onDevice(c.model).with(kFocusTimeKey, 1));
    c.start(*focus);
    ASSERT_TRUE(focus->isFocusTimerRunning());
    advance(59);
    ASSERT_EQ(focus->focusTime(), 1);

    c.stop(*focus);
    ASSERT_FALSE(focus->isFocusStarted());
    focus->updateTimer();
    settle();
    EXPECT_EQ(focus->focusTime(), 1);
    EXPECT_EQ(focus->timerLabel()->text(), "00:01");
    EXPECT_TRUE(focus->isPiloAngry());
    EXPECT_EQ(defaults()->integerForKey(kSessionDoneNumberKey), 1);
    EXPECT_EQ(defaults()->integerForKey(kTodayFocusTotalTimeKey), 0);
    EXPECT_FALSE(focus->isAlertTimerRunning());
    EXPECT_FALSE(topScreen<CardViewController>());
    app_.reset();
    resetWorld();
  }
}

TEST_F(FocusStateTest, FinishedPeriodCountsShowsTheCardAndAlertsThreeTimes) {
  // Without white noise the end itself does not vibrate, so every vibration is an alert.
  auto focus = launchPad(Launch()
                             .with(kFocusTimeKey, 1)
                             .with(kTodayFocusTotalTimeKey, 30)
                             .with(kEnableFlashKey, true)
                             .with(kWhiteNoiseModeKey, 0));
  std::vector<std::optional<bool>> activity;
  auto observer = record(kTimerActivityChangeNotification, activity);
  pressPlay(*focus);
  platform::Trace::clear();
  advance(60);

  EXPECT_EQ(focus->timerLabel()->text(), "00:00");
  EXPECT_EQ(defaults()->integerForKey(kTodayFocusTotalTimeKey), 31);
  EXPECT_EQ(defaults()->integerForKey(kSessionDoneNumberKey), 2);
  EXPECT_EQ(activity, (std::vector<std::optional<bool>>{false}));
  auto card = topScreen<CardViewController>();
  ASSERT_TRUE(card);
  EXPECT_EQ(card->sessionDoneNumer(), 1);
  EXPECT_EQ(card->sessionTime(), 1);
  EXPECT_EQ(card->sessionLabel()->text(), "1/4");

  // The alerts come 1, 2 and 3 seconds after the end while the card is in front.
  std::vector<double> vibrations;
  auto start = platform::Date::now();
  advance(10);
  for (const auto& e : trace("vibrate")) vibrations.push_back(e.date.timeIntervalSince(start));
  EXPECT_EQ(vibrations, (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(traceCount("sound", "bird"), 3u);
  EXPECT_EQ(traceCount("torch", "off"), 3u);
  EXPECT_FALSE(focus->isAlertTimerRunning());
  EXPECT_EQ(topScreen(), card);
}

// The counters a finished period advances come from an editable store: extreme values end the
// period like any other instead of overflowing.
TEST_F(FocusStateTest, ExtremeStoredCountersStopAtTheLargestValue) {
  constexpr std::int64_t kMax = INT64_MAX;
  struct Case {
    const char* name;
    std::int64_t done, total;
    std::int64_t doneAfter, totalAfter;
  };
  const Case cases[] = {
      {"period number at the top", kMax, 0, kMax, 1},
      {"day's total at the top", 2, kMax, 3, kMax},
      {"period number at the bottom", INT64_MIN, 0, INT64_MIN + 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto focus = launchPad(Launch().with(kFocusTimeKey, 1));
    pressPlay(*focus);
    // Written while the period runs: at launch the dots already bring a stray period number back.
    defaults()->setInteger(c.done, kSessionDoneNumberKey);
    defaults()->setInteger(c.total, kTodayFocusTotalTimeKey);
    advance(60);
    EXPECT_EQ(defaults()->integerForKey(kSessionDoneNumberKey), c.doneAfter);
    EXPECT_EQ(defaults()->integerForKey(kTodayFocusTotalTimeKey), c.totalAfter);
    EXPECT_TRUE(topScreen<CardViewController>());
    app_.reset();
    resetWorld();
  }
}

TEST_F(FocusStateTest, LastPeriodOfTheCycleGivesTheCardItsNumberBeforeANewCycle) {
  auto focus = launchPad(Launch().with(kFocusTimeKey, 1).with(kSessionNumberKey, 2).with(kSessionDoneNumberKey, 2));
  std::vector<std::optional<bool>> sessions;
  auto observer = record(kSessionNumberChangeNotification, sessions);
  pressPlay(*focus);
  advance(60);
  auto card = topScreen<CardViewController>();
  ASSERT_TRUE(card);
  EXPECT_EQ(card->sessionDoneNumer(), 2);
  EXPECT_EQ(card->sessionLabel()->text(), "2/2");
  EXPECT_EQ(defaults()->integerForKey(kSessionDoneNumberKey), 1);
  EXPECT_EQ(sessions, (std::vector<std::optional<bool>>{false}));
}

TEST_F(FocusStateTest, AFocusTimeOutOfRangeIsOneLengthForTheTimerAndTheMascot) {
  for (const std::int64_t stored : {std::int64_t{-5}, std::int64_t{2'000'000}}) {
    SCOPED_TRACE(stored);
    auto focus = launchPad(Launch().with(kFocusTimeKey, stored));
    ASSERT_TRUE(platform::UIDriver::tap(*focus->closeButton()));
    advance(platform::ViewController::kTransitionDuration);
    ASSERT_TRUE(platform::UIDriver::chooseAlertAction("Cancel"));
    advance(2);
    // No period began: nothing to be angry about.
    EXPECT_FALSE(focus->isPiloAngry());
    app_.reset();
    resetWorld();
  }
}

TEST_F(FocusStateTest, MorePeriodsPerCycleThanTheDotsShowEndTheCycleAtTheLastDot) {
  auto focus = launchPad(Launch().with(kFocusTimeKey, 1).with(kSessionNumberKey, 12).with(kSessionDoneNumberKey, 10));
  auto dots = std::dynamic_pointer_cast<platform::Label>(
      platform::UIDriver::findByAccessibilityIdentifier("dotCounterLabel", focus->view()));
  ASSERT_TRUE(dots);
  EXPECT_EQ(dots->text(), "10/10");
  pressPlay(*focus);
  advance(60 + platform::ViewController::kTransitionDuration);
  auto card = topScreen<CardViewController>();
  ASSERT_TRUE(card);
  EXPECT_EQ(card->sessionLabel()->text(), "10/10");
  // The tenth period ended the cycle: the next one starts a new one, after the long break.
  EXPECT_EQ(defaults()->integerForKey(kSessionDoneNumberKey), 1);
  ASSERT_TRUE(platform::UIDriver::tap(*card->startBreakButton()));
  auto pause = topScreen<BreakViewController>();
  ASSERT_TRUE(pause);
  EXPECT_EQ(pause->breakTime(), 20 * 60);
}

TEST_F(FocusStateTest, ResetChoicesRestoreTheFullLengthAndOnlyResetAllStartsANewCycle) {
  struct Case {
    std::string_view action;
    std::int64_t sessionAfter;
  };
  for (const Case c : {Case{"Reset this session", 3}, Case{"Reset all sessions", 1}}) {
    SCOPED_TRACE(c.action);
    auto focus = launchPad(Launch().with(kSessionDoneNumberKey, 3));
    pressPlay(*focus);
    advance(90);
    ASSERT_TRUE(platform::UIDriver::tap(*focus->closeButton()));
    advance(platform::ViewController::kTransitionDuration);
    auto sheet = platform::UIDriver::presentedAlert();
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->preferredStyle(), platform::AlertControllerStyle::ActionSheet);
    ASSERT_EQ(sheet->actions().size(), 3u);
    EXPECT_EQ(sheet->actions()[1]->style(), platform::AlertActionStyle::Destructive);
    EXPECT_EQ(sheet->actions()[2]->title(), "Cancel");

    ASSERT_TRUE(platform::UIDriver::chooseAlertAction(c.action));
    advance(2);
    EXPECT_FALSE(focus->isFocusStarted());
    EXPECT_TRUE(focus->isResetDone());
    EXPECT_FALSE(focus->isPiloAngry());
    EXPECT_FALSE(focus->angryView());
    EXPECT_EQ(focus->timerLabel()->text(), "25:00");
    EXPECT_EQ(defaults()->integerForKey(kSessionDoneNumberKey), c.sessionAfter);
    app_.reset();
    resetWorld();
  }
}

TEST_F(FocusStateTest, FocusTimeChangeCalmsTheMascotAndTakesTheNewLength) {
  auto focus = launchPad();
  pressPlay(*focus);
  advance(30);
  pressPlay(*focus);
  advance(1);
  ASSERT_TRUE(focus->angryView());
  defaults()->setInteger(50, kFocusTimeKey);
  postAppNotification(kFocusTimeChangeNotification);
  settle();
  EXPECT_FALSE(focus->isPiloAngry());
  EXPECT_FALSE(focus->angryView());
  EXPECT_EQ(focus->timerLabel()->text(), "50:00");
}

TEST_F(FocusStateTest, ReturnFromABreakMakesTheScreenReadyForTheNextPeriod) {
  auto focus = launchPad(Launch().with(kFocusTimeKey, 1));
  pressPlay(*focus);
  advance(60);
  std::vector<std::optional<bool>> activity;
  std::vector<std::optional<bool>> sessions;
  auto o1 = record(kTimerActivityChangeNotification, activity);
  auto o2 = record(kSessionNumberChangeNotification, sessions);
  postAppNotification(kReturnFromBreakTimeNotification, true);
  settle();
  EXPECT_EQ(activity, (std::vector<std::optional<bool>>{true}));
  EXPECT_EQ(sessions, (std::vector<std::optional<bool>>{true}));
  EXPECT_EQ(focus->timerLabel()->text(), "01:00");
  EXPECT_EQ(focus->startButton()->currentImage()->name(), "play_btn");
  EXPECT_FALSE(focus->birdTalk()->isHidden());
}

TEST_F(FocusStateTest, AReadyScreenWithTheResetSheetOpenStillShowsTheCardWhenAPeriodEnds) {
  auto focus = launchPad(Launch().with(kFocusTimeKey, 1));
  pressPlay(*focus);
  advance(50);
  focus->showResetSheet();
  advance(platform::ViewController::kTransitionDuration);
  ASSERT_TRUE(platform::UIDriver::presentedAlert());
  advance(10);
  settle();
  auto card = topScreen<CardViewController>();
  ASSERT_TRUE(card);
  EXPECT_EQ(card->sessionDoneNumer(), 1);
}

TEST_F(FocusStateTest, AttentionBlinkFollowsABreakThatStartsANewCycle) {
  auto focus = launchPad(Launch().with(kSessionDoneNumberKey, 1));
  postAppNotification(kReturnFromBreakTimeNotification, true);
  settle();
  advance(0.5);
  EXPECT_EQ(focus->birdTalk()->alpha(), 0);
  EXPECT_EQ(focus->settingButton()->alpha(), 0.5);
  advance(0.3);
  EXPECT_EQ(focus->birdTalk()->alpha(), 1);
  advance(4.0);
  EXPECT_EQ(focus->closeButton()->alpha(), 1);
  EXPECT_EQ(focus->settingButton()->alpha(), 1);
}

// Nothing the screen left behind reaches it once it is gone.
TEST_F(FocusStateTest, TimersObserversAndSensorsOutliveNoScreen) {
  auto focus = launch(Launch().with(kFocusTimeKey, 1));
  layFaceDown();
  ASSERT_TRUE(focus->isFocusStarted());
  std::weak_ptr<ViewController> gone = focus;
  focus.reset();
  app_.reset();
  platform::UIDriver::reset();
  // The delegate proxy that analytics installs holds the delegate for the life of the process.
  VULAppDelegateSwizzler::resetForTesting();
  settle();
  EXPECT_TRUE(gone.expired());
  postAppNotification(kReturnFromBreakTimeNotification, true);
  postAppNotification(kTimerActivityChangeNotification, true);
  platform::UIDriver::setProximityCovered(false);
  platform::MotionDriver::pushSample(0, 0, -1);
  advance(120);
}

}  // namespace
