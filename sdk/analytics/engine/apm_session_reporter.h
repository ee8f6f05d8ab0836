// Session and engagement reporting: turns the app's foreground time into sessions ("_s" with the
// user properties "_sid" and "_sno") and engagement ("_e" with "_et" in milliseconds, "_ab" when
// the app leaves the front). The screen reporter's app-state handlers drive it on the main
// thread, where its engagement timer also fires; the engine's worker queue asks it whether a
// session expired and extends it. Its state is guarded, its timer stays on the main queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/foundation/thread_safety.h"

namespace platform {
class DispatchQueue;
}
class APMAlarm;
class APMEvent;
class APMPersistedConfig;
class APMScreen;
class APMUserAttribute;

inline constexpr std::string_view kAPMSessionReporterEngagementTimerDidFire =
    "kAPMSessionReporterEngagementTimerDidFire";
// The longest engagement a single report carries.
inline constexpr double kAPMMaxEngagementTimeSeconds = 3600;

class APMSessionReporter : public std::enable_shared_from_this<APMSessionReporter> {
 public:
  explicit APMSessionReporter(std::shared_ptr<APMPersistedConfig> persistedConfig);
  ~APMSessionReporter();
  APMSessionReporter(const APMSessionReporter&) = delete;
  APMSessionReporter& operator=(const APMSessionReporter&) = delete;

  // Any thread; the timer follows on the main queue.
  void setReportingEnabled(bool enabled) EXCLUDES(mutex_);
  bool isReportingEnabled() const EXCLUDES(mutex_);
  void setTimeoutSessionInterval(double seconds) EXCLUDES(mutex_);
  double timeoutSessionInterval() const EXCLUDES(mutex_);

  // Any thread.
  bool shouldStartNewSession();
  bool isSessionExpired() const;
  bool extendSession() EXCLUDES(sessionMutex_);
  // "Expired?" and "start" as one step, so that the worker queue and the main thread never both
  // start the same session: the new session's number, or nothing when the session is still on.
  std::optional<std::int64_t> startSessionIfExpired() EXCLUDES(sessionMutex_);
  std::shared_ptr<const APMUserAttribute> sessionIDPropertyWithTimestamp(double timestamp) const;
  std::shared_ptr<const APMUserAttribute> sessionNumberProperty(std::int64_t sessionNumber) const;
  void updatePropertiesForNewSessionStart() EXCLUDES(sessionMutex_);

  // Main thread.
  void logSessionStartEvent() EXCLUDES(sessionMutex_);
  void logUserEngagementEvent();
  std::int64_t logEngagementEventAndReturnTimeWithScreen(const std::shared_ptr<const APMScreen>& screen,
                                                         bool isRedundant) EXCLUDES(mutex_);
  void logAppBackgroundEvent(std::int64_t engagementMillis);
  void handleAppDidBecomeActive() EXCLUDES(mutex_, sessionMutex_);
  void handleAppWillResignActiveWithScreen(const std::shared_ptr<const APMScreen>& screen);
  void handleScreenDidChangeFromScreen(const std::shared_ptr<const APMScreen>& previous,
                                       const std::shared_ptr<const APMScreen>& next);
  void rescheduleUserEngagementTimer();

  // Seconds since boot from the kernel's boot time, -1 when it cannot be read.
  static double currentUptime();
  static double currentClockTime();
  double incurredEngagementTime() const EXCLUDES(mutex_);
  std::int64_t cutFreerideEngagementTimeMillis() EXCLUDES(mutex_);
  // Absent values clear the user properties.
  static void setSessionID(std::optional<std::int64_t> sessionID, std::optional<std::int64_t> sessionNumber);

 private:
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  // Created, armed, cancelled and destroyed on the main queue only.
  std::shared_ptr<APMAlarm> userEngagementTimer_;
  mutable platform::Mutex mutex_;
  double engagementStartUptime_ GUARDED_BY(mutex_);
  double freerideEngagementStartUptime_ GUARDED_BY(mutex_);
  bool reportingEnabled_ GUARDED_BY(mutex_) = false;
  double timeoutSessionInterval_ GUARDED_BY(mutex_);
  // Held across each read-modify-write of the persisted session number and last activity; only
  // the persisted configuration is called under it.
  platform::Mutex sessionMutex_;

  std::int64_t startSessionLocked() REQUIRES(sessionMutex_);
  // The user properties "_sid" and "_sno" and the "_s" event of a session just started.
  void reportSessionStart(std::int64_t sessionNumber);
};

// The engine's own session start: "_s" with "_sid", "_sno" and, when asked, "_aib" = 1.
std::shared_ptr<APMEvent> APMSessionStartEvent(std::int64_t sessionNumber, bool appInBackground, double timestamp);
