#include "tools/terminal/script_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/home.h"
#include "platform/foundation/trace.h"
#include "platform/notifications/user_notification_center.h"
#include "platform/ui/graphics_context.h"
#include "platform/ui/image.h"
#include "tests/tools/terminal/held_database.h"
#include "tests/tools/terminal/session_fixture.h"

namespace {

using Outcome = terminal::ScriptRunner::Outcome;

struct LineCase {
  const char* line;
  Outcome outcome;
};

class ScriptRunnerTest : public SessionTest {
 protected:
  void expectOutcomes(std::initializer_list<LineCase> cases) {
    for (const auto& c : cases) {
      auto result = runner_->run(c.line);
      EXPECT_EQ(result.outcome, c.outcome) << c.line << ": " << result.message;
      if (c.outcome != Outcome::Ok && c.outcome != Outcome::Quit) {
        EXPECT_FALSE(result.message.empty()) << c.line;
      }
    }
  }

  std::filesystem::path writeScript(const std::string& text) {
    auto path = platform::Home::path() / "test.script";
    std::ofstream(path) << text;
    return path;
  }
};

TEST_F(ScriptRunnerTest, ExpectationsHoldOrFailAsTheAppStands) {
  startSession();
  expectOutcomes({
      {"expect label 25:00", Outcome::Ok},
      {"expect label 24:59", Outcome::Failed},
      {"expect screen focus", Outcome::Ok},
      {"expect screen ViewController", Outcome::Ok},
      {"expect screen card", Outcome::Failed},
      {"expect shown closeButton", Outcome::Ok},
      {"expect shown close_btn", Outcome::Ok},
      {"expect hidden closeButton", Outcome::Failed},
      {"expect hidden angryView", Outcome::Ok},
      {"expect render 25:00", Outcome::Ok},
      {"expect render 99:99", Outcome::Failed},
      {"expect default setting.focus.time 25", Outcome::Ok},
      {"expect default setting.focus.time 30", Outcome::Failed},
      {"expect default is.first.launch false", Outcome::Ok},
      {"expect default is.first.launch true", Outcome::Failed},
      {"expect default version.of.last.run 1.0.0", Outcome::Ok},
      {"expect default no.such.key absent", Outcome::Ok},
      {"expect default setting.focus.time absent", Outcome::Failed},
      {"expect file Library/Preferences/*.plist", Outcome::Ok},
      {"expect file Photos/*/*.png", Outcome::Failed},
      {"expect traces 0 vibrate", Outcome::Ok},
      {"expect trace vibrate", Outcome::Failed},
  });
}

TEST_F(ScriptRunnerTest, MalformedOrImpossibleCommandsAreErrors) {
  startSession();
  expectOutcomes({
      {"", Outcome::Ok},
      {"   # a comment", Outcome::Ok},
      {"jump", Outcome::Error},
      {"facedown now", Outcome::Error},
      {"wait soon", Outcome::Error},
      {"wait -5", Outcome::Error},
      {"tap", Outcome::Error},
      {"tap noSuchControl", Outcome::Error},
      {"tap 42", Outcome::Error},
      {"swipe closeButton sideways", Outcome::Error},
      {"playpause", Outcome::Error},
      {"choose Reset this session", Outcome::Error},
      {"type hello", Outcome::Error},
      {"notifications maybe", Outcome::Error},
      {"photos", Outcome::Error},
      {"mail", Outcome::Error},
      {"expect", Outcome::Error},
      {"expect frobnicate", Outcome::Error},
      {"expect label", Outcome::Error},
      {"expect traces many vibrate", Outcome::Error},
      {"expect traces 1.5 vibrate", Outcome::Error},
      {"expect default setting.focus.time", Outcome::Error},
      {"quit", Outcome::Quit},
  });
}

TEST_F(ScriptRunnerTest, TracesAreCountedFromTheMark) {
  startSession();
  expectOutcomes({
      {"facedown", Outcome::Ok},
      {"wait 0.5", Outcome::Ok},
      {"expect traces 1 vibrate", Outcome::Ok},
      {"expect trace sound bgm_rain", Outcome::Ok},
      {"expect trace sound rain", Outcome::Ok},
      {"expect trace sound bird", Outcome::Failed},
      {"mark", Outcome::Ok},
      {"expect traces 0 vibrate", Outcome::Ok},
      {"faceup", Outcome::Ok},
      {"expect traces 2 vibrate", Outcome::Ok},
      {"expect traces 1 vibrate", Outcome::Failed},
      {"expect trace sound-stop bgm_rain", Outcome::Ok},
  });
}

// The mark holds its place in what was recorded when the trace, full, drops its oldest effects or
// is cleared.
TEST_F(ScriptRunnerTest, TheMarkHoldsWhenTheTraceDropsOrIsCleared) {
  startSession();
  const struct {
    const char* name;
    std::function<void()> meanwhile;
  } cases[] = {
      {"full", [] { for (int i = 0; i < 10'000; ++i) platform::Trace::record("tick"); }},
      {"cleared", [] { platform::Trace::clear(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (int i = 0; i < 10'000; ++i) platform::Trace::record("tick");
    expectOutcomes({{"mark", Outcome::Ok}});
    c.meanwhile();
    platform::Trace::record("vibrate");
    expectOutcomes({{"expect traces 1 vibrate", Outcome::Ok}});
  }
}

TEST_F(ScriptRunnerTest, TapsReachControlsByNumberIdentifierAndTitle) {
  startSession();
  expectOutcomes({
      // Reading order puts the reset button (left) before the settings button (right).
      {"tap 1", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"expect screen alert", Outcome::Ok},
      {"expect label Reset this session", Outcome::Ok},
      // The focus screen still shows through the sheet.
      {"expect label 25:00", Outcome::Ok},
      {"tap Cancel", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"expect screen focus", Outcome::Ok},
      {"tap closeButton", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"choose Nonsense", Outcome::Error},
      {"choose Reset all sessions", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"expect screen focus", Outcome::Ok},
  });
}

TEST_F(ScriptRunnerTest, AnAppInTheBackgroundTakesNoTouches) {
  startSession();
  expectOutcomes({
      {"background", Outcome::Ok},
      {"tap closeButton", Outcome::Error},
      {"tap 1", Outcome::Error},
      {"foreground", Outcome::Ok},
      {"tap 1", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"background", Outcome::Ok},
      {"choose Cancel", Outcome::Error},
      {"foreground", Outcome::Ok},
      {"choose Cancel", Outcome::Ok},
  });
  EXPECT_TRUE(session_->tappables().size() > 0);
}

TEST_F(ScriptRunnerTest, LabelsOfACoveredScreenDoNotCount) {
  startSession();
  expectOutcomes({
      {"facedown", Outcome::Ok},
      {"wait 25:01", Outcome::Ok},
      {"expect screen card", Outcome::Ok},
      {"expect label 1/4", Outcome::Ok},
      // The focus screen's timer reads 00:00 beneath the card, where nobody sees it.
      {"expect label 00:00", Outcome::Failed},
      {"expect shown closeButton", Outcome::Failed},
  });
}

TEST_F(ScriptRunnerTest, TheIntroIsDismissedByItsButton) {
  startSession({}, true);
  expectOutcomes({
      {"expect shown introImageView", Outcome::Ok},
      {"facedown", Outcome::Ok},
      {"wait 5", Outcome::Ok},
      {"expect label 25:00", Outcome::Ok},
      {"expect traces 0 vibrate", Outcome::Ok},
      {"faceup", Outcome::Ok},
      {"tap introStartButton", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"expect hidden introImageView", Outcome::Ok},
      {"expect default is.first.launch false", Outcome::Ok},
  });
}

TEST_F(ScriptRunnerTest, RunFileStopsAtTheFirstProblemWithItsStatus) {
  startSession();
  struct Case {
    const char* script;
    int status;
    const char* report;
  } cases[] = {
      {"expect label 25:00\nexpect screen focus\n", 0, ""},
      {"expect label 25:00\n\nexpect label 12:34\nexpect label 25:00\n", 1, "test.script:3: expect label 12:34"},
      {"wait 1\nhop\n", 2, "test.script:2: hop"},
      // Nothing after quit runs.
      {"quit\nexpect label 12:34\n", 0, ""},
  };
  for (const auto& c : cases) {
    std::ostringstream err;
    EXPECT_EQ(runner_->runFile(writeScript(c.script), err), c.status) << c.script;
    EXPECT_NE(err.str().find(c.report), std::string::npos) << err.str();
  }
  std::ostringstream err;
  EXPECT_EQ(runner_->runFile(platform::Home::path() / "missing.script", err), 2);
}

// A script waits for the app's background work after each step, and never judges what that work
// has not done yet: work still busy at the limit (the analytics database held by another
// connection) stops the script at that line with an error.
TEST_F(ScriptRunnerTest, AScriptStopsWhereTheBackgroundWorkOutlastsTheLimit) {
  WorkerWaitsForTheLock busy;
  startSession();
  session_->setBackgroundLimit(0.2);
  auto other = storage_test::holdAnalyticsDatabase(25);
  std::ostringstream err;
  EXPECT_EQ(runner_->runFile(writeScript("expect screen focus\nbackground\nforeground\nexpect screen focus\n"), err), 2);
  EXPECT_NE(err.str().find("test.script:2: background\n  error: the command failed: the app's background work was still "
                           "busy after 0.2 s of real time"),
            std::string::npos)
      << err.str();
  other->release();
}

// The limit is for one step: a long wait whose steps each end quickly waits for the work of the
// last one too, however long the whole wait took. Here each timer of the wait keeps the main thread
// busy for a while, as a loaded machine does, and the last one leaves work on a background queue.
TEST_F(ScriptRunnerTest, ALongWaitWaitsForTheWorkOfItsLastStep) {
  startSession();
  constexpr double kStepLimit = 3;
  session_->setBackgroundLimit(kStepLimit);
  constexpr int kSteps = 4;
  for (int i = 1; i <= kSteps; ++i) {
    platform::DispatchQueue::main()->after(i, [last = i == kSteps] {
      std::this_thread::sleep_for(std::chrono::duration<double>(kStepLimit * 0.4));
      if (!last) return;
      platform::DispatchQueue::global(platform::QualityOfService::Default)->async([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        platform::Trace::record("sound", "late bird");
      });
    });
  }
  expectOutcomes({
      {"mark", Outcome::Ok},
      {"wait 5", Outcome::Ok},
      {"expect traces 1 sound late bird", Outcome::Ok},
  });
}

TEST_F(ScriptRunnerTest, AHeldStepperRepeatsUntilTheFingerLifts) {
  startSession();
  expectOutcomes({
      {"press focusUpButton", Outcome::Error},  // not on the focus screen
      {"tap settingButton", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"release", Outcome::Error},
      {"press", Outcome::Error},
      {"press noSuchButton", Outcome::Error},
      {"press focusUpButton", Outcome::Ok},
      {"press breakUpButton", Outcome::Error},  // one finger at a time
      // Recognised after 0.2 s, then a step every 0.2 s: 0.4, 0.6, 0.8 and 1.0.
      {"wait 1.1", Outcome::Ok},
      {"expect default setting.focus.time 45", Outcome::Ok},
      {"expect label 45MIN", Outcome::Ok},
      {"release", Outcome::Ok},
      {"release", Outcome::Error},
      {"wait 1", Outcome::Ok},
      {"expect default setting.focus.time 45", Outcome::Ok},
      // Lifted before it is recognised, a press is a tap: one step.
      {"longpress focusUpButton 0.1", Outcome::Ok},
      {"expect default setting.focus.time 50", Outcome::Ok},
      {"longpress breakDownButton 0.7", Outcome::Ok},
      {"expect default setting.break.time 3", Outcome::Ok},
      {"longpress focusUpButton", Outcome::Error},
      {"longpress focusUpButton soon", Outcome::Error},
      // Leaving the app cancels the touch: no tap, and nothing steps in the background or after,
      // whether the press was recognised or not yet.
      {"press focusDownButton", Outcome::Ok},
      {"background", Outcome::Ok},
      {"foreground", Outcome::Ok},
      {"expect default setting.focus.time 50", Outcome::Ok},
      {"press focusDownButton", Outcome::Ok},
      {"wait 0.5", Outcome::Ok},
      {"expect default setting.focus.time 45", Outcome::Ok},
      {"background", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"foreground", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"release", Outcome::Error},
      {"expect default setting.focus.time 45", Outcome::Ok},
  });
  EXPECT_FALSE(session_->isPressing());
  EXPECT_TRUE(session_->pressedName().empty());
}

TEST_F(ScriptRunnerTest, HoldingADisabledStepperDoesNothing) {
  startSession();
  // A period stopped early leaves the mascot angry, and the lengths locked.
  expectOutcomes({
      {"facedown", Outcome::Ok},
      {"wait 1:00", Outcome::Ok},
      {"faceup", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"tap settingButton", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"expect screen settings", Outcome::Ok},
      {"press focusUpButton", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"release", Outcome::Ok},
      {"longpress focusUpButton 1", Outcome::Ok},
      {"expect traces 2 tap-ignored focusUpButton", Outcome::Ok},
      {"expect default setting.focus.time 25", Outcome::Ok},
  });
  EXPECT_FALSE(session_->isPressing());
}

TEST_F(ScriptRunnerTest, ThePhotoPermissionDecidesWhetherTheCardIsSaved) {
  defaults()->setInteger(5, kFocusTimeKey);
  startSession();
  expectOutcomes({
      {"photos sometimes", Outcome::Error},
      {"photos ask deny", Outcome::Ok},
      {"facedown", Outcome::Ok},
      {"wait 5:05", Outcome::Ok},
      {"faceup", Outcome::Ok},
      {"expect screen card", Outcome::Ok},
      {"tap saveButton", Outcome::Ok},
      {"wait 2", Outcome::Ok},
      {"expect files 0 Photos/*/*.png", Outcome::Ok},
      {"expect traces 0 photos", Outcome::Ok},
      {"expect shown save_btn", Outcome::Ok},
      // Allowed later in the system's settings, the same button saves.
      {"photos allow", Outcome::Ok},
      {"tap saveButton", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"expect files 1 Photos/VOZ/*.png", Outcome::Ok},
      {"expect image Photos/VOZ/*.png 1000x1465", Outcome::Ok},
  });
  EXPECT_EQ(platform::PhotosDriver::authorizationPromptCount(), 1);
  EXPECT_NE(std::find(session_->consoleLines().begin(), session_->consoleLines().end(), "Photo access denied"),
            session_->consoleLines().end());
}

TEST_F(ScriptRunnerTest, TheMailComposerOpensOnlyWithMailSetUp) {
  startSession();
  expectOutcomes({
      {"mail maybe", Outcome::Error},
      {"tap settingButton", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"mail no", Outcome::Ok},
      {"tap mailButton", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"expect screen settings", Outcome::Ok},
      {"mail fail", Outcome::Ok},
      {"tap mailButton", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"expect screen mail", Outcome::Ok},
      {"expect screen MailComposeViewController", Outcome::Ok},
      {"expect label To: support@focus-timer.invalid", Outcome::Ok},
      {"tap Send", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"expect screen settings", Outcome::Ok},
      {"expect traces 0 mail", Outcome::Ok},
      {"mail yes", Outcome::Ok},
      {"tap mailButton", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"tap Cancel", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"expect screen settings", Outcome::Ok},
      {"expect traces 0 mail", Outcome::Ok},
      {"tap mailButton", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"tap mailSendButton", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"expect traces 1 mail support@focus-timer.invalid", Outcome::Ok},
  });
}

TEST_F(ScriptRunnerTest, NotificationsAreAnsweredAsScriptedWhenTheAppAsks) {
  struct Case {
    const char* command;
    platform::AuthorizationStatus after;
  } cases[] = {
      {"notifications ask deny", platform::AuthorizationStatus::Denied},
      {"notifications ask", platform::AuthorizationStatus::Authorized},
  };
  for (const auto& c : cases) {
    // Each case is a fresh first launch: the intro's end asks for the permission.
    TearDown();
    SetUp();
    defaults()->setBool(true, kIsFirstLaunchKey);
    startSession({}, true);
    expectOutcomes({{c.command, Outcome::Ok}, {"tap introStartButton", Outcome::Ok}, {"wait 1", Outcome::Ok}});
    EXPECT_EQ(platform::UserNotificationCenter::current()->notificationSettings().authorizationStatus, c.after)
        << c.command;
    EXPECT_EQ(platform::NotificationDriver::authorizationPromptCount(), 1) << c.command;
  }
}

TEST_F(ScriptRunnerTest, FilesNamedPngCountOnlyAsWholePngImages) {
  startSession();
  const auto album = platform::Home::path() / "Photos" / "VOZ";
  std::filesystem::create_directories(album);
  platform::ImageContext context(platform::Size{3, 2}, 1);
  context.fillRect(platform::Rect(0, 0, 3, 2), platform::Color::rgba(1, 0, 0));
  const platform::Data png = context.image()->pngData();
  ASSERT_GT(png.size(), 40u);
  auto write = [](const std::filesystem::path& path, const platform::Data& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
  };
  write(album / "IMG_0001.png", png);
  write(album / "cut.png", platform::Data(png.begin(), png.begin() + 40));
  write(album / "fake.png", platform::Data{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
  write(platform::Home::path() / "notes.txt", platform::Data{'h', 'i'});
  expectOutcomes({
      {"expect file Photos/VOZ/IMG_0001.png", Outcome::Ok},
      {"expect file Photos/VOZ/cut.png", Outcome::Failed},
      {"expect file Photos/VOZ/fake.png", Outcome::Failed},
      {"expect file notes.txt", Outcome::Ok},
      {"expect files 1 Photos/VOZ/*.png", Outcome::Ok},
      {"expect files 3 Photos/VOZ/*.png", Outcome::Failed},
      {"expect files 0 Photos/Other/*.png", Outcome::Ok},
      {"expect files 1 Photos/Other/*.png", Outcome::Failed},
      {"expect image Photos/VOZ/*.png 3x2", Outcome::Ok},
      {"expect image Photos/VOZ/*.png 2x3", Outcome::Failed},
      {"expect image Photos/VOZ/fake.png 3x2", Outcome::Failed},
      {"expect files", Outcome::Error},
      {"expect files some Photos/VOZ/*.png", Outcome::Error},
      {"expect files -1 Photos/VOZ/*.png", Outcome::Error},
      {"expect files 1", Outcome::Error},
      {"expect image Photos/VOZ/*.png", Outcome::Error},
  });
  // The failure names the file that only looks like an image.
  auto result = runner_->run("expect file Photos/VOZ/fake.png");
  EXPECT_NE(result.message.find("not a PNG image: Photos/VOZ/fake.png"), std::string::npos) << result.message;
}

TEST_F(ScriptRunnerTest, ThePaneShowsThePhonesSetUpAndTheHeldFinger) {
  startSession();
  expectOutcomes({
      {"photos ask deny", Outcome::Ok},
      {"mail fail", Outcome::Ok},
      {"tap settingButton", Outcome::Ok},
      {"wait 1", Outcome::Ok},
      {"press longBreakUpButton", Outcome::Ok},
      {"wait 0.5", Outcome::Ok},
      {"screenshot", Outcome::Ok},
      {"release", Outcome::Ok},
  });
  const std::string shot = out_.str();
  for (const char* line : {"Photos  not asked (answer: deny)", "Mail    set up, sending fails",
                           "Finger  on + (longBreakUpButton), 0.5 s", "7 - (longBreakDownButton)",
                           "10 vibrationAlert ‹alert_vib_true›"}) {
    EXPECT_NE(shot.find(line), std::string::npos) << line << "\n" << shot;
  }
}

TEST_F(ScriptRunnerTest, ScreenshotShowsThePhoneAndThePane) {
  startSession();
  ASSERT_EQ(run("screenshot"), Outcome::Ok);
  const std::string shot = out_.str();
  EXPECT_NE(shot.find("iPhone 375x667"), std::string::npos);
  EXPECT_NE(shot.find("25:00"), std::string::npos);
  EXPECT_NE(shot.find("Pose    face up"), std::string::npos);
  EXPECT_NE(shot.find("1 closeButton"), std::string::npos);
  EXPECT_EQ(shot.find('\x1b'), std::string::npos);
}

}  // namespace
