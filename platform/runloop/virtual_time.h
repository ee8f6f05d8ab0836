// The driver of virtual time on the main thread: settling (running the main run loop and waiting
// for background queues until nothing is left to do now) and advancing a manual clock item by
// item along the timeline.
#pragma once

namespace platform {
class Clock;
}

namespace platform::detail {

// Real seconds after which a settle that never becomes idle gives up with an exception: a block
// waiting for what never comes, not slow work. Far above what work needs on a loaded machine (a
// thousand events through the engine's whole road take seconds on a sanitizer build, half a
// minute at a load of 40 on 8 cores).
inline constexpr double kSettleLimitSeconds = 300;

void settle();
void advanceVirtualTime(double seconds);

// As settle and advanceVirtualTime, but each settle waits for background queues up to
// `limitSeconds` of real time; one that is still busy then ends the call there, with time not
// moved past it. Whether everything ended idle; never throws for a busy queue.
bool settleWithin(double limitSeconds);
bool advanceVirtualTimeWithin(double seconds, double limitSeconds);

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

// The virtual moment of work. Virtual time may move on while a block waits in its queue (behind a
// block waiting for another process, which a paced driver does not wait for, or after a driver
// stopped waiting for busy work): the block still runs as of the moment it was queued, so that what
// it stamps is the time of what caused it, not of when the queue got to it. On a thread running
// such a block the manual clock reads no later than that moment, and work the block queues, at
// once or after a delay, belongs to the same moment (or as much later as the delay). The main
// thread, which moves time, reads the present except in a block that such late work queued there.
struct WorkMoment {
  const Clock* clock = nullptr;  // null: a real clock, which has no moments to keep
  double uptime = 0;
  bool ofWork = false;  // the moment of a block the queueing thread runs, not the present
};
// The moment of work queued now from the calling thread.
WorkMoment workMomentNow();
// The calling thread runs as of `moment` for the scope (the main thread only for a moment of work).
class AtWorkMoment {
 public:
  explicit AtWorkMoment(const WorkMoment& moment);
  ~AtWorkMoment();
  AtWorkMoment(const AtWorkMoment&) = delete;
  AtWorkMoment& operator=(const AtWorkMoment&) = delete;

 private:
  WorkMoment previous_;
  bool set_ = false;
};
// The uptime the manual clock `clock`, at `present`, reads on the calling thread.
double uptimeAsOfWork(const Clock& clock, double present);
// After the calling thread slept `seconds` on the clock: its moment, if it keeps one, moves on by as much.
void moveWorkMoment(double seconds);

}  // namespace platform::detail
