#include <gtest/gtest.h>

#include "platform/ui/button.h"
#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"
#include "ui_fixture.h"

namespace platform::ui_tests {
namespace {

class AnimationTest : public WindowedUITest {
 protected:
  void SetUp() override {
    WindowedUITest::SetUp();
    view_ = std::make_shared<View>(Rect(0, 0, 100, 100));
    root_->view()->addSubview(view_);
  }
  std::shared_ptr<View> view_;
};

TEST_F(AnimationTest, FinalValuesApplyAtOnceAndTheCompletionWaitsForDelayPlusDuration) {
  struct Case {
    double duration, delay;
  };
  for (const Case& c : {Case{0.38, 0}, Case{1.1, 0.3}, Case{0, 0.5}}) {
    SCOPED_TRACE(c.duration + c.delay);
    std::vector<bool> finished;
    View::animate(
        c.duration, c.delay, kAnimationOptionNone,
        [&] {
          view_->setAlpha(0.5);
          view_->setFrame(Rect(0, 667, 100, 100));
        },
        [&](bool f) { finished.push_back(f); });
    EXPECT_EQ(view_->alpha(), 0.5);
    EXPECT_EQ(view_->frame().minY(), 667);
    EXPECT_TRUE(view_->hasRunningAnimations());
    platform::testing::advance(c.duration + c.delay - 0.01);
    EXPECT_TRUE(finished.empty());
    platform::testing::advance(0.01);
    EXPECT_EQ(finished, std::vector<bool>{true});
    EXPECT_FALSE(view_->hasRunningAnimations());
    view_->setAlpha(1);
  }
}

TEST_F(AnimationTest, AnimationThatChangesNothingCompletesAtOnce) {
  std::vector<bool> finished;
  View::animate(
      5, [] {}, [&](bool f) { finished.push_back(f); });
  platform::testing::runUntilIdle();
  EXPECT_EQ(finished, std::vector<bool>{true});
}

TEST_F(AnimationTest, RepeatingAnimationCompletesUnfinishedOnlyWhenItsViewLeavesTheWindow) {
  auto button = Button::buttonWithType(ButtonType::Custom);
  view_->addSubview(button);
  std::vector<bool> finished;
  View::animate(
      1.1, 0.3, kAnimationOptionRepeat | kAnimationOptionAutoreverse | kAnimationOptionAllowUserInteraction,
      [&] { button->setAlpha(0.5); }, [&](bool f) { finished.push_back(f); });
  platform::testing::advance(60);
  EXPECT_TRUE(finished.empty());
  EXPECT_EQ(button->alpha(), 0.5);

  view_->removeFromSuperview();  // the button leaves with its superview
  platform::testing::runUntilIdle();
  EXPECT_EQ(finished, std::vector<bool>{false});
  platform::testing::advance(60);
  EXPECT_EQ(finished.size(), 1u);
}

TEST_F(AnimationTest, ViewsNotYetInAWindowKeepTheirRepeatingAnimation) {
  // The pulse may start before its view joins the screen.
  auto detached = std::make_shared<View>();
  auto unrelated = std::make_shared<View>();
  root_->view()->addSubview(unrelated);
  std::vector<bool> finished;
  View::animate(
      1, 0, kAnimationOptionRepeat, [&] { detached->setAlpha(0.5); }, [&](bool f) { finished.push_back(f); });
  unrelated->removeFromSuperview();
  root_->view()->addSubview(detached);
  platform::testing::advance(10);
  EXPECT_TRUE(finished.empty());
  detached->removeFromSuperview();
  platform::testing::runUntilIdle();
  EXPECT_EQ(finished, std::vector<bool>{false});
}

TEST_F(AnimationTest, AnimatedViewsTakeNoTouchesUnlessAllowed) {
  struct Case {
    unsigned options;
    bool tappable;
  };
  for (const Case& c : {Case{kAnimationOptionNone, false}, Case{kAnimationOptionAllowUserInteraction, true}}) {
    SCOPED_TRACE(c.options);
    int taps = 0;
    auto button = Button::buttonWithType(ButtonType::Custom);
    button->setFrame(Rect(0, 0, 50, 50));
    button->addTarget(
        nullptr, [&](Control&) { ++taps; }, kControlEventTouchUpInside);
    view_->addSubview(button);
    View::animate(1, 0, c.options, [&] { view_->setAlpha(0.9); });
    UIDriver::tap(*button);
    EXPECT_EQ(taps, c.tappable ? 1 : 0);
    platform::testing::advance(1);
    UIDriver::tap(*button);
    EXPECT_EQ(taps, c.tappable ? 2 : 1);
    button->removeFromSuperview();
  }
}

}  // namespace
}  // namespace platform::ui_tests
