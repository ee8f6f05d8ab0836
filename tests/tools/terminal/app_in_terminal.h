// The focus-timer executable run as a developer runs it, in a terminal of its own (a pseudo-
// terminal): keys typed into it, what it draws kept for the test to read, every wait bounded.
#pragma once

#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/testing.h"

class AppInTerminal {
 public:
  // A quit (q, or a stop request such as SIGTERM) ends the app within 5 s of real time; the limit
  // leaves a loaded machine room, and no more.
  static constexpr double kQuitLimitSeconds = 8;
  // What a crash's handlers write before the process ends may take longer on a loaded machine.
  static constexpr double kCrashLimitSeconds = 30;

  AppInTerminal(const std::filesystem::path& home, const std::string& serviceURL,
                std::vector<std::string> arguments = {})
      : home_(home) {
    arguments.insert(arguments.begin(), {FOCUS_TIMER, "--home", home.string()});
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      setenv("VDZ_SERVICE_URL", serviceURL.c_str(), 1);
      // The sanitizers leave every fatal signal to the app's own handlers, as a release build does.
      setenv("ASAN_OPTIONS",
             "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:detect_leaks=0:"
             "allow_user_segv_handler=1:color=never",
             1);
      setenv("UBSAN_OPTIONS", "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:color=never",
             1);
      execv(FOCUS_TIMER, argv.data());
      _exit(127);
    }
    reader_ = std::thread([this] {
      char buffer[4096];
      ssize_t n;
      while ((n = read(master_, buffer, sizeof buffer)) > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        screen_.append(buffer, static_cast<std::size_t>(n));
      }
    });
  }
  ~AppInTerminal() {
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      platform::testing::waitForChild(pid_, 30);
    }
    close(master_);
    reader_.join();
  }
  AppInTerminal(const AppInTerminal&) = delete;
  AppInTerminal& operator=(const AppInTerminal&) = delete;

  // The wait status, or none when the app did not end within the time (it is killed then).
  std::optional<int> signal(int number, double seconds = kQuitLimitSeconds) {
    kill(pid_, number);
    return waitForExit(seconds);
  }
  // The user quits with q: the wait status, or none when the app did not end within a quit's limit.
  std::optional<int> quit() {
    type("q");
    return waitForExit();
  }
  // Whether the front end took the terminal (raw, on the alternate screen) to draw within the
  // time: it then takes keys. What it wrote before does not count; keys typed then are dropped.
  bool waitForScreen(double seconds = 60) {
    auto drawing = [this] { return screen().find("\x1b[?1049h") != std::string::npos; };
    for (int i = 0; i < seconds * 100 && !drawing(); ++i) usleep(10000);
    if (drawing()) return true;
    std::cerr << "the app drew nothing within " << seconds << " s; where its threads wait:\n"
              << threadsOf(pid_) << "its log ends:\n"
              << tail(loggedRegularFile(home_ / "Library/Logs/focus-timer.stderr.log"), 4096) << "\n";
    return false;
  }
  // Keys as the user types them.
  void type(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
  // Types the keys and tells whether `drawn` appears on the terminal after them within the time.
  bool typeAndSee(const std::string& keys, const std::string& drawn, double seconds) {
    const std::size_t before = screen().size();
    type(keys);
    auto seen = [&] { return screen().find(drawn, before) != std::string::npos; };
    for (int i = 0; i < seconds * 100 && !seen(); ++i) usleep(10000);
    return seen();
  }
  // The wait status, or none when the app did not end within the time (it is killed then).
  // A sanitizer's report, on the terminal or in the app's log, fails the test whatever the status:
  // one found at exit (a worker using what the exit tore down) may still end with status 0.
  std::optional<int> waitForExit(double seconds = kQuitLimitSeconds) {
    waited_ = true;
    const auto status = platform::testing::waitForChild(pid_, seconds);
    const std::string said = screen() + loggedRegularFile(home_ / "Library/Logs/focus-timer.stderr.log");
    EXPECT_EQ(platform::testing::sanitizerReport(said), "") << said;
    return status;
  }
  // Everything the app wrote to its terminal so far.
  std::string screen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return screen_;
  }
  // The terminal's modes as the shell that started the app would find them now.
  std::optional<struct termios> modes() const {
    struct termios modes {};
    if (tcgetattr(master_, &modes) != 0) return std::nullopt;
    return modes;
  }

 private:
  // The log's text when it is a regular file: a test may have put something else in its place.
  static std::string loggedRegularFile(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error))) return {};
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  static std::string tail(const std::string& text, std::size_t bytes) {
    return text.size() <= bytes ? text : text.substr(text.size() - bytes);
  }
  static std::string firstLine(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
  }
  // Each thread's name, the kernel function it sleeps in and its system call (number first), for
  // an app that seems stuck.
  static std::string threadsOf(pid_t pid) {
    std::string said;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
      said += "  " + task.path().filename().string() + " " + firstLine(task.path() / "comm") + ": " +
              firstLine(task.path() / "wchan") + " [" + firstLine(task.path() / "syscall") + "]\n";
    }
    return said;
  }

  std::filesystem::path home_;
  pid_t pid_ = -1;
  int master_ = -1;
  bool waited_ = false;
  mutable std::mutex mutex_;
  std::string screen_;
  std::thread reader_;
};
