// The phone's diagnostics manager, standing in: diagnostic payloads (crashes, hangs, CPU and
// disk-write exceptions of earlier runs) wait as JSON files, in the phone's payload format, in
// "Library/Caches/MetricKit/Diagnostics" of the app's home. Adding a subscriber schedules a
// delivery: a moment later, on a queue of the manager's own, every waiting payload is handed to
// the subscribers in one call and its file removed. Nothing here collects diagnostics; a test or a
// developer writes the files (a file that is not a payload is removed with a log line).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"

namespace platform {
class DispatchQueue;
}

namespace platform::metrics {

// A measurement as the payload states it ("5.2 sec", "2,000 MB"): its number and its unit.
struct MXMeasurement {
  double value = 0;
  std::string unit;
  // None when the text does not start with a number.
  static std::optional<MXMeasurement> parse(const Value& text);
};

// A JSON object that can give its own representation back, as the phone's payload parts do.
class MXJSONObject {
 public:
  explicit MXJSONObject(Value json) : json_(std::move(json)) {}
  const Value& json() const { return json_; }
  Data JSONRepresentation() const;

 private:
  Value json_;
};

using MXCallStackTree = MXJSONObject;
using MXMetaData = MXJSONObject;

class MXDiagnostic {
 public:
  explicit MXDiagnostic(const Value& json);
  virtual ~MXDiagnostic() = default;
  const std::shared_ptr<MXMetaData>& metaData() const { return metaData_; }
  const std::string& applicationVersion() const { return applicationVersion_; }
  // Null for a kind without call stacks.
  const std::shared_ptr<MXCallStackTree>& callStackTree() const { return callStackTree_; }

 protected:
  const Value& meta() const { return metaData_->json(); }

 private:
  std::shared_ptr<MXMetaData> metaData_;
  std::string applicationVersion_;
  std::shared_ptr<MXCallStackTree> callStackTree_;
};

class MXCrashDiagnostic final : public MXDiagnostic {
 public:
  using MXDiagnostic::MXDiagnostic;
  // Absent when the payload leaves them out. The signal is numbered as on the phone.
  std::optional<std::int64_t> exceptionType() const { return integer("exceptionType"); }
  std::optional<std::int64_t> exceptionCode() const { return integer("exceptionCode"); }
  std::optional<std::int64_t> signal() const { return integer("signal"); }
  std::optional<std::string> terminationReason() const { return text("terminationReason"); }
  std::optional<std::string> virtualMemoryRegionInfo() const { return text("virtualMemoryRegionInfo"); }

 private:
  std::optional<std::int64_t> integer(std::string_view key) const;
  std::optional<std::string> text(std::string_view key) const;
};

class MXHangDiagnostic final : public MXDiagnostic {
 public:
  using MXDiagnostic::MXDiagnostic;
  std::optional<MXMeasurement> hangDuration() const { return MXMeasurement::parse(meta()["hangDuration"]); }
};

class MXCPUExceptionDiagnostic final : public MXDiagnostic {
 public:
  using MXDiagnostic::MXDiagnostic;
  std::optional<MXMeasurement> totalCPUTime() const { return MXMeasurement::parse(meta()["totalCPUTime"]); }
  std::optional<MXMeasurement> totalSampledTime() const { return MXMeasurement::parse(meta()["totalSampledTime"]); }
};

class MXDiskWriteExceptionDiagnostic final : public MXDiagnostic {
 public:
  using MXDiagnostic::MXDiagnostic;
  std::optional<MXMeasurement> totalWritesCaused() const { return MXMeasurement::parse(meta()["writesCaused"]); }
};

class MXDiagnosticPayload {
 public:
  // None when the JSON is not a payload (not an object, or without its two time stamps).
  static std::shared_ptr<MXDiagnosticPayload> payloadWithJSON(const Value& json);

  Date timeStampBegin() const { return begin_; }
  Date timeStampEnd() const { return end_; }
  const std::vector<std::shared_ptr<MXCrashDiagnostic>>& crashDiagnostics() const { return crashes_; }
  const std::vector<std::shared_ptr<MXHangDiagnostic>>& hangDiagnostics() const { return hangs_; }
  const std::vector<std::shared_ptr<MXCPUExceptionDiagnostic>>& cpuExceptionDiagnostics() const { return cpu_; }
  const std::vector<std::shared_ptr<MXDiskWriteExceptionDiagnostic>>& diskWriteExceptionDiagnostics() const {
    return diskWrites_;
  }

 private:
  Date begin_;
  Date end_;
  std::vector<std::shared_ptr<MXCrashDiagnostic>> crashes_;
  std::vector<std::shared_ptr<MXHangDiagnostic>> hangs_;
  std::vector<std::shared_ptr<MXCPUExceptionDiagnostic>> cpu_;
  std::vector<std::shared_ptr<MXDiskWriteExceptionDiagnostic>> diskWrites_;
};

// Daily metrics are not stood in for; subscribers only ever get diagnostics.
class MXMetricPayload {};

class MXMetricManagerSubscriber {
 public:
  virtual ~MXMetricManagerSubscriber() = default;
  virtual void didReceiveMetricPayloads(const std::vector<std::shared_ptr<MXMetricPayload>>&) {}
  virtual void didReceiveDiagnosticPayloads(const std::vector<std::shared_ptr<MXDiagnosticPayload>>&) {}
};

class MXMetricManager {
 public:
  static std::shared_ptr<MXMetricManager> sharedManager();
  // "Library/Caches/MetricKit/Diagnostics" of the current home.
  static std::filesystem::path diagnosticsDirectory();

  // Held weakly. Schedules a delivery of the waiting payloads.
  void addSubscriber(const std::shared_ptr<MXMetricManagerSubscriber>& subscriber) EXCLUDES(mutex_);
  void removeSubscriber(const std::shared_ptr<MXMetricManagerSubscriber>& subscriber) EXCLUDES(mutex_);
  // Reads and removes the waiting payload files (oldest name first) and hands them over.
  void deliverPendingPayloads() EXCLUDES(mutex_);

  // Seconds of the platform clock between a subscription and its delivery (default 0.5).
  void setDeliveryDelay(double seconds) EXCLUDES(mutex_);
  // Tests: no subscribers, the default delay.
  void resetForTesting() EXCLUDES(mutex_);

 private:
  MXMetricManager();
  const std::shared_ptr<DispatchQueue> queue_;
  Mutex mutex_;
  std::vector<std::weak_ptr<MXMetricManagerSubscriber>> subscribers_ GUARDED_BY(mutex_);
  double deliveryDelay_ GUARDED_BY(mutex_) = 0.5;
};

}  // namespace platform::metrics
