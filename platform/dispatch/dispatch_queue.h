// Dispatch queues: serial and concurrent queues over one shared pool of worker threads
// (no thread per queue), the main queue drained by the main run loop, and global queues by
// quality of service. Serial queues run one block at a time in strict FIFO order.
#pragma once

#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/foundation/thread_safety.h"

namespace platform {

enum class QualityOfService { Background, Utility, Default, UserInitiated, UserInteractive };

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  using Block = std::function<void()>;

  static std::shared_ptr<DispatchQueue> serial(std::string label, std::shared_ptr<DispatchQueue> target = nullptr);
  static std::shared_ptr<DispatchQueue> concurrent(std::string label,
                                                   std::shared_ptr<DispatchQueue> target = nullptr);
  static std::shared_ptr<DispatchQueue> main();
  static std::shared_ptr<DispatchQueue> global(QualityOfService qos = QualityOfService::Default);

  virtual ~DispatchQueue() = default;
  virtual const std::string& label() const = 0;
  virtual bool isSerial() const = 0;

  virtual void async(Block block) = 0;
  // Runs the block and waits for it. A sync onto a serial queue that this thread is already
  // running (directly or through target queues) throws platform::Exception instead of hanging.
  virtual void sync(const Block& block) = 0;
  // After `seconds` on the platform clock, the block is submitted to this queue.
  virtual void after(double seconds, Block block) = 0;
  // On a concurrent queue: waits until earlier blocks finish and runs alone. On a serial queue
  // these are plain async/sync.
  virtual void barrierAsync(Block block) = 0;
  virtual void barrierSync(const Block& block) = 0;
  // Suspension stops blocks that have not started; counts nest.
  virtual void suspend() = 0;
  virtual void resume() = 0;

  template <class F>
  auto syncResult(F&& f) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    if constexpr (std::is_void_v<R>) {
      sync(std::forward<F>(f));
    } else {
      std::optional<R> result;
      sync([&] { result.emplace(f()); });
      return std::move(*result);
    }
  }

  // True when this thread is running a block of this queue (directly or through a queue that
  // targets it).
  virtual bool isCurrent() const = 0;
  // The innermost queue whose block runs on this thread, or null.
  static std::shared_ptr<DispatchQueue> current();
  // True on the designated main thread.
  static bool isMainThread();
};

// Dispatch groups: enter/leave counting, notify when empty, wait with a time-out in real seconds.
class DispatchGroup : public std::enable_shared_from_this<DispatchGroup> {
 public:
  static std::shared_ptr<DispatchGroup> make();
  virtual ~DispatchGroup() = default;
  virtual void enter() = 0;
  virtual void leave() = 0;
  virtual void async(const std::shared_ptr<DispatchQueue>& queue, DispatchQueue::Block block) = 0;
  virtual void notify(const std::shared_ptr<DispatchQueue>& queue, DispatchQueue::Block block) = 0;
  // True when the group emptied before the time-out. On the main thread the main queue keeps
  // being drained while waiting, except inside a main-queue block: that one stays the only block
  // running, in order, unless the clock is manual (tests), where the nested drain lets work that
  // the group waits for run on the test thread.
  virtual bool wait(double timeoutSeconds = std::numeric_limits<double>::infinity()) = 0;
};

// A counting semaphore; wait time-outs are real seconds.
class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(long value = 0);
  ~DispatchSemaphore();
  DispatchSemaphore(const DispatchSemaphore&) = delete;
  DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;
  bool wait(double timeoutSeconds = std::numeric_limits<double>::infinity());  // false on time-out
  void signal();

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// Blocks the calling thread for `seconds` of the platform clock (a timer wakes it). Under the
// manual clock the sleeper does not count as work in flight, so a test can advance virtual time
// past it; it counts again from the moment its timer fires.
void sleepOnClock(double seconds);

// Runs a block once per token; `reset` is for tests that need a singleton made anew.
class DispatchOnce {
 public:
  void call(const std::function<void()>& block);
  void reset();

 private:
  Mutex mutex_;
  std::atomic<bool> done_{false};
};

}  // namespace platform
