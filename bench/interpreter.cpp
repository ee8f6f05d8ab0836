// 100,000 loop iterations of an event-editing program doing arithmetic and property access
// (s = s + o.k * i % 7; o.k = i), against the interpreter's own evaluation of an empty loop of
// the same count in the same run; reports steps per second. The step budget of one run is
// 1,000,000, so the loop runs as ten runs of 10,000 iterations with the budget reset between.
//
// By hand, the same computation in node (v20, this machine): about 0.4 ms for 100,000
// iterations; the interpreter is an AST walker over shared values and is expected to be two to
// three orders of magnitude slower, which still leaves a typical editing callback (tens to
// hundreds of steps) well under a millisecond.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench/support/measuring_reporter.h"
#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_command_registrar.h"
#include "sdk/analytics/script/apmp_container_values.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_run_state.h"
#include "sdk/analytics/script/apmp_scope.h"

namespace {

constexpr int kChunks = 10;
constexpr double kChunkIterations = 10'000;

APMPValuePtr st(const char* name, APMPArguments arguments) {
  return APMPStatementValue::initWithFunctionName(APMPText(name), std::move(arguments));
}
APMPValuePtr num(double d) { return APMPNumberValue::make(d); }
APMPValuePtr str(const char* s) { return APMPStringValue::make(APMPText(s)); }
APMPValuePtr var(const char* name) { return st("15", {str(name)}); }

// for (let i = 0; i < n; i = i + 1) { body }
APMPValuePtr countedLoop(APMPArguments body) {
  return st("53", {st("41", {str("i")}), st("3", {str("i"), num(0)}),
                   st("63", {st("7", {str("i")}), st("23", {var("i"), num(kChunkIterations)}),
                             st("3", {str("i"), st("0", {var("i"), num(1)})}), st("46", std::move(body))})});
}

void runLoop(benchmark::State& state, const APMPValuePtr& program) {
  std::uint64_t steps = 0;
  for (auto _ : state) {
    APMPRuntimeHeap heap;
    const APMPScopePtr global = heap.rootScope()->createChildScope();
    global->addValue(num(0), u"s");
    const auto object = APMPMapValue::make();
    object->setValue(num(3), u"k");
    global->addValue(object, u"o");
    for (int chunk = 0; chunk < kChunks; ++chunk) {
      heap.resetInstructionCount();
      platform::Error error;
      APMPEvaluator::evaluateStatement(program, global, &error);
      if (error) state.SkipWithError("the loop failed");
      steps += heap.instructionCount();
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(steps));
}

void BM_ArithmeticAndPropertyLoop(benchmark::State& state) {
  // s = s + o.k * i % 7; o.k = i
  const APMPValuePtr body = st("3", {str("s"), st("0", {var("s"), st("25", {st("26", {st("16", {var("o"), str("k")}), var("i")}), num(7)})})});
  const APMPValuePtr write = st("43", {var("o"), str("k"), var("i")});
  runLoop(state, countedLoop({body, write}));
}
BENCHMARK(BM_ArithmeticAndPropertyLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EmptyLoop(benchmark::State& state) { runLoop(state, countedLoop({})); }
BENCHMARK(BM_EmptyLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter& r) {
    const double work = r.time("BM_ArithmeticAndPropertyLoop"), empty = r.time("BM_EmptyLoop");
    if (empty <= 0) return;
    std::printf("100,000 iterations: %.2f M steps/s with arithmetic and property access, %.2f M steps/s empty; "
                "time ratio against the empty loop %.2fx\n",
                r.rate("BM_ArithmeticAndPropertyLoop") / 1e6, r.rate("BM_EmptyLoop") / 1e6, work / empty);
  });
}
