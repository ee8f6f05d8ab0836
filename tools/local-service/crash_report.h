// The crash reporter's report message as the crash backend receives it inside a transport event:
// the app's identity and every record file of the report directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace local_service {

struct CrashReport {
  std::string sdkVersion;      // 1
  std::string videzuAppID;     // 3
  std::uint64_t platform = 0;  // 4
  std::string installationID;  // 5
  std::string buildVersion;    // 6
  std::string displayVersion;  // 7
  std::vector<std::pair<std::string, std::string>> files;  // 10: name, contents

  const std::string* file(std::string_view name) const;
};

// None with `error` set when the bytes are not a report message.
std::optional<CrashReport> decodeCrashReport(std::string_view message, std::string& error);
std::string describeCrashReport(const CrashReport& report);

}  // namespace local_service
