// Two small facilities the crash reporter needs from threads: a hook every thread runs as it
// starts (for per-thread set-up such as an alternate signal stack), and a lock-free table from
// thread to the label of the queue it is running, readable from a signal handler.
#pragma once

#include <sys/types.h>

namespace platform::dispatch {

using ThreadStartHook = void (*)();
// Runs on every thread started from now on, before its own code (pthread_create is interposed,
// so plain std::thread and pthread threads are included), and on every pool thread started
// earlier before its next block. Null removes it. The hook may run more than once on a thread.
void setThreadStartHook(ThreadStartHook hook);

// The label of the queue the thread is running now, or null. The pointer may dangle once the
// queue is gone: read it with a fault-proof reader.
const char* queueLabelForThread(pid_t tid);

namespace detail {
// Called by the pool before each block.
void prepareWorkerThread();
// Called by queues as a block starts and ends on this thread (null when none runs).
void setCurrentQueueLabel(const char* label);
}  // namespace detail

}  // namespace platform::dispatch
