#include "platform/runloop/virtual_time.h"

#include <algorithm>
#include <chrono>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/main_thread.h"
#include "platform/dispatch/work_tracker.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/runloop/manual_clock.h"
#include "platform/runloop/run_loop_impl.h"
#include "platform/runloop/timeline.h"

namespace platform::detail {

namespace {

using SteadyClock = std::chrono::steady_clock;

void requireMainThread(const char* what) {
  if (!hasMainThread()) designateMainThread();
  if (!DispatchQueue::isMainThread()) {
    throw Exception(std::string(kInternalInconsistencyException),
                    format("%s must be called on the main thread", what));
  }
}

SteadyClock::time_point deadlineAfter(double seconds) {
  return SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
}

// Runs the main thread's work and waits for background queues until `deadline`; whether it ended
// with everything idle. A caller that must see everything idle (`mustBecomeIdle`) gets an
// exception at the deadline instead; for the others the main thread then goes on alone: its own
// work and timed work already due still run.
bool settleUntil(SteadyClock::time_point deadline, bool mustBecomeIdle) {
  RunLoopImpl& loop = mainRunLoop();
  for (;;) {
    const auto seen = mainWaker().generation();
    if (loop.processOnce()) continue;
    const long outstanding = WorkTracker::outstanding();
    const auto now = SteadyClock::now();
    const bool stopWaiting = !mustBecomeIdle && now >= deadline;
    if ((outstanding == 0 || stopWaiting) && !loop.hasWork()) {
      // Idle now (or done waiting); timed work already due goes next, one item at a time, so that
      // each item's consequences settle before a later one fires.
      Clock& clock = Clock::current();
      if (clock.isManual()) {
        if (auto due = Timeline::shared().takeDue(clock.uptime())) {
          due->fire();
          continue;
        }
      }
      return outstanding == 0;
    }
    // Work the loop reports but did not run (a race with its arrival) is the next call's.
    if (stopWaiting) return outstanding == 0;
    if (now >= deadline) {
      throw Exception(std::string(kInternalInconsistencyException),
                      format("runUntilIdle: still not idle after %g seconds of real time (%ld queues or work items "
                             "busy off the main thread); a block may be waiting for something that never comes",
                             kSettleLimitSeconds, outstanding));
    }
    mainWaker().waitFor(seen, std::min(0.25, std::chrono::duration<double>(deadline - now).count()));
  }
}

bool advanceUntil(double seconds, SteadyClock::time_point deadline, bool mustBecomeIdle) {
  requireMainThread("advance");
  auto shared = Clock::currentShared();
  auto* clock = dynamic_cast<testing::ManualClock*>(shared.get());
  if (!clock) {
    throw Exception(std::string(kInternalInconsistencyException),
                    "advance needs the manual clock (platform::testing::useManualClock)");
  }
  if (!(seconds >= 0)) {
    throw Exception(std::string(kInvalidArgumentException),
                    format("advance by %g seconds: virtual time only moves forward", seconds));
  }
  // A settle that must become idle has its own limit each time; the others share one.
  auto limit = [&] { return mustBecomeIdle ? deadlineAfter(kSettleLimitSeconds) : deadline; };
  const double target = clock->uptime() + seconds;
  settleUntil(limit(), mustBecomeIdle);
  while (auto due = Timeline::shared().takeDue(target)) {
    clock->setUptime(due->key.deadline);
    due->fire();
    due.reset();
    settleUntil(limit(), mustBecomeIdle);
  }
  clock->setUptime(target);
  return settleUntil(limit(), mustBecomeIdle);
}

}  // namespace

void settle() {
  requireMainThread("runUntilIdle");
  settleUntil(deadlineAfter(kSettleLimitSeconds), true);
}

void advanceVirtualTime(double seconds) { advanceUntil(seconds, {}, true); }

bool settleWaitingAtMost(double waitSeconds) {
  requireMainThread("runUntilIdle");
  return settleUntil(deadlineAfter(std::max(waitSeconds, 0.0)), false);
}

bool advanceVirtualTimeWaitingAtMost(double seconds, double waitSeconds) {
  return advanceUntil(seconds, deadlineAfter(std::max(waitSeconds, 0.0)), false);
}

void resetVirtualTime() {
  Timeline::shared().reset();
  mainRunLoop().reset();
}

}  // namespace platform::detail
