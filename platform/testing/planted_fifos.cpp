#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "platform/testing/testing.h"

namespace platform::testing {

PlantedFifos::PlantedFifos(std::vector<std::filesystem::path> paths, double timeLimitSeconds)
    : paths_(std::move(paths)) {
  for (const auto& path : paths_) {
    std::filesystem::create_directories(path.parent_path());
    if (::mkfifo(path.c_str(), 0600) != 0) planted_ = false;
  }
  watchdog_ = std::thread([this, timeLimitSeconds] { watch(timeLimitSeconds); });
}

PlantedFifos::~PlantedFifos() {
  if (watchdog_.joinable()) finish();
}

void PlantedFifos::watch(double timeLimitSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeLimitSeconds);
  MutexLock lock(mutex_);
  while (!finished_) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    done_.waitFor(lock, left);
  }
  if (finished_) return;
  hung_ = true;
  // Opening a FIFO for writing and closing it again frees a read waiting on it (or lets a waiting
  // open through, whose read then sees the end at once).
  while (!finished_) {
    for (const auto& path : paths_) {
      const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) ::close(fd);
    }
    done_.waitFor(lock, std::chrono::milliseconds(20));
  }
}

bool PlantedFifos::finish() {
  {
    MutexLock lock(mutex_);
    finished_ = true;
  }
  done_.notify_all();
  if (watchdog_.joinable()) watchdog_.join();
  MutexLock lock(mutex_);
  return hung_;
}

}  // namespace platform::testing
