#include "platform/dispatch/operation_queue.h"

#include <algorithm>
#include <limits>

#include "platform/dispatch/main_thread.h"
#include "platform/dispatch/worker_pool.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/thread_safety.h"

namespace platform {

namespace {

thread_local OperationQueue* t_currentQueue = nullptr;

class CurrentQueueScope {
 public:
  explicit CurrentQueueScope(OperationQueue* queue) : previous_(t_currentQueue) { t_currentQueue = queue; }
  ~CurrentQueueScope() { t_currentQueue = previous_; }
  CurrentQueueScope(const CurrentQueueScope&) = delete;
  CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

 private:
  OperationQueue* previous_;
};

}  // namespace

std::shared_ptr<OperationQueue> OperationQueue::make() { return std::make_shared<OperationQueue>(); }

std::shared_ptr<OperationQueue> OperationQueue::main() {
  static auto* queue = [] {
    auto made = std::make_shared<OperationQueue>();
    made->isMain_ = true;
    MutexLock lock(made->mutex_);
    made->maxConcurrent_ = 1;
    made->underlying_ = DispatchQueue::main();
    made->name_ = "main";
    made->qos_ = QualityOfService::UserInteractive;
    return new std::shared_ptr<OperationQueue>(std::move(made));
  }();
  return *queue;
}

std::shared_ptr<OperationQueue> OperationQueue::current() {
  if (t_currentQueue) return t_currentQueue->shared_from_this();
  return DispatchQueue::isMainThread() ? main() : nullptr;
}

OperationQueue::~OperationQueue() = default;

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  if (!operation) return;
  if (!operation->enqueueOn(shared_from_this())) {
    throw Exception(std::string(kInvalidArgumentException),
                    "operation is already on an operation queue, executing or finished, and cannot be added");
  }
  std::vector<std::shared_ptr<Operation>> start;
  {
    MutexLock lock(mutex_);
    waiting_.push_back(std::move(operation));
    pumpLocked(start);
  }
  startAll(start);
}

std::shared_ptr<Operation> OperationQueue::addOperation(std::function<void()> block) {
  auto operation = BlockOperation::make(std::move(block));
  addOperation(operation);
  return operation;
}

void OperationQueue::addOperations(const std::vector<std::shared_ptr<Operation>>& operations, bool waitUntilFinished) {
  for (const auto& operation : operations) addOperation(operation);
  if (!waitUntilFinished) return;
  for (const auto& operation : operations) {
    if (operation) operation->waitUntilFinished();
  }
}

void OperationQueue::pumpLocked(std::vector<std::shared_ptr<Operation>>& start) {
  while (!suspended_ && !waiting_.empty() &&
         (maxConcurrent_ < 0 || running_.size() < static_cast<std::size_t>(maxConcurrent_))) {
    running_.push_back(waiting_.front());
    start.push_back(std::move(waiting_.front()));
    waiting_.pop_front();
  }
}

void OperationQueue::startAll(std::vector<std::shared_ptr<Operation>>& start) {
  if (start.empty()) return;
  std::shared_ptr<DispatchQueue> target;
  {
    MutexLock lock(mutex_);
    target = underlying_ ? underlying_ : DispatchQueue::global(qos_);
  }
  auto self = shared_from_this();
  for (auto& operation : start) {
    target->async([self, operation = std::move(operation)] {
      CurrentQueueScope scope(self.get());
      operation->start();
      // An operation that finished without announcing it is finished all the same.
      if (operation->isFinished()) operation->finished();
    });
  }
}

void OperationQueue::operationFinished(Operation* operation) {
  std::vector<std::shared_ptr<Operation>> start;
  std::shared_ptr<Operation> done;  // released outside the lock
  bool empty;
  {
    MutexLock lock(mutex_);
    auto it = std::find_if(running_.begin(), running_.end(), [&](const auto& op) { return op.get() == operation; });
    if (it != running_.end()) {
      done = std::move(*it);
      running_.erase(it);
    } else {
      auto waiting = std::find_if(waiting_.begin(), waiting_.end(), [&](const auto& op) { return op.get() == operation; });
      if (waiting != waiting_.end()) {
        done = std::move(*waiting);
        waiting_.erase(waiting);
      }
    }
    pumpLocked(start);
    empty = waiting_.empty() && running_.empty();
  }
  if (empty) {
    emptied_.notify_all();
    detail::mainWaker().notify();
  }
  startAll(start);
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  MutexLock lock(mutex_);
  std::vector<std::shared_ptr<Operation>> all(running_.begin(), running_.end());
  all.insert(all.end(), waiting_.begin(), waiting_.end());
  return all;
}

std::size_t OperationQueue::operationCount() const {
  MutexLock lock(mutex_);
  return running_.size() + waiting_.size();
}

long OperationQueue::maxConcurrentOperationCount() const {
  MutexLock lock(mutex_);
  return maxConcurrent_;
}

void OperationQueue::setMaxConcurrentOperationCount(long count) {
  if (isMain_) return;
  std::vector<std::shared_ptr<Operation>> start;
  {
    MutexLock lock(mutex_);
    maxConcurrent_ = count < 0 ? kDefaultMaxConcurrentOperationCount : count;
    pumpLocked(start);
  }
  startAll(start);
}

bool OperationQueue::isSuspended() const {
  MutexLock lock(mutex_);
  return suspended_;
}

void OperationQueue::setSuspended(bool suspended) {
  std::vector<std::shared_ptr<Operation>> start;
  {
    MutexLock lock(mutex_);
    suspended_ = suspended;
    pumpLocked(start);
  }
  startAll(start);
}

void OperationQueue::cancelAllOperations() {
  for (auto& operation : operations()) operation->cancel();
}

bool OperationQueue::isEmpty() const {
  MutexLock lock(mutex_);
  return waiting_.empty() && running_.empty();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  if (DispatchQueue::isMainThread()) {
    detail::waitDrainingMainQueue([this] { return isEmpty(); }, std::numeric_limits<double>::infinity());
    return;
  }
  detail::WorkerPool::Blocking blocking;
  MutexLock lock(mutex_);
  while (!waiting_.empty() || !running_.empty()) emptied_.wait(lock);
}

std::shared_ptr<DispatchQueue> OperationQueue::underlyingQueue() const {
  MutexLock lock(mutex_);
  return underlying_;
}

void OperationQueue::setUnderlyingQueue(std::shared_ptr<DispatchQueue> queue) {
  MutexLock lock(mutex_);
  if (isMain_) {
    throw Exception(std::string(kInvalidArgumentException), "the main operation queue's underlying queue is fixed");
  }
  if (!waiting_.empty() || !running_.empty()) {
    throw Exception(std::string(kInvalidArgumentException),
                    "the underlying queue of an operation queue can only change while it holds no operation");
  }
  underlying_ = std::move(queue);
}

std::string OperationQueue::name() const {
  MutexLock lock(mutex_);
  return name_;
}

void OperationQueue::setName(std::string name) {
  MutexLock lock(mutex_);
  name_ = std::move(name);
}

QualityOfService OperationQueue::qualityOfService() const {
  MutexLock lock(mutex_);
  return qos_;
}

void OperationQueue::setQualityOfService(QualityOfService qos) {
  MutexLock lock(mutex_);
  qos_ = qos;
}

}  // namespace platform
