// The kernel's named string facts as the phone reports them ("hw.machine", "hw.model",
// "kern.osversion"). The machine comes from the device profile (SystemInfo); the others are the
// stand-in's own. Tests replace any of them; an absent value is a failed query.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::mach {

inline constexpr std::string_view kSysctlHardwareMachine = "hw.machine";
inline constexpr std::string_view kSysctlHardwareModel = "hw.model";
inline constexpr std::string_view kSysctlKernelOSVersion = "kern.osversion";
inline constexpr std::string_view kSysctlHardwarePageSize = "hw.pagesize";
inline constexpr std::string_view kSysctlProcTranslated = "sysctl.proc_translated";

// Copies the value into `buffer` (terminated); false when unknown or when it does not fit.
bool sysctlByName(std::string_view name, char* buffer, std::size_t size);
std::optional<std::string> sysctlString(std::string_view name);

// Integer facts ("hw.pagesize" is the machine's page size; nothing here runs translated, so
// "sysctl.proc_translated" is unknown). False with `*error` ENOENT for an unknown name, EINVAL
// for a failed query.
bool sysctlInteger(std::string_view name, std::int64_t* value, int* error);
// Tests: a value for one name (nullopt makes the query fail) until resetSysctlForTesting.
void setSysctlForTesting(std::string_view name, std::optional<std::string> value);
void resetSysctlForTesting();

}  // namespace platform::mach
