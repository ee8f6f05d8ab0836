#include <algorithm>
#include <cmath>

#include "platform/dispatch/on_unwind.h"
#include "platform/foundation/thread_safety.h"
#include "platform/runloop/clock.h"
#include "platform/runloop/run_loop_impl.h"

namespace platform {

namespace {
// The shortest period a repeating timer may have, so that a zero interval cannot spin.
constexpr double kMinimumRepeatInterval = 0.0001;

double sanitizedInterval(double interval, bool repeats) {
  if (!(interval >= 0)) interval = 0;
  return repeats ? std::max(interval, kMinimumRepeatInterval) : interval;
}
}  // namespace

std::shared_ptr<Timer> Timer::scheduled(double interval, bool repeats, Block block, Value userInfo) {
  auto timer = make(interval, repeats, std::move(block), std::move(userInfo));
  RunLoop::current()->addTimer(timer);
  return timer;
}

std::shared_ptr<Timer> Timer::make(double interval, bool repeats, Block block, Value userInfo) {
  return std::make_shared<detail::TimerImpl>(interval, repeats, std::move(block), std::move(userInfo));
}

namespace detail {

TimerImpl::TimerImpl(double interval, bool repeats, Block block, Value userInfo)
    : interval_(sanitizedInterval(interval, repeats)),
      repeats_(repeats),
      userInfo_(std::move(userInfo)),
      block_(std::move(block)),
      firstDeadline_(Clock::current().uptime() + interval_) {}

Date TimerImpl::fireDate() const {
  double deadline;
  {
    MutexLock lock(mutex_);
    deadline = deadlineLocked();
  }
  const Clock& clock = Clock::current();
  return clock.now().addingTimeInterval(deadline - clock.uptime());
}

void TimerImpl::scheduleLocked() {
  const double deadline = deadlineLocked();
  if (std::isinf(deadline)) return;  // a timer of infinite interval never falls due
  std::weak_ptr<Timer> weak = weak_from_this();
  key_ = Timeline::shared().schedule(deadline, [weak] {
    if (auto timer = weak.lock()) static_cast<TimerImpl&>(*timer).becameDue();
  });
}

bool TimerImpl::attach(const std::shared_ptr<RunLoopImpl>& loop) {
  MutexLock lock(mutex_);
  if (!valid_.load(std::memory_order_acquire) || !loop_.expired()) return false;
  loop_ = loop;
  scheduleLocked();
  return true;
}

void TimerImpl::becameDue() {
  std::shared_ptr<RunLoopImpl> loop;
  {
    MutexLock lock(mutex_);
    if (!valid_.load(std::memory_order_acquire)) return;
    due_ = true;
    dueKey_ = key_;
    key_ = {};
    loop = loop_.lock();
  }
  if (loop) loop->wake();
}

std::optional<TimelineKey> TimerImpl::dueKey() const {
  MutexLock lock(mutex_);
  if (!due_) return std::nullopt;
  return dueKey_;
}

bool TimerImpl::fireDue() {
  auto self = shared_from_this();  // the block may invalidate the timer and drop the last owner
  Block block;
  {
    MutexLock lock(mutex_);
    if (!due_ || !valid_.load(std::memory_order_acquire)) return false;
    due_ = false;
    block = block_;  // a copy: the block may invalidate the timer, which releases block_
  }
  {
    // An exception goes on to whoever runs the loop and the timer keeps its schedule; tidied on
    // unwind rather than by catching, so an uncaught one reaches terminate with its frames.
    detail::OnUnwind keepSchedule([this] { afterFiring(); });
    if (block) block(*this);
  }
  afterFiring();
  return true;
}

void TimerImpl::afterFiring() {
  if (!repeats_) {
    invalidate();
    return;
  }
  MutexLock lock(mutex_);
  if (!valid_.load(std::memory_order_acquire) || due_ || key_.scheduled()) return;
  ticks_ = detail::nextTickAfter(firstDeadline_, interval_, ticks_, Clock::current().uptime());
  scheduleLocked();
}

void TimerImpl::fire() {
  auto self = shared_from_this();
  Block block;
  {
    MutexLock lock(mutex_);
    if (!valid_.load(std::memory_order_acquire)) return;
    block = block_;
  }
  if (block) block(*this);
  if (!repeats_) invalidate();
}

void TimerImpl::invalidate() {
  auto self = shared_from_this();
  if (!valid_.exchange(false, std::memory_order_acq_rel)) return;
  TimelineKey key;
  std::shared_ptr<RunLoopImpl> loop;
  Block released;
  {
    MutexLock lock(mutex_);
    key = key_;
    key_ = {};
    due_ = false;
    loop = loop_.lock();
    loop_.reset();
    released = std::move(block_);
    block_ = nullptr;
  }
  Timeline::shared().cancel(key);
  if (loop) loop->removeTimer(this);
}

void TimerImpl::markPerformRequest(const void* target, std::string action) {
  MutexLock lock(mutex_);
  isPerformRequest_ = true;
  performTarget_ = target;
  performAction_ = std::move(action);
}

bool TimerImpl::isPerformRequestFor(const void* target, std::string_view action) const {
  MutexLock lock(mutex_);
  return isPerformRequest_ && performTarget_ == target && (action.empty() || action == performAction_);
}

}  // namespace detail
}  // namespace platform
