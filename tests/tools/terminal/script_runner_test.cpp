#include "tools/terminal/script_runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/home.h"
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
