#include "tools/terminal/raw_terminal.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace terminal {

namespace {

// Alternate screen, cursor hidden; and back.
constexpr char kEnter[] = "\x1b[?1049h\x1b[?25l\x1b[2J";
constexpr char kLeave[] = "\x1b[0m\x1b[?25h\x1b[?1049l";

// What the handlers restore. Written before any handler is installed and only read afterwards.
struct termios savedMode;
volatile sig_atomic_t modeSaved = 0;

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT};
struct sigaction previousActions[sizeof kEndingSignals / sizeof kEndingSignals[0]];

// Async-signal-safe: only write(2), tcsetattr(3) and re-raising.
void restoreTerminal() {
  if (!modeSaved) return;
  modeSaved = 0;
  ssize_t ignored = ::write(STDOUT_FILENO, kLeave, sizeof kLeave - 1);
  (void)ignored;
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedMode);
}

// A request to stop (a kill, a hang-up) first asks the session to end as the user's quit would,
// so the app hears it terminate and writes its preferences; a second one, or a signal of a crash,
// ends the process at once.
volatile sig_atomic_t stopSignals = 0;

bool isStopRequest(int signal) { return signal == SIGTERM || signal == SIGHUP || signal == SIGINT; }

void onEndingSignal(int signal) {
  if (isStopRequest(signal) && stopSignals == 0) {
    stopSignals = 1;
    return;
  }
  restoreTerminal();
  for (std::size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
    if (kEndingSignals[i] == signal) ::sigaction(signal, &previousActions[i], nullptr);
  }
  ::raise(signal);
}

}  // namespace

bool RawTerminal::stopRequested() { return stopSignals != 0; }

bool RawTerminal::available() { return ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO); }

RawTerminal::RawTerminal() {
  if (!available() || ::tcgetattr(STDIN_FILENO, &savedMode) != 0) return;
  struct termios raw = savedMode;
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | BRKINT | INPCK | ISTRIP);
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  modeSaved = 1;
  for (std::size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
    struct sigaction action {};
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(kEndingSignals[i], &action, &previousActions[i]);
    // A signal the caller chose to ignore (a hang-up under nohup) stays ignored.
    if (previousActions[i].sa_handler == SIG_IGN) ::sigaction(kEndingSignals[i], &previousActions[i], nullptr);
  }
  static bool registered = [] { return std::atexit(restoreTerminal) == 0; }();
  (void)registered;
  if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0) {
    restoreTerminal();
    return;
  }
  write(kEnter);
  ok_ = true;
}

RawTerminal::~RawTerminal() {
  if (!ok_) return;
  restoreTerminal();
  for (std::size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
    ::sigaction(kEndingSignals[i], &previousActions[i], nullptr);
  }
}

TerminalSize RawTerminal::size() const {
  struct winsize ws {};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
    return TerminalSize{ws.ws_col, ws.ws_row};
  }
  return TerminalSize{};
}

void RawTerminal::write(std::string_view bytes) const {
  while (!bytes.empty()) {
    ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace terminal
