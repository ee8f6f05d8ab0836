// The console sink of the analytics monitor: monitor lines go to the SDK's shared logger with the
// monitor's level translated and the numeric code printed as "I-ACS%06ld".
#pragma once

#include <cstdint>
#include <string>

#include "sdk/utilities/utilities/vul_logger.h"

class APMLogging {
 public:
  virtual ~APMLogging() = default;
  virtual void logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                          std::int64_t logLevel) = 0;
};

class APMASLLogger : public APMLogging {
 public:
  void logMessage(const std::string& message, const std::string& logTag, std::int64_t messageCode,
                  std::int64_t logLevel) override;
  static VULLoggerLevel VULLoggerLevelFromLogLevel(std::int64_t logLevel);
  // "I-ACS" and six digits.
  static std::string messageCodeText(std::int64_t messageCode);
};
