#include "platform/runloop/clock.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "platform/foundation/thread_safety.h"
#include "platform/runloop/timeline.h"

namespace platform {

namespace {

struct ClockSlot {
  ClockSlot() : current(std::make_shared<RealClock>()), fast(current.get()) {}

  Mutex mutex;
  std::shared_ptr<Clock> current GUARDED_BY(mutex);
  // Clock::current() hands out references, so a clock that was ever installed stays alive: a
  // reader on another thread may still hold the previous one while a test installs the next.
  std::vector<std::shared_ptr<Clock>> retired GUARDED_BY(mutex);
  std::atomic<Clock*> fast{nullptr};
};

ClockSlot& slot() {
  static ClockSlot* s = new ClockSlot;
  return *s;
}

}  // namespace

Clock& Clock::current() { return *slot().fast.load(std::memory_order_acquire); }

std::shared_ptr<Clock> Clock::currentShared() {
  auto& s = slot();
  MutexLock lock(s.mutex);
  return s.current;
}

void Clock::setCurrent(std::shared_ptr<Clock> clock) {
  if (!clock) clock = std::make_shared<RealClock>();
  auto& s = slot();
  {
    MutexLock lock(s.mutex);
    s.retired.push_back(s.current);
    s.current = clock;
    s.fast.store(clock.get(), std::memory_order_release);
  }
  detail::Timeline::shared().clockChanged();
}

Date RealClock::now() const {
  using namespace std::chrono;
  const auto since = system_clock::now().time_since_epoch();
  return Date::fromTimeIntervalSince1970(duration<double>(since).count());
}

double RealClock::uptime() const {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double RealClock::secondsSinceBoot() const {
  timespec since{};
  if (clock_gettime(CLOCK_BOOTTIME, &since) != 0) return -1;
  // Microsecond resolution, as the kernel's boot time is given.
  return static_cast<double>(since.tv_sec) + static_cast<double>(since.tv_nsec / 1000) / 1e6;
}

Date Date::now() { return Clock::current().now(); }

double Date::timeIntervalSinceNow() const { return timeIntervalSince(Clock::current().now()); }

}  // namespace platform
