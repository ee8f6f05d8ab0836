// Operations: units of work for an operation queue. A plain operation runs main() inside start()
// and is finished when main() returns. An asynchronous one overrides start(), isExecuting() and
// isFinished(), finishes later on its own, and announces each change of its state with
// willChangeValueForKey/didChangeValueForKey: the announcement of "isFinished" is how its queue
// and its completion block learn that it is done.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/thread_safety.h"

namespace platform {

class OperationQueue;

class Operation : public std::enable_shared_from_this<Operation> {
 public:
  Operation() = default;
  virtual ~Operation() = default;
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // Marks the operation executing, runs main(), marks it finished; a cancelled operation goes
  // straight to finished without running main().
  virtual void start();
  virtual void main() {}
  virtual void cancel();
  bool isCancelled() const;
  virtual bool isExecuting() const;
  virtual bool isFinished() const;
  virtual bool isAsynchronous() const { return false; }
  virtual bool isConcurrent() const { return isAsynchronous(); }
  virtual bool isReady() const { return true; }

  // Runs once, on a background queue, after the operation has finished; then it is released.
  void setCompletionBlock(std::function<void()> block);
  std::function<void()> completionBlock() const;
  std::string name() const;
  void setName(std::string name);
  virtual std::string description() const;

  // Blocks until the operation has finished (on the main thread the main queue keeps running).
  void waitUntilFinished() EXCLUDES(mutex_);

  virtual void willChangeValueForKey(std::string_view key);
  virtual void didChangeValueForKey(std::string_view key);

 private:
  friend class OperationQueue;

  void setState(bool executing, bool finished);
  void finished();
  bool enqueueOn(const std::shared_ptr<OperationQueue>& queue);

  mutable Mutex mutex_;
  ConditionVariable finishedChanged_;
  bool cancelled_ GUARDED_BY(mutex_) = false;
  bool executing_ GUARDED_BY(mutex_) = false;
  bool finished_ GUARDED_BY(mutex_) = false;
  bool finishHandled_ GUARDED_BY(mutex_) = false;
  bool enqueued_ GUARDED_BY(mutex_) = false;
  std::function<void()> completion_ GUARDED_BY(mutex_);
  std::string name_ GUARDED_BY(mutex_);
  std::weak_ptr<OperationQueue> queue_ GUARDED_BY(mutex_);
};

// An operation whose work is one or more blocks, run one after another.
class BlockOperation : public Operation {
 public:
  static std::shared_ptr<BlockOperation> make(std::function<void()> block);
  void addExecutionBlock(std::function<void()> block);
  void main() override;

 private:
  Mutex blocksMutex_;
  std::vector<std::function<void()>> blocks_ GUARDED_BY(blocksMutex_);
};

}  // namespace platform
