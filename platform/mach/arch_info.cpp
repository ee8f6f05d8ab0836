#include "platform/mach/arch_info.h"

namespace platform::mach {
namespace {

struct Entry {
  int32_t type;
  int32_t subtype;
  const char* name;
};

constexpr Entry kTable[] = {
    {kCPUTypeX86, 3, "i386"},          {kCPUTypeX86_64, 3, "x86_64"},   {kCPUTypeX86_64, 8, "x86_64h"},
    {kCPUTypeARM, 0, "arm"},           {kCPUTypeARM, 5, "armv4t"},      {kCPUTypeARM, 6, "armv6"},
    {kCPUTypeARM, 7, "armv5"},         {kCPUTypeARM, 9, "armv7"},       {kCPUTypeARM, 10, "armv7f"},
    {kCPUTypeARM, 11, "armv7s"},       {kCPUTypeARM, 12, "armv7k"},     {kCPUTypeARM, 14, "armv6m"},
    {kCPUTypeARM, 15, "armv7m"},       {kCPUTypeARM, 16, "armv7em"},    {kCPUTypeARM64, 0, "arm64"},
    {kCPUTypeARM64, 1, "arm64v8"},     {kCPUTypeARM64, 2, "arm64e"},    {0x0200000C, 1, "arm64_32"},
};

}  // namespace

const char* archInfoName(int32_t cpuType, int32_t cpuSubtype) {
  const int32_t subtype = cpuSubtype & 0x00FFFFFF;
  for (const auto& entry : kTable) {
    if (entry.type == cpuType && entry.subtype == subtype) return entry.name;
  }
  return nullptr;
}

void localArchInfo(int32_t* cpuType, int32_t* cpuSubtype) {
#if defined(__x86_64__)
  *cpuType = kCPUTypeX86_64;
  *cpuSubtype = kCPUSubtypeX86_64All;
#elif defined(__aarch64__)
  *cpuType = kCPUTypeARM64;
  *cpuSubtype = 0;
#else
  *cpuType = 0;
  *cpuSubtype = 0;
#endif
}

}  // namespace platform::mach
