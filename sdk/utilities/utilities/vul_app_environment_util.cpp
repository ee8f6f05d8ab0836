#include "sdk/utilities/utilities/vul_app_environment_util.h"

#include <cstdint>
#include <cstring>
#include <filesystem>

#include "platform/foundation/bundle.h"
#include "platform/foundation/system_info.h"
#include "platform/runtime/class.h"
#include "platform/foundation/thread_safety.h"

namespace {

constexpr std::uint32_t kHeaderMagic64 = 0xFEEDFACF;
constexpr std::uint32_t kHeaderMagic32 = 0xFEEDFACE;
constexpr std::uint32_t kFileTypeExecute = 2;
constexpr std::uint32_t kCommandEncryptionInfo = 0x21;
constexpr std::uint32_t kCommandEncryptionInfo64 = 0x2C;

std::uint32_t readWord(const unsigned char* at) {
  std::uint32_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Whether the main executable carries an encryption command with a non-zero identifier.
bool executableIsEncrypted() {
  for (const auto& image : platform::SystemInfo::loadedImages()) {
    if (!image.header) continue;
    const auto* header = static_cast<const unsigned char*>(image.header);
    const std::uint32_t magic = readWord(header);
    // Images of another format (the ELF images of this machine) have no load commands to read.
    if (magic != kHeaderMagic64 && magic != kHeaderMagic32) continue;
    if (readWord(header + 12) != kFileTypeExecute) continue;

    const std::uint32_t count = readWord(header + 16);
    const std::uint32_t commandsSize = readWord(header + 20);
    const bool is64 = magic == kHeaderMagic64;
    const std::uint32_t sought = is64 ? kCommandEncryptionInfo64 : kCommandEncryptionInfo;
    const unsigned char* command = header + (is64 ? 32 : 28);
    const unsigned char* end = command + commandsSize;
    for (std::uint32_t i = 0; i < count; ++i) {
      // A command must lie within the declared commands; a size of 0 would loop for ever.
      if (end - command < 8) return false;
      const std::uint32_t type = readWord(command);
      const std::uint32_t size = readWord(command + 4);
      if (size < 8 || size > static_cast<std::uint32_t>(end - command)) return false;
      if (type == sought) return size >= 20 && readWord(command + 16) != 0;
      command += size;
    }
    return false;
  }
  return false;
}

struct Caches {
  platform::Mutex mutex;
  std::optional<std::optional<std::string>> model GUARDED_BY(mutex);
  std::optional<bool> encrypted GUARDED_BY(mutex);
};

Caches& caches() {
  // Never destroyed: the logger asks for them from any thread, which may still log while the process exits.
  static Caches* const c = new Caches;
  return *c;
}

// Where the store put the app's receipt: the bundle's StoreKit folder, the sandbox receipt when
// present. None when the folder holds no receipt.
std::optional<std::filesystem::path> appStoreReceiptLocation(const platform::Bundle& bundle) {
  std::error_code ec;
  const auto folder = bundle.bundlePath() / "StoreKit";
  for (const char* name : {"sandboxReceipt", "receipt"}) {
    if (std::filesystem::exists(folder / name, ec)) return folder / name;
  }
  return std::nullopt;
}

bool versionAtLeast(const std::string& version, int major, int minor) {
  int parts[2] = {0, 0};
  std::size_t start = 0;
  for (int i = 0; i < 2 && start <= version.size(); ++i) {
    const std::size_t dot = version.find('.', start);
    parts[i] = static_cast<int>(platform::Value(version.substr(start, dot - start)).integerValue());
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return parts[0] > major || (parts[0] == major && parts[1] >= minor);
}

}  // namespace

std::optional<std::string> VULAppEnvironmentUtil::deviceModel() {
  auto& c = caches();
  platform::MutexLock lock(c.mutex);
  if (!c.model) c.model = platform::SystemInfo::machine();
  return *c.model;
}

bool VULAppEnvironmentUtil::isSimulator() {
  const auto model = deviceModel();
  return model && (*model == "x86_64" || *model == "i386");
}

std::string VULAppEnvironmentUtil::systemVersion() { return platform::SystemInfo::systemVersion(); }

bool VULAppEnvironmentUtil::isSystemVersionAtLeast(int major, int minor) {
  return versionAtLeast(systemVersion(), major, minor);
}

bool VULAppEnvironmentUtil::isAppStoreReceiptSandbox() {
  const auto bundle = platform::Bundle::main();
  if (!bundle) return false;
  const platform::Value check = bundle->objectForInfoDictionaryKey("VuduzaraAppStoreReceiptURLCheckEnabled");
  if (check.isNumber() && !check.boolValue()) return false;
  const auto receipt = appStoreReceiptLocation(*bundle);
  return receipt && receipt->filename() == "sandboxReceipt";
}

bool VULAppEnvironmentUtil::isFromAppStore() {
  bool encrypted;
  {
    auto& c = caches();
    platform::MutexLock lock(c.mutex);
    if (!c.encrypted) c.encrypted = executableIsEncrypted();
    encrypted = *c.encrypted;
  }
  if (isSimulator()) return false;
  if (isAppStoreReceiptSandbox()) return false;
  const auto bundle = platform::Bundle::main();
  if (!bundle) return false;
  std::error_code ec;
  if (std::filesystem::exists(bundle->bundlePath() / "SC_Info", ec)) return true;
  if (!encrypted) return false;
  const auto profile = bundle->pathForResource("embedded", "mobileprovision");
  return !profile || profile->empty();
}

bool VULAppEnvironmentUtil::isAppExtension() {
  const auto bundle = platform::Bundle::main();
  if (!bundle) return false;
  const std::string path = bundle->bundlePath().string();
  return path.ends_with(".appex");
}

bool VULAppEnvironmentUtil::hasSwiftRuntime() {
  return platform::runtime::classNamed("Swift._SwiftObject") || platform::runtime::classNamed("_TtCs12_SwiftObject");
}

std::string VULAppEnvironmentUtil::applePlatform() {
  if (versionAtLeast(systemVersion(), 14, 0)) {
    const auto onMac = platform::ProcessInfo::isiOSAppOnMac();
    if (onMac && *onMac) return "ios_on_mac";
  }
  return "ios";
}

void VULAppEnvironmentUtil::resetForTesting() {
  auto& c = caches();
  platform::MutexLock lock(c.mutex);
  c.model.reset();
  c.encrypted.reset();
}
