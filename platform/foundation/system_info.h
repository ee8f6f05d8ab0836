// Facts about the machine and the process as the phone's system reports them: the kernel's
// machine name, the device's model and system version, the kernel boot time, the loaded images
// and the process arguments. Production reads the truth; tests replace the facts they need with
// setForTesting and put the truth back with restore (or hold a ScopedFacts).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

struct BootTime {
  std::int64_t seconds = 0;
  std::int32_t microseconds = 0;
  friend bool operator==(const BootTime&, const BootTime&) = default;
};

// One image mapped into the process, in load order (the main program first).
struct LoadedImage {
  std::string path;
  // Where the image's header is mapped. Real images on this machine carry ELF headers; tests may
  // point it at a header of their own making.
  const void* header = nullptr;
  std::intptr_t slide = 0;
};

struct SystemFacts {
  // The machine field of the kernel's system identification ("x86_64" on this machine);
  // nullopt when the kernel does not answer.
  std::optional<std::string> machine;
  std::string model;          // the device's model name: "iPhone", "iPad", ...
  std::string systemName;     // "iOS"
  std::string systemVersion;  // "16.0"
  // nullopt when the kernel does not answer.
  std::optional<BootTime> kernelBootTime;
  std::vector<LoadedImage> loadedImages;
  std::vector<std::string> arguments;  // the process's argv, the program path first
  // Whether the process runs as a phone app on a desktop; nullopt when the process-information
  // object cannot answer that question at all.
  std::optional<bool> iOSAppOnMac;
  // The user's preferred languages, most preferred first, as language tags ("en-US"); read from
  // the locale environment ("LANGUAGE", else "LC_ALL", else "LANG"), empty when none is set.
  std::vector<std::string> preferredLanguages;
};

namespace SystemInfo {

// The facts in force: the overrides of a test, or else the truth read now.
SystemFacts facts();

std::optional<std::string> machine();
std::string model();
std::string systemName();
std::string systemVersion();
std::optional<BootTime> kernelBootTime();
std::vector<LoadedImage> loadedImages();
std::vector<std::string> preferredLanguages();
// The images mapped now, whatever a test has set (the dynamic loader's own view).
std::vector<LoadedImage> mappedImages();

// Replaces every fact until restore(); start from facts() and change what the test needs.
void setForTesting(SystemFacts facts);
void restore();

// Sets facts for a scope and restores the truth afterwards.
class ScopedFacts {
 public:
  explicit ScopedFacts(SystemFacts facts) { setForTesting(std::move(facts)); }
  ~ScopedFacts() { restore(); }
  ScopedFacts(const ScopedFacts&) = delete;
  ScopedFacts& operator=(const ScopedFacts&) = delete;
};

}  // namespace SystemInfo

// The process-information object: the arguments and the desktop question.
namespace ProcessInfo {
std::vector<std::string> arguments();
std::optional<bool> isiOSAppOnMac();
}  // namespace ProcessInfo

}  // namespace platform
