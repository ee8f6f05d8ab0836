// One million empty blocks on a global queue, against its ceiling: a plain pool of as many
// threads as CPUs sharing one mutex, one condition variable and one deque, in the same run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/support/measuring_reporter.h"
#include "platform/dispatch/dispatch_queue.h"

namespace {

constexpr int kBlocks = 1'000'000;

class PlainPool {
 public:
  PlainPool() {
    const unsigned n = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < n; ++i) threads_.emplace_back([this] { work(); });
  }
  ~PlainPool() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
  }

  void push(std::function<void()> block) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(block));
    }
    wake_.notify_one();
  }

 private:
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || !items_.empty(); });
      if (items_.empty()) return;
      auto block = std::move(items_.front());
      items_.pop_front();
      lock.unlock();
      block();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> items_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// Submits the blocks and waits until the last one has run.
template <class Submit>
void runBlocks(Submit&& submit) {
  std::atomic<int> left{kBlocks};
  platform::DispatchSemaphore done;
  for (int i = 0; i < kBlocks; ++i) {
    submit([&] {
      if (left.fetch_sub(1, std::memory_order_acq_rel) == 1) done.signal();
    });
  }
  done.wait();
}

void BM_PlainPool(benchmark::State& state) {
  PlainPool pool;
  for (auto _ : state) runBlocks([&](std::function<void()> block) { pool.push(std::move(block)); });
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_PlainPool)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GlobalQueue(benchmark::State& state) {
  auto queue = platform::DispatchQueue::global();
  for (auto _ : state) runBlocks([&](std::function<void()> block) { queue->async(std::move(block)); });
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_GlobalQueue)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter& r) {
    const double plain = r.rate("BM_PlainPool"), global = r.rate("BM_GlobalQueue");
    if (plain <= 0) return;
    std::printf("global queue: %.2f M blocks/s, plain pool: %.2f M blocks/s, ratio %.0f%% (target: at least 100%%)\n",
                global / 1e6, plain / 1e6, 100 * global / plain);
  });
}
