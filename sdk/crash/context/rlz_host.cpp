#include "sdk/crash/context/rlz_host.h"

#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/foundation/home.h"
#include "platform/mach/sysctl.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/records/rlz_context_state.h"
#include "sdk/crash/records/rlz_crash_safe.h"
#include "sdk/crash/records/rlz_file.h"
#include "sdk/crash/records/rlz_sdk_log.h"

namespace {

constexpr size_t kSmallestPage = 4096;
constexpr size_t kLargestPage = 16384;

}  // namespace

void RLZHostInitialize(RLZHostReadOnlyContext* host) {
  host->pageSize = RLZHostGetPageSize();
  const std::string documents = platform::Home::documents().string();
  host->documentDirectoryPath = documents.empty() ? nullptr : RLZDupString(documents.c_str());
}

bool RLZHostIsRosettaTranslated() {
  int64_t translated = 0;
  int error = 0;
  if (!platform::mach::sysctlInteger(platform::mach::kSysctlProcTranslated, &translated, &error)) {
    if (error != ENOENT) {
      RLZSDKLogWarn("sysctlbyname failed while trying to get sysctl.proc_translated for Rosetta 2 translation\n");
    }
    return false;
  }
  return translated == 1;
}

size_t RLZHostGetPageSize() {
  if (RLZHostIsRosettaTranslated()) RLZSDKLogWarn("Running under Rosetta 2 emulation. Using the arm64 page size.\n");
  int64_t pageSize = 0;
  if (!platform::mach::sysctlInteger(platform::mach::kSysctlHardwarePageSize, &pageSize, nullptr)) {
    RLZSDKLogWarn("sysctlbyname failed while trying to get hw.pagesize\n");
    return kLargestPage;
  }
  if (pageSize > static_cast<int64_t>(kLargestPage)) return kLargestPage;
  if (pageSize <= static_cast<int64_t>(kSmallestPage)) return kSmallestPage;
  return static_cast<size_t>(pageSize);
}

bool RLZHostRecord(RLZFile* file) {
  const auto model = RLZHostModelInfo();
  const auto machine = RLZHostSysctlString("hw.model");
  const auto build = RLZHostOSBuildVersion();
  const std::string display = RLZHostOSDisplayVersion();
  const std::string platformName = RLZApplicationGetVuduzaraPlatform();
  const std::string locale = RLZHostLocaleIdentifier();
  RLZFileWriteSectionStart(file, "host");
  RLZFileWriteHashStart(file);
  RLZFileWriteHashEntryString(file, "model", model ? model->c_str() : nullptr);
  RLZFileWriteHashEntryString(file, "machine", machine ? machine->c_str() : "(failed)");
  RLZFileWriteHashEntryString(file, "os_build_version", build ? build->c_str() : nullptr);
  RLZFileWriteHashEntryString(file, "os_display_version", display.c_str());
  RLZFileWriteHashEntryString(file, "platform", "ios");
  RLZFileWriteHashEntryString(file, "vuduzara_platform", platformName.c_str());
  RLZFileWriteHashEntryString(file, "locale", locale.c_str());
  RLZFileWriteHashEnd(file);
  RLZFileWriteSectionEnd(file);
  return true;
}
