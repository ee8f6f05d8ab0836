// The queues behind DispatchQueue. A serial queue drains its blocks as one work item on its
// target (the worker pool when it has none), so it never needs a thread of its own; a concurrent
// queue hands each block to its target separately; the main queue is drained by the main run loop.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/worker_pool.h"
#include "platform/foundation/thread_safety.h"

namespace platform::detail {

class QueueImpl : public DispatchQueue {
 public:
  QueueImpl(std::string label, std::shared_ptr<QueueImpl> target);

  const std::string& label() const override { return label_; }
  void after(double seconds, Block block) override;
  void sync(const Block& block) override;
  void barrierSync(const Block& block) override;
  bool isCurrent() const override;

  const std::shared_ptr<QueueImpl>& target() const { return target_; }
  virtual bool isSuspended() const = 0;
  virtual bool isGlobal() const { return false; }
  virtual bool isMain() const { return false; }
  // Nothing queued and nothing running.
  virtual bool isIdle() const = 0;

 protected:
  // Runs `block` at once on the calling thread as this queue's own when the queue is free for
  // it; false when the caller has to wait for its turn.
  virtual bool runInlineIfFree(const Block& block, bool barrier) = 0;
  void syncImpl(const Block& block, bool barrier);
  // A work item of this queue, handed to the target queue or to the worker pool.
  void submitToTarget(Block work);

 private:
  void checkSyncAllowed(bool barrier) const;
  void syncThroughQueue(const Block& block, bool barrier);

  std::string label_;
  std::shared_ptr<QueueImpl> target_;
};

// `block` as queued now: it runs as of the virtual moment it was queued at (see WorkMoment), however
// far a manual clock moved while it waited. `block` itself where there is no moment to keep: on a
// real clock, or for the main thread when the present queues it.
DispatchQueue::Block atMomentOfQueueing(DispatchQueue::Block block, bool forMainThread = false);

// Marks the calling thread as running blocks of `queue` for the scope (what isCurrent and
// DispatchQueue::current read).
// How many queues other than the main one the calling thread runs blocks of, nested: each holds
// one count of work in flight (WorkTracker) while it does.
long queuesRunningOnThisThread();

class QueueScope {
 public:
  explicit QueueScope(const QueueImpl* queue);
  ~QueueScope();
  QueueScope(const QueueScope&) = delete;
  QueueScope& operator=(const QueueScope&) = delete;
};

class SerialQueue final : public QueueImpl {
 public:
  SerialQueue(std::string label, std::shared_ptr<QueueImpl> target);
  bool isSerial() const override { return true; }
  void async(Block block) override;
  void barrierAsync(Block block) override { async(std::move(block)); }
  void suspend() override;
  void resume() override;
  bool isSuspended() const override;
  bool isIdle() const override;

 protected:
  bool runInlineIfFree(const Block& block, bool barrier) override;

 private:
  void scheduleDrain();
  void drain();
  void giveBack(std::size_t from);
  // After a drain or an inline run: hands the queue on when more is waiting, else frees it.
  void release();

  mutable Mutex mutex_;
  std::vector<Block> items_ GUARDED_BY(mutex_);
  std::vector<Block> batch_;  // touched only by the one drain in progress
  // A drain is queued or running, or a sync caller runs on the queue: the queue is taken.
  bool scheduled_ GUARDED_BY(mutex_) = false;
  std::atomic<int> suspendCount_{0};
};

class ConcurrentQueue final : public QueueImpl, public WorkOwner {
 public:
  ConcurrentQueue(std::string label, std::shared_ptr<QueueImpl> target, bool global);
  bool isSerial() const override { return false; }
  void async(Block block) override { enqueue(std::move(block), false); }
  void barrierAsync(Block block) override { enqueue(std::move(block), !global_); }
  void suspend() override;
  void resume() override;
  bool isSuspended() const override;
  bool isGlobal() const override { return global_; }
  bool isIdle() const override;
  // A global queue's block, on a worker.
  void runWork(std::function<void()>& work) override;

 protected:
  bool runInlineIfFree(const Block& block, bool barrier) override;

 private:
  struct Item {
    Block block;
    bool barrier;
  };
  class Finish;

  void enqueue(Block block, bool barrier);
  void pumpLocked(std::vector<Block>& start) REQUIRES(mutex_);
  void updateBusyLocked() REQUIRES(mutex_);
  void blockDone(bool barrier);
  void submitAll(std::vector<Block>& start);

  void globalBlockDone();

  const bool global_;
  // A global queue has no order, barriers or suspension to keep: its blocks go straight to the
  // pool, and it only counts them.
  std::atomic<long> globalInFlight_{0};
  mutable Mutex mutex_;
  std::deque<Item> items_ GUARDED_BY(mutex_);
  int running_ GUARDED_BY(mutex_) = 0;
  bool barrierRunning_ GUARDED_BY(mutex_) = false;
  int suspendCount_ GUARDED_BY(mutex_) = 0;
  bool busy_ GUARDED_BY(mutex_) = false;  // counted with WorkTracker
};

class MainQueue final : public QueueImpl {
 public:
  MainQueue();
  bool isSerial() const override { return true; }
  bool isMain() const override { return true; }
  void async(Block block) override;
  void barrierAsync(Block block) override { async(std::move(block)); }
  void sync(const Block& block) override;
  void barrierSync(const Block& block) override { sync(block); }
  void suspend() override;
  void resume() override;
  bool isSuspended() const override;
  bool isIdle() const override;

  bool drain();
  bool hasWork() const;

 protected:
  bool runInlineIfFree(const Block&, bool) override { return false; }

 private:
  mutable Mutex mutex_;
  std::vector<Block> items_ GUARDED_BY(mutex_);
  int suspendCount_ GUARDED_BY(mutex_) = 0;
  int drainDepth_ = 0;  // main thread only
};

std::shared_ptr<MainQueue> mainQueue();
// Our own queue behind a DispatchQueue pointer (null for null).
std::shared_ptr<QueueImpl> implOf(const std::shared_ptr<DispatchQueue>& queue);

}  // namespace platform::detail
