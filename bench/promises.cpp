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

// Prints the usual table, then how many times each ceiling's time the promise chain takes (the
// medians when the runs are repeated).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") medians_[name] = run.GetAdjustedRealTime();
      } else if (run.iterations > 0) {
        single_.emplace(name, run.GetAdjustedRealTime());
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double promises = time("BM_PromiseThenChain");
    for (const char* ceiling : {"BM_PlainAsyncSteps", "BM_PlainAsyncChainedSteps"}) {
      const double plain = time(ceiling);
      if (promises > 0 && plain > 0) std::printf("promise chain / %s: %.2fx\n", ceiling, promises / plain);
    }
  }

 private:
  double time(const std::string& name) const {
    if (auto it = medians_.find(name); it != medians_.end()) return it->second;
    if (auto it = single_.find(name); it != single_.end()) return it->second;
    return 0;
  }
  std::map<std::string, double> medians_;
  std::map<std::string, double> single_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
