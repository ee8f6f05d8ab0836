#include "platform/runloop/virtual_time.h"

#include <algorithm>
#include <chrono>
#include <utility>

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

// How a settle treats background work it is waiting for.
enum class Waiting {
  // Waits for all of it; an exception at the deadline.
  untilIdle,
  // Waits for all of it until the deadline, then the main thread goes on alone: its own work and
  // timed work already due still run.
  boundedThenAlone,
  // Waits for the process's own work until the deadline (work waiting on another process or a
  // server is not waited for) and stops there, timed work left for later: virtual time never
  // runs ahead of that work.
  paced,
};

long busyCount(Waiting waiting) {
  return waiting == Waiting::paced ? WorkTracker::ownOutstanding() : WorkTracker::outstanding();
}

// Runs the main thread's work and waits for background work until `deadline`, as `waiting` says;
// whether it ended with that work idle.
bool settleUntil(SteadyClock::time_point deadline, Waiting waiting) {
  RunLoopImpl& loop = mainRunLoop();
  for (;;) {
    const auto seen = mainWaker().generation();
    if (loop.processOnce()) continue;
    const long busy = busyCount(waiting);
    const auto now = SteadyClock::now();
    const bool goOnAlone = waiting == Waiting::boundedThenAlone && now >= deadline;
    if ((busy == 0 || goOnAlone) && !loop.hasWork()) {
      // Idle now (or done waiting); timed work already due goes next, one item at a time, so that
      // each item's consequences settle before a later one fires.
      Clock& clock = Clock::current();
      if (clock.isManual()) {
        if (auto due = Timeline::shared().takeDue(clock.uptime())) {
          due->fire();
          continue;
        }
      }
      return busy == 0;
    }
    // Work the loop reports but did not run (a race with its arrival) is the next call's.
    if (goOnAlone || (waiting == Waiting::paced && now >= deadline)) return busy == 0;
    if (now >= deadline) {
      throw Exception(std::string(kInternalInconsistencyException),
                      format("runUntilIdle: still not idle after %g seconds of real time (%ld queues or work items "
                             "busy off the main thread); a block may be waiting for something that never comes",
                             kSettleLimitSeconds, busy));
    }
    mainWaker().waitFor(seen, std::min(0.25, std::chrono::duration<double>(deadline - now).count()));
  }
}

std::shared_ptr<testing::ManualClock> requireManualClock(double seconds) {
  requireMainThread("advance");
  auto clock = std::dynamic_pointer_cast<testing::ManualClock>(Clock::currentShared());
  if (!clock) {
    throw Exception(std::string(kInternalInconsistencyException),
                    "advance needs the manual clock (platform::testing::useManualClock)");
  }
  if (!(seconds >= 0)) {
    throw Exception(std::string(kInvalidArgumentException),
                    format("advance by %g seconds: virtual time only moves forward", seconds));
  }
  return clock;
}

struct Advanced {
  double seconds;  // all that was asked unless a paced settle stopped it
  bool idle;       // whether the last settle ended with the work it waits for idle
};

// Moves the manual clock on by up to `seconds`, firing what falls due in order and settling after
// each.
Advanced advanceUntil(double seconds, SteadyClock::time_point deadline, Waiting waiting) {
  const auto shared = requireManualClock(seconds);
  testing::ManualClock& clock = *shared;
  const bool paced = waiting == Waiting::paced;
  // A settle that must become idle has its own limit each time; the others share one.
  auto limit = [&] { return waiting == Waiting::untilIdle ? deadlineAfter(kSettleLimitSeconds) : deadline; };
  const double start = clock.uptime();
  const double target = start + seconds;
  if (!settleUntil(limit(), waiting) && paced) return {0, false};
  while (auto due = Timeline::shared().takeDue(target)) {
    clock.setUptime(due->key.deadline);
    due->fire();
    due.reset();
    if (!settleUntil(limit(), waiting) && paced) return {clock.uptime() - start, false};
  }
  clock.setUptime(target);
  return {seconds, settleUntil(limit(), waiting)};
}

}  // namespace

void settle() {
  requireMainThread("runUntilIdle");
  settleUntil(deadlineAfter(kSettleLimitSeconds), Waiting::untilIdle);
}

void advanceVirtualTime(double seconds) { advanceUntil(seconds, {}, Waiting::untilIdle); }

bool settleWaitingAtMost(double waitSeconds) {
  requireMainThread("runUntilIdle");
  return settleUntil(deadlineAfter(std::max(waitSeconds, 0.0)), Waiting::boundedThenAlone);
}

bool advanceVirtualTimeWaitingAtMost(double seconds, double waitSeconds) {
  return advanceUntil(seconds, deadlineAfter(std::max(waitSeconds, 0.0)), Waiting::boundedThenAlone).idle;
}

bool settlePaced(double waitSeconds) {
  requireMainThread("runUntilIdle");
  return settleUntil(deadlineAfter(std::max(waitSeconds, 0.0)), Waiting::paced);
}

double advanceVirtualTimePaced(double seconds, double waitSeconds) {
  return advanceUntil(seconds, deadlineAfter(std::max(waitSeconds, 0.0)), Waiting::paced).seconds;
}

void resetVirtualTime() {
  Timeline::shared().reset();
  mainRunLoop().reset();
}

namespace {
thread_local WorkMoment t_moment;
}

WorkMoment workMomentNow() {
  const Clock& clock = Clock::current();
  if (!clock.isManual()) return {};
  return {&clock, clock.uptime(), t_moment.clock == &clock};
}

AtWorkMoment::AtWorkMoment(const WorkMoment& moment) {
  if (!moment.clock || (!moment.ofWork && DispatchQueue::isMainThread())) return;
  previous_ = std::exchange(t_moment, moment);
  set_ = true;
}

AtWorkMoment::~AtWorkMoment() {
  if (set_) t_moment = previous_;
}

double uptimeAsOfWork(const Clock& clock, double present) {
  return t_moment.clock == &clock ? std::min(t_moment.uptime, present) : present;
}

void moveWorkMoment(double seconds) {
  if (t_moment.clock && seconds > 0) t_moment.uptime += seconds;
}

}  // namespace platform::detail
