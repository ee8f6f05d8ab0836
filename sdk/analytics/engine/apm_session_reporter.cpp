#include "sdk/analytics/engine/apm_session_reporter.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/system_info.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_launch_utilities.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/engine/apm_screen_view_reporter.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "sdk/analytics/storage/apm_remote_config.h"

namespace {

bool efficientEngagementReporting() { return APMMeasurement::remoteConfig()->efficientEngagementReportingEnabled(); }

// Runs on the main thread, inline when already there.
void onMainQueue(std::function<void()> block) {
  if (platform::DispatchQueue::isMainThread()) {
    block();
  } else {
    platform::DispatchQueue::main()->async(std::move(block));
  }
}

}  // namespace

APMSessionReporter::APMSessionReporter(std::shared_ptr<APMPersistedConfig> persistedConfig)
    : persistedConfig_(std::move(persistedConfig)),
      userEngagementTimer_(std::make_shared<APMAlarm>(platform::DispatchQueue::main(), "Engagement timer")) {
  const double now = currentUptime();
  platform::MutexLock lock(mutex_);
  engagementStartUptime_ = now;
  freerideEngagementStartUptime_ = now;
  timeoutSessionInterval_ = APMMeasurement::remoteConfig()->sessionDefaultTimeoutInterval();
}

APMSessionReporter::~APMSessionReporter() {
  // The timer may only be touched on the queue it fires on.
  onMainQueue([timer = std::move(userEngagementTimer_)] { timer->cancel(); });
}

// ---- switches ----

void APMSessionReporter::setReportingEnabled(bool enabled) {
  {
    platform::MutexLock lock(mutex_);
    reportingEnabled_ = enabled;
  }
  std::weak_ptr<APMSessionReporter> weak = weak_from_this();
  onMainQueue([weak, enabled] {
    const auto self = weak.lock();
    if (!self) return;
    if (!enabled) {
      self->userEngagementTimer_->cancel();
    } else if (APMIsAppActive() && !self->userEngagementTimer_->scheduledTimestamp()) {
      self->rescheduleUserEngagementTimer();
    }
  });
}

bool APMSessionReporter::isReportingEnabled() const {
  platform::MutexLock lock(mutex_);
  return reportingEnabled_;
}

void APMSessionReporter::setTimeoutSessionInterval(double seconds) {
  if (seconds < 0) {
    APMLog(3, 33001, "Received negative timeout session duration. Setting to 0.0 instead.");
    seconds = 0;
  }
  platform::MutexLock lock(mutex_);
  timeoutSessionInterval_ = seconds;
}

double APMSessionReporter::timeoutSessionInterval() const {
  platform::MutexLock lock(mutex_);
  return timeoutSessionInterval_;
}

// ---- sessions ----

bool APMSessionReporter::isSessionExpired() const {
  const double idle = std::fabs(currentClockTime() - persistedConfig_->lastSessionActivityClockTime());
  return idle > timeoutSessionInterval();
}

bool APMSessionReporter::shouldStartNewSession() { return APMIsAppActive() && isSessionExpired(); }

bool APMSessionReporter::extendSession() {
  platform::MutexLock lock(sessionMutex_);
  if (isSessionExpired()) return false;
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  return true;
}

std::optional<std::int64_t> APMSessionReporter::startSessionIfExpired() {
  platform::MutexLock lock(sessionMutex_);
  if (!isSessionExpired()) return std::nullopt;
  return startSessionLocked();
}

std::int64_t APMSessionReporter::startSessionLocked() {
  const std::int64_t sessionNumber = persistedConfig_->sessionNumber() + 1;
  persistedConfig_->setSessionNumber(sessionNumber);
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  return sessionNumber;
}

std::shared_ptr<const APMUserAttribute> APMSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) const {
  return std::make_shared<const APMUserAttribute>(
      "auto", "_sid", APMValue::initWithInt64(static_cast<std::int64_t>(timestamp)), timestamp);
}

std::shared_ptr<const APMUserAttribute> APMSessionReporter::sessionNumberProperty(std::int64_t sessionNumber) const {
  return std::make_shared<const APMUserAttribute>("auto", "_sno", APMValue::initWithInt64(sessionNumber),
                                                  currentClockTime());
}

void APMSessionReporter::updatePropertiesForNewSessionStart() {
  platform::MutexLock lock(sessionMutex_);
  startSessionLocked();
}

void APMSessionReporter::setSessionID(std::optional<std::int64_t> sessionID, std::optional<std::int64_t> sessionNumber) {
  APMAnalytics::setInternalUserProperty(sessionID ? APMInt64Object(*sessionID) : APMObject(), "_sid", "auto");
  APMAnalytics::setInternalUserProperty(sessionNumber ? APMInt64Object(*sessionNumber) : APMObject(), "_sno", "auto");
}

void APMSessionReporter::logSessionStartEvent() {
  if (!APMIsAppActive()) {
    APMLog(7, 33005, "Session start event not logged. Application is not active");
    return;
  }
  if (!isReportingEnabled()) return;
  std::int64_t sessionNumber = 0;
  {
    platform::MutexLock lock(sessionMutex_);
    sessionNumber = startSessionLocked();
  }
  reportSessionStart(sessionNumber);
}

void APMSessionReporter::reportSessionStart(std::int64_t sessionNumber) {
  const auto sessionID = static_cast<std::int64_t>(currentClockTime());
  setSessionID(sessionID, sessionNumber);
  APMAnalytics::logInternalEventWithOrigin("auto", "_s",
                                           {{"_sid", APMInt64Object(sessionID)}, {"_sno", APMInt64Object(sessionNumber)}});
}

// ---- engagement ----

double APMSessionReporter::currentUptime() {
  // The kernel's boot time tells whether the boot clock can be trusted at all.
  const auto boot = platform::SystemInfo::kernelBootTime();
  if (!boot || (boot->seconds == 0 && boot->microseconds == 0)) return -1;
  return std::round(platform::Clock::current().secondsSinceBoot() * 1e6) / 1e6;
}

double APMSessionReporter::currentClockTime() { return platform::Clock::current().now().timeIntervalSince1970(); }

double APMSessionReporter::incurredEngagementTime() const {
  const bool efficient = efficientEngagementReporting();
  double start = 0;
  {
    platform::MutexLock lock(mutex_);
    start = efficient ? freerideEngagementStartUptime_ : engagementStartUptime_;
  }
  const double incurred = currentUptime() - start;
  if (incurred < 0) {
    APMLog(4, 33004, "Incurred engagement time is negative. Setting to 0.0 instead");
    return 0;
  }
  return incurred;
}

std::int64_t APMSessionReporter::cutFreerideEngagementTimeMillis() {
  if (!efficientEngagementReporting()) return 0;
  const double incurred = incurredEngagementTime();
  {
    platform::MutexLock lock(mutex_);
    freerideEngagementStartUptime_ = currentUptime();
  }
  return static_cast<std::int64_t>(incurred * 1000);
}

std::int64_t APMSessionReporter::logEngagementEventAndReturnTimeWithScreen(const std::shared_ptr<const APMScreen>& screen,
                                                                         bool isRedundant) {
  if (!APMIsAppActive()) {
    APMLog(7, 33006, "User engagement event not logged. Application is not active");
    return 0;
  }
  const bool efficient = efficientEngagementReporting();
  std::int64_t reported = 0;
  if (isReportingEnabled()) {
    reported = static_cast<std::int64_t>(std::min(incurredEngagementTime(), kAPMMaxEngagementTimeSeconds) * 1000);
    APMDictionary parameters = screen ? screen->parameters() : APMDictionary();
    parameters["_et"] = APMInt64Object(reported);
    if (efficient && isRedundant) parameters["_fr"] = APMInt64Object(1);
    APMAnalytics::logInternalEventWithOrigin("auto", "_e", parameters);
  }
  const double now = currentUptime();
  {
    platform::MutexLock lock(mutex_);
    engagementStartUptime_ = now;
    if (efficient && !isRedundant) freerideEngagementStartUptime_ = now;
  }
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  rescheduleUserEngagementTimer();
  return reported;
}

void APMSessionReporter::logUserEngagementEvent() { logEngagementEventAndReturnTimeWithScreen(nullptr, false); }

void APMSessionReporter::logAppBackgroundEvent(std::int64_t engagementMillis) {
  if (!isReportingEnabled() || !APMMeasurement::remoteConfig()->appBackgroundedEventEnabled()) return;
  if (!APMIsAppActive()) {
    APMLog(7, 33008, "App backgrounded event not logged. Application is not active");
    return;
  }
  APMDictionary parameters;
  if (efficientEngagementReporting() && engagementMillis >= 1) parameters["_et"] = APMInt64Object(engagementMillis);
  APMAnalytics::logInternalEventWithOrigin("auto", "_ab", parameters);
}

// ---- app state, from the screen reporter ----

void APMSessionReporter::handleAppDidBecomeActive() {
  const double now = currentUptime();
  {
    platform::MutexLock lock(mutex_);
    engagementStartUptime_ = now;
    freerideEngagementStartUptime_ = now;
  }
  rescheduleUserEngagementTimer();
  if (!APMIsAppActive() || !isReportingEnabled()) return;
  const auto sessionNumber = startSessionIfExpired();
  if (!sessionNumber) return;
  setSessionID(std::nullopt, std::nullopt);
  reportSessionStart(*sessionNumber);
}

void APMSessionReporter::handleAppWillResignActiveWithScreen(const std::shared_ptr<const APMScreen>& screen) {
  const auto config = APMMeasurement::remoteConfig();
  const bool backgroundedEvent = config->appBackgroundedEventEnabled();
  std::int64_t engagement = 0;
  if (backgroundedEvent && config->redundantEngagementRemovalEnabled()) {
    engagement = cutFreerideEngagementTimeMillis();
  } else {
    engagement = logEngagementEventAndReturnTimeWithScreen(screen, backgroundedEvent);
  }
  logAppBackgroundEvent(engagement);
  std::weak_ptr<APMSessionReporter> weak = weak_from_this();
  onMainQueue([weak] {
    if (const auto self = weak.lock()) self->userEngagementTimer_->cancel();
  });
}

void APMSessionReporter::handleScreenDidChangeFromScreen(const std::shared_ptr<const APMScreen>& previous,
                                                        const std::shared_ptr<const APMScreen>&) {
  if (!previous || incurredEngagementTime() < 1) return;
  const bool efficient = efficientEngagementReporting();
  if (efficient && APMMeasurement::remoteConfig()->redundantEngagementRemovalEnabled()) return;
  logEngagementEventAndReturnTimeWithScreen(previous, efficient);
}

void APMSessionReporter::rescheduleUserEngagementTimer() {
  // Screen changes logged by the app reach here from the screen reporter's queue.
  std::weak_ptr<APMSessionReporter> weak = weak_from_this();
  onMainQueue([weak] {
    const auto self = weak.lock();
    if (!self) return;
    self->userEngagementTimer_->runAfterDelay(
        APMMeasurement::remoteConfig()->sessionEventUserEngagementInterval(), [weak] {
          platform::NotificationCenter::defaultCenter().post(std::string(kAPMSessionReporterEngagementTimerDidFire));
          if (const auto reporter = weak.lock()) reporter->logUserEngagementEvent();
        });
  });
}

// ---- the engine's own session start ----

std::shared_ptr<APMEvent> APMSessionStartEvent(std::int64_t sessionNumber, bool appInBackground, double timestamp) {
  APMDictionary parameters{{"_sid", APMInt64Object(static_cast<std::int64_t>(timestamp))},
                           {"_sno", APMInt64Object(sessionNumber)}};
  if (appInBackground) parameters["_aib"] = APMInt64Object(1);
  return APMEvent::initWithOrigin("auto", false, "_s", timestamp, 0, parameters);
}
