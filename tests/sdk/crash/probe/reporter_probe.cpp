// The app core, the crash reporter and the transport in a child process, as the app runs them.
//   reporter_probe crash [THREADS DEPTH]   configure, add keys and 1,000 log lines, park THREADS
//                                          threads DEPTH frames deep, then SIGSEGV on a worker
//   reporter_probe send STOP [HOW REPORT]  configure and run the main run loop until the file STOP
//                                          exists; with HOW, the packaging of the report directory
//                                          named REPORT ends the process: "kill" by SIGKILL, as
//                                          from outside, "crash" by a fault of its own, "crash-
//                                          elsewhere" by a fault of another thread meanwhile;
//                                          "kill-stored" and "crash-elsewhere-stored" the same
//                                          way once the transport has stored the report, before
//                                          the report is marked sent
// The home, the service URL and the resources come from FOCUS_HOME, VDZ_SERVICE_URL and
// FOCUS_SOURCE_DIR.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/date.h"
#include "platform/runloop/run_loop.h"
#include "platform/testing/testing.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/reports/rlz_manager_data.h"
#include "sdk/crash/reports/rlz_report_uploader.h"
#include "sdk/crash/reports/vdz_ralitoze.h"
#include "sdk/load_hooks.h"

extern "C" [[gnu::noinline]] void reporterProbeCrashingFunction() {
  // Both the pointer and what it points at are volatile: the optimiser may neither assume the
  // pointer null (and drop the store as undefined) nor drop a store nobody reads.
  volatile int* volatile target = nullptr;
  *target = 1;
  asm volatile("");
}

extern "C" [[gnu::noinline]] void reporterProbeCaller() {
  reporterProbeCrashingFunction();
  asm volatile("");
}

std::atomic<int> g_parked{0};

extern "C" void reporterProbeDeepFrameB(int depth);

// Parks its thread `depth` frames down, so that the crash records a deep stack for it. Two
// functions call each other: a stack of one function repeated is cut short in the record.
extern "C" [[gnu::noinline]] void reporterProbeDeepFrameA(int depth) {
  if (depth > 0) {
    reporterProbeDeepFrameB(depth - 1);
    asm volatile("");
    return;
  }
  g_parked.fetch_add(1);
  for (;;) pause();
}

extern "C" [[gnu::noinline]] void reporterProbeDeepFrameB(int depth) {
  reporterProbeDeepFrameA(depth);
  asm volatile("");
}

namespace {

void parkDeepThreads(int count, int depth) {
  for (int i = 0; i < count; ++i) std::thread([depth] { reporterProbeDeepFrameA(depth); }).detach();
  while (g_parked.load() < count) usleep(1000);
}

void endHandOffOf(const std::string& how, const std::string& report) {
  RLZReportUploader::setHandOffHookForTesting([how, report](RLZHandOffMoment moment, const std::string& packagedPath) {
    if (std::filesystem::path(packagedPath).filename() != report) return;
    if (moment == RLZHandOffMoment::kStored) {
      if (how == "kill-stored") raise(SIGKILL);
      if (how == "crash-elsewhere-stored") std::thread([] { reporterProbeCrashingFunction(); }).join();
      return;
    }
    if (how == "kill") raise(SIGKILL);
    if (how == "crash") reporterProbeCrashingFunction();
    if (how == "crash-elsewhere") std::thread([] { reporterProbeCrashingFunction(); }).join();
  });
}

void runMainLoopFor(double seconds) {
  platform::RunLoop::main().runUntil(platform::Date::now().addingTimeInterval(seconds));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: reporter_probe crash [THREADS DEPTH] | send STOP [HOW REPORT]\n");
    return 2;
  }
  const std::string mode = argv[1];
  platform::testing::becomeMainThread();
  if (mode == "send" && argc > 4) endHandOffOf(argv[3], argv[4]);
  sdk::runLoadHooks();
  VDZApp::configure();
  auto ralitoze = VDZRalitoze::ralitoze();
  if (!ralitoze) {
    fprintf(stderr, "reporter_probe: no crash reporter\n");
    return 3;
  }
  if (mode == "crash") {
    while (!RLZContextIsInitialized()) usleep(1000);
    // The settings of this first launch are fetched and cached before the crash, so that the next
    // launch reads them (diagnostics payloads among them) at its start.
    const std::string cacheKey = ralitoze->managerData()->fileManager->settingsCacheKeyPath();
    for (int i = 0; i < 100 && !std::filesystem::exists(cacheKey); ++i) runMainLoopFor(0.05);
    RLZContextBinaryImageQueue()->sync([] {});
    ralitoze->setCustomValue(platform::Value("blue"), "color");
    ralitoze->setUserID(std::string("probe-user"));
    for (int i = 0; i < 1000; ++i) ralitoze->log("log line " + std::to_string(i) + " " + std::string(80, 'x'));
    RLZContextLoggingQueue()->sync([] {});
    if (argc > 3) parkDeepThreads(std::atoi(argv[2]), std::atoi(argv[3]));
    platform::DispatchQueue::global()->async([] { reporterProbeCaller(); });
    for (;;) runMainLoopFor(1.0);
  }
  if (mode == "send" && argc > 2) {
    const std::filesystem::path stop = argv[2];
    // Far past any test's own limit: the test writes the stop file; this only ends a launch left alone.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(15);
    while (!std::filesystem::exists(stop) && std::chrono::steady_clock::now() < giveUp) runMainLoopFor(0.1);
    return std::filesystem::exists(stop) ? 0 : 4;
  }
  return 2;
}
