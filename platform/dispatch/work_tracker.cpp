#include "platform/dispatch/work_tracker.h"

#include <atomic>

#include "platform/dispatch/main_thread.h"

namespace platform::WorkTracker {

namespace {
std::atomic<long> g_outstanding{0};
}

void begin() { g_outstanding.fetch_add(1, std::memory_order_relaxed); }

void end() {
  // Release: whatever the finished work handed to the main queue is visible to the main thread
  // once it reads the count that includes this end.
  if (g_outstanding.fetch_sub(1, std::memory_order_acq_rel) == 1) detail::mainWaker().notify();
}

long outstanding() { return g_outstanding.load(std::memory_order_acquire); }

}  // namespace platform::WorkTracker
