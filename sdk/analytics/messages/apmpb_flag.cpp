#include "sdk/analytics/messages/apmpb_flag.h"

#include <string>

#include "platform/foundation/console.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "platform/foundation/thread_safety.h"

namespace {

enum FlagField : std::int32_t { kName = 0, kIntValue = 1, kStringValue = 2, kDoubleValue = 3, kBoolValue = 4 };

platform::Mutex monitorMutex;
APMPBFlagMonitor gInstalledMonitor GUARDED_BY(monitorMutex);

void report(std::int32_t code, std::string_view message, const platform::Value& context) {
  APMPBFlagMonitor monitor;
  {
    platform::MutexLock lock(monitorMutex);
    monitor = gInstalledMonitor;
  }
  if (monitor) {
    monitor(1, code, message, context);
  } else {
    platform::Console::log("I-ACS" + std::to_string(code) + " " + std::string(message) +
                           (context.isNull() ? "" : ": " + context.description()));
  }
}

std::string classNameOf(const platform::Value& value) {
  if (value.isNumber()) return "NSNumber";
  if (value.isString()) return "NSString";
  if (value.isData()) return "NSData";
  if (value.isArray()) return "NSArray";
  if (value.isDictionary()) return "NSDictionary";
  if (value.isDate()) return "NSDate";
  return "NSNull";
}

}  // namespace

void APMPBSetFlagMonitor(APMPBFlagMonitor monitor) {
  platform::MutexLock lock(monitorMutex);
  gInstalledMonitor = std::move(monitor);
}

platform::Value APMPBFlagValue(const APMPBFlag* flag) {
  if (!flag) return {};
  if (NANOHasField(flag, kIntValue)) return platform::Value(static_cast<long long>(NANOGetInt64(flag, kIntValue)));
  if (NANOHasField(flag, kDoubleValue)) return platform::Value(NANOGetDouble(flag, kDoubleValue));
  if (NANOHasField(flag, kStringValue)) {
    auto text = NANOGetString(flag, kStringValue);
    return text ? platform::Value(std::move(*text)) : platform::Value();
  }
  if (NANOHasField(flag, kBoolValue)) return platform::Value(NANOGetBool(flag, kBoolValue));
  return {};
}

std::shared_ptr<APMPBFlag> APMPBFlagFromNameAndValue(const platform::Value& name, const platform::Value& value) {
  if (name.isNull()) {
    report(850000, "Flag name must not be nil", {});
    return nullptr;
  }
  if (!name.isString()) {
    report(850001, "Flag name must be a string", platform::Value(classNameOf(name)));
    return nullptr;
  }
  if (!value.isNumber() && !value.isString()) {
    report(850002, "Flag value is invalid", platform::Value(classNameOf(value)));
    return nullptr;
  }
  auto flag = APMPBFlag::initWithBuffer(nullptr);
  if (!flag) return nullptr;
  NANOSetString(flag.get(), kName, *name.ifString());
  if (value.isString()) {
    NANOSetString(flag.get(), kStringValue, *value.ifString());
  } else if (value.isDouble()) {
    NANOSetDouble(flag.get(), kDoubleValue, *value.ifDouble());
  } else {
    NANOSetInt64(flag.get(), kIntValue, value.integerValue());
  }
  return flag;
}
