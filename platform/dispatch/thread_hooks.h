// Two small facilities the crash reporter needs from the worker threads: a hook every pool
// thread runs before its first block (for per-thread set-up such as an alternate signal stack),
// and a lock-free table from thread to the label of the queue it is running, readable from a
// signal handler.
#pragma once

#include <sys/types.h>

namespace platform::dispatch {

using ThreadStartHook = void (*)();
// Runs on every pool thread before its next block, including threads started earlier.
void setWorkerStartHook(ThreadStartHook hook);

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
