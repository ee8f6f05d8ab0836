#include "sdk/transport/core/vdtcor_console_logger.h"

#include <any>
#include <functional>
#include <string>

#include "platform/foundation/console.h"
#include "platform/foundation/exception.h"
#include "platform/runtime/class.h"

std::atomic<std::int64_t>& VDTCORConsoleLoggerLoggingLevel() {
  static std::atomic<std::int64_t> level{kVDTCORLogLevelError};
  return level;
}

std::string VDTCORMessageCodeText(std::int64_t code) { return platform::format("I-VDTCOR%06ld", code); }

void VDTCORLogLine(std::int64_t code, std::string_view message) {
  std::string line(kVDTCORConsoleServiceTag);
  line += '[';
  line += VDTCORMessageCodeText(code);
  line += "] ";
  line += message;
  platform::Console::log(line);
}

void VDTCORLogAssertLine(bool fatal, std::string_view file, std::int64_t line, std::string_view message) {
  const std::int64_t code = fatal ? kVDTCORMessageCodeFatalAssertion : kVDTCORMessageCodeAssertion;
  platform::Console::log(platform::format("%@[%@] (%@:%ld) : %@", kVDTCORConsoleServiceTag,
                                          VDTCORMessageCodeText(code), file, line, message));
}

bool VDTCORRunAssertionBlock() {
  auto helper = platform::runtime::classNamed("VDTCORAssertHelper");
  if (!helper || !helper->respondsToSelector("assertionBlock")) return false;
  std::any result = helper->perform("assertionBlock");
  const auto* block = std::any_cast<std::function<void()>>(&result);
  if (!block || !*block) return false;
  (*block)();
  return true;
}

namespace {

std::string_view fileNameOf(std::string_view path) {
  if (path.empty()) return "<Unknown File>";
  const auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

void VDTCORAssertionFailed(std::string_view file, std::int64_t line, std::string_view message) {
  if (VDTCORRunAssertionBlock()) return;
  VDTCORLogAssertLine(false, fileNameOf(file), line, message);
}

void VDTCORFatalAssertionFailed(std::string_view file, std::int64_t line, std::string_view message) {
  if (VDTCORRunAssertionBlock()) return;
  VDTCORLogAssertLine(true, fileNameOf(file), line, message);
  throw platform::Exception(std::string(platform::kInternalInconsistencyException), std::string(message));
}
