// The designated main thread and the means to wake it: the main run loop, runUntilIdle and waits
// on the main thread all sleep on one waker that every event of interest to them rings.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace platform::detail {

void designateMainThread();
// The first thread to touch the main run loop becomes the main thread unless one was designated.
void designateMainThreadIfUnset();
bool hasMainThread();

// A generation counter that sleepers compare against, so that a ring between reading the
// generation and going to sleep is never lost.
class Waker {
 public:
  std::uint64_t generation() const;
  void notify();
  // Returns when the generation differs from `seen` or `seconds` (real time) have passed.
  void waitFor(std::uint64_t seen, double seconds);
  void wait(std::uint64_t seen);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t generation_ = 0;
};

Waker& mainWaker();

// On the main thread: runs the main queue's blocks that are waiting now; true when any ran.
bool drainMainQueue();
bool mainQueueHasWork();

// On the main thread: waits until `done()` holds, running the main queue meanwhile so that work
// the wait depends on can run there. Whatever makes `done()` true must ring mainWaker().
// False when `timeoutSeconds` of real time passed first.
bool waitDrainingMainQueue(const std::function<bool()>& done, double timeoutSeconds);

}  // namespace platform::detail
