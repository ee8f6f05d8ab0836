// Operation queues: operations started in the order added, at most maxConcurrentOperationCount
// at a time, on the queue's underlying dispatch queue (a global queue unless one is set).
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/operation.h"
#include "platform/foundation/thread_safety.h"

namespace platform {

class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
 public:
  // As many operations at once as the system allows.
  static constexpr long kDefaultMaxConcurrentOperationCount = -1;

  OperationQueue() = default;
  static std::shared_ptr<OperationQueue> make();
  // Runs its operations one at a time on the main queue.
  static std::shared_ptr<OperationQueue> main();
  // The queue whose operation is running on this thread; the main queue's on the main thread
  // outside any; else null.
  static std::shared_ptr<OperationQueue> current();

  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  // An operation can be on one queue, once; adding it again, or a finished one, throws
  // platform::Exception (kInvalidArgumentException).
  void addOperation(std::shared_ptr<Operation> operation);
  std::shared_ptr<Operation> addOperation(std::function<void()> block);
  void addOperations(const std::vector<std::shared_ptr<Operation>>& operations, bool waitUntilFinished);

  std::vector<std::shared_ptr<Operation>> operations() const;
  std::size_t operationCount() const;
  long maxConcurrentOperationCount() const;
  void setMaxConcurrentOperationCount(long count);
  // A suspended queue starts no further operations; running ones go on.
  bool isSuspended() const;
  void setSuspended(bool suspended);
  void cancelAllOperations();
  // Blocks until no operation is left (on the main thread the main queue keeps running).
  void waitUntilAllOperationsAreFinished() EXCLUDES(mutex_);

  std::shared_ptr<DispatchQueue> underlyingQueue() const;
  // Only while the queue holds no operation (else kInvalidArgumentException); never on main().
  void setUnderlyingQueue(std::shared_ptr<DispatchQueue> queue);
  std::string name() const;
  void setName(std::string name);
  QualityOfService qualityOfService() const;
  void setQualityOfService(QualityOfService qos);

 private:
  friend class Operation;

  void operationFinished(Operation* operation);
  void pumpLocked(std::vector<std::shared_ptr<Operation>>& start) REQUIRES(mutex_);
  void startAll(std::vector<std::shared_ptr<Operation>>& start);
  bool isEmpty() const;

  mutable Mutex mutex_;
  ConditionVariable emptied_;
  std::deque<std::shared_ptr<Operation>> waiting_ GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<Operation>> running_ GUARDED_BY(mutex_);
  long maxConcurrent_ GUARDED_BY(mutex_) = kDefaultMaxConcurrentOperationCount;
  bool suspended_ GUARDED_BY(mutex_) = false;
  bool isMain_ = false;  // set before the main queue is handed out
  std::shared_ptr<DispatchQueue> underlying_ GUARDED_BY(mutex_);
  std::string name_ GUARDED_BY(mutex_);
  QualityOfService qos_ GUARDED_BY(mutex_) = QualityOfService::Default;
};

}  // namespace platform
