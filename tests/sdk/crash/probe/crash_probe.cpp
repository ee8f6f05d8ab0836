// A program that starts crash capture in the home it is given and then crashes the way its
// argument says. The crash tests run it as a child and read the report it leaves.
//   crash_probe MODE REPORT_DIR ROOT_DIR [OUT_FILE]
#include <fcntl.h>
#include <libunwind.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/main_thread.h"
#include "platform/foundation/exception.h"
#include "platform/mach/exception_ports.h"
#include "platform/runloop/run_loop.h"
#include "sdk/crash/capture/rlz_crash_capture.h"
#include "sdk/crash/context/rlz_context.h"
#include "sdk/crash/records/rlz_context_state.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<int> g_allocations{0};
const char* g_out = nullptr;
std::string g_mode;

void writeOut(const char* text) {
  const int fd = open(g_out, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  (void)!write(fd, text, strlen(text));
  close(fd);
}

void writeNumberLine(uint64_t value) {
  char buffer[32];
  int n = 0;
  char digits[24];
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value);
  int at = 0;
  while (n) buffer[at++] = digits[--n];
  buffer[at++] = '\n';
  buffer[at] = 0;
  writeOut(buffer);
}

// Runs after the crash reporter (it was installed first): reports what it was given, and for the
// oracle mode the stack as libunwind walks it from the same context.
void earlierHandler(int signal, siginfo_t* info, void* context) {
  if (g_mode == "noalloc") {
    writeNumberLine(static_cast<uint64_t>(g_allocations.load()));
  } else if (g_mode == "oracle") {
    unw_cursor_t cursor;
    if (unw_init_local2(&cursor, static_cast<unw_context_t*>(context), UNW_INIT_SIGNAL_FRAME) == 0) {
      do {
        unw_word_t pc = 0;
        unw_get_reg(&cursor, UNW_REG_IP, &pc);
        writeNumberLine(pc);
      } while (unw_step(&cursor) > 0);
    }
  } else {
    writeNumberLine(static_cast<uint64_t>(signal));
    writeNumberLine(reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr));
  }
  struct sigaction reset {};
  reset.sa_handler = SIG_DFL;
  sigaction(signal, &reset, nullptr);
}

// From here on getppid raises SIGSYS instead of running; the call itself is skipped, so
// returning from the handler goes on after it.
void trapGetppid() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getppid, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    fprintf(stderr, "crash_probe: no system call filter here\n");
    _exit(4);
  }
}

[[gnu::noinline]] void crashNow() {
  if (g_mode == "abort") abort();
  // Both signals resume after the instruction that raised them: only the reporter can end the
  // process here.
  if (g_mode == "trap") {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("int3");
#else
    __builtin_trap();
#endif
    return;
  }
  if (g_mode == "seccomp") {
    trapGetppid();
    syscall(SYS_getppid);
    return;
  }
  if (g_mode == "ill") __builtin_trap();
  if (g_mode == "fpe") {
    // A dividend the compiler cannot see keeps the division a real instruction.
    volatile int dividend = 7;
    volatile int zero = 0;
    volatile int result = dividend / zero;
    (void)result;
  }
  if (g_mode == "bus") {
    char path[] = "/tmp/crash_probe_bus_XXXXXX";
    const int fd = mkstemp(path);
    unlink(path);
    auto* page = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    page[0] = 1;
  }
  if (g_mode == "throw-cstr") throw "a C string";
  if (g_mode == "throw-string") throw std::string("a standard string");
  if (g_mode == "throw-badalloc") throw std::bad_alloc();
  if (g_mode == "throw-runtime") throw std::runtime_error("a runtime error");
  if (g_mode == "throw-pointer") throw static_cast<const std::exception*>(new std::logic_error("a pointed-to error"));
  if (g_mode == "throw-int") throw 42;
  if (g_mode == "throw-platform") throw platform::Exception("NSInvalidArgumentException", "a platform exception");
  g_counting = true;
  *static_cast<volatile int*>(nullptr) = 1;
}

extern "C" [[gnu::noinline]] void level3() {
  crashNow();
  asm volatile("");
}
extern "C" [[gnu::noinline]] void level2() {
  level3();
  asm volatile("");
}
extern "C" [[gnu::noinline]] void level1() {
  level2();
  asm volatile("");
}

[[gnu::noinline]] int overflow(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return overflow(depth + 1) + frame[0];
}

void waitForever() {
  for (;;) pause();
}

void* overflowThread(void*) { return reinterpret_cast<void*>(static_cast<intptr_t>(overflow(0))); }

// A thread that never takes the suspension signal (it blocks every real-time signal).
void unsuspendable() {
  sigset_t realtime;
  sigemptyset(&realtime);
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&realtime, s);
  pthread_sigmask(SIG_BLOCK, &realtime, nullptr);
  sleep(1000);
}

}  // namespace

extern "C" {
void* __real_malloc(size_t);
void* __wrap_malloc(size_t size) {
  if (g_counting) ++g_allocations;
  return __real_malloc(size);
}
void* __real_calloc(size_t, size_t);
void* __wrap_calloc(size_t n, size_t size) {
  if (g_counting) ++g_allocations;
  return __real_calloc(n, size);
}
void* __real__Znwm(size_t);
void* __wrap__Znwm(size_t size) {
  if (g_counting) ++g_allocations;
  return __real__Znwm(size);
}
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: crash_probe MODE REPORT_DIR ROOT_DIR [OUT_FILE]\n");
    return 2;
  }
  g_mode = argv[1];
  g_out = argc > 4 ? argv[4] : "/dev/null";
  // A trap the program ignores still ends it: the kernel does not let its own trap be ignored.
  if (g_mode == "trap-ignored") {
    signal(SIGTRAP, SIG_IGN);
    g_mode = "trap";
  }
  if (g_mode == "earlier" || g_mode == "noalloc" || g_mode == "oracle") {
    struct sigaction action {};
    action.sa_sigaction = earlierHandler;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &action, nullptr);
  }
  // Where the call chain's functions lie, for the test to name the frames it reads back.
  char symbols[256];
  snprintf(symbols, sizeof symbols, "symbols %lu %lu %lu %lu %lu\n", reinterpret_cast<unsigned long>(&crashNow),
           reinterpret_cast<unsigned long>(&level3), reinterpret_cast<unsigned long>(&level2),
           reinterpret_cast<unsigned long>(&level1), reinterpret_cast<unsigned long>(&main));
  writeOut(symbols);
  if (!RLZCrashCaptureStart(argv[2], argv[3], "probe-session")) {
    fprintf(stderr, "crash_probe: capture did not start\n");
    return 3;
  }
  // Set-up finishes on other threads: the image table and the sealed context must be in place.
  while (!RLZContextIsInitialized()) usleep(1000);
  RLZContextBinaryImageQueue()->sync([] {});

  if (g_mode == "overflow-main") return overflow(0);
  if (g_mode == "overflow-worker") {
    platform::DispatchQueue::global()->async([] { overflow(0); });
    waitForever();
  }
  // Plain threads, made without the dispatch pool.
  if (g_mode == "overflow-thread") {
    std::thread([] { overflow(0); }).detach();
    waitForever();
  }
  if (g_mode == "overflow-pthread") {
    pthread_t thread;
    pthread_create(&thread, nullptr, overflowThread, nullptr);
    waitForever();
  }
  if (g_mode == "mach" || g_mode == "mach-foreign") {
    const int64_t codes[2] = {1, 0x10};
    platform::mach::ExceptionReply reply{};
    const platform::mach::MachPort task =
        g_mode == "mach" ? platform::mach::taskSelfPort() : platform::mach::taskSelfPort() + 0x100;
    const int code = platform::mach::raiseException(platform::mach::threadSelf(), platform::mach::kExcBadAccess, codes, 2,
                                                     task, &reply);
    printf("%d %u %d\n", code, reply.header.size, reply.header.id);
    return 0;
  }
  if (g_mode == "unsuspendable") {
    g_mode = "segv";
    std::atomic<int> started{0};
    std::vector<std::thread> stubborn;
    for (int i = 0; i < 100; ++i) stubborn.emplace_back([&] {
      ++started;
      unsuspendable();
    });
    while (started < 100) usleep(1000);
    level1();
  }
  const int threads = g_mode == "many-threads" ? 20 : (g_mode == "worker" || g_mode == "two") ? 3 : 0;
  std::mutex lock;
  std::atomic<bool> spin{true};
  std::vector<std::thread> others;
  for (int i = 0; i < threads; ++i) {
    others.emplace_back([&, i] {
      if (i % 3 == 0) sleep(1000);
      if (i % 3 == 1) while (spin) asm volatile("");
      std::lock_guard hold(lock);
      sleep(1000);
    });
  }
  // "worker-MODE": crashes as MODE does, on a worker of the dispatch pool: in a block of a global
  // queue, of a serial queue, or of a serial queue that a block synchronously runs.
  if (g_mode.rfind("worker-", 0) == 0) {
    g_mode = g_mode.substr(7);
    platform::DispatchQueue::global()->async([] { level1(); });
    waitForever();
  }
  if (g_mode.rfind("serial-", 0) == 0) {
    g_mode = g_mode.substr(7);
    platform::DispatchQueue::serial("probe.serial")->async([] { level1(); });
    waitForever();
  }
  if (g_mode.rfind("sync-", 0) == 0) {
    g_mode = g_mode.substr(5);
    static auto inner = platform::DispatchQueue::serial("probe.inner");
    platform::DispatchQueue::serial("probe.outer")->async([] { inner->sync([] { level1(); }); });
    waitForever();
  }
  // "timer-MODE": crashes as MODE does, in a timer's block fired by the main run loop.
  if (g_mode.rfind("timer-", 0) == 0) {
    g_mode = g_mode.substr(6);
    platform::detail::designateMainThread();
    platform::Timer::scheduled(0, false, [](platform::Timer&) { level1(); });
    platform::RunLoop::main().run();
  }
  if (g_mode == "worker" || g_mode == "many-threads") {
    g_mode = "segv";
    platform::DispatchQueue::global()->async([] { level1(); });
    waitForever();
  }
  if (g_mode == "two") {
    g_mode = "segv";
    std::atomic<int> ready{0};
    std::thread a([&] { ++ready; while (ready < 2) {} level1(); });
    std::thread b([&] { ++ready; while (ready < 2) {} level1(); });
    waitForever();
  }
  level1();
  return 0;
}
