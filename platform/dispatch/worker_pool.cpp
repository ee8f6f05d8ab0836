#include "platform/dispatch/worker_pool.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "platform/dispatch/thread_hooks.h"
#include "platform/foundation/exception.h"

namespace platform::detail {

namespace {
constexpr auto kIdleRetire = std::chrono::seconds(10);
}

WorkerPool& WorkerPool::shared() {
  // Never destroyed: detached workers may still wait on it while the process exits.
  static WorkerPool* pool = new WorkerPool;
  return *pool;
}

void WorkerPool::push(std::function<void()> work) {
  bool spawn = false;
  {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(work));
    if (idle_ < items_.size() && threads_ < kMaxThreads) {
      ++threads_;
      spawn = true;
    }
  }
  wake_.notify_one();
  if (!spawn) return;
  try {
    std::thread([this] { workerMain(); }).detach();
  } catch (const std::system_error& e) {
    std::lock_guard lock(mutex_);
    --threads_;
    if (threads_ == 0) {
      std::fprintf(stderr, "dispatch: cannot start a worker thread (%s); queued work can never run\n", e.what());
      std::abort();
    }
  }
}

void WorkerPool::workerMain() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!items_.empty()) {
      auto work = std::move(items_.front());
      items_.pop_front();
      lock.unlock();
      dispatch::detail::prepareWorkerThread();
      try {
        work();
      } catch (...) {
        terminateWithUncaught(std::current_exception(), "a worker thread");
      }
      work = nullptr;
      lock.lock();
      continue;
    }
    ++idle_;
    const bool woke = wake_.wait_for(lock, kIdleRetire, [&] { return !items_.empty(); });
    --idle_;
    if (!woke) {
      --threads_;
      return;
    }
  }
}

void terminateWithUncaught(std::exception_ptr error, const char* where) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    std::fprintf(stderr, "*** uncaught exception on %s: %s: %s\n", where, e.name().c_str(), e.reason().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "*** uncaught exception on %s: %s\n", where, e.what());
  } catch (...) {
    std::fprintf(stderr, "*** uncaught exception of unknown type on %s\n", where);
  }
  std::fflush(stderr);
  std::abort();
}

}  // namespace platform::detail
