#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/queue_impl.h"
#include "platform/dispatch/work_tracker.h"
#include "platform/runloop/clock.h"
#include "platform/runloop/virtual_time.h"

namespace platform {

void sleepOnClock(double seconds) {
  if (!(seconds > 0)) return;
  auto awake = std::make_shared<DispatchSemaphore>(0);
  // Off the books while asleep, with every queue whose block sleeps here (a queue and its targets);
  // the timer's block puts the sleeper back before it wakes it, so there is no moment in which the
  // system looks idle while the sleeper is about to run on. The timer is in place before the
  // sleeper leaves the books, so whoever sees the system idle also sees the timer that ends the
  // sleep.
  const long counts = Clock::current().isManual() ? detail::queuesRunningOnThisThread() : 0;
  DispatchQueue::global()->after(seconds, [awake, counts] {
    for (long i = 0; i < counts; ++i) WorkTracker::begin();
    awake->signal();
  });
  for (long i = 0; i < counts; ++i) WorkTracker::end();
  awake->wait();
  // The sleep began at the moment this thread runs as of, so it ends that much later.
  detail::moveWorkMoment(seconds);
}

}  // namespace platform
