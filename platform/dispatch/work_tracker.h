// Work in flight that "idle" waits for (platform::testing::runUntilIdle and advance). Dispatch
// queues count themselves while they hold or run blocks. A facility that works off the queues (a
// transfer on a thread of its own) holds a PendingWork until its result has been handed to a
// queue, so that a test does not see the system idle while the result is still on its way.
//
// Work that waits for something outside the process (a file lock another process holds, a
// server's answer) says so with WaitingOutside: a driver that must keep pace with the user (the
// interactive front end) waits for the process's own work only, while tests and scripts still
// wait for all of it.
#pragma once

namespace platform {

namespace WorkTracker {
void begin();
void end();
// Queues busy plus pending work held; 0 when nothing off the main thread is left to run.
long outstanding();
// Of that, what is not waiting for something outside the process.
long ownOutstanding();
}  // namespace WorkTracker

class PendingWork {
 public:
  PendingWork() { WorkTracker::begin(); }
  ~PendingWork() { finish(); }
  PendingWork(PendingWork&& other) noexcept : active_(other.active_) { other.active_ = false; }
  PendingWork& operator=(PendingWork&& other) noexcept {
    if (this != &other) {
      finish();
      active_ = other.active_;
      other.active_ = false;
    }
    return *this;
  }
  PendingWork(const PendingWork&) = delete;
  PendingWork& operator=(const PendingWork&) = delete;

  void finish() {
    if (active_) {
      active_ = false;
      WorkTracker::end();
    }
  }

 private:
  bool active_ = true;
};

// While alive, the calling thread's work waits for another process or a server: the queues whose
// blocks it runs (nested, and a transfer's own thread) count as waiting outside for the scope.
class WaitingOutside {
 public:
  WaitingOutside();
  ~WaitingOutside();
  WaitingOutside(const WaitingOutside&) = delete;
  WaitingOutside& operator=(const WaitingOutside&) = delete;

 private:
  long counts_;
};

// Marks the calling thread as running work counted on its own (a transfer holding a PendingWork),
// for WaitingOutside to count as well.
class RunningPendingWork {
 public:
  RunningPendingWork();
  ~RunningPendingWork();
  RunningPendingWork(const RunningPendingWork&) = delete;
  RunningPendingWork& operator=(const RunningPendingWork&) = delete;
};

}  // namespace platform
