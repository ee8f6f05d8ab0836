#include <optional>
#include <string>
#include <vector>

#include "app/app_notifications.h"
#include "app/settings_view_controller.h"
#include "focus_extras_fixture.h"
#include "platform/foundation/notification_center.h"
#include "platform/motion/motion_manager.h"
#include "platform/ui/layout_constraint.h"

namespace {

using platform::Value;

std::string imageName(const platform::ImageView& view) { return view.image() ? view.image()->name() : ""; }

class SettingsTest : public FocusExtrasTest {
 protected:
  void SetUp() override {
    FocusExtrasTest::SetUp();
    for (auto name : {kFocusTimeChangeNotification, kSessionNumberChangeNotification, kWhiteNoiseModeChangeNotification,
                      kTimerActivityChangeNotification}) {
      observers_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
          std::string(name), nullptr, nullptr, [this](const platform::Notification& n) {
            posted.push_back({n.name, booleanNumberValue(n.object), n.object == nullptr});
          }));
    }
  }

  std::shared_ptr<SettingsViewController> openSettings(ViewController& focus) {
    EXPECT_TRUE(tap(focus.settingButton()));
    advance(platform::ViewController::kTransitionDuration);
    auto settings = topScreen<SettingsViewController>();
    EXPECT_TRUE(settings);
    return settings;
  }
  std::shared_ptr<SettingsViewController> launchAndOpen(Launch options = Launch()) {
    focus_ = launch(options);
    return openSettings(*focus_);
  }

  struct Posted {
    std::string name;
    std::optional<bool> object;
    bool noObject;
    bool operator==(const Posted&) const = default;
  };
  std::vector<Posted> postedNamed(std::string_view name) const {
    std::vector<Posted> out;
    for (const auto& p : posted) {
      if (p.name == name) out.push_back(p);
    }
    return out;
  }

  std::vector<Posted> posted;
  std::shared_ptr<ViewController> focus_;

 private:
  std::vector<std::shared_ptr<platform::NotificationObserver>> observers_;
};

TEST_F(SettingsTest, EveryStepperStepsWithinItsBoundsAndAnnouncesOnlyRealChanges) {
  struct Case {
    std::int64_t tag;
    std::string_view key;
    std::int64_t stored;
    std::int64_t after;
    std::string label;
    std::string_view notification;
  };
  const Case cases[] = {
      {0, kFocusTimeKey, 95, 100, "100MIN", kFocusTimeChangeNotification},
      {0, kFocusTimeKey, 100, 100, "100MIN", {}},
      {1, kFocusTimeKey, 10, 5, "5MIN", kFocusTimeChangeNotification},
      {1, kFocusTimeKey, 5, 5, "5MIN", {}},
      {0, kFocusTimeKey, 7, 12, "12MIN", kFocusTimeChangeNotification},
      {1, kFocusTimeKey, 7, 2, "2MIN", kFocusTimeChangeNotification},
      {2, kBreakTimeKey, 19, 20, "20MIN", {}},
      {2, kBreakTimeKey, 20, 20, "20MIN", {}},
      {3, kBreakTimeKey, 2, 1, "1MIN", {}},
      {3, kBreakTimeKey, 1, 1, "1MIN", {}},
      {4, kSessionNumberKey, 9, 10, "10", kSessionNumberChangeNotification},
      {4, kSessionNumberKey, 10, 10, "10", {}},
      {5, kSessionNumberKey, 2, 1, "1", kSessionNumberChangeNotification},
      {5, kSessionNumberKey, 1, 1, "1", {}},
      {6, kLongBreakTimeKey, 95, 100, "100MIN", {}},
      {6, kLongBreakTimeKey, 100, 100, "100MIN", {}},
      {7, kLongBreakTimeKey, 10, 5, "5MIN", {}},
      {7, kLongBreakTimeKey, 5, 5, "5MIN", {}},
  };
  auto settings = launchAndOpen();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " tag " + std::to_string(c.tag) + " from " + std::to_string(c.stored));
    defaults()->setInteger(c.stored, c.key);
    posted.clear();
    platform::Trace::clear();

    ASSERT_TRUE(tap(settings->stepperButtons()[static_cast<std::size_t>(c.tag)]));

    const bool changed = c.after != c.stored;
    EXPECT_EQ(defaults()->integerForKey(c.key), c.after);
    auto label = c.tag < 2   ? settings->focusTimeLabel()
                 : c.tag < 4 ? settings->breakTimeLabel()
                 : c.tag < 6 ? settings->sessionNumberLabel()
                             : settings->longBreakTimeLabel();
    if (changed) {
      EXPECT_EQ(label->text(), c.label);
    }
    EXPECT_EQ(traceCount("haptic", "impact light"), changed ? 1u : 0u);
    std::vector<Posted> expected;
    if (!c.notification.empty()) {
      bool session = c.notification == kSessionNumberChangeNotification;
      expected.push_back({std::string(c.notification), session ? std::optional(false) : std::nullopt, !session});
    }
    EXPECT_EQ(posted, expected);
  }
}

TEST_F(SettingsTest, ALongPressRepeatsEveryFifthOfASecondUpToTheBound) {
  auto settings = launchAndOpen();
  auto up = settings->stepperButtons()[0];
  ASSERT_EQ(defaults()->integerForKey(kFocusTimeKey), 25);
  ASSERT_TRUE(platform::UIDriver::longPressBegin(*up));
  advance(0.2);  // recognised: the repeat starts, no step yet
  EXPECT_TRUE(settings->isLongPressRepeating());
  EXPECT_EQ(defaults()->integerForKey(kFocusTimeKey), 25);

  std::vector<std::string> labels;
  for (int tick = 1; tick <= 20; ++tick) {
    advance(0.2);
    labels.push_back(settings->focusTimeLabel()->text());
  }
  std::vector<std::string> expected;
  for (int minutes = 30; minutes <= 100; minutes += 5) expected.push_back(std::to_string(minutes) + "MIN");
  while (expected.size() < labels.size()) expected.push_back("100MIN");
  EXPECT_EQ(labels, expected);
  EXPECT_EQ(postedNamed(kFocusTimeChangeNotification).size(), 15u);
  EXPECT_EQ(traceCount("haptic", "impact light"), 15u + 1u);  // the steps, and the segue's tap
  EXPECT_TRUE(settings->isLongPressRepeating());              // the bound stops the values, not the timer
  // The focus screen followed every change.
  EXPECT_EQ(focus_->timerLabel()->text(), "100:00");

  ASSERT_TRUE(platform::UIDriver::longPressEnd());
  EXPECT_FALSE(settings->isLongPressRepeating());
  defaults()->setInteger(50, kFocusTimeKey);
  advance(1);
  EXPECT_EQ(defaults()->integerForKey(kFocusTimeKey), 50);
}

TEST_F(SettingsTest, APressReleasedEarlyIsOneStepAndAPressOutlivesNoScreen) {
  auto settings = launchAndOpen();
  auto down = settings->stepperButtons()[3];
  ASSERT_TRUE(platform::UIDriver::longPressBegin(*down));
  advance(0.1);
  ASSERT_TRUE(platform::UIDriver::longPressEnd());
  settle();
  EXPECT_EQ(defaults()->integerForKey(kBreakTimeKey), 4);
  EXPECT_FALSE(settings->isLongPressRepeating());

  // Held while the screen goes away: the repeat ends with it.
  ASSERT_TRUE(platform::UIDriver::longPressBegin(*settings->stepperButtons()[2]));
  advance(0.45);
  EXPECT_EQ(defaults()->integerForKey(kBreakTimeKey), 5);
  std::weak_ptr<SettingsViewController> gone = settings;
  settings->dismissViewControllerAnimated(false);
  settings.reset();
  advance(1);
  platform::UIDriver::longPressEnd();
  EXPECT_TRUE(gone.expired());
  EXPECT_EQ(defaults()->integerForKey(kBreakTimeKey), 5);
}

TEST_F(SettingsTest, AlertSwitchesFlipStoreAndPreviewOnlyWhenSwitchedOn) {
  struct Case {
    std::string_view key;
    std::string_view prefix;
    std::string_view preview;  // trace kind of the preview
  };
  const Case cases[] = {
      {kEnableVibrationKey, "alert_vib_", "vibrate"},
      {kEnableSoundKey, "alert_sound_", "sound"},
      {kEnableFlashKey, "alert_flash_", "torch"},
  };
  auto settings = launchAndOpen(Launch().with(kEnableFlashKey, true).with(kEnableSoundKey, false));
  const std::shared_ptr<platform::ImageView> views[] = {settings->vibrationAlert(), settings->soundAlert(),
                                                        settings->flashAlert()};
  // Shown as stored: vibration by its default, the other two as stored before launch.
  EXPECT_EQ(imageName(*views[0]), "alert_vib_true");
  EXPECT_EQ(imageName(*views[1]), "alert_sound_false");
  EXPECT_EQ(imageName(*views[2]), "alert_flash_true");
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(std::string(c.key));
    for (int flip = 0; flip < 2; ++flip) {
      const bool before = defaults()->boolForKey(c.key);
      platform::Trace::clear();
      ASSERT_TRUE(tap(views[i]));
      advance(1);
      EXPECT_EQ(defaults()->boolForKey(c.key), !before);
      EXPECT_EQ(imageName(*views[i]), std::string(c.prefix) + (before ? "false" : "true"));
      EXPECT_EQ(traceCount(c.preview) > 0, !before);
    }
  }
}

TEST_F(SettingsTest, TheWhiteNoiseCyclesThroughItsModesAndAStrayModeStays) {
  struct Case {
    std::int64_t stored;
    std::int64_t after;
    std::string image;
  };
  const Case cases[] = {{7, 8, "train"}, {8, 0, "off"}, {0, 1, "rain"}, {12, 12, "rain"}, {-1, -1, "rain"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    auto settings = launchAndOpen(Launch().with(kWhiteNoiseModeKey, c.stored));
    posted.clear();
    platform::Trace::clear();
    ASSERT_TRUE(tap(settings->whiteNoise()));
    EXPECT_EQ(defaults()->integerForKey(kWhiteNoiseModeKey), c.after);
    EXPECT_EQ(imageName(*settings->whiteNoise()), c.image);
    EXPECT_EQ(postedNamed(kWhiteNoiseModeChangeNotification).size(), 1u);
    EXPECT_EQ(traceCount("haptic", "impact light"), 1u);
    // The preview: the new mode's noise for a second, or none for "off".
    const bool plays = c.after != 0;
    EXPECT_EQ(traceCount("sound") > 0, plays);
    advance(1);
    EXPECT_EQ(traceCount("sound-stop") > 0, plays);
    app_.reset();
    resetWorld();
  }
}

TEST_F(SettingsTest, EnabledStateFollowsThePresenterAndTheDeviceModel) {
  struct Case {
    const char* name;
    std::string model;
    bool running;
    bool angry;
    bool steppers;
    bool noise;
  };
  const Case cases[] = {
      {"iPhone, ready", "iPhone", false, false, true, true}, {"iPhone, running", "iPhone", true, false, false, true},
      {"iPad, running", "iPad", true, false, false, false},  {"iPad, angry", "iPad", false, true, false, true},
      {"iPad, ready", "iPad", false, false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto focus = launch(Launch().onDevice(c.model));
    if (c.running || c.angry) {
      if (c.model == "iPhone") {
        layFaceDown();
      } else {
        ASSERT_TRUE(tap(focus->startButton()));
      }
      advance(2);
      if (c.angry) {
        ASSERT_TRUE(tap(focus->startButton()));
      }
    }
    auto settings = openSettings(*focus);
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->isEnabled(), c.steppers);
    for (const auto& button : settings->stepperButtons()) {
      EXPECT_EQ(button->isEnabled(), c.steppers);
      EXPECT_DOUBLE_EQ(button->alpha(), c.steppers ? 1.0 : 0.15);
    }
    EXPECT_DOUBLE_EQ(settings->focusTimeLabel()->alpha(), c.steppers ? 1.0 : 0.15);
    EXPECT_DOUBLE_EQ(settings->whiteNoise()->alpha(), c.noise ? 1.0 : 0.15);

    const std::int64_t focusBefore = defaults()->integerForKey(kFocusTimeKey);
    tap(settings->stepperButtons()[0]);
    EXPECT_EQ(defaults()->integerForKey(kFocusTimeKey), focusBefore + (c.steppers ? 5 : 0));
    const std::int64_t modeBefore = defaults()->integerForKey(kWhiteNoiseModeKey);
    tap(settings->whiteNoise());
    EXPECT_EQ(defaults()->integerForKey(kWhiteNoiseModeKey), c.noise ? modeBefore + 1 : modeBefore);
    app_.reset();
    resetWorld();
  }
}

TEST_F(SettingsTest, OpeningStopsTheTriggerClosingRestartsItAfterTheAnimation) {
  auto focus = launch();
  ASSERT_TRUE(focus->motionManager()->isAccelerometerActive());
  platform::Device::current().setProximityMonitoringEnabled(true);
  auto settings = openSettings(*focus);
  EXPECT_FALSE(focus->motionManager()->isAccelerometerActive());
  EXPECT_FALSE(platform::Device::current().isProximityMonitoringEnabled());
  EXPECT_EQ(postedNamed(kTimerActivityChangeNotification),
            (std::vector<Posted>{{std::string(kTimerActivityChangeNotification), false, false}}));

  posted.clear();
  ASSERT_TRUE(tap(settings->closeButton()));
  EXPECT_TRUE(postedNamed(kTimerActivityChangeNotification).empty());
  advance(platform::ViewController::kTransitionDuration);
  EXPECT_EQ(postedNamed(kTimerActivityChangeNotification),
            (std::vector<Posted>{{std::string(kTimerActivityChangeNotification), true, false}}));
  EXPECT_EQ(topScreen(), focus);
  EXPECT_TRUE(focus->motionManager()->isAccelerometerActive());
}

TEST_F(SettingsTest, ASheetSwipedAwayRestartsTheTriggerThroughTheFocusScreen) {
  auto focus = launch(Launch().onDevice("iPad"));
  openSettings(*focus);
  ASSERT_FALSE(focus->motionManager()->isAccelerometerActive());
  ASSERT_TRUE(platform::UIDriver::swipeDownSheet());
  advance(platform::ViewController::kTransitionDuration);
  EXPECT_EQ(topScreen(), focus);
  EXPECT_TRUE(focus->motionManager()->isAccelerometerActive());
}

TEST_F(SettingsTest, TheCloseButtonSitsFiftyAboveTheBottomOnTallScreens) {
  for (double height : {667.0, 812.0, 896.0}) {
    SCOPED_TRACE(height);
    auto settings = launchAndOpen(Launch().onScreen(375, height));
    settings->view()->layoutIfNeeded();
    const bool pinned = height >= 812;
    EXPECT_EQ(settings->view()->constraints().size(), pinned ? 1u : 0u);
    if (pinned) {
      EXPECT_DOUBLE_EQ(settings->closeButton()->frame().midY(), settings->view()->bounds().height() - 50);
    }
    app_.reset();
    resetWorld();
  }
}

TEST_F(SettingsTest, MailGoesToSupportOnlyOnADeviceThatCanSendIt) {
  for (bool canSend : {true, false}) {
    SCOPED_TRACE(canSend);
    platform::MailDriver::reset();
    platform::MailDriver::setCanSendMail(canSend);
    auto settings = launchAndOpen();
    platform::testing::LogCapture log;
    platform::Trace::clear();
    ASSERT_TRUE(tap(platform::UIDriver::findByAccessibilityIdentifier("mailButton")));
    advance(platform::ViewController::kTransitionDuration);
    EXPECT_EQ(traceCount("haptic", "impact light"), 1u);
    auto composer = topScreen<platform::MailComposeViewController>();
    if (!canSend) {
      EXPECT_FALSE(composer);
      EXPECT_EQ(topScreen(), settings);
      EXPECT_EQ(log.prints(), std::vector<std::string>{"메일을 등록하세요"});
    } else {
      ASSERT_TRUE(composer);
      EXPECT_EQ(composer->toRecipients(),
                std::vector<std::string>{std::string(SettingsViewController::kSupportAddress)});
      ASSERT_TRUE(tap(platform::UIDriver::findByAccessibilityIdentifier("mailSendButton")));
      advance(platform::ViewController::kTransitionDuration);
      EXPECT_EQ(topScreen(), settings);
      EXPECT_EQ(traceCount("mail"), 1u);
    }
    app_.reset();
    resetWorld();
  }
}

TEST_F(SettingsTest, LinksOpenTheirAddresses) {
  struct Case {
    const char* button;
    std::string_view url;
  };
  const Case cases[] = {
      {"kapButton", SettingsViewController::kKAPStoreURL},
      {"dulButton", SettingsViewController::kDULStoreURL},
      {"mezButton", SettingsViewController::kMEZStoreURL},
      {"socialButton", SettingsViewController::kSocialPageURL},
  };
  auto settings = launchAndOpen();
  for (const Case& c : cases) {
    platform::Trace::clear();
    ASSERT_TRUE(tap(platform::UIDriver::findByAccessibilityIdentifier(c.button))) << c.button;
    EXPECT_EQ(traceCount("openURL", c.url), 1u) << c.button;
    EXPECT_EQ(traceCount("haptic"), 0u);
  }
}

TEST_F(SettingsTest, ChangingThePeriodCountRebuildsTheDots) {
  auto settings = launchAndOpen(Launch().with(kSessionNumberKey, 4));
  ASSERT_TRUE(tap(settings->stepperButtons()[4]));
  auto counter = std::dynamic_pointer_cast<platform::Label>(
      platform::UIDriver::findByAccessibilityIdentifier("dotCounterLabel", focus_->view()));
  ASSERT_TRUE(counter);
  EXPECT_EQ(counter->text(), "1/5");
}

}  // namespace
