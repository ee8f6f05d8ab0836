// The operators of VBLPromise, built on its core; included by vbl_promise.h only.
#pragma once

namespace vbl_detail {

// The platform's delays take whole nanoseconds; a NaN or an out-of-range interval must not turn
// into an undefined conversion.
double wholeNanoseconds(double seconds);

// The outcomes of the members of one `all`, in member order. Observers may run at once
// on a concurrent queue; the one that records the last outcome gets them all.
template <class T>
class Collected {
 public:
  using Outcomes = std::vector<std::optional<std::variant<T, platform::Error>>>;

  explicit Collected(std::size_t count) : outcomes_(count), missing_(count) {}

  std::optional<Outcomes> record(std::size_t index, std::variant<T, platform::Error> outcome) {
    platform::MutexLock lock(mutex_);
    if (missing_ == 0 || outcomes_[index]) return std::nullopt;
    outcomes_[index].emplace(std::move(outcome));
    if (--missing_ != 0) return std::nullopt;
    return std::move(outcomes_);
  }
  std::optional<Outcomes> record(std::size_t index, const T& value) {
    return record(index, std::variant<T, platform::Error>(std::in_place_index<0>, value));
  }
  // The combined promise settled early: the values still coming are not needed.
  void abandon() {
    platform::MutexLock lock(mutex_);
    missing_ = 0;
    outcomes_.clear();
  }

 private:
  platform::Mutex mutex_;
  Outcomes outcomes_ GUARDED_BY(mutex_);
  std::size_t missing_ GUARDED_BY(mutex_);
};

// Decides one `any`. A member counts as settled as soon as it resolves, even before its own
// callback has run, so the first callback to find no member pending decides. Members are held
// weakly: one that never resolves must still be able to die. A member's queued callback keeps it
// alive from its resolution until that callback has recorded its outcome, so a member that is gone
// before recording died unresolved and leaves the combination pending for good.
template <class T>
class AnySettlement {
 public:
  using Member = std::weak_ptr<VBLPromise<T>>;

  explicit AnySettlement(std::vector<Member> members) : members_(std::move(members)), outcomes_(members_.size()) {}

  // Records the outcome of the member at `index`. Gives every outcome, in member order, to the
  // first caller that finds no member pending; nothing to any other.
  std::optional<std::vector<VBLPromiseOutcome<T>>> settle(std::size_t index, VBLPromiseOutcome<T> outcome) {
    platform::MutexLock lock(mutex_);
    if (decided_) return std::nullopt;
    if (!outcomes_[index]) outcomes_[index].emplace(std::move(outcome));
    for (std::size_t i = 0; i < members_.size(); ++i) {
      if (outcomes_[i]) continue;
      const auto member = members_[i].lock();
      if (!member) return std::nullopt;
      if (auto value = member->value()) {
        outcomes_[i].emplace(std::in_place_index<0>, std::move(*value));
      } else if (auto error = member->error()) {
        outcomes_[i].emplace(std::in_place_index<1>, std::move(*error));
      } else {
        return std::nullopt;
      }
    }
    decided_ = true;
    members_.clear();
    std::vector<VBLPromiseOutcome<T>> combined;
    combined.reserve(outcomes_.size());
    for (auto& o : outcomes_) combined.push_back(std::move(*o));
    outcomes_.clear();
    return combined;
  }

 private:
  platform::Mutex mutex_;
  std::vector<Member> members_ GUARDED_BY(mutex_);
  std::vector<std::optional<VBLPromiseOutcome<T>>> outcomes_ GUARDED_BY(mutex_);
  bool decided_ GUARDED_BY(mutex_) = false;
};

}  // namespace vbl_detail

// ---- then, catch, recover, always, validate, reduce ----

template <class T>
template <class F>
auto VBLPromise<T>::then(const Queue& queue, F work) -> std::shared_ptr<VBLPromise<vbl_detail::ThenValue<T, F>>> {
  using U = vbl_detail::ThenValue<T, F>;
  requireQueue(queue);
  requireBlock(work, "work");
  using R = std::decay_t<vbl_detail::CallWithValueResult<T, F>>;
  auto chained = VBLPromise<U>::pendingPromise();
  if constexpr (std::is_void_v<R> || std::is_same_v<R, U>) {
    // A plain value: nothing to adopt, so no queue to keep.
    observe(queue, [chained, work = std::move(work)](const VBLPromise& p) mutable {
      if (p.resolvedState() == State::Rejected) {
        chained->rejectLike(p);
      } else if constexpr (std::is_void_v<R>) {
        vbl_detail::callWithValue<T>(work, p.resolvedValue());
        chained->fulfill(U{});
      } else {
        chained->fulfill(vbl_detail::callWithValue<T>(work, p.resolvedValue()));
      }
    });
  } else {
    observe(queue, [chained, queue, work = std::move(work)](const VBLPromise& p) mutable {
      if (p.resolvedState() == State::Rejected) {
        chained->rejectLike(p);
      } else {
        VBLPromise<U>::resolve(chained, VBLResult<U>(vbl_detail::callWithValue<T>(work, p.resolvedValue())), queue);
      }
    });
  }
  return chained;
}

template <class T>
template <class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::catch_(const Queue& queue, F reject) {
  requireQueue(queue);
  requireBlock(reject, "reject");
  auto chained = pendingPromise();
  observe(queue, [chained, reject = std::move(reject)](const VBLPromise& p) mutable {
    if (p.resolvedState() == State::Fulfilled) {
      chained->fulfill(p.resolvedValue());
    } else {
      reject(p.resolvedError());
      chained->rejectLike(p);
    }
  });
  return chained;
}

template <class T>
template <class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::recover(const Queue& queue, F recovery) {
  requireQueue(queue);
  requireBlock(recovery, "recovery");
  auto chained = pendingPromise();
  observe(queue, [chained, queue, recovery = std::move(recovery)](const VBLPromise& p) mutable {
    if (p.resolvedState() == State::Fulfilled) {
      chained->fulfill(p.resolvedValue());
    } else {
      resolve(chained, vbl_detail::resultOf<T>(recovery, p.resolvedError()), queue);
    }
  });
  return chained;
}

template <class T>
template <class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::always(const Queue& queue, F work) {
  requireQueue(queue);
  requireBlock(work, "work");
  auto chained = pendingPromise();
  observe(queue, [chained, work = std::move(work)](const VBLPromise& p) mutable {
    work();
    if (p.resolvedState() == State::Fulfilled) {
      chained->fulfill(p.resolvedValue());
    } else {
      chained->rejectLike(p);
    }
  });
  return chained;
}

template <class T>
template <class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::validate(const Queue& queue, F predicate) {
  requireQueue(queue);
  requireBlock(predicate, "predicate");
  auto chained = pendingPromise();
  observe(queue, [chained, predicate = std::move(predicate)](const VBLPromise& p) mutable {
    if (p.resolvedState() == State::Rejected) {
      chained->rejectLike(p);
    } else if (predicate(p.resolvedValue())) {
      chained->fulfill(p.resolvedValue());
    } else {
      chained->reject(VBLPromiseValidationFailureError());
    }
  });
  return chained;
}

template <class T>
template <class Item, class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::reduce(const Queue& queue, std::vector<Item> items, F reducer) {
  requireQueue(queue);
  requireBlock(reducer, "reducer");
  if (items.empty()) return this->shared_from_this();
  // Every step shares the reducer; each observer keeps its own item.
  auto shared = std::make_shared<F>(std::move(reducer));
  Ptr current = this->shared_from_this();
  for (auto& item : items) {
    auto next = pendingPromise();
    current->observe(queue, [next, queue, shared, item = std::move(item)](const VBLPromise& p) {
      if (p.resolvedState() == State::Fulfilled) {
        resolve(next, vbl_detail::resultOf<T>(*shared, p.resolvedValue(), item), queue);
      } else {
        next->rejectLike(p);
      }
    });
    current = std::move(next);
  }
  return current;
}

// ---- delay, timeout ----

template <class T>
typename VBLPromise<T>::Ptr VBLPromise<T>::delay(const Queue& queue, double seconds) {
  requireQueue(queue);
  const double interval = vbl_detail::wholeNanoseconds(seconds);
  auto delayed = pendingPromise();
  observe(queue, [delayed, queue, interval](const VBLPromise& p) {
    if (p.resolvedState() == State::Fulfilled) {
      queue->after(interval, [delayed, value = p.resolvedValue()]() mutable { delayed->fulfill(std::move(value)); });
    } else {
      delayed->rejectLike(p);
    }
  });
  return delayed;
}

template <class T>
typename VBLPromise<T>::Ptr VBLPromise<T>::timeout(const Queue& queue, double seconds) {
  requireQueue(queue);
  auto bounded = pendingPromise();
  observe(queue, [bounded](const VBLPromise& p) {
    if (p.resolvedState() == State::Fulfilled) {
      bounded->fulfill(p.resolvedValue());
    } else {
      bounded->rejectLike(p);
    }
  });
  // Held weakly: a timer must not keep alive a promise that nobody waits for any more.
  queue->after(vbl_detail::wholeNanoseconds(seconds), [weak = std::weak_ptr<VBLPromise>(bounded)] {
    if (auto promise = weak.lock()) promise->reject(VBLPromiseTimedOutError());
  });
  return bounded;
}

// ---- async, do ----

template <class T>
template <class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::async(const Queue& queue, F work) {
  requireQueue(queue);
  requireBlock(work, "work");
  auto promise = pendingPromise();
  submit(queue, [promise, queue, work = std::move(work)]() mutable {
    Fulfill fulfill = [promise, queue](VBLResult<T> result) { resolve(promise, std::move(result), queue); };
    Reject reject = [promise](platform::Error error) { promise->reject(std::move(error)); };
    work(std::move(fulfill), std::move(reject));
  });
  return promise;
}

template <class T>
template <class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::do_(const Queue& queue, F work) {
  requireQueue(queue);
  requireBlock(work, "work");
  auto promise = pendingPromise();
  submit(queue, [promise, queue, work = std::move(work)]() mutable {
    resolve(promise, vbl_detail::resultOf<T>(work), queue);
  });
  return promise;
}

// ---- all, any, race ----

template <class T>
std::shared_ptr<VBLPromise<std::vector<T>>> VBLPromise<T>::all(const Queue& queue,
                                                               std::vector<VBLResult<T>> allPromises) {
  using Combined = VBLPromise<std::vector<T>>;
  requireQueue(queue);
  if (allPromises.empty()) return Combined::resolvedWith(std::vector<T>{});
  for (auto& item : allPromises) {
    if (item.isPromise() && !item.promise()) raiseInvalidParameter("allPromises");
  }
  return Combined::async(queue, [queue, items = std::move(allPromises)](typename Combined::Fulfill fulfill,
                                                                        typename Combined::Reject reject) mutable {
    std::vector<Ptr> members;
    members.reserve(items.size());
    for (auto& item : items) {
      if (item.isError()) {
        reject(std::move(item.error()));
        return;
      }
      members.push_back(item.isPromise() ? std::move(item.promise()) : resolvedWith(std::move(item.value())));
    }
    // The observers share the members' outcomes, never the members: a member that never resolves
    // holds only its own observer, so dropping it frees it.
    auto collected = std::make_shared<vbl_detail::Collected<T>>(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
      members[i]->observe(queue, [collected, i, fulfill, reject](const VBLPromise& p) {
        if (p.resolvedState() == State::Rejected) {
          collected->abandon();
          reject(p.resolvedError());
          return;
        }
        if (auto outcomes = collected->record(i, p.resolvedValue())) {
          std::vector<T> values;
          values.reserve(outcomes->size());
          for (auto& o : *outcomes) values.push_back(std::move(std::get<0>(*o)));
          fulfill(std::move(values));
        }
      });
    }
  });
}

template <class T>
std::shared_ptr<VBLPromise<std::vector<VBLPromiseOutcome<T>>>> VBLPromise<T>::any(
    const Queue& queue, std::vector<VBLResult<T>> anyPromises) {
  using Combined = VBLPromise<std::vector<VBLPromiseOutcome<T>>>;
  requireQueue(queue);
  if (anyPromises.empty()) return Combined::resolvedWith(std::vector<VBLPromiseOutcome<T>>{});
  for (auto& item : anyPromises) {
    if (item.isPromise() && !item.promise()) raiseInvalidParameter("anyPromises");
  }
  return Combined::async(queue, [queue, items = std::move(anyPromises)](typename Combined::Fulfill fulfill,
                                                                        typename Combined::Reject reject) mutable {
    std::vector<Ptr> members;
    members.reserve(items.size());
    for (auto& item : items) {
      if (item.isPromise()) {
        members.push_back(std::move(item.promise()));
      } else if (item.isError()) {
        members.push_back(resolvedWith(std::move(item.error())));
      } else {
        members.push_back(resolvedWith(std::move(item.value())));
      }
    }
    auto settlement = std::make_shared<vbl_detail::AnySettlement<T>>(
        std::vector<typename vbl_detail::AnySettlement<T>::Member>(members.begin(), members.end()));
    for (std::size_t i = 0; i < members.size(); ++i) {
      members[i]->observe(queue, [settlement, i, fulfill, reject](const VBLPromise& p) {
        const bool fulfilled = p.resolvedState() == State::Fulfilled;
        auto combined = settlement->settle(i, fulfilled ? VBLPromiseOutcome<T>(std::in_place_index<0>, p.resolvedValue())
                                                        : VBLPromiseOutcome<T>(std::in_place_index<1>, p.resolvedError()));
        if (!combined) return;
        const bool anyFulfilled =
            std::any_of(combined->begin(), combined->end(), [](const auto& o) { return o.index() == 0; });
        if (anyFulfilled) {
          fulfill(std::move(*combined));
        } else {
          reject(p.resolvedError());
        }
      });
    }
  });
}

template <class T>
typename VBLPromise<T>::Ptr VBLPromise<T>::race(const Queue& queue, std::vector<VBLResult<T>> promises) {
  requireQueue(queue);
  if (promises.empty()) raiseAssertion("No promises to observe");
  for (auto& item : promises) {
    if (item.isPromise() && !item.promise()) raiseInvalidParameter("promises");
  }
  return async(queue, [queue, items = std::move(promises)](Fulfill fulfill, Reject reject) mutable {
    for (auto& item : items) {
      if (!item.isPromise()) {
        fulfill(std::move(item));
        return;
      }
    }
    for (auto& item : items) {
      item.promise()->observe(queue, [fulfill, reject](const VBLPromise& p) {
        if (p.resolvedState() == State::Fulfilled) {
          fulfill(p.resolvedValue());
        } else {
          reject(p.resolvedError());
        }
      });
    }
  });
}

// ---- retry ----

namespace vbl_detail {

// One retry loop: the work, what is left of it, and the promise it resolves.
template <class T, class F>
struct RetryLoop : std::enable_shared_from_this<RetryLoop<T, F>> {
  using Promise = VBLPromise<T>;
  typename Promise::Ptr promise;
  typename Promise::Queue queue;
  double interval;
  typename Promise::RetryPredicate predicate;
  F work;

  RetryLoop(typename Promise::Ptr p, typename Promise::Queue q, double i, typename Promise::RetryPredicate c, F w)
      : promise(std::move(p)), queue(std::move(q)), interval(i), predicate(std::move(c)), work(std::move(w)) {}

  void attempt(std::int64_t remaining) {
    VBLResult<T> result = resultOf<T>(work);
    if (result.isPromise()) {
      auto self = this->shared_from_this();
      auto& attemptPromise = result.promise();
      if (!attemptPromise) Promise::raiseInvalidParameter("promise");
      attemptPromise->observeOnQueue(
          queue, [self](const T& value) { self->promise->fulfill(value); },
          [self, remaining](const platform::Error& error) { self->failed(remaining, error); });
    } else if (result.isError()) {
      failed(remaining, result.error());
    } else {
      promise->fulfill(std::move(result.value()));
    }
  }

  void failed(std::int64_t remaining, const platform::Error& error) {
    if (remaining >= 1 && (!predicate || predicate(remaining, error))) {
      queue->after(interval, [self = this->shared_from_this(), remaining] { self->attempt(remaining - 1); });
    } else {
      promise->reject(error);
    }
  }
};

}  // namespace vbl_detail

template <class T>
template <class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::attempts(const Queue& queue, std::int64_t count, double interval,
                                                    RetryPredicate predicate, F work) {
  requireQueue(queue);
  requireBlock(work, "work");
  auto promise = pendingPromise();
  auto loop = std::make_shared<vbl_detail::RetryLoop<T, F>>(promise, queue, vbl_detail::wholeNanoseconds(interval),
                                                            std::move(predicate), std::move(work));
  loop->attempt(count);
  return promise;
}

// ---- wrap ----

template <class T>
template <class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::wrapCompletion(const Queue& queue, F work)
  requires std::same_as<T, VBLVoid>
{
  requireBlock(work, "work");
  return async(queue, [work = std::move(work)](Fulfill fulfill, Reject) mutable {
    work([fulfill] { fulfill(VBLVoid{}); });
  });
}

template <class T>
template <class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::wrapObjectCompletion(const Queue& queue, F work) {
  requireBlock(work, "work");
  return async(queue, [work = std::move(work)](Fulfill fulfill, Reject) mutable {
    work([fulfill](T value) { fulfill(std::move(value)); });
  });
}

template <class T>
template <class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::wrapErrorCompletion(const Queue& queue, F work)
  requires std::same_as<T, VBLVoid>
{
  requireBlock(work, "work");
  return async(queue, [work = std::move(work)](Fulfill fulfill, Reject reject) mutable {
    work([fulfill, reject](platform::Error error) {
      if (error.isSet()) {
        reject(std::move(error));
      } else {
        fulfill(VBLVoid{});
      }
    });
  });
}

template <class T>
template <class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::wrapObjectOrErrorCompletion(const Queue& queue, F work) {
  requireBlock(work, "work");
  return async(queue, [work = std::move(work)](Fulfill fulfill, Reject reject) mutable {
    work([fulfill, reject](T value, platform::Error error) {
      if (error.isSet()) {
        reject(std::move(error));
      } else {
        fulfill(std::move(value));
      }
    });
  });
}

template <class T>
template <class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::wrapErrorOrObjectCompletion(const Queue& queue, F work) {
  requireBlock(work, "work");
  return async(queue, [work = std::move(work)](Fulfill fulfill, Reject reject) mutable {
    work([fulfill, reject](platform::Error error, T value) {
      if (error.isSet()) {
        reject(std::move(error));
      } else {
        fulfill(std::move(value));
      }
    });
  });
}

template <class T>
template <class F>
typename VBLPromise<T>::Ptr VBLPromise<T>::wrap2ObjectsOrErrorCompletion(const Queue& queue, F work)
  requires vbl_detail::IsPair<T>::value
{
  requireBlock(work, "work");
  using A = typename T::first_type;
  using B = typename T::second_type;
  return async(queue, [work = std::move(work)](Fulfill fulfill, Reject reject) mutable {
    work([fulfill, reject](A first, B second, platform::Error error) {
      if (error.isSet()) {
        reject(std::move(error));
      } else {
        fulfill(T(std::move(first), std::move(second)));
      }
    });
  });
}
