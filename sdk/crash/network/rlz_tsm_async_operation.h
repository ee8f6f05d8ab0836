// An asynchronous operation: start() runs main(), which ends later with finishWithError(). The
// executing and finished flags change under the operation's recursive lock, inside their change
// announcements, so an operation queue learns of the end at the right moment.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/dispatch/operation.h"
#include "platform/foundation/error.h"

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
  void lock(const std::function<void()>& block) const;

 private:
  void unlockedMarkStarted();
  void unlockedMarkComplete();
  void unlockedMarkFinished();

  mutable std::recursive_mutex lock_;
  bool internalExecuting_ = false;  // guarded by lock_
  bool internalFinished_ = false;   // guarded by lock_
  AsyncCompletion asyncCompletion_;  // guarded by lock_
};
