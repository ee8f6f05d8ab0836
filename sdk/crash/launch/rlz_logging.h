// The crash reporter's launch-time log lines, through the SDK's shared logger.
#pragma once

#include <string_view>

#include "sdk/core/core/vdz_logger.h"

inline constexpr std::string_view kRLZLoggerService = "[Vuduzara/Ralitoze]";
inline constexpr std::string_view kRLZLoggerCode = "I-RLZ000000";

template <class... Args>
void RLZDebugLog(std::string_view format, const Args&... args) {
  VDZLoggerLog(VULLoggerLevelDebug, kRLZLoggerService, kRLZLoggerCode, format, args...);
}
template <class... Args>
void RLZInfoLog(std::string_view format, const Args&... args) {
  VDZLoggerLog(VULLoggerLevelInfo, kRLZLoggerService, kRLZLoggerCode, format, args...);
}
template <class... Args>
void RLZWarningLog(std::string_view format, const Args&... args) {
  VDZLoggerLog(VULLoggerLevelWarning, kRLZLoggerService, kRLZLoggerCode, format, args...);
}
template <class... Args>
void RLZErrorLog(std::string_view format, const Args&... args) {
  VDZLoggerLog(VULLoggerLevelError, kRLZLoggerService, kRLZLoggerCode, format, args...);
}
