// The one sink of every log line of the SDK stack. A line carries a level, a service tag such as
// "[VULLogger]", a message code of "I-", three capital letters and six digits, and a printf-style
// message (platform::format). Loggable lines are formatted on the caller's thread as
// "<version> - <service>[<code>] <message>" and written in submission order on the serial queue
// "VULLoggingClientQueue": to the log file Library/Logs/com.videzu.utilities.logger.log of the
// app's home, to the system log (platform::Console::systemLog) and, once enabled, to standard error.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/format.h"

namespace platform {
class DispatchQueue;
}

// The system log's severity numbers; a smaller number is more severe.
using VULLoggerLevel = std::int64_t;
inline constexpr VULLoggerLevel VULLoggerLevelError = 3;
inline constexpr VULLoggerLevel VULLoggerLevelWarning = 4;
inline constexpr VULLoggerLevel VULLoggerLevelNotice = 5;
inline constexpr VULLoggerLevel VULLoggerLevelInfo = 6;
inline constexpr VULLoggerLevel VULLoggerLevelDebug = 7;

// Sets the logger up once per process; every logging and level call does so itself.
void VULLoggerInitialize();
// Copies every later line to standard error. Call after VULLoggerInitialize.
void VULLoggerEnableStderr();
// Debug mode: every line is written whatever the level. Ignored in an App Store build.
void VULLoggerForceDebug();
// Levels 3 to 7; anything else is reported and ignored. An App Store build refuses 5 and above.
void VULLoggerSetLevel(VULLoggerLevel level);
bool VULLoggerIsLoggableLevel(VULLoggerLevel level);
// The text that heads every line ("" until registered).
void VULLoggerRegisterVersion(std::string version);

// `args` absent: the format is the message, verbatim ("%" signs included).
// The message code is opaque: written as given, whatever its form (callers' codes are
// "I-", three capital letters and six digits by convention only).
void VULLoggerLogBasic(VULLoggerLevel level, std::string_view service, bool forced, std::string_view messageCode,
                       std::string_view format, std::optional<std::span<const platform::FormatArg>> args);

// True when a line of `level` would be written; initialises the logger.
bool VULLoggerWouldLog(VULLoggerLevel level, bool forced);

// The level functions. Arguments are described only for lines that will be written. A message
// given without arguments is used verbatim: conversions in it would read arguments that are not
// there.
template <class... Args>
void VULLoggerLog(VULLoggerLevel level, std::string_view service, bool forced, std::string_view messageCode,
                  std::string_view format, const Args&... args) {
  if (!VULLoggerWouldLog(level, forced)) return;
  if constexpr (sizeof...(Args) == 0) {
    VULLoggerLogBasic(level, service, forced, messageCode, format, std::nullopt);
  } else {
    const platform::FormatArg list[] = {platform::FormatArg(args)...};
    VULLoggerLogBasic(level, service, forced, messageCode, format, std::span<const platform::FormatArg>(list));
  }
}

template <class... Args>
void VULLoggerLogError(std::string_view service, bool forced, std::string_view messageCode, std::string_view format,
                       const Args&... args) {
  VULLoggerLog(VULLoggerLevelError, service, forced, messageCode, format, args...);
}
template <class... Args>
void VULLoggerLogWarning(std::string_view service, bool forced, std::string_view messageCode, std::string_view format,
                         const Args&... args) {
  VULLoggerLog(VULLoggerLevelWarning, service, forced, messageCode, format, args...);
}
template <class... Args>
void VULLoggerLogNotice(std::string_view service, bool forced, std::string_view messageCode, std::string_view format,
                        const Args&... args) {
  VULLoggerLog(VULLoggerLevelNotice, service, forced, messageCode, format, args...);
}
template <class... Args>
void VULLoggerLogInfo(std::string_view service, bool forced, std::string_view messageCode, std::string_view format,
                      const Args&... args) {
  VULLoggerLog(VULLoggerLevelInfo, service, forced, messageCode, format, args...);
}
template <class... Args>
void VULLoggerLogDebug(std::string_view service, bool forced, std::string_view messageCode, std::string_view format,
                       const Args&... args) {
  VULLoggerLog(VULLoggerLevelDebug, service, forced, messageCode, format, args...);
}

// The entry for code that holds its arguments as a list rather than a parameter pack.
class VULLoggerWrapper {
 public:
  static void logWithLevel(VULLoggerLevel level, std::string_view service, std::string_view code,
                           std::string_view message, std::optional<std::span<const platform::FormatArg>> args) {
    VULLoggerLogBasic(level, service, false, code, message, args);
  }
};

// The logging queue, for tests that drain it (platform::testing::drain); initialises the logger.
std::shared_ptr<platform::DispatchQueue> VULLoggerQueue();
// Tests only: waits for queued lines, then forgets level, debug mode, version and standard error,
// so that the next call starts as in a fresh process.
void VULLoggerResetForTesting();
