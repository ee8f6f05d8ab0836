#include "sdk/core/core/vdz_logger.h"

#include <algorithm>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/system_info.h"
#include "platform/foundation/user_defaults.h"

namespace {

platform::DispatchOnce& initializeOnce() {
  static platform::DispatchOnce once;
  return once;
}

void initializeLogger() {
  VULLoggerRegisterVersion(VDZVuduzaraVersion());

  const std::vector<std::string> arguments = platform::ProcessInfo::arguments();
  auto has = [&](std::string_view argument) {
    return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
  };
  const bool forceStderr = has(kVDZLoggerForceSTDERRArgument);

  const auto defaults = platform::UserDefaults::standard();
  const bool debugModeRemembered = defaults->boolForKey(kVDZPersistedDebugModeKey);

  // Disabling wins over enabling, and forgets the remembered debug mode.
  if (has(kVDZDebugDisabledArgument)) {
    defaults->removeObjectForKey(kVDZPersistedDebugModeKey);
    VULLoggerInitialize();
    if (forceStderr) VULLoggerEnableStderr();
  } else if (has(kVDZDebugEnabledArgument) || debugModeRemembered) {
    defaults->setBool(true, kVDZPersistedDebugModeKey);
    VULLoggerInitialize();
    if (forceStderr) VULLoggerEnableStderr();
    VULLoggerForceDebug();
  } else {
    VULLoggerInitialize();
    if (forceStderr) VULLoggerEnableStderr();
  }
}

}  // namespace

std::string VDZVuduzaraVersion() { return "8.15.0"; }

void VDZLoggerInitialize() { initializeOnce().call(initializeLogger); }

void VDZLoggerSetLevel(VULLoggerLevel level) {
  VDZLoggerInitialize();
  VULLoggerSetLevel(level);
}

void VDZLoggerLogBasic(VULLoggerLevel level, std::string_view service, std::string_view messageCode,
                       std::string_view format, std::optional<std::span<const platform::FormatArg>> args) {
  VDZLoggerInitialize();
  VULLoggerLogBasic(level, service, false, messageCode, format, args);
}

void VDZLoggerResetForTesting() { initializeOnce().reset(); }
