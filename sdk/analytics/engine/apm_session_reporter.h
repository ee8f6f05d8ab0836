// Session and engagement reporting. Only the switches the engine's start and stop need exist
// so far; the reporting itself comes with its own change.
#pragma once

#include <memory>

namespace platform {
class DispatchQueue;
}
class APMPersistedConfig;

class APMSessionReporter {
 public:
  explicit APMSessionReporter(std::shared_ptr<APMPersistedConfig> persistedConfig);
  void setReportingEnabled(bool enabled);
  bool isReportingEnabled() const { return reportingEnabled_; }
  void setSessionTimeoutInterval(double seconds);
  double sessionTimeoutInterval() const { return sessionTimeoutInterval_; }

 private:
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  bool reportingEnabled_ = false;
  double sessionTimeoutInterval_ = 1800;
};
