// Environment predicates of the analytics engine (store build, sandbox receipt, simulator, app
// extension) and the switch that turns off an older measurement library of the same vendor.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace platform {
class Application;
}

class APMAEU {
 public:
  APMAEU() = delete;
  // The main bundle's store receipt.
  static std::optional<std::filesystem::path> appStoreRURL();
  static bool isASRS();
  // On the simulator.
  static bool isNOD();
  static std::string deviceModel();
  static std::string systemVersion();
  static bool isAEX();
  // Absent inside an application extension.
  static std::shared_ptr<platform::Application> sharedApplication();
  // A store installation; decided once and stable for the life of the process.
  static bool isFAS();
  // Tests only: decide again on next use.
  static void resetForTesting();
};

class APMBackwardCompatibilityUtil {
 public:
  APMBackwardCompatibilityUtil() = delete;
  // Tells the older library's shared instance, when the process has one, to stop.
  static bool disableGMRMeasurement();
};
