// A serial queue's async-and-drain of one million empty blocks, against its ceiling: a bare
// hand-off queue (one consumer thread, a mutex and a condition variable) in the same run.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "bench/support/measuring_reporter.h"

namespace {

constexpr int kBlocks = 1'000'000;

class BareHandoffQueue {
 public:
  BareHandoffQueue() : consumer_([this] { consume(); }) {}
  ~BareHandoffQueue() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    consumer_.join();
  }

  void push(std::function<void()> block) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(block));
    }
    wake_.notify_one();
  }

 private:
  void consume() {
    std::vector<std::function<void()>> batch;
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || !items_.empty(); });
      if (items_.empty()) return;
      batch.swap(items_);
      lock.unlock();
      for (auto& block : batch) block();
      batch.clear();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::function<void()>> items_;
  bool stopping_ = false;
  std::thread consumer_;
};

void BM_BareHandoffQueue(benchmark::State& state) {
  BareHandoffQueue queue;
  for (auto _ : state) {
    platform::DispatchSemaphore done;
    for (int i = 0; i < kBlocks - 1; ++i) queue.push([] {});
    queue.push([&] { done.signal(); });
    done.wait();
  }
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_BareHandoffQueue)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SerialQueueAsyncDrain(benchmark::State& state) {
  auto queue = platform::DispatchQueue::serial("bench.serial");
  for (auto _ : state) {
    platform::DispatchSemaphore done;
    for (int i = 0; i < kBlocks - 1; ++i) queue->async([] {});
    queue->async([&] { done.signal(); });
    done.wait();
  }
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_SerialQueueAsyncDrain)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter& r) {
    const double bare = r.rate("BM_BareHandoffQueue"), serial = r.rate("BM_SerialQueueAsyncDrain");
    if (bare <= 0) return;
    std::printf("serial queue: %.1f M blocks/s, bare hand-off: %.1f M blocks/s, ratio %.0f%% (target: at least 50%%)\n",
                serial / 1e6, bare / 1e6, 100 * serial / bare);
  });
}
