// The app as a developer runs it, started against the local service: its analytics events arrive
// decoded; killed with SIGSEGV and started again, the second launch sends the first one's crash
// report; quit with q and started again, the second launch sends the first one's last engagement.
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/home.h"
#include "platform/testing/testing.h"
#include "tools/local-service/analytics_routes.h"
#include "tools/local-service/crash_report.h"
#include "tools/local-service/local_service.h"
#include "tools/local-service/transport_routes.h"

namespace {

namespace fs = std::filesystem;

// The app in a terminal of its own; what it draws there is kept for the test to read.
class AppInTerminal {
 public:
  AppInTerminal(const fs::path& home, const std::string& serviceURL, std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), {FOCUS_TIMER, "--home", home.string()});
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      setenv("VDZ_SERVICE_URL", serviceURL.c_str(), 1);
      setenv("ASAN_OPTIONS", "handle_segv=0:handle_abort=0:detect_leaks=0:allow_user_segv_handler=1", 1);
      setenv("UBSAN_OPTIONS", "handle_segv=0:handle_abort=0", 1);
      execv(FOCUS_TIMER, argv.data());
      _exit(127);
    }
    reader_ = std::thread([this] {
      char buffer[4096];
      ssize_t n;
      while ((n = read(master_, buffer, sizeof buffer)) > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        screen_.append(buffer, static_cast<std::size_t>(n));
      }
    });
  }
  ~AppInTerminal() {
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      platform::testing::waitForChild(pid_, 30);
    }
    close(master_);
    reader_.join();
  }
  // The wait status, or none when the app did not end within a minute (it is killed then).
  std::optional<int> signal(int number) {
    kill(pid_, number);
    return waitForExit();
  }
  // Whether the front end drew its first screen within the time: it then takes keys.
  bool waitForScreen(double seconds = 60) {
    for (int i = 0; i < seconds * 100 && screen().empty(); ++i) usleep(10000);
    return !screen().empty();
  }
  // Keys as the user types them.
  void type(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
  // The wait status, or none when the app did not end within the time (it is killed then).
  std::optional<int> waitForExit(double seconds = 60) {
    waited_ = true;
    return platform::testing::waitForChild(pid_, seconds);
  }
  // Everything the app wrote to its terminal so far.
  std::string screen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return screen_;
  }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  bool waited_ = false;
  mutable std::mutex mutex_;
  std::string screen_;
  std::thread reader_;
};

fs::path reportsPath(const fs::path& home) {
  return home / "Library/Caches/com.ralitoze.data/com.focus.timer/v5/reports";
}

// The crash reporter runs once it has written its first internal keys (after its handlers).
std::optional<fs::path> runningReport(const fs::path& home) {
  for (int i = 0; i < 3000; ++i) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(reportsPath(home) / "active", ec)) {
      if (fs::exists(entry.path() / "internal_incremental_kv.rlzrecord")) return entry.path();
    }
    usleep(10000);
  }
  return std::nullopt;
}

// The local service with every route, and an empty home for the app.
class AppAgainstLocalService : public ::testing::Test {
 protected:
  void SetUp() override {
    local_service::addDefaultRoutes(service);
    ASSERT_TRUE(service.start());
    home = platform::Home::temporary() / "app-home";
    fs::create_directories(home);
  }
  local_service::LocalService service;
  fs::path home;
};

TEST_F(AppAgainstLocalService, AnAppKilledWithSIGSEGVSendsItsReportAtTheNextLaunch) {

  fs::path crashed;
  {
    AppInTerminal app(home, service.baseURL());
    auto report = runningReport(home);
    ASSERT_TRUE(report);
    crashed = *report;
    const auto status = app.signal(SIGSEGV);
    ASSERT_TRUE(status && WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGSEGV);
  }
  ASSERT_TRUE(fs::exists(crashed / "signal.rlzrecord"));

  {
    AppInTerminal app(home, service.baseURL());
    ASSERT_TRUE(service.waitForRequestsTo("/transport/csh", 1, 60));
    app.signal(SIGTERM);
  }
  const auto uploads = service.requestsTo("/transport/csh");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_NE(uploads[0].description.find("crash report: sdk 8.15.0"), std::string::npos) << uploads[0].description;
  std::string error;
  auto batch = local_service::decodeBatchedLogRequest(uploads[0].decodedBody, error);
  ASSERT_TRUE(batch && batch->size() == 1 && (*batch)[0].events.size() == 1) << error;
  auto report = local_service::decodeCrashReport((*batch)[0].events[0].payload, error);
  ASSERT_TRUE(report) << error;
  EXPECT_NE(report->file("signal.rlzrecord"), nullptr);
  EXPECT_NE(report->file("signal.rlzrecord.symbolicated"), nullptr);
  for (const char* stage : {"active", "processing", "prepared"}) {
    EXPECT_FALSE(fs::exists(reportsPath(home) / stage / crashed.filename())) << stage;
  }
}

// The drawn screen is the front end's alone: the crash reporter's check of its handlers finds the
// terminal's own SIGABRT handler under its own and says nothing, the SDK's lines forced onto
// standard error go to a log file in the home, and an abort is recorded and then gives the
// terminal back.
TEST_F(AppAgainstLocalService, NothingButTheFrameReachesTheScreenAndAnAbortRestoresTheTerminal) {
  fs::path crashed;
  std::string screen;
  {
    AppInTerminal app(home, service.baseURL(), {"-VDZDebugEnabled", "-VDZLoggerForceSTDERR"});
    auto report = runningReport(home);
    ASSERT_TRUE(report);
    crashed = *report;
    // The reporter checks its handlers two seconds after its start, on time that runs at the
    // real pace here.
    usleep(3'500'000);
    screen = app.screen();
    const auto status = app.signal(SIGABRT);
    ASSERT_TRUE(status && WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGABRT);
    const std::string afterAbort = app.screen().substr(screen.size());
    EXPECT_NE(afterAbort.find("\x1b[?1049l"), std::string::npos) << "the alternate screen was not left";
  }
  EXPECT_EQ(screen.find("non-Ralitoze handler"), std::string::npos);
  EXPECT_EQ(screen.find("Configuring the default app"), std::string::npos);
  std::ifstream log(home / "Library/Logs/focus-timer.stderr.log");
  const std::string logged((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(logged.find("Configuring the default app"), std::string::npos) << logged;
  EXPECT_EQ(logged.find("non-Ralitoze handler"), std::string::npos) << logged;
  EXPECT_TRUE(fs::exists(crashed / "signal.rlzrecord"));
}

// The automatic events of a first launch (first open, session start, the first screen) are
// written, bundled and uploaded on their own, with no help from a test clock.
TEST_F(AppAgainstLocalService, TheFirstLaunchsAutomaticEventsReachTheService) {
  {
    AppInTerminal app(home, service.baseURL());
    ASSERT_TRUE(service.waitForRequestsTo(std::string(local_service::kMeasurementUploadPath), 1, 120))
        << "no measurement upload arrived";
    app.signal(SIGTERM);
  }
  std::set<std::string> names;
  for (const auto& request : service.requestsTo(std::string(local_service::kMeasurementUploadPath))) {
    std::string error;
    const auto bundles = local_service::decodeMeasurementBatch(request.decodedBody, error);
    ASSERT_TRUE(bundles) << error;
    for (const auto& bundle : *bundles) {
      EXPECT_EQ(bundle.appID, "com.focus.timer");
      for (const auto& event : bundle.events) {
        names.insert(event.name);
        EXPECT_GT(event.timestampMillis, 1000000000000) << event.name << " not in milliseconds";
      }
    }
  }
  EXPECT_TRUE(names.count("_f")) << "no first open";
  EXPECT_TRUE(names.count("_s")) << "no session start";
  EXPECT_TRUE(names.count("_vs")) << "no screen view";
}

// Quitting with q leaves the front first, as on the phone: the engagement since the last report
// and the app-backgrounded event are written before the app ends. The service refuses every
// upload of the first run, so the next launch is what sends them.
TEST_F(AppAgainstLocalService, QuittingReportsTheLastEngagementAtTheNextLaunch) {
  const std::string uploads(local_service::kMeasurementUploadPath);
  service.setAnswer(uploads, local_service::Answer::withStatus(500));
  {
    AppInTerminal app(home, service.baseURL());
    ASSERT_TRUE(app.waitForScreen());
    // A quick quit, a moment after the first screen was drawn.
    usleep(1000 * 1000);
    app.type("q");
    const auto status = app.waitForExit();
    ASSERT_TRUE(status && WIFEXITED(*status)) << status.value_or(-1);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
  }
  service.clearAnswers();
  service.clearRequests();
  std::vector<local_service::RecordedRequest> received;
  {
    AppInTerminal app(home, service.baseURL());
    ASSERT_TRUE(service.waitForRequestsTo(uploads, 1, 120)) << "the second launch sent no measurement upload";
    // Taken before the second run ends: its own quit sends its own leaving.
    received = service.requestsTo(uploads);
    app.signal(SIGTERM);
  }
  std::vector<local_service::UploadedMeasurementEvent> events;
  for (const auto& request : received) {
    std::string error;
    const auto bundles = local_service::decodeMeasurementBatch(request.decodedBody, error);
    ASSERT_TRUE(bundles) << error;
    for (const auto& bundle : *bundles) events.insert(events.end(), bundle.events.begin(), bundle.events.end());
  }
  auto named = [&](std::string_view name) {
    std::vector<local_service::UploadedMeasurementEvent> found;
    for (const auto& event : events) {
      if (event.name == name) found.push_back(event);
    }
    return found;
  };
  EXPECT_FALSE(named("_vs").empty()) << "the screen shown before the quit";
  const auto backgrounded = named("_ab");
  ASSERT_EQ(backgrounded.size(), 1u) << "the quit's app-backgrounded event";
  // The engagement reported on leaving carries the time of leaving and the screen left.
  bool reported = false;
  for (const auto& engagement : named("_e")) {
    if (engagement.timestampMillis != backgrounded[0].timestampMillis) continue;
    reported = true;
    ASSERT_TRUE(engagement.params.count("_et"));
    EXPECT_GE(std::stoll(engagement.params.at("_et")), 200);
    EXPECT_EQ(engagement.params.at("_sc"), "\"ViewController\"");
  }
  EXPECT_TRUE(reported) << "no engagement reported on leaving";
}

}  // namespace
