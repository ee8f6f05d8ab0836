// State, resolution and observation of VBLPromise; included by vbl_promise.h only.
#pragma once

template <class T>
VBLPromise<T>::VBLPromise(Token) {
  enterGroup();
}

template <class T>
VBLPromise<T>::VBLPromise(Token, T value) : state_(State::Fulfilled), value_(std::move(value)) {}

template <class T>
VBLPromise<T>::VBLPromise(Token, platform::Error error) : state_(State::Rejected), error_(std::move(error)) {
  if (!error_.isSet()) raiseAssertion("Invalid error type.");
}

template <class T>
VBLPromise<T>::~VBLPromise() {
  // A promise that dies unresolved leaves the group, so waiting on the group still ends.
  if (state_ == State::Pending) leaveGroup();
  if (firstObserver_) discardObservers(std::move(firstObserver_));
}

template <class T>
template <class Set>
void VBLPromise<T>::settle(State state, Set&& set) {
  std::vector<std::shared_ptr<const void>> pendingObjects;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::Pending) return;
    state_ = state;
    set();
    std::unique_ptr<Observer> observer = std::move(firstObserver_);
    lastObserver_ = nullptr;
    pendingObjects.swap(pendingObjects_);
    // Submitting under the lock keeps callbacks in registration order against observers that
    // register concurrently (they find the promise resolved and submit after these).
    if (observer) {
      auto self = this->shared_from_this();
      while (observer) {
        auto next = std::move(observer->next);
        dispatch(std::move(observer), next ? self : std::move(self));
        observer = std::move(next);
      }
    }
  }
  leaveGroup();
  // The pending objects are released outside the lock: they may hold the last reference to
  // other promises.
}

template <class T>
void VBLPromise<T>::dispatch(std::unique_ptr<Observer> observer, std::shared_ptr<const VBLPromise> self) {
  observer->resolved = std::move(self);
  const Queue& queue = observer->queue;
  // Queues run every block they are given, so the bare pointer is always taken back.
  submit(queue, [raw = observer.release()] {
    const std::unique_ptr<Observer> owned(raw);
    owned->run(*owned->resolved);
  });
}

template <class T>
void VBLPromise<T>::fulfill(T value) {
  settle(State::Fulfilled, [&] { value_.emplace(std::move(value)); });
}

template <class T>
void VBLPromise<T>::reject(platform::Error error) {
  if (!error.isSet()) raiseAssertion("Invalid error type.");
  settle(State::Rejected, [&] { error_ = std::move(error); });
}

template <class T>
std::optional<T> VBLPromise<T>::value() const {
  std::lock_guard lock(mutex_);
  return value_;
}

template <class T>
std::optional<platform::Error> VBLPromise<T>::error() const {
  std::lock_guard lock(mutex_);
  if (state_ != State::Rejected) return std::nullopt;
  return error_;
}

template <class T>
void VBLPromise<T>::addPendingObject(std::shared_ptr<const void> object) {
  if (!object) raiseInvalidParameter("object");
  std::lock_guard lock(mutex_);
  if (state_ == State::Pending) pendingObjects_.push_back(std::move(object));
}

template <class T>
template <class F>
void VBLPromise<T>::observe(const Queue& queue, F&& call) {
  std::unique_ptr<Observer> observer = std::make_unique<ObserverOf<std::decay_t<F>>>(std::forward<F>(call));
  observer->queue = queue;
  std::lock_guard lock(mutex_);
  if (state_ == State::Pending) {
    Observer* raw = observer.get();
    if (lastObserver_) {
      lastObserver_->next = std::move(observer);
    } else {
      firstObserver_ = std::move(observer);
    }
    lastObserver_ = raw;
    return;
  }
  dispatch(std::move(observer), this->shared_from_this());
}

template <class T>
void VBLPromise<T>::observeOnQueue(const Queue& queue, OnFulfill onFulfill, OnReject onReject) {
  requireQueue(queue);
  if (!onFulfill) raiseInvalidParameter("onFulfill");
  if (!onReject) raiseInvalidParameter("onReject");
  observe(queue, [onFulfill = std::move(onFulfill), onReject = std::move(onReject)](const VBLPromise& p) {
    // The outcome is final once observers run, so it is read without the lock.
    if (p.state_ == State::Fulfilled) {
      onFulfill(*p.value_);
    } else {
      onReject(p.error_);
    }
  });
}

template <class T>
void VBLPromise<T>::resolve(const Ptr& promise, VBLResult<T> result, const Queue& queue) {
  if (result.isPromise()) {
    auto& adopted = result.promise();
    if (!adopted) raiseInvalidParameter("promise");
    adopted->observe(queue, [promise](const VBLPromise& p) {
      if (p.state_ == State::Fulfilled) {
        promise->fulfill(*p.value_);
      } else {
        promise->reject(p.error_);
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
    if (p.state_ == State::Fulfilled) {
      if (chainedFulfill) {
        VBLPromise<U>::resolve(chained, chainedFulfill(*p.value_), queue);
      } else if constexpr (std::is_same_v<U, T>) {
        chained->fulfill(*p.value_);
      }
    } else if (chainedReject) {
      VBLPromise<U>::resolve(chained, chainedReject(p.error_), queue);
    } else {
      chained->reject(p.error_);
    }
  });
  return chained;
}

template <class T>
std::string VBLPromise<T>::description() const {
  std::lock_guard lock(mutex_);
  switch (state_) {
    case State::Pending:
      return describe(this, state_, {});
    case State::Fulfilled:
      return describe(this, state_, vbl_detail::describeValue(*value_));
    case State::Rejected:
      return describe(this, state_, error_.description());
  }
  return {};
}
