// The one logging and health-monitoring hub of the analytics engine. Every diagnostic is a level
// 0 to 8, a numeric code, a fixed English message and up to three context objects. Loggable lines
// go to the console sink; monitorable ones are reservoir-sampled into one health entry that the
// bundle builder collects once per sample period.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"
#include "sdk/analytics/common/apm_asl_logger.h"
#include "sdk/analytics/common/apm_object.h"
#include "platform/foundation/thread_safety.h"

namespace platform {
class DispatchQueue;
class UserDefaults;
}  // namespace platform

inline constexpr std::string_view kAPMMonitorSuiteName = "com.videzu.vmp.measurement.monitor";
inline constexpr std::string_view kAPMHealthMonitorKey = "/videzu/measurement/health_monitor";
inline constexpr std::string_view kAPMMonitorMigrationStateKey = "/videzu/measurement/monitor_migration_state";
inline constexpr std::string_view kAPMDebugModeKey = "/videzu/measurement/debug_mode";
inline constexpr std::string_view kAPMVerboseLoggingKey = "/videzu/measurement/verbose_logging";
inline constexpr std::string_view kAPMDefaultLogTag = "<DavEroriveduve>";
// The measurement library's version number, part of every health key.
inline constexpr std::int64_t kAPMLibraryVersion = 81500;

// The sampled health entry: [encoded context, population, key, date the entry began].
class APMMonitoringSampledData {
 public:
  explicit APMMonitoringSampledData(const std::optional<platform::Value::Array>& array = std::nullopt);

  void insertOrUpdateSampledDataWithKey(const std::string& key, const std::string& encodedContext);
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  std::optional<platform::Value::Array> sampledData() const { return sampledData_; }

  static bool isValidUserDefaultsArrayEntry(const platform::Value& entry);
  static std::string monitoringURLParamWithKey(const std::string& key, std::int32_t population,
                                               const std::string& context);
  static std::optional<platform::Value::Array> sampledDataEntryWithKey(const std::optional<std::string>& key,
                                                                       std::optional<platform::Date> timestamp,
                                                                       const std::optional<std::string>& context,
                                                                       std::optional<std::int32_t> population);

 private:
  std::optional<platform::Value::Array> sampledData_;
};

class APMMonitor : public std::enable_shared_from_this<APMMonitor> {
 public:
  using Contexts = std::vector<APMObject>;
  // Sees every log call before filtering; for diagnostics and tests.
  using Observer = std::function<void(std::int64_t level, std::int64_t code, const std::string& message,
                                      const Contexts& contexts)>;

  // Level 6 with the shared-logger sink.
  static std::shared_ptr<APMMonitor> initWithLibraryVersion(std::int64_t libraryVersion);
  static std::shared_ptr<APMMonitor> initWithLogLevel(std::int64_t logLevel, std::shared_ptr<APMLogging> logger,
                                                      std::int64_t libraryVersion);
  ~APMMonitor();

  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message, Contexts contexts);
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message) {
    logWithLevel(level, messageCode, message, Contexts{});
  }
  // One to three contexts; an absent (nil) one stands as the null object.
  template <class... More>
    requires(sizeof...(More) <= 2)
  void logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message, APMObject context,
                    More&&... more) {
    Contexts contexts{std::move(context), APMObject(std::forward<More>(more))...};
    for (APMObject& c : contexts) {
      if (c.isNil()) c = APMObject::null();
    }
    logWithLevel(level, messageCode, message, std::move(contexts));
  }

  std::int64_t logLevel() const;
  void setLogLevel(std::int64_t level);
  void setDebugModeEnabled(bool enabled);
  void setVerboseLoggingEnabled(bool enabled);
  bool isDebugModeEnabled() const;
  bool isVerboseLoggingEnabled() const;
  bool encodeContexts() const;
  void setEncodeContexts(bool encode);
  std::string logTag() const;
  void setLogTag(std::string tag);
  bool deferToVDZLogger() const { return deferToVDZLogger_; }

  // Runs synchronously on the monitor queue; callers must not be on it.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  void clearMonitoringData();

  // Once this returns, the observer it replaced is neither running on another thread nor called
  // again, so whatever that observer captured may go. Called from within an observer, it cannot
  // wait for that observer's own call.
  void setObserver(Observer observer);
  // Waits until queued console lines and health updates have been handled.
  void waitUntilIdle();
  std::shared_ptr<platform::DispatchQueue> monitorQueue() const { return monitorQueue_; }

  static std::optional<std::string> logLevelDescriptionFromLogLevel(std::int64_t level);
  static bool isSilentLevel(std::int64_t level);
  static bool isMonitorableLevel(std::int64_t level);
  static std::string encodedStringWithContextArray(const Contexts& contexts, bool insertSpaces);
  static std::string encodedStringWithContextObject(const APMObject& object);
  static std::string stringWithLogMessage(std::optional<std::string_view> message, std::int64_t level,
                                          const Contexts& contexts, bool encodeContexts);
  static std::optional<std::string> lastAPMSymbolFromException(const APMExceptionInfo* exception);
  static std::string monitoringDataKeyWithMessage(std::string_view message, std::int64_t level,
                                                  std::int64_t libraryVersion);

  bool isLoggableLevel(std::int64_t level) const;

 private:
  APMMonitor(std::int64_t logLevel, std::shared_ptr<APMLogging> logger, std::int64_t libraryVersion);
  void start();
  void applyLaunchSwitches();
  void logToConsole(std::int64_t messageCode, std::string line, std::int64_t level);
  void insertOrUpdateMonitoringDataWithMessage(std::string_view message, std::string encodedContext,
                                               std::int64_t level);
  void loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  void saveMonitoringDataToUserDefaultsOnMonitorQueue(bool synchronize = true);
  void migrateMonitorDataOnMonitorQueue();
  void setSharedLoggerLevel(std::int64_t monitorLevel);

  mutable platform::Mutex mutex_;  // level, flags, tag, observer
  std::int64_t logLevel_ GUARDED_BY(mutex_);
  std::shared_ptr<APMLogging> logger_;
  APMMonitoringSampledData monitoringSampledData_;  // monitor queue only
  std::shared_ptr<platform::DispatchQueue> monitorQueue_;
  std::int64_t libraryVersion_;
  std::shared_ptr<platform::UserDefaults> monitorUserDefaults_;
  std::atomic<bool> deferToVDZLogger_{false};  // set at start, read from any thread
  bool debugModeEnabled_ GUARDED_BY(mutex_) = false;
  bool verboseLoggingEnabled_ GUARDED_BY(mutex_) = false;
  bool encodeContexts_ GUARDED_BY(mutex_) = false;
  std::string logTag_ GUARDED_BY(mutex_){kAPMDefaultLogTag};
  // Shared with each call in progress: a replaced observer lives until its last call ends.
  std::shared_ptr<const Observer> observer_ GUARDED_BY(mutex_);
  platform::ConditionVariable observerCallEnded_;
};

// The process's monitor (`[APMMeasurement monitor]`): made with the library version on first use;
// the engine may install its own.
std::shared_ptr<APMMonitor> APMMeasurementMonitor();
void APMSetMeasurementMonitor(std::shared_ptr<APMMonitor> monitor);

// Shorthand for a line to the process's monitor.
inline void APMLog(std::int64_t level, std::int64_t code, std::string_view message) {
  APMMeasurementMonitor()->logWithLevel(level, code, message, APMMonitor::Contexts{});
}
template <class... Contexts>
  requires(sizeof...(Contexts) >= 1 && sizeof...(Contexts) <= 3)
void APMLog(std::int64_t level, std::int64_t code, std::string_view message, Contexts&&... contexts) {
  APMMeasurementMonitor()->logWithLevel(level, code, message, APMObject(std::forward<Contexts>(contexts))...);
}
