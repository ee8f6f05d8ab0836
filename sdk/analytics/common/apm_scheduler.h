// The engine's one serial worker queue, and `APMAlarm`, a named one-shot timer that fires a block
// on a given queue. Both report misuse to the monitor; no exception from a block escapes.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/date.h"
#include "sdk/analytics/common/apm_object.h"

namespace platform {
class DispatchQueue;
class DispatchTimerSource;
}  // namespace platform

// Runs `block`; an exception it raises is answered (for the monitor's context) instead of thrown.
std::optional<APMExceptionInfo> APMRunCatching(const std::function<void()>& block);

inline constexpr std::string_view kAPMWorkerQueueLabel = "com.videzu.vuda.worker";

class APMScheduler {
 public:
  using Block = std::function<void()>;

  // A serial queue with that label, running at background priority.
  explicit APMScheduler(std::string label);

  const std::shared_ptr<platform::DispatchQueue>& workerQueue() const { return workerQueue_; }
  void scheduleOnWorkerQueueBlockID(std::string blockID, Block block);
  // The caller must not already be on the worker queue.
  void dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const Block& block);
  // False (and logged) on the main thread.
  static bool checkOnBackgroundThreadWithMethodName(std::string_view methodName);

 private:
  std::shared_ptr<platform::DispatchQueue> workerQueue_;
};

// All calls to one alarm stay on the queue it fires on; it takes no lock.
class APMAlarm {
 public:
  using Block = std::function<void()>;

  APMAlarm(std::shared_ptr<platform::DispatchQueue> queue, std::string_view name);
  ~APMAlarm();
  APMAlarm(const APMAlarm&) = delete;
  APMAlarm& operator=(const APMAlarm&) = delete;

  // Arms the alarm, replacing any armed timer. The due time is on the wall clock.
  void runAfterDelay(double delay, Block block);
  void cancel();
  bool hasActiveTimer() const;
  std::optional<platform::Date> scheduledTimestamp() const { return scheduledTimestamp_; }
  const std::string& name() const { return name_; }

 private:
  std::shared_ptr<platform::DispatchQueue> queue_;
  std::shared_ptr<platform::DispatchTimerSource> timer_;
  std::string name_;
  std::optional<platform::Date> scheduledTimestamp_;
  // Lets a timer event that was already queued find out that its alarm is gone.
  std::shared_ptr<APMAlarm*> self_;
};
