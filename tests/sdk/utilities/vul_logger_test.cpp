#include "sdk/utilities/utilities/vul_logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "environment_fixture.h"
#include "platform/foundation/console.h"
#include "platform/foundation/home.h"
#include "platform/testing/testing.h"

namespace {

using utilities_testing::EnvironmentScope;
using utilities_testing::Installation;

class VULLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { VULLoggerResetForTesting(); }
  void TearDown() override { VULLoggerResetForTesting(); }

  std::vector<std::string> lines() {
    platform::testing::drain(VULLoggerQueue());
    return capture_.logs();
  }

  platform::testing::LogCapture capture_;
};

// An argument that counts how often it is described.
struct Counted {
  int* descriptions;
  std::string description() const {
    ++*descriptions;
    return "counted";
  }
};

TEST_F(VULLoggerTest, LineCarriesVersionServiceCodeAndMessage) {
  VULLoggerRegisterVersion("8.15.0");
  VULLoggerLogError("[VULLogger]", false, "I-COR000023", "Invalid logger level, %ld", 9);
  VULLoggerLogWarning("[VidezuUtilities/UserDefaults]", false, "I-VUL000004", "%@ and %d%%", "text", 5);
  EXPECT_EQ(lines(), (std::vector<std::string>{"8.15.0 - [VULLogger][I-COR000023] Invalid logger level, 9",
                                               "8.15.0 - [VidezuUtilities/UserDefaults][I-VUL000004] text and 5%"}));
}

TEST_F(VULLoggerTest, MessageWithoutArgumentsIsVerbatimAndMissingVersionLeavesTheDash) {
  VULLoggerLogBasic(VULLoggerLevelError, "<VidezuUtilities>", false, "I-SWZ000001", "100% of %d", std::nullopt);
  VULLoggerWrapper::logWithLevel(VULLoggerLevelWarning, "[VULNetwork]", "I-NET000002", "50%s", std::nullopt);
  // A level function called without arguments has none to format either.
  VULLoggerLogError("[VULLogger]", false, "I-COR000001", "100% of %d %@ done");
  VULLoggerLogNotice("[VULLogger]", false, "I-COR000002", "50%% %s");
  EXPECT_EQ(lines(), (std::vector<std::string>{" - <VidezuUtilities>[I-SWZ000001] 100% of %d",
                                               " - [VULNetwork][I-NET000002] 50%s",
                                               " - [VULLogger][I-COR000001] 100% of %d %@ done",
                                               " - [VULLogger][I-COR000002] 50%% %s"}));
}

TEST_F(VULLoggerTest, LevelsPassByCurrentLevelDebugModeOrForce) {
  struct Case {
    const char* name;
    std::function<void()> setUp;
    VULLoggerLevel level;
    bool forced;
    bool written;
  };
  const Case cases[] = {
      {"fresh: error", [] {}, VULLoggerLevelError, false, true},
      {"fresh: warning", [] {}, VULLoggerLevelWarning, false, true},
      {"fresh: notice", [] {}, VULLoggerLevelNotice, false, true},
      {"fresh: info", [] {}, VULLoggerLevelInfo, false, false},
      {"fresh: debug", [] {}, VULLoggerLevelDebug, false, false},
      {"fresh: forced debug", [] {}, VULLoggerLevelDebug, true, true},
      {"level 3: warning", [] { VULLoggerSetLevel(VULLoggerLevelError); }, VULLoggerLevelWarning, false, false},
      {"level 6: info", [] { VULLoggerSetLevel(VULLoggerLevelInfo); }, VULLoggerLevelInfo, false, true},
      {"debug mode: debug", [] { VULLoggerForceDebug(); }, VULLoggerLevelDebug, false, true},
      {"debug mode then level 3: debug",
       [] {
         VULLoggerForceDebug();
         VULLoggerSetLevel(VULLoggerLevelError);
       },
       VULLoggerLevelDebug, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VULLoggerResetForTesting();
    c.setUp();
    capture_.clear();
    VULLoggerLog(c.level, "[Test]", c.forced, "I-TST000001", "line");
    EXPECT_EQ(lines().size(), c.written ? 1u : 0u);
    if (!c.forced) {
      EXPECT_EQ(VULLoggerIsLoggableLevel(c.level), c.written);
    }
  }
}

TEST_F(VULLoggerTest, FreshProcessAnswersLoggabilityAtNotice) {
  EXPECT_TRUE(VULLoggerIsLoggableLevel(VULLoggerLevelNotice));
  EXPECT_FALSE(VULLoggerIsLoggableLevel(VULLoggerLevelInfo));
  VULLoggerForceDebug();
  EXPECT_TRUE(VULLoggerIsLoggableLevel(VULLoggerLevelDebug));
}

TEST_F(VULLoggerTest, SuppressedLinesAreNeverFormatted) {
  int descriptions = 0;
  VULLoggerLogDebug("[Test]", false, "I-TST000002", "%@", Counted{&descriptions});
  EXPECT_EQ(descriptions, 0);
  VULLoggerLogError("[Test]", false, "I-TST000003", "%@", Counted{&descriptions});
  EXPECT_EQ(descriptions, 1);
  EXPECT_EQ(lines(), (std::vector<std::string>{" - [Test][I-TST000003] counted"}));
}

TEST_F(VULLoggerTest, InvalidLevelsAreReportedAndIgnored) {
  VULLoggerRegisterVersion("8.15.0");
  for (VULLoggerLevel level : {8, 2}) {
    SCOPED_TRACE(level);
    capture_.clear();
    VULLoggerSetLevel(level);
    EXPECT_EQ(lines(), (std::vector<std::string>{"8.15.0 - [VULLogger][I-COR000023] Invalid logger level, " +
                                                 std::to_string(level)}));
    EXPECT_TRUE(VULLoggerIsLoggableLevel(VULLoggerLevelNotice));
    EXPECT_FALSE(VULLoggerIsLoggableLevel(VULLoggerLevelInfo));
  }
}

TEST_F(VULLoggerTest, StoreBuildRefusesVerboseLevelsAndDebugMode) {
  Installation store;
  store.scInfo = true;
  EnvironmentScope scope(store);
  ASSERT_TRUE(VULAppEnvironmentUtil::isFromAppStore());

  VULLoggerSetLevel(VULLoggerLevelInfo);
  EXPECT_FALSE(VULLoggerIsLoggableLevel(VULLoggerLevelInfo));
  VULLoggerForceDebug();
  EXPECT_FALSE(VULLoggerIsLoggableLevel(VULLoggerLevelDebug));
  VULLoggerSetLevel(VULLoggerLevelWarning);
  EXPECT_FALSE(VULLoggerIsLoggableLevel(VULLoggerLevelNotice));
  EXPECT_TRUE(VULLoggerIsLoggableLevel(VULLoggerLevelWarning));
  EXPECT_TRUE(lines().empty());  // refused silently
}

// The code is an opaque string: the logger writes whatever the caller gives, so a number that
// outgrows its six digits still reaches the log.
TEST_F(VULLoggerTest, CodesAreWrittenAsGiven) {
  const char* codes[] = {"", "I-COR00002", "I-ACS1000000", "i-COR000023", "X-COR000023"};
  for (const char* code : codes) {
    SCOPED_TRACE(code);
    capture_.clear();
    VULLoggerLogError("[Test]", false, code, "payload %d", 1);
    const auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], std::string(" - [Test][") + code + "] payload 1");
  }
}

TEST_F(VULLoggerTest, LinesOfOneThreadKeepTheirOrder) {
  for (int i = 0; i < 200; ++i) VULLoggerLogNotice("[Test]", false, "I-TST000004", "%d", i);
  const auto written = lines();
  ASSERT_EQ(written.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(written[i], " - [Test][I-TST000004] " + std::to_string(i));
}

TEST_F(VULLoggerTest, LinesReachTheLogFileOfTheHome) {
  VULLoggerRegisterVersion("1.0");
  VULLoggerLogError("[Test]", false, "I-TST000005", "into the file");
  lines();
  std::ifstream in(platform::Home::library() / "Logs" / "com.videzu.utilities.logger.log");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("<Error>: 1.0 - [Test][I-TST000005] into the file\n"), std::string::npos);
}

// Standard error of the process, collected in a file while alive; the terminal echo of the
// platform log is off meanwhile so that only direct writes arrive.
class StderrCapture {
 public:
  StderrCapture() : file_(std::tmpfile()), saved_(::dup(STDERR_FILENO)) {
    platform::Console::setEchoToTerminal(false);
    std::fflush(stderr);
    ::dup2(::fileno(file_), STDERR_FILENO);
  }
  ~StderrCapture() {
    restore();
    std::fclose(file_);
  }
  std::string text() {
    restore();
    std::rewind(file_);
    std::string out;
    char buf[512];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, file_)) out.append(buf, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
    platform::Console::setEchoToTerminal(true);
  }
  std::FILE* file_;
  int saved_;
};

TEST_F(VULLoggerTest, StandardErrorOnlyWhenEnabledOrOnOldSystems) {
  struct Case {
    const char* name;
    std::string systemVersion;
    bool enable;
    bool expectStderr;
  };
  const Case cases[] = {
      {"current system", "16.0", false, false},
      {"current system, enabled", "16.0", true, true},
      {"system 9.3", "9.3", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installation device;
    device.systemVersion = c.systemVersion;
    EnvironmentScope scope(device);
    VULLoggerResetForTesting();
    StderrCapture err;
    VULLoggerInitialize();
    if (c.enable) VULLoggerEnableStderr();
    VULLoggerLogError("[Test]", false, "I-TST000006", "to stderr");
    lines();
    EXPECT_EQ(err.text(), c.expectStderr ? " - [Test][I-TST000006] to stderr\n" : "");
  }
}

}  // namespace
