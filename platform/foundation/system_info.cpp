#include "platform/foundation/system_info.h"

#include <link.h>
#include <sys/utsname.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "platform/foundation/thread_safety.h"
#include "platform/runloop/clock.h"

namespace platform {
namespace {

// What the phone stand-in reports about itself; the kernel facts below are real.
constexpr const char* kModel = "iPhone";
constexpr const char* kSystemName = "iOS";
constexpr const char* kSystemVersion = "16.0";

Mutex& overrideMutex() {
  static Mutex m;
  return m;
}
std::optional<SystemFacts>& overrideFacts() REQUIRES(overrideMutex()) {
  // Never destroyed: a worker may still ask for the device's facts while the process exits.
  static std::optional<SystemFacts>* const facts = new std::optional<SystemFacts>;
  return *facts;
}

std::optional<SystemFacts> currentOverride() {
  MutexLock lock(overrideMutex());
  return overrideFacts();
}

// One overridden fact, copied under the lock without copying the rest.
template <class Field>
auto overridden(Field SystemFacts::*field) -> std::optional<Field> {
  MutexLock lock(overrideMutex());
  if (!overrideFacts()) return std::nullopt;
  return (*overrideFacts()).*field;
}

std::optional<std::string> trueMachine() {
  utsname name{};
  if (uname(&name) != 0) return std::nullopt;
  return std::string(name.machine);
}

std::optional<BootTime> trueKernelBootTime() {
  // Under a manual clock the boot lies `uptime` before the virtual wall date, so boot time and
  // virtual time stay coherent; microsecond rounding keeps repeated reads equal.
  const Clock& clock = Clock::current();
  if (clock.isManual()) {
    const double boot = clock.now().timeIntervalSince1970() - clock.uptime();
    const auto micros = static_cast<std::int64_t>(std::llround(boot * 1e6));
    return BootTime{micros / 1'000'000, static_cast<std::int32_t>(micros % 1'000'000)};
  }
  std::ifstream stat("/proc/stat");
  std::string key;
  while (stat >> key) {
    if (key == "btime") {
      std::int64_t seconds = 0;
      if (stat >> seconds) return BootTime{seconds, 0};
      return std::nullopt;
    }
    stat.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  return std::nullopt;
}

std::string executablePath() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

std::vector<LoadedImage> trueLoadedImages() {
  std::vector<LoadedImage> images;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* out) -> int {
        LoadedImage image;
        image.path = (info->dlpi_name && info->dlpi_name[0]) ? info->dlpi_name : std::string();
        image.slide = static_cast<std::intptr_t>(info->dlpi_addr);
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          const auto& ph = info->dlpi_phdr[i];
          if (ph.p_type == PT_LOAD && ph.p_offset == 0) {
            image.header = reinterpret_cast<const void*>(info->dlpi_addr + ph.p_vaddr);
            break;
          }
        }
        static_cast<std::vector<LoadedImage>*>(out)->push_back(std::move(image));
        return 0;
      },
      &images);
  // The main program comes first and is reported without a name.
  if (!images.empty() && images.front().path.empty()) images.front().path = executablePath();
  return images;
}

std::vector<std::string> trueArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.emplace_back(all, start, end - start);
    start = end + 1;
  }
  return args;
}

// "en_US.UTF-8" -> "en-US"; "C" and "POSIX" name no language.
std::optional<std::string> languageTag(std::string entry) {
  if (auto at = entry.find_first_of(".@"); at != std::string::npos) entry.resize(at);
  if (entry.empty() || entry == "C" || entry == "POSIX") return std::nullopt;
  for (char& c : entry) {
    if (c == '_') c = '-';
  }
  return entry;
}

std::vector<std::string> truePreferredLanguages() {
  std::vector<std::string> languages;
  for (const char* name : {"LANGUAGE", "LC_ALL", "LANG"}) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    std::string list(value);
    std::size_t start = 0;
    while (start <= list.size()) {
      std::size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      if (auto tag = languageTag(list.substr(start, end - start))) languages.push_back(std::move(*tag));
      start = end + 1;
    }
    if (!languages.empty()) break;
  }
  return languages;
}

}  // namespace

namespace SystemInfo {

SystemFacts facts() {
  if (auto o = currentOverride()) return std::move(*o);
  SystemFacts f;
  f.machine = trueMachine();
  f.model = kModel;
  f.systemName = kSystemName;
  f.systemVersion = kSystemVersion;
  f.kernelBootTime = trueKernelBootTime();
  f.loadedImages = trueLoadedImages();
  f.arguments = trueArguments();
  f.iOSAppOnMac = false;
  f.preferredLanguages = truePreferredLanguages();
  return f;
}

std::optional<std::string> machine() {
  if (auto o = overridden(&SystemFacts::machine)) return std::move(*o);
  return trueMachine();
}
std::string model() {
  if (auto o = overridden(&SystemFacts::model)) return std::move(*o);
  return kModel;
}
std::string systemName() {
  if (auto o = overridden(&SystemFacts::systemName)) return std::move(*o);
  return kSystemName;
}
std::string systemVersion() {
  if (auto o = overridden(&SystemFacts::systemVersion)) return std::move(*o);
  return kSystemVersion;
}
std::optional<BootTime> kernelBootTime() {
  if (auto o = overridden(&SystemFacts::kernelBootTime)) return std::move(*o);
  return trueKernelBootTime();
}
std::vector<LoadedImage> mappedImages() { return trueLoadedImages(); }

std::vector<LoadedImage> loadedImages() {
  if (auto o = overridden(&SystemFacts::loadedImages)) return std::move(*o);
  return trueLoadedImages();
}

std::vector<std::string> preferredLanguages() {
  if (auto o = overridden(&SystemFacts::preferredLanguages)) return std::move(*o);
  return truePreferredLanguages();
}

void setForTesting(SystemFacts facts) {
  MutexLock lock(overrideMutex());
  overrideFacts() = std::move(facts);
}

void restore() {
  MutexLock lock(overrideMutex());
  overrideFacts().reset();
}

}  // namespace SystemInfo

namespace ProcessInfo {
std::vector<std::string> arguments() {
  if (auto o = overridden(&SystemFacts::arguments)) return std::move(*o);
  return trueArguments();
}
std::optional<bool> isiOSAppOnMac() {
  if (auto o = overridden(&SystemFacts::iOSAppOnMac)) return std::move(*o);
  return false;
}
}  // namespace ProcessInfo

}  // namespace platform
