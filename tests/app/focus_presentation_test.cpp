#include <string>
#include <vector>

#include "app/app_notifications.h"
#include "app/localized.h"
#include "focus_extras_fixture.h"
#include "platform/ui/alert_controller.h"
#include "platform/notifications/notification_driver.h"
#include "platform/notifications/user_notification_center.h"
#include "platform/ui/layout_constraint.h"

namespace {

using platform::Point;
using platform::Rect;

std::string imageName(const platform::ImageView& view) { return view.image() ? view.image()->name() : ""; }

class FocusPresentationTest : public FocusExtrasTest {
 protected:
  // Every screen profile in turn, each on a fresh launch.
  template <class F>
  void forEachProfile(Launch options, F check) {
    for (const auto& profile : platform::kScreenProfiles) {
      SCOPED_TRACE(std::string(profile.name));
      options.onScreen(profile.size.width, profile.size.height);
      auto focus = launch(options);
      check(*focus, profile.size);
      app_.reset();
      resetWorld();
      defaults()->removeObjectForKey(kIsFirstLaunchKey);
    }
  }
  static Launch pad() { return Launch().onDevice("iPad"); }
  // A period run for a second on the play button and stopped: the mascot turns angry.
  static void runAndStop(ViewController& focus) {
    ASSERT_TRUE(tap(focus.startButton()));
    advance(1);
    ASSERT_TRUE(tap(focus.startButton()));
  }
  static std::shared_ptr<platform::View> byIdentifier(std::string_view identifier) {
    return platform::UIDriver::findByAccessibilityIdentifier(identifier);
  }
};

TEST_F(FocusPresentationTest, LayoutFollowsTheScreenHeight) {
  forEachProfile(Launch(), [](ViewController& focus, platform::Size screen) {
    const double h = screen.height;
    std::string balloon = h >= 812 ? "main_bird_talk_1_x" : "main_bird_talk_1";
    EXPECT_EQ(imageName(*focus.birdTalk()), balloon);
    EXPECT_EQ(imageName(*focus.backgroundImageView()), h == 812 ? "background_X" : "background");
    if (h >= 812) {
      EXPECT_DOUBLE_EQ(focus.settingButton()->frame().maxY(), h - 24);
    }
    if (h == 812) {
      EXPECT_DOUBLE_EQ(focus.closeButton()->frame().midY(), h - 190);
      EXPECT_DOUBLE_EQ(focus.timerLabel()->frame().midY(), h - 375);
    }
    EXPECT_DOUBLE_EQ(focus.timerLabel()->font().pointSize(), h < 650 ? 50 : 64);
  });
}

TEST_F(FocusPresentationTest, TheAngryFaceFitsEachScreenAndTheLabelBlinks) {
  forEachProfile(pad(), [](ViewController& focus, platform::Size screen) {
    std::string image = "angry";
    Point origin{0, 0};
    if (screen.height == 896) {
      image = "angry_X";
      origin = {20, 20};
    } else if (screen.height == 812) {
      image = "angry_X";
    } else if (screen.height == 480) {
      origin = {-20, -20};
    } else if (screen.width == 320) {
      origin = {-20, -10};
    }
    runAndStop(focus);
    ASSERT_TRUE(focus.isPiloAngry());
    advance(0.69);
    EXPECT_FALSE(focus.angryView());
    advance(0.02);
    ASSERT_TRUE(focus.angryView());
    EXPECT_EQ(imageName(*focus.angryView()), image);
    EXPECT_EQ(focus.angryView()->frame().origin, origin);
    EXPECT_EQ(focus.angryView()->frame().size, platform::Image::named(image)->size());

    advance(0.5);
    EXPECT_EQ(focus.timerLabel()->textColor(), platform::Color::blackColor());
    advance(0.5);
    EXPECT_EQ(focus.timerLabel()->textColor(), platform::Color::whiteColor());

    // Starting again calms the mascot: the face goes and the label is white.
    ASSERT_TRUE(tap(focus.startButton()));
    EXPECT_FALSE(focus.angryView());
    EXPECT_FALSE(focus.isAngryTimerRunning());
    EXPECT_EQ(focus.timerLabel()->textColor(), platform::Color::whiteColor());

    // Every new face blinks black first, also after a face calmed on an odd blink.
    for (int face = 0; face < 2; ++face) {
      advance(1);
      ASSERT_TRUE(tap(focus.startButton()));
      advance(0.71);
      ASSERT_TRUE(focus.angryView());
      advance(0.5);
      EXPECT_EQ(focus.timerLabel()->textColor(), platform::Color::blackColor()) << "face " << face;
      ASSERT_TRUE(tap(focus.startButton()));
    }
  });
}

TEST_F(FocusPresentationTest, AMascotCalmedBeforeTheAngryFaceAppearsShowsNoneUntilAngryAgain) {
  auto focus = launch(pad());
  runAndStop(*focus);
  advance(0.3);
  // The reset sheet's amused face calms the mascot while the angry face is still pending.
  ASSERT_TRUE(tap(focus->closeButton()));
  ASSERT_FALSE(focus->isPiloAngry());
  advance(0.45);
  EXPECT_FALSE(focus->angryView());
  EXPECT_FALSE(focus->isAngryTimerRunning());

  // 1.5 s after the amused face the mascot is angry again, and its face follows 0.7 s later.
  advance(1.1);
  ASSERT_TRUE(focus->isPiloAngry());
  advance(0.71);
  EXPECT_TRUE(focus->angryView());
  EXPECT_TRUE(focus->isAngryTimerRunning());
}

TEST_F(FocusPresentationTest, APeriodStartedWithinTheFirstSeventyHundredthsShowsNoAnger) {
  auto focus = launch(pad());
  runAndStop(*focus);
  advance(0.3);
  ASSERT_TRUE(tap(focus->startButton()));
  advance(1);
  EXPECT_FALSE(focus->angryView());
  EXPECT_FALSE(focus->isAngryTimerRunning());
}

TEST_F(FocusPresentationTest, TheFunFaceShowsWhileTheResetSheetIsUpExceptOnTheTallestPhones) {
  forEachProfile(pad(), [](ViewController& focus, platform::Size screen) {
    runAndStop(focus);
    advance(1);
    ASSERT_TRUE(focus.angryView());
    ASSERT_TRUE(tap(focus.closeButton()));
    ASSERT_TRUE(platform::UIDriver::presentedAlert());

    auto fun = byIdentifier("funView");
    if (screen.height >= 844) {
      EXPECT_FALSE(fun);
      EXPECT_TRUE(focus.isPiloAngry());
      EXPECT_TRUE(focus.closeButton()->isUserInteractionEnabled());
      return;
    }
    ASSERT_TRUE(fun);
    auto image = std::dynamic_pointer_cast<platform::ImageView>(fun);
    Rect frame = fun->frame();
    if (screen.height == 812) {
      EXPECT_EQ(imageName(*image), "fun_X");
      EXPECT_EQ(frame.origin, (Point{0, 0}));
    } else if (screen.height == 480) {
      EXPECT_EQ(frame.size, (platform::Size{0, 0}));
    } else if (screen.width == 320) {
      EXPECT_EQ(frame.origin, (Point{-25, -20}));
    } else {
      EXPECT_EQ(frame.origin, (Point{2, -3}));
    }
    EXPECT_FALSE(focus.isPiloAngry());
    EXPECT_FALSE(focus.closeButton()->isUserInteractionEnabled());
    advance(1.0);
    EXPECT_FALSE(byIdentifier("funView"));
    advance(0.5);
    // Part of the period had run and nothing was reset: angry again.
    EXPECT_TRUE(focus.closeButton()->isUserInteractionEnabled());
    EXPECT_TRUE(focus.isPiloAngry());
  });
}

TEST_F(FocusPresentationTest, AfterAResetOrBeforeAnyRunTheMascotStaysCalm) {
  auto focus = launch(pad());
  ASSERT_TRUE(tap(focus->closeButton()));
  advance(1.5);
  EXPECT_FALSE(focus->isPiloAngry());

  ASSERT_TRUE(platform::UIDriver::chooseAlertAction(localizedString("cancel")));
  advance(1);
  runAndStop(*focus);
  ASSERT_TRUE(tap(focus->closeButton()));
  advance(platform::ViewController::kTransitionDuration);
  ASSERT_TRUE(platform::UIDriver::chooseAlertAction(localizedString("alert_reset_session_current")));
  advance(1.5);
  EXPECT_FALSE(focus->isPiloAngry());
  EXPECT_FALSE(focus->angryView());
}

TEST_F(FocusPresentationTest, TheIntroCoversTheScreenPulsesAndSlidesAwayByButtonOrSwipe) {
  for (bool bySwipe : {false, true}) {
    SCOPED_TRACE(bySwipe ? "swipe" : "button");
    forEachProfile(Launch().asFirstLaunch(), [bySwipe](ViewController& focus, platform::Size screen) {
      auto intro = focus.introImageView();
      ASSERT_TRUE(intro);
      EXPECT_EQ(intro->frame(), focus.view()->bounds());
      EXPECT_EQ(intro->backgroundColor(), platform::Color::whiteColor());
      EXPECT_TRUE(focus.isFocusStarted());  // nothing starts behind the overlay
      EXPECT_FALSE(focus.motionManager()->isAccelerometerActive());

      auto button = focus.introStartButton();
      ASSERT_TRUE(button);
      const auto& constraints = intro->constraints();
      ASSERT_EQ(constraints.size(), 2u);
      EXPECT_EQ(constraints[0]->firstAttribute(), platform::LayoutAttribute::Bottom);
      EXPECT_DOUBLE_EQ(constraints[0]->multiplier(), screen.height >= 812 ? 0.9 : 0.98);
      EXPECT_EQ(constraints[1]->firstAttribute(), platform::LayoutAttribute::Right);
      EXPECT_DOUBLE_EQ(constraints[1]->multiplier(), 0.95);
      EXPECT_DOUBLE_EQ(button->alpha(), 0.5);  // pulsing
      EXPECT_TRUE(button->hasRunningAnimations());

      if (bySwipe) {
        ASSERT_TRUE(platform::UIDriver::swipe(*intro, platform::kSwipeDirectionDown));
      } else {
        ASSERT_TRUE(tap(button));
      }
      settle();
      EXPECT_DOUBLE_EQ(intro->frame().minY(), focus.view()->bounds().height());
      EXPECT_TRUE(intro->superview());
      advance(0.38);
      EXPECT_FALSE(intro->superview());
      EXPECT_FALSE(focus.introImageView());
      EXPECT_FALSE(focus.isFocusStarted());
      EXPECT_FALSE(defaults()->boolForKey(kIsFirstLaunchKey));
      EXPECT_FALSE(button->hasRunningAnimations());
    });
  }
}

TEST_F(FocusPresentationTest, AnIntroDismissedByButtonAndSwipeAtOnceEndsOnce) {
  for (const char* model : {"iPhone", "iPad"}) {
    SCOPED_TRACE(model);
    platform::NotificationDriver::reset();
    auto focus = launch(Launch().onDevice(model).asFirstLaunch());
    auto intro = focus->introImageView();
    ASSERT_TRUE(intro);
    ASSERT_TRUE(tap(focus->introStartButton()));
    // The swipe comes while the overlay is still sliding away.
    platform::UIDriver::swipe(*intro, platform::kSwipeDirectionDown);
    focus->dismissImageView();
    advance(0.38);
    for (int i = 0; i < 3; ++i) {
      platform::testing::drain(platform::UserNotificationCenter::current()->queue());
      settle();
    }
    EXPECT_FALSE(focus->introImageView());
    EXPECT_EQ(platform::NotificationDriver::authorizationPromptCount(), 1);
    const auto playButtons = platform::UIDriver::findAll(
        [](const platform::View& view) { return view.accessibilityIdentifier() == "startButton"; }, focus->view());
    EXPECT_EQ(playButtons.size(), std::string_view(model) == "iPad" ? 1u : 0u);
    app_.reset();
    resetWorld();
    defaults()->removeObjectForKey(kIsFirstLaunchKey);
  }
}

TEST_F(FocusPresentationTest, TheAttentionBlinkRunsItsTimelineOnEveryScreen) {
  // Alphas of balloon, settings button and close button after each step.
  struct Step {
    double at;
    double balloon, setting, close;
  };
  const Step timeline[] = {
      {0.5, 0, 0.5, 0.5}, {0.8, 1, 1, 1}, {1.3, 0, 0.5, 0.5}, {1.6, 1, 1, 1}, {2.1, 1, 0.5, 1}, {2.4, 1, 1, 1},
      {2.9, 1, 0.5, 1},   {3.2, 1, 1, 1}, {3.7, 1, 1, 0.5},   {4.0, 1, 1, 1}, {4.5, 1, 1, 0.5}, {4.8, 1, 1, 1},
  };
  forEachProfile(Launch(), [&timeline](ViewController& focus, platform::Size) {
    postAppNotification(kBlinkBirdImageNotification);
    settle();
    double now = 0;
    for (const Step& step : timeline) {
      SCOPED_TRACE(step.at);
      advance(step.at - now + 0.01);
      now = step.at + 0.01;
      EXPECT_DOUBLE_EQ(focus.birdTalk()->alpha(), step.balloon);
      EXPECT_DOUBLE_EQ(focus.settingButton()->alpha(), step.setting);
      EXPECT_DOUBLE_EQ(focus.closeButton()->alpha(), step.close);
    }
  });
}

}  // namespace
