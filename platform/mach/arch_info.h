// The platform's names of CPU type and subtype pairs ("arm64e", "x86_64", ...).
#pragma once

#include <cstdint>

namespace platform::mach {

inline constexpr int32_t kCPUArchABI64 = 0x01000000;
inline constexpr int32_t kCPUTypeX86 = 7;
inline constexpr int32_t kCPUTypeX86_64 = kCPUTypeX86 | kCPUArchABI64;
inline constexpr int32_t kCPUTypeARM = 12;
inline constexpr int32_t kCPUTypeARM64 = kCPUTypeARM | kCPUArchABI64;
inline constexpr int32_t kCPUSubtypeX86_64All = 3;

// A static name, or null for a pair the table does not know. Capability bits of the subtype
// (the top byte) are ignored.
const char* archInfoName(int32_t cpuType, int32_t cpuSubtype);
// This machine's own pair.
void localArchInfo(int32_t* cpuType, int32_t* cpuSubtype);

}  // namespace platform::mach
