// Turns the platform's diagnostic payloads into record lines: a crash diagnostic becomes
// "metric_kit_fatal.rlzrecord" of the report of the run that crashed (when it is still unsent,
// else of this run's), hangs, CPU and disk-write exceptions lines of this run's
// "metric_kit_nonfatal.rlzrecord". The launch waits on a promise until the previous run's payloads
// are in, or three seconds have passed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/thread_safety.h"
#include "platform/foundation/value.h"
#include "platform/metrics/metric_manager.h"
#include "sdk/utilities/promises/vbl_promise.h"

class RLZExistingReportManager;
class RLZFileManager;
struct RLZManagerData;

inline constexpr double kRLZMetricKitWaitSeconds = 3.0;

class RLZMetricKitManager : public platform::metrics::MXMetricManagerSubscriber,
                            public std::enable_shared_from_this<RLZMetricKitManager> {
 public:
  using Promise = VBLPromise<VBLVoid>;

  RLZMetricKitManager(std::shared_ptr<RLZManagerData> managerData,
                      std::shared_ptr<RLZExistingReportManager> existingReportManager,
                      std::shared_ptr<RLZFileManager> fileManager);

  void registerMetricKitManager() EXCLUDES(mutex_);
  std::shared_ptr<Promise> waitForMetricKitDataAvailable() EXCLUDES(mutex_);

  void didReceiveDiagnosticPayloads(
      const std::vector<std::shared_ptr<platform::metrics::MXDiagnosticPayload>>& payloads) override EXCLUDES(mutex_);
  bool processMetricKitPayload(const platform::metrics::MXDiagnosticPayload& payload, bool skipCrashEvent);

  static platform::Value::Array convertThreadsToArray(const platform::metrics::MXCallStackTree* tree);
  static platform::Value::Array convertThreadsToArrayForNonfatal(const platform::metrics::MXCallStackTree* tree);
  static std::optional<platform::Value> convertMetadataToDictionary(const platform::metrics::MXMetaData* metadata);
  static std::string getSignalName(long long phoneSignal);

 private:
  void fulfillMetricKitPromise() REQUIRES(mutex_);

  const std::shared_ptr<RLZManagerData> managerData_;
  const std::shared_ptr<RLZExistingReportManager> existingReportManager_;
  const std::shared_ptr<RLZFileManager> fileManager_;
  platform::Mutex mutex_;
  std::shared_ptr<Promise> metricKitDataAvailable_ GUARDED_BY(mutex_);
  bool metricKitPromiseFulfilled_ GUARDED_BY(mutex_) = false;
};
