#include "sdk/crash/capture/rlz_mach_exception.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "sdk/crash/capture/rlz_capture_state.h"
#include "sdk/crash/capture/rlz_process.h"
#include "sdk/crash/capture/rlz_signal.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_defines.h"
#include "sdk/crash/records/rlz_file.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace mach = platform::mach;

namespace {
constexpr int kRegistrationBehavior = mach::kExceptionDefault | mach::kMachExceptionCodes;
}

RLZMachExceptionName RLZMachExceptionNameLookup(int64_t type, int64_t code) {
  switch (type) {
    case mach::kExcBadAccess:
      if (code == 1) return {"EXC_BAD_ACCESS", "KERN_INVALID_ADDRESS"};
      if (code == 2) return {"EXC_BAD_ACCESS", "KERN_PROTECTION_FAILURE"};
      return {"EXC_BAD_ACCESS", nullptr};
    case mach::kExcBadInstruction: return {"EXC_BAD_INSTRUCTION", nullptr};
    case mach::kExcArithmetic: return {"EXC_ARITHMETIC", nullptr};
    case mach::kExcBreakpoint: return {"EXC_BREAKPOINT", nullptr};
    case mach::kExcGuard: return {"EXC_GUARD", nullptr};
    default: return {nullptr, nullptr};
  }
}

bool RLZMachExceptionInit(RLZMachState* machContext) {
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  if (RLZIsValidPointer(readonly) && !RLZUnlinkIfExists(readonly->machException.path)) {
    RLZSDKLogWarn("Unable to reset the mach exception file %s\n", strerror(errno));
  }
  if (!RLZMachExceptionRegister(machContext)) {
    RLZSDKLogWarn("Unable to register mach exception handler\n");
    return false;
  }
  if (!RLZMachExceptionThreadStart(machContext)) {
    RLZSDKLogWarn("Unable to start thread\n");
    RLZMachExceptionUnregister(&machContext->savedPorts, machContext->mask);
    return false;
  }
  return true;
}

bool RLZMachExceptionRegister(RLZMachState* machContext) {
  int result = mach::portAllocateReceive(&machContext->port);
  if (result != mach::kKernSuccess) {
    RLZSDKLogWarn("Error: mach_port_allocate failed %d\n", result);
    return false;
  }
  result = mach::portInsertSendRight(machContext->port);
  if (result != mach::kKernSuccess) {
    RLZSDKLogWarn("Error: mach_port_insert_right failed %d\n", result);
    mach::portDeallocate(machContext->port);
    return false;
  }
  machContext->mask = RLZMachExceptionMask;
  RLZMachSavedPorts& saved = machContext->savedPorts;
  result = mach::taskSwapExceptionPorts(mach::taskSelfPort(), machContext->mask, machContext->port,
                                        kRegistrationBehavior, mach::kThreadStateNone, saved.masks, &saved.count,
                                        saved.ports, saved.behaviors, saved.flavors);
  if (result != mach::kKernSuccess) {
    RLZSDKLogWarn("Error: task_swap_exception_ports %d\n", result);
    return false;
  }
  for (uint32_t i = 0; i < saved.count; ++i) {
    RLZSDKLogWarn("original 0x%x 0x%x 0x%x 0x%x\n", saved.ports[i], saved.masks[i], saved.behaviors[i],
                  saved.flavors[i]);
  }
  return true;
}

bool RLZMachExceptionThreadStart(RLZMachState* machContext) {
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error != 0) {
    RLZSDKLogWarn("pthread_attr_init %s\n", strerror(error));
    return false;
  }
  bool ok = false;
  if ((error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED)) != 0) {
    RLZSDKLogWarn("pthread_attr_setdetachstate %s\n", strerror(error));
  } else if (!RLZIsValidPointer(readonly) ||
             (error = pthread_attr_setstack(&attributes, readonly->machStack, RLZContextStackSize)) != 0) {
    RLZSDKLogWarn("pthread_attr_setstack %s\n", strerror(error));
  } else if ((error = pthread_create(&machContext->thread, &attributes, RLZMachExceptionServer, machContext)) != 0) {
    RLZSDKLogWarn("pthread_create %s\n", strerror(error));
  } else {
    ok = true;
  }
  pthread_attr_destroy(&attributes);
  return ok;
}

void* RLZMachExceptionServer(void* argument) {
  auto* machContext = static_cast<RLZMachState*>(argument);
  // The kernel keeps 15 bytes of a thread's name.
  prctl(PR_SET_NAME, "com.videzu.vuduzara.ralitoze.MachExceptionServer", 0, 0, 0);
  for (;;) {
    alignas(8) uint8_t buffer[mach::kExceptionRequestBufferSize];
    const int received = mach::machMsgReceive(machContext->port, buffer, sizeof buffer);
    if (received != mach::kKernSuccess) {
      RLZSDKLogWarn("Error receving mach_msg (%d)\n", received);
      break;
    }
    RLZSDKLogWarn("Accepted mach exception message\n");
    mach::ExceptionRequest message;
    memcpy(&message, buffer, sizeof message);
    const int32_t code = RLZMachExceptionDispatchMessage(machContext, &message);
    if (!RLZMachExceptionReply(&message, code)) break;
  }
  RLZSDKLogWarn("Mach exception server thread exiting\n");
  return nullptr;
}

int32_t RLZMachExceptionDispatchMessage(RLZMachState* machContext, const mach::ExceptionRequest* message) {
  const uint32_t count = message->codeCount > 2 ? 2 : message->codeCount;
  RLZSDKLogWarn("Mach exception: 0x%x, count: %d, code: 0x%llx 0x%llx\n", message->exception, static_cast<int>(count),
                count > 0 ? static_cast<unsigned long long>(message->code[0]) : ~0ull,
                count > 1 ? static_cast<unsigned long long>(message->code[1]) : ~0ull);
  if (message->task.name != mach::taskSelfPort()) {
    RLZSDKLogWarn("Mach exception task mis-match, returning failure\n");
    return mach::kKernFailure;
  }
  RLZSDKLogWarn("Unregistering handler\n");
  if (!RLZMachExceptionUnregister(&machContext->savedPorts, machContext->mask)) {
    RLZSDKLogWarn("Failed to unregister\n");
    return mach::kKernFailure;
  }
  RLZSDKLogWarn("Restoring original signal handlers\n");
  if (!RLZSignalSafeInstallPreexistingHandlers(&RLZCaptureStateShared().signal, -1, nullptr, nullptr)) {
    RLZSDKLogWarn("Failed to restore signal handlers\n");
    return mach::kKernFailure;
  }
  RLZSDKLogWarn("Recording mach exception\n");
  if (!RLZMachExceptionRecord(machContext, message)) {
    RLZSDKLogWarn("Failed to record mach exception\n");
    return mach::kKernFailure;
  }
  return mach::kKernSuccess;
}

bool RLZMachExceptionRecord(RLZMachState* machContext, const mach::ExceptionRequest* message) {
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  if (RLZContextMarkAndCheckIfCrashed()) {
    RLZSDKLogWarn("Error: aborting mach exception handler because crash has already occurred\n");
    RLZCaptureExitAfterLostLatch();
  }
  RLZCaptureStateShared().recording.store(true);
  RLZFile file;
  char buffer[RLZFileWriteBufferSize];
  if (!RLZIsValidPointer(readonly) ||
      !RLZFileInitWithPathModeAndBuffer(&file, readonly->machException.path, true, buffer)) {
    RLZSDKLogWarn("Unable to open mach exception file\n");
    return false;
  }
  const uint32_t count = message->codeCount > 2 ? 2 : message->codeCount;
  const RLZMachExceptionName name = RLZMachExceptionNameLookup(message->exception, count > 0 ? message->code[0] : 0);
  RLZFileWriteSectionStart(&file, "mach_exception");
  RLZFileWriteHashStart(&file);
  RLZFileWriteHashEntryUint64(&file, "exception", static_cast<uint64_t>(message->exception));
  RLZFileWriteHashKey(&file, "codes");
  RLZFileWriteArrayStart(&file);
  for (uint32_t i = 0; i < count; ++i) RLZFileWriteArrayEntryUint64(&file, static_cast<uint64_t>(message->code[i]));
  RLZFileWriteArrayEnd(&file);
  RLZFileWriteHashEntryString(&file, "name", name.name);
  RLZFileWriteHashEntryString(&file, "code_name", name.codeName);
  RLZFileWriteHashEntryUint64(&file, "original_ports", machContext->savedPorts.count);
  RLZFileWriteHashEntryUint64(&file, "time", static_cast<uint64_t>(time(nullptr)));
  RLZFileWriteHashEnd(&file);
  RLZFileWriteSectionEnd(&file);
  RLZRecordCrashState(&file, message->thread.name, nullptr, true);
  RLZFileClose(&file);
  return true;
}

bool RLZMachExceptionReply(const mach::ExceptionRequest* message, int32_t code) {
  RLZSDKLogWarn("Sending exception reply\n");
  mach::ExceptionReply reply;
  memset(&reply, 0, sizeof reply);
  reply.header.bits = message->header.bits & 0x1F;
  reply.header.size = sizeof reply;
  reply.header.remotePort = message->header.localPort;
  reply.header.localPort = mach::kMachPortNull;
  reply.header.id = message->header.id + 100;
  reply.ndr = message->ndr;
  reply.returnCode = code;
  const int result = mach::machMsgSend(&reply, sizeof reply);
  if (result != mach::kKernSuccess) {
    RLZSDKLogWarn("mach_msg reply failed (%d)\n", result);
    return false;
  }
  RLZSDKLogWarn("Exception reply delivered\n");
  return true;
}

bool RLZMachExceptionUnregister(const RLZMachSavedPorts* savedPorts, mach::ExceptionMask mask) {
  // A local copy: the registered mask lives with the set-up state and is never written here.
  mach::ExceptionMask remaining = mask;
  for (uint32_t i = 0; i < savedPorts->count; ++i) {
    const int result = mach::taskSetExceptionPorts(mach::taskSelfPort(), savedPorts->masks[i], savedPorts->ports[i],
                                                   savedPorts->behaviors[i], savedPorts->flavors[i]);
    if (result != mach::kKernSuccess) RLZSDKLogWarn("unable to restore original port: %d", savedPorts->ports[i]);
    remaining &= ~savedPorts->masks[i];
  }
  if (remaining == 0) return true;
  if (mach::taskSetExceptionPorts(mach::taskSelfPort(), remaining, mach::kMachPortNull, kRegistrationBehavior,
                                  mach::kThreadStateNone) != mach::kKernSuccess) {
    RLZSDKLogWarn("unable to unset unregistered mask: 0x%x", remaining);
    return false;
  }
  return true;
}

void RLZMachExceptionCheckHandlers() {}
