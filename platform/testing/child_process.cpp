#include "platform/testing/child_process.h"

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

std::optional<ChildProcess> ChildProcess::spawn(const std::string& executable,
                                                const std::vector<std::string>& arguments) {
  std::vector<std::string> owned{executable};
  owned.insert(owned.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& argument : owned) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return std::nullopt;
  return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
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
  auto child = ChildProcess::spawn("/proc/self/exe", {"--gtest_filter=" + childTest});
  ::unsetenv(kExitTestChildVariable);
  if (!child) return "the child could not be started";
  const auto status = child->waitFor(60);
  if (!status) return "the child did not end";
  if (WIFSIGNALED(*status)) return "signal " + std::to_string(WTERMSIG(*status));
  if (WEXITSTATUS(*status) != 0) return "exit status " + std::to_string(WEXITSTATUS(*status));
  return {};
}

}  // namespace platform::testing
