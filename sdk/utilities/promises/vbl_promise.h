// The promise of the SDK stack.
//
// Values are typed, one choice for the whole SDK: a VBLPromise<T> is fulfilled with a T or
// rejected with a platform::Error (whose domain is set). A promise without a value is a
// VBLPromise<VBLVoid>. Promises are reference objects, always held by std::shared_ptr.
//
// A block that resolves a promise (then, recover, reduce, do_, retry, async's fulfil) hands back a
// VBLResult<U>: a U fulfils, a platform::Error rejects, a std::shared_ptr<VBLPromise<U>> is adopted
// (the promise waits for it and takes its value or error). `then` infers the next promise's type
// from its block: a block returning a U, a VBLResult<U> or a promise of U gives a VBLPromise<U>;
// a block returning nothing gives a VBLPromise<VBLVoid>.
//
// Callbacks never run inside the call that registers or resolves them: they are submitted to the
// queue given to the operator, or else to the default queue (the main queue unless changed) read
// when the operator is called. Every operator has a plain form and a form taking the queue first;
// `catch` and `do` are spelled `catch_` and `do_`. Pending promises and submitted callbacks are
// members of one process-wide dispatch group, so tests can wait until all promise work is done.
//
// Missing blocks or queues are caller errors and raise platform::Exception
// ("Invalid parameter not satisfying: <name>").
#pragma once

#include <algorithm>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/format.h"
#include "platform/foundation/thread_safety.h"

// The value of a promise that carries none.
struct VBLVoid {
  friend bool operator==(VBLVoid, VBLVoid) { return true; }
  std::string description() const { return "(null)"; }
};

// The errors the operators make themselves; no user info.
inline constexpr std::string_view VBLPromiseErrorDomain = "com.videzu.VBLPromises.Error";
inline constexpr std::int64_t VBLPromiseErrorCodeTimedOut = 1;          // timeout expired
inline constexpr std::int64_t VBLPromiseErrorCodeValidationFailure = 2;  // validate said no
platform::Error VBLPromiseTimedOutError();
platform::Error VBLPromiseValidationFailureError();
bool VBLPromiseErrorIsTimedOut(const platform::Error& error);
bool VBLPromiseErrorIsValidationFailure(const platform::Error& error);

template <class T>
class VBLPromise;
template <class T>
using VBLPromisePtr = std::shared_ptr<VBLPromise<T>>;

// What a block hands back to resolve a promise of U: a value, an error or a promise to adopt.
template <class U>
class VBLResult {
 public:
  using Promise = std::shared_ptr<VBLPromise<U>>;

  VBLResult(U value) : v_(std::in_place_index<0>, std::move(value)) {}
  VBLResult(platform::Error error) : v_(std::in_place_index<1>, std::move(error)) {}
  VBLResult(Promise promise) : v_(std::in_place_index<2>, std::move(promise)) {}
  // Anything a U is made from ("text" for a std::string, 5 for a std::int64_t).
  template <class V>
    requires std::constructible_from<U, V&&> && (!std::same_as<std::decay_t<V>, U>) &&
             (!std::same_as<std::decay_t<V>, platform::Error>) && (!std::same_as<std::decay_t<V>, Promise>) &&
             (!std::same_as<std::decay_t<V>, VBLResult>)
  VBLResult(V&& value) : v_(std::in_place_index<0>, U(std::forward<V>(value))) {}

  bool isValue() const { return v_.index() == 0; }
  bool isError() const { return v_.index() == 1; }
  bool isPromise() const { return v_.index() == 2; }
  U& value() { return std::get<0>(v_); }
  platform::Error& error() { return std::get<1>(v_); }
  Promise& promise() { return std::get<2>(v_); }

 private:
  std::variant<U, platform::Error, Promise> v_;
};

// One member of what `any` fulfils with: the member's value, or its error.
template <class T>
using VBLPromiseOutcome = std::variant<T, platform::Error>;

// The state of every promise that does not depend on its value type.
class VBLPromiseBase {
 public:
  using Queue = std::shared_ptr<platform::DispatchQueue>;

  // The queue of every plain form, read when the operator is called. Initially the main queue.
  static Queue defaultDispatchQueue();
  static void setDefaultDispatchQueue(Queue queue);
  // Pending promises and submitted callbacks belong to it until they resolve or run.
  static const std::shared_ptr<platform::DispatchGroup>& dispatchGroup();

  // The assertion failures of the library, raised as the platform's assertion handler does.
  [[noreturn]] static void raiseInvalidParameter(std::string_view name);
  [[noreturn]] static void raiseAssertion(std::string_view reason);

 protected:
  // The indices of a promise's outcome: nothing yet, a value, an error.
  enum class State { Pending, Fulfilled, Rejected };

  // The lock of one promise. It is held only for a few stores, so an uncontended take is a
  // single atomic exchange; a contended one sleeps on the word instead of spinning.
  class StateLock {
   public:
    void lock() {
      std::uint32_t expected = 0;
      if (!word_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        lockContended(expected);
      }
    }
    void unlock() {
      if (word_.exchange(0, std::memory_order_release) == 2) word_.notify_one();
    }

   private:
    void lockContended(std::uint32_t seen);
    // 0 free, 1 taken, 2 taken with sleepers.
    std::atomic<std::uint32_t> word_{0};
  };

  // One observer of a list, whatever the promise's value type.
  struct ObserverLink {
    virtual ~ObserverLink() = default;
    virtual std::unique_ptr<ObserverLink> detachNext() = 0;
  };
  // Destroys the observers of a promise that dies unresolved. An observer may own the last
  // reference to the promise it would have resolved, and that one its own observers: lists met
  // while one is being destroyed wait in a list of the thread, so that dropping a long pending
  // chain takes one loop instead of one stack frame per link.
  static void discardObservers(std::unique_ptr<ObserverLink> first);

  // Membership of the dispatch group. Promises come and go in large numbers, so members are
  // counted here and the group itself is entered only while any member exists.
  static void enterGroup(long count = 1);
  static void leaveGroup();

  // Submits `block` to `queue` as a member of the dispatch group.
  template <class F>
  static void submit(const Queue& queue, F&& block) {
    enterGroup();
    submitCounted(queue, std::forward<F>(block));
  }
  // The same for a block whose membership the caller has already counted.
  template <class F>
  static void submitCounted(const Queue& queue, F&& block) {
    queue->async([block = std::forward<F>(block)]() mutable {
      struct Leave {
        ~Leave() { leaveGroup(); }
      } leave;
      block();
    });
  }
  static void requireQueue(const Queue& queue) {
    if (!queue) raiseInvalidParameter("queue");
  }
  // Blocks that can be empty (std::function, function pointers) must not be.
  template <class F>
  static void requireBlock(const F& block, std::string_view name) {
    if constexpr (std::is_constructible_v<bool, const F&>) {
      if (!static_cast<bool>(block)) raiseInvalidParameter(name);
    }
  }
  static std::string describe(const void* self, State state, const std::string& resolution);
};

namespace vbl_detail {

// The promise type a block's result makes: U for a U, a VBLResult<U> or a promise of U;
// VBLVoid for nothing. An error alone names no value type: return a VBLResult<U> instead.
template <class R>
struct ResultValue {
  using type = R;
};
template <>
struct ResultValue<void> {
  using type = VBLVoid;
};
template <class U>
struct ResultValue<VBLResult<U>> {
  using type = U;
};
template <class U>
struct ResultValue<std::shared_ptr<VBLPromise<U>>> {
  using type = U;
};
template <>
struct ResultValue<platform::Error> {};

template <class F, class... A>
using ResultValueOf = typename ResultValue<std::decay_t<std::invoke_result_t<F&, A...>>>::type;

// Calls a block and turns what it returns into a VBLResult<U>.
template <class U, class F, class... A>
VBLResult<U> resultOf(F& f, A&&... args) {
  if constexpr (std::is_void_v<std::invoke_result_t<F&, A...>>) {
    f(std::forward<A>(args)...);
    return VBLResult<U>(U{});
  } else {
    return VBLResult<U>(f(std::forward<A>(args)...));
  }
}

// A block on the value of a VBLPromise<VBLVoid> may ignore it.
template <class T, class F>
decltype(auto) callWithValue(F& f, const T& value) {
  if constexpr (std::is_invocable_v<F&, const T&>) {
    return f(value);
  } else {
    static_assert(std::is_same_v<T, VBLVoid>, "the block must take the promise's value");
    return f();
  }
}
template <class T, class F>
using CallWithValueResult = decltype(callWithValue<T>(std::declval<F&>(), std::declval<const T&>()));
// The value type of the promise that `then` makes from a block on a T.
template <class T, class F>
using ThenValue = typename ResultValue<std::decay_t<CallWithValueResult<T, F>>>::type;

template <class T>
std::string describeValue(const T& value) {
  if constexpr (std::is_constructible_v<platform::FormatArg, const T&>) {
    return platform::format("%@", value);
  } else {
    return "<value>";
  }
}

template <class T>
struct IsPair : std::false_type {};
template <class A, class B>
struct IsPair<std::pair<A, B>> : std::true_type {};

}  // namespace vbl_detail

template <class T>
class VBLPromise final : public VBLPromiseBase, public std::enable_shared_from_this<VBLPromise<T>> {
  static_assert(!std::is_same_v<T, platform::Error>, "an error rejects a promise, it is no value");
  static_assert(!std::is_void_v<T> && !std::is_reference_v<T>, "use VBLVoid for a promise without a value");
  struct Token {};

 public:
  using Ptr = std::shared_ptr<VBLPromise>;
  using ValueType = T;
  using OnFulfill = std::function<void(const T&)>;
  using OnReject = std::function<void(const platform::Error&)>;
  // The blocks `async` hands to its work; both may be called later, from any thread.
  using Fulfill = std::function<void(VBLResult<T>)>;
  using Reject = std::function<void(platform::Error)>;
  // The retry predicate: remaining count and the attempt's error; yes tries again.
  using RetryPredicate = std::function<bool(std::int64_t, const platform::Error&)>;

  explicit VBLPromise(Token);
  VBLPromise(Token, T value);
  VBLPromise(Token, platform::Error error);
  ~VBLPromise();
  VBLPromise(const VBLPromise&) = delete;
  VBLPromise& operator=(const VBLPromise&) = delete;

  // ---- Core ----

  static Ptr pendingPromise() { return std::make_shared<VBLPromise>(Token{}); }
  // Already resolved; never a member of the dispatch group.
  static Ptr resolvedWith(T value) { return std::make_shared<VBLPromise>(Token{}, std::move(value)); }
  static Ptr resolvedWith(platform::Error error) { return std::make_shared<VBLPromise>(Token{}, std::move(error)); }

  // The first resolution wins; later ones change nothing and call no observer.
  void fulfill(T value);
  // An error without a domain is a caller error ("Invalid error type.").
  void reject(platform::Error error);

  bool isPending() const { return state() == State::Pending; }
  bool isFulfilled() const { return state() == State::Fulfilled; }
  bool isRejected() const { return state() == State::Rejected; }
  std::optional<T> value() const;
  std::optional<platform::Error> error() const;

  // Keeps `object` alive until the promise resolves; nothing once it has.
  void addPendingObject(std::shared_ptr<const void> object);

  // Exactly one of the callbacks runs, once, on `queue`, never inside this call.
  void observeOnQueue(const Queue& queue, OnFulfill onFulfill, OnReject onReject);

  // The chaining primitive: a new promise resolved by what the blocks return (see VBLResult).
  // A missing chainedFulfill passes the value on (only when U is T); a missing chainedReject
  // passes the error on.
  template <class U = T>
  std::shared_ptr<VBLPromise<U>> chainOnQueue(const Queue& queue,
                                              std::function<VBLResult<U>(const T&)> chainedFulfill,
                                              std::function<VBLResult<U>(const platform::Error&)> chainedReject);

  // "<VBLPromise 0x…> Pending", "… Fulfilled: <value>", "… Rejected: <error>".
  std::string description() const;

  // Resolves `promise` by a block's result, adopting a promise by observing it on `queue`.
  static void resolve(const Ptr& promise, VBLResult<T> result, const Queue& queue);

  // ---- Instance operators ----

  // work(value) -> U, VBLResult<U>, promise of U or nothing. A rejection passes through.
  template <class F>
  auto then(F work) {
    return then(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  auto then(const Queue& queue, F work) -> std::shared_ptr<VBLPromise<vbl_detail::ThenValue<T, F>>>;

  // Observes a rejection: reject(error) runs and the result stays rejected with the same error.
  template <class F>
  Ptr catch_(F reject) {
    return catch_(defaultDispatchQueue(), std::move(reject));
  }
  template <class F>
  Ptr catch_(const Queue& queue, F reject);

  // recovery(error) -> T, error, promise of T or VBLResult<T>.
  template <class F>
  Ptr recover(F recovery) {
    return recover(defaultDispatchQueue(), std::move(recovery));
  }
  template <class F>
  Ptr recover(const Queue& queue, F recovery);

  // work() runs on either outcome; the result ends exactly as the receiver.
  template <class F>
  Ptr always(F work) {
    return always(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  Ptr always(const Queue& queue, F work);

  // predicate(value) -> bool; no rejects with the validation error.
  template <class F>
  Ptr validate(F predicate) {
    return validate(defaultDispatchQueue(), std::move(predicate));
  }
  template <class F>
  Ptr validate(const Queue& queue, F predicate);

  // reducer(partial, item) -> T, error, promise of T or VBLResult<T>, once per item in order.
  // With no items the receiver itself is returned.
  template <class Item, class F>
  Ptr reduce(std::vector<Item> items, F reducer) {
    return reduce(defaultDispatchQueue(), std::move(items), std::move(reducer));
  }
  template <class Item, class F>
  Ptr reduce(const Queue& queue, std::vector<Item> items, F reducer);

  // Fulfils `seconds` after the receiver fulfils (platform clock); a rejection passes at once.
  Ptr delay(double seconds) { return delay(defaultDispatchQueue(), seconds); }
  Ptr delay(const Queue& queue, double seconds);

  // Takes the receiver's outcome, unless `seconds` pass first (platform clock): then it rejects
  // with the time-out error. The receiver is not cancelled.
  Ptr timeout(double seconds) { return timeout(defaultDispatchQueue(), seconds); }
  Ptr timeout(const Queue& queue, double seconds);

  // ---- Class operators ----

  // work(fulfill, reject) runs on the queue; the first resolution counts.
  template <class F>
  static Ptr async(F work) {
    return async(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr async(const Queue& queue, F work);

  // work() -> T, error, promise of T or VBLResult<T>, run on the queue.
  template <class F>
  static Ptr do_(F work) {
    return do_(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr do_(const Queue& queue, F work);

  // The values of every item in input order, or the first error delivered. Items are promises,
  // values or errors; an error item rejects without waiting for anything.
  static std::shared_ptr<VBLPromise<std::vector<T>>> all(std::vector<VBLResult<T>> allPromises) {
    return all(defaultDispatchQueue(), std::move(allPromises));
  }
  static std::shared_ptr<VBLPromise<std::vector<T>>> all(const Queue& queue, std::vector<VBLResult<T>> allPromises);
  // A list of promises only (a template, so that a braced list picks the forms above).
  template <std::same_as<std::vector<Ptr>> Promises>
  static std::shared_ptr<VBLPromise<std::vector<T>>> all(const Promises& allPromises) {
    return all(defaultDispatchQueue(), allPromises);
  }
  template <std::same_as<std::vector<Ptr>> Promises>
  static std::shared_ptr<VBLPromise<std::vector<T>>> all(const Queue& queue, const Promises& allPromises) {
    return all(queue, std::vector<VBLResult<T>>(allPromises.begin(), allPromises.end()));
  }

  // Waits for every item; fulfils with each one's value or error in input order unless all were
  // rejected, then rejects with the error of the first callback to run once none is pending.
  static std::shared_ptr<VBLPromise<std::vector<VBLPromiseOutcome<T>>>> any(std::vector<VBLResult<T>> anyPromises) {
    return any(defaultDispatchQueue(), std::move(anyPromises));
  }
  static std::shared_ptr<VBLPromise<std::vector<VBLPromiseOutcome<T>>>> any(const Queue& queue,
                                                                            std::vector<VBLResult<T>> anyPromises);
  template <std::same_as<std::vector<Ptr>> Promises>
  static std::shared_ptr<VBLPromise<std::vector<VBLPromiseOutcome<T>>>> any(const Promises& anyPromises) {
    return any(defaultDispatchQueue(), anyPromises);
  }
  template <std::same_as<std::vector<Ptr>> Promises>
  static std::shared_ptr<VBLPromise<std::vector<VBLPromiseOutcome<T>>>> any(const Queue& queue,
                                                                            const Promises& anyPromises) {
    return any(queue, std::vector<VBLResult<T>>(anyPromises.begin(), anyPromises.end()));
  }

  // The first outcome: the first plain value or error item, else the first promise to resolve.
  static Ptr race(std::vector<VBLResult<T>> promises) { return race(defaultDispatchQueue(), std::move(promises)); }
  static Ptr race(const Queue& queue, std::vector<VBLResult<T>> promises);
  template <std::same_as<std::vector<Ptr>> Promises>
  static Ptr race(const Promises& promises) {
    return race(defaultDispatchQueue(), promises);
  }
  template <std::same_as<std::vector<Ptr>> Promises>
  static Ptr race(const Queue& queue, const Promises& promises) {
    return race(queue, std::vector<VBLResult<T>>(promises.begin(), promises.end()));
  }

  // work() -> T, error, promise of T or VBLResult<T>. The first attempt runs at once on the
  // calling thread; a failed attempt is tried again after `interval` seconds (platform clock) on
  // the queue while `count` retries remain and `predicate` (when given) agrees.
  template <class F>
  static Ptr retry(F work) {
    return retry(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr retry(const Queue& queue, F work) {
    return attempts(queue, 1, 1.0, nullptr, std::move(work));
  }
  template <class F>
  static Ptr attempts(std::int64_t count, F work) {
    return attempts(defaultDispatchQueue(), count, 1.0, nullptr, std::move(work));
  }
  template <class F>
  static Ptr attempts(const Queue& queue, std::int64_t count, F work) {
    return attempts(queue, count, 1.0, nullptr, std::move(work));
  }
  template <class F>
  static Ptr attempts(std::int64_t count, double interval, RetryPredicate predicate, F work) {
    return attempts(defaultDispatchQueue(), count, interval, std::move(predicate), std::move(work));
  }
  template <class F>
  static Ptr attempts(const Queue& queue, std::int64_t count, double interval, RetryPredicate predicate, F work);

  // Adapters of completion-handler interfaces: work(handler) runs on the queue and the handler
  // resolves the promise (the first call counts). An error argument rejects when it is set.
  template <class F>
  static Ptr wrapCompletion(F work)
    requires std::same_as<T, VBLVoid>
  {
    return wrapCompletion(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr wrapCompletion(const Queue& queue, F work)
    requires std::same_as<T, VBLVoid>;

  template <class F>
  static Ptr wrapObjectCompletion(F work) {
    return wrapObjectCompletion(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr wrapObjectCompletion(const Queue& queue, F work);

  template <class F>
  static Ptr wrapErrorCompletion(F work)
    requires std::same_as<T, VBLVoid>
  {
    return wrapErrorCompletion(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr wrapErrorCompletion(const Queue& queue, F work)
    requires std::same_as<T, VBLVoid>;

  template <class F>
  static Ptr wrapObjectOrErrorCompletion(F work) {
    return wrapObjectOrErrorCompletion(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr wrapObjectOrErrorCompletion(const Queue& queue, F work);

  template <class F>
  static Ptr wrapErrorOrObjectCompletion(F work) {
    return wrapErrorOrObjectCompletion(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr wrapErrorOrObjectCompletion(const Queue& queue, F work);

  // T is std::pair<A, B>; the handler takes (A, B, error).
  template <class F>
  static Ptr wrap2ObjectsOrErrorCompletion(F work)
    requires vbl_detail::IsPair<T>::value
  {
    return wrap2ObjectsOrErrorCompletion(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr wrap2ObjectsOrErrorCompletion(const Queue& queue, F work)
    requires vbl_detail::IsPair<T>::value;

  template <class F>
  static Ptr wrapBoolCompletion(F work)
    requires std::same_as<T, bool>
  {
    return wrapBoolCompletion(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr wrapBoolCompletion(const Queue& queue, F work)
    requires std::same_as<T, bool>
  {
    return wrapObjectCompletion(queue, std::move(work));
  }
  template <class F>
  static Ptr wrapBoolOrErrorCompletion(F work)
    requires std::same_as<T, bool>
  {
    return wrapBoolOrErrorCompletion(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr wrapBoolOrErrorCompletion(const Queue& queue, F work)
    requires std::same_as<T, bool>
  {
    return wrapObjectOrErrorCompletion(queue, std::move(work));
  }

  template <class F>
  static Ptr wrapIntegerCompletion(F work)
    requires std::same_as<T, std::int64_t>
  {
    return wrapIntegerCompletion(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr wrapIntegerCompletion(const Queue& queue, F work)
    requires std::same_as<T, std::int64_t>
  {
    return wrapObjectCompletion(queue, std::move(work));
  }
  template <class F>
  static Ptr wrapIntegerOrErrorCompletion(F work)
    requires std::same_as<T, std::int64_t>
  {
    return wrapIntegerOrErrorCompletion(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr wrapIntegerOrErrorCompletion(const Queue& queue, F work)
    requires std::same_as<T, std::int64_t>
  {
    return wrapObjectOrErrorCompletion(queue, std::move(work));
  }

  template <class F>
  static Ptr wrapDoubleCompletion(F work)
    requires std::same_as<T, double>
  {
    return wrapDoubleCompletion(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr wrapDoubleCompletion(const Queue& queue, F work)
    requires std::same_as<T, double>
  {
    return wrapObjectCompletion(queue, std::move(work));
  }
  template <class F>
  static Ptr wrapDoubleOrErrorCompletion(F work)
    requires std::same_as<T, double>
  {
    return wrapDoubleOrErrorCompletion(defaultDispatchQueue(), std::move(work));
  }
  template <class F>
  static Ptr wrapDoubleOrErrorCompletion(const Queue& queue, F work)
    requires std::same_as<T, double>
  {
    return wrapObjectOrErrorCompletion(queue, std::move(work));
  }

 private:
  // A callback waiting for the resolution; it reads the outcome from the resolved promise.
  // Observers registered while the promise is pending run in registration order. The first one
  // lives in the promise itself when it is small (a chain step usually is), so the step costs no
  // allocation of its own; the others form a list of nodes, each of which travels to its queue as
  // a bare pointer, so submitting it allocates nothing more.
  struct Observer : ObserverLink {
    virtual void run(const VBLPromise& resolved) = 0;
    std::unique_ptr<ObserverLink> detachNext() override { return std::move(next); }
    Queue queue;
    std::shared_ptr<const VBLPromise> resolved;  // set when submitted
    std::unique_ptr<Observer> next;
  };
  template <class F>
  struct ObserverOf final : Observer {
    explicit ObserverOf(F f) : call(std::move(f)) {}
    void run(const VBLPromise& p) override { call(p); }
    F call;
  };

  static constexpr std::size_t kInlineObserverSize = 48;
  template <class F>
  static constexpr bool fitsInline = sizeof(F) <= kInlineObserverSize &&
                                     alignof(F) <= alignof(std::max_align_t) &&
                                     std::is_nothrow_move_constructible_v<F>;
  // What the promise needs to run, drop or move out the callback held in place.
  struct InlineOps {
    void (*run)(void* call, const VBLPromise& resolved);
    void (*destroy)(void* call);
    std::unique_ptr<Observer> (*toNode)(void* call);
  };
  template <class F>
  static constexpr InlineOps inlineOpsOf{
      [](void* call, const VBLPromise& resolved) { (*static_cast<F*>(call))(resolved); },
      [](void* call) { static_cast<F*>(call)->~F(); },
      [](void* call) -> std::unique_ptr<Observer> {
        F& f = *static_cast<F*>(call);
        auto node = std::make_unique<ObserverOf<F>>(std::move(f));
        f.~F();
        return node;
      }};

  template <class U>
  friend class VBLPromise;

  State state() const {
    std::lock_guard lock(lock_);
    return resolvedState();
  }
  // The outcome, read without the lock: only where it is final (observers, resolved promises).
  State resolvedState() const { return static_cast<State>(outcome_.index()); }
  const T& resolvedValue() const { return *std::get_if<1>(&outcome_); }
  const platform::Error& resolvedError() const { return **std::get_if<2>(&outcome_); }
  // Passes on the rejection of a resolved promise, sharing its error instead of copying it.
  template <class S>
  void rejectLike(const VBLPromise<S>& rejected) {
    settle([&] { outcome_.template emplace<2>(*std::get_if<2>(&rejected.outcome_)); });
  }

  // Registers `call(resolvedPromise)`, which runs on `queue` once the promise is resolved.
  template <class F>
  void observe(const Queue& queue, F&& call);
  // Hands an observer of this resolved promise to its queue; its group membership is counted.
  static void dispatchCounted(std::unique_ptr<Observer> observer, std::shared_ptr<const VBLPromise> self);
  // Runs and drops the callback held in place, then lets go of the promise.
  void runInlineObserver();
  // Resolves once; `set` stores the outcome under the lock.
  template <class Set>
  void settle(Set&& set);

  mutable StateLock lock_;
  // An error is rare and large, so it lives apart, where a chain passing it on can share it.
  std::variant<std::monostate, T, std::shared_ptr<const platform::Error>> outcome_;
  // Rarely used; a promise without any carries one pointer for them.
  std::unique_ptr<std::vector<std::shared_ptr<const void>>> pendingObjects_;
  const InlineOps* inlineOps_ = nullptr;
  Queue inlineQueue_;
  // The promise itself while the callback held in place waits on its queue.
  std::shared_ptr<const VBLPromise> inlineKeepAlive_;
  alignas(std::max_align_t) unsigned char inlineObserver_[kInlineObserverSize];
  std::unique_ptr<Observer> firstObserver_;
  Observer* lastObserver_ = nullptr;
};

#include "sdk/utilities/promises/vbl_promise_core.inl"
#include "sdk/utilities/promises/vbl_promise_operators.inl"
