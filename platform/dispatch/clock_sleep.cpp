#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/work_tracker.h"
#include "platform/runloop/clock.h"

namespace platform {

void sleepOnClock(double seconds) {
  if (!(seconds > 0)) return;
  auto awake = std::make_shared<DispatchSemaphore>(0);
  // Off the books while asleep; the timer's block puts the sleeper back before it wakes it, so
  // there is no moment in which the system looks idle while the sleeper is about to run on.
  // The timer is in place before the sleeper leaves the books, so whoever sees the system idle
  // also sees the timer that ends the sleep.
  const bool tracked = Clock::current().isManual();
  DispatchQueue::global()->after(seconds, [awake, tracked] {
    if (tracked) WorkTracker::begin();
    awake->signal();
  });
  if (tracked) WorkTracker::end();
  awake->wait();
}

}  // namespace platform
