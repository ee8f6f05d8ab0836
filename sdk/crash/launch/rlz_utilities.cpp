#include "sdk/crash/launch/rlz_utilities.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dyld/dyld.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/data_encoding.h"
#include "platform/foundation/system_info.h"
#include "platform/foundation/uuid.h"
#include "platform/mach/sysctl.h"
#include "platform/runloop/clock.h"
#include "platform/security/digest.h"
#include "platform/ui/device.h"
#include "sdk/core/core/vdz_logger.h"
#include "sdk/crash/records/rlz_sdk_log.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"

namespace {

std::span<const std::uint8_t> byteSpan(const void* bytes, std::size_t length) {
  return {static_cast<const std::uint8_t*>(bytes), length};
}

std::string infoString(std::string_view key) {
  const auto value = platform::Bundle::main()->objectForInfoDictionaryKey(key);
  return value.isString() ? *value.ifString() : std::string();
}

}  // namespace

std::string RLZHashBytes(const void* bytes, std::size_t length) {
  return platform::DataEncoding::hexEncode(platform::Digest::sha1(byteSpan(bytes, length)));
}
std::string RLZHashNSData(const platform::Data& data) { return RLZHashBytes(data.data(), data.size()); }
std::string RLZ256HashBytes(const void* bytes, std::size_t length) {
  return platform::DataEncoding::hexEncode(platform::Digest::sha256(byteSpan(bytes, length)));
}
std::string RLZ256HashNSData(const platform::Data& data) { return RLZ256HashBytes(data.data(), data.size()); }

std::string RLZNSDataToNSString(const platform::Data& data) { return platform::DataEncoding::hexEncode(data); }

void RLZEnumerateByteRangesOfNSDataUsingBlock(
    const platform::Data& data, const std::function<void(const std::uint8_t*, std::size_t, bool* stop)>& block) {
  bool stop = false;
  block(data.data(), data.size(), &stop);
}

std::string RLZGenerateUUID() { return platform::UUID().UUIDString(); }

std::string RLZUUIDBytesToString(const std::array<std::uint8_t, 16>& bytes) {
  return platform::DataEncoding::hexEncode(bytes);
}

void RLZDladdr(const void* address, const std::function<void(const char* symbol, const char* image)>& block) {
  const auto info = platform::dyld::addressInfo(address);
  if (!info) {
    block(nullptr, nullptr);
    return;
  }
  const std::string symbol = info->symbolName.empty() ? "unknown" : info->symbolName;
  const std::string image = info->imagePath.empty() ? "unknown" : info->imagePath;
  block(symbol.c_str(), image.c_str());
}

void RLZDispatchAfter(double seconds, const std::shared_ptr<platform::DispatchQueue>& queue,
                      std::function<void()> block) {
  queue->after(seconds, std::move(block));
}

double RLZProfilingMark() { return platform::Clock::current().uptime(); }

double RLZProfilingMarkElapsedMilliseconds(double mark) { return (platform::Clock::current().uptime() - mark) * 1000; }

std::string RLZSDKVersion() { return VDZVuduzaraVersion(); }

std::string RLZGeneratorName() { return "Ralitoze iOS SDK/" + RLZSDKVersion(); }

RLZOSVersion RLZHostOSVersion() {
  RLZOSVersion version;
  long* parts[] = {&version.major, &version.minor, &version.patch};
  const std::string text = platform::SystemInfo::systemVersion();
  std::size_t start = 0;
  for (long* part : parts) {
    if (start > text.size()) break;
    std::size_t end = text.find('.', start);
    if (end == std::string::npos) end = text.size();
    *part = std::strtol(text.substr(start, end - start).c_str(), nullptr, 10);
    start = end + 1;
  }
  return version;
}

std::string RLZHostOSDisplayVersion() {
  const auto v = RLZHostOSVersion();
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

std::optional<std::string> RLZHostSysctlString(const char* name) {
  char buffer[128];
  if (!platform::mach::sysctlByName(name, buffer, sizeof buffer)) return std::nullopt;
  return std::string(buffer);
}

std::optional<std::string> RLZHostOSBuildVersion() { return RLZHostSysctlString("kern.osversion"); }
std::optional<std::string> RLZHostModelInfo() { return RLZHostSysctlString("hw.machine"); }

std::string RLZHostLocaleIdentifier() {
  const char* lang = std::getenv("LANG");
  std::string id = lang && *lang ? lang : "en_US";
  id = id.substr(0, id.find_first_of(".@"));
  return id == "C" || id == "POSIX" || id.empty() ? "en_US" : id;
}

std::string RLZApplicationGetBundleIdentifier() {
  std::string id = platform::Bundle::main()->bundleIdentifier();
  std::replace(id.begin(), id.end(), '/', '_');
  return id;
}

std::string RLZApplicationGetSDKBundleID() { return "com.videzu.vuduzara.ralitoze.ios"; }

std::string RLZApplicationGetPlatform() { return "ios"; }

std::string RLZApplicationGetVuduzaraPlatform() {
  const std::string platformName = VULAppEnvironmentUtil::applePlatform();
  if (platformName != "ios") return platformName;
  auto& device = platform::Device::current();
  std::string model = device.model();
  std::transform(model.begin(), model.end(), model.begin(), [](unsigned char c) { return std::tolower(c); });
  if (model.find("ipad") != std::string::npos || device.userInterfaceIdiom() == platform::UserInterfaceIdiom::Pad) {
    return "ipados";
  }
  return platformName;
}

std::string RLZApplicationGetBundleVersion() { return infoString("CFBundleVersion"); }
std::string RLZApplicationGetShortBundleVersion() { return infoString("CFBundleShortVersionString"); }

std::string RLZApplicationGetName() {
  for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
    std::string name = infoString(key);
    if (!name.empty()) return name;
  }
  return RLZApplicationGetBundleVersion();
}

bool RLZApplicationHasAppStoreReceipt() {
  std::error_code ec;
  return std::filesystem::exists(platform::Bundle::main()->bundlePath() / "StoreKit" / "receipt", ec);
}

int RLZApplicationInstallationSource() { return RLZApplicationHasAppStoreReceipt() ? 4 : 1; }

std::optional<std::string> RLZApplicationExtensionPointIdentifier() {
  const auto extension = platform::Bundle::main()->objectForInfoDictionaryKey("NSExtension");
  if (extension.isNull()) return std::nullopt;
  if (!extension.isDictionary()) {
    RLZSDKLogWarn("Error: NSExtension Info.plist entry is mal-formed\n");
    return std::nullopt;
  }
  const auto& identifier = extension["NSExtensionPointIdentifier"];
  if (identifier.isNull()) return std::nullopt;
  if (!identifier.isString()) {
    RLZSDKLogWarn("Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n");
    return std::nullopt;
  }
  return *identifier.ifString();
}

bool RLZApplicationIsExtension() { return RLZApplicationExtensionPointIdentifier().has_value(); }

platform::Value RLZApplicationBeginActivity(std::uint64_t options, const std::string& reason) {
  return platform::Value::dictionary({{"options", platform::Value(options)}, {"reason", platform::Value(reason)}});
}

void RLZApplicationEndActivity(const platform::Value&) {}

void RLZApplicationActivity(std::uint64_t options, const std::string& reason, const std::function<void()>& block) {
  const auto token = RLZApplicationBeginActivity(options, reason);
  block();
  RLZApplicationEndActivity(token);
}
