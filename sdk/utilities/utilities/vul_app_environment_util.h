// Questions about the process's environment asked across the SDK stack: OS version, hardware
// model, simulator, application extension, platform, and whether the build was installed from the
// App Store (which only decides logging behaviour and what diagnostics report).
#pragma once

#include <optional>
#include <string>

class VULAppEnvironmentUtil {
 public:
  VULAppEnvironmentUtil() = delete;

  static bool isFromAppStore();
  static bool isAppStoreReceiptSandbox();
  // The model is "x86_64" or "i386".
  static bool isSimulator();
  // The kernel's machine name, taken once; nullopt when the kernel did not answer.
  static std::optional<std::string> deviceModel();
  static std::string systemVersion();
  // The running system's version is `major`.`minor` or later.
  static bool isSystemVersionAtLeast(int major, int minor);
  static bool isAppExtension();
  static bool isIOS7OrHigher() { return true; }
  static bool hasSwiftRuntime();
  // "ios_on_mac" or "ios".
  static std::string applePlatform();
  static std::string deploymentType() { return "swiftpm"; }

  // Tests only: forgets the model and the encryption flag, which are otherwise taken once.
  static void resetForTesting();
};
