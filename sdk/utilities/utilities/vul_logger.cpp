#include "sdk/utilities/utilities/vul_logger.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/console.h"
#include "platform/foundation/date.h"
#include "platform/foundation/home.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "platform/foundation/thread_safety.h"

namespace {

constexpr std::string_view kFacility = "com.videzu.utilities.logger";

// The stand-in for the system log client. Lines go to the platform log, to a log file of the
// facility under the home's Library/Logs, and to standard error when asked. The sink drops
// nothing by level: the level test happens before a line is queued, and forced and debug lines
// must pass whatever the level.
class LogClient {
 public:
  void write(VULLoggerLevel level, const std::string& line, bool toStderr) {
    platform::Console::systemLog(line);
    writeToFile(level, line);
    if (toStderr) {
      std::string text = line + "\n";
      const char* p = text.data();
      std::size_t left = text.size();
      while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
      }
    }
  }

  void close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    path_.clear();
  }

 private:
  static const char* levelName(VULLoggerLevel level) {
    switch (level) {
      case VULLoggerLevelError: return "Error";
      case VULLoggerLevelWarning: return "Warning";
      case VULLoggerLevelNotice: return "Notice";
      case VULLoggerLevelInfo: return "Info";
      case VULLoggerLevelDebug: return "Debug";
      default: return "Notice";
    }
  }

  void writeToFile(VULLoggerLevel level, const std::string& line) {
    // The home changes when tests start afresh; follow it.
    const auto folder = platform::Home::library() / "Logs";
    const auto path = folder / (std::string(kFacility) + ".log");
    if (path != path_) {
      close();
      std::error_code ec;
      std::filesystem::create_directories(folder, ec);
      file_ = std::fopen(path.c_str(), "a");
      if (!file_) return;  // a line that cannot be written is lost, as the system log loses it
      path_ = path;
    }
    if (!file_) return;
    std::fprintf(file_, "%s <%s>: %s\n", platform::Date::now().description().c_str(), levelName(level), line.c_str());
    std::fflush(file_);
  }

  std::FILE* file_ = nullptr;
  std::filesystem::path path_;
};

struct Logger {
  platform::Mutex initMutex;
  std::atomic<bool> initialized{false};
  std::atomic<VULLoggerLevel> level{VULLoggerLevelNotice};
  std::atomic<bool> debugMode{false};
  std::atomic<bool> toStderr{false};
  platform::Mutex versionMutex;
  std::string version GUARDED_BY(versionMutex);
  std::shared_ptr<platform::DispatchQueue> queue;
  LogClient client;  // used on `queue` only
};

Logger& logger() {
  // Never destroyed: lines may still be logged while the process exits.
  static auto* l = new Logger;
  return *l;
}


}  // namespace

void VULLoggerInitialize() {
  Logger& l = logger();
  if (l.initialized.load(std::memory_order_acquire)) return;
  platform::MutexLock lock(l.initMutex);
  if (l.initialized.load(std::memory_order_relaxed)) return;
  // Systems before 10 copied every line to standard error.
  const auto major = platform::Value(VULAppEnvironmentUtil::systemVersion()).integerValue();
  if (major < 10) l.toStderr = true;
  l.level = VULLoggerLevelNotice;
  if (!l.queue) {
    l.queue = platform::DispatchQueue::serial("VULLoggingClientQueue",
                                              platform::DispatchQueue::global(platform::QualityOfService::Background));
  }
  l.initialized.store(true, std::memory_order_release);
}

void VULLoggerEnableStderr() { logger().toStderr = true; }

void VULLoggerForceDebug() {
  if (VULAppEnvironmentUtil::isFromAppStore()) return;
  logger().debugMode = true;
  VULLoggerSetLevel(VULLoggerLevelDebug);
}

void VULLoggerSetLevel(VULLoggerLevel level) {
  if (level < VULLoggerLevelError || level > VULLoggerLevelDebug) {
    VULLoggerLogError("[VULLogger]", false, "I-COR000023", "Invalid logger level, %ld", level);
    return;
  }
  VULLoggerInitialize();
  // Store builds keep verbose levels off.
  if (level >= VULLoggerLevelNotice && VULAppEnvironmentUtil::isFromAppStore()) return;
  logger().level = level;
}

bool VULLoggerIsLoggableLevel(VULLoggerLevel level) {
  VULLoggerInitialize();
  const Logger& l = logger();
  return l.debugMode || level <= l.level;
}

void VULLoggerRegisterVersion(std::string version) {
  Logger& l = logger();
  platform::MutexLock lock(l.versionMutex);
  l.version = std::move(version);
}

bool VULLoggerWouldLog(VULLoggerLevel level, bool forced) {
  VULLoggerInitialize();
  const Logger& l = logger();
  return forced || l.debugMode || level <= l.level;
}

void VULLoggerLogBasic(VULLoggerLevel level, std::string_view service, bool forced, std::string_view messageCode,
                       std::string_view format, std::optional<std::span<const platform::FormatArg>> args) {
  if (!VULLoggerWouldLog(level, forced)) return;
  Logger& l = logger();
  std::string message = args ? platform::formatArgs(format, *args) : std::string(format);
  std::string line;
  {
    platform::MutexLock lock(l.versionMutex);
    line.reserve(l.version.size() + service.size() + messageCode.size() + message.size() + 6);
    line += l.version;
  }
  line += " - ";
  line += service;
  line += '[';
  line += messageCode;
  line += "] ";
  line += message;
  l.queue->async([level, line = std::move(line)] {
    Logger& l = logger();
    l.client.write(level, line, l.toStderr);
  });
}

std::shared_ptr<platform::DispatchQueue> VULLoggerQueue() {
  VULLoggerInitialize();
  return logger().queue;
}

void VULLoggerResetForTesting() {
  Logger& l = logger();
  platform::MutexLock lock(l.initMutex);
  if (l.queue) l.queue->sync([&l] { l.client.close(); });
  l.initialized = false;
  l.level = VULLoggerLevelNotice;
  l.debugMode = false;
  l.toStderr = false;
  platform::MutexLock versionLock(l.versionMutex);
  l.version.clear();
}
