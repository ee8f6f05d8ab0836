#include "platform/mach/thread_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace platform::mach {

namespace {

enum SlotState : int { kIdle = 0, kRequested = 1, kSaved = 2, kResumed = 3 };

struct Slot {
  std::atomic<pid_t> tid{0};
  std::atomic<int> state{kIdle};
  int64_t registers[kGeneralRegisterCount];
};

Slot g_slots[kMaxTaskThreads];
std::atomic<bool> g_installed{false};

int suspendSignal() { return SIGRTMIN + 4; }

pid_t currentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void futexWait(std::atomic<int>* word, int expected, long nanoseconds) {
  timespec timeout{nanoseconds / 1000000000L, nanoseconds % 1000000000L};
  syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAIT_PRIVATE, expected, &timeout, nullptr, 0);
}

void futexWake(std::atomic<int>* word) {
  syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

int64_t nowNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

Slot* slotFor(pid_t tid) {
  for (Slot& slot : g_slots) {
    if (slot.tid.load() == tid) return &slot;
  }
  return nullptr;
}

void onSuspendSignal(int, siginfo_t*, void* userContext) {
  const int savedErrno = errno;
  Slot* slot = slotFor(currentTid());
  int expected = kRequested;
  if (slot && slot->state.load() == kRequested) {
    const auto* uc = static_cast<const ucontext_t*>(userContext);
    static_assert(sizeof uc->uc_mcontext.gregs == sizeof slot->registers);
    memcpy(slot->registers, uc->uc_mcontext.gregs, sizeof slot->registers);
    if (slot->state.compare_exchange_strong(expected, kSaved)) {
      futexWake(&slot->state);
      // A recorder that never resumes us is a dead process; the bound only guards a bug.
      const int64_t deadline = nowNanoseconds() + 30'000'000'000;
      while (slot->state.load() == kSaved && nowNanoseconds() < deadline) futexWait(&slot->state, kSaved, 100'000'000);
    }
  }
  errno = savedErrno;
}

}  // namespace

ThreadPort threadSelf() { return threadPortForTid(currentTid()); }
pid_t taskSelf() { return getpid(); }

bool installThreadSuspendSignal() {
  if (g_installed.load()) return true;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = onSuspendSignal;
  action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  if (sigaction(suspendSignal(), &action, nullptr) != 0) return false;
  g_installed.store(true);
  return true;
}

int taskThreads(ThreadPort* out, size_t capacity) {
  const int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t count = 0;
  alignas(8) char buffer[4096];
  for (;;) {
    const long read = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (read <= 0) break;
    for (long at = 0; at < read;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      pid_t tid = 0;
      const char* name = entry->d_name;
      if (*name < '0' || *name > '9') continue;
      for (; *name >= '0' && *name <= '9'; ++name) tid = tid * 10 + (*name - '0');
      if (count < capacity) out[count++] = threadPortForTid(tid);
    }
  }
  close(fd);
  return static_cast<int>(count);
}

SuspendResult threadSuspend(ThreadPort thread) {
  const SuspendResult requested = threadSuspendRequest(thread);
  return requested == SuspendResult::requested ? threadSuspendWait(thread, threadSuspendDeadline()) : requested;
}

SuspendResult threadSuspendRequest(ThreadPort thread) {
  const pid_t tid = tidForThreadPort(thread);
  if (!g_installed.load() || tid == currentTid()) return SuspendResult::failed;
  Slot* slot = slotFor(tid);
  if (!slot) {
    pid_t free = 0;
    for (Slot& candidate : g_slots) {
      if (candidate.state.load() == kIdle && candidate.tid.compare_exchange_strong(free, tid)) {
        slot = &candidate;
        break;
      }
      free = 0;
    }
  }
  if (!slot) return SuspendResult::failed;
  slot->state.store(kRequested);
  if (syscall(SYS_tgkill, getpid(), tid, suspendSignal()) != 0) {
    slot->state.store(kIdle);
    slot->tid.store(0);
    return errno == ESRCH ? SuspendResult::gone : SuspendResult::failed;
  }
  return SuspendResult::requested;
}

int64_t threadSuspendDeadline() { return nowNanoseconds() + 250'000'000; }

SuspendResult threadSuspendWait(ThreadPort thread, int64_t deadline) {
  const pid_t tid = tidForThreadPort(thread);
  Slot* slot = slotFor(tid);
  if (!slot || tid == currentTid()) return SuspendResult::failed;
  for (;;) {
    if (slot->state.load() == kSaved) return SuspendResult::suspended;
    const int64_t left = deadline - nowNanoseconds();
    if (left <= 0) break;
    futexWait(&slot->state, kRequested, left);
  }
  int expected = kRequested;
  if (!slot->state.compare_exchange_strong(expected, kIdle)) return SuspendResult::suspended;
  slot->tid.store(0);
  // The thread may have exited between listing and the signal.
  return syscall(SYS_tgkill, getpid(), tid, 0) != 0 ? SuspendResult::gone : SuspendResult::failed;
}

bool threadResume(ThreadPort thread) {
  Slot* slot = slotFor(tidForThreadPort(thread));
  if (!slot || slot->state.load() != kSaved) return false;
  slot->tid.store(0);
  slot->state.store(kResumed);
  futexWake(&slot->state);
  // The slot is free again once the thread has seen the resume; waiting is not needed.
  slot->state.store(kIdle);
  futexWake(&slot->state);
  return true;
}

int threadGetState(ThreadPort thread, int64_t* generalRegisters, size_t count) {
  if (!generalRegisters || count < static_cast<size_t>(kGeneralRegisterCount)) return kKernFailure;
  Slot* slot = slotFor(tidForThreadPort(thread));
  if (!slot || slot->state.load() != kSaved) return kMachSendInvalidDest;
  memcpy(generalRegisters, slot->registers, sizeof slot->registers);
  return kKernSuccess;
}

bool threadName(ThreadPort thread, char* buffer, size_t size) {
  if (size == 0) return false;
  buffer[0] = 0;
  char path[64] = "/proc/self/task/";
  size_t at = strlen(path);
  char digits[16];
  int n = 0;
  for (pid_t tid = tidForThreadPort(thread); tid > 0 && n < 15; tid /= 10) digits[n++] = static_cast<char>('0' + tid % 10);
  while (n > 0) path[at++] = digits[--n];
  memcpy(path + at, "/comm", 6);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t read = ::read(fd, buffer, size - 1);
  close(fd);
  if (read <= 0) return false;
  size_t length = static_cast<size_t>(read);
  if (buffer[length - 1] == '\n') --length;
  buffer[length] = 0;
  return true;
}

}  // namespace platform::mach
