// Threads of this task as the crash reporter's capture sees them: their list, suspension and
// register state. Thread "ports" are kernel thread ids shifted left by 8, so two names of one
// thread agree above the low 8 bits. Suspension is one real-time signal: the target saves its
// registers into a preallocated slot and waits on a futex until resumed. Everything after
// installThreadSuspendSignal is async-signal-safe and allocation-free.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace platform::mach {

using ThreadPort = uint32_t;

inline constexpr int kKernSuccess = 0;
inline constexpr int kKernFailure = 5;
inline constexpr int kMachSendInvalidDest = 0x10000003;
inline constexpr size_t kMaxTaskThreads = 1024;
inline constexpr int kGeneralRegisterCount = 23;  // the machine's gregset

inline ThreadPort threadPortForTid(pid_t tid) { return static_cast<ThreadPort>(tid) << 8; }
inline pid_t tidForThreadPort(ThreadPort port) { return static_cast<pid_t>(port >> 8); }

ThreadPort threadSelf();
// This task's id (the process id).
pid_t taskSelf();

// Installs the suspension signal's handler; idempotent. False when the handler cannot be set.
bool installThreadSuspendSignal();
// Up to `capacity` thread ports in /proc/self/task order; the count, or -1.
int taskThreads(ThreadPort* out, size_t capacity);

enum class SuspendResult { suspended, gone, failed, requested };
// Waits about 250 ms for the thread to stop.
SuspendResult threadSuspend(ThreadPort thread);
// The two halves of threadSuspend, so that many threads are asked first and then stop at once
// instead of one scheduling delay after another: the request gives `requested` (or gone or
// failed), and the wait, for a requested thread only, what threadSuspend would. Threads asked
// together share one deadline, taken once after asking them, so that threads which never stop
// cost one wait in all rather than one each.
SuspendResult threadSuspendRequest(ThreadPort thread);
// The deadline (monotonic nanoseconds) for threads asked until now: about 250 ms from now.
int64_t threadSuspendDeadline();
SuspendResult threadSuspendWait(ThreadPort thread, int64_t deadline);
bool threadResume(ThreadPort thread);
// The registers a suspended thread saved: kKernSuccess, kMachSendInvalidDest for a thread that
// is gone or was never stopped, kKernFailure for anything else.
int threadGetState(ThreadPort thread, int64_t* generalRegisters, size_t count);
// The kernel's name of the thread ("comm"), at most `size` - 1 bytes; empty when unreadable.
bool threadName(ThreadPort thread, char* buffer, size_t size);

}  // namespace platform::mach
