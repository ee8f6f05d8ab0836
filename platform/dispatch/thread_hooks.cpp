#include "platform/dispatch/thread_hooks.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

// The sanitizer runtimes interpose pthread_create too, weakly, under this second name: when one
// is linked in, it is the next creator in line, so it still sees every thread.
extern "C" int __interceptor_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)
    __attribute__((weak));

namespace platform::dispatch {

namespace {

std::atomic<ThreadStartHook> g_hook{nullptr};
std::atomic<unsigned> g_hookGeneration{0};

constexpr int kLabelSlots = 1024;
struct LabelSlot {
  std::atomic<pid_t> tid{0};
  std::atomic<const char*> label{nullptr};
};
LabelSlot g_labels[kLabelSlots];

// A thread's claim on its slot, given back when the thread ends.
struct LabelClaim {
  LabelSlot* slot = nullptr;
  ~LabelClaim() {
    if (!slot) return;
    slot->label.store(nullptr);
    slot->tid.store(0);
  }
};
thread_local LabelClaim t_claim;
thread_local unsigned t_hookGeneration = 0;

LabelSlot* claimSlot() {
  if (t_claim.slot) return t_claim.slot;
  const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  for (LabelSlot& slot : g_labels) {
    pid_t free = 0;
    if (slot.tid.compare_exchange_strong(free, tid)) {
      t_claim.slot = &slot;
      return &slot;
    }
  }
  return nullptr;
}

using CreateThread = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

CreateThread nextCreateThread() {
  static std::atomic<CreateThread> next{nullptr};
  CreateThread found = next.load(std::memory_order_acquire);
  if (found) return found;
  found = __interceptor_pthread_create ? __interceptor_pthread_create
                                       : reinterpret_cast<CreateThread>(dlsym(RTLD_NEXT, "pthread_create"));
  next.store(found, std::memory_order_release);
  return found;
}

struct ThreadStart {
  void* (*routine)(void*);
  void* argument;
  ThreadStartHook hook;
  unsigned generation;
};

void* startWithHook(void* raw) {
  const ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  t_hookGeneration = start.generation;
  start.hook();
  return start.routine(start.argument);
}

}  // namespace

void setThreadStartHook(ThreadStartHook hook) {
  g_hook.store(hook);
  g_hookGeneration.fetch_add(1);
}

const char* queueLabelForThread(pid_t tid) {
  if (tid == 0) return nullptr;
  for (const LabelSlot& slot : g_labels) {
    if (slot.tid.load() != tid) continue;
    const char* label = slot.label.load();
    // The slot may have been given back and claimed by another thread meanwhile.
    if (slot.tid.load() == tid) return label;
  }
  return nullptr;
}

namespace detail {

void prepareWorkerThread() {
  const unsigned generation = g_hookGeneration.load(std::memory_order_acquire);
  if (generation == t_hookGeneration) return;
  t_hookGeneration = generation;
  if (ThreadStartHook hook = g_hook.load()) hook();
}

void setCurrentQueueLabel(const char* label) {
  // A thread that never ran a labelled block claims no slot just to clear it.
  if (!label && !t_claim.slot) return;
  if (LabelSlot* slot = claimSlot()) slot->label.store(label);
}

}  // namespace detail

}  // namespace platform::dispatch

// Every thread of the process starts here, whoever makes it (std::thread, the pool, plain
// pthread code), so a hook set before it starts runs on it before anything can overflow its stack.
// Threads glibc makes for itself (timers, asynchronous I/O) do not pass through.
int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                   void* argument) noexcept {
  using namespace platform::dispatch;
  const CreateThread next = nextCreateThread();
  if (!next) return EAGAIN;
  // The generation before the hook: a hook replaced in between then runs again on pool threads.
  const unsigned generation = g_hookGeneration.load(std::memory_order_acquire);
  const ThreadStartHook hook = g_hook.load();
  if (!hook) return next(thread, attributes, routine, argument);
  auto* start = new (std::nothrow) ThreadStart{routine, argument, hook, generation};
  if (!start) return next(thread, attributes, routine, argument);
  const int result = next(thread, attributes, startWithHook, start);
  if (result != 0) delete start;
  return result;
}
