#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/main_thread.h"
#include "platform/dispatch/worker_pool.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/exception.h"

namespace platform {

namespace {

class GroupImpl final : public DispatchGroup {
 public:
  void enter() override {
    MutexLock lock(mutex_);
    ++count_;
  }

  void leave() override {
    std::vector<Notify> ready;
    {
      MutexLock lock(mutex_);
      if (count_ == 0) {
        throw Exception(std::string(kInternalInconsistencyException),
                        "DispatchGroup::leave without a matching enter");
      }
      if (--count_ > 0) return;
      ready.swap(notifies_);
      // Under the lock: a waiter that sees the group empty may destroy it as soon as it returns.
      emptied_.notify_all();
    }
    detail::mainWaker().notify();
    for (auto& [queue, block] : ready) queue->async(std::move(block));
  }

  void async(const std::shared_ptr<DispatchQueue>& queue, DispatchQueue::Block block) override {
    enter();
    auto self = std::static_pointer_cast<GroupImpl>(shared_from_this());
    queue->async([self, block = std::move(block)] {
      struct Leave {
        GroupImpl* group;
        ~Leave() { group->leave(); }
      } leave{self.get()};
      block();
    });
  }

  void notify(const std::shared_ptr<DispatchQueue>& queue, DispatchQueue::Block block) override {
    {
      MutexLock lock(mutex_);
      if (count_ > 0) {
        notifies_.emplace_back(queue, std::move(block));
        return;
      }
    }
    queue->async(std::move(block));
  }

  bool wait(double timeoutSeconds) override {
    if (DispatchQueue::isMainThread()) {
      return detail::waitDrainingMainQueue([this] { return isEmpty(); }, timeoutSeconds);
    }
    detail::WorkerPool::Blocking blocking;
    MutexLock lock(mutex_);
    if (!(timeoutSeconds < 1e9)) {
      while (count_ > 0) emptied_.wait(lock);
      return true;
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(std::max(timeoutSeconds, 0.0)));
    while (count_ > 0) {
      if (!emptied_.waitUntil(lock, deadline)) return count_ == 0;
    }
    return true;
  }

 private:
  bool isEmpty() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return count_ == 0;
  }

  using Notify = std::pair<std::shared_ptr<DispatchQueue>, DispatchQueue::Block>;
  Mutex mutex_;
  ConditionVariable emptied_;
  long count_ GUARDED_BY(mutex_) = 0;
  std::vector<Notify> notifies_ GUARDED_BY(mutex_);
};

}  // namespace

std::shared_ptr<DispatchGroup> DispatchGroup::make() { return std::make_shared<GroupImpl>(); }

}  // namespace platform
