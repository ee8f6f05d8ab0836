// State, resolution and observation of VBLPromise; included by vbl_promise.h only.
#pragma once

template <class T>
VBLPromise<T>::VBLPromise(Token) {
  enterGroup();
}

template <class T>
VBLPromise<T>::VBLPromise(Token, T value) : outcome_(std::in_place_index<1>, std::move(value)) {}

template <class T>
VBLPromise<T>::VBLPromise(Token, platform::Error error) {
  if (!error.isSet()) raiseAssertion("Invalid error type.");
  outcome_.template emplace<2>(std::make_shared<const platform::Error>(std::move(error)));
}

template <class T>
VBLPromise<T>::~VBLPromise() {
  // A promise that dies unresolved leaves the group, so waiting on the group still ends.
  if (resolvedState() == State::Pending) leaveGroup();
  std::unique_ptr<Observer> observers = std::move(firstObserver_);
  if (inlineOps_) {
    // Only an unresolved promise still holds it. It moves to a node so that dropping a long
    // pending chain is one loop, not one stack frame per link.
    std::unique_ptr<Observer> first = inlineOps_->toNode(inlineObserver_);
    first->next = std::move(observers);
    observers = std::move(first);
  }
  if (observers) discardObservers(std::move(observers));
}

template <class T>
template <class Set>
void VBLPromise<T>::settle(Set&& set) {
  std::unique_ptr<std::vector<std::shared_ptr<const void>>> pendingObjects;
  {
    std::lock_guard lock(lock_);
    if (resolvedState() != State::Pending) return;
    set();
    pendingObjects = std::move(pendingObjects_);
    std::unique_ptr<Observer> observer = std::move(firstObserver_);
    lastObserver_ = nullptr;
    if (inlineOps_ || observer) {
      // The promise's own membership of the group passes to its first callback; the others are
      // counted before any is submitted, so that the group cannot empty in between.
      long extra = inlineOps_ ? 0 : -1;
      for (Observer* o = observer.get(); o; o = o->next.get()) ++extra;
      if (extra > 0) enterGroup(extra);
      // Submitting under the lock keeps callbacks in registration order against observers that
      // register concurrently (they find the promise resolved and submit after these).
      auto self = this->shared_from_this();
      if (inlineOps_) {
        inlineKeepAlive_ = observer ? self : std::move(self);
        // Held here, not by the promise, until the queue has taken the block.
        const Queue queue = std::move(inlineQueue_);
        submitCounted(queue, [this] { runInlineObserver(); });
      }
      while (observer) {
        auto next = std::move(observer->next);
        dispatchCounted(std::move(observer), next ? self : std::move(self));
        observer = std::move(next);
      }
      return;
    }
  }
  leaveGroup();
  // The pending objects are released outside the lock: they may hold the last reference to
  // other promises.
}

template <class T>
void VBLPromise<T>::runInlineObserver() {
  // Dropped last: it may hold the only reference to this promise.
  const std::shared_ptr<const VBLPromise> keepAlive = std::move(inlineKeepAlive_);
  struct Drop {
    VBLPromise* promise;
    ~Drop() { std::exchange(promise->inlineOps_, nullptr)->destroy(promise->inlineObserver_); }
  } drop{this};
  inlineOps_->run(inlineObserver_, *this);
}

template <class T>
void VBLPromise<T>::dispatchCounted(std::unique_ptr<Observer> observer, std::shared_ptr<const VBLPromise> self) {
  observer->resolved = std::move(self);
  const Queue queue = std::move(observer->queue);
  // Queues run every block they are given, so the bare pointer is always taken back.
  submitCounted(queue, [raw = observer.release()] {
    const std::unique_ptr<Observer> owned(raw);
    owned->run(*owned->resolved);
  });
}

template <class T>
void VBLPromise<T>::fulfill(T value) {
  settle([&] { outcome_.template emplace<1>(std::move(value)); });
}

template <class T>
void VBLPromise<T>::reject(platform::Error error) {
  if (!error.isSet()) raiseAssertion("Invalid error type.");
  auto shared = std::make_shared<const platform::Error>(std::move(error));
  settle([&] { outcome_.template emplace<2>(std::move(shared)); });
}

template <class T>
std::optional<T> VBLPromise<T>::value() const {
  std::lock_guard lock(lock_);
  if (resolvedState() != State::Fulfilled) return std::nullopt;
  return resolvedValue();
}

template <class T>
std::optional<platform::Error> VBLPromise<T>::error() const {
  std::lock_guard lock(lock_);
  if (resolvedState() != State::Rejected) return std::nullopt;
  return resolvedError();
}

template <class T>
void VBLPromise<T>::addPendingObject(std::shared_ptr<const void> object) {
  if (!object) raiseInvalidParameter("object");
  std::lock_guard lock(lock_);
  if (resolvedState() != State::Pending) return;
  if (!pendingObjects_) pendingObjects_ = std::make_unique<std::vector<std::shared_ptr<const void>>>();
  pendingObjects_->push_back(std::move(object));
}

template <class T>
template <class F>
void VBLPromise<T>::observe(const Queue& queue, F&& call) {
  using Call = std::decay_t<F>;
  if constexpr (fitsInline<Call>) {
    std::lock_guard lock(lock_);
    // Only the first observer of all, so that it is also the first to be submitted.
    if (resolvedState() == State::Pending && !inlineOps_ && !firstObserver_) {
      ::new (static_cast<void*>(inlineObserver_)) Call(std::forward<F>(call));
      inlineOps_ = &inlineOpsOf<Call>;
      inlineQueue_ = queue;
      return;
    }
  }
  std::unique_ptr<Observer> observer = std::make_unique<ObserverOf<Call>>(std::forward<F>(call));
  observer->queue = queue;
  std::lock_guard lock(lock_);
  if (resolvedState() == State::Pending) {
    Observer* raw = observer.get();
    if (lastObserver_) {
      lastObserver_->next = std::move(observer);
    } else {
      firstObserver_ = std::move(observer);
    }
    lastObserver_ = raw;
    return;
  }
  enterGroup();
  dispatchCounted(std::move(observer), this->shared_from_this());
}

template <class T>
void VBLPromise<T>::observeOnQueue(const Queue& queue, OnFulfill onFulfill, OnReject onReject) {
  requireQueue(queue);
  if (!onFulfill) raiseInvalidParameter("onFulfill");
  if (!onReject) raiseInvalidParameter("onReject");
  observe(queue, [onFulfill = std::move(onFulfill), onReject = std::move(onReject)](const VBLPromise& p) {
    // The outcome is final once observers run, so it is read without the lock.
    if (p.resolvedState() == State::Fulfilled) {
      onFulfill(p.resolvedValue());
    } else {
      onReject(p.resolvedError());
    }
  });
}

template <class T>
void VBLPromise<T>::resolve(const Ptr& promise, VBLResult<T> result, const Queue& queue) {
  if (result.isPromise()) {
    auto& adopted = result.promise();
    if (!adopted) raiseInvalidParameter("promise");
    adopted->observe(queue, [promise](const VBLPromise& p) {
      if (p.resolvedState() == State::Fulfilled) {
        promise->fulfill(p.resolvedValue());
      } else {
        promise->rejectLike(p);
      }
    });
  } else if (result.isError()) {
    promise->reject(std::move(result.error()));
  } else {
    promise->fulfill(std::move(result.value()));
  }
}

template <class T>
template <class U>
std::shared_ptr<VBLPromise<U>> VBLPromise<T>::chainOnQueue(
    const Queue& queue, std::function<VBLResult<U>(const T&)> chainedFulfill,
    std::function<VBLResult<U>(const platform::Error&)> chainedReject) {
  requireQueue(queue);
  if constexpr (!std::is_same_v<U, T>) {
    // Without a block a value of T cannot become a U.
    if (!chainedFulfill) raiseInvalidParameter("chainedFulfill");
  }
  auto chained = VBLPromise<U>::pendingPromise();
  observe(queue, [chained, queue, chainedFulfill = std::move(chainedFulfill),
                  chainedReject = std::move(chainedReject)](const VBLPromise& p) {
    if (p.resolvedState() == State::Fulfilled) {
      if (chainedFulfill) {
        VBLPromise<U>::resolve(chained, chainedFulfill(p.resolvedValue()), queue);
      } else if constexpr (std::is_same_v<U, T>) {
        chained->fulfill(p.resolvedValue());
      }
    } else if (chainedReject) {
      VBLPromise<U>::resolve(chained, chainedReject(p.resolvedError()), queue);
    } else {
      chained->rejectLike(p);
    }
  });
  return chained;
}

template <class T>
std::string VBLPromise<T>::description() const {
  std::lock_guard lock(lock_);
  switch (resolvedState()) {
    case State::Pending:
      return describe(this, State::Pending, {});
    case State::Fulfilled:
      return describe(this, State::Fulfilled, vbl_detail::describeValue(resolvedValue()));
    case State::Rejected:
      return describe(this, State::Rejected, resolvedError().description());
  }
  return {};
}
