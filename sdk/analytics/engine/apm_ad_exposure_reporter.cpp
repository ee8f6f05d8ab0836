#include "sdk/analytics/engine/apm_ad_exposure_reporter.h"

#include <cmath>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_launch_utilities.h"
#include "sdk/analytics/engine/apm_screen_view_reporter.h"

std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::sharedInstance() {
  // Never destroyed: a worker may still ask for the shared instance while the process exits.
  static const auto* const instance = new std::shared_ptr<APMAdExposureReporter>(make());
  return *instance;
}

std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::make(Hooks hooks) {
  auto reporter = std::make_shared<APMAdExposureReporter>(std::move(hooks));
  reporter->subscribe();
  return reporter;
}

APMAdExposureReporter::APMAdExposureReporter(Hooks hooks)
    : hooks_(std::move(hooks)), queue_(platform::DispatchQueue::serial("APMAdExposureReporter")) {
  if (!hooks_.logEvent) {
    hooks_.logEvent = [](const std::string& origin, const std::string& name, const APMDictionary& parameters) {
      APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
    };
  }
  if (!hooks_.isAppActive) hooks_.isAppActive = &APMIsAppActive;
  if (!hooks_.currentScreenParameters) {
    hooks_.currentScreenParameters = [] { return APMScreenViewReporter::sharedInstance().screenParameters(); };
  }
  adExposureStartTime_ = currentTime();
}

APMAdExposureReporter::~APMAdExposureReporter() {
  platform::NotificationCenter::defaultCenter().removeObserver(observerOwner_.get());
}

void APMAdExposureReporter::subscribe() {
  std::weak_ptr<APMAdExposureReporter> weak = weak_from_this();
  platform::NotificationCenter::defaultCenter().addObserver(
      std::weak_ptr<const void>(observerOwner_), std::string(kAPMSessionReporterEngagementTimerDidFire), nullptr,
      [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->handleEngagementTimer();
      });
}

double APMAdExposureReporter::currentTime() {
  const auto& clock = platform::Clock::current();
  const double wall = clock.now().timeIntervalSince1970();
  const double boot = wall - clock.secondsSinceBoot();
  if (boot <= 0) return -1.0;
  // Whole microseconds, as the kernel's time values carry them.
  const auto micros = [](double t) { return static_cast<std::int64_t>(std::floor(t * 1e6)); };
  return static_cast<double>(micros(wall) - micros(boot)) / 1e6;
}

APMDictionary APMAdExposureReporter::currentScreenParameters() const { return hooks_.currentScreenParameters(); }

void APMAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    APMLog(5, 1000, "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double time = currentTime();
  std::weak_ptr<APMAdExposureReporter> weak = weak_from_this();
  queue_->async([weak, adUnitID, time] {
    const auto self = weak.lock();
    if (!self) return;
    if (self->adUnitCounts_.size() >= kAPMMaxTrackedAdUnits) {
      APMLog(5, 1002, "Reached limit on ad units. Ignoring ad unit with ID", adUnitID);
      return;
    }
    if (self->adUnitCounts_.empty()) self->adExposureStartTime_ = time;
    if (!self->adUnitStartTimes_.contains(adUnitID)) self->adUnitStartTimes_[adUnitID] = time;
    ++self->adUnitCounts_[adUnitID];
  });
}

void APMAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    APMLog(5, 1003, "Ignoring call to end ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double time = currentTime();
  const APMDictionary screen = currentScreenParameters();
  queue_->sync([&] {
    const auto it = adUnitCounts_.find(adUnitID);
    if (it == adUnitCounts_.end()) {
      APMLog(5, 1004, "Unknown ad unit. Ignoring ad unit with ID", adUnitID);
      return;
    }
    if (it->second >= 2) {
      --it->second;
      return;
    }
    logAdUnitExposureEventOnSerialQueue(adUnitID, time, screen);
    adUnitCounts_.erase(it);
    adUnitStartTimes_.erase(adUnitID);
    if (adUnitCounts_.empty()) {
      logAdExposureEventOnSerialQueue(time, screen);
      adExposureStartTime_ = time;
    }
  });
}

void APMAdExposureReporter::logExposureEventsWithScreenParameters(const APMDictionary& screenParameters) {
  const double time = currentTime();
  queue_->sync([&] { logExposureEventsOnSerialQueue(time, screenParameters); });
}

void APMAdExposureReporter::handleScreenDidChangeFromScreen(const std::optional<APMDictionary>& previousScreen,
                                                            const std::optional<APMDictionary>&) {
  if (previousScreen) logExposureEventsWithScreenParameters(*previousScreen);
}

void APMAdExposureReporter::handleEngagementTimer() { logExposureEventsWithScreenParameters(currentScreenParameters()); }

void APMAdExposureReporter::handleAppDidBecomeActive() {
  const double time = currentTime();
  queue_->sync([&] { updateStartTimesOnSerialQueue(time); });
}

void APMAdExposureReporter::handleAppWillResignActiveWithScreen(const std::optional<APMDictionary>& screen) {
  APMDictionary parameters = screen && !screen->empty() ? *screen : currentScreenParameters();
  logExposureEventsWithScreenParameters(parameters);
}

void APMAdExposureReporter::drain() { queue_->sync([] {}); }

void APMAdExposureReporter::logExposureEventsOnSerialQueue(double endTime, const APMDictionary& screenParameters) {
  for (const auto& [adUnitID, count] : adUnitCounts_) logAdUnitExposureEventOnSerialQueue(adUnitID, endTime, screenParameters);
  if (!adUnitCounts_.empty()) logAdExposureEventOnSerialQueue(endTime, screenParameters);
  updateStartTimesOnSerialQueue(endTime);
}

void APMAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
  if (adUnitCounts_.empty()) return;
  for (auto& [adUnitID, start] : adUnitStartTimes_) start = time;
  adExposureStartTime_ = time;
}

void APMAdExposureReporter::logAdExposureEventOnSerialQueue(double endTime, const APMDictionary& screenParameters) {
  if (!isReportingEnabled()) {
    APMLog(5, 1005, "Ad exposure not logged. Reporting is disabled.");
    return;
  }
  if (!hooks_.isAppActive()) {
    APMLog(8, 1010, "Ad exposure not logged. App is not active.");
    return;
  }
  const auto duration = static_cast<std::int64_t>((endTime - adExposureStartTime_) * 1000);
  if (duration < 1000) {
    APMLog(8, 1006, "Ad exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  APMDictionary parameters = screenParameters;
  parameters["_xt"] = APMObject(static_cast<long long>(duration));
  hooks_.logEvent("am", "_xa", parameters);
}

void APMAdExposureReporter::logAdUnitExposureEventOnSerialQueue(const std::string& adUnitID, double endTime,
                                                                const APMDictionary& screenParameters) {
  if (!isReportingEnabled()) {
    APMLog(5, 1007, "Ad unit exposure not logged. Reporting is disabled.");
    return;
  }
  if (adUnitID.empty()) {
    APMLog(5, 1008, "Ad unit exposure not logged. Received empty ad unit ID");
    return;
  }
  if (!hooks_.isAppActive()) {
    APMLog(8, 1011, "Ad unit exposure not logged. App is not active.");
    return;
  }
  const auto start = adUnitStartTimes_.find(adUnitID);
  const double startTime = start == adUnitStartTimes_.end() ? endTime : start->second;
  const auto duration = static_cast<std::int64_t>((endTime - startTime) * 1000);
  if (duration < 1000) {
    APMLog(8, 1009, "Ad unit exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  APMDictionary parameters = screenParameters;
  parameters["_ai"] = APMObject(adUnitID);
  parameters["_xt"] = APMObject(static_cast<long long>(duration));
  hooks_.logEvent("am", "_xu", parameters);
}
