#include "sdk/analytics/common/apm_asl_logger.h"

#include "platform/foundation/format.h"

VULLoggerLevel APMASLLogger::VULLoggerLevelFromLogLevel(std::int64_t logLevel) {
  switch (logLevel) {
    case 0:
    case 1:
    case 2:
      return VULLoggerLevelError;
    case 6:
      return VULLoggerLevelNotice;
    case 7:
    case 8:
      return VULLoggerLevelDebug;
    default:
      return VULLoggerLevelWarning;
  }
}

std::string APMASLLogger::messageCodeText(std::int64_t messageCode) {
  return platform::format("I-ACS%06ld", static_cast<long>(messageCode));
}

void APMASLLogger::logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                              std::int64_t logLevel) {
  // The line is printed without format arguments, so its percent signs are doubled for readers
  // that format it again.
  std::string escaped;
  escaped.reserve(message.size());
  for (char c : message) {
    escaped += c;
    if (c == '%') escaped += '%';
  }
  VULLoggerLogBasic(VULLoggerLevelFromLogLevel(logLevel), logTag, logLevel == 7, messageCodeText(messageCode), escaped,
                    std::nullopt);
}
