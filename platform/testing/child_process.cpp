#include "platform/testing/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

extern char** environ;

namespace platform::testing {

namespace {

// Waits until the child may have ended or the deadline passed: on its process descriptor when the
// kernel offers one (so a measured end is not late by a polling step), else one short step.
void awaitChange(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) {
    ::usleep(static_cast<useconds_t>(std::clamp<long long>(left.count(), 0, 5) * 1000));
    return;
  }
  pollfd ready{fd, POLLIN, 0};
  ::poll(&ready, 1, static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 60'000)));
  ::close(fd);
}

}  // namespace

std::optional<int> waitForChild(pid_t pid, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
  for (;;) {
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) return status;
    if (ended < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) break;
    awaitChange(pid, deadline);
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return std::nullopt;
}

PipeRead readFromPipe(int fd, void* buffer, std::size_t size, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
  auto* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return PipeRead::TimedOut;
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), 60'000)));
    if (polled < 0 && errno != EINTR) return PipeRead::Failed;
    if (polled <= 0) continue;
    // Readable or hung up: the read below does not block.
    const ssize_t n = ::read(fd, bytes + done, size - done);
    if (n == 0) return PipeRead::Closed;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return PipeRead::Failed;
    }
    done += static_cast<std::size_t>(n);
  }
  return PipeRead::Complete;
}

std::string sanitizerReport(std::string_view log) {
  static constexpr std::string_view kMarks[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                                "ERROR: UndefinedBehaviorSanitizer", "ERROR: ThreadSanitizer",
                                                "WARNING: ThreadSanitizer:", ": runtime error: "};
  std::size_t start = 0;
  while (start < log.size()) {
    std::size_t end = log.find('\n', start);
    if (end == std::string_view::npos) end = log.size();
    const std::string_view line = log.substr(start, end - start);
    for (std::string_view mark : kMarks) {
      if (line.find(mark) != std::string_view::npos) return std::string(line);
    }
    start = end + 1;
  }
  return {};
}

std::string describeEnd(const std::optional<int>& status, std::string_view log) {
  std::string end;
  if (!status) {
    end = "the child did not end";
  } else if (WIFSIGNALED(*status)) {
    end = "signal " + std::to_string(WTERMSIG(*status));
  } else if (WEXITSTATUS(*status) != 0) {
    end = "exit status " + std::to_string(WEXITSTATUS(*status));
  } else if (const std::string report = sanitizerReport(log); !report.empty()) {
    end = "exit status 0 after a sanitizer report: " + report;
  } else {
    return {};
  }
  return end + "\n" + std::string(log);
}

std::optional<ChildProcess> ChildProcess::spawn(const std::string& executable,
                                                const std::vector<std::string>& arguments) {
  std::vector<std::string> owned{executable};
  owned.insert(owned.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& argument : owned) argv.push_back(argument.data());
  argv.push_back(nullptr);
  // An unnamed file: nothing to clean up, and read back through its descriptor.
  const int errorFd = ::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (errorFd >= 0) posix_spawn_file_actions_adddup2(&actions, errorFd, STDERR_FILENO);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    if (errorFd >= 0) ::close(errorFd);
    return std::nullopt;
  }
  return ChildProcess(pid, errorFd);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_), errorFd_(other.errorFd_) {
  other.pid_ = -1;
  other.errorFd_ = -1;
}

ChildProcess::~ChildProcess() {
  if (errorFd_ >= 0) ::close(errorFd_);
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

std::string ChildProcess::errorOutput() const {
  std::string text;
  if (errorFd_ < 0) return text;
  char buffer[4096];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(errorFd_, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    at += n;
  }
  return text;
}

std::optional<int> ChildProcess::waitFor(double seconds) {
  const pid_t pid = pid_;
  pid_ = -1;
  return waitForChild(pid, seconds);
}

namespace {
constexpr const char* kExitTestChildVariable = "FOCUS_EXIT_TEST_CHILD";
}

bool isExitTestChild() { return std::getenv(kExitTestChildVariable) != nullptr; }

void exitWhileUsingOnAThread(std::function<bool()> use) {
  std::atomic<bool> used{false};
  std::thread([&used, use = std::move(use)] {
    for (;;) {
      if (!use()) ::_exit(3);
      used.store(true);
    }
  }).detach();
  while (!used.load()) std::this_thread::yield();
  std::exit(0);
}

std::string runExitTestChild(const std::string& childTest) {
  ::setenv(kExitTestChildVariable, "1", 1);
  // Unsymbolised, a report is out whole before the main thread ends the process; the stack is
  // named afterwards from the module offsets it shows.
  std::vector<std::pair<const char*, std::optional<std::string>>> saved;
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
    const char* value = std::getenv(name);
    saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    ::setenv(name, ((value ? std::string(value) + ":" : std::string()) + "symbolize=0").c_str(), 1);
  }
  auto child = ChildProcess::spawn("/proc/self/exe", {"--gtest_filter=" + childTest});
  for (const auto& [name, value] : saved) {
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ::unsetenv(kExitTestChildVariable);
  if (!child) return "the child could not be started";
  const auto status = child->waitFor(60);
  return describeEnd(status, child->errorOutput());
}

}  // namespace platform::testing
