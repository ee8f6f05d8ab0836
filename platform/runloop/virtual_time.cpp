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
  // Waits for all of it; at the deadline, stops there (an advance moves time no further).
  untilIdleOrStop,
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

bool stopsAtDeadline(Waiting waiting) { return waiting == Waiting::paced || waiting == Waiting::untilIdleOrStop; }

// Whether each settle of an advance has a deadline of its own (else they share one).
bool limitsEachSettle(Waiting waiting) { return waiting == Waiting::untilIdle || waiting == Waiting::untilIdleOrStop; }

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
    if (goOnAlone || (stopsAtDeadline(waiting) && now >= deadline)) return busy == 0;
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
  double seconds;  // all that was asked unless a settle that stops at its deadline stopped it
  bool idle;       // whether the last settle ended with the work it waits for idle
};

// Moves the manual clock on by up to `seconds`, firing what falls due in order and settling after
// each. Each settle waits up to `waitSeconds`, or all of them together, as `waiting` says.
Advanced advanceUntil(double seconds, double waitSeconds, Waiting waiting) {
  const auto shared = requireManualClock(seconds);
  testing::ManualClock& clock = *shared;
  const bool stops = stopsAtDeadline(waiting);
  const auto together = deadlineAfter(std::max(waitSeconds, 0.0));
  auto limit = [&] { return limitsEachSettle(waiting) ? deadlineAfter(waitSeconds) : together; };
  const double start = clock.uptime();
  const double target = start + seconds;
  if (!settleUntil(limit(), waiting) && stops) return {0, false};
  while (auto due = Timeline::shared().takeDue(target)) {
    clock.setUptime(due->key.deadline);
    due->fire();
    due.reset();
    if (!settleUntil(limit(), waiting) && stops) return {clock.uptime() - start, false};
  }
  clock.setUptime(target);
  return {seconds, settleUntil(limit(), waiting)};
}

}  // namespace

void settle() {
  requireMainThread("runUntilIdle");
  settleUntil(deadlineAfter(kSettleLimitSeconds), Waiting::untilIdle);
}

void advanceVirtualTime(double seconds) { advanceUntil(seconds, kSettleLimitSeconds, Waiting::untilIdle); }

bool settleWithin(double limitSeconds) {
  requireMainThread("runUntilIdle");
  return settleUntil(deadlineAfter(std::max(limitSeconds, 0.0)), Waiting::untilIdleOrStop);
}

bool advanceVirtualTimeWithin(double seconds, double limitSeconds) {
  return advanceUntil(seconds, limitSeconds, Waiting::untilIdleOrStop).idle;
}

bool settleWaitingAtMost(double waitSeconds) {
  requireMainThread("runUntilIdle");
  return settleUntil(deadlineAfter(std::max(waitSeconds, 0.0)), Waiting::boundedThenAlone);
}

bool advanceVirtualTimeWaitingAtMost(double seconds, double waitSeconds) {
  return advanceUntil(seconds, waitSeconds, Waiting::boundedThenAlone).idle;
}

bool settlePaced(double waitSeconds) {
  requireMainThread("runUntilIdle");
  return settleUntil(deadlineAfter(std::max(waitSeconds, 0.0)), Waiting::paced);
}

double advanceVirtualTimePaced(double seconds, double waitSeconds) {
  return advanceUntil(seconds, waitSeconds, Waiting::paced).seconds;
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
