#include "sdk/crash/network/rlz_tsm_async_operation.h"

namespace {
constexpr std::string_view kIsExecuting = "isExecuting";
constexpr std::string_view kIsFinished = "isFinished";
}  // namespace

void RLZTSMAsyncOperation::start() {
  if (checkForCancellation()) return;
  markStarted();
  main();
}

bool RLZTSMAsyncOperation::isExecuting() const {
  platform::RecursiveMutexLock guard(lock_);
  return internalExecuting_;
}

bool RLZTSMAsyncOperation::isFinished() const {
  platform::RecursiveMutexLock guard(lock_);
  return internalFinished_;
}

void RLZTSMAsyncOperation::finishWithError(const platform::Error& error) {
  // The end's announcement may let the last other owner go.
  const auto keepAlive = shared_from_this();
  if (const auto completion = asyncCompletion()) completion(error);
  markDone();
}

RLZTSMAsyncOperation::AsyncCompletion RLZTSMAsyncOperation::asyncCompletion() const {
  platform::RecursiveMutexLock guard(lock_);
  return asyncCompletion_;
}

void RLZTSMAsyncOperation::setAsyncCompletion(AsyncCompletion completion) {
  platform::RecursiveMutexLock guard(lock_);
  asyncCompletion_ = std::move(completion);
}

void RLZTSMAsyncOperation::markStarted() {
  platform::RecursiveMutexLock guard(lock_);
  unlockedMarkStarted();
}

void RLZTSMAsyncOperation::markDone() {
  platform::RecursiveMutexLock guard(lock_);
  unlockedMarkComplete();
  unlockedMarkFinished();
}

bool RLZTSMAsyncOperation::checkForCancellation() {
  if (!isCancelled()) return false;
  markDone();
  return true;
}

void RLZTSMAsyncOperation::changeValueForKey(std::string_view key, const std::function<void()>& block) {
  willChangeValueForKey(key);
  block();
  didChangeValueForKey(key);
}

void RLZTSMAsyncOperation::lock(const std::function<void()>& block) const {
  platform::RecursiveMutexLock guard(lock_);
  block();
}

void RLZTSMAsyncOperation::unlockedMarkStarted() {
  willChangeValueForKey(kIsExecuting);
  internalExecuting_ = true;
  didChangeValueForKey(kIsExecuting);
}

void RLZTSMAsyncOperation::unlockedMarkComplete() {
  willChangeValueForKey(kIsExecuting);
  internalExecuting_ = false;
  didChangeValueForKey(kIsExecuting);
}

void RLZTSMAsyncOperation::unlockedMarkFinished() {
  willChangeValueForKey(kIsFinished);
  internalFinished_ = true;
  didChangeValueForKey(kIsFinished);
}
