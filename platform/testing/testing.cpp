#include "platform/testing/testing.h"

#include <atomic>
#include <chrono>

#include "platform/dispatch/main_thread.h"
#include "platform/dispatch/queue_impl.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/runloop/virtual_time.h"

namespace platform::testing {

void becomeMainThread() { detail::designateMainThread(); }

std::shared_ptr<ManualClock> useManualClock(Date start) {
  auto clock = std::make_shared<ManualClock>(start);
  Clock::setCurrent(clock);
  detail::resetVirtualTime();
  return clock;
}

std::shared_ptr<ManualClock> manualClock() { return std::dynamic_pointer_cast<ManualClock>(Clock::currentShared()); }

void runUntilIdle() { detail::settle(); }

void advance(double seconds) { detail::advanceVirtualTime(seconds); }

bool runUntilIdleWithin(double limitSeconds) { return detail::settleWithin(limitSeconds); }

bool advanceWithin(double seconds, double limitSeconds) { return detail::advanceVirtualTimeWithin(seconds, limitSeconds); }

bool runUntilIdleWaitingAtMost(double waitSeconds) { return detail::settleWaitingAtMost(waitSeconds); }

bool advanceWaitingAtMost(double seconds, double waitSeconds) {
  return detail::advanceVirtualTimeWaitingAtMost(seconds, waitSeconds);
}

bool runUntilIdlePaced(double waitSeconds) { return detail::settlePaced(waitSeconds); }

double advancePaced(double seconds, double waitSeconds) { return detail::advanceVirtualTimePaced(seconds, waitSeconds); }

void drain(const std::shared_ptr<DispatchQueue>& queue) {
  using namespace std::chrono;
  auto impl = detail::implOf(queue);
  if (!impl) return;
  if (impl->isSuspended()) {
    throw Exception(std::string(kInternalInconsistencyException),
                    format("drain of queue \"%s\", which is suspended, would never end", impl->label()));
  }
  const bool onMain = DispatchQueue::isMainThread();
  if (impl->isMain() && !onMain) {
    throw Exception(std::string(kInternalInconsistencyException), "drain of the main queue must run on the main thread");
  }
  // Both ways of knowing the end ring the main waker, which any thread may sleep on.
  std::function<bool()> done;
  if (impl->isGlobal()) {
    // Global queues have no barriers: wait until this one has nothing left.
    done = [impl] { return impl->isIdle(); };
  } else {
    auto reached = std::make_shared<std::atomic<bool>>(false);
    impl->barrierAsync([reached] {
      reached->store(true);
      detail::mainWaker().notify();
    });
    done = [reached] { return reached->load(); };
  }
  const auto started = steady_clock::now();
  for (;;) {
    const auto seen = detail::mainWaker().generation();
    if (done()) return;
    if (onMain && detail::drainMainQueue()) continue;
    const double waited = duration<double>(steady_clock::now() - started).count();
    if (waited >= detail::kSettleLimitSeconds) {
      throw Exception(std::string(kInternalInconsistencyException),
                      format("drain of queue \"%s\" did not finish within %g seconds of real time", impl->label(),
                             detail::kSettleLimitSeconds));
    }
    detail::mainWaker().waitFor(seen, 0.25);
  }
}

}  // namespace platform::testing
