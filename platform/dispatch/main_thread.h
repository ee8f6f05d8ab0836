// The designated main thread and the means to wake it: the main run loop, runUntilIdle and waits
// on the main thread all sleep on one waker that every event of interest to them rings.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/foundation/thread_safety.h"

namespace platform::detail {

void designateMainThread();
// The first thread to touch the main run loop becomes the main thread unless one was designated.
void designateMainThreadIfUnset();
bool hasMainThread();

// A generation counter that sleepers compare against, so that a ring between reading the
// generation and going to sleep is never lost. A ring with nobody asleep costs one atomic add.
class Waker {
 public:
  std::uint64_t generation() const { return generation_.load(std::memory_order_seq_cst); }
  void notify();
  // Returns when the generation differs from `seen` or `seconds` (real time) have passed.
  void waitFor(std::uint64_t seen, double seconds);
  void wait(std::uint64_t seen);

 private:
  Mutex mutex_;
  ConditionVariable changed_;
  // Both sequentially consistent: a ringer that sees no sleeper is one whose new generation
  // every later sleeper sees before it sleeps.
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<int> sleepers_{0};
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
