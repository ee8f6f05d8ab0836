#include "platform/foundation/trace.h"

#include <algorithm>
#include <deque>
#include <map>
#include <memory>

#include "platform/foundation/thread_safety.h"

namespace platform::Trace {

namespace {

// Enough for any test or demo session; older effects are dropped first.
constexpr std::size_t kCapacity = 10'000;

struct TraceState {
  Mutex mutex;
  std::deque<TraceEvent> events GUARDED_BY(mutex);
  std::uint64_t recorded GUARDED_BY(mutex) = 0;
  int nextObserver GUARDED_BY(mutex) = 1;
  std::map<int, std::shared_ptr<std::function<void(const TraceEvent&)>>> observers GUARDED_BY(mutex);
};

TraceState& state() {
  static auto* s = new TraceState;
  return *s;
}

}  // namespace

void record(std::string kind, std::string detail) {
  TraceState& s = state();
  TraceEvent event{Date::now(), std::move(kind), std::move(detail)};
  std::vector<std::shared_ptr<std::function<void(const TraceEvent&)>>> observers;
  {
    MutexLock lock(s.mutex);
    s.events.push_back(event);
    ++s.recorded;
    if (s.events.size() > kCapacity) s.events.pop_front();
    for (auto& [id, observer] : s.observers) observers.push_back(observer);
  }
  for (auto& observer : observers) (*observer)(event);
}

std::vector<TraceEvent> events() {
  TraceState& s = state();
  MutexLock lock(s.mutex);
  return {s.events.begin(), s.events.end()};
}

std::uint64_t recordedCount() {
  TraceState& s = state();
  MutexLock lock(s.mutex);
  return s.recorded;
}

std::vector<TraceEvent> eventsSince(std::uint64_t mark) {
  TraceState& s = state();
  MutexLock lock(s.mutex);
  const std::uint64_t firstKept = s.recorded - s.events.size();
  const auto skipped = static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(mark > firstKept ? mark - firstKept : 0,
                                                                           s.events.size()));
  return {s.events.begin() + skipped, s.events.end()};
}

std::vector<TraceEvent> eventsOfKind(std::string_view kind) {
  TraceState& s = state();
  MutexLock lock(s.mutex);
  std::vector<TraceEvent> result;
  for (const auto& event : s.events) {
    if (event.kind == kind) result.push_back(event);
  }
  return result;
}

void clear() {
  TraceState& s = state();
  MutexLock lock(s.mutex);
  s.events.clear();
}

int addObserver(std::function<void(const TraceEvent&)> observer) {
  TraceState& s = state();
  MutexLock lock(s.mutex);
  int id = s.nextObserver++;
  s.observers.emplace(id, std::make_shared<std::function<void(const TraceEvent&)>>(std::move(observer)));
  return id;
}

void removeObserver(int id) {
  TraceState& s = state();
  MutexLock lock(s.mutex);
  s.observers.erase(id);
}

}  // namespace platform::Trace
