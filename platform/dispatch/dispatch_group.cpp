#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/main_thread.h"
#include "platform/foundation/exception.h"

namespace platform {

namespace {

class GroupImpl final : public DispatchGroup {
 public:
  void enter() override {
    std::lock_guard lock(mutex_);
    ++count_;
  }

  void leave() override {
    std::vector<Notify> ready;
    {
      std::lock_guard lock(mutex_);
      if (count_ == 0) {
        throw Exception(std::string(kInternalInconsistencyException),
                        "DispatchGroup::leave without a matching enter");
      }
      if (--count_ > 0) return;
      ready.swap(notifies_);
    }
    emptied_.notify_all();
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
      std::lock_guard lock(mutex_);
      if (count_ > 0) {
        notifies_.emplace_back(queue, std::move(block));
        return;
      }
    }
    queue->async(std::move(block));
  }

  bool wait(double timeoutSeconds) override {
    if (DispatchQueue::isMainThread()) {
      return detail::waitDrainingMainQueue(
          [this] {
            std::lock_guard lock(mutex_);
            return count_ == 0;
          },
          timeoutSeconds);
    }
    std::unique_lock lock(mutex_);
    const auto empty = [this] { return count_ == 0; };
    if (!(timeoutSeconds < 1e9)) {
      emptied_.wait(lock, empty);
      return true;
    }
    return emptied_.wait_for(lock, std::chrono::duration<double>(std::max(timeoutSeconds, 0.0)), empty);
  }

 private:
  using Notify = std::pair<std::shared_ptr<DispatchQueue>, DispatchQueue::Block>;
  std::mutex mutex_;
  std::condition_variable emptied_;
  long count_ = 0;
  std::vector<Notify> notifies_;
};

}  // namespace

std::shared_ptr<DispatchGroup> DispatchGroup::make() { return std::make_shared<GroupImpl>(); }

}  // namespace platform
