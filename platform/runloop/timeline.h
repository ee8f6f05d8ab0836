// The process-wide timeline of timed work, keyed on the platform clock's uptime: delayed
// dispatch, timer sources, run-loop timers and perform requests all wait here. Under a real clock
// one thread sleeps until the earliest deadline and fires what is due; under a manual clock
// nothing fires by itself and the virtual-time driver walks the items in order.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include "platform/foundation/thread_safety.h"

namespace platform::detail {

// The tick count of a repeating schedule (first + ticks * interval) moved past `now`: firings
// missed while their owner was busy or suspended collapse into the one that just happened.
inline std::uint64_t nextTickAfter(double first, double interval, std::uint64_t ticks, double now) {
  ++ticks;
  if (first + static_cast<double>(ticks) * interval <= now) {
    const double behind = (now - first) / interval + 1;
    if (behind > static_cast<double>(ticks)) ticks = static_cast<std::uint64_t>(behind);
    while (first + static_cast<double>(ticks) * interval <= now) ++ticks;
  }
  return ticks;
}

struct TimelineKey {
  double deadline = 0;
  std::uint64_t seq = 0;  // scheduling order; 0 means "not scheduled"

  bool scheduled() const { return seq != 0; }
  friend auto operator<=>(const TimelineKey&, const TimelineKey&) = default;
};

class Timeline {
 public:
  using Fire = std::function<void()>;
  struct Due {
    TimelineKey key;
    Fire fire;
  };

  static Timeline& shared();

  // `fire` must only hand work over (post to a queue, wake a run loop): it runs on the timeline
  // thread or inside the virtual-time driver, never where the work itself belongs.
  TimelineKey schedule(double deadline, Fire fire) EXCLUDES(mutex_);
  // True when the item was still waiting.
  bool cancel(TimelineKey key) EXCLUDES(mutex_);
  // The earliest item due at or before `limit`, removed from the timeline.
  std::optional<Due> takeDue(double limit) EXCLUDES(mutex_);
  // Drops every waiting item (a test starts on a fresh timeline).
  void reset() EXCLUDES(mutex_);
  // The clock was replaced: the timeline thread re-reads it.
  void clockChanged() EXCLUDES(mutex_);

 private:
  Timeline() = default;
  void startThreadLocked() REQUIRES(mutex_);
  void threadMain();

  Mutex mutex_;
  ConditionVariable wake_;
  std::map<TimelineKey, Fire> items_ GUARDED_BY(mutex_);
  std::uint64_t nextSeq_ GUARDED_BY(mutex_) = 1;
  bool threadStarted_ GUARDED_BY(mutex_) = false;
};

}  // namespace platform::detail
