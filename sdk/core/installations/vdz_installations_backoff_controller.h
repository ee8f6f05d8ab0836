// Decides whether the next registration or token request may go, from the last outcome alone:
// its kind, when it happened and how many of that kind came in a row. Memory only: every launch
// starts with requests allowed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/date.h"
#include "platform/foundation/thread_safety.h"

enum VDZInstallationsBackoffEvent : std::int64_t {
  VDZInstallationsBackoffEventSuccess = 0,
  VDZInstallationsBackoffEventRecoverableFailure = 1,
  VDZInstallationsBackoffEventUnrecoverableFailure = 2,
};

class VDZInstallationsBackoffControllerProtocol {
 public:
  virtual ~VDZInstallationsBackoffControllerProtocol() = default;
  virtual bool isNextRequestAllowed() = 0;
  virtual void registerEvent(VDZInstallationsBackoffEvent event) = 0;
};

struct VDZInstallationsBackoffEventData {
  VDZInstallationsBackoffEvent eventType;
  platform::Date lastEventDate;
  std::int64_t eventCount;
  double backoffTimeInterval;
};

class VDZInstallationsBackoffController final : public VDZInstallationsBackoffControllerProtocol {
 public:
  using DateProvider = std::function<platform::Date()>;

  // Reads the platform clock.
  VDZInstallationsBackoffController();
  explicit VDZInstallationsBackoffController(DateProvider currentDateProvider);

  bool isNextRequestAllowed() override;
  void registerEvent(VDZInstallationsBackoffEvent event) override;

  static constexpr double kUnrecoverableBackoffSeconds = 24 * 60 * 60;
  static constexpr double kMaxRecoverableBackoffSeconds = 30 * 60;

  static double backoffTimeIntervalWithEvent(VDZInstallationsBackoffEvent event, std::int64_t eventCount);
  static double recoverableErrorBackoffTimeForAttemptNumber(std::int64_t attempt);
  // 0 to 999.
  static std::int64_t randomMilliseconds();

 private:
  const DateProvider currentDateProvider_;
  platform::Mutex mutex_;
  std::optional<VDZInstallationsBackoffEventData> lastEventData_ GUARDED_BY(mutex_);
};
