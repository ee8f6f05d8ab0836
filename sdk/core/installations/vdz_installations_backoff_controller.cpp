#include "sdk/core/installations/vdz_installations_backoff_controller.h"

#include <algorithm>
#include <cmath>

#include "platform/security/digest.h"
#include "platform/foundation/thread_safety.h"

VDZInstallationsBackoffController::VDZInstallationsBackoffController()
    : VDZInstallationsBackoffController([] { return platform::Date::now(); }) {}

VDZInstallationsBackoffController::VDZInstallationsBackoffController(DateProvider currentDateProvider)
    : currentDateProvider_(std::move(currentDateProvider)) {}

bool VDZInstallationsBackoffController::isNextRequestAllowed() {
  platform::MutexLock lock(mutex_);
  if (!lastEventData_) return true;
  const double elapsed = currentDateProvider_().timeIntervalSince(lastEventData_->lastEventDate);
  return elapsed >= lastEventData_->backoffTimeInterval;
}

void VDZInstallationsBackoffController::registerEvent(VDZInstallationsBackoffEvent event) {
  platform::MutexLock lock(mutex_);
  const std::int64_t count =
      lastEventData_ && lastEventData_->eventType == event ? lastEventData_->eventCount + 1 : 1;
  lastEventData_ = VDZInstallationsBackoffEventData{event, currentDateProvider_(), count,
                                                    backoffTimeIntervalWithEvent(event, count)};
}

double VDZInstallationsBackoffController::backoffTimeIntervalWithEvent(VDZInstallationsBackoffEvent event,
                                                                       std::int64_t eventCount) {
  switch (event) {
    case VDZInstallationsBackoffEventUnrecoverableFailure:
      return kUnrecoverableBackoffSeconds;
    case VDZInstallationsBackoffEventRecoverableFailure:
      return recoverableErrorBackoffTimeForAttemptNumber(eventCount);
    default:
      return 0;
  }
}

double VDZInstallationsBackoffController::recoverableErrorBackoffTimeForAttemptNumber(std::int64_t attempt) {
  // Past 2^11 the cap holds anyway; stopping there keeps the power finite.
  const double exponential = std::pow(2.0, static_cast<double>(std::min<std::int64_t>(attempt, 32)));
  return std::min(exponential + static_cast<double>(randomMilliseconds()) * 0.001, kMaxRecoverableBackoffSeconds);
}

std::int64_t VDZInstallationsBackoffController::randomMilliseconds() {
  return static_cast<std::int64_t>(platform::SecureRandom::uint32() % 1000);
}
