#include <gtest/gtest.h>

#include "platform/ui/button.h"
#include "platform/ui/gesture_recognizer.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"
#include "ui_fixture.h"

namespace platform::ui_tests {
namespace {

class TouchTest : public WindowedUITest {
 protected:
  void SetUp() override {
    WindowedUITest::SetUp();
    log_.clear();
    screen_ = root_->view();
    // A panel with a tap recognizer, and a button on it.
    panel_ = std::make_shared<View>(Rect(0, 100, 375, 300));
    panel_->addGestureRecognizer(std::make_shared<TapGestureRecognizer>(
        nullptr, [this](GestureRecognizer&) { log_.push_back("panel tapped"); }));
    screen_->addSubview(panel_);
    button_ = Button::buttonWithType(ButtonType::Custom);
    button_->setFrame(Rect(100, 100, 100, 50));
    button_->addTarget(
        nullptr, [this](Control&) { log_.push_back("button"); }, kControlEventTouchUpInside);
    panel_->addSubview(button_);
  }

 public:
  std::shared_ptr<View> screen_;
  std::shared_ptr<View> panel_;
  std::shared_ptr<Button> button_;
  std::vector<std::string> log_;
};

TEST_F(TouchTest, TapReachesOnlyAVisibleEnabledUncoveredControl) {
  struct Case {
    const char* name;
    std::function<void(TouchTest&)> arrange;
    bool reached;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {"free button", [](TouchTest&) {}, true, {"button"}},
      {"disabled button: the panel beneath gets the tap",
       [](TouchTest& t) { t.button_->setEnabled(false); },
       false,
       {"panel tapped"}},
      {"hidden button", [](TouchTest& t) { t.button_->setHidden(true); }, false, {"panel tapped"}},
      {"transparent button", [](TouchTest& t) { t.button_->setAlpha(0.005); }, false, {"panel tapped"}},
      {"covered by a view on top",
       [](TouchTest& t) { t.screen_->addSubview(std::make_shared<View>(Rect(0, 0, 375, 667))); },
       false,
       {}},
      {"under an image view, which takes no touches",
       [](TouchTest& t) { t.screen_->addSubview(std::make_shared<ImageView>(Rect(0, 0, 375, 667))); },
       true,
       {"button"}},
      {"under a label, which takes no touches",
       [](TouchTest& t) { t.panel_->addSubview(std::make_shared<Label>(Rect(100, 100, 100, 50))); },
       true,
       {"button"}},
      {"superview without user interaction",
       [](TouchTest& t) { t.panel_->setUserInteractionEnabled(false); },
       false,
       {}},
      {"outside its superview's bounds", [](TouchTest& t) { t.panel_->setFrame(Rect(0, 100, 150, 300)); }, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.arrange(*this);
    EXPECT_EQ(UIDriver::tap(*button_), c.reached);
    EXPECT_EQ(log_, c.log);
  }
}

TEST_F(TouchTest, ControlActionWinsOverTheTapRecognizerOfItsSuperview) {
  EXPECT_TRUE(UIDriver::tapAt(Point{150, 225}));
  EXPECT_EQ(log_, std::vector<std::string>{"button"});
  log_.clear();
  // A recognizer on the control itself takes the tap and cancels the control's touch.
  button_->addGestureRecognizer(std::make_shared<TapGestureRecognizer>(
      nullptr, [this](GestureRecognizer&) { log_.push_back("button tap recognizer"); }));
  EXPECT_TRUE(UIDriver::tap(*button_));
  EXPECT_EQ(log_, std::vector<std::string>{"button tap recognizer"});
}

TEST_F(TouchTest, LongPressBeginsAfterItsDurationAndCancelsTheControl) {
  std::vector<GestureRecognizerState> states;
  auto press =
      std::make_shared<LongPressGestureRecognizer>(nullptr, [&](GestureRecognizer& r) { states.push_back(r.state()); });
  press->setMinimumPressDuration(0.2);
  button_->addGestureRecognizer(press);

  ASSERT_TRUE(UIDriver::longPressBegin(*button_));
  EXPECT_TRUE(button_->isHighlighted());
  platform::testing::advance(0.19);
  EXPECT_TRUE(states.empty());
  platform::testing::advance(0.01);
  EXPECT_EQ(states, std::vector<GestureRecognizerState>{GestureRecognizerState::Began});
  EXPECT_FALSE(button_->isHighlighted());
  platform::testing::advance(2);
  ASSERT_TRUE(UIDriver::longPressEnd());
  EXPECT_EQ(states,
            (std::vector<GestureRecognizerState>{GestureRecognizerState::Began, GestureRecognizerState::Ended}));
  EXPECT_TRUE(log_.empty());  // the button's action never ran
  EXPECT_FALSE(UIDriver::longPressEnd());
}

TEST_F(TouchTest, ShortPressIsATap) {
  std::vector<GestureRecognizerState> states;
  auto press =
      std::make_shared<LongPressGestureRecognizer>(nullptr, [&](GestureRecognizer& r) { states.push_back(r.state()); });
  press->setMinimumPressDuration(0.2);
  button_->addGestureRecognizer(press);
  ASSERT_TRUE(UIDriver::longPressBegin(*button_));
  platform::testing::advance(0.1);
  ASSERT_TRUE(UIDriver::longPressEnd());
  platform::testing::advance(1);
  EXPECT_TRUE(states.empty());
  EXPECT_EQ(log_, std::vector<std::string>{"button"});
}

TEST_F(TouchTest, ACancelledPressIsNoTapAndEndsARecognizedPressAsCancelled) {
  using S = GestureRecognizerState;
  struct Case {
    double held;
    std::vector<S> states;
  } cases[] = {{0.1, {}}, {0.5, {S::Began, S::Cancelled}}};
  for (const auto& c : cases) {
    std::vector<S> states;
    auto record = [&](GestureRecognizer& r) { states.push_back(r.state()); };
    auto press = std::make_shared<LongPressGestureRecognizer>(nullptr, record);
    press->setMinimumPressDuration(0.2);
    button_->addGestureRecognizer(press);
    ASSERT_TRUE(UIDriver::longPressBegin(*button_));
    platform::testing::advance(c.held);
    ASSERT_TRUE(UIDriver::longPressCancel());
    platform::testing::advance(1);
    EXPECT_EQ(states, c.states) << c.held;
    EXPECT_TRUE(log_.empty()) << c.held;
    EXPECT_FALSE(button_->isHighlighted());
    EXPECT_FALSE(UIDriver::longPressCancel());
    button_->removeGestureRecognizer(press);
  }
}

TEST_F(TouchTest, PressOnAViewThatLeavesTheScreenIsNeverRecognized) {
  int began = 0;
  auto press = std::make_shared<LongPressGestureRecognizer>(nullptr, [&](GestureRecognizer&) { ++began; });
  button_->addGestureRecognizer(press);
  ASSERT_TRUE(UIDriver::longPressBegin(*button_));
  panel_->removeFromSuperview();
  platform::testing::advance(1);
  EXPECT_EQ(began, 0);
  EXPECT_FALSE(UIDriver::longPressEnd());
  EXPECT_TRUE(log_.empty());
}

TEST_F(TouchTest, SwipeGoesToTheNearestRecognizerOfItsDirection) {
  auto overlay = std::make_shared<ImageView>(Rect(0, 0, 375, 667));
  overlay->setUserInteractionEnabled(true);
  auto down = std::make_shared<SwipeGestureRecognizer>(nullptr, [&](GestureRecognizer&) { log_.push_back("down"); });
  down->setDirection(kSwipeDirectionDown);
  overlay->addGestureRecognizer(down);
  screen_->addSubview(overlay);

  EXPECT_FALSE(UIDriver::swipe(*overlay, kSwipeDirectionUp));
  EXPECT_TRUE(UIDriver::swipe(*overlay, kSwipeDirectionDown));
  EXPECT_EQ(log_, std::vector<std::string>{"down"});
  // The button beneath the overlay is out of reach; a swipe elsewhere finds no recognizer.
  EXPECT_FALSE(UIDriver::tap(*button_));
  overlay->removeFromSuperview();
  EXPECT_FALSE(UIDriver::swipe(*button_, kSwipeDirectionDown));
}

TEST_F(TouchTest, ViewsAreFoundFrontMostFirst) {
  auto back = std::make_shared<Label>(Rect(0, 0, 10, 10));
  back->setText("25:00");
  back->setTag(7);
  auto front = std::make_shared<Label>(Rect(0, 0, 10, 10));
  front->setText("25:00");
  front->setAccessibilityIdentifier("timer");
  screen_->addSubview(back);
  screen_->addSubview(front);
  EXPECT_EQ(UIDriver::findByText("25:00"), front);
  EXPECT_EQ(UIDriver::findByTag(7), back);
  EXPECT_EQ(UIDriver::findByAccessibilityIdentifier("timer"), front);
  EXPECT_EQ(UIDriver::findByText("nothing"), nullptr);
  button_->setTitle("Start", kControlStateNormal);
  EXPECT_EQ(UIDriver::findByText("Start"), button_);
  EXPECT_TRUE(UIDriver::isVisible(*front));
  screen_->setHidden(true);
  EXPECT_FALSE(UIDriver::isVisible(*front));
}

}  // namespace
}  // namespace platform::ui_tests
