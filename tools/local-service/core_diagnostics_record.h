// The app core's diagnostics record as the transport backend receives it: the payload of every
// event of log source 137, read with the SDK's own schema.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace local_service {

// The log source whose events carry a diagnostics record.
inline constexpr std::int64_t kDiagnosticsLogSource = 137;

// Every field is optional on the wire; text is UTF-8 as the client sent it.
struct DiagnosticsRecord {
  std::optional<std::int32_t> configurationType;     // 1
  std::vector<std::int32_t> installedServices;       // 7
  std::optional<std::string> deviceModel;            // 9
  std::optional<std::string> appID;                  // 10
  std::optional<std::string> bundleID;               // 12
  std::optional<std::int32_t> clientType;            // 16
  std::optional<std::string> libraryVersionID;       // 18
  std::optional<std::string> sdkVersion;             // 19
  std::optional<std::int32_t> sdkName;               // 20; 1 marks the daily heartbeat
  std::optional<std::int32_t> appCount;              // 21
  std::optional<std::string> osVersion;              // 22
  std::optional<std::string> minimumOSVersion;       // 24
  std::optional<bool> usingOptionsFromDefaultPlist;  // 25
  std::optional<bool> deployedInAppStore;            // 26
  std::optional<std::int32_t> reservedCount;         // 27
  std::optional<std::string> buildVersions;          // 28
  std::optional<bool> usingZipFile;                  // 29
  std::optional<std::int32_t> deploymentType;        // 30
  std::optional<std::string> userAgent;              // 31
  std::optional<bool> appDelegateProxyEnabled;       // 33
  std::optional<bool> usesEventTransport;            // 36
};

// None with `error` set when the bytes are not a diagnostics record.
std::optional<DiagnosticsRecord> decodeDiagnosticsRecord(std::string_view payload, std::string& error);
// One line for people: the fields present, by name, in tag order.
std::string describeDiagnosticsRecord(const DiagnosticsRecord& record);

}  // namespace local_service
