#include "sdk/analytics/common/apm_monitor.h"

#include <cctype>
#include <cmath>
#include <iterator>
#include <map>
#include <random>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/format.h"
#include "platform/foundation/strings.h"
#include "platform/foundation/system_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/common/apm_app_environment.h"
#include "sdk/analytics/common/apm_value.h"
#include "platform/foundation/thread_safety.h"

namespace {

constexpr std::string_view kMeasurementErrorDomain = "com.videzu.vmp.measurement.ErrorDomain";
constexpr std::string_view kMonitorContextKey = "APMMonitorContext";

bool hasArgument(const std::vector<std::string>& arguments, std::initializer_list<std::string_view> names) {
  for (const std::string& argument : arguments) {
    for (std::string_view name : names) {
      if (argument == name) return true;
    }
  }
  return false;
}

// Uniform in [0, bound).
std::uint32_t randomBelow(std::uint32_t bound) {
  thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(generator);
}

platform::Date now() { return platform::Clock::current().now(); }

}  // namespace

// --- APMMonitoringSampledData ---

APMMonitoringSampledData::APMMonitoringSampledData(const std::optional<platform::Value::Array>& array) {
  if (array && isValidUserDefaultsArrayEntry(platform::Value(*array))) sampledData_ = *array;
}

bool APMMonitoringSampledData::isValidUserDefaultsArrayEntry(const platform::Value& entry) {
  const auto* array = entry.ifArray();
  return array && array->size() == 4 && (*array)[0].isString() && (*array)[1].isNumber() && (*array)[2].isString() &&
         (*array)[3].isDate();
}

std::string APMMonitoringSampledData::monitoringURLParamWithKey(const std::string& key, std::int32_t population,
                                                                const std::string& context) {
  if (context.empty()) return platform::format("%d:%@", population, key);
  return platform::format("%d:%@:%@", population, key, context);
}

std::optional<platform::Value::Array> APMMonitoringSampledData::sampledDataEntryWithKey(
    const std::optional<std::string>& key, std::optional<platform::Date> timestamp,
    const std::optional<std::string>& context, std::optional<std::int32_t> population) {
  if (!key || !timestamp || !context || !population) return std::nullopt;
  return platform::Value::Array{*context, *population, *key, *timestamp};
}

void APMMonitoringSampledData::insertOrUpdateSampledDataWithKey(const std::string& key,
                                                                const std::string& encodedContext) {
  if (!sampledData_) {
    sampledData_ = sampledDataEntryWithKey(key, now(), encodedContext, 1);
    return;
  }
  auto& entry = *sampledData_;
  const std::int64_t population = entry[1].integerValue() + 1;
  entry[1] = static_cast<std::int32_t>(population);
  // Reservoir sampling of size one: every message of the period is equally likely to be kept.
  if (population > 0 && randomBelow(static_cast<std::uint32_t>(population)) == 0) {
    entry[0] = encodedContext;
    entry[2] = key;
  }
}

std::optional<std::string> APMMonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
  const platform::Date current = now();
  if (sampledData_) {
    const auto& entry = *sampledData_;
    if (entry[3].ifDate()->timeIntervalSince1970() < current.timeIntervalSince1970() - samplePeriod) {
      std::string param = monitoringURLParamWithKey(entry[2].string(), static_cast<std::int32_t>(entry[1].integerValue()),
                                                    entry[0].string());
      sampledData_.reset();
      return param;
    }
    return std::nullopt;
  }
  if (lastSampledTimestamp > 0 && std::fabs(current.timeIntervalSince1970() - lastSampledTimestamp) > samplePeriod) {
    return std::string("0:");
  }
  return std::nullopt;
}

// --- APMMonitor ---

std::shared_ptr<APMMonitor> APMMonitor::initWithLibraryVersion(std::int64_t libraryVersion) {
  return initWithLogLevel(6, std::make_shared<APMASLLogger>(), libraryVersion);
}

std::shared_ptr<APMMonitor> APMMonitor::initWithLogLevel(std::int64_t logLevel, std::shared_ptr<APMLogging> logger,
                                                         std::int64_t libraryVersion) {
  std::shared_ptr<APMMonitor> monitor(new APMMonitor(logLevel, std::move(logger), libraryVersion));
  monitor->start();
  return monitor;
}

APMMonitor::APMMonitor(std::int64_t logLevel, std::shared_ptr<APMLogging> logger, std::int64_t libraryVersion)
    : logLevel_(logLevel),
      logger_(std::move(logger)),
      monitorQueue_(platform::DispatchQueue::serial(
          "APMMonitorQueue", platform::DispatchQueue::global(platform::QualityOfService::Background))),
      libraryVersion_(libraryVersion),
      monitorUserDefaults_(platform::UserDefaults::suite(kAPMMonitorSuiteName)) {}

APMMonitor::~APMMonitor() = default;

void APMMonitor::start() {
  std::weak_ptr<APMMonitor> weak = weak_from_this();
  monitorQueue_->async([weak] {
    if (auto self = weak.lock()) {
      self->migrateMonitorDataOnMonitorQueue();
      self->loadMonitoringDataFromUserDefaultsOnMonitorQueue();
    }
  });
  // Store installations ignore every switch.
  if (!APMAEU::isFAS()) applyLaunchSwitches();
}

void APMMonitor::applyLaunchSwitches() {
  const std::vector<std::string> arguments = platform::ProcessInfo::arguments();
  // The core's logger owns the shared level when the core's own switches are given.
  deferToVDZLogger_ = hasArgument(arguments, {"-VDZDebugEnabled", "-VDZDebugDisabled"});
  const auto standard = platform::UserDefaults::standard();
  if (hasArgument(arguments, {"-noAPMAnalyticsDebugEnabled", "-noDOREvoredireDebugEnabled", "-VDZDebugDisabled"})) {
    setDebugModeEnabled(false);
  } else if (standard->boolForKey(kAPMDebugModeKey) ||
             hasArgument(arguments, {"-APMAnalyticsDebugEnabled", "-DOREvoredireDebugEnabled", "-VDZDebugEnabled"})) {
    setDebugModeEnabled(true);
  }
  if (hasArgument(arguments, {"-APMAnalyticsVerboseLoggingDisabled", "-DOREvoredireVerboseLoggingDisabled"})) {
    setVerboseLoggingEnabled(false);
  } else if (standard->boolForKey(kAPMVerboseLoggingKey) ||
             hasArgument(arguments, {"-APMAnalyticsVerboseLoggingEnabled", "-DOREvoredireVerboseLoggingEnabled"})) {
    setVerboseLoggingEnabled(true);
  }
}

std::int64_t APMMonitor::logLevel() const {
  platform::MutexLock lock(mutex_);
  return logLevel_;
}

void APMMonitor::setLogLevel(std::int64_t level) {
  platform::MutexLock lock(mutex_);
  logLevel_ = level;
}

bool APMMonitor::isDebugModeEnabled() const {
  platform::MutexLock lock(mutex_);
  return debugModeEnabled_;
}

bool APMMonitor::isVerboseLoggingEnabled() const {
  platform::MutexLock lock(mutex_);
  return verboseLoggingEnabled_;
}

bool APMMonitor::encodeContexts() const {
  platform::MutexLock lock(mutex_);
  return encodeContexts_;
}

void APMMonitor::setEncodeContexts(bool encode) {
  platform::MutexLock lock(mutex_);
  encodeContexts_ = encode;
}

std::string APMMonitor::logTag() const {
  platform::MutexLock lock(mutex_);
  return logTag_;
}

void APMMonitor::setLogTag(std::string tag) {
  platform::MutexLock lock(mutex_);
  logTag_ = std::move(tag);
}

namespace {
// How many observer calls this thread is inside: such a thread cannot wait for them to end.
thread_local int observerCallDepth = 0;
}  // namespace

void APMMonitor::setObserver(Observer observer) {
  auto installed = observer ? std::make_shared<const Observer>(std::move(observer)) : nullptr;
  std::weak_ptr<const Observer> replacedCalls;
  {
    platform::MutexLock lock(mutex_);
    installed.swap(observer_);
    replacedCalls = installed;
  }
  // Destroyed outside the lock: what the observer captured may log as it goes.
  installed.reset();
  if (observerCallDepth > 0) return;
  platform::MutexLock lock(mutex_);
  while (!replacedCalls.expired()) observerCallEnded_.wait(lock);
}

void APMMonitor::setSharedLoggerLevel(std::int64_t monitorLevel) {
  if (!deferToVDZLogger_) VULLoggerSetLevel(APMASLLogger::VULLoggerLevelFromLogLevel(monitorLevel));
}

void APMMonitor::setDebugModeEnabled(bool enabled) {
  const auto standard = platform::UserDefaults::standard();
  if (enabled && !APMAEU::isFAS()) {
    setLogLevel(7);
    setSharedLoggerLevel(7);
    standard->setBool(true, kAPMDebugModeKey);
    logWithLevel(7, 24000, "Debug mode is on", Contexts{});
    platform::MutexLock lock(mutex_);
    debugModeEnabled_ = true;
  } else {
    setLogLevel(6);
    setSharedLoggerLevel(6);
    standard->removeObjectForKey(kAPMDebugModeKey);
    logWithLevel(7, 24001, "Debug mode is off", Contexts{});
    platform::MutexLock lock(mutex_);
    debugModeEnabled_ = false;
  }
}

void APMMonitor::setVerboseLoggingEnabled(bool enabled) {
  const auto standard = platform::UserDefaults::standard();
  if (enabled && !APMAEU::isFAS()) {
    setLogLevel(8);
    setSharedLoggerLevel(8);
    standard->setBool(true, kAPMVerboseLoggingKey);
    logWithLevel(8, 24003, "Verbose logging is on", Contexts{});
    platform::MutexLock lock(mutex_);
    verboseLoggingEnabled_ = true;
  } else {
    const std::int64_t level = isDebugModeEnabled() ? 7 : 6;
    setLogLevel(level);
    setSharedLoggerLevel(level);
    standard->removeObjectForKey(kAPMVerboseLoggingKey);
    logWithLevel(8, 24004, "Verbose logging is off", Contexts{});
    platform::MutexLock lock(mutex_);
    verboseLoggingEnabled_ = false;
  }
}

std::optional<std::string> APMMonitor::logLevelDescriptionFromLogLevel(std::int64_t level) {
  // Constants that need no destruction: a worker may still log while the process exits.
  static constexpr const char* names[]{"ERROR", "ERROR", "ERROR", "WARNING", "WARNING", "WARNING", "NOTICE", "DEBUG"};
  if (level < 0 || level >= static_cast<std::int64_t>(std::size(names))) return std::nullopt;
  return names[level];
}

bool APMMonitor::isSilentLevel(std::int64_t level) { return level == 2 || level == 5 || level > 8; }

bool APMMonitor::isMonitorableLevel(std::int64_t level) {
  return level == 1 || level == 2 || level == 4 || level == 5 || level > 8;
}

bool APMMonitor::isLoggableLevel(std::int64_t level) const {
  return VULLoggerIsLoggableLevel(APMASLLogger::VULLoggerLevelFromLogLevel(level)) && !isSilentLevel(level);
}

std::string APMMonitor::encodedStringWithContextObject(const APMObject& object) {
  if (object.isNil() || object.isNullObject()) return "";
  if (object.isString()) return "-";  // text never leaves the device
  if (object.isNumber()) {
    const std::int64_t v = object.platformValue()->integerValue();
    const double magnitude = std::fabs(static_cast<double>(v));
    if (magnitude <= 99) return platform::format("%lld", static_cast<long long>(v));
    const double e = std::floor(std::log10(magnitude));
    const auto p = static_cast<long long>(std::pow(10.0, e) + 0.5);
    if (v > 0) return platform::format("%lld...%lld", p, 10 * p - 1);
    return platform::format("%lld...%lld", 1 - 10 * p, -p);
  }
  if (const APMExceptionInfo* exception = object.exception()) {
    return lastAPMSymbolFromException(exception).value_or("-");
  }
  if (const platform::Error* error = object.error()) return error->domain().empty() ? "-" : error->domain();
  return "?";
}

std::string APMMonitor::encodedStringWithContextArray(const Contexts& contexts, bool insertSpaces) {
  std::string out;
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i) out += insertSpaces ? ", " : ",";
    out += encodedStringWithContextObject(contexts[i]);
  }
  return out;
}

std::optional<std::string> APMMonitor::lastAPMSymbolFromException(const APMExceptionInfo* exception) {
  if (!exception) return std::nullopt;
  const auto& frames = exception->callStackSymbols;
  if (frames.size() < 3) return exception->name;
  for (std::size_t i = 2; i < frames.size(); ++i) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : frames[i] + " ") {
      if (std::isspace(static_cast<unsigned char>(c))) {
        if (!part.empty()) parts.push_back(std::move(part));
        part.clear();
      } else {
        part += c;
      }
    }
    if (parts.size() < 5) continue;
    const std::string symbol = parts[4] == "+" ? parts[3] : parts[3] + " " + parts[4];
    if (platform::strings::containsIgnoringCase(symbol, "APM")) return symbol;
  }
  return exception->name;
}

std::string APMMonitor::stringWithLogMessage(std::optional<std::string_view> message, std::int64_t,
                                             const Contexts& contexts, bool encodeContexts) {
  std::string line = !message ? "(Message was nil)" : message->empty() ? "(Message was empty)" : std::string(*message);
  if (contexts.empty()) return line;
  if (encodeContexts) return line + platform::format(": %@", encodedStringWithContextArray(contexts, true));
  std::string texts;
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    const APMObject& context = contexts[i];
    std::string text;
    if (const APMExceptionInfo* exception = context.exception()) {
      const auto symbol = lastAPMSymbolFromException(exception);
      text = symbol ? platform::format("%@: %@", *symbol, exception->description()) : exception->description();
    } else if (context.isNil() || context.isNullObject()) {
      text = "(nil)";
    } else if (const APMOpaqueObject* opaque = context.opaque(); opaque && opaque->description.empty()) {
      text = platform::format("<%@ %p>", opaque->className, static_cast<const void*>(opaque));
    } else {
      text = context.description();
    }
    if (i) texts += ", ";
    texts += text;
  }
  return line + ": " + texts;
}

std::string APMMonitor::monitoringDataKeyWithMessage(std::string_view message, std::int64_t level,
                                                     std::int64_t libraryVersion) {
  const char letter = level >= 0 && level <= 2 ? 'E' : level >= 3 && level <= 5 ? 'W' : '?';
  return platform::format("%@%c_%lld:%@", "1", letter, static_cast<long long>(libraryVersion), message);
}

void APMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode, std::string_view message,
                              Contexts contexts) {
  std::shared_ptr<const Observer> observer;
  bool verbose;
  bool encode;
  {
    platform::MutexLock lock(mutex_);
    observer = observer_;
    verbose = verboseLoggingEnabled_;
    encode = encodeContexts_;
  }
  if (observer) {
    ++observerCallDepth;
    (*observer)(level, messageCode, std::string(message), contexts);
    --observerCallDepth;
    // Released before the notice, outside the lock: a replacement waiting for this call then
    // finds it ended.
    observer.reset();
    { platform::MutexLock lock(mutex_); }
    observerCallEnded_.notify_all();
  }
  const bool loggable = isLoggableLevel(level);
  const bool monitorable = isMonitorableLevel(level);
  if (!loggable && !monitorable) return;
  if (level >= 8 && !verbose) return;
  if (loggable) logToConsole(messageCode, stringWithLogMessage(message, level, contexts, encode), level);
  if (monitorable) {
    std::string encoded = encodedStringWithContextArray(contexts, false);
    std::string monitorContexts;
    for (const APMObject& context : contexts) {
      const platform::Error* error = context.error();
      if (!error || error->domain() != kMeasurementErrorDomain) continue;
      const auto it = error->userInfo().find(kMonitorContextKey);
      if (it == error->userInfo().end() || !it->second.isString() || it->second.string().empty()) continue;
      if (!monitorContexts.empty()) monitorContexts += ",";
      monitorContexts += it->second.string();
    }
    if (!monitorContexts.empty()) encoded += "," + monitorContexts;
    insertOrUpdateMonitoringDataWithMessage(message, std::move(encoded), level);
  }
}

void APMMonitor::logToConsole(std::int64_t messageCode, std::string line, std::int64_t level) {
  std::weak_ptr<APMMonitor> weak = weak_from_this();
  monitorQueue_->async([weak, messageCode, line = std::move(line), level] {
    if (auto self = weak.lock()) self->logger_->logMessage(line, self->logTag(), messageCode, level);
  });
}

void APMMonitor::insertOrUpdateMonitoringDataWithMessage(std::string_view message, std::string encodedContext,
                                                         std::int64_t level) {
  std::string key = monitoringDataKeyWithMessage(message, level, libraryVersion_);
  std::weak_ptr<APMMonitor> weak = weak_from_this();
  monitorQueue_->async([weak, key = std::move(key), encodedContext = std::move(encodedContext)] {
    if (auto self = weak.lock()) {
      self->monitoringSampledData_.insertOrUpdateSampledDataWithKey(key, encodedContext);
      // The suite's own flusher writes it shortly; a disk write per message would cost too much.
      self->saveMonitoringDataToUserDefaultsOnMonitorQueue(false);
    }
  });
}

std::optional<std::string> APMMonitor::monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                                 double lastSampledTimestamp) {
  std::optional<std::string> result;
  monitorQueue_->sync([&] {
    result = monitoringSampledData_.monitoringDataForDispatchWithSamplePeriod(samplePeriod, lastSampledTimestamp);
    if (result && !result->empty()) saveMonitoringDataToUserDefaultsOnMonitorQueue();
  });
  return result;
}

void APMMonitor::clearMonitoringData() {
  monitorQueue_->sync([&] {
    const auto standard = platform::UserDefaults::standard();
    standard->removeObjectForKey(kAPMDebugModeKey);
    standard->removeObjectForKey(kAPMHealthMonitorKey);
    monitorUserDefaults_->removeObjectForKey(kAPMHealthMonitorKey);
    loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  });
}

void APMMonitor::waitUntilIdle() {
  monitorQueue_->sync([] {});
}

void APMMonitor::loadMonitoringDataFromUserDefaultsOnMonitorQueue() {
  monitoringSampledData_ = APMMonitoringSampledData(monitorUserDefaults_->arrayForKey(kAPMHealthMonitorKey));
}

void APMMonitor::saveMonitoringDataToUserDefaultsOnMonitorQueue(bool synchronize) {
  const auto data = monitoringSampledData_.sampledData();
  monitorUserDefaults_->setObject(data ? platform::Value(*data) : platform::Value(), kAPMHealthMonitorKey);
  if (synchronize) monitorUserDefaults_->synchronize();
}

void APMMonitor::migrateMonitorDataOnMonitorQueue() {
  std::int64_t state = monitorUserDefaults_->integerForKey(kAPMMonitorMigrationStateKey);
  const auto standard = platform::UserDefaults::standard();
  if (state == 0) {
    const platform::Value old = standard->objectForKey(kAPMHealthMonitorKey);
    if (old.isArray() && monitorUserDefaults_->objectForKey(kAPMHealthMonitorKey).isNull()) {
      monitorUserDefaults_->setObject(old, kAPMHealthMonitorKey);
    }
    state = 1;
    monitorUserDefaults_->setInteger(state, kAPMMonitorMigrationStateKey);
    monitorUserDefaults_->synchronize();
  }
  if (state == 1) {
    standard->removeObjectForKey(kAPMHealthMonitorKey);
    standard->synchronize();
    monitorUserDefaults_->setInteger(2, kAPMMonitorMigrationStateKey);
    monitorUserDefaults_->synchronize();
  }
}

// --- the process's monitor ---

namespace {
struct SharedMonitor {
  platform::Mutex mutex;
  std::shared_ptr<APMMonitor> monitor GUARDED_BY(mutex);
};
SharedMonitor& sharedMonitor() {
  static SharedMonitor* shared = new SharedMonitor;
  return *shared;
}
}  // namespace

std::shared_ptr<APMMonitor> APMMeasurementMonitor() {
  auto& shared = sharedMonitor();
  platform::MutexLock lock(shared.mutex);
  if (!shared.monitor) shared.monitor = APMMonitor::initWithLibraryVersion(kAPMLibraryVersion);
  return shared.monitor;
}

void APMSetMeasurementMonitor(std::shared_ptr<APMMonitor> monitor) {
  auto& shared = sharedMonitor();
  platform::MutexLock lock(shared.mutex);
  shared.monitor = std::move(monitor);
}
