#include "sdk/crash/capture/rlz_crash_capture.h"

#include <time.h>

#include <atomic>
#include <cstring>

#include "platform/dispatch/thread_hooks.h"
#include "platform/mach/thread_state.h"
#include "sdk/crash/capture/rlz_capture_state.h"
#include "sdk/crash/capture/rlz_exception.h"
#include "sdk/crash/capture/rlz_mach_exception.h"
#include "sdk/crash/capture/rlz_signal.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {
bool g_installed = false;  // set-up runs on the configuring thread only
std::atomic<bool> g_handlersInPlace{false};
}

bool RLZCrashCaptureStart(const std::string& reportPath, const std::string& rootPath, const std::string& sessionId,
                          const std::shared_ptr<RLZSettings>& settings) {
  const RLZContextInitStrings strings{reportPath, rootPath, sessionId};
  if (!RLZContextInitializeWithData(RLZContextBuildInitData(strings, settings.get()))) return false;
  // The context is sealed by the last of its set-up blocks, just after the set-up call returns.
  const timespec pause{0, 1'000'000};
  for (int i = 0; i < 5000 && !RLZContextIsInitialized(); ++i) nanosleep(&pause, nullptr);
  return RLZCrashCaptureInstallHandlers();
}

bool RLZCrashCaptureInstallHandlers() {
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  if (!RLZContextIsInitialized() || readonly->debuggerAttached) return false;
  RLZCaptureState& state = RLZCaptureStateShared();
  if (!platform::mach::installThreadSuspendSignal()) RLZSDKLogWarn("Unable to install the thread suspension signal\n");
  platform::dispatch::setThreadStartHook(RLZSignalInstallThreadAltStack);
  RLZSignalInitialize(&state.signal);
  if (!g_installed) RLZMachExceptionInit(&state.mach);
  RLZExceptionInitialize(&state);
  g_installed = true;
  g_handlersInPlace.store(true);
  return true;
}

bool RLZCrashCaptureHandlersInPlace() { return g_handlersInPlace.load(); }

void RLZCrashCaptureUninstallForTesting() {
  g_handlersInPlace.store(false);
  RLZCaptureState& state = RLZCaptureStateShared();
  RLZSignalSafeInstallPreexistingHandlers(&state.signal, -1, nullptr, nullptr);
  memset(&state.signal.savedActions, 0, sizeof state.signal.savedActions);
  state.signal.haveSavedAltStack = false;
  if (g_installed) RLZMachExceptionUnregister(&state.mach.savedPorts, state.mach.mask);
  std::set_terminate(state.previousTerminate);
  state.previousTerminate = nullptr;
  state.recording.store(false);
}
