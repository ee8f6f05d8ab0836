// An asynchronous operation: start() runs main(), which ends later with finishWithError(). The
// executing and finished flags change under the operation's recursive lock, inside their change
// announcements, so an operation queue learns of the end at the right moment.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "platform/dispatch/operation.h"
#include "platform/foundation/error.h"
#include "platform/foundation/thread_safety.h"

class RLZTSMAsyncOperation : public platform::Operation {
 public:
  using AsyncCompletion = std::function<void(const platform::Error& error)>;

  void start() override;
  bool isExecuting() const override;
  bool isFinished() const override;
  bool isAsynchronous() const override { return true; }
  bool isConcurrent() const override { return true; }

  // Calls the asynchronous completion with the error (unset: success), then marks the end.
  void finishWithError(const platform::Error& error);

  AsyncCompletion asyncCompletion() const;
  void setAsyncCompletion(AsyncCompletion completion);

 protected:
  void markStarted();
  void markDone();
  // True, after marking the end, for a cancelled operation.
  bool checkForCancellation();
  void changeValueForKey(std::string_view key, const std::function<void()>& block);
  void lock(const std::function<void()>& block) const EXCLUDES(lock_);

 private:
  void unlockedMarkStarted() REQUIRES(lock_);
  void unlockedMarkComplete() REQUIRES(lock_);
  void unlockedMarkFinished() REQUIRES(lock_);

  mutable platform::RecursiveMutex lock_;
  bool internalExecuting_ GUARDED_BY(lock_) = false;
  bool internalFinished_ GUARDED_BY(lock_) = false;
  AsyncCompletion asyncCompletion_ GUARDED_BY(lock_);
};
