#include "tools/terminal/raw_terminal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/foundation/file_manager.h"

namespace terminal {

namespace {

// Alternate screen, cursor hidden; and back.
constexpr char kEnter[] = "\x1b[?1049h\x1b[?25l\x1b[2J";
constexpr char kLeave[] = "\x1b[0m\x1b[?25h\x1b[?1049l";

// What the handlers restore: written while modeSaved is 0, read by them only once it is 1.
struct termios savedMode;
volatile sig_atomic_t modeSaved = 0;

// The requests to stop, and every signal whose default action ends the process as a crash: from
// SIGABRT on they are the crash reporter's too, whose handler records first and then calls this.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV,
                                  SIGBUS, SIGILL,  SIGFPE, SIGTRAP, SIGSYS};
struct sigaction previousActions[sizeof kEndingSignals / sizeof kEndingSignals[0]];
// Which of them have our handler installed (as the action or under a later one); main thread only.
bool installed[sizeof kEndingSignals / sizeof kEndingSignals[0]];

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

// Crash-time code, async-signal-safe: it gives the terminal back, puts back the action found
// before it and raises the signal again, so that the process ends by it (called by the crash
// reporter's handler, the signal is unblocked and ends it at once; called by the kernel, it is
// delivered as the handler returns, and a fault repeats under the default action).
void onEndingSignal(int signal) {
  if (isStopRequest(signal) && stopSignals == 0) {
    stopSignals = 1;
    return;
  }
  const int savedErrno = errno;
  restoreTerminal();
  for (std::size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
    if (kEndingSignals[i] == signal) ::sigaction(signal, &previousActions[i], nullptr);
  }
  ::raise(signal);
  errno = savedErrno;
}

}  // namespace

bool RawTerminal::stopRequested() { return stopSignals != 0; }

void RawTerminal::installSignalHandlers() {
  for (std::size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
    if (installed[i]) continue;
    installed[i] = true;
    struct sigaction action {};
    action.sa_handler = onEndingSignal;
    // On the thread's alternate stack where it has one, so that a stack overflow still gets here.
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(kEndingSignals[i], &action, &previousActions[i]);
    // A signal the caller chose to ignore (a hang-up under nohup) stays ignored.
    if (previousActions[i].sa_handler == SIG_IGN) ::sigaction(kEndingSignals[i], &previousActions[i], nullptr);
  }
}

bool RawTerminal::available() { return ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO); }

RawTerminal::RawTerminal() {
  if (!available() || ::tcgetattr(STDIN_FILENO, &savedMode) != 0) return;
  struct termios raw = savedMode;
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | BRKINT | INPCK | ISTRIP);
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  modeSaved = 1;
  installSignalHandlers();
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
  // Handlers installed over these (the crash reporter's) stay, and keep chaining to them.
  for (std::size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
    struct sigaction current {};
    if (::sigaction(kEndingSignals[i], nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
        current.sa_handler == onEndingSignal) {
      ::sigaction(kEndingSignals[i], &previousActions[i], nullptr);
      installed[i] = false;
    }
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

namespace {

// What a log over its limit keeps: its newest whole lines, up to half the limit, so that several
// launches go by before the next cut.
constexpr std::uint64_t kKeptOfALongLog = kStandardErrorLogLimit / 2;
constexpr char kCutNote[] = "focus-timer: earlier lines were cut to keep this log under its limit\n";

// Cuts the open log `fd` of `size` bytes to its newest lines, written over it atomically; the
// descriptor to go on with (-1 when the new file cannot be opened). When that cannot be written,
// the log is emptied in place instead: the limit holds either way.
int keepNewestLines(int fd, const std::filesystem::path& file, std::uint64_t size) {
  std::string tail(kKeptOfALongLog, '\0');
  std::size_t got = 0;
  const auto from = static_cast<off_t>(size - kKeptOfALongLog);
  while (got < tail.size()) {
    const ssize_t n = ::pread(fd, tail.data() + got, tail.size() - got, from + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  tail.resize(got);
  const auto lineStart = tail.find('\n');
  tail.erase(0, lineStart == std::string::npos ? tail.size() : lineStart + 1);
  if (platform::FileManager::defaultManager().writeAtomically(file, kCutNote + tail, 0600)) {
    ::close(fd);
    return platform::openRegularFileForAppending(file, 0600);
  }
  if (::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

StandardErrorToFile::StandardErrorToFile(const std::filesystem::path& file) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  struct stat info {};
  int fd = platform::openRegularFileForAppending(file, 0600, &info);
  if (fd >= 0 && static_cast<std::uint64_t>(info.st_size) > kStandardErrorLogLimit) {
    fd = keepNewestLines(fd, file, static_cast<std::uint64_t>(info.st_size));
  }
  if (fd < 0) {
    // Still on the terminal, before the screen is drawn: the shell shows it when the session ends.
    std::fprintf(stderr, "focus-timer: %s is not a regular file of its own (%s); this session runs without a log\n",
                 file.c_str(), std::strerror(errno));
    fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
  }
  std::fflush(stderr);
  saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  if (saved_ < 0 || ::dup2(fd, STDERR_FILENO) < 0) {
    if (saved_ >= 0) ::close(saved_);
    saved_ = -1;
  }
  ::close(fd);
}

StandardErrorToFile::~StandardErrorToFile() {
  if (saved_ < 0) return;
  std::fflush(stderr);
  ::dup2(saved_, STDERR_FILENO);
  ::close(saved_);
}

}  // namespace terminal
