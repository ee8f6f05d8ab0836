#include "platform/dispatch/work_tracker.h"

#include <atomic>
#include <cstdint>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/main_thread.h"
#include "platform/dispatch/queue_impl.h"

namespace platform::WorkTracker {

namespace {
// Both counts in one word, so that a reader never pairs one count with a stale other: the work
// outstanding in the low half, the part of it waiting outside the process in the high half.
constexpr std::uint64_t kOutside = std::uint64_t{1} << 32;
std::atomic<std::uint64_t> g_counts{0};

long allOf(std::uint64_t counts) { return static_cast<long>(counts & (kOutside - 1)); }
long ownOf(std::uint64_t counts) {
  const long own = allOf(counts) - static_cast<long>(counts >> 32);
  return own > 0 ? own : 0;
}

void enterOutsideWait(long counts) {
  const std::uint64_t add = kOutside * static_cast<std::uint64_t>(counts);
  if (ownOf(g_counts.fetch_add(add, std::memory_order_acq_rel) + add) == 0) detail::mainWaker().notify();
}

void leaveOutsideWait(long counts) {
  g_counts.fetch_sub(kOutside * static_cast<std::uint64_t>(counts), std::memory_order_acq_rel);
}
}  // namespace

void begin() { g_counts.fetch_add(1, std::memory_order_relaxed); }

void end() {
  // Release: whatever the finished work handed to the main queue is visible to the main thread
  // once it reads the count that includes this end.
  const std::uint64_t after = g_counts.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (allOf(after) == 0 || ownOf(after) == 0) detail::mainWaker().notify();
}

long outstanding() { return allOf(g_counts.load(std::memory_order_acquire)); }

long ownOutstanding() { return ownOf(g_counts.load(std::memory_order_acquire)); }

}  // namespace platform::WorkTracker

namespace platform {

namespace {
thread_local long t_pendingWorkRunning = 0;
}

RunningPendingWork::RunningPendingWork() { ++t_pendingWorkRunning; }
RunningPendingWork::~RunningPendingWork() { --t_pendingWorkRunning; }

WaitingOutside::WaitingOutside()
    : counts_(DispatchQueue::isMainThread() ? 0 : detail::queuesRunningOnThisThread() + t_pendingWorkRunning) {
  if (counts_ > 0) WorkTracker::enterOutsideWait(counts_);
}

WaitingOutside::~WaitingOutside() {
  if (counts_ > 0) WorkTracker::leaveOutsideWait(counts_);
}

}  // namespace platform
