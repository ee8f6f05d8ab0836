#include "platform/runloop/virtual_time.h"

#include <algorithm>
#include <chrono>

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

void requireMainThread(const char* what) {
  if (!hasMainThread()) designateMainThread();
  if (!DispatchQueue::isMainThread()) {
    throw Exception(std::string(kInternalInconsistencyException),
                    format("%s must be called on the main thread", what));
  }
}

}  // namespace

void settle() {
  using namespace std::chrono;
  requireMainThread("runUntilIdle");
  RunLoopImpl& loop = mainRunLoop();
  const auto started = steady_clock::now();
  for (;;) {
    const auto seen = mainWaker().generation();
    if (loop.processOnce()) continue;
    const long outstanding = WorkTracker::outstanding();
    if (outstanding == 0 && !loop.hasWork()) {
      // Idle now; timed work already due goes next, one item at a time, so that each item's
      // consequences settle before a later one fires.
      Clock& clock = Clock::current();
      if (!clock.isManual()) return;
      auto due = Timeline::shared().takeDue(clock.uptime());
      if (!due) return;
      due->fire();
      continue;
    }
    const double waited = duration<double>(steady_clock::now() - started).count();
    if (waited >= kSettleLimitSeconds) {
      throw Exception(std::string(kInternalInconsistencyException),
                      format("runUntilIdle: still not idle after %g seconds of real time (%ld queues or work items "
                             "busy off the main thread); a block may be waiting for something that never comes",
                             kSettleLimitSeconds, outstanding));
    }
    mainWaker().waitFor(seen, std::min(0.25, kSettleLimitSeconds - waited));
  }
}

void advanceVirtualTime(double seconds) {
  requireMainThread("advance");
  auto shared = Clock::currentShared();
  auto* clock = dynamic_cast<testing::ManualClock*>(shared.get());
  if (!clock) {
    throw Exception(std::string(kInternalInconsistencyException),
                    "advance needs the manual clock (platform::testing::useManualClock)");
  }
  if (!(seconds >= 0)) {
    throw Exception(std::string(kInvalidArgumentException),
                    format("advance by %g seconds: virtual time only moves forward", seconds));
  }
  const double target = clock->uptime() + seconds;
  settle();
  while (auto due = Timeline::shared().takeDue(target)) {
    clock->setUptime(due->key.deadline);
    due->fire();
    due.reset();
    settle();
  }
  clock->setUptime(target);
  settle();
}

void resetVirtualTime() {
  Timeline::shared().reset();
  mainRunLoop().reset();
}

}  // namespace platform::detail
