#include "platform/dispatch/main_thread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/dispatch/dispatch_queue.h"

namespace platform {

namespace {
std::atomic<std::thread::id> g_mainThread{};
}

bool DispatchQueue::isMainThread() {
  const auto id = g_mainThread.load(std::memory_order_acquire);
  return id != std::thread::id() && id == std::this_thread::get_id();
}

namespace detail {

void designateMainThread() { g_mainThread.store(std::this_thread::get_id(), std::memory_order_release); }

void designateMainThreadIfUnset() {
  std::thread::id none;
  g_mainThread.compare_exchange_strong(none, std::this_thread::get_id(), std::memory_order_acq_rel);
}

bool hasMainThread() { return g_mainThread.load(std::memory_order_acquire) != std::thread::id(); }

void Waker::notify() {
  generation_.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
  {
    // Taken so that a sleeper between its check and its wait cannot miss the ring.
    MutexLock lock(mutex_);
  }
  changed_.notify_all();
}

void Waker::waitFor(std::uint64_t seen, double seconds) {
  if (!(seconds > 0)) return;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(std::min(seconds, 3600.0)));
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  {
    MutexLock lock(mutex_);
    while (generation_.load(std::memory_order_seq_cst) == seen) {
      if (!changed_.waitUntil(lock, deadline)) break;
    }
  }
  sleepers_.fetch_sub(1, std::memory_order_seq_cst);
}

void Waker::wait(std::uint64_t seen) {
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  {
    MutexLock lock(mutex_);
    while (generation_.load(std::memory_order_seq_cst) == seen) changed_.wait(lock);
  }
  sleepers_.fetch_sub(1, std::memory_order_seq_cst);
}

Waker& mainWaker() {
  static Waker* waker = new Waker;
  return *waker;
}

bool waitDrainingMainQueue(const std::function<bool()>& done, double timeoutSeconds) {
  using namespace std::chrono;
  const auto started = steady_clock::now();
  for (;;) {
    const auto seen = mainWaker().generation();
    if (done()) return true;
    if (drainMainQueue()) continue;
    const double remaining = timeoutSeconds - duration<double>(steady_clock::now() - started).count();
    if (remaining <= 0) return done();
    mainWaker().waitFor(seen, std::min(remaining, 1.0));
  }
}

}  // namespace detail
}  // namespace platform
