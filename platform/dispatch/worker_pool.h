// The one pool of worker threads under every queue. As many workers run as there are CPUs; a
// worker blocked in a sync or a wait does not count, so the pool starts another for waiting work
// (up to a high cap), and blocked workers never starve it. Idle workers retire after a while.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>

#include "platform/foundation/thread_safety.h"

namespace platform::detail {

// What a work item belongs to, when it needs more than running: it runs the item (and does its
// own accounting around it). Owners outlive every item they submit.
class WorkOwner {
 public:
  virtual void runWork(std::function<void()>& work) = 0;

 protected:
  ~WorkOwner() = default;
};

class WorkerPool {
 public:
  // Only blocked workers take the pool past the CPU count.
  static constexpr int kMaxThreads = 512;

  static WorkerPool& shared();
  // Workers that run at once when none is blocked: the CPU count.
  static int width();
  void push(std::function<void()> work, WorkOwner* owner = nullptr);

  // Marks the calling thread, when it is a worker, as blocked for the scope.
  class Blocking {
   public:
    Blocking();
    ~Blocking();
    Blocking(const Blocking&) = delete;
    Blocking& operator=(const Blocking&) = delete;

   private:
    bool counted_;
  };

 private:
  struct Item {
    std::function<void()> work;
    WorkOwner* owner;
  };

  WorkerPool() = default;
  void workerMain();
  // Nothing on a worker's stack catches what a block throws: finding no handler, the runtime
  // calls the terminate handler (a crash reporter's, say) before unwinding anything, with the
  // exception current and the frames that threw it still on the stack. A catch here, or a
  // noexcept frame (some compilers unwind up to it first), would lose those frames.
  static void runUncaught(Item& item);
  // Whether waiting work needs one more thread; counts it as started.
  bool needsThreadLocked() REQUIRES(mutex_);
  // Rings one sleeper when items wait that no awake worker will take soon.
  bool shouldRingLocked() REQUIRES(mutex_);
  void spawn();

  Mutex mutex_;
  ConditionVariable wake_;
  std::deque<Item> items_ GUARDED_BY(mutex_);
  int threads_ GUARDED_BY(mutex_) = 0;
  int idle_ GUARDED_BY(mutex_) = 0;
  // Sleepers already rung but not yet awake: they will take items without another ring.
  int waking_ GUARDED_BY(mutex_) = 0;
  // Workers looking for work for a moment before they sleep: a burst of items reaches them
  // without a ring. Read without the lock as a hint; `queued_` mirrors the item count for them.
  std::atomic<int> spinning_{0};
  std::atomic<std::size_t> queued_{0};
  int blocked_ GUARDED_BY(mutex_) = 0;
};

}  // namespace platform::detail
