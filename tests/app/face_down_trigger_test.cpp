#include <cmath>

#include "app/app_notifications.h"
#include "focus_app_fixture.h"
#include "platform/foundation/notification_center.h"
#include "platform/motion/motion_manager.h"
#include "platform/ui/view_controller.h"

namespace {

using platform::MotionDriver::pushSample;

class FaceDownTest : public FocusAppTest {
 protected:
  void push(double x, double y, double z) {
    pushSample(x, y, z);
    settle();
  }
};

TEST_F(FaceDownTest, FaceDownStartsOnlyOnceTheSensorIsFoundCovered) {
  auto focus = launch();
  EXPECT_TRUE(focus->motionManager()->isAccelerometerActive());
  platform::UIDriver::setProximityCovered(true);
  push(0, 0, 1);
  EXPECT_FALSE(focus->isFocusStarted()) << "the sample that switches monitoring on cannot find the sensor covered";
  EXPECT_TRUE(platform::Device::current().isProximityMonitoringEnabled());
  push(0, 0, 1);
  EXPECT_TRUE(focus->isFocusStarted());
  EXPECT_TRUE(focus->isFocusTimerRunning());
  advance(1);
  EXPECT_EQ(focus->timerLabel()->text(), "24:59");
}

TEST_F(FaceDownTest, PosesDecideByTheirWindows) {
  struct Case {
    const char* name;
    double x, y, z;
    bool startsFromReady;
    bool stopsRunning;
  };
  const double s45 = std::sqrt(0.5);
  // The two components of a phone whose screen normal makes `degrees` with its long edge.
  auto tilt = [](double degrees) { return std::cos(degrees * M_PI / 180); };
  auto lift = [](double degrees) { return std::sin(degrees * M_PI / 180); };
  const Case cases[] = {
      {"screen down", 0, 0, 1, true, false},
      {"screen down, tilted 30 degrees", 0.5, 0, 0.866, true, false},
      {"screen up", 0, 0, -1, false, true},
      {"screen up, tilted 30 degrees", 0, -0.5, -0.866, false, true},
      {"upright", 0, -1, 0, false, false},
      {"upside down", 0, 1, 0, false, false},
      {"on its side", 1, 0, 0, false, false},
      {"on its other side", -1, 0, 0, false, false},
      {"half way between up and upright", 0, -s45, -s45, false, false},
      {"half way between down and on its side", s45, 0, s45, false, false},
      // Tilted 40 degrees from flat, exactly the window away from the target: outside.
      {"screen down, on the window's edge", tilt(50), 0, lift(50), false, false},
      {"screen down, just inside the window", tilt(50.1), 0, lift(50.1), true, false},
      {"screen up, on the window's edge", tilt(50), 0, -lift(50), false, false},
      {"screen up, just inside the window", tilt(50.1), 0, -lift(50.1), false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto focus = launch();
    platform::UIDriver::setProximityCovered(true);
    for (int i = 0; i < 3; ++i) push(c.x, c.y, c.z);
    EXPECT_EQ(focus->isFocusStarted(), c.startsFromReady);

    if (!focus->isFocusStarted()) layFaceDown();
    ASSERT_TRUE(focus->isFocusStarted());
    for (int i = 0; i < 3; ++i) push(c.x, c.y, c.z);
    EXPECT_EQ(!focus->isFocusStarted(), c.stopsRunning);
    EXPECT_EQ(focus->isPiloAngry(), c.stopsRunning);
    app_.reset();
    resetWorld();
  }
}

TEST_F(FaceDownTest, NothingStartsWithoutTimeLeftOrWithTheSensorUncovered) {
  auto focus = launch();
  push(0, 0, 1);
  push(0, 0, 1);
  EXPECT_FALSE(focus->isFocusStarted()) << "sensor uncovered";

  layFaceDown();
  advance(60);
  turnFaceUp();
  // A focus screen with no time left stays put even face down.
  focus->setTimerForReady();
  defaults()->setInteger(0, kFocusTimeKey);
  focus->setTimerForReady();
  settle();
  layFaceDown();
  EXPECT_FALSE(focus->isFocusStarted());
}

TEST_F(FaceDownTest, LiftingThePhoneStopsThePeriodBeforeItTurnsOver) {
  auto focus = launch();
  layFaceDown();
  advance(10);
  platform::UIDriver::setProximityCovered(false);
  settle();
  EXPECT_FALSE(focus->isFocusStarted());
  EXPECT_TRUE(focus->isPiloAngry());
  EXPECT_FALSE(platform::Device::current().isProximityMonitoringEnabled()) << "a stop switches monitoring off";

  layFaceDown();
  EXPECT_TRUE(focus->isFocusStarted());
  advance(1);
  EXPECT_EQ(focus->focusTime(), 1500 - 11) << "resumes from the remaining seconds";
}

TEST_F(FaceDownTest, TheIntroKeepsThePhoneFromStartingAPeriod) {
  auto focus = launch(Launch().asFirstLaunch());
  ASSERT_TRUE(focus->introImageView());
  EXPECT_FALSE(focus->motionManager()->isAccelerometerActive());
  layFaceDown();
  EXPECT_FALSE(focus->isFocusTimerRunning());

  ASSERT_TRUE(platform::UIDriver::tap(*focus->introStartButton()));
  advance(0.38);
  EXPECT_FALSE(focus->introImageView());
  EXPECT_FALSE(defaults()->boolForKey(kIsFirstLaunchKey));
  EXPECT_TRUE(focus->motionManager()->isAccelerometerActive());
  layFaceDown();
  EXPECT_TRUE(focus->isFocusStarted());
}

TEST_F(FaceDownTest, TimerActivityNotificationSwitchesTheDetector) {
  auto focus = launch();
  struct Step {
    std::optional<bool> object;
    bool active;
  };
  for (const Step step : {Step{false, false}, Step{true, true}, Step{std::nullopt, false}, Step{true, true}}) {
    postAppNotification(kTimerActivityChangeNotification, step.object);
    EXPECT_EQ(focus->motionManager()->isAccelerometerActive(), step.active);
  }
  // An object that is not a boolean number stops it too.
  static const int notABoolean = 1;
  platform::NotificationCenter::defaultCenter().post(std::string(kTimerActivityChangeNotification), &notABoolean);
  EXPECT_FALSE(focus->motionManager()->isAccelerometerActive());
}

TEST_F(FaceDownTest, OtherDevicesUseTheButtonUntilASheetIsSwipedAway) {
  auto focus = launch(Launch().onDevice("iPad"));
  ASSERT_TRUE(focus->startButton());
  EXPECT_FALSE(focus->motionManager()->isAccelerometerActive());
  postAppNotification(kTimerActivityChangeNotification, true);
  EXPECT_FALSE(focus->motionManager()->isAccelerometerActive()) << "not observed on this device";
  layFaceDown();
  EXPECT_FALSE(focus->isFocusStarted());

  ASSERT_TRUE(platform::UIDriver::tap(*focus->startButton()));
  settle();
  ASSERT_TRUE(focus->isFocusStarted());
  auto sheet = std::make_shared<platform::ViewController>();
  focus->presentationControllerDidDismiss(*sheet->presentationController());
  EXPECT_TRUE(focus->motionManager()->isAccelerometerActive());
  push(0, 0, -1);
  EXPECT_FALSE(focus->isFocusStarted());
  EXPECT_TRUE(focus->isPiloAngry());
}

TEST_F(FaceDownTest, ANearlyIPhoneModelIsNotAnIPhone) {
  auto focus = launch(Launch().onDevice("iPhone12,1"));
  EXPECT_FALSE(focus->motionManager()->isAccelerometerActive());
  EXPECT_TRUE(focus->startButton());
}

}  // namespace
