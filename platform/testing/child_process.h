// A child process for tests that need a second real process: started from an executable with
// arguments, waited for with a time limit, and killed when it overstays, so a stuck child fails
// the test instead of hanging it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace platform::testing {

// Waits at most `seconds` of real time for the child process `pid` to end and gives its wait
// status; a child still running then is killed (SIGKILL) and reaped, and the answer is none, so a
// broken child fails its test instead of hanging it.
std::optional<int> waitForChild(pid_t pid, double seconds);

enum class PipeRead { Complete, Closed, TimedOut, Failed };

// Reads exactly `size` bytes from the pipe `fd`, waiting at most `seconds` of real time in all, so
// a child that stops writing fails its test instead of hanging it. Closed: the writing end closed
// before all of them came.
PipeRead readFromPipe(int fd, void* buffer, std::size_t size, double seconds);

class ChildProcess {
 public:
  // Starts `executable` with `arguments` (argv[1..]) and this process's environment; none when
  // it could not be started.
  static std::optional<ChildProcess> spawn(const std::string& executable, const std::vector<std::string>& arguments);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  // Kills and reaps a child that was not waited for.
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  // The wait status once the child ended within `seconds` of real time; none after killing it
  // when it had not.
  std::optional<int> waitFor(double seconds);

 private:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  pid_t pid_;
};

}  // namespace platform::testing
