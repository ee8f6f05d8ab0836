#include "platform/dispatch/operation.h"

#include <limits>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/main_thread.h"
#include "platform/dispatch/worker_pool.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/format.h"
#include "platform/foundation/thread_safety.h"

namespace platform {

namespace {
constexpr std::string_view kIsExecuting = "isExecuting";
constexpr std::string_view kIsFinished = "isFinished";
constexpr std::string_view kIsCancelled = "isCancelled";
}  // namespace

void Operation::start() {
  if (isCancelled()) {
    setState(false, true);
    return;
  }
  setState(true, false);
  main();
  setState(false, true);
}

void Operation::setState(bool executing, bool finished) {
  willChangeValueForKey(kIsExecuting);
  willChangeValueForKey(kIsFinished);
  {
    MutexLock lock(mutex_);
    executing_ = executing;
    finished_ = finished;
  }
  didChangeValueForKey(kIsExecuting);
  didChangeValueForKey(kIsFinished);
}

void Operation::cancel() {
  {
    MutexLock lock(mutex_);
    if (cancelled_) return;
  }
  willChangeValueForKey(kIsCancelled);
  {
    MutexLock lock(mutex_);
    cancelled_ = true;
  }
  didChangeValueForKey(kIsCancelled);
}

bool Operation::isCancelled() const {
  MutexLock lock(mutex_);
  return cancelled_;
}

bool Operation::isExecuting() const {
  MutexLock lock(mutex_);
  return executing_;
}

bool Operation::isFinished() const {
  MutexLock lock(mutex_);
  return finished_;
}

void Operation::setCompletionBlock(std::function<void()> block) {
  MutexLock lock(mutex_);
  completion_ = std::move(block);
}

std::function<void()> Operation::completionBlock() const {
  MutexLock lock(mutex_);
  return completion_;
}

std::string Operation::name() const {
  MutexLock lock(mutex_);
  return name_;
}

void Operation::setName(std::string name) {
  MutexLock lock(mutex_);
  name_ = std::move(name);
}

std::string Operation::description() const {
  const std::string n = name();
  return n.empty() ? format("<Operation %p>", static_cast<const void*>(this))
                   : format("<Operation %p \"%s\">", static_cast<const void*>(this), n);
}

void Operation::willChangeValueForKey(std::string_view) {}

void Operation::didChangeValueForKey(std::string_view key) {
  if (key == kIsFinished && isFinished()) finished();
}

void Operation::finished() {
  std::function<void()> completion;
  std::shared_ptr<OperationQueue> queue;
  {
    MutexLock lock(mutex_);
    if (finishHandled_) return;
    finishHandled_ = true;
    completion = std::move(completion_);
    completion_ = nullptr;
    queue = queue_.lock();
  }
  finishedChanged_.notify_all();
  detail::mainWaker().notify();
  std::shared_ptr<Operation> self = weak_from_this().lock();
  if (!completion || !self) {
    if (completion) DispatchQueue::global()->async(std::move(completion));
    if (queue) queue->operationFinished(this);
    return;
  }
  // Never on the finishing thread: an operation often announces its end under its own lock. The
  // queue moves on only after the completion block, so a block that cancels the operations still
  // waiting reaches them before the next one starts.
  DispatchQueue::global()->async([self, completion = std::move(completion), queue] {
    completion();
    if (queue) queue->operationFinished(self.get());
  });
}

bool Operation::enqueueOn(const std::shared_ptr<OperationQueue>& queue) {
  MutexLock lock(mutex_);
  if (enqueued_ || finishHandled_ || executing_) return false;
  enqueued_ = true;
  queue_ = queue;
  return true;
}

void Operation::waitUntilFinished() {
  const auto done = [this] {
    MutexLock lock(mutex_);
    return finishHandled_;
  };
  if (DispatchQueue::isMainThread()) {
    detail::waitDrainingMainQueue(done, std::numeric_limits<double>::infinity());
    return;
  }
  detail::WorkerPool::Blocking blocking;
  MutexLock lock(mutex_);
  while (!finishHandled_) finishedChanged_.wait(lock);
}

std::shared_ptr<BlockOperation> BlockOperation::make(std::function<void()> block) {
  auto operation = std::make_shared<BlockOperation>();
  operation->addExecutionBlock(std::move(block));
  return operation;
}

void BlockOperation::addExecutionBlock(std::function<void()> block) {
  if (!block) return;
  MutexLock lock(blocksMutex_);
  blocks_.push_back(std::move(block));
}

void BlockOperation::main() {
  std::vector<std::function<void()>> blocks;
  {
    MutexLock lock(blocksMutex_);
    blocks.swap(blocks_);
  }
  for (auto& block : blocks) block();
}

}  // namespace platform
