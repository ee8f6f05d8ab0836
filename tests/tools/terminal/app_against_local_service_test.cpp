// The app as a developer runs it, started against the local service: its analytics events arrive
// decoded; killed with SIGSEGV and started again, the second launch sends the first one's crash
// report; quit with q and started again, the second launch sends the first one's last engagement,
// and the purchases it made while another program held its database.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/foundation/home.h"
#include "platform/testing/testing.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"
#include "tests/tools/terminal/app_in_terminal.h"
#include "tools/local-service/analytics_routes.h"
#include "tools/local-service/crash_report.h"
#include "tools/local-service/local_service.h"
#include "tools/local-service/transport_routes.h"

namespace {

namespace fs = std::filesystem;

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

// Whether the app's pane came to show at least `seconds` of virtual time elapsed, within a few
// minutes: that time runs at the real pace only while the app keeps up with its own work, and
// much slower on a loaded machine.
bool waitForElapsed(const AppInTerminal& app, int seconds) {
  for (int i = 0; i < 30000; ++i) {
    const std::string screen = app.screen();
    const auto at = screen.rfind("Elapsed ");
    int hours = 0, minutes = 0, secs = 0;
    if (at != std::string::npos &&
        std::sscanf(screen.c_str() + at, "Elapsed %d:%d:%d", &hours, &minutes, &secs) == 3 &&
        hours * 3600 + minutes * 60 + secs >= seconds) {
      return true;
    }
    usleep(10000);
  }
  return false;
}

fs::path databasePath(const fs::path& home) {
  return home / "Library/Application Support/Videzu/Measurement/videzu-app-measurement.sql";
}

// The purchase events the service received, by product, in the order they were made.
std::vector<std::string> purchasedProducts(local_service::LocalService& service) {
  std::vector<local_service::UploadedMeasurementEvent> purchases;
  for (const auto& request : service.requestsTo(std::string(local_service::kMeasurementUploadPath))) {
    std::string error;
    const auto bundles = local_service::decodeMeasurementBatch(request.decodedBody, error);
    EXPECT_TRUE(bundles) << error;
    if (!bundles) continue;
    for (const auto& bundle : *bundles) {
      for (const auto& event : bundle.events) {
        if (event.name.rfind("_iap", 0) == 0) purchases.push_back(event);
      }
    }
  }
  std::stable_sort(purchases.begin(), purchases.end(),
                   [](const auto& a, const auto& b) { return a.timestampMillis < b.timestampMillis; });
  std::vector<std::string> products;
  for (const auto& event : purchases) {
    const auto product = event.params.find("product_id");
    // Text comes quoted.
    products.push_back(product == event.params.end() ? "?" : product->second.substr(1, product->second.size() - 2));
  }
  return products;
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
    const auto status = app.signal(SIGSEGV, AppInTerminal::kCrashLimitSeconds);
    ASSERT_TRUE(status && WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGSEGV);
  }
  ASSERT_TRUE(fs::exists(crashed / "signal.rlzrecord"));

  {
    AppInTerminal app(home, service.baseURL());
    ASSERT_TRUE(service.waitForRequestsTo("/transport/csh", 1, 60));
    EXPECT_TRUE(app.signal(SIGTERM)) << "the stop request did not end the app within a quit's limit";
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

// The drawn screen is the front end's alone: the SDK's lines forced onto standard error go to a log
// file in the home. That is also where the crash reporter's check of its handlers would complain
// of a foreign one; it finds the terminal's handlers under its own for every signal, and says
// nothing.
TEST_F(AppAgainstLocalService, NothingButTheFrameReachesTheScreenAndTheReporterFindsItsOwnHandlers) {
  std::string screen;
  {
    AppInTerminal app(home, service.baseURL(), {"-VDZDebugEnabled", "-VDZLoggerForceSTDERR"});
    ASSERT_TRUE(runningReport(home));
    // The reporter checks its handlers two seconds after its start, on the app's virtual time.
    ASSERT_TRUE(waitForElapsed(app, 3)) << "virtual time never passed 3 s";
    const auto status = app.quit();
    ASSERT_TRUE(status && WIFEXITED(*status)) << status.value_or(-1);
    screen = app.screen();
  }
  EXPECT_EQ(screen.find("Configuring the default app"), std::string::npos);
  std::ifstream log(home / "Library/Logs/focus-timer.stderr.log");
  const std::string logged((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(logged.find("Configuring the default app"), std::string::npos) << logged;
  EXPECT_EQ(logged.find("non-Ralitoze handler"), std::string::npos) << logged;
}

// What lies where the standard-error log goes is not written through and never waited on: the
// app draws, takes keys and quits with no log file, and says so where the shell shows it.
TEST_F(AppAgainstLocalService, SomethingElseAtTheLogsPlaceLeavesTheAppWithoutALog) {
  const fs::path victim = home / "victim";
  const struct {
    const char* name;
    std::function<void(const fs::path&)> plant;
  } cases[] = {
      {"a FIFO", [](const fs::path& log) { ASSERT_EQ(mkfifo(log.c_str(), 0600), 0); }},
      {"a link", [&](const fs::path& log) { fs::create_symlink(victim, log); }},
      {"a hard link", [&](const fs::path& log) { fs::create_hard_link(victim, log); }},
      {"a folder", [](const fs::path& log) { fs::create_directory(log); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(victim) << "VICTIM";
    const fs::path log = home / "Library/Logs/focus-timer.stderr.log";
    fs::remove_all(log);
    fs::create_directories(log.parent_path());
    c.plant(log);
    AppInTerminal app(home, service.baseURL(), {"-VDZDebugEnabled", "-VDZLoggerForceSTDERR"});
    if (!app.waitForScreen(30)) {
      ADD_FAILURE() << "nothing drawn";
      continue;
    }
    const auto status = app.quit();
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << status.value_or(-1);
    EXPECT_NE(app.screen().find("runs without a log"), std::string::npos);
    EXPECT_EQ(app.screen().find("Configuring the default app"), std::string::npos);
    std::ifstream in(victim);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(content == "VICTIM") << content.substr(0, 200);
  }
}

// The log keeps its newest lines under its limit, checked at each launch.
TEST_F(AppAgainstLocalService, TheLogIsCutToItsNewestLinesAtLaunch) {
  const fs::path log = home / "Library/Logs/focus-timer.stderr.log";
  fs::create_directories(log.parent_path());
  {
    std::ofstream out(log);
    for (int i = 0; i < 100'000; ++i) out << "an earlier line " << i << "\n";
  }
  ASSERT_GT(fs::file_size(log), 2u << 20);
  AppInTerminal app(home, service.baseURL());
  ASSERT_TRUE(app.waitForScreen());
  const auto status = app.quit();
  ASSERT_TRUE(status && WIFEXITED(*status)) << status.value_or(-1);
  std::ifstream in(log);
  const std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_LE(kept.size(), 1u << 20);
  EXPECT_NE(kept.find("an earlier line 99999\n"), std::string::npos);
  EXPECT_EQ(kept.find("an earlier line 0\n"), std::string::npos);
  // Whole lines only.
  const auto first = kept.find("an earlier line ");
  ASSERT_NE(first, std::string::npos);
  EXPECT_TRUE(first == 0 || kept[first - 1] == '\n');
}

// Every signal that ends the app at once (a crash, or a quit from the keyboard) gives the terminal
// back as it was: echo, line editing and the keyboard's signals on again, off the alternate
// screen. The crash reporter still records the crash, and the app still ends by the signal.
TEST_F(AppAgainstLocalService, EveryFatalSignalIsRecordedAndGivesTheTerminalBack) {
  const struct {
    int number;
    bool recorded;  // one the crash reporter handles
  } cases[] = {{SIGSEGV, true}, {SIGBUS, true}, {SIGILL, true}, {SIGFPE, true}, {SIGTRAP, true},
               {SIGSYS, true},  {SIGABRT, true}, {SIGQUIT, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(strsignal(c.number));
    const fs::path appHome = home / sigabbrev_np(c.number);
    fs::create_directories(appHome);
    AppInTerminal app(appHome, service.baseURL());
    ASSERT_TRUE(app.waitForScreen());
    auto report = runningReport(appHome);
    ASSERT_TRUE(report);
    const std::size_t drawn = app.screen().size();
    const auto status = app.signal(c.number, AppInTerminal::kCrashLimitSeconds);
    ASSERT_TRUE(status && WIFSIGNALED(*status)) << status.value_or(-1);
    EXPECT_EQ(WTERMSIG(*status), c.number);
    // A new pseudo-terminal's modes, as the app found them.
    const auto modes = app.modes();
    ASSERT_TRUE(modes);
    for (const auto& [flags, on, name] : {std::tuple{modes->c_lflag, tcflag_t{ECHO}, "echo"},
                                          {modes->c_lflag, tcflag_t{ICANON}, "icanon"},
                                          {modes->c_lflag, tcflag_t{ISIG}, "isig"},
                                          {modes->c_lflag, tcflag_t{IEXTEN}, "iexten"},
                                          {modes->c_iflag, tcflag_t{ICRNL}, "icrnl"},
                                          {modes->c_iflag, tcflag_t{IXON}, "ixon"}}) {
      EXPECT_TRUE(flags & on) << "-" << name;
    }
    EXPECT_NE(app.screen().find("\x1b[?1049l", drawn), std::string::npos) << "the alternate screen was not left";
    EXPECT_EQ(fs::exists(*report / "signal.rlzrecord"), c.recorded);
  }
}

// The automatic events of a first launch (first open, session start, the first screen) are
// written, bundled and uploaded on their own, with no help from a test clock.
TEST_F(AppAgainstLocalService, TheFirstLaunchsAutomaticEventsReachTheService) {
  {
    AppInTerminal app(home, service.baseURL());
    ASSERT_TRUE(service.waitForRequestsTo(std::string(local_service::kMeasurementUploadPath), 1, 120))
        << "no measurement upload arrived";
    EXPECT_TRUE(app.signal(SIGTERM)) << "the stop request did not end the app within a quit's limit";
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
    // A quick quit, a moment of the app's virtual time after the first screen was drawn.
    ASSERT_TRUE(waitForElapsed(app, 1)) << "virtual time never passed 1 s";
    const auto status = app.quit();
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
    EXPECT_TRUE(app.signal(SIGTERM)) << "the stop request did not end the app within a quit's limit";
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

// Another process holds the settings' lock all through the quit (as `flock -x` on it would): the
// app still ends, while the hold lasts, and its log names the settings it could not save and the
// quit's allowance it waited for them within.
TEST_F(AppAgainstLocalService, AQuitBehindAHeldSettingsFileEndsAndNamesWhatItLeavesUnsaved) {
  const fs::path preferences = home / "Library/Preferences";
  fs::create_directories(preferences);
  struct Hold {
    int fd;
    ~Hold() {
      if (fd >= 0) close(fd);
    }
  } hold{open((preferences / "com.focus.timer.plist.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)};
  ASSERT_GE(hold.fd, 0);
  ASSERT_EQ(flock(hold.fd, LOCK_EX), 0);
  AppInTerminal app(home, service.baseURL());
  ASSERT_TRUE(app.waitForScreen());
  // The first launch's intro dismissed, the phone turned over and back, a quit. Whether the intro's
  // setting changed before the quit depends on how far its animation got; the version the launch
  // records is always due.
  app.type("1");
  usleep(500 * 1000);
  app.type("du");
  usleep(500 * 1000);
  const auto status = app.quit();
  ASSERT_TRUE(status && WIFEXITED(*status)) << status.value_or(-1);
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  std::ifstream in(home / "Library/Logs/focus-timer.stderr.log");
  const std::string logged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string said = "quitting: UserDefaults: the preferences of suite \"com.focus.timer\" are not saved (unsaved: ";
  const auto line = logged.find(said);
  ASSERT_NE(line, std::string::npos) << logged;
  const std::string told = logged.substr(line, logged.find('\n', line) - line);
  EXPECT_NE(told.find("version.of.last.run"), std::string::npos) << told;
  EXPECT_NE(told.find("past the 4.5 s allowed for the end of the process"), std::string::npos) << told;
}

// Another process holds every lock file of the home (each settings suite's, the keychain's), as
// `flock -x` on each would, all through a session: the user buys, taps, skips two hours, buys
// again, leaves the app alone and types on. Every key is drawn while the holds last, as no save
// waits for them, and the quit ends within its limit, naming what it leaves unsaved.
TEST_F(AppAgainstLocalService, KeysAndTheQuitDoNotWaitForFilesAnotherProcessHolds) {
  {
    // A first run makes the home's files, and the lock files beside them.
    AppInTerminal app(home, service.baseURL());
    ASSERT_TRUE(app.waitForScreen());
    const auto status = app.quit();
    ASSERT_TRUE(status && WIFEXITED(*status)) << status.value_or(-1);
  }
  struct Hold {
    explicit Hold(const fs::path& path) : fd(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW)) {}
    Hold(Hold&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    ~Hold() {
      if (fd >= 0) close(fd);
    }
    int fd;
  };
  std::vector<Hold> holds;
  std::set<std::string> held;
  for (const auto& entry : fs::recursive_directory_iterator(home)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".lock") continue;
    holds.emplace_back(entry.path());
    ASSERT_GE(holds.back().fd, 0) << entry.path();
    ASSERT_EQ(flock(holds.back().fd, LOCK_EX | LOCK_NB), 0) << entry.path();
    held.insert(entry.path().filename().string());
  }
  ASSERT_TRUE(held.count("keychain.plist.lock") && held.count("com.focus.timer.plist.lock"))
      << ::testing::PrintToString(held);

  AppInTerminal app(home, service.baseURL());
  ASSERT_TRUE(app.waitForScreen());
  // What a key changes shows within a few frames; a save that waited for a hold would keep the
  // screen still for seconds on end.
  constexpr double kDrawnWithinSeconds = 4;
  auto command = [&](const std::string& text) {
    EXPECT_TRUE(app.typeAndSee(":" + text, ":" + text + "_", kDrawnWithinSeconds)) << text;
    app.type("\r");
  };
  command("purchase coins 0.99");
  usleep(500 * 1000);
  app.type("1");
  usleep(500 * 1000);
  command("wait 2h");
  command("purchase gems 1.99");
  // Left alone a while: the saves the purchases and the skip brought are due by now.
  usleep(3000 * 1000);
  for (int i = 0; i < 3; ++i) {
    command("wait 1");
    usleep(1000 * 1000);
  }
  const auto status = app.quit();
  ASSERT_TRUE(status && WIFEXITED(*status)) << "the quit did not end within its limit";
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  std::ifstream in(home / "Library/Logs/focus-timer.stderr.log");
  const std::string logged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string said = "quitting: UserDefaults: the preferences of suite \"com.focus.timer\" are not saved";
  EXPECT_NE(logged.find(said), std::string::npos) << logged;
}

// Purchases a fraction of a second apart while the database is held with the store's real busy
// timeout, then a quit a second after the last: each purchase was acknowledged, so each is in the
// next launch's uploads once and in order, and its fingerprint is stored with it, never alone.
TEST_F(AppAgainstLocalService, PurchasesJustBeforeAQuitReachTheNextLaunchOnceInOrder) {
  const std::vector<std::string> products = {"coins", "gems", "stars", "keys", "hats"};
  {
    AppInTerminal app(home, service.baseURL());
    ASSERT_TRUE(app.waitForScreen());
    // The first start has made its database and written its first events.
    ASSERT_TRUE(service.waitForRequestsTo(std::string(local_service::kMeasurementUploadPath), 1, 120))
        << "the first launch sent no measurement upload";
    // Another program's exclusive transaction on it, as `sqlite3` with BEGIN EXCLUSIVE.
    storage_test::LockingConnection hold(databasePath(home).string(), "BEGIN EXCLUSIVE", 120);
    ASSERT_TRUE(hold.waitUntilLocked());
    for (const auto& product : products) {
      app.type(":purchase " + product + " 0.99\r");
      usleep(400 * 1000);
    }
    usleep(1000 * 1000);
    // Within the quit's allowance, whatever waits for the database.
    const auto status = app.quit();
    ASSERT_TRUE(status && WIFEXITED(*status)) << status.value_or(-1);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
  }
  // Saved for the next launch: no fingerprint went into the held database meanwhile.
  service.clearRequests();
  {
    // In debug mode, which uploads each event at once.
    AppInTerminal app(home, service.baseURL(), {"-DOREvoredireDebugEnabled"});
    ASSERT_TRUE(app.waitForScreen());
    for (int i = 0; i < 1200 && purchasedProducts(service).size() < products.size(); ++i) usleep(100 * 1000);
    EXPECT_EQ(purchasedProducts(service), products);
    app.signal(SIGTERM);
  }
  EXPECT_EQ(storage_test::rowCountOnDisk(databasePath(home).string(), "purchase_transactions"),
            static_cast<std::int64_t>(products.size()));
}

}  // namespace
