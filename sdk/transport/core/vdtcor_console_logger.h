// The transport's own console logging and its checks of caller errors. The transport does not go
// through the SDK's shared logger: its lines carry "I-VDTCOR" codes behind "[VidezuDataTransport]".
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/format.h"

// Levels of the lines; only those at the logging level or above print.
inline constexpr std::int64_t kVDTCORLogLevelDebug = 1;
inline constexpr std::int64_t kVDTCORLogLevelWarning = 3;
inline constexpr std::int64_t kVDTCORLogLevelError = 4;

// Message codes, printed as "I-VDTCOR%06ld".
inline constexpr std::int64_t kVDTCORMessageCodeDebug = 0;
inline constexpr std::int64_t kVDTCORMessageCodeReachability = 4;
inline constexpr std::int64_t kVDTCORMessageCodeTransformer = 1000;
inline constexpr std::int64_t kVDTCORMessageCodeEncoding = 1005;  // encoding, decoding and file errors
inline constexpr std::int64_t kVDTCORMessageCodeAssertion = 1006;
inline constexpr std::int64_t kVDTCORMessageCodeFatalAssertion = 1007;

inline constexpr std::string_view kVDTCORConsoleServiceTag = "[VidezuDataTransport]";

// Lines below this level are not printed. Nothing in the system changes it.
std::atomic<std::int64_t>& VDTCORConsoleLoggerLoggingLevel();

// "I-VDTCOR001000" for code 1000.
std::string VDTCORMessageCodeText(std::int64_t code);

void VDTCORLogLine(std::int64_t code, std::string_view message);

template <class... Args>
void VDTCORLog(std::int64_t code, std::int64_t level, std::string_view format, const Args&... args) {
  // Checked before formatting: debug lines are frequent and never printed.
  if (VDTCORConsoleLoggerLoggingLevel().load(std::memory_order_relaxed) > level) return;
  VDTCORLogLine(code, platform::format(format, args...));
}

template <class... Args>
void VDTCORLogDebug(std::string_view format, const Args&... args) {
  VDTCORLog(kVDTCORMessageCodeDebug, kVDTCORLogLevelDebug, format, args...);
}
template <class... Args>
void VDTCORLogWarning(std::int64_t code, std::string_view format, const Args&... args) {
  VDTCORLog(code, kVDTCORLogLevelWarning, format, args...);
}
template <class... Args>
void VDTCORLogError(std::int64_t code, std::string_view format, const Args&... args) {
  VDTCORLog(code, kVDTCORLogLevelError, format, args...);
}

// Prints whatever the level: "[VidezuDataTransport][I-VDTCOR001006] (file:line) : message".
void VDTCORLogAssertLine(bool fatal, std::string_view file, std::int64_t line, std::string_view message);

template <class... Args>
void VDTCORLogAssert(bool fatal, std::string_view file, std::int64_t line, std::string_view format,
                     const Args&... args) {
  VDTCORLogAssertLine(fatal, file, line, platform::format(format, args...));
}

// The assertion block of a class named "VDTCORAssertHelper" registered with the runtime, when
// there is one and it hands a block out; tests use it to observe failed checks.
bool VDTCORRunAssertionBlock();

// Failed checks. Both run the assertion block instead of logging when there is one. Otherwise the
// soft one logs and lets the caller go on to its own failure handling; the fatal one logs and
// raises NSInternalInconsistencyException.
void VDTCORAssertionFailed(std::string_view file, std::int64_t line, std::string_view message);
void VDTCORFatalAssertionFailed(std::string_view file, std::int64_t line, std::string_view message);

#define VDTCORAssert(condition, ...)                                                        \
  do {                                                                                      \
    if (!(condition)) VDTCORAssertionFailed(__FILE__, __LINE__, platform::format(__VA_ARGS__)); \
  } while (0)

#define VDTCORFatalAssert(condition, ...)                                                        \
  do {                                                                                           \
    if (!(condition)) VDTCORFatalAssertionFailed(__FILE__, __LINE__, platform::format(__VA_ARGS__)); \
  } while (0)
