#include "sdk/crash/network/rlz_compound_operation.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/format.h"

RLZCompoundOperation::RLZCompoundOperation()
    : compoundQueue_(platform::OperationQueue::make()),
      countingQueue_(platform::DispatchQueue::serial(
          "com.videzu.vuduzara.ralitoze.RLZCompoundOperation.dispatch-queue.counting-queue")) {}

void RLZCompoundOperation::setOperations(std::vector<std::shared_ptr<RLZTSMAsyncOperation>> operations) {
  operations_ = std::move(operations);
}

std::weak_ptr<RLZCompoundOperation> RLZCompoundOperation::weakSelf() {
  return std::static_pointer_cast<RLZCompoundOperation>(shared_from_this());
}

// A compound cancelled before its start reports the cancellation like one cancelled while running.
// The look at the cancellation and the start are one step on the counting queue, where a cancel
// makes its attempt: a cancel landing between two separate looks would end the compound through
// the plain cancellation check, with no completion called.
void RLZCompoundOperation::start() {
  bool started = false;
  countingQueue_->sync([&] {
    if (isCancelled()) return attemptCompoundCompletion();
    markStarted();
    started = true;
  });
  if (started) main();
}

void RLZCompoundOperation::main() {
  countingQueue_->sync([this] {
    if (childrenEnqueued_) return;  // a cancel came first and sent the children through
    childrenEnqueued_ = true;
    for (const auto& operation : operations_) {
      injectCompoundAsyncCompletionInOperation(operation);
      injectCompoundSyncCompletionInOperation(operation);
      compoundQueue_->addOperation(operation);
    }
    // Nothing to wait for: the compound is done at once.
    if (operations_.empty()) attemptCompoundCompletion();
  });
}

void RLZCompoundOperation::injectCompoundAsyncCompletionInOperation(
    const std::shared_ptr<RLZTSMAsyncOperation>& operation) {
  auto original = operation->asyncCompletion();
  operation->setAsyncCompletion([weak = weakSelf(), original, counting = countingQueue_](const platform::Error& error) {
    if (original) counting->sync([&] { original(error); });
    if (auto self = weak.lock()) self->updateCompletionCountsWithError(error);
  });
}

void RLZCompoundOperation::injectCompoundSyncCompletionInOperation(
    const std::shared_ptr<RLZTSMAsyncOperation>& operation) {
  auto original = operation->completionBlock();
  operation->setCompletionBlock([weak = weakSelf(), original, counting = countingQueue_] {
    if (original) counting->sync(original);
    counting->sync([&] {
      if (auto self = weak.lock()) self->attemptCompoundCompletion();
    });
  });
}

void RLZCompoundOperation::updateCompletionCountsWithError(const platform::Error& error) {
  countingQueue_->sync([&] {
    if (error) {
      errors_.push_back(error);
    } else {
      ++completedOperations_;
    }
  });
}

void RLZCompoundOperation::attemptCompoundCompletion() {
  // A cancel after the end, or a child ending after a cancel, finds the compound done.
  if (isFinished()) return;
  if (isCancelled()) {
    finishWithError(platform::Error(std::string(kRLZCompoundOperationErrorDomain),
                                    kRLZCompoundOperationErrorCodeCancelled,
                                    {{std::string(platform::kLocalizedDescriptionKey),
                                      platform::format("%@ cancelled", name())}}));
    // Later attempts (children ending after the cancel) must not call the caller again.
    setAsyncCompletion(nullptr);
    return;
  }
  if (completedOperations_ + errors_.size() != operations_.size()) return;
  if (errors_.empty()) return finishWithError(platform::Error());
  platform::Value::Array underlying;
  for (const auto& error : errors_) underlying.push_back(errorAsValue(error));
  finishWithError(platform::Error(std::string(kRLZCompoundOperationErrorDomain),
                                  kRLZCompoundOperationErrorCodeSuboperationFailed,
                                  {{std::string(kRLZCompoundOperationErrorUserInfoKeyUnderlyingErrors),
                                    platform::Value(std::move(underlying))}}));
}

// The compound marks itself cancelled before its children, so that whichever attempt comes last
// (a child's or the one below) sees the cancellation: a child that ends before the compound is
// marked would otherwise leave the compound waiting for counts that never complete. Children not
// yet on the compound's queue go there cancelled, so that each of them ends.
void RLZCompoundOperation::cancel() {
  platform::Operation::cancel();
  for (const auto& operation : operations_) operation->cancel();
  countingQueue_->sync([this] {
    if (!childrenEnqueued_) {
      childrenEnqueued_ = true;
      for (const auto& operation : operations_) {
        if (!operation->isFinished()) compoundQueue_->addOperation(operation);
      }
    }
    attemptCompoundCompletion();
  });
}

platform::Value RLZCompoundOperation::errorAsValue(const platform::Error& error) {
  return platform::Value::dictionary({{"domain", platform::Value(error.domain())},
                                      {"code", platform::Value(error.code())},
                                      {"userInfo", platform::Value(error.userInfo())}});
}
