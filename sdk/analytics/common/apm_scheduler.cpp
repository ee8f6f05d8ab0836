#include "sdk/analytics/common/apm_scheduler.h"

#include <cmath>
#include <limits>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/dispatch_timer_source.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_monitor.h"

std::optional<APMExceptionInfo> APMRunCatching(const std::function<void()>& block) {
  try {
    block();
  } catch (const platform::Exception& e) {
    return APMExceptionInfo{e.name(), e.reason(), {}};
  } catch (const std::exception& e) {
    return APMExceptionInfo{std::string(platform::kGenericException), e.what(), {}};
  }
  return std::nullopt;
}

APMScheduler::APMScheduler(std::string label)
    : workerQueue_(platform::DispatchQueue::serial(std::move(label),
                                                   platform::DispatchQueue::global(platform::QualityOfService::Background))) {}

void APMScheduler::scheduleOnWorkerQueueBlockID(std::string blockID, Block block) {
  if (!block) {
    APMLog(1, 30005, platform::format("Nil block dispatched asynchronously on worker queue. Block ID=%@.", blockID));
    return;
  }
  workerQueue_->async([blockID = std::move(blockID), block = std::move(block)] {
    if (auto exception = APMRunCatching(block)) {
      APMLog(1, 30000, platform::format("Exception on worker queue. Block ID=%@. Exception", blockID), *exception);
    }
  });
}

void APMScheduler::dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const Block& block) {
  if (!block) {
    APMLog(1, 30002, platform::format("Nil block dispatched synchronously on worker queue. Block ID=%@.", blockID));
    return;
  }
  bool finished = false;
  workerQueue_->sync([&] {
    if (auto exception = APMRunCatching(block)) {
      APMLog(1, 30003,
             platform::format("Exception on worker queue when processing sync block. Block ID=%@. Exception", blockID),
             *exception);
      return;
    }
    finished = true;
  });
  if (!finished) APMLog(4, 30004, platform::format("Synchronous task failed. Block ID=%@", blockID));
}

bool APMScheduler::checkOnBackgroundThreadWithMethodName(std::string_view methodName) {
  if (!platform::DispatchQueue::isMainThread()) return true;
  APMLog(1, 30001, platform::format("Method %@ should execute on background thread",
                                    methodName.empty() ? std::string_view("<empty method name>") : methodName));
  return false;
}

APMAlarm::APMAlarm(std::shared_ptr<platform::DispatchQueue> queue, std::string_view name)
    : queue_(std::move(queue)), name_(name.empty() ? "Timer" : std::string(name)), self_(std::make_shared<APMAlarm*>(this)) {}

APMAlarm::~APMAlarm() {
  cancel();
  *self_ = nullptr;
}

void APMAlarm::runAfterDelay(double delay, Block block) {
  if (!block) {
    APMLog(1, 2000, name_ + " tried to schedule an empty block");
    return;
  }
  cancel();
  scheduledTimestamp_ = platform::Clock::current().now().addingTimeInterval(delay);
  timer_ = platform::DispatchTimerSource::make(queue_);
  // Whole nanoseconds, as the timer's start is given.
  const double start = std::trunc(delay * 1e9) / 1e9;
  timer_->setTimer(start, std::numeric_limits<double>::infinity(), 0);
  std::weak_ptr<APMAlarm*> weak = self_;
  timer_->setEventHandler([weak, block = std::move(block)] {
    const auto self = weak.lock();
    if (!self || !*self) return;
    APMAlarm& alarm = **self;
    APMLog(7, 2001, alarm.name_ + " fired");
    const Block toRun = block;  // cancel releases this handler
    alarm.cancel();
    toRun();
  });
  timer_->resume();
  APMLog(7, 2002, name_ + " scheduled to fire in approx. (s)", delay);
}

void APMAlarm::cancel() {
  if (!scheduledTimestamp_) return;
  APMLog(7, 2003, name_ + " canceled");
  if (timer_ && !timer_->isCancelled()) {
    timer_->cancel();
  } else {
    APMLog(4, 2004, name_ + " is not active");
  }
  timer_.reset();
  scheduledTimestamp_.reset();
}

bool APMAlarm::hasActiveTimer() const { return timer_ && !timer_->isCancelled(); }
