// Durability tests kill a child copy of the test binary: it runs one child test, which writes in
// a loop and acknowledges each committed item on a pipe, until the parent kills it.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace kill_test {

// The descriptor the child writes its acknowledgements to.
inline constexpr int kAckDescriptor = 3;
// How long the parent waits for one acknowledgement: a child that has started writes many a
// second, so one silent this long is stuck (or its start is), and its test fails.
inline constexpr double kAckSeconds = 30;

struct Child {
  pid_t pid = 0;
  // The reading end of the acknowledgements; -1 when the spawn failed.
  int acks = -1;
};

// This binary again, running only the tests of `filter`, with the extra environment entries
// ("NAME=value"); its standard output goes nowhere.
inline Child spawnSelf(const std::string& filter, const std::vector<std::string>& extraEnvironment) {
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return {};
  self[length] = '\0';
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], kAckDescriptor);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string filterArgument = "--gtest_filter=" + filter;
  char* argv[] = {self, filterArgument.data(), nullptr};
  Child child;
  const int spawned = posix_spawn(&child.pid, self, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (spawned != 0) {
    ::close(fds[0]);
    return {};
  }
  child.acks = fds[0];
  return child;
}

}  // namespace kill_test
