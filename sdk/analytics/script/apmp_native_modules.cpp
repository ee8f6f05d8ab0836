#include "sdk/analytics/script/apmp_native_modules.h"

#include <cmath>
#include <limits>

#include "platform/foundation/error.h"
#include "sdk/analytics/common/apm_monitor.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_runtime_entity_converter.h"

namespace {
APMPValuePtr undefined() { return APMPUndefinedValue::sharedInstance(); }

// The program's number truncated to a signed 64-bit level; out-of-range values saturate.
std::int64_t truncatedLevel(double number) {
  if (std::isnan(number)) return 0;
  if (number >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
  if (number <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(number);
}
}  // namespace

APMPValuePtr APMPFunctionGetVersion::invokeWithArguments(const APMPArguments&, const APMPScopePtr&, platform::Error*) {
  return APMPNumberValue::make(static_cast<double>(kAPMPRuntimeVersion));
}

std::int64_t APMZarazLogger::monitorLevelForLevel(std::int64_t level, bool silent, bool monitored) {
  switch (level) {
    case 2: return 8;
    case 3: return 7;
    case 5: return silent ? 5 : (monitored ? 4 : 3);
    case 6: return silent ? 2 : (monitored ? 1 : 0);
    default: return 6;
  }
}

void APMZarazLogger::logWithLevel(std::int64_t level, const std::string& message,
                                  const std::vector<std::string>& context, bool silent, bool monitored) {
  APMMonitor::Contexts contexts;
  for (const std::string& entry : context) contexts.emplace_back(entry);
  APMMeasurementMonitor()->logWithLevel(monitorLevelForLevel(level, silent, monitored), kAPMZarazLogMessageCode,
                                        message, std::move(contexts));
}

APMPValuePtr APMPFunctionLog::invokeWithArguments(const APMPArguments& arguments, const APMPScopePtr& scope,
                                                  platform::Error* error) {
  if (!APMPCheckMinimumArgumentCount(arguments, 1, error)) return undefined();
  const APMPArguments values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return undefined();
  std::int64_t level = 4;
  std::size_t messageIndex = 0;
  if (values.size() >= 2) {
    level = truncatedLevel(values[0]->doubleValueOrError(error));
    if (APMPHasError(error)) return undefined();
    messageIndex = 1;
  }
  const APMPString message = values[messageIndex]->stringValueOrError(error);
  if (APMPHasError(error)) return undefined();
  std::vector<std::string> contexts;
  for (std::size_t i = 2; i < values.size() && i < 5; ++i) {
    contexts.push_back(APMPUTF8(values[i]->stringValueOrError(error)));
    if (APMPHasError(error)) return undefined();
  }
  if (logger_) logger_->logWithLevel(level, APMPUTF8(message), contexts, silent_, monitored_);
  return undefined();
}

std::shared_ptr<APMPMessageLogger> APMPMessageLogger::initWithLogger(std::shared_ptr<APMPLoggerDelegate> logger) {
  auto module = std::make_shared<APMPMessageLogger>();
  module->setValue(std::make_shared<APMPFunctionLog>(logger, false, true), u"log");
  module->setValue(APMPFunctionLogSilent::initWithLogger(logger), u"silent");
  module->setValue(APMPFunctionLogUnmonitored::initWithLogger(logger), u"unmonitored");
  return module;
}

APMPValuePtr APMPMessageLogger::invokeWithArguments(const APMPArguments&, const APMPScopePtr&, platform::Error*) {
  return undefined();
}

std::shared_ptr<APMPFunctionLogSilent> APMPFunctionLogSilent::initWithLogger(std::shared_ptr<APMPLoggerDelegate> logger) {
  auto module = std::make_shared<APMPFunctionLogSilent>();
  module->setValue(std::make_shared<APMPFunctionLog>(std::move(logger), true, true), u"log");
  return module;
}

APMPValuePtr APMPFunctionLogSilent::invokeWithArguments(const APMPArguments&, const APMPScopePtr&, platform::Error*) {
  return undefined();
}

std::shared_ptr<APMPFunctionLogUnmonitored> APMPFunctionLogUnmonitored::initWithLogger(
    std::shared_ptr<APMPLoggerDelegate> logger) {
  auto module = std::make_shared<APMPFunctionLogUnmonitored>();
  module->setValue(std::make_shared<APMPFunctionLog>(std::move(logger), false, false), u"log");
  return module;
}

APMPValuePtr APMPFunctionLogUnmonitored::invokeWithArguments(const APMPArguments&, const APMPScopePtr&,
                                                             platform::Error*) {
  return undefined();
}

APMPValuePtr APMPKeyValueStoreGetValue::invokeWithArguments(const APMPArguments& arguments, const APMPScopePtr& scope,
                                                            platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments, 2, error)) return undefined();
  const APMPArguments values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return undefined();
  const APMPString key = values[0]->stringValueOrError(error);
  if (APMPHasError(error)) return undefined();
  const std::optional<std::string> found = lookup_ ? lookup_(APMPUTF8(key)) : std::nullopt;
  return found ? APMPStringValue::make(APMPText(*found)) : values[1];
}

std::shared_ptr<APMPKeyValueStore> APMPKeyValueStore::initWithFunctionName(const std::string& name,
                                                                           APMPKeyValueLookup lookup) {
  auto module = std::make_shared<APMPKeyValueStore>(APMPText(name));
  module->setValue(std::make_shared<APMPKeyValueStoreGetValue>(std::move(lookup)), u"getValue");
  return module;
}

APMPObjectProvider::APMPObjectProvider(const std::string& name, APMPObjectBlock block)
    : APMPFunctionValue(APMPText(name)), block_(std::move(block)) {}

APMPValuePtr APMPObjectProvider::invokeWithArguments(const APMPArguments&, const APMPScopePtr&, platform::Error* error) {
  return APMPRuntimeEntityConverter::runtimeValueFromNSObject(block_ ? block_() : std::nullopt, error);
}
