// The one pool of worker threads under every queue. It grows when work waits and no worker is
// free (a worker blocked in a sync or a wait is not free), up to a high cap, and idle workers
// retire after a while.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>

namespace platform::detail {

class WorkerPool {
 public:
  static constexpr int kMaxThreads = 64;

  static WorkerPool& shared();
  void push(std::function<void()> work);

 private:
  WorkerPool() = default;
  void workerMain();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> items_;
  int threads_ = 0;
  std::size_t idle_ = 0;
};

// A block that escaped with an exception on a worker: nothing can catch it there, so the process
// stops with the exception's name and reason rather than losing it silently.
[[noreturn]] void terminateWithUncaught(std::exception_ptr error, const char* where);

}  // namespace platform::detail
