#include "sdk/crash/records/rlz_packaging_watch.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>

namespace {
// Lock-free: read from signal handlers.
std::atomic<int> g_failureLogFd{-1};
std::atomic<platform::mach::ThreadPort> g_packagingThread{0};
}  // namespace

void RLZPackagingWatchBegin(int failureLogFd, platform::mach::ThreadPort packagingThread) {
  g_packagingThread.store(packagingThread);
  g_failureLogFd.store(failureLogFd);
}

void RLZPackagingWatchEnd(int failureLogFd) { g_failureLogFd.compare_exchange_strong(failureLogFd, -1); }

void RLZPackagingWatchNoteFatalCrash(platform::mach::ThreadPort crashedThread) {
  const int fd = g_failureLogFd.load();
  if (fd < 0) return;
  if (platform::mach::tidForThreadPort(crashedThread) != platform::mach::tidForThreadPort(g_packagingThread.load())) {
    return;
  }
  const char mark = 'c';
  while (::write(fd, &mark, 1) < 0 && errno == EINTR) {
  }
}
