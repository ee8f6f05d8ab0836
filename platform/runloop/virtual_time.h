// The driver of virtual time on the main thread: settling (running the main run loop and waiting
// for background queues until nothing is left to do now) and advancing a manual clock item by
// item along the timeline.
#pragma once

namespace platform::detail {

// Real seconds after which a settle that never becomes idle gives up with an exception.
inline constexpr double kSettleLimitSeconds = 30;

void settle();
void advanceVirtualTime(double seconds);

// As settle and advanceVirtualTime, but waiting for background queues at most `waitSeconds` of
// real time in all. Past that, main-thread work and timed work that falls due still run in order;
// only the busy queues are no longer waited for. For a main thread that must stay responsive
// whatever a background queue does (the front end of a UI). Whether everything ended idle; never
// throws for a busy queue.
bool settleWaitingAtMost(double waitSeconds);
bool advanceVirtualTimeWaitingAtMost(double seconds, double waitSeconds);

// For a front end that keeps pace with a user: waits for the process's own background work at most
// `waitSeconds` of real time, never for work waiting on another process or a server (see
// WaitingOutside), and never runs virtual time ahead of own work still running: timed work falls
// due only while it is idle. settlePaced answers whether own work ended idle; advanceVirtualTimePaced
// the virtual seconds it moved, fewer than asked when own work was still running at the deadline
// (the rest is the caller's to move later).
bool settlePaced(double waitSeconds);
double advanceVirtualTimePaced(double seconds, double waitSeconds);

// A fresh timeline and main run loop for a new test.
void resetVirtualTime();

}  // namespace platform::detail
