// A crash reaches the local service: one child run of the app core, the crash reporter and the
// transport crashes on a worker; the next run on the same home packages the report and the
// transport uploads it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "crash_test_support.h"
#include "sdk/crash/reports/rlz_report_adapter.h"
#include "sdk/crash/reports/rlz_report_uploader.h"
#include "sdk/crash/reports/vdz_ralitoze.h"
#include "tools/local-service/crash_report.h"
#include "tools/local-service/local_service.h"
#include "tools/local-service/transport_routes.h"

extern char** environ;

namespace {

// How long a sending launch is given: a few seconds of work alone, but a loaded machine may take
// many times that to package and store a report of several mebibytes.
constexpr double kSendLimitSeconds = 300;

namespace fs = std::filesystem;

// A child that has not ended by the limit is killed: its test fails instead of hanging. A sanitizer
// report in what it wrote fails the test as well, however the child ended.
struct Child {
  pid_t pid = 0;
  fs::path log;
  std::size_t logStart = 0;
  std::optional<int> wait(double seconds) {
    const auto status = platform::testing::waitForChild(pid, seconds);
    const std::string written = crash_test::readFile(log).substr(logStart);
    EXPECT_EQ(platform::testing::sanitizerReport(written), "") << written;
    return status;
  }
};

Child spawnProbe(const fs::path& home, const std::string& serviceURL, std::vector<std::string> arguments) {
  rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  std::vector<std::string> env = {
      "FOCUS_HOME=" + home.string(), "VDZ_SERVICE_URL=" + serviceURL,
      std::string("FOCUS_SOURCE_DIR=") + FOCUS_SOURCE_DIR_FOR_TESTS,
      // Unsymbolised, a sanitizer report is out whole before the probe's own planned end cuts it;
      // its frames are named afterwards from the module offsets it shows.
      "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_abort=0:detect_leaks=0:allow_user_segv_handler=1:symbolize=0",
      "UBSAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_abort=0:print_stacktrace=1"};
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  arguments.insert(arguments.begin(), REPORTER_PROBE);
  std::vector<char*> argv;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string logPath = (home / ("probe-" + arguments[1] + ".log")).string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  Child child;
  child.log = logPath;
  child.logStart = crash_test::readFile(logPath).size();
  EXPECT_EQ(posix_spawn(&child.pid, REPORTER_PROBE, &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  return child;
}

fs::path reportsPath(const fs::path& home) {
  return home / "Library/Caches/com.ralitoze.data/com.focus.timer/v5/reports";
}

std::vector<fs::path> entries(const fs::path& directory) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(directory, ec)) found.push_back(entry.path());
  return found;
}

std::string hex(const std::string& text) {
  std::string out;
  char pair[3];
  for (unsigned char c : text) {
    snprintf(pair, sizeof pair, "%02x", c);
    out += pair;
  }
  return out;
}

// protoc reads the message without the project's schema or code.
bool protocDecodesRaw(const std::string& message, const fs::path& scratch) {
  if (std::system("command -v protoc >/dev/null 2>&1") != 0) return true;
  const fs::path input = scratch / "report.bin";
  crash_test::writeFile(input, message);
  const std::string command = "protoc --decode_raw < '" + input.string() + "' > '" + (scratch / "raw.txt").string() + "'";
  return std::system(command.c_str()) == 0;
}

TEST(CrashReportingEndToEnd, ACrashOfOneRunReachesTheServiceInTheNext) {
  local_service::LocalService service;
  local_service::addDefaultRoutes(service);
  ASSERT_TRUE(service.start());
  const fs::path home = crash_test::scratch("e2e-home");

  const auto crashed = spawnProbe(home, service.baseURL(), {"crash"}).wait(120);
  ASSERT_TRUE(crashed) << "the child never crashed: " << crash_test::readFile(home / "probe-crash.log");
  ASSERT_TRUE(WIFSIGNALED(*crashed)) << crash_test::readFile(home / "probe-crash.log");
  EXPECT_EQ(WTERMSIG(*crashed), SIGSEGV);
  const auto active = entries(reportsPath(home) / "active");
  ASSERT_EQ(active.size(), 1u);
  const fs::path crashedReport = active.front();
  std::map<std::string, std::string> recorded;
  for (const auto& file : entries(crashedReport)) {
    if (file.extension() == ".rlzrecord") recorded[file.filename().string()] = crash_test::readFile(file);
  }
  ASSERT_TRUE(recorded.count("signal.rlzrecord"));
  // The phone's diagnostics of the crashed run arrive at the next launch, which waits for them.
  const fs::path diagnostics = home / "Library/Caches/MetricKit/Diagnostics";
  fs::create_directories(diagnostics);
  fs::copy_file(fs::path(FOCUS_SOURCE_DIR_FOR_TESTS) / "tests/fixtures/metrickit/crash_sigsegv.json",
                diagnostics / "crash_sigsegv.json");

  const fs::path stop = home / "stop";
  Child sender = spawnProbe(home, service.baseURL(), {"send", stop.string()});
  const bool received = service.waitForRequestsTo("/transport/csh", 1, kSendLimitSeconds);
  crash_test::writeFile(stop, "");
  const auto sent = sender.wait(120);
  ASSERT_TRUE(received);
  ASSERT_TRUE(sent) << "the child never ended: " << crash_test::readFile(home / "probe-send.log");
  EXPECT_TRUE(WIFEXITED(*sent) && WEXITSTATUS(*sent) == 0) << crash_test::readFile(home / "probe-send.log");

  const auto uploads = service.requestsTo("/transport/csh");
  ASSERT_EQ(uploads.size(), 1u);
  std::string error;
  auto batch = local_service::decodeBatchedLogRequest(uploads[0].decodedBody, error);
  ASSERT_TRUE(batch) << error;
  ASSERT_EQ(batch->size(), 1u);
  EXPECT_EQ((*batch)[0].logSource, 1206);
  ASSERT_EQ((*batch)[0].events.size(), 1u);
  const std::string& message = (*batch)[0].events[0].payload;
  EXPECT_TRUE(protocDecodesRaw(message, home));
  auto report = local_service::decodeCrashReport(message, error);
  ASSERT_TRUE(report) << error;
  EXPECT_EQ(report->sdkVersion, "8.15.0");
  EXPECT_EQ(report->platform, 1u);
  EXPECT_EQ(report->installationID.size(), 36u);
  EXPECT_FALSE(report->videzuAppID.empty());

  for (const auto& [name, contents] : recorded) {
    const std::string* shipped = report->file(name);
    ASSERT_NE(shipped, nullptr) << name;
    EXPECT_EQ(*shipped, contents) << name;
  }
  EXPECT_EQ(report->file("sdk.log"), nullptr);
  const std::string* metricKit = report->file("metric_kit_fatal.rlzrecord");
  ASSERT_NE(metricKit, nullptr);
  EXPECT_NE(metricKit->find("\"EXC_BAD_ACCESS\""), std::string::npos) << *metricKit;
  EXPECT_NE(metricKit->find("\"threads\""), std::string::npos) << *metricKit;
  EXPECT_FALSE(fs::exists(diagnostics / "crash_sigsegv.json"));
  const std::string* symbolicated = report->file("signal.rlzrecord.symbolicated");
  ASSERT_NE(symbolicated, nullptr);
  EXPECT_NE(symbolicated->find("reporterProbeCrashingFunction"), std::string::npos) << *symbolicated;

  const std::string* keys = report->file("user_incremental_kv.rlzrecord");
  ASSERT_NE(keys, nullptr);
  EXPECT_NE(keys->find(hex("color")), std::string::npos);
  // 1,000 lines are far more than the 64,000-byte log: the newest survive, the oldest are gone.
  std::string logs;
  for (const char* name : {"log_a.rlzrecord", "log_b.rlzrecord"}) {
    if (const std::string* file = report->file(name)) logs += *file;
  }
  EXPECT_NE(logs.find(hex("log line 999 ")), std::string::npos);
  EXPECT_EQ(logs.find(hex("log line 0 ")), std::string::npos);

  for (const char* stage : {"active", "processing", "prepared"}) {
    EXPECT_FALSE(fs::exists(reportsPath(home) / stage / crashedReport.filename())) << stage;
  }
}

// Every copy the service has of the report of the run whose report directory is named `session`.
std::vector<local_service::CrashReport> copiesOf(const local_service::LocalService& service,
                                                 const std::string& session) {
  std::vector<local_service::CrashReport> copies;
  for (const auto& upload : service.requestsTo("/transport/csh")) {
    std::string error;
    auto batch = local_service::decodeBatchedLogRequest(upload.decodedBody, error);
    EXPECT_TRUE(batch) << error;
    if (!batch) continue;
    for (const auto& request : *batch) {
      // A batch may also carry the transport's own client metrics, under a log source of their own.
      if (std::to_string(request.logSource) != kRLZTransportMappingID) continue;
      for (const auto& event : request.events) {
        auto report = local_service::decodeCrashReport(event.payload, error);
        EXPECT_TRUE(report) << error;
        const std::string* metadata = report ? report->file("metadata.rlzrecord") : nullptr;
        if (metadata && metadata->find("\"session_id\":\"" + session + "\"") != std::string::npos) {
          copies.push_back(std::move(*report));
        }
      }
    }
  }
  return copies;
}

// The report of the run whose report directory is named `session`, once the service has it.
std::optional<local_service::CrashReport> reportOf(const local_service::LocalService& service,
                                                   const std::string& session) {
  auto copies = copiesOf(service, session);
  if (copies.empty()) return std::nullopt;
  return std::move(copies.front());
}

// One run that crashes; its report directory.
fs::path crashOnce(const fs::path& home, const local_service::LocalService& service,
                   std::vector<std::string> arguments = {"crash"}) {
  const auto before = entries(reportsPath(home) / "active");
  const auto crashed = spawnProbe(home, service.baseURL(), std::move(arguments)).wait(120);
  EXPECT_TRUE(crashed && WIFSIGNALED(*crashed) && WTERMSIG(*crashed) == SIGSEGV)
      << crash_test::readFile(home / "probe-crash.log");
  for (const auto& report : entries(reportsPath(home) / "active")) {
    if (std::find(before.begin(), before.end(), report) == before.end()) return report;
  }
  ADD_FAILURE() << "no report of the crash";
  return {};
}

// A launch that sends until `done` holds (or its time is up), then stops; whether it held.
bool sendUntil(const fs::path& home, const local_service::LocalService& service, const std::function<bool()>& done,
               double seconds) {
  const fs::path stop = home / "stop";
  fs::remove(stop);
  Child sender = spawnProbe(home, service.baseURL(), {"send", stop.string()});
  bool held = done();
  for (int i = 0; i < seconds * 10 && !held; ++i) {
    usleep(100000);
    held = done();
  }
  crash_test::writeFile(stop, "");
  const auto sent = sender.wait(120);
  EXPECT_TRUE(sent && WIFEXITED(*sent) && WEXITSTATUS(*sent) == 0)
      << (!sent                ? std::string("no end")
          : WIFSIGNALED(*sent) ? "signal " + std::to_string(WTERMSIG(*sent))
                               : "exit status " + std::to_string(WEXITSTATUS(*sent)))
      << "\n"
      << crash_test::readFile(home / "probe-send.log");
  return held;
}

bool anywhereInTheReports(const fs::path& home, const std::string& session) {
  for (const char* stage : {"active", "processing", "prepared"}) {
    if (fs::exists(reportsPath(home) / stage / session)) return true;
  }
  return false;
}

// A report of several mebibytes (a thousand threads parked a hundred frames deep, and a log padded
// far past its usual size) travels from the crashed run through the transport's storage to the service: the
// records whole, the log cut to its newest lines where the report would pass one event.
TEST(CrashReportingEndToEnd, AReportOfSeveralMebibytesReachesTheService) {
  local_service::LocalService service;
  local_service::addDefaultRoutes(service);
  ASSERT_TRUE(service.start());
  const fs::path home = crash_test::scratch("e2e-large");
  const fs::path report = crashOnce(home, service, {"crash", "1000", "100"});
  ASSERT_FALSE(report.empty());
  const std::string signal = crash_test::readFile(report / "signal.rlzrecord");
  EXPECT_GT(signal.size(), 1u << 20) << "the deep threads are recorded";
  const std::size_t last = crash_test::padLog(report / "log_a.rlzrecord", 6u << 20, 100000);
  const std::string log = crash_test::readFile(report / "log_a.rlzrecord");

  const std::string session = report.filename().string();
  ASSERT_TRUE(sendUntil(home, service, [&] { return reportOf(service, session).has_value(); }, kSendLimitSeconds))
      << crash_test::readFile(home / "probe-send.log");
  const auto received = reportOf(service, session);
  const std::string* sentSignal = received->file("signal.rlzrecord");
  ASSERT_NE(sentSignal, nullptr);
  EXPECT_TRUE(*sentSignal == signal) << "the crash record is cut: " << sentSignal->size() << " of " << signal.size();
  const std::string* sentLog = received->file("log_a.rlzrecord");
  ASSERT_NE(sentLog, nullptr);
  EXPECT_LT(sentLog->size(), log.size());
  EXPECT_TRUE(log.ends_with(*sentLog));
  EXPECT_TRUE(sentLog->ends_with(crash_test::logRecordLine(last)));
  EXPECT_TRUE(sentLog->starts_with("{\"log\":"));
  std::uint64_t total = 0;
  for (const auto& [name, contents] : received->files) total += contents.size();
  EXPECT_GT(total, 6u << 20);
  EXPECT_LE(total, kRLZMaxReportBytes);
  for (const char* stage : {"active", "processing", "prepared"}) {
    EXPECT_FALSE(fs::exists(reportsPath(home) / stage / report.filename())) << stage;
  }
}

// Launches that end while a report is packaged: killed from outside, or crashing on another
// thread meanwhile, they cost the report nothing and a later launch sends it; a packaging that
// crashes the process itself, time after time, gives the report up.
TEST(CrashReportingEndToEnd, OnlyAPackagingThatCrashesItselfCostsTheReport) {
  struct Case {
    const char* how;
    int signal;
    bool delivered;
  };
  for (const Case& c : {Case{"kill", SIGKILL, true}, Case{"crash-elsewhere", SIGSEGV, true},
                        Case{"crash", SIGSEGV, false}}) {
    local_service::LocalService service;
    local_service::addDefaultRoutes(service);
    ASSERT_TRUE(service.start());
    const fs::path home = crash_test::scratch(std::string("e2e-packaging-") + c.how);
    const fs::path report = crashOnce(home, service);
    ASSERT_FALSE(report.empty()) << c.how;
    const std::string session = report.filename().string();
    for (int launch = 0; launch < kRLZMaxPackagingAttempts; ++launch) {
      const auto ended =
          spawnProbe(home, service.baseURL(), {"send", (home / "never").string(), c.how, session}).wait(120);
      ASSERT_TRUE(ended && WIFSIGNALED(*ended)) << c.how << " launch " << launch << ": "
                                                << crash_test::readFile(home / "probe-send.log");
      EXPECT_EQ(WTERMSIG(*ended), c.signal) << c.how << " launch " << launch;
    }
    // Given up, the report leaves its folders unsent: nothing of it was stored by the transport
    // before, as each attempt ended in its packaging.
    const bool done = sendUntil(
        home, service,
        [&] { return c.delivered ? reportOf(service, session).has_value() : !anywhereInTheReports(home, session); },
        kSendLimitSeconds);
    EXPECT_TRUE(done) << c.how << ": " << crash_test::readFile(home / "probe-send.log");
    EXPECT_EQ(reportOf(service, session).has_value(), c.delivered) << c.how;
    EXPECT_FALSE(anywhereInTheReports(home, session)) << c.how;
  }
}

// Whether the transport's storage holds any crash report event, pending or in a batch.
bool transportHoldsAReport(const fs::path& home) {
  const fs::path storage = home / "Library/Caches/videzu-sdks-events/VDTCORFlatFileStorage";
  auto holdsAFile = [](const fs::path& directory) {
    const auto files = entries(directory);
    return std::any_of(files.begin(), files.end(),
                       [](const fs::path& file) { return !file.filename().string().starts_with("."); });
  };
  if (holdsAFile(storage / "vdt_event_data/1002")) return true;
  for (const auto& batch : entries(storage / "vdt_batch_data")) {
    if (batch.filename().string().starts_with("1002-") && holdsAFile(batch)) return true;
  }
  return false;
}

// A launch that ends once the transport has stored a report and before the report is marked sent
// (killed from outside, or crashing on another thread, as in a crash loop at start) leaves both
// the stored event and the prepared report. The next launch hands the report off again while the
// transport uploads what it holds, in either order: the service gets the report once.
TEST(CrashReportingEndToEnd, AHandOffCutShortAfterTheStoreDeliversTheReportOnce) {
  struct Case {
    const char* how;
    int signal;
  };
  for (const Case& c : {Case{"kill-stored", SIGKILL}, Case{"crash-elsewhere-stored", SIGSEGV}}) {
    local_service::LocalService service;
    local_service::addDefaultRoutes(service);
    ASSERT_TRUE(service.start());
    const fs::path home = crash_test::scratch(std::string("e2e-cut-after-store-") + c.how);
    const fs::path report = crashOnce(home, service);
    ASSERT_FALSE(report.empty()) << c.how;
    const std::string session = report.filename().string();

    const auto ended =
        spawnProbe(home, service.baseURL(), {"send", (home / "never").string(), c.how, session}).wait(120);
    ASSERT_TRUE(ended && WIFSIGNALED(*ended) && WTERMSIG(*ended) == c.signal)
        << c.how << ": " << crash_test::readFile(home / "probe-send.log");
    ASSERT_TRUE(fs::exists(reportsPath(home) / "prepared" / session)) << c.how;
    ASSERT_TRUE(transportHoldsAReport(home)) << c.how;

    // Settled: the report has left its folders and the transport holds no report, so no later
    // launch could send it again.
    const bool settled = sendUntil(
        home, service,
        [&] {
          return !copiesOf(service, session).empty() && !anywhereInTheReports(home, session) &&
                 !transportHoldsAReport(home);
        },
        kSendLimitSeconds);
    EXPECT_TRUE(settled) << c.how << ": " << crash_test::readFile(home / "probe-send.log");
    EXPECT_EQ(copiesOf(service, session).size(), 1u) << c.how;
  }
}

}  // namespace
