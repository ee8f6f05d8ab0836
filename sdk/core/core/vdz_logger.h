// The core's logging front end over the shared logger: sets the logger up once per process from
// the launch arguments and the remembered debug mode, and offers level-fixed entry points for the
// core and the libraries built on it.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sdk/utilities/utilities/vul_logger.h"

// The SDK version that heads every log line and names the libraries' versions.
std::string VDZVuduzaraVersion();

inline constexpr std::string_view kVDZLoggerServiceCore = "[Vuduzara/Core]";
inline constexpr std::string_view kVDZLoggerServiceAnalytics = "[Vuduzara/Analytics]";

inline constexpr std::string_view kVDZDebugEnabledArgument = "-VDZDebugEnabled";
inline constexpr std::string_view kVDZDebugDisabledArgument = "-VDZDebugDisabled";
inline constexpr std::string_view kVDZLoggerForceSTDERRArgument = "-VDZLoggerForceSTDERR";
// Remembers debug mode across launches, in the standard user defaults.
inline constexpr std::string_view kVDZPersistedDebugModeKey = "/videzu/vuduzara/debug_mode";

// Once per process; every function below calls it first.
void VDZLoggerInitialize();
void VDZLoggerSetLevel(VULLoggerLevel level);
void VDZLoggerLogBasic(VULLoggerLevel level, std::string_view service, std::string_view messageCode,
                       std::string_view format, std::optional<std::span<const platform::FormatArg>> args);

template <class... Args>
void VDZLoggerLog(VULLoggerLevel level, std::string_view service, std::string_view messageCode,
                  std::string_view format, const Args&... args) {
  VDZLoggerInitialize();
  VULLoggerLog(level, service, false, messageCode, format, args...);
}

template <class... Args>
void VDZLoggerLogError(std::string_view service, std::string_view messageCode, std::string_view format,
                       const Args&... args) {
  VDZLoggerLog(VULLoggerLevelError, service, messageCode, format, args...);
}
template <class... Args>
void VDZLoggerLogWarning(std::string_view service, std::string_view messageCode, std::string_view format,
                         const Args&... args) {
  VDZLoggerLog(VULLoggerLevelWarning, service, messageCode, format, args...);
}
template <class... Args>
void VDZLoggerLogInfo(std::string_view service, std::string_view messageCode, std::string_view format,
                      const Args&... args) {
  VDZLoggerLog(VULLoggerLevelInfo, service, messageCode, format, args...);
}
template <class... Args>
void VDZLoggerLogDebug(std::string_view service, std::string_view messageCode, std::string_view format,
                       const Args&... args) {
  VDZLoggerLog(VULLoggerLevelDebug, service, messageCode, format, args...);
}

class VDZLoggerWrapper {
 public:
  static void logWithLevel(VULLoggerLevel level, std::string_view service, std::string_view code,
                           std::string_view message, std::optional<std::span<const platform::FormatArg>> args) {
    VDZLoggerLogBasic(level, service, code, message, args);
  }
};

// Tests only: the next logging call sets the logger up again, reading the arguments anew.
void VDZLoggerResetForTesting();
