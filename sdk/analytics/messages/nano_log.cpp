#include "sdk/analytics/messages/nano_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/foundation/console.h"

namespace {

std::string formatLine(const char* format, va_list arguments) {
  char line[512];
  std::vsnprintf(line, sizeof line, format, arguments);
  std::string text(line);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

void NANOPrintLine(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  platform::Console::print(formatLine(format, arguments));
  va_end(arguments);
}

void NANOLogLine(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  platform::Console::log(formatLine(format, arguments));
  va_end(arguments);
}
