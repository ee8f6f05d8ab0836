// The crash state common to every fatal path and to on-demand exceptions: the other threads
// frozen, every thread's registers and stack, names, statistics and storage written into an open
// record file, the previously-crashed marker dropped when the recording is of a fatal crash (a
// run that records a non-fatal exception goes on), the threads let go. Crash-time code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/mach/thread_state.h"
#include "sdk/crash/unwind/rlz_thread_context.h"

struct RLZFile;

inline constexpr uint32_t RLZRecursionCutRepeats = 10;

struct RLZProcess {
  pid_t task;
  platform::mach::ThreadPort thisThread;
  platform::mach::ThreadPort crashedThread;
  platform::mach::ThreadPort threads[platform::mach::kMaxTaskThreads];
  uint32_t threadCount;
  const void* userContext;
};

void RLZRecordCrashState(RLZFile* file, platform::mach::ThreadPort crashedThread, const void* userContext, bool fatal);

bool RLZProcessInit(RLZProcess* process, platform::mach::ThreadPort crashedThread, const void* userContext);
bool RLZProcessSuspendAllOtherThreads(RLZProcess* process);
bool RLZProcessResumeAllOtherThreads(RLZProcess* process);
bool RLZProcessGetThreadState(const RLZProcess* process, platform::mach::ThreadPort thread, RLZThreadContext* context);
bool RLZProcessRecordAllThreads(RLZProcess* process, RLZFile* file);
void RLZProcessRecordRuntimeInfo(RLZProcess* process, RLZFile* file);
void RLZProcessRecordDispatchQueueNames(RLZProcess* process, RLZFile* file);
void RLZProcessRecordThreadNames(RLZProcess* process, RLZFile* file);
void RLZProcessRecordStats(RLZProcess* process, RLZFile* file);
void RLZHostRecordStorage(RLZFile* file);
bool RLZProcessDebuggerAttached();
// Whether two thread names are one thread (equal above the low 8 bits).
bool RLZProcessIsSameThread(platform::mach::ThreadPort a, platform::mach::ThreadPort b);
