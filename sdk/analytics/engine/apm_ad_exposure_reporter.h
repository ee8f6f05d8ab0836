// Ad exposure: how long ad units are on screen, reported as "_xu" per unit and "_xa" for the time
// any unit was shown (origin "am"). An ad library brackets each unit's exposure with begin and end
// calls; screen changes, the engagement timer and resigning active close the counted interval and
// start a new one. Time is counted on the boot clock, so wall-clock changes do not distort it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "sdk/analytics/common/apm_object.h"
#include "sdk/analytics/engine/apm_session_reporter.h"

namespace platform {
class DispatchQueue;
}

inline constexpr std::size_t kAPMMaxTrackedAdUnits = 100;

class APMAdExposureReporter : public std::enable_shared_from_this<APMAdExposureReporter> {
 public:
  using EventSink = std::function<void(const std::string& origin, const std::string& name, const APMDictionary& parameters)>;
  struct Hooks {
    EventSink logEvent;                       // the facade's internal event entry by default
    std::function<bool()> isAppActive;        // APMIsAppActive by default
    std::function<APMDictionary()> currentScreenParameters;  // the screen-view reporter's by default
  };

  static std::shared_ptr<APMAdExposureReporter> sharedInstance();
  // Subscribed to the engagement timer until destroyed.
  static std::shared_ptr<APMAdExposureReporter> make(Hooks hooks = {});
  explicit APMAdExposureReporter(Hooks hooks);
  ~APMAdExposureReporter();

  // Seconds since boot, to the microsecond; -1 when the boot time is unknown.
  static double currentTime();

  void beginAdUnitExposure(const std::string& adUnitID);
  void endAdUnitExposure(const std::string& adUnitID);
  void logExposureEventsWithScreenParameters(const APMDictionary& screenParameters);
  // The previous screen's "_sn", "_sc" and "_si", none when there was no previous screen.
  void handleScreenDidChangeFromScreen(const std::optional<APMDictionary>& previousScreen,
                                       const std::optional<APMDictionary>& newScreen);
  void handleEngagementTimer();
  void handleAppDidBecomeActive();
  // The screen's parameters, or none for the reporter's current ones.
  void handleAppWillResignActiveWithScreen(const std::optional<APMDictionary>& screen);
  bool isReportingEnabled() const { return reportingEnabled_.load(); }
  void setReportingEnabled(bool enabled) { reportingEnabled_.store(enabled); }

  // Tests: waits for queued begin calls.
  void drain();

 private:
  void subscribe();
  // Serial queue, all of them.
  void logExposureEventsOnSerialQueue(double endTime, const APMDictionary& screenParameters);
  void updateStartTimesOnSerialQueue(double time);
  void logAdExposureEventOnSerialQueue(double endTime, const APMDictionary& screenParameters);
  void logAdUnitExposureEventOnSerialQueue(const std::string& adUnitID, double endTime,
                                           const APMDictionary& screenParameters);
  APMDictionary currentScreenParameters() const;

  Hooks hooks_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  std::shared_ptr<const int> observerOwner_ = std::make_shared<const int>(0);
  std::atomic<bool> reportingEnabled_{true};
  // Serial queue only.
  std::map<std::string, std::int64_t> adUnitCounts_;
  std::map<std::string, double> adUnitStartTimes_;
  double adExposureStartTime_ = 0;
};
