#include "sdk/crash/capture/rlz_signal.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/mach/thread_state.h"
#include "sdk/crash/capture/rlz_capture_state.h"
#include "sdk/crash/capture/rlz_process.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_defines.h"
#include "sdk/crash/records/rlz_file.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {

pid_t currentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool isDefault(const struct sigaction& action) {
  return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}

// The thread's own alternate stack, unmapped when the thread ends.
struct ThreadAltStack {
  void* memory = nullptr;
  ~ThreadAltStack() {
    if (!memory) return;
    stack_t disable{};
    disable.ss_flags = SS_DISABLE;
    stack_t current{};
    sigaltstack(nullptr, &current);
    if (current.ss_sp == memory) sigaltstack(&disable, nullptr);
    munmap(memory, RLZContextStackSize);
  }
};
thread_local ThreadAltStack t_altStack;

bool installPreexisting(RLZSignalState* state, int signal, siginfo_t* info, void* userContext, bool* called) {
  RLZSignalSafeRemoveHandlers(true);
  bool result = true;
  // An alternate stack belongs to one thread: only the thread it was taken from gets it back.
  // While this handler runs on the stack the call fails; the earlier handlers still go back.
  if (state->haveSavedAltStack && currentTid() == state->configuringThread &&
      sigaltstack(&state->savedAltStack, nullptr) != 0) {
    RLZSDKLogWarn("Unable to setup stack %s\n", strerror(errno));
    result = false;
  }
  for (int i = 0; i < RLZSignalCount; ++i) {
    const struct sigaction& saved = state->savedActions[i];
    if (isDefault(saved)) continue;
    if (sigaction(RLZFatalSignals[i], &saved, nullptr) != 0) {
      RLZSDKLogWarn("Unable to install handler for %d (%s)\n", RLZFatalSignals[i], strerror(errno));
      result = false;
    }
    if (RLZFatalSignals[i] != signal) continue;
    if (saved.sa_flags & SA_SIGINFO) {
      if (saved.sa_sigaction) {
        *called = true;
        saved.sa_sigaction(signal, info, userContext);
      }
    } else if (saved.sa_handler != SIG_IGN && saved.sa_handler != SIG_DFL) {
      *called = true;
      saved.sa_handler(signal);
    }
  }
  return result;
}

// Ends the process by the signal under the disposition now in place. Returning is not enough:
// a fault repeats when its instruction runs again, but a breakpoint trap or a system call refused
// by a filter resumes after the instruction, and a signal sent by a process does not repeat.
void raiseAgain(int signal, const siginfo_t* info) {
  struct sigaction current;
  // The kernel ends a process whose own fault finds the signal ignored; so does this.
  if (info && info->si_code > 0 && sigaction(signal, nullptr, &current) == 0 &&
      !(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN) {
    struct sigaction fallback;
    memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
  }
  syscall(SYS_tgkill, getpid(), currentTid(), signal);
}

void writeSignalLine(RLZFile* file, siginfo_t* info, int savedErrno) {
  RLZFileWriteSectionStart(file, "signal");
  RLZFileWriteHashStart(file);
  if (info) {
    const RLZSignalName name = RLZSignalNameLookup(info->si_signo, info->si_code);
    RLZFileWriteHashEntryUint64(file, "number", static_cast<uint64_t>(info->si_signo));
    RLZFileWriteHashEntryUint64(file, "code", static_cast<uint64_t>(static_cast<int64_t>(info->si_code)));
    RLZFileWriteHashEntryUint64(file, "address", reinterpret_cast<uintptr_t>(info->si_addr));
    RLZFileWriteHashEntryString(file, "name", name.name);
    RLZFileWriteHashEntryString(file, "code_name", name.codeName);
  }
  RLZFileWriteHashEntryInt64(file, "errno", savedErrno);
  RLZFileWriteHashEntryUint64(file, "time", static_cast<uint64_t>(time(nullptr)));
  RLZFileWriteHashEnd(file);
  RLZFileWriteSectionEnd(file);
}

}  // namespace

RLZSignalName RLZSignalNameLookup(int number, int) {
  switch (number) {
    case SIGILL: return {"SIGILL", nullptr};
    case SIGTRAP: return {"SIGTRAP", nullptr};
    case SIGABRT: return {"SIGABRT", "ABORT"};
    case SIGFPE: return {"SIGFPE", nullptr};
    case SIGBUS: return {"SIGBUS", nullptr};
    case SIGSEGV: return {"SIGSEGV", nullptr};
    case SIGSYS: return {"SIGSYS", nullptr};
    default: return {"UNKNOWN", nullptr};
  }
}

int RLZSignalHostNumberForPhoneNumber(long long phoneNumber) {
  switch (phoneNumber) {
    case 4: return SIGILL;
    case 5: return SIGTRAP;
    case 6: return SIGABRT;
    case 8: return SIGFPE;
    case 10: return SIGBUS;
    case 11: return SIGSEGV;
    case 12: return SIGSYS;
    default: return -1;
  }
}

void RLZSignalInitialize(RLZSignalState* signalContext) {
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  if (RLZIsValidPointer(readonly) && !RLZUnlinkIfExists(readonly->signal.path)) {
    RLZSDKLogWarn("Unable to reset the signal log file %s\n", strerror(errno));
  }
  if (!RLZSignalInstallAltStack(signalContext)) RLZSDKLogWarn("Unable to setup stack %s\n", strerror(errno));
  RLZSignalInstallHandlers(signalContext);
}

bool RLZSignalInstallAltStack(RLZSignalState* signalContext) {
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  if (!RLZIsValidPointer(readonly) || !RLZIsValidPointer(readonly->signalStack)) return false;
  stack_t stack{};
  stack.ss_sp = readonly->signalStack;
  stack.ss_size = RLZContextStackSize;
  stack.ss_flags = 0;
  stack_t earlier{};
  if (sigaltstack(&stack, &earlier) != 0) return false;
  signalContext->configuringThread = currentTid();
  signalContext->haveSavedAltStack = !(earlier.ss_flags & SS_DISABLE) && earlier.ss_sp != nullptr;
  if (signalContext->haveSavedAltStack) {
    earlier.ss_flags = 0;
    signalContext->savedAltStack = earlier;
  }
  return true;
}

void RLZSignalInstallThreadAltStack() {
  if (t_altStack.memory) return;
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return;
  void* memory = mmap(nullptr, RLZContextStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) return;
  stack_t stack{};
  stack.ss_sp = memory;
  stack.ss_size = RLZContextStackSize;
  if (sigaltstack(&stack, nullptr) != 0) {
    munmap(memory, RLZContextStackSize);
    return;
  }
  t_altStack.memory = memory;
}

void RLZSignalInstallHandlers(RLZSignalState* signalContext) {
  for (int i = 0; i < RLZSignalCount; ++i) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = RLZSignalHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    struct sigaction earlier;
    memset(&earlier, 0, sizeof earlier);
    if (sigaction(RLZFatalSignals[i], &action, &earlier) != 0) {
      RLZSDKLogWarn("Unable to install handler for %d (%s)\n", RLZFatalSignals[i], strerror(errno));
    }
    memset(&signalContext->savedActions[i], 0, sizeof signalContext->savedActions[i]);
    // Installing twice must not make the handler its own predecessor.
    const bool ours = (earlier.sa_flags & SA_SIGINFO) && earlier.sa_sigaction == RLZSignalHandler;
    if (!isDefault(earlier) && !ours) signalContext->savedActions[i] = earlier;
  }
}

void RLZSignalSafeRemoveHandlers(bool includingAbort) {
  for (int i = 0; i < RLZSignalCount; ++i) {
    if (RLZFatalSignals[i] == SIGABRT && !includingAbort) continue;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    if (sigaction(RLZFatalSignals[i], &action, nullptr) != 0) {
      RLZSDKLogWarn("Unable to set default handler for %d (%s)\n", RLZFatalSignals[i], strerror(errno));
    }
  }
}

bool RLZSignalSafeInstallPreexistingHandlers(RLZSignalState* signalContext, int signal, siginfo_t* info,
                                             void* userContext) {
  bool called = false;
  return installPreexisting(signalContext, signal, info, userContext, &called);
}

void RLZSignalHandler(int signal, siginfo_t* info, void* userContext) {
  const int savedErrno = errno;
  errno = 0;
  RLZSDKLogWarn("Signal: %d\n", signal);
  RLZCaptureState& state = RLZCaptureStateShared();
  // A fault inside this handler while it records: the default action ends the process when the
  // faulting instruction runs again.
  if (state.recorder.load() == currentTid()) {
    // What the recording formatted before this fault still reaches the disk.
    RLZSDKLogFlushBatch();
    if (RLZFile* open = state.openRecord.load(); RLZIsValidPointer(open)) RLZFileFlushWriteBuffer(open);
    RLZSignalSafeRemoveHandlers(true);
    raiseAgain(signal, RLZIsValidPointer(info) ? info : nullptr);
    return;
  }
  // The handlers stay in place while the first crash records, so that a second thread faulting
  // meanwhile waits here instead of ending the process under the default action mid-record.
  sigset_t all;
  sigfillset(&all);
  if (sigprocmask(SIG_UNBLOCK, &all, nullptr) != 0) {
    RLZSDKLogWarn("Unable to unmask signals - we risk infinite recursion here\n");
  }
  if (!RLZIsValidPointer(info)) info = nullptr;
  if (!RLZIsValidPointer(userContext)) userContext = nullptr;

  bool calledEarlier = false;
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  if (RLZIsValidPointer(readonly)) {
    if (RLZContextMarkAndCheckIfCrashed()) {
      RLZSDKLogWarn("Error: aborting signal handler because crash has already occurred");
      RLZCaptureExitAfterLostLatch();
    }
    state.recorder.store(currentTid());
    state.recording.store(true);
    RLZFile file;
    char buffer[RLZFileWriteBufferSize];
    if (RLZFileInitWithPathModeAndBuffer(&file, readonly->signal.path, true, buffer)) {
      writeSignalLine(&file, info, savedErrno);
      RLZRecordCrashState(&file, platform::mach::threadSelf(), userContext, true);
      RLZFileClose(&file);
    } else {
      RLZSDKLogWarn("Unable to open signal file\n");
    }
    installPreexisting(&state.signal, signal, info, userContext, &calledEarlier);
  } else {
    RLZSignalSafeRemoveHandlers(true);
  }
  // An earlier handler that was called has had its say, as it would have without this one.
  if (!calledEarlier) raiseAgain(signal, info);
  errno = savedErrno;
}

void RLZSignalCheckHandlers() {
  if (RLZProcessDebuggerAttached()) return;
  for (int i = 0; i < RLZSignalCount; ++i) {
    struct sigaction current;
    if (sigaction(RLZFatalSignals[i], nullptr, &current) != 0) {
      fprintf(stderr, "Unable to read signal handler\n");
      continue;
    }
    const void* handler = (current.sa_flags & SA_SIGINFO) ? reinterpret_cast<void*>(current.sa_sigaction)
                                                          : reinterpret_cast<void*>(current.sa_handler);
    if (handler == reinterpret_cast<void*>(RLZSignalHandler)) continue;
    Dl_info info{};
    const char* symbol = dladdr(handler, &info) ? info.dli_sname : nullptr;
    fprintf(stderr, "[Ralitoze] The signal %s has a non-Ralitoze handler (%s).  This will interfere with reporting.\n",
            RLZSignalNameLookup(RLZFatalSignals[i], 0).name, symbol ? symbol : "(null)");
  }
}
