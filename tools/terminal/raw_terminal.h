// The controlling terminal in raw mode on the alternate screen, for as long as the object lives.
// The terminal is given back as it was on destruction, at exit, and on the signals that end the
// process, so a crash or a kill never leaves the user's shell without echo.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace terminal {

struct TerminalSize {
  int cols = 80;
  int rows = 24;
};

class RawTerminal {
 public:
  // Whether standard input and output are both a terminal.
  static bool available();
  // Whether a signal asked the process to stop while the terminal was raw; the session then ends
  // as if the user had quit.
  static bool stopRequested();
  // Installs the handlers that give the terminal back, once. Called before the app starts, so
  // that a handler installed later (the crash reporter's) finds these in place and chains to them
  // instead of being replaced by them.
  static void installSignalHandlers();

  RawTerminal();
  ~RawTerminal();
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

  // False when the terminal could not be switched (nothing was changed then).
  bool ok() const { return ok_; }
  TerminalSize size() const;
  // Writes everything, across partial writes and interruptions.
  void write(std::string_view bytes) const;

 private:
  bool ok_ = false;
};

// The interactive session's standard error, in the home's Library/Logs.
inline constexpr std::string_view kStandardErrorLogName = "focus-timer.stderr.log";
// A log found longer than this when a session starts keeps only its newest lines.
inline constexpr std::uint64_t kStandardErrorLogLimit = 1 << 20;

// Standard error sent to a file while the object lives: what the app's libraries print there
// would otherwise land on the drawn screen. The side pane shows the app's console lines. The file
// is opened as every file of the home is: a link, a FIFO or anything but a regular file of its
// own there is neither written through nor waited on; the session then runs without a log (its
// standard error discarded) and says so on the terminal before the screen is drawn.
class StandardErrorToFile {
 public:
  explicit StandardErrorToFile(const std::filesystem::path& file);
  ~StandardErrorToFile();
  StandardErrorToFile(const StandardErrorToFile&) = delete;
  StandardErrorToFile& operator=(const StandardErrorToFile&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace terminal
