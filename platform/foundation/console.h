// Console output of the process: the app's diagnostic prints (standard output) and the platform
// log (standard error). Tests capture both through platform::testing::LogCapture.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace platform {

namespace Console {
// A plain diagnostic print of the application, one line.
void print(std::string_view line);
// The platform's system log (the stand-in of its log function), one line.
void log(std::string_view line);
// A line kept by the system log only: sinks see it as a Log line, the terminal does not.
void systemLog(std::string_view line);

// Where lines go besides the terminal; the capture of tests and the terminal front end's pane
// install one. Returns an id for removeSink.
enum class Stream { Print, Log };
using Sink = std::function<void(Stream, std::string_view)>;
int addSink(Sink sink);
void removeSink(int id);
// The terminal front end silences direct terminal output while it owns the screen.
void setEchoToTerminal(bool echo);
}  // namespace Console

}  // namespace platform
