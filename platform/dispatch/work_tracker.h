// Work in flight that "idle" waits for (platform::testing::runUntilIdle and advance). Dispatch
// queues count themselves while they hold or run blocks. A facility that works off the queues (a
// transfer on a thread of its own) holds a PendingWork until its result has been handed to a
// queue, so that a test does not see the system idle while the result is still on its way.
#pragma once

namespace platform {

namespace WorkTracker {
void begin();
void end();
// Queues busy plus pending work held; 0 when nothing off the main thread is left to run.
long outstanding();
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

}  // namespace platform
