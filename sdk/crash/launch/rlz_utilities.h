// Launch-time helpers of the crash reporter: digests, identifiers, loader look-ups, delayed work
// and the facts about the host, the SDK and the application that go into metadata and the
// settings cache.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/foundation/value.h"

namespace platform {
class DispatchQueue;
}

// Lower-case hex digests.
std::string RLZHashBytes(const void* bytes, std::size_t length);
std::string RLZHashNSData(const platform::Data& data);
std::string RLZ256HashBytes(const void* bytes, std::size_t length);
std::string RLZ256HashNSData(const platform::Data& data);
std::string RLZNSDataToNSString(const platform::Data& data);
// The whole data as one range (it is always contiguous here).
void RLZEnumerateByteRangesOfNSDataUsingBlock(
    const platform::Data& data, const std::function<void(const std::uint8_t*, std::size_t, bool* stop)>& block);

// Upper-case with dashes, as the platform prints it.
std::string RLZGenerateUUID();
// The 16 bytes as 32 lower-case hex digits.
std::string RLZUUIDBytesToString(const std::array<std::uint8_t, 16>& bytes);

// Symbol and image of an address ("unknown" for what the loader cannot name); both null when no
// image holds the address.
void RLZDladdr(const void* address, const std::function<void(const char* symbol, const char* image)>& block);
void RLZDispatchAfter(double seconds, const std::shared_ptr<platform::DispatchQueue>& queue,
                      std::function<void()> block);
double RLZProfilingMark();
double RLZProfilingMarkElapsedMilliseconds(double mark);

std::string RLZSDKVersion();
std::string RLZGeneratorName();

struct RLZOSVersion {
  long major = 0;
  long minor = 0;
  long patch = 0;
};
RLZOSVersion RLZHostOSVersion();
std::string RLZHostOSDisplayVersion();
std::optional<std::string> RLZHostSysctlString(const char* name);
std::optional<std::string> RLZHostOSBuildVersion();
std::optional<std::string> RLZHostModelInfo();
std::string RLZHostLocaleIdentifier();

std::string RLZApplicationGetBundleIdentifier();
std::string RLZApplicationGetSDKBundleID();
std::string RLZApplicationGetPlatform();
std::string RLZApplicationGetVuduzaraPlatform();
std::string RLZApplicationGetBundleVersion();
std::string RLZApplicationGetShortBundleVersion();
std::string RLZApplicationGetName();
bool RLZApplicationHasAppStoreReceipt();
int RLZApplicationInstallationSource();
std::optional<std::string> RLZApplicationExtensionPointIdentifier();
bool RLZApplicationIsExtension();

// Process activities have no counterpart here: the token only records what was asked.
platform::Value RLZApplicationBeginActivity(std::uint64_t options, const std::string& reason);
void RLZApplicationEndActivity(const platform::Value& token);
void RLZApplicationActivity(std::uint64_t options, const std::string& reason, const std::function<void()>& block);
