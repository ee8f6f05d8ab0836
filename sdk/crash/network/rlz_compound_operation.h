// Runs child operations on a queue of its own and finishes once all of them have, with their
// errors gathered into one. All counting and every completion attempt run on one serial queue.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "sdk/crash/network/rlz_tsm_async_operation.h"

namespace platform {
class DispatchQueue;
class OperationQueue;
}  // namespace platform

inline constexpr std::string_view kRLZCompoundOperationErrorDomain =
    "com.videzu.vuduzara.ralitoze.RLZCompoundOperation.error";
inline constexpr std::string_view kRLZCompoundOperationErrorUserInfoKeyUnderlyingErrors =
    "com.videzu.vuduzara.ralitoze.RLZCompoundOperation.error.user-info-key.underlying-errors";
// -2 and -3 as unsigned 32-bit numbers.
inline constexpr std::int64_t kRLZCompoundOperationErrorCodeCancelled = 4294967294;
inline constexpr std::int64_t kRLZCompoundOperationErrorCodeSuboperationFailed = 4294967293;

class RLZCompoundOperation : public RLZTSMAsyncOperation {
 public:
  RLZCompoundOperation();

  // Set before the compound starts.
  void setOperations(std::vector<std::shared_ptr<RLZTSMAsyncOperation>> operations);
  const std::vector<std::shared_ptr<RLZTSMAsyncOperation>>& operations() const { return operations_; }
  const std::shared_ptr<platform::OperationQueue>& compoundQueue() const { return compoundQueue_; }

  void start() override;
  void main() override;
  // The compound finishes at once with the cancelled error; its children are cancelled and
  // finish through their own cancellation.
  void cancel() override;

  // Each underlying error as {"domain", "code", "userInfo"}.
  static platform::Value errorAsValue(const platform::Error& error);

 private:
  void injectCompoundAsyncCompletionInOperation(const std::shared_ptr<RLZTSMAsyncOperation>& operation);
  void injectCompoundSyncCompletionInOperation(const std::shared_ptr<RLZTSMAsyncOperation>& operation);
  void updateCompletionCountsWithError(const platform::Error& error);
  void attemptCompoundCompletion();
  std::weak_ptr<RLZCompoundOperation> weakSelf();

  std::vector<std::shared_ptr<RLZTSMAsyncOperation>> operations_;
  const std::shared_ptr<platform::OperationQueue> compoundQueue_;
  const std::shared_ptr<platform::DispatchQueue> countingQueue_;
  // On the counting queue only.
  bool childrenEnqueued_ = false;
  std::size_t completedOperations_ = 0;
  std::vector<platform::Error> errors_;
};
