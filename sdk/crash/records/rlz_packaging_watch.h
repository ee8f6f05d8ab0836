// A report's packaging under watch: while the launch side packages a report, a fatal crash of the
// packaging thread writes one byte into that report's failure log. The next launch then counts
// the crash as a failed attempt at the report, while an outside kill (which runs no handler)
// writes nothing and costs the report nothing. Crash-time code reads the watch.
#pragma once

#include "platform/mach/thread_state.h"

// Launch side: the failure log's descriptor (open for appending) and the packaging thread. One
// report is packaged at a time (on the launch's work queue); a later watch replaces an earlier.
void RLZPackagingWatchBegin(int failureLogFd, platform::mach::ThreadPort packagingThread);
// Launch side: the watch of this descriptor ends (a later watch stays); the caller closes the
// descriptor afterwards.
void RLZPackagingWatchEnd(int failureLogFd);
// Crash time, on every fatal path: one byte into the failure log when the crashed thread is the
// packaging thread. Async-signal-safe.
void RLZPackagingWatchNoteFatalCrash(platform::mach::ThreadPort crashedThread);
