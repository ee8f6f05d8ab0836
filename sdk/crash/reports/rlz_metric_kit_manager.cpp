#include "sdk/crash/reports/rlz_metric_kit_manager.h"

#include <cmath>
#include <fstream>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/json.h"
#include "sdk/crash/capture/rlz_mach_exception.h"
#include "sdk/crash/capture/rlz_signal.h"
#include "sdk/crash/launch/rlz_file_manager.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/reports/rlz_call_stack_tree.h"
#include "sdk/crash/reports/rlz_manager_data.h"
#include "sdk/crash/reports/rlz_report_manager.h"
#include "sdk/crash/reports/vdz_ralitoze_report.h"

namespace mx = platform::metrics;

namespace {

constexpr std::string_view kFatalFileName = "metric_kit_fatal.rlzrecord";
constexpr std::string_view kNonfatalFileName = "metric_kit_nonfatal.rlzrecord";

std::int64_t wholeSeconds(const platform::Date& date) {
  return static_cast<std::int64_t>(std::trunc(date.timeIntervalSince1970()));
}

// Appends one JSON line; false when the dictionary cannot be written out or the file refuses it.
bool writeDictionaryToFile(const platform::Value& dictionary, const std::string& path) {
  platform::Error error;
  const auto text = platform::JSON::serialize(dictionary, false, &error);
  if (!text) {
    RLZDebugLog("Unable to write out dictionary.");
    return false;
  }
  std::ofstream file(path, std::ios::binary | std::ios::app);
  if (!file) return false;
  file << *text << '\n';
  file.flush();
  return static_cast<bool>(file);
}

void putMeasurement(platform::Value::Dictionary& object, std::string_view key,
                    const std::optional<mx::MXMeasurement>& measurement) {
  if (measurement) object[std::string(key)] = platform::Value(measurement->value);
}

platform::Value::Dictionary nonfatalObject(const mx::MXDiagnostic& diagnostic, const mx::MXDiagnosticPayload& payload,
                                           std::string_view name) {
  platform::Value::Dictionary object{
      {"type", platform::Value("metrickit_nonfatal")},
      {"name", platform::Value(name)},
      {"time", platform::Value(wholeSeconds(payload.timeStampBegin()))},
      {"end_time", platform::Value(wholeSeconds(payload.timeStampEnd()))},
      {"threads",
       platform::Value(RLZMetricKitManager::convertThreadsToArrayForNonfatal(diagnostic.callStackTree().get()))},
      {"app_version", platform::Value(diagnostic.applicationVersion())},
  };
  if (auto metadata = RLZMetricKitManager::convertMetadataToDictionary(diagnostic.metaData().get())) {
    object["metadata"] = *metadata;
  }
  return object;
}

platform::Value::Dictionary fatalObject(const mx::MXCrashDiagnostic& crash, const mx::MXDiagnosticPayload& payload) {
  platform::Value::Dictionary object{
      {"time", platform::Value(wholeSeconds(payload.timeStampBegin()))},
      {"end_time", platform::Value(wholeSeconds(payload.timeStampEnd()))},
      {"termination_reason", platform::Value(crash.terminationReason().value_or(""))},
      {"virtual_memory_region_info", platform::Value(crash.virtualMemoryRegionInfo().value_or(""))},
      {"app_version", platform::Value(crash.applicationVersion())},
  };
  if (auto metadata = RLZMetricKitManager::convertMetadataToDictionary(crash.metaData().get())) {
    object["metadata"] = *metadata;
  }
  // What the payload leaves out stays out: a 0 would read as a real exception type or signal.
  const auto type = crash.exceptionType();
  const auto code = crash.exceptionCode();
  const auto signal = crash.signal();
  if (type) object["exception_type"] = platform::Value(*type);
  if (code) object["exception_code"] = platform::Value(*code);
  if (signal) object["signal"] = platform::Value(*signal);

  const char* name = nullptr;
  const char* codeName = nullptr;
  if (type) {
    const RLZMachExceptionName mach = RLZMachExceptionNameLookup(*type, code.value_or(0));
    name = mach.name;
    codeName = mach.codeName;
  }
  if (!name) {
    const RLZSignalName byName = RLZSignalNameLookup(RLZSignalHostNumberForPhoneNumber(signal.value_or(-1)), 0);
    name = byName.name ? byName.name : "UNKNOWN";
    codeName = byName.codeName;
  }
  object["name"] = platform::Value(name);
  object["code_name"] = platform::Value(codeName ? codeName : "");
  return object;
}

}  // namespace

RLZMetricKitManager::RLZMetricKitManager(std::shared_ptr<RLZManagerData> managerData,
                                         std::shared_ptr<RLZExistingReportManager> existingReportManager,
                                         std::shared_ptr<RLZFileManager> fileManager)
    : managerData_(std::move(managerData)),
      existingReportManager_(std::move(existingReportManager)),
      fileManager_(std::move(fileManager)),
      metricKitDataAvailable_(Promise::pendingPromise()) {}

void RLZMetricKitManager::registerMetricKitManager() {
  mx::MXMetricManager::sharedManager()->addSubscriber(shared_from_this());
  {
    platform::MutexLock lock(mutex_);
    metricKitDataAvailable_ = Promise::pendingPromise();
    metricKitPromiseFulfilled_ = false;
    // Only a crash of the previous run with a diagnostic waiting is worth waiting for.
    if (!(fileManager_->didCrashOnPreviousExecution() && fileManager_->metricKitDiagnosticFileExists())) {
      fulfillMetricKitPromise();
    }
  }
  std::weak_ptr<RLZMetricKitManager> weakSelf = weak_from_this();
  RLZDispatchAfter(kRLZMetricKitWaitSeconds, managerData_->dispatchQueue, [weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    platform::MutexLock lock(self->mutex_);
    if (!self->metricKitPromiseFulfilled_) {
      RLZDebugLog("Resolving MetricKit promise after three seconds");
      self->fulfillMetricKitPromise();
    }
  });
  RLZDebugLog("Finished registering metrickit manager");
}

std::shared_ptr<RLZMetricKitManager::Promise> RLZMetricKitManager::waitForMetricKitDataAvailable() {
  platform::MutexLock lock(mutex_);
  return metricKitDataAvailable_;
}

void RLZMetricKitManager::fulfillMetricKitPromise() {
  if (metricKitPromiseFulfilled_) return;
  metricKitDataAvailable_->fulfill(VBLVoid{});
  metricKitPromiseFulfilled_ = true;
}

void RLZMetricKitManager::didReceiveDiagnosticPayloads(const std::vector<std::shared_ptr<mx::MXDiagnosticPayload>>& payloads) {
  bool skipCrash = false;
  for (const auto& payload : payloads) {
    if (!payload) continue;
    const bool processed = processMetricKitPayload(*payload, skipCrash);
    // Only the first payload with a crash writes the fatal record.
    if (processed && !payload->crashDiagnostics().empty()) skipCrash = true;
  }
  platform::MutexLock lock(mutex_);
  fulfillMetricKitPromise();
}

bool RLZMetricKitManager::processMetricKitPayload(const mx::MXDiagnosticPayload& payload, bool skipCrashEvent) {
  const bool crash = !payload.crashDiagnostics().empty();
  const bool hang = !payload.hangDiagnostics().empty();
  const bool cpu = !payload.cpuExceptionDiagnostics().empty();
  const bool disk = !payload.diskWriteExceptionDiagnostics().empty();
  if (!crash && !hang && !cpu && !disk) return false;

  const std::string base = fileManager_->activePath() + "/";
  const std::string current = managerData_->executionIDModel->executionID() + "/";
  if (managerData_->executionIDModel->executionID().empty()) {
    RLZDebugLog("Error finding MetricKit files");
    return false;
  }
  std::string fatalDirectory = current;
  if (crash && existingReportManager_) {
    if (auto newest = existingReportManager_->newestUnsentReport()) {
      const std::string candidate = newest->reportID() + "/";
      if (fileManager_->fileExistsAtPath(base + candidate)) fatalDirectory = candidate;
    }
  }
  const std::string fatalPath = base + fatalDirectory + std::string(kFatalFileName);
  const std::string nonfatalPath = base + current + std::string(kNonfatalFileName);
  RLZDebugLog("File paths for MetricKit report:  %@, %@", fatalPath, nonfatalPath);

  if (crash && !fileManager_->fileExistsAtPath(fatalPath)) fileManager_->createFileAtPath(fatalPath, std::nullopt);
  const bool nonfatal = hang || cpu || disk;
  if (nonfatal && !fileManager_->fileExistsAtPath(nonfatalPath)) {
    fileManager_->createFileAtPath(nonfatalPath, std::nullopt);
  }
  if (nonfatal && !fileManager_->fileExistsAtPath(nonfatalPath)) {
    RLZDebugLog("Unable to create or open nonfatal MetricKit file.");
    return false;
  }
  if (crash && !fileManager_->fileExistsAtPath(fatalPath)) {
    RLZDebugLog("Unable to create or open fatal MetricKit file.");
    return false;
  }

  bool written = true;
  if (crash && !skipCrashEvent) {
    const auto& diagnostic = *payload.crashDiagnostics().front();
    written = writeDictionaryToFile(
        platform::Value::dictionary({{"metric_kit_fatal", platform::Value(fatalObject(diagnostic, payload))}}),
        fatalPath);
    written = writeDictionaryToFile(
                  platform::Value::dictionary(
                      {{"threads", platform::Value(convertThreadsToArray(diagnostic.callStackTree().get()))}}),
                  fatalPath) &&
              written;
  }
  auto writeNonfatal = [&](platform::Value::Dictionary object) {
    written = writeDictionaryToFile(platform::Value::dictionary({{"exception", platform::Value(std::move(object))}}),
                                    nonfatalPath);
  };
  if (hang) {
    const auto& diagnostic = *payload.hangDiagnostics().front();
    auto object = nonfatalObject(diagnostic, payload, "hang_event");
    putMeasurement(object, "hang_duration", diagnostic.hangDuration());
    writeNonfatal(std::move(object));
  }
  if (cpu) {
    const auto& diagnostic = *payload.cpuExceptionDiagnostics().front();
    auto object = nonfatalObject(diagnostic, payload, "cpu_exception_event");
    putMeasurement(object, "total_cpu_time", diagnostic.totalCPUTime());
    putMeasurement(object, "total_sampled_time", diagnostic.totalSampledTime());
    writeNonfatal(std::move(object));
  }
  if (disk) {
    const auto& diagnostic = *payload.diskWriteExceptionDiagnostics().front();
    auto object = nonfatalObject(diagnostic, payload, "disk_write_exception_event");
    putMeasurement(object, "total_writes_caused", diagnostic.totalWritesCaused());
    writeNonfatal(std::move(object));
  }
  return written;
}

platform::Value::Array RLZMetricKitManager::convertThreadsToArray(const mx::MXCallStackTree* tree) {
  if (!tree) return {};
  const auto converted = RLZCallStackTree::initWithMXCallStackTree(*tree);
  return converted ? converted->getArrayRepresentation() : platform::Value::Array{};
}

platform::Value::Array RLZMetricKitManager::convertThreadsToArrayForNonfatal(const mx::MXCallStackTree* tree) {
  if (!tree) return {};
  const auto converted = RLZCallStackTree::initWithMXCallStackTree(*tree);
  return converted ? converted->getFramesOfBlamedThread() : platform::Value::Array{};
}

std::optional<platform::Value> RLZMetricKitManager::convertMetadataToDictionary(const mx::MXMetaData* metadata) {
  if (!metadata) return std::nullopt;
  auto parsed = platform::JSON::parse(metadata->JSONRepresentation());
  if (!parsed || !parsed->isDictionary()) return std::nullopt;
  return parsed;
}

std::string RLZMetricKitManager::getSignalName(long long phoneSignal) {
  switch (phoneSignal) {
    case 4: return "SIGILL";
    case 5: return "SIGTRAP";
    case 6: return "SIGABRT";
    case 8: return "SIGFPE";
    case 10: return "SIGBUS";
    case 11: return "SIGSEGV";
    case 12: return "SIGSYS";
    default: return "UNKNOWN";
  }
}
