// A chain of 1,000 `then` steps on a private serial queue, built and resolved once per iteration,
// against the same 1,000 steps as plain async blocks on that queue (the ceiling), in two shapes:
// all submitted at once, and each submitted by the step before it, which is the order a chain
// imposes. The ratios are what to watch; the target is at most 3x.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "sdk/utilities/promises/vbl_promise.h"
#include "bench/support/measuring_reporter.h"

namespace {

constexpr int kSteps = 1'000;
constexpr int kIterations = 1'000;

std::shared_ptr<platform::DispatchQueue> benchQueue() {
  static auto queue = platform::DispatchQueue::serial("bench.promises");
  return queue;
}

void BM_PromiseThenChain(benchmark::State& state) {
  auto queue = benchQueue();
  for (auto _ : state) {
    auto root = VBLPromise<int>::pendingPromise();
    VBLPromise<int>::Ptr last = root;
    for (int i = 0; i < kSteps; ++i) last = last->then(queue, [](int v) { return v + 1; });
    platform::DispatchSemaphore done;
    int result = 0;
    last->observeOnQueue(
        queue,
        [&](int v) {
          result = v;
          done.signal();
        },
        [&](const platform::Error&) { done.signal(); });
    root->fulfill(0);
    done.wait();
    if (result != kSteps) state.SkipWithError("the chain lost a step");
  }
  state.SetItemsProcessed(state.iterations() * kSteps);
}
BENCHMARK(BM_PromiseThenChain)->Iterations(kIterations)->Unit(benchmark::kMicrosecond);

void BM_PlainAsyncSteps(benchmark::State& state) {
  auto queue = benchQueue();
  for (auto _ : state) {
    int value = 0;
    for (int i = 0; i < kSteps; ++i) queue->async([&value] { value += 1; });
    platform::DispatchSemaphore done;
    queue->async([&done] { done.signal(); });
    done.wait();
    if (value != kSteps) state.SkipWithError("a block was lost");
  }
  state.SetItemsProcessed(state.iterations() * kSteps);
}
BENCHMARK(BM_PlainAsyncSteps)->Iterations(kIterations)->Unit(benchmark::kMicrosecond);

void BM_PlainAsyncChainedSteps(benchmark::State& state) {
  auto queue = benchQueue();
  for (auto _ : state) {
    int value = 0;
    platform::DispatchSemaphore done;
    std::function<void()> step = [&] {
      if (++value == kSteps) {
        done.signal();
      } else {
        queue->async([&step] { step(); });
      }
    };
    queue->async([&step] { step(); });
    done.wait();
    if (value != kSteps) state.SkipWithError("a block was lost");
  }
  state.SetItemsProcessed(state.iterations() * kSteps);
}
BENCHMARK(BM_PlainAsyncChainedSteps)->Iterations(kIterations)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter& r) {
    const double promises = r.time("BM_PromiseThenChain");
    for (const char* ceiling : {"BM_PlainAsyncSteps", "BM_PlainAsyncChainedSteps"}) {
      const double plain = r.time(ceiling);
      if (promises > 0 && plain > 0) std::printf("promise chain / %s: %.2fx\n", ceiling, promises / plain);
    }
  });
}
