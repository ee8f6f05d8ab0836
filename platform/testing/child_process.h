// A child process for tests that need a second real process: started from an executable with
// arguments, waited for with a time limit, and killed when it overstays, so a stuck child fails
// the test instead of hanging it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
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

// The first line of a child's standard error in which a sanitizer reports a finding (an
// AddressSanitizer, LeakSanitizer or UndefinedBehaviorSanitizer error, a "runtime error", a
// ThreadSanitizer warning); empty when there is none. A child whose report is still being
// symbolised when its main thread ends the process exits with status 0 all the same: only its log
// tells.
std::string sanitizerReport(std::string_view log);

// How a child ended, in words, with what it wrote to standard error when that matters: empty when
// it exited with status 0 and no sanitizer reported anything.
std::string describeEnd(const std::optional<int>& status, std::string_view log);

class ChildProcess {
 public:
  // Starts `executable` with `arguments` (argv[1..]) and this process's environment, its standard
  // error going to a file of its own (see errorOutput()); none when it could not be started.
  static std::optional<ChildProcess> spawn(const std::string& executable, const std::vector<std::string>& arguments);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  // Kills and reaps a child that was not waited for.
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  // The wait status once the child ended within `seconds` of real time; none after killing it
  // when it had not.
  std::optional<int> waitFor(double seconds);
  // What the child has written to its standard error.
  std::string errorOutput() const;

 private:
  ChildProcess(pid_t pid, int errorFd) : pid_(pid), errorFd_(errorFd) {}
  pid_t pid_;
  int errorFd_;
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
// when it exited with status 0 and no sanitizer reported anything, else how it ended.
std::string runExitTestChild(const std::string& childTest);

}  // namespace platform::testing
