#include "sdk/crash/capture/rlz_process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstring>

#include "platform/dispatch/thread_hooks.h"
#include "sdk/crash/capture/rlz_capture_state.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/records/rlz_packaging_watch.h"
#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_defines.h"
#include "sdk/crash/records/rlz_file.h"
#include "sdk/crash/records/rlz_sdk_log.h"
#include "sdk/crash/unwind/rlz_unwind.h"

namespace {

using platform::mach::ThreadPort;

// Reads a small /proc file into `buffer` (terminated); the length, or 0.
size_t readProcFile(const char* path, char* buffer, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  size_t length = 0;
  while (length + 1 < size) {
    const ssize_t n = read(fd, buffer + length, size - 1 - length);
    if (n <= 0) break;
    length += static_cast<size_t>(n);
  }
  close(fd);
  buffer[length] = 0;
  return length;
}

// The number after `key` in a "Key:   value" listing; false when the key is missing.
bool findNumber(const char* text, const char* key, uint64_t* value) {
  const char* at = strstr(text, key);
  if (!at) return false;
  at += strlen(key);
  while (*at == ' ' || *at == '\t') ++at;
  if (*at < '0' || *at > '9') return false;
  uint64_t number = 0;
  for (; *at >= '0' && *at <= '9'; ++at) number = number * 10 + static_cast<uint64_t>(*at - '0');
  *value = number;
  return true;
}

void writeRegisters(RLZFile* file, const RLZThreadContext* context) {
  const RLZArchitectureTraits* traits = RLZArchitectureGetTraits(context->architecture);
  RLZFileWriteHashKey(file, "registers");
  RLZFileWriteHashStart(file);
  for (int i = 0; i < 34; ++i) {
    const uint32_t slot = traits->recordSlots[i];
    RLZFileWriteHashEntryUint64(file, RLZThreadContextRecordKeys[i], slot == RLZNoSlot ? 0 : context->registers[slot]);
  }
  RLZFileWriteHashEnd(file);
}

void closeThreadsAfterFailure(RLZFile* file) {
  RLZSDKLogError("Failed to record thread state. Closing threads JSON to prevent malformed crash report.\n");
  RLZFileWriteArrayEnd(file);
  RLZFileWriteSectionEnd(file);
}

}  // namespace

bool RLZProcessIsSameThread(ThreadPort a, ThreadPort b) { return (a >> 8) == (b >> 8); }

bool RLZProcessInit(RLZProcess* process, ThreadPort crashedThread, const void* userContext) {
  process->task = platform::mach::taskSelf();
  process->thisThread = platform::mach::threadSelf();
  process->crashedThread = crashedThread;
  process->userContext = RLZIsValidPointer(userContext) ? userContext : nullptr;
  const int count = platform::mach::taskThreads(process->threads, platform::mach::kMaxTaskThreads);
  if (count < 0) {
    process->threadCount = 0;
    RLZSDKLogWarn("Error: unable to get task threads\n");
    return false;
  }
  process->threadCount = static_cast<uint32_t>(count);
  return true;
}

// Unlike the phone's suspension, a thread here may fail to stop (it blocks the signal); the
// others are still stopped rather than left running under the recorder.
bool RLZProcessSuspendAllOtherThreads(RLZProcess* process) {
  using platform::mach::SuspendResult;
  // Every thread is asked before any is waited for, and all are waited for until one deadline:
  // each one's wait for the scheduler then overlaps the others' instead of adding to them, and
  // threads that never stop cost one wait in all.
  SuspendResult results[platform::mach::kMaxTaskThreads];
  for (uint32_t i = 0; i < process->threadCount; ++i) {
    const ThreadPort thread = process->threads[i];
    results[i] = RLZProcessIsSameThread(thread, process->thisThread) ? SuspendResult::suspended
                                                                     : platform::mach::threadSuspendRequest(thread);
  }
  const int64_t deadline = platform::mach::threadSuspendDeadline();
  bool result = true;
  for (uint32_t i = 0; i < process->threadCount; ++i) {
    const ThreadPort thread = process->threads[i];
    if (results[i] == SuspendResult::requested) results[i] = platform::mach::threadSuspendWait(thread, deadline);
    if (results[i] == SuspendResult::failed) {
      RLZSDKLogWarn("Unable to suspend thread %d\n", static_cast<int>(platform::mach::tidForThreadPort(thread)));
      result = false;
    }
  }
  return result;
}

bool RLZProcessResumeAllOtherThreads(RLZProcess* process) {
  for (uint32_t i = 0; i < process->threadCount; ++i) {
    const ThreadPort thread = process->threads[i];
    if (RLZProcessIsSameThread(thread, process->thisThread)) continue;
    platform::mach::threadResume(thread);
  }
  return true;
}

__attribute__((noinline)) bool RLZProcessGetThreadState(const RLZProcess* process, ThreadPort thread,
                                                        RLZThreadContext* context) {
  if (!RLZIsValidPointer(context)) {
    RLZSDKLogError("Invalid context supplied\n");
    return false;
  }
  if (process->userContext && RLZProcessIsSameThread(thread, process->crashedThread)) {
    RLZThreadContextFromUserContext(context, process->userContext);
    return true;
  }
  RLZThreadContextInit(context, RLZArchitectureNative());
  if (RLZProcessIsSameThread(thread, process->thisThread)) {
    RLZSDKLogWarn("Faking current thread\n");
    const uint64_t ret = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    const uint64_t fp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    RLZThreadContextSetPC(context, ret);
    RLZThreadContextSetLinkRegister(context, ret);
    RLZThreadContextSetFramePointer(context, fp);
    RLZThreadContextSetStackPointer(context, RLZUnwindStackPointerFromFramePointer(fp));
    return true;
  }
  int64_t registers[platform::mach::kGeneralRegisterCount];
  const int result = platform::mach::threadGetState(thread, registers, platform::mach::kGeneralRegisterCount);
  if (result == platform::mach::kKernSuccess) {
    RLZThreadContextFromGeneralRegisters(context, registers);
    return true;
  }
  // A thread that exited, or never stopped, still gets its (empty) object.
  if (result == platform::mach::kMachSendInvalidDest) return true;
  RLZSDKLogError("Failed to get thread state via thread_get_state for thread: %i\n", static_cast<int>(thread));
  return false;
}

bool RLZProcessRecordAllThreads(RLZProcess* process, RLZFile* file) {
  RLZFileWriteSectionStart(file, "threads");
  RLZFileWriteArrayStart(file);
  RLZWritableContext* writable = _rlzContext.writable;
  RLZUnwindFDECache fdeCache;
  memset(&fdeCache, 0, sizeof fdeCache);
  for (uint32_t i = 0; i < process->threadCount; ++i) {
    const ThreadPort thread = process->threads[i];
    RLZSDKLogInfo("recording thread %d data\n", static_cast<int>(i));
    RLZThreadContext context;
    if (!RLZProcessGetThreadState(process, thread, &context)) {
      RLZSDKLogError("Unable to get thread state\n");
      closeThreadsAfterFailure(file);
      return false;
    }
    RLZUnwindContext unwind;
    if (!RLZUnwindInit(&unwind, &context)) {
      RLZSDKLogWarn("Unable to init unwind context\n");
      closeThreadsAfterFailure(file);
      return false;
    }
    unwind.fdeCache = &fdeCache;
    const uint32_t savedLevel = RLZIsValidPointer(writable) ? writable->internalLogging.logLevel : 0;
    RLZFileWriteHashStart(file);
    writeRegisters(file, &context);
    RLZFileWriteHashKey(file, "stacktrace");
    RLZFileWriteArrayStart(file);
    bool cutting = false;
    uint64_t repeatedPC = 0;
    uint32_t repeatCount = 0;
    while (RLZUnwindNextFrame(&unwind)) {
      const uint64_t pc = RLZUnwindGetPC(&unwind);
      const uint32_t repeats = RLZUnwindGetFrameRepeatCount(&unwind);
      if (cutting && pc == repeatedPC) {
        repeatCount = repeats;
      } else if (repeats < RLZRecursionCutRepeats || cutting) {
        if (cutting && RLZIsValidPointer(writable)) writable->internalLogging.logLevel = savedLevel;
        RLZFileWriteArrayEntryUint64(file, pc);
      } else {
        RLZSDKLogWarn("Possible infinite recursion - suppressing logging\n");
        if (RLZIsValidPointer(writable)) writable->internalLogging.logLevel = RLZSDKLogLevelWarn;
        cutting = true;
        repeatedPC = pc;
        repeatCount = repeats;
      }
    }
    RLZFileWriteArrayEnd(file);
    if (RLZProcessIsSameThread(thread, process->crashedThread)) RLZFileWriteHashEntryBoolean(file, "crashed", true);
    if (cutting) {
      RLZFileWriteHashEntryUint64(file, "repeated_pc", repeatedPC);
      RLZFileWriteHashEntryUint64(file, "repeat_count", repeatCount);
    }
    if (RLZIsValidPointer(writable)) writable->internalLogging.logLevel = savedLevel;
    RLZFileWriteHashEnd(file);
  }
  RLZFileWriteArrayEnd(file);
  RLZFileWriteSectionEnd(file);
  RLZSDKLogInfo("Completed recording all thread data\n");
  return true;
}

void RLZProcessRecordRuntimeInfo(RLZProcess* process, RLZFile* file) {
  RLZThreadContext context;
  if (!RLZProcessGetThreadState(process, process->crashedThread, &context)) {
    RLZSDKLogError("unable to get crashed thread state");
  }
  RLZFileWriteSectionStart(file, "runtime");
  RLZFileWriteHashStart(file);
  // No object runtime here: no message-send entry can hold the crashed PC.
  RLZFileWriteHashEntryString(file, "objc_selector", "");
  RLZFileWriteHashKey(file, "crash_info_entries");
  RLZFileWriteArrayStart(file);
  RLZWritableContext* writable = _rlzContext.writable;
  for (int i = 0; RLZIsValidPointer(writable) && i < RLZBinaryImageTableSize; ++i) {
    const uintptr_t address = __atomic_load_n(&writable->binaryImage.nodes[i].crashInfo, __ATOMIC_SEQ_CST);
    if (!RLZIsValidPointer(reinterpret_cast<const void*>(address))) continue;
    uint64_t info[7];
    if (!RLZReadMemory(reinterpret_cast<const void*>(address), info, sizeof info)) continue;
    const uint32_t version = static_cast<uint32_t>(info[0]);
    RLZSDKLogDebug("Found crash info with version %d\n", static_cast<int>(version));
    if (version >= 6 || info[1] == 0) continue;
    RLZSDKLogDebug("attempting to read crash info string\n");
    char message[257];
    const char* source = nullptr;
    if (!RLZReadString(reinterpret_cast<const char*>(info[1]), &source, 256)) {
      RLZSDKLogError("Failed to copy crash info string\n");
      continue;
    }
    size_t length = 0;
    while (length < 256 && RLZReadMemory(source + length, &message[length], 1) && message[length] != 0) ++length;
    message[length] = 0;
    RLZRedactUUIDs(message);
    RLZFileWriteArrayEntryHexEncodedString(file, message);
  }
  RLZFileWriteArrayEnd(file);
  RLZFileWriteHashEnd(file);
  RLZFileWriteSectionEnd(file);
}

void RLZProcessRecordDispatchQueueNames(RLZProcess* process, RLZFile* file) {
  RLZFileWriteSectionStart(file, "dispatch_queue_names");
  RLZFileWriteArrayStart(file);
  for (uint32_t i = 0; i < process->threadCount; ++i) {
    const char* label = platform::dispatch::queueLabelForThread(platform::mach::tidForThreadPort(process->threads[i]));
    char copy[129];
    size_t length = 0;
    if (RLZIsValidPointer(label)) {
      while (length < 128 && RLZReadMemory(label + length, &copy[length], 1) && copy[length] != 0) ++length;
    }
    copy[length] = 0;
    RLZFileWriteArrayEntryString(file, copy);
  }
  RLZFileWriteArrayEnd(file);
  RLZFileWriteSectionEnd(file);
}

void RLZProcessRecordThreadNames(RLZProcess* process, RLZFile* file) {
  RLZFileWriteSectionStart(file, "thread_names");
  RLZFileWriteArrayStart(file);
  for (uint32_t i = 0; i < process->threadCount; ++i) {
    char name[64];
    if (!platform::mach::threadName(process->threads[i], name, sizeof name)) name[0] = 0;
    RLZFileWriteArrayEntryString(file, name);
  }
  RLZFileWriteArrayEnd(file);
  RLZFileWriteSectionEnd(file);
}

void RLZProcessRecordStats(RLZProcess* process, RLZFile* file) {
  (void)process;
  char meminfo[4096];
  uint64_t active = 0, inactive = 0, wired = 0, free = 0;
  if (readProcFile("/proc/meminfo", meminfo, sizeof meminfo) == 0 || !findNumber(meminfo, "Active:", &active) ||
      !findNumber(meminfo, "Inactive:", &inactive) || !findNumber(meminfo, "MemFree:", &free)) {
    RLZSDKLogWarn("Failed to get vm statistics\n");
    RLZSDKLogWarn("Unable to get process memory usage\n");
    return;
  }
  findNumber(meminfo, "Unevictable:", &wired);
  char statm[256];
  struct rusage usage;
  uint64_t pages[2] = {0, 0};
  const char* at = statm;
  bool ok = readProcFile("/proc/self/statm", statm, sizeof statm) > 0 && getrusage(RUSAGE_SELF, &usage) == 0;
  for (int i = 0; ok && i < 2; ++i) {
    while (*at == ' ') ++at;
    if (*at < '0' || *at > '9') ok = false;
    for (; *at >= '0' && *at <= '9'; ++at) pages[i] = pages[i] * 10 + static_cast<uint64_t>(*at - '0');
  }
  if (!ok) {
    RLZSDKLogWarn("Failed to get task info\n");
    RLZSDKLogWarn("Unable to get process stats\n");
    return;
  }
  // statm counts the kernel's own pages, whatever page size the host facts report.
  const uint64_t pageSize = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  RLZFileWriteSectionStart(file, "process_stats");
  RLZFileWriteHashStart(file);
  RLZFileWriteHashEntryUint64(file, "active", active * 1024);
  RLZFileWriteHashEntryUint64(file, "inactive", inactive * 1024);
  RLZFileWriteHashEntryUint64(file, "wired", wired * 1024);
  RLZFileWriteHashEntryUint64(file, "freeMem", free * 1024);
  RLZFileWriteHashEntryUint64(file, "free_mem", free * 1024);
  RLZFileWriteHashEntryUint64(file, "virtual", pages[0] * pageSize);
  RLZFileWriteHashEntryUint64(file, "resident", pages[1] * pageSize);
  RLZFileWriteHashEntryUint64(file, "user_time",
                              static_cast<uint64_t>(usage.ru_utime.tv_sec) * 1000000 + static_cast<uint64_t>(usage.ru_utime.tv_usec));
  RLZFileWriteHashEntryUint64(file, "sys_time",
                              static_cast<uint64_t>(usage.ru_stime.tv_sec) * 1000000 + static_cast<uint64_t>(usage.ru_stime.tv_usec));
  RLZFileWriteHashEnd(file);
  RLZFileWriteSectionEnd(file);
}

void RLZHostRecordStorage(RLZFile* file) {
  const RLZReadOnlyContext* readonly = _rlzContext.readonly;
  RLZFileWriteSectionStart(file, "storage");
  RLZFileWriteHashStart(file);
  struct statfs facts;
  if (RLZIsValidPointer(readonly) && RLZIsValidPointer(readonly->host.documentDirectoryPath) &&
      statfs(readonly->host.documentDirectoryPath, &facts) == 0) {
    RLZFileWriteHashEntryUint64(file, "free", static_cast<uint64_t>(facts.f_bavail) * static_cast<uint64_t>(facts.f_bsize));
    RLZFileWriteHashEntryUint64(file, "total", static_cast<uint64_t>(facts.f_blocks) * static_cast<uint64_t>(facts.f_bsize));
  }
  RLZFileWriteHashEnd(file);
  RLZFileWriteSectionEnd(file);
}

bool RLZProcessDebuggerAttached() {
  char status[4096];
  uint64_t tracer = 0;
  if (readProcFile("/proc/self/status", status, sizeof status) == 0) {
    RLZSDKLogWarn("sysctl failed while trying to get kinfo_proc\n");
    return false;
  }
  return findNumber(status, "TracerPid:", &tracer) && tracer != 0;
}

void RLZRecordCrashState(RLZFile* file, ThreadPort crashedThread, const void* userContext, bool fatal) {
  // First, so that even a recording that fails in turn leaves the note.
  if (fatal) RLZPackagingWatchNoteFatalCrash(crashedThread);
  RLZCaptureStateShared().openRecord.store(file);
  const bool batching = RLZSDKLogBeginBatch();
  RLZProcess process;
  RLZProcessInit(&process, crashedThread, userContext);
  RLZProcessSuspendAllOtherThreads(&process);
  RLZProcessRecordAllThreads(&process, file);
  RLZProcessRecordRuntimeInfo(&process, file);
  RLZProcessRecordDispatchQueueNames(&process, file);
  RLZProcessRecordThreadNames(&process, file);
  RLZProcessRecordStats(&process, file);
  RLZHostRecordStorage(file);
  // The record is on disk before the marker that says there is one.
  RLZFileFlushWriteBuffer(file);
  if (batching) RLZSDKLogEndBatch();
  RLZCaptureStateShared().openRecord.store(nullptr);
  if (fatal) RLZCreateCrashedMarkerFile();
  RLZProcessResumeAllOtherThreads(&process);
}
