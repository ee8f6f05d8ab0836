// Helpers of the crash reporter's tests: a scratch directory in the test's home and file reads.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/foundation/home.h"
#include "platform/testing/testing.h"
#include "sdk/utilities/utilities/vul_logger.h"

namespace crash_test {

inline std::filesystem::path scratch(const std::string& name) {
  auto path = platform::Home::temporary() / name;
  std::filesystem::create_directories(path);
  return path;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Whether the shared logger has written a line holding `fragment` (its lines are written on a
// queue of its own).
inline bool logged(const platform::testing::LogCapture& capture, std::string_view fragment) {
  platform::testing::drain(VULLoggerQueue());
  return capture.contains(fragment);
}

// Waits for a child at most `limit`; a child still running then is killed (and reaped) and the
// answer is false, so a broken child fails its test instead of hanging the run.
inline bool waitForChild(pid_t pid, int* status, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid) return true;
    if (done < 0) return false;
    if (std::chrono::steady_clock::now() >= deadline) break;
    const timespec pause{0, 5'000'000};
    nanosleep(&pause, nullptr);
  }
  kill(pid, SIGKILL);
  waitpid(pid, status, 0);
  return false;
}

}  // namespace crash_test
