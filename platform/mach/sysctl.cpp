#include "platform/mach/sysctl.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/foundation/system_info.h"
#include "platform/foundation/thread_safety.h"

namespace platform::mach {
namespace {

// The stand-in's hardware board and system build, in the shape the phone gives them.
constexpr const char* kModel = "D63AP";
constexpr const char* kOSBuild = "20A362";

struct Overrides {
  Mutex mutex;
  std::map<std::string, std::optional<std::string>, std::less<>> values GUARDED_BY(mutex);
};

Overrides& overrides() {
  // Never destroyed: a worker may still read a kernel value while the process exits.
  static Overrides* const o = new Overrides;
  return *o;
}

}  // namespace

std::optional<std::string> sysctlString(std::string_view name) {
  {
    auto& o = overrides();
    MutexLock lock(o.mutex);
    if (auto it = o.values.find(name); it != o.values.end()) return it->second;
  }
  if (name == kSysctlHardwareMachine) return SystemInfo::machine();
  if (name == kSysctlHardwareModel) return std::string(kModel);
  if (name == kSysctlKernelOSVersion) return std::string(kOSBuild);
  return std::nullopt;
}

bool sysctlByName(std::string_view name, char* buffer, std::size_t size) {
  const auto value = sysctlString(name);
  if (!value || !buffer || value->size() + 1 > size) return false;
  std::memcpy(buffer, value->c_str(), value->size() + 1);
  return true;
}

bool sysctlInteger(std::string_view name, std::int64_t* value, int* error) {
  int ignored = 0;
  int& failure = error ? *error : ignored;
  {
    auto& o = overrides();
    MutexLock lock(o.mutex);
    if (auto it = o.values.find(name); it != o.values.end()) {
      char* end = nullptr;
      const long long parsed = it->second ? std::strtoll(it->second->c_str(), &end, 10) : 0;
      if (!it->second || end == it->second->c_str() || *end != 0) {
        failure = EINVAL;
        return false;
      }
      if (value) *value = parsed;
      return true;
    }
  }
  if (name == kSysctlHardwarePageSize) {
    if (value) *value = sysconf(_SC_PAGESIZE);
    return true;
  }
  failure = ENOENT;
  return false;
}

void setSysctlForTesting(std::string_view name, std::optional<std::string> value) {
  auto& o = overrides();
  MutexLock lock(o.mutex);
  o.values.insert_or_assign(std::string(name), std::move(value));
}

void resetSysctlForTesting() {
  auto& o = overrides();
  MutexLock lock(o.mutex);
  o.values.clear();
}

}  // namespace platform::mach
