// A bundle and machine facts of a test's choosing, for the environment queries and the logger.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/foundation/home.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/system_info.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"

namespace utilities_testing {

// What the store leaves behind and how the device answers.
struct Installation {
  std::optional<std::string> machine = "arm64";
  std::string systemVersion = "16.0";
  bool scInfo = false;
  const char* receipt = nullptr;  // "receipt", "sandboxReceipt" or none
  platform::Value receiptCheck;   // Info.plist "VuduzaraAppStoreReceiptURLCheckEnabled"
  bool encrypted = false;
  bool provisioningProfile = false;
  std::optional<bool> onMac = false;
  std::string bundleName = "Focus.app";
};

// A header of the image format the environment queries read: a 64-bit executable whose load
// commands are a segment and, when asked, an encryption command with the given identifier.
inline std::vector<std::uint32_t> executableHeader(std::optional<std::uint32_t> cryptId) {
  std::vector<std::uint32_t> commands = {0x19, 16, 0, 0};
  if (cryptId) commands.insert(commands.end(), {0x2C, 24, 0x4000, 0x1000, *cryptId, 0});
  const auto count = static_cast<std::uint32_t>(cryptId ? 2 : 1);
  std::vector<std::uint32_t> header = {0xFEEDFACF, 0x0100000C, 0, 2, count,
                                       static_cast<std::uint32_t>(commands.size() * 4), 0, 0};
  header.insert(header.end(), commands.begin(), commands.end());
  return header;
}

class EnvironmentScope {
 public:
  explicit EnvironmentScope(const Installation& i) : header_(executableHeader(i.encrypted ? 1u : 0u)) {
    const auto bundle = platform::Home::path() / i.bundleName;
    std::filesystem::remove_all(bundle);
    std::filesystem::create_directories(bundle);
    if (!i.receiptCheck.isNull()) {
      platform::Value::Dictionary info{{"VuduzaraAppStoreReceiptURLCheckEnabled", i.receiptCheck}};
      auto bytes = platform::PropertyList::write(platform::Value(info), platform::PropertyList::Format::XML);
      std::ofstream(bundle / "Info.plist", std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
    }
    if (i.scInfo) std::filesystem::create_directories(bundle / "SC_Info");
    if (i.receipt) {
      std::filesystem::create_directories(bundle / "StoreKit");
      std::ofstream(bundle / "StoreKit" / i.receipt) << "receipt";
    }
    if (i.provisioningProfile) std::ofstream(bundle / "embedded.mobileprovision") << "profile";
    platform::Bundle::setMainPath(bundle);

    auto facts = platform::SystemInfo::facts();
    facts.machine = i.machine;
    facts.systemVersion = i.systemVersion;
    facts.iOSAppOnMac = i.onMac;
    facts.loadedImages = {{"/usr/lib/libsystem.dylib", nullptr, 0}, {"/Focus.app/Focus", header_.data(), 0}};
    platform::SystemInfo::setForTesting(std::move(facts));
    VULAppEnvironmentUtil::resetForTesting();
  }
  ~EnvironmentScope() {
    platform::SystemInfo::restore();
    platform::Bundle::setMainPath({});
    VULAppEnvironmentUtil::resetForTesting();
  }
  EnvironmentScope(const EnvironmentScope&) = delete;
  EnvironmentScope& operator=(const EnvironmentScope&) = delete;

 private:
  std::vector<std::uint32_t> header_;
};

}  // namespace utilities_testing
