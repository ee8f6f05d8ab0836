// From the fatal signal to the complete record on disk, in a child process with 20 other threads
// (sleeping, so every one of them is suspended, unwound and named), against the same child whose
// handler writes a single line. Each sample is one child: the time from just before its fault to
// its death by the signal, so process teardown is in both and the difference is the recording.
// The summary gives the median and the spread of each, and their ratio (target: under 10 ms).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/measuring_reporter.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/testing/testing.h"
#include "sdk/crash/capture/rlz_crash_capture.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/records/rlz_context_state.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kOtherThreads = 20;
constexpr int kTimeFd = 3;
const char* g_linePath = nullptr;

int64_t monotonicNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

void writeOneLine(int signal, siginfo_t*, void*) {
  const int fd = open(g_linePath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  static const char kLine[] = "crashed\n";
  if (fd >= 0) {
    (void)!write(fd, kLine, sizeof kLine - 1);
    close(fd);
  }
  struct sigaction reset {};
  reset.sa_handler = SIG_DFL;
  sigaction(signal, &reset, nullptr);
}

// The child: set up as asked, start the other threads, then fault.
[[noreturn]] void crashChild(const std::string& mode, const fs::path& directory) {
  const std::string report = (directory / "report").string(), root = (directory / "root").string();
  const std::string line = (directory / "line").string();
  if (mode == "capture") {
    if (!RLZCrashCaptureStart(report, root, "bench-session")) _exit(3);
    while (!RLZContextIsInitialized()) usleep(1000);
    RLZContextBinaryImageQueue()->sync([] {});
  } else {
    g_linePath = line.c_str();
    struct sigaction action {};
    action.sa_sigaction = writeOneLine;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &action, nullptr);
  }
  std::atomic<int> started{0};
  for (int i = 0; i < kOtherThreads; ++i) {
    std::thread([&started] {
      ++started;
      for (;;) pause();
    }).detach();
  }
  while (started.load() < kOtherThreads) std::this_thread::yield();
  const int64_t start = monotonicNanoseconds();
  (void)!write(kTimeFd, &start, sizeof start);
  // Neither the pointer's value nor the store may be optimised away.
  volatile int* volatile target = nullptr;
  *target = 1;
  _exit(4);
}

std::map<std::string, std::vector<double>>& samples() {
  static std::map<std::string, std::vector<double>> s;
  return s;
}

// One child run; the seconds from its fault to its death, or a negative value on failure.
double runChild(const std::string& mode, const fs::path& directory) {
  fs::remove_all(directory);
  fs::create_directories(directory / "report");
  fs::create_directories(directory / "root");
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The read end first: it may hold the descriptor number the write end is moved to.
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], kTimeFd);
  std::string self = fs::read_symlink("/proc/self/exe").string(), flag = "--crash-child", modeArg = mode,
              dirArg = directory.string();
  char* argv[] = {self.data(), flag.data(), modeArg.data(), dirArg.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return -1;
  }
  int64_t start = 0;
  const bool gotStart = read(pipeFds[0], &start, sizeof start) == sizeof start;
  close(pipeFds[0]);
  const auto status = platform::testing::waitForChild(pid, 60);
  const int64_t end = monotonicNanoseconds();
  if (!gotStart || !status || !WIFSIGNALED(*status) || WTERMSIG(*status) != SIGSEGV) return -1;
  const fs::path written = mode == "capture" ? directory / "report" / "signal.rlzrecord" : directory / "line";
  std::error_code ec;
  if (fs::file_size(written, ec) == 0 || ec) return -1;
  return static_cast<double>(end - start) / 1e9;
}

void measure(benchmark::State& state, const std::string& mode) {
  rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  const fs::path directory = fs::temp_directory_path() / ("bench-crash-" + std::to_string(getpid()) + "-" + mode);
  for (auto _ : state) {
    const double seconds = runChild(mode, directory);
    if (seconds < 0) {
      state.SkipWithError("the child did not leave its record and die by its signal");
      break;
    }
    state.SetIterationTime(seconds);
    samples()[mode].push_back(seconds);
  }
  fs::remove_all(directory);
}

void BM_CrashRecordWith20Threads(benchmark::State& state) { measure(state, "capture"); }
void BM_SingleLineWith20Threads(benchmark::State& state) { measure(state, "line"); }
BENCHMARK(BM_SingleLineWith20Threads)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CrashRecordWith20Threads)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);

struct Spread {
  double median = 0, low = 0, high = 0;
};

// The median and the 10th to 90th percentile range.
Spread spreadOf(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  auto at = [&](double q) { return values[static_cast<size_t>(q * (values.size() - 1) + 0.5)]; };
  return {at(0.5), at(0.1), at(0.9)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--crash-child") == 0) crashChild(argv[2], argv[3]);
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter&) {
    const Spread capture = spreadOf(samples()["capture"]), line = spreadOf(samples()["line"]);
    if (capture.median <= 0 || line.median <= 0) return;
    std::printf("crash record, 20 threads: median %.2f ms (p10 %.2f, p90 %.2f)\n", capture.median * 1e3,
                capture.low * 1e3, capture.high * 1e3);
    std::printf("single line, 20 threads:  median %.2f ms (p10 %.2f, p90 %.2f)\n", line.median * 1e3,
                line.low * 1e3, line.high * 1e3);
    std::printf("recording cost: %.2f ms over the single line (ratio %.1fx; target: under 10 ms)\n",
                (capture.median - line.median) * 1e3, capture.median / line.median);
  });
}
