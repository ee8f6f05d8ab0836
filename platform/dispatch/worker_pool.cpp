#include "platform/dispatch/worker_pool.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "platform/dispatch/thread_hooks.h"

namespace platform::detail {

namespace {
constexpr auto kIdleRetire = std::chrono::seconds(10);
constexpr auto kSpin = std::chrono::microseconds(50);
thread_local bool t_isWorker = false;
}

WorkerPool& WorkerPool::shared() {
  // Never destroyed: detached workers may still wait on it while the process exits.
  static WorkerPool* pool = new WorkerPool;
  return *pool;
}

int WorkerPool::width() {
  static const int n = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
  return n;
}

bool WorkerPool::needsThreadLocked() {
  // Sleeping workers take waiting items first; beyond them, a thread only while fewer than the
  // CPU count run unblocked.
  const auto sleeping = static_cast<std::size_t>(idle_);
  if (items_.size() <= sleeping || threads_ >= kMaxThreads) return false;
  if (threads_ - idle_ - blocked_ >= width()) return false;
  ++threads_;
  return true;
}

bool WorkerPool::shouldRingLocked() {
  // Only a sleeper needs a ring, and only when no worker is about to look and the ones already
  // rung are fewer than the items: busy workers come back for items by themselves.
  const auto rung = static_cast<std::size_t>(waking_);
  if (idle_ <= waking_ || items_.size() <= rung || spinning_.load(std::memory_order_acquire) > 0) return false;
  ++waking_;
  return true;
}

void WorkerPool::spawn() {
  try {
    std::thread([this] { workerMain(); }).detach();
  } catch (const std::system_error& e) {
    MutexLock lock(mutex_);
    --threads_;
    if (threads_ == 0) {
      std::fprintf(stderr, "dispatch: cannot start a worker thread (%s); queued work can never run\n", e.what());
      std::abort();
    }
  }
}

void WorkerPool::push(std::function<void()> work, WorkOwner* owner) {
  bool start = false;
  bool wake = false;
  {
    MutexLock lock(mutex_);
    items_.push_back(Item{std::move(work), owner});
    queued_.store(items_.size(), std::memory_order_release);
    wake = shouldRingLocked();
    start = !wake && needsThreadLocked();
  }
  if (wake) wake_.notify_one();
  if (start) spawn();
}

void WorkerPool::runUncaught(Item& item) {
  if (item.owner) {
    item.owner->runWork(item.work);
  } else {
    item.work();
  }
}

void WorkerPool::workerMain() {
  t_isWorker = true;
  MutexLock lock(mutex_);
  for (;;) {
    if (!items_.empty()) {
      Item item = std::move(items_.front());
      items_.pop_front();
      queued_.store(items_.size(), std::memory_order_release);
      // More waiting: pass the wake-up on, so that a burst spreads over the sleepers.
      const bool ring = !items_.empty() && shouldRingLocked();
      lock.unlock();
      if (ring) wake_.notify_one();
      dispatch::detail::prepareWorkerThread();
      runUncaught(item);
      item.work = nullptr;
      lock.lock();
      continue;
    }
    // A moment of looking before sleeping: the next item of a burst is usually that close.
    spinning_.fetch_add(1, std::memory_order_acq_rel);
    lock.unlock();
    const auto spinUntil = std::chrono::steady_clock::now() + kSpin;
    while (queued_.load(std::memory_order_acquire) == 0 && std::chrono::steady_clock::now() < spinUntil) {
      std::this_thread::yield();
    }
    lock.lock();
    spinning_.fetch_sub(1, std::memory_order_acq_rel);
    if (!items_.empty()) continue;
    ++idle_;
    const auto deadline = std::chrono::steady_clock::now() + kIdleRetire;
    bool expired = false;
    while (items_.empty() && !expired) {
      expired = !wake_.waitUntil(lock, deadline);
      // Whichever sleeper wakes, one ring less is outstanding (counting low only costs a ring).
      if (waking_ > 0) --waking_;
    }
    --idle_;
    if (items_.empty()) {
      --threads_;
      return;
    }
  }
}

WorkerPool::Blocking::Blocking() : counted_(t_isWorker) {
  if (!counted_) return;
  WorkerPool& pool = shared();
  bool start = false;
  {
    MutexLock lock(pool.mutex_);
    ++pool.blocked_;
    start = pool.needsThreadLocked();
  }
  if (start) pool.spawn();
}

WorkerPool::Blocking::~Blocking() {
  if (!counted_) return;
  WorkerPool& pool = shared();
  MutexLock lock(pool.mutex_);
  --pool.blocked_;
}

}  // namespace platform::detail
