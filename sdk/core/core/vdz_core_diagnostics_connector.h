// Hands an app's facts to the core diagnostics when the diagnostics class is part of the process;
// does nothing otherwise.
#pragma once

#include <memory>
#include <string_view>

class VDZOptions;

inline constexpr std::string_view kVDZCoreDiagnosticsClassName = "VDZCoreDiagnostics";

class VDZCoreDiagnosticsConnector {
 public:
  static void logCoreTelemetryWithOptions(const std::shared_ptr<VDZOptions>& options);
  // Tests only: the diagnostics class is looked up again on next use.
  static void resetForTesting();
};
