// The app core, the crash reporter and the transport in a child process, as the app runs them.
//   reporter_probe crash      configure, add keys and 1,000 log lines, then SIGSEGV on a worker
//   reporter_probe send STOP  configure and run the main run loop until the file STOP exists
// The home, the service URL and the resources come from FOCUS_HOME, VDZ_SERVICE_URL and
// FOCUS_SOURCE_DIR.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/date.h"
#include "platform/runloop/run_loop.h"
#include "platform/testing/testing.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/reports/rlz_manager_data.h"
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

namespace {

void runMainLoopFor(double seconds) {
  platform::RunLoop::main().runUntil(platform::Date::now().addingTimeInterval(seconds));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: reporter_probe crash | send STOP_FILE\n");
    return 2;
  }
  const std::string mode = argv[1];
  platform::testing::becomeMainThread();
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
    platform::DispatchQueue::global()->async([] { reporterProbeCaller(); });
    for (;;) runMainLoopFor(1.0);
  }
  if (mode == "send" && argc > 2) {
    const std::filesystem::path stop = argv[2];
    for (int i = 0; i < 600 && !std::filesystem::exists(stop); ++i) runMainLoopFor(0.1);
    return std::filesystem::exists(stop) ? 0 : 4;
  }
  return 2;
}
