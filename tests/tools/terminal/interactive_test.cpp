#include "tools/terminal/interactive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/work_tracker.h"
#include "platform/ui/label.h"
#include "sdk/analytics/events/apm_event.h"
#include "tests/tools/terminal/held_database.h"
#include "tests/tools/terminal/session_fixture.h"

namespace {

using terminal::Key;

class InteractiveTest : public SessionTest {
 protected:
  void start(terminal::Options options = {}) {
    startSession(std::move(options));
    frontEnd_ = std::make_unique<terminal::InteractiveFrontEnd>(*session_);
  }
  void TearDown() override {
    frontEnd_.reset();
    SessionTest::TearDown();
  }
  // A key returns within a frame; the time it skips and the app's own work follow over the next
  // frames, which the test runs until the app has caught up, as a person would watch it do.
  void press(std::string_view keys) {
    for (char c : keys) press(Key::character(std::string(1, c)));
  }
  void press(Key::Kind kind) { press(Key{kind, {}}); }
  void press(const Key& key) {
    frontEnd_->handleKey(key);
    catchUp();
  }
  // A skip of half an hour is thousands of sensor readings, seconds of work on a loaded machine:
  // the limit is far above that.
  void catchUp() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    while (session_->timeOwed() > 0 || platform::WorkTracker::ownOutstanding() > 0) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the app never caught up";
      session_->settle();
    }
  }
  std::string timer() const { return focusScreen()->timerLabel()->text(); }

  std::unique_ptr<terminal::InteractiveFrontEnd> frontEnd_;
};

TEST_F(InteractiveTest, KeysMoveThePhoneAndSkipTime) {
  start();
  press("d");
  EXPECT_EQ(session_->pose(), terminal::Pose::FaceDown);
  // The period starts on the reading after the one that found the sensor covered.
  advance(0.5);
  press("F");
  EXPECT_EQ(timer(), "20:00");
  press("f");
  EXPECT_EQ(timer(), "19:00");
  press("u");
  EXPECT_EQ(session_->pose(), terminal::Pose::FaceUp);
  press("f");
  EXPECT_EQ(timer(), "19:00");
  EXPECT_TRUE(focusScreen()->isPiloAngry());
  press("d");
  press("w");
  EXPECT_TRUE(session_->isScreenNamed("card"));
}

TEST_F(InteractiveTest, KeysStandThePhoneAndEditTheTextField) {
  start();
  const std::pair<char, terminal::Pose> poses[] = {{'v', terminal::Pose::Upright},
                                                   {'<', terminal::Pose::LeftSide},
                                                   {'>', terminal::Pose::RightSide},
                                                   {'^', terminal::Pose::UpsideDown}};
  for (const auto& [key, pose] : poses) {
    press(std::string(1, key));
    EXPECT_EQ(session_->pose(), pose) << key;
  }
  // No field on the focus screen: the keys say so instead of editing anything.
  press(Key::Kind::Backspace);
  EXPECT_NE(frontEnd_->message().find("no text field"), std::string::npos);
  press("A");
  EXPECT_NE(frontEnd_->message().find("no text field"), std::string::npos);
  press("I");
  EXPECT_EQ(frontEnd_->prompt(), "paste ");
}

TEST_F(InteractiveTest, DigitsTapTheNumberedControls) {
  start();
  press("9");
  EXPECT_NE(frontEnd_->message().find("No control numbered 9"), std::string::npos);
  press("r");
  advance(1);
  EXPECT_TRUE(session_->isScreenNamed("alert"));
  // The sheet's actions in order: this session, all sessions, cancel.
  press("3");
  advance(1);
  EXPECT_TRUE(session_->isScreenNamed("focus"));
  EXPECT_EQ(frontEnd_->message(), "Tapped Cancel.");
}

TEST_F(InteractiveTest, ThePlayButtonIsThereOnlyOffTheIPhone) {
  start();
  press("p");
  EXPECT_NE(frontEnd_->message().find("no play/pause button"), std::string::npos);
  EXPECT_FALSE(focusScreen()->isFocusStarted());
}

TEST_F(InteractiveTest, ThePlayButtonStartsAndStopsOnAnIPad) {
  terminal::Options options;
  options.device = "iPad";
  start(options);
  press("p");
  EXPECT_TRUE(focusScreen()->isFocusStarted());
  press("f");
  press("p");
  EXPECT_FALSE(focusScreen()->isFocusStarted());
  EXPECT_EQ(timer(), "24:00");
}

TEST_F(InteractiveTest, SpeedStepsAndPauses) {
  terminal::Options options;
  options.speed = 10;
  start(options);
  press("+");
  EXPECT_EQ(frontEnd_->speed(), 30);
  press("--");
  EXPECT_EQ(frontEnd_->speed(), 5);
  press(" ");
  EXPECT_TRUE(frontEnd_->isPaused());
  press("+");
  EXPECT_FALSE(frontEnd_->isPaused());
}

TEST_F(InteractiveTest, BackgroundKeyTogglesTheApp) {
  start();
  press("b");
  EXPECT_TRUE(session_->isInBackground());
  press("b");
  EXPECT_FALSE(session_->isInBackground());
}

TEST_F(InteractiveTest, ThePromptRunsScriptCommands) {
  start();
  press(":");
  ASSERT_TRUE(frontEnd_->prompt());
  press("wait 5:00x");
  press(Key::Kind::Backspace);
  frontEnd_->handleKey(Key::character("é"));
  press(Key::Kind::Backspace);
  EXPECT_EQ(*frontEnd_->prompt(), "wait 5:00");
  press(Key::Kind::Enter);
  EXPECT_FALSE(frontEnd_->prompt());
  EXPECT_EQ(frontEnd_->message(), "Done: wait 5:00");

  press(":expect screen card");
  press(Key::Kind::Enter);
  EXPECT_NE(frontEnd_->message().find("Expectation failed"), std::string::npos);

  // Escape leaves the prompt without running anything.
  press(":quit");
  press(Key::Kind::Escape);
  EXPECT_FALSE(frontEnd_->prompt());
  EXPECT_FALSE(frontEnd_->quitRequested());
  press("q");
  EXPECT_TRUE(frontEnd_->quitRequested());
}

TEST_F(InteractiveTest, HHoldsAControlUntilPressedAgain) {
  start();
  press(":tap settingButton");
  press(Key::Kind::Enter);
  advance(1);
  ASSERT_TRUE(session_->isScreenNamed("settings"));
  press("h");
  ASSERT_TRUE(frontEnd_->prompt());
  EXPECT_EQ(*frontEnd_->prompt(), "press ");
  press("longBreakUpButton");
  press(Key::Kind::Enter);
  EXPECT_TRUE(session_->isPressing());
  EXPECT_NE(frontEnd_->message().find("A finger holds + (longBreakUpButton)"), std::string::npos)
      << frontEnd_->message();
  // While held, time passing steps the value: recognised at 0.2 s, then every 0.2 s.
  advance(0.9);
  EXPECT_EQ(defaults()->integerForKey(kLongBreakTimeKey), 35);
  press("h");
  EXPECT_FALSE(session_->isPressing());
  EXPECT_FALSE(frontEnd_->prompt());
  EXPECT_NE(frontEnd_->message().find("Lifted the finger from + (longBreakUpButton) after 0.9 s"), std::string::npos)
      << frontEnd_->message();
  advance(1);
  EXPECT_EQ(defaults()->integerForKey(kLongBreakTimeKey), 35);

  // A press that cannot begin says why and holds nothing.
  press("h");
  press("noSuchControl");
  press(Key::Kind::Enter);
  EXPECT_FALSE(session_->isPressing());
  EXPECT_NE(frontEnd_->message().find("Cannot do that"), std::string::npos) << frontEnd_->message();
}

// Another connection holding the analytics database (a second instance, a backup, a shell) keeps
// the SDK's worker waiting for as long as it holds it. The screen does not wait with it: the app
// launches, keys take effect and the quit ends it, all while the lock is still held; once the lock
// goes, the worker handles every event the session logged meanwhile.
class HeldDatabaseTest : public InteractiveTest {
 protected:
  void SetUp() override {
    InteractiveTest::SetUp();
    listener_ = APMAnalytics::addLogEventListener([this](const std::shared_ptr<const APMEvent>& event) {
      std::lock_guard lock(mutex_);
      handled_.push_back({event->name(), event->timestamp()});
    });
  }
  void TearDown() override {
    APMAnalytics::removeLogEventListener(listener_);
    InteractiveTest::TearDown();
  }

  // As the app starts in a terminal: the front end first, so that the launch does not wait either.
  void startInteractive() {
    defaults()->setBool(false, kIsFirstLaunchKey);
    session_ = std::make_unique<terminal::Session>(terminal::Options{});
    frontEnd_ = std::make_unique<terminal::InteractiveFrontEnd>(*session_);
    session_->launch();
  }
  // Held for 90 s at most, far longer than a test takes on a loaded machine, and shorter than a
  // script's step may wait (terminal::kBackgroundLimitSeconds): a session that waited for its
  // background work as a script does would see the lock end, and the worker's events arrive,
  // before it quits.
  static std::unique_ptr<storage_test::LockingConnection> holdDatabase() { return storage_test::holdAnalyticsDatabase(90); }
  // The user leaves the app and comes back, then quits: the app ends while the worker still waits.
  void leaveComeBackAndQuit() {
    press("b");
    EXPECT_TRUE(session_->isInBackground());
    press("b");
    EXPECT_FALSE(session_->isInBackground());
    press(":tap settingButton");
    press(Key::Kind::Enter);
    EXPECT_TRUE(session_->isScreenNamed("settings")) << frontEnd_->message();
    press("q");
    EXPECT_TRUE(frontEnd_->quitRequested());
    session_->terminate();
    EXPECT_TRUE(platform::Application::shared()->isTerminated());
  }
  // How many events of that name the worker handled, after the first `from`.
  long handledCount(std::string_view name, std::size_t from = 0) {
    std::lock_guard lock(mutex_);
    return std::count_if(handled_.begin() + static_cast<std::ptrdiff_t>(std::min(from, handled_.size())),
                         handled_.end(), [&](const Handled& event) { return event.name == name; });
  }
  std::size_t handledSoFar() {
    std::lock_guard lock(mutex_);
    return handled_.size();
  }

  WorkerWaitsForTheLock busy_;
  APMAnalytics::ListenerToken listener_{};
  std::mutex mutex_;
  struct Handled {
    std::string name;
    double timestamp;
  };
  std::vector<Handled> handled_;
};

TEST_F(HeldDatabaseTest, TheAppLaunchesAndTakesKeysWhileItsDatabaseIsHeldFromTheStart) {
  auto other = holdDatabase();
  startInteractive();
  EXPECT_TRUE(session_->isScreenNamed("focus"));
  EXPECT_TRUE(session_->isBackgroundBusy()) << "the worker was expected to wait for the lock";
  leaveComeBackAndQuit();
  EXPECT_EQ(handledSoFar(), 0u) << "the lock was expected to hold the worker back";
  other->release();
  settle();
  EXPECT_EQ(handledCount("_vs"), 1) << "the launch's screen view";
}

TEST_F(HeldDatabaseTest, KeysAndTheQuitDoNotWaitForADatabaseHeldMidRun) {
  startInteractive();
  settle();
  const std::size_t before = handledSoFar();
  auto other = holdDatabase();
  leaveComeBackAndQuit();
  EXPECT_EQ(handledSoFar(), before) << "the lock was expected to hold the worker back";
  other->release();
  settle();
  // An engagement and a backgrounding each time the app left the front: the 'b' and the quit.
  EXPECT_EQ(handledCount("_e", before), 2);
  EXPECT_EQ(handledCount("_ab", before), 2);
}

// The user buys something with time stopped while the worker waits for the held database, then
// skips half an hour: the screen goes on without the worker, yet the purchase is stamped with the
// moment it was made, not with the moment the worker got to it.
TEST_F(HeldDatabaseTest, APurchaseMadeWhileTheDatabaseIsHeldIsStampedWhenItWasMade) {
  startInteractive();
  settle();
  const double launched = platform::Clock::current().now().timeIntervalSince1970() - session_->elapsed();
  auto other = holdDatabase();
  press("bb");
  ASSERT_TRUE(session_->isBackgroundBusy()) << "the worker was expected to wait for the lock";
  press(" ");
  ASSERT_TRUE(frontEnd_->isPaused());
  const double boughtAfter = session_->elapsed();
  press(":purchase coins 0.99");
  press(Key::Kind::Enter);
  press(":wait 30:00");
  press(Key::Kind::Enter);
  EXPECT_NEAR(session_->elapsed(), boughtAfter + 1800, 1e-6) << "the screen was expected to skip the half hour";
  other->release();
  settle();
  std::lock_guard lock(mutex_);
  const auto purchase = std::find_if(handled_.begin(), handled_.end(),
                                     [](const Handled& event) { return event.name.rfind("_iap", 0) == 0; });
  ASSERT_NE(purchase, handled_.end()) << "the purchase was expected to be logged";
  EXPECT_NEAR(purchase->timestamp - launched, boughtAfter, 1) << purchase->name;
}

TEST_F(InteractiveTest, InterruptQuitsEvenFromThePrompt) {
  start();
  press(":wait");
  press(Key::Kind::Interrupt);
  EXPECT_TRUE(frontEnd_->quitRequested());
}

}  // namespace
