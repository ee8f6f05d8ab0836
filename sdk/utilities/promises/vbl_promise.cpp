#include "sdk/utilities/promises/vbl_promise.h"

#include <atomic>
#include <cmath>
#include <limits>

#include "platform/foundation/exception.h"

namespace {

struct DefaultQueue {
  platform::Mutex mutex;
  VBLPromiseBase::Queue queue GUARDED_BY(mutex);
};

DefaultQueue& defaultQueue() {
  // Never destroyed: a promise settled on a worker while the process exits still looks it up.
  static auto* const shared = new DefaultQueue;
  return *shared;
}

}  // namespace

VBLPromiseBase::Queue VBLPromiseBase::defaultDispatchQueue() {
  DefaultQueue& d = defaultQueue();
  platform::MutexLock lock(d.mutex);
  if (!d.queue) d.queue = platform::DispatchQueue::main();
  return d.queue;
}

void VBLPromiseBase::setDefaultDispatchQueue(Queue queue) {
  requireQueue(queue);
  DefaultQueue& d = defaultQueue();
  platform::MutexLock lock(d.mutex);
  d.queue = std::move(queue);
}

const std::shared_ptr<platform::DispatchGroup>& VBLPromiseBase::dispatchGroup() {
  // Never destroyed: promises may still resolve while the process exits.
  static const auto* group = new std::shared_ptr<platform::DispatchGroup>(platform::DispatchGroup::make());
  return *group;
}

namespace {

std::atomic<long> groupMembers{0};
platform::Mutex groupTransitionMutex;

}  // namespace

// Only the first member enters the group and only the last leaves it; both transitions happen
// under one mutex, so the group's own enter and leave always alternate.
void VBLPromiseBase::enterGroup(long count) {
  long members = groupMembers.load(std::memory_order_relaxed);
  while (members > 0) {
    if (groupMembers.compare_exchange_weak(members, members + count, std::memory_order_relaxed)) return;
  }
  platform::MutexLock lock(groupTransitionMutex);
  if (groupMembers.fetch_add(count, std::memory_order_relaxed) == 0) dispatchGroup()->enter();
}

void VBLPromiseBase::leaveGroup() {
  long members = groupMembers.load(std::memory_order_relaxed);
  while (members > 1) {
    if (groupMembers.compare_exchange_weak(members, members - 1, std::memory_order_release)) return;
  }
  platform::MutexLock lock(groupTransitionMutex);
  if (groupMembers.fetch_sub(1, std::memory_order_acq_rel) == 1) dispatchGroup()->leave();
}

void VBLPromiseBase::StateLock::lockContended(std::uint32_t seen) {
  // Announces a sleeper before sleeping, so that the holder's unlock wakes it.
  if (seen != 2) seen = word_.exchange(2, std::memory_order_acquire);
  while (seen != 0) {
    word_.wait(2, std::memory_order_relaxed);
    seen = word_.exchange(2, std::memory_order_acquire);
  }
}

void VBLPromiseBase::discardObservers(std::unique_ptr<ObserverLink> first) {
  thread_local std::vector<std::unique_ptr<ObserverLink>>* waiting = nullptr;
  if (waiting) {
    waiting->push_back(std::move(first));
    return;
  }
  std::vector<std::unique_ptr<ObserverLink>> lists;
  waiting = &lists;
  lists.push_back(std::move(first));
  while (!lists.empty()) {
    std::unique_ptr<ObserverLink> link = std::move(lists.back());
    lists.pop_back();
    while (link) {
      std::unique_ptr<ObserverLink> next = link->detachNext();
      link.reset();
      link = std::move(next);
    }
  }
  waiting = nullptr;
}

void VBLPromiseBase::raiseInvalidParameter(std::string_view name) {
  raiseAssertion(platform::format("Invalid parameter not satisfying: %@", name));
}

void VBLPromiseBase::raiseAssertion(std::string_view reason) {
  throw platform::Exception(std::string(platform::kInternalInconsistencyException), std::string(reason));
}

std::string VBLPromiseBase::describe(const void* self, State state, const std::string& resolution) {
  switch (state) {
    case State::Pending:
      return platform::format("<%@ %p> Pending", "VBLPromise", self);
    case State::Fulfilled:
      return platform::format("<%@ %p> Fulfilled: %@", "VBLPromise", self, resolution);
    case State::Rejected:
      return platform::format("<%@ %p> Rejected: %@", "VBLPromise", self, resolution);
  }
  return {};
}

platform::Error VBLPromiseTimedOutError() {
  return platform::Error(std::string(VBLPromiseErrorDomain), VBLPromiseErrorCodeTimedOut);
}

platform::Error VBLPromiseValidationFailureError() {
  return platform::Error(std::string(VBLPromiseErrorDomain), VBLPromiseErrorCodeValidationFailure);
}

bool VBLPromiseErrorIsTimedOut(const platform::Error& error) {
  return error.domain() == VBLPromiseErrorDomain && error.code() == VBLPromiseErrorCodeTimedOut;
}

bool VBLPromiseErrorIsValidationFailure(const platform::Error& error) {
  return error.domain() == VBLPromiseErrorDomain && error.code() == VBLPromiseErrorCodeValidationFailure;
}

namespace vbl_detail {

double wholeNanoseconds(double seconds) {
  const double nanoseconds = seconds * 1e9;
  if (std::isnan(nanoseconds)) return 0;
  // Saturate where the conversion to a signed 64-bit count would overflow.
  constexpr double kLimit = 9.2e18;
  if (nanoseconds >= kLimit) return kLimit / 1e9;
  if (nanoseconds <= -kLimit) return -kLimit / 1e9;
  return static_cast<double>(static_cast<std::int64_t>(nanoseconds)) / 1e9;
}

}  // namespace vbl_detail
