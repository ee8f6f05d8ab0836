// At most one pending operation of a kind: callers that come while one is pending share its
// promise. The slot is cleared by callbacks on the promise library's default queue once the
// promise settles; a caller in between gets the settled promise.
#pragma once

#include <functional>
#include <memory>

#include "platform/foundation/exception.h"
#include "sdk/utilities/promises/vbl_promise.h"
#include "platform/foundation/thread_safety.h"

template <class T>
class VDZInstallationsSingleOperationPromiseCache
    : public std::enable_shared_from_this<VDZInstallationsSingleOperationPromiseCache<T>> {
 public:
  using Promise = VBLPromise<T>;
  using Handler = std::function<std::shared_ptr<Promise>()>;

  explicit VDZInstallationsSingleOperationPromiseCache(Handler newOperationHandler)
      : newOperationHandler_(std::move(newOperationHandler)) {
    if (!newOperationHandler_) {
      throw platform::Exception(std::string(platform::kInvalidArgumentException),
                                "`newOperationHandler` must not be `nil`.");
    }
  }

  std::shared_ptr<Promise> getExistingPendingOrCreateNewPromise() {
    platform::MutexLock lock(mutex_);
    if (!pendingPromise_) {
      pendingPromise_ = newOperationHandler_();
      std::weak_ptr<VDZInstallationsSingleOperationPromiseCache> weakSelf = this->weak_from_this();
      std::weak_ptr<Promise> settled = pendingPromise_;
      const auto clear = [weakSelf, settled] {
        auto self = weakSelf.lock();
        if (!self) return;
        platform::MutexLock clearLock(self->mutex_);
        if (self->pendingPromise_ == settled.lock()) self->pendingPromise_.reset();
      };
      pendingPromise_->observeOnQueue(VBLPromiseBase::defaultDispatchQueue(), [clear](const T&) { clear(); },
                                      [clear](const platform::Error&) { clear(); });
    }
    return pendingPromise_;
  }

  std::shared_ptr<Promise> getExistingPendingPromise() {
    platform::MutexLock lock(mutex_);
    return pendingPromise_;
  }

 private:
  const Handler newOperationHandler_;
  platform::Mutex mutex_;
  std::shared_ptr<Promise> pendingPromise_ GUARDED_BY(mutex_);
};
