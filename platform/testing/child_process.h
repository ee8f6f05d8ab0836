// A child process for tests that need a second real process: started from an executable with
// arguments, waited for with a time limit, and killed when it overstays, so a stuck child fails
// the test instead of hanging it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
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

// Exit tests: work still running on a worker while the process exits (static destruction under
// way) must find what it reads alive. The test starts this binary again running only its child
// test, which uses the thing on a thread while it exits.
//
// Whether this process is such a child.
bool isExitTestChild();
// In the child: runs `use` over and over on a thread of its own (a false answer, a wrong result,
// ends the process with status 3) and exits the process normally once it has run once.
[[noreturn]] void exitWhileUsingOnAThread(std::function<bool()> use);
// In the test: runs this binary's test `childTest` ("Suite.Name") as an exit-test child; empty
// when it exited with status 0, else how it ended.
std::string runExitTestChild(const std::string& childTest);

}  // namespace platform::testing
