// The phone around the app as scripts drive and check it: poses, disabled controls, colours and
// pictures, text editing, device capabilities, pending notifications, saved cards, time zones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/foundation/home.h"
#include "platform/foundation/trace.h"
#include "platform/notifications/user_notification_center.h"
#include "platform/testing/ui_driver.h"
#include "tests/tools/terminal/session_fixture.h"
#include "tools/terminal/frame.h"
#include "tools/terminal/options.h"

namespace {

using Outcome = terminal::ScriptRunner::Outcome;

class PhoneTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    if (const char* zone = std::getenv("TZ")) savedZone_ = zone;
  }
  void TearDown() override {
    SessionTest::TearDown();
    if (savedZone_) {
      ::setenv("TZ", savedZone_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

  // Runs each line, expecting its outcome; returns the last result's message.
  std::string expectOutcomes(std::initializer_list<std::pair<const char*, Outcome>> lines) {
    std::string message;
    for (const auto& [line, outcome] : lines) {
      auto result = runner_->run(line);
      EXPECT_EQ(result.outcome, outcome) << line << ": " << result.message;
      message = result.message;
    }
    return message;
  }

  bool consoleHas(std::string_view text) const {
    auto lines = session_->consoleLines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }

  std::string pane() const {
    std::string all;
    for (const auto& line : terminal::paneLines(*session_, session_->tappables(), {}, 200, 200)) all += line + "\n";
    return all;
  }

  // From the focus screen to the card of a finished period, its title entry open.
  void reachTitleEntry() {
    expectOutcomes({{"facedown", Outcome::Ok},
                    {"wait 25:01", Outcome::Ok},
                    {"expect screen card", Outcome::Ok},
                    {"faceup", Outcome::Ok},
                    {"wait 3", Outcome::Ok},
                    {"tap titleButton", Outcome::Ok},
                    {"wait 1", Outcome::Ok},
                    {"expect screen alert", Outcome::Ok}});
  }

  std::optional<std::string> savedZone_;
};

TEST_F(PhoneTest, PosesTheDetectorIgnoresStartNothingAndARawReadingDoes) {
  startSession();
  for (const char* pose : {"upright", "leftside", "rightside", "upsidedown", "pose 0 -0.7071 0.7071", "lift"}) {
    // The sensor covered as well: only the accelerometer's rules keep the period from starting.
    expectOutcomes({{"cover", Outcome::Ok}, {pose, Outcome::Ok}, {"wait 1", Outcome::Ok}});
    expectOutcomes({{"expect label 25:00", Outcome::Ok}, {"expect traces 0 vibrate", Outcome::Ok}});
  }
  expectOutcomes({{"cover", Outcome::Ok}, {"pose 0 0 1", Outcome::Ok}, {"wait 1.5", Outcome::Ok}});
  EXPECT_EQ(session_->poseDescription(), "reading 0 0 1");
  expectOutcomes({{"expect label 24:59", Outcome::Ok}, {"upright", Outcome::Ok}, {"wait 1", Outcome::Ok},
                  {"expect label 23:59", Outcome::Failed}});
  // Upright is ignored, but it uncovers the sensor: that stops the period.
  expectOutcomes({{"expect shown angryView", Outcome::Ok}});
  for (const char* bad : {"pose", "pose 1 2", "pose a b c", "pose 1 2 3 4", "pose 0 0 1e9", "upright now"}) {
    expectOutcomes({{bad, Outcome::Error}});
  }
}

TEST_F(PhoneTest, ADisabledControlIsShownAsSuchAndATapOnItDoesNothing) {
  startSession();
  // The reset button takes no touches for 1.5 s after it opened the sheet.
  expectOutcomes({{"expect enabled closeButton", Outcome::Ok},
                  {"tap closeButton", Outcome::Ok},
                  {"wait 1", Outcome::Ok},
                  {"choose Cancel", Outcome::Ok},
                  {"wait 0.4", Outcome::Ok},
                  {"expect disabled closeButton", Outcome::Ok},
                  {"expect enabled closeButton", Outcome::Failed},
                  {"mark", Outcome::Ok}});
  EXPECT_NE(pane().find("- closeButton disabled"), std::string::npos) << pane();
  const std::string note = expectOutcomes({{"tap closeButton", Outcome::Ok}});
  EXPECT_NE(note.find("disabled"), std::string::npos);
  expectOutcomes({{"expect screen focus", Outcome::Ok},
                  {"expect traces 1 tap-ignored closeButton", Outcome::Ok},
                  {"press closeButton", Outcome::Ok},
                  {"wait 1", Outcome::Ok},
                  {"release", Outcome::Ok},
                  {"expect screen focus", Outcome::Ok},
                  {"release", Outcome::Error},
                  {"expect enabled closeButton", Outcome::Ok},
                  {"expect enabled timerLabel", Outcome::Failed},
                  {"expect disabled noSuchView", Outcome::Failed}});
}

TEST_F(PhoneTest, ColoursAlphasAndPicturesOfViews) {
  startSession();
  expectOutcomes({
      {"expect color timerLabel white", Outcome::Ok},
      {"expect color timerLabel #ffffff", Outcome::Ok},
      {"expect color timerLabel #ffffffff", Outcome::Ok},
      {"expect color timerLabel #ffffff00", Outcome::Failed},
      {"expect color timerLabel black", Outcome::Failed},
      {"expect color closeButton black", Outcome::Failed},
      {"expect color timerLabel mauve", Outcome::Error},
      {"expect color timerLabel #fffff", Outcome::Error},
      {"expect color timerLabel", Outcome::Error},
      {"expect alpha timerLabel 1", Outcome::Ok},
      {"expect alpha timerLabel 0.5", Outcome::Failed},
      {"expect alpha timerLabel 2", Outcome::Error},
      {"expect image-of closeButton close_btn", Outcome::Ok},
      {"expect image-of closeButton play_btn", Outcome::Failed},
      {"expect image-of timerLabel close_btn", Outcome::Failed},
      {"expect image-of dot2 incomplete", Outcome::Ok},
  });
  // The angry timer blinks between white and black every half second.
  expectOutcomes({{"facedown", Outcome::Ok}, {"wait 2", Outcome::Ok}, {"faceup", Outcome::Ok}, {"wait 1", Outcome::Ok},
                  {"expect shown angryView", Outcome::Ok}});
  std::string colours;
  for (int i = 0; i < 4; ++i) {
    colours += runner_->run("expect color timerLabel white").outcome == Outcome::Ok ? "w" : "b";
    advance(0.5);
  }
  EXPECT_TRUE(colours == "wbwb" || colours == "bwbw") << colours;
}

TEST_F(PhoneTest, TheTitleFieldIsEditedUpToItsWidth) {
  startSession();
  reachTitleEntry();
  std::string note = expectOutcomes({{"mark", Outcome::Ok}, {"type Deep work on the card title", Outcome::Ok}});
  EXPECT_NE(note.find("refused"), std::string::npos);
  expectOutcomes({{"expect trace keystroke-refused", Outcome::Ok}, {"expect label Deep work", Outcome::Failed}});
  note = expectOutcomes({{"mark", Outcome::Ok}, {"paste and a far too long addition to it", Outcome::Ok}});
  EXPECT_NE(note.find("refused the paste"), std::string::npos);
  expectOutcomes({
      {"expect traces 1 paste-refused", Outcome::Ok},
      {"selectall", Outcome::Ok},
      {"paste Deep work", Outcome::Ok},
      {"expect label Deep work", Outcome::Ok},
      {"backspace 5", Outcome::Ok},
      {"expect label Deep", Outcome::Ok},
      {"replace Focus", Outcome::Ok},
      {"expect label Focus", Outcome::Ok},
      {"selectall", Outcome::Ok},
      {"backspace", Outcome::Ok},
      {"type Ab", Outcome::Ok},
      {"expect label Ab", Outcome::Ok},
      {"backspace x", Outcome::Error},
      {"backspace 0", Outcome::Error},
  });
  note = expectOutcomes({{"backspace 5", Outcome::Ok}});
  EXPECT_NE(note.find("nothing left"), std::string::npos);
}

TEST_F(PhoneTest, TheSavedCardTellsItsTextsBack) {
  startSession();
  expectOutcomes({{"expect card Deep", Outcome::Failed}});
  reachTitleEntry();
  expectOutcomes({{"type Deep", Outcome::Ok},
                  {"choose OK", Outcome::Ok},
                  {"wait 1", Outcome::Ok},
                  {"tap timeButton", Outcome::Ok},
                  {"tap timeButton", Outcome::Ok},
                  {"expect image-of timeButton time_btn_true_today", Outcome::Ok},
                  {"photos allow", Outcome::Ok},
                  {"tap saveButton", Outcome::Ok},
                  {"wait 1", Outcome::Ok},
                  {"expect disabled titleButton", Outcome::Ok},
                  {"expect card Deep", Outcome::Ok},
                  {"expect card 25min", Outcome::Ok},
                  {"expect card Today 25min", Outcome::Ok},
                  {"expect card-texts 3", Outcome::Ok},
                  {"expect card Deep  25min", Outcome::Failed},
                  {"expect card-texts 1", Outcome::Failed},
                  {"expect card-texts many", Outcome::Error},
                  {"wait 1.5", Outcome::Ok},
                  {"expect enabled titleButton", Outcome::Ok}});
  EXPECT_NE(pane().find("it shows Deep / 25min / Today 25min"), std::string::npos) << pane();
}

TEST_F(PhoneTest, PendingNotificationsAreExpectedWithTheirTimeAndText) {
  startSession();
  expectOutcomes({{"timezone UTC", Outcome::Ok}, {"expect pending none", Outcome::Ok}});
  platform::NotificationRequest request;
  request.identifier = "alert";
  request.content.title = "Break is over";
  request.trigger = platform::TimeIntervalNotificationTrigger{300, false};
  platform::UserNotificationCenter::current()->add(request);
  session_->settle();
  // Scripts start at 20:26:40 UTC.
  expectOutcomes({
      {"expect pending alert", Outcome::Ok},
      {"expect pending alert in 5:00", Outcome::Ok},
      {"expect pending alert in 4:00", Outcome::Failed},
      {"expect pending alert at 20:31:40 Break", Outcome::Ok},
      {"expect pending alert at 20:31 Break", Outcome::Failed},
      {"expect pending alert over", Outcome::Ok},
      {"expect pending alert Lunch", Outcome::Failed},
      {"expect pending other", Outcome::Failed},
      {"expect pending none", Outcome::Failed},
      {"expect pending alert at 25:00", Outcome::Error},
      {"expect pending alert in soon", Outcome::Error},
      {"expect pending", Outcome::Error},
  });
  EXPECT_NE(pane().find("pending alert at 20:31:40 (in 00:05:00) \"Break is over\""), std::string::npos) << pane();
  expectOutcomes({{"wait 5:00", Outcome::Ok}, {"expect pending none", Outcome::Ok}});
}

TEST_F(PhoneTest, DeviceCapabilitiesShowTheAppsFallbacks) {
  startSession();
  // Haptics: a tap on the reset button gives a light impact only with full support.
  for (const auto& [setting, haptics] : {std::pair{"haptics absent", 0}, {"haptics 1", 0}, {"haptics yes", 1}}) {
    expectOutcomes({{setting, Outcome::Ok},
                    {"mark", Outcome::Ok},
                    {"tap closeButton", Outcome::Ok},
                    {"wait 1", Outcome::Ok},
                    {"choose Cancel", Outcome::Ok},
                    {"wait 2", Outcome::Ok}});
    EXPECT_EQ(runner_->run("expect traces " + std::to_string(haptics) + " haptic").outcome, Outcome::Ok) << setting;
  }
  // The settings preview the torch and the bird sound when they are switched on.
  expectOutcomes({{"torch no", Outcome::Ok},
                  {"asset bird missing", Outcome::Ok},
                  {"tap settingButton", Outcome::Ok},
                  {"wait 1", Outcome::Ok},
                  {"mark", Outcome::Ok},
                  {"tap flashAlert", Outcome::Ok},
                  {"tap soundAlert", Outcome::Ok},
                  {"tap soundAlert", Outcome::Ok},
                  {"wait 1", Outcome::Ok},
                  {"expect traces 0 torch", Outcome::Ok},
                  {"expect traces 0 sound bird", Outcome::Ok}});
  EXPECT_TRUE(consoleHas("Torch is not available"));
  EXPECT_TRUE(consoleHas("음원 파일 에셋을 가져올 수 없습니다"));
  EXPECT_NE(pane().find("Assets  bird missing"), std::string::npos) << pane();

  expectOutcomes({{"torch yes", Outcome::Ok},
                  {"asset bird unreadable", Outcome::Ok},
                  {"tap flashAlert", Outcome::Ok},
                  {"tap flashAlert", Outcome::Ok},
                  {"tap soundAlert", Outcome::Ok},
                  {"tap soundAlert", Outcome::Ok},
                  {"wait 1", Outcome::Ok},
                  {"expect trace torch on", Outcome::Ok},
                  {"expect traces 0 sound bird", Outcome::Ok}});
  EXPECT_TRUE(consoleHas("플레이어 초기화 실패"));
  expectOutcomes({{"asset bird ok", Outcome::Ok},
                  {"tap soundAlert", Outcome::Ok},
                  {"tap soundAlert", Outcome::Ok},
                  {"wait 1", Outcome::Ok},
                  {"expect trace sound bird", Outcome::Ok}});
  for (const char* bad : {"haptics maybe", "torch dim", "asset bird", "asset ../bird missing", "timezone Mars/Base",
                          "timezone ../../etc/passwd"}) {
    expectOutcomes({{bad, Outcome::Error}});
  }
}

TEST(ScriptOptions, CapabilitiesAndZoneFromTheCommandLineAndTheHeader) {
  using terminal::TorchSetup;
  std::string error;
  auto options = terminal::parseOptions({"--haptics", "absent", "--torch=locked", "--asset", "bird=missing", "--asset",
                                         "bgm_rain=unreadable", "--timezone", "Asia/Seoul"},
                                        error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->haptics, (terminal::HapticSupport{false, 0}));
  EXPECT_EQ(options->torch, TorchSetup::Locked);
  ASSERT_EQ(options->assets.size(), 2u);
  EXPECT_EQ(options->assets[1].name, "bgm_rain");
  EXPECT_EQ(options->timezone, "Asia/Seoul");
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--haptics", "lots"}, {"--torch", "bright"}, {"--asset", "bird"}, {"--timezone", "Nowhere"}}) {
    EXPECT_FALSE(terminal::parseOptions(bad, error)) << bad[0];
    EXPECT_NE(error.find(bad[0]), std::string::npos) << error;
  }

  const auto dir = std::filesystem::temp_directory_path() / ("header-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  struct Case {
    const char* text;
    bool ok;
    std::vector<std::string> arguments;
  } cases[] = {
      {"# a comment\n#: --timezone UTC --haptics=no\n\n#: --torch none\nwait 1\n#: --mail no\n", true,
       {"--timezone", "UTC", "--haptics=no", "--torch", "none"}},
      {"wait 1\n", true, {}},
      {"#: --home /tmp\n", false, {}},
      {"#: --script=other.script\n", false, {}},
  };
  for (const auto& c : cases) {
    const auto file = dir / "header.script";
    std::ofstream(file) << c.text;
    std::vector<std::string> arguments;
    EXPECT_EQ(terminal::readScriptHeader(file, arguments, error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(arguments, c.arguments) << c.text;
    }
  }
  std::vector<std::string> none;
  EXPECT_FALSE(terminal::readScriptHeader(dir / "missing.script", none, error));
  std::filesystem::remove_all(dir);
}

}  // namespace
