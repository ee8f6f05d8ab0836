#include <algorithm>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/thread_safety.h"
#include "platform/runloop/clock.h"
#include "platform/runloop/run_loop_impl.h"
#include "platform/runloop/virtual_time.h"

namespace platform {

RunLoop& RunLoop::main() { return detail::mainRunLoop(); }

std::shared_ptr<RunLoop> RunLoop::current() {
  if (DispatchQueue::isMainThread()) return detail::mainRunLoop().shared_from_this();
  // Made on demand; its thread lets go of it (and of its timers) on exit.
  thread_local std::shared_ptr<detail::RunLoopImpl> loop = std::make_shared<detail::RunLoopImpl>(false);
  return loop;
}

namespace detail {

RunLoopImpl& mainRunLoop() {
  // Never destroyed: timers keep weak references to their run loop.
  static std::shared_ptr<RunLoopImpl>* loop = [] {
    designateMainThreadIfUnset();
    return new std::shared_ptr<RunLoopImpl>(std::make_shared<RunLoopImpl>(true));
  }();
  return **loop;
}

RunLoopImpl::RunLoopImpl(bool isMain) : isMain_(isMain) {}

void RunLoopImpl::addTimer(const std::shared_ptr<Timer>& timer) {
  auto impl = std::dynamic_pointer_cast<TimerImpl>(timer);
  if (!impl || !impl->isValid()) return;
  {
    MutexLock lock(mutex_);
    if (std::find(timers_.begin(), timers_.end(), impl) != timers_.end()) return;
    // Listed before it is scheduled, so that it is found as soon as it falls due.
    timers_.push_back(impl);
  }
  if (!impl->attach(shared_from_this())) removeTimer(impl.get());
}

void RunLoopImpl::removeTimer(const TimerImpl* timer) {
  std::shared_ptr<TimerImpl> removed;  // released outside the lock
  MutexLock lock(mutex_);
  const auto it = std::find_if(timers_.begin(), timers_.end(), [&](const auto& t) { return t.get() == timer; });
  if (it == timers_.end()) return;
  removed = std::move(*it);
  timers_.erase(it);
}

bool RunLoopImpl::fireDueTimers() {
  std::vector<std::pair<TimelineKey, std::shared_ptr<TimerImpl>>> due;
  {
    MutexLock lock(mutex_);
    for (const auto& timer : timers_) {
      if (auto key = timer->dueKey()) due.emplace_back(*key, timer);
    }
  }
  if (due.empty()) return false;
  std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  bool fired = false;
  for (auto& [key, timer] : due) {
    if (isSuspended()) break;  // a timer's block may suspend the loop
    fired = timer->fireDue() || fired;
  }
  return fired;
}

bool RunLoopImpl::processOnce() {
  bool ran = false;
  // Main-queue blocks run on the main thread only, whoever runs this loop.
  if (isMain_ && DispatchQueue::isMainThread()) ran = drainMainQueue();
  if (!isSuspended()) ran = fireDueTimers() || ran;
  return ran;
}

bool RunLoopImpl::hasWork() const {
  if (isMain_ && mainQueueHasWork()) return true;
  if (isSuspended()) return false;
  MutexLock lock(mutex_);
  return std::any_of(timers_.begin(), timers_.end(), [](const auto& t) { return t->dueKey().has_value(); });
}

void RunLoopImpl::run() {
  stopped_.store(false);
  for (;;) {
    const auto seen = waker().generation();
    while (!stopped_.load() && processOnce()) {
    }
    if (stopped_.exchange(false)) return;
    waker().wait(seen);
  }
}

bool RunLoopImpl::runUntil(Date limit) {
  Clock& clock = Clock::current();
  const double seconds = limit.timeIntervalSince(clock.now());
  stopped_.store(false);
  if (clock.isManual() && isMain_ && DispatchQueue::isMainThread()) {
    // On virtual time the main thread itself is what moves time on.
    advanceVirtualTime(std::max(seconds, 0.0));
    return !stopped_.exchange(false);
  }
  const double deadline = clock.uptime() + seconds;
  std::weak_ptr<RunLoopImpl> weak = weak_from_this();
  const auto key = Timeline::shared().schedule(deadline, [weak] {
    if (auto loop = weak.lock()) loop->wake();
  });
  bool reached = false;
  for (;;) {
    const auto seen = waker().generation();
    // Looked at before the pass, so whatever fell due up to the moment the limit is seen still
    // runs in it: time may pass the limit between a pass and a look after it.
    const bool pastLimit = Clock::current().uptime() >= deadline;
    while (!stopped_.load() && processOnce()) {
    }
    if (stopped_.exchange(false)) break;
    if (pastLimit) {
      reached = true;
      break;
    }
    waker().wait(seen);
  }
  Timeline::shared().cancel(key);
  return reached;
}

bool RunLoopImpl::runOnce() { return processOnce(); }

void RunLoopImpl::stop() {
  stopped_.store(true);
  wake();
}

void RunLoopImpl::performAfterDelay(const void* target, std::string action, double delay,
                                    std::function<void()> block) {
  auto request = std::make_shared<TimerImpl>(std::max(delay, 0.0), false,
                                             [block = std::move(block)](Timer&) {
                                               if (block) block();
                                             },
                                             Value());
  request->markPerformRequest(target, std::move(action));
  addTimer(request);
}

void RunLoopImpl::cancelPreviousPerformRequests(const void* target, std::string_view action) {
  std::vector<std::shared_ptr<TimerImpl>> cancelled;
  {
    MutexLock lock(mutex_);
    for (const auto& timer : timers_) {
      if (timer->isPerformRequestFor(target, action)) cancelled.push_back(timer);
    }
  }
  for (auto& timer : cancelled) timer->invalidate();
}

void RunLoopImpl::setSuspended(bool suspended) {
  suspended_.store(suspended, std::memory_order_release);
  // On resume, overdue timers fire once.
  if (!suspended) wake();
}

void RunLoopImpl::reset() {
  std::vector<std::shared_ptr<TimerImpl>> timers;
  {
    MutexLock lock(mutex_);
    timers = timers_;
  }
  for (auto& timer : timers) timer->invalidate();
  suspended_.store(false);
  stopped_.store(false);
}

}  // namespace detail
}  // namespace platform
