// The kernel's named string facts as the phone reports them ("hw.machine", "hw.model",
// "kern.osversion"). The machine comes from the device profile (SystemInfo); the others are the
// stand-in's own. Tests replace any of them; an absent value is a failed query.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::mach {

inline constexpr std::string_view kSysctlHardwareMachine = "hw.machine";
inline constexpr std::string_view kSysctlHardwareModel = "hw.model";
inline constexpr std::string_view kSysctlKernelOSVersion = "kern.osversion";

// Copies the value into `buffer` (terminated); false when unknown or when it does not fit.
bool sysctlByName(std::string_view name, char* buffer, std::size_t size);
std::optional<std::string> sysctlString(std::string_view name);

// Tests: a value for one name (nullopt makes the query fail) until resetSysctlForTesting.
void setSysctlForTesting(std::string_view name, std::optional<std::string> value);
void resetSysctlForTesting();

}  // namespace platform::mach
