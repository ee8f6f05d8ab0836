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

std::uint64_t Waker::generation() const {
  std::lock_guard lock(mutex_);
  return generation_;
}

void Waker::notify() {
  {
    std::lock_guard lock(mutex_);
    ++generation_;
  }
  changed_.notify_all();
}

void Waker::waitFor(std::uint64_t seen, double seconds) {
  if (!(seconds > 0)) return;
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::duration<double>(std::min(seconds, 3600.0)),
                    [&] { return generation_ != seen; });
}

void Waker::wait(std::uint64_t seen) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return generation_ != seen; });
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
