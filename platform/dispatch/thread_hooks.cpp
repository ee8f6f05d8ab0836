#include "platform/dispatch/thread_hooks.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

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

}  // namespace

void setWorkerStartHook(ThreadStartHook hook) {
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
