// 100,000 loop iterations of an event-editing program doing arithmetic and property access
// (s = s + o.k * i % 7; o.k = i), against the interpreter's own evaluation of an empty loop of
// the same count in the same run; reports steps per second. The step budget of one run is
// 1,000,000, so the loop runs as ten runs of 10,000 iterations with the budget reset between.
//
// Then the worst cases of built-ins: one event's whole step budget spent on calls that each touch
// a million array slots or megabytes of text, against the same budget spent by a plain loop,
// measured in the same run. Built-ins are charged by the slots and code units they touch, and
// regular-expression matches by the places and steps their engine reports, so that no program
// holds the worker queue much longer than the plain loop does; the summary prints each case's
// ratio and the worst. Matches whose steps go unreported run up to about one budget's time more,
// which the run's allowance for unseen work permits.
//
// By hand, the same computation in node (v20, this machine): about 0.4 ms for 100,000
// iterations; the interpreter is an AST walker over shared values and is expected to be two to
// three orders of magnitude slower, which still leaves a typical editing callback (tens to
// hundreds of steps) well under a millisecond.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bench/support/measuring_reporter.h"
#include "platform/foundation/error.h"
#include "sdk/analytics/script/apmp_command_registrar.h"
#include "sdk/analytics/script/apmp_container_values.h"
#include "sdk/analytics/script/apmp_errors.h"
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

APMPValuePtr call(APMPValuePtr target, const char* method, APMPArguments arguments) {
  return st("2", {std::move(target), str(method), st("7", std::move(arguments))});
}
APMPValuePtr declare(const char* name, APMPValuePtr value) {
  return st("5", {st("46", {st("41", {str(name)}), st("3", {str(name), std::move(value)})})});
}
// while (true) { body }
APMPValuePtr forever(APMPArguments body) {
  return st("42", {APMPBooleanValue::booleanValueWithBool(true), st("44", {}), APMPBooleanValue::booleanValueWithBool(false),
                   st("46", std::move(body))});
}

// "(a|aa)+$" tried on this works just below the engine's first report of its steps, so the
// match's own work goes unseen.
constexpr const char* kNearlyCatastrophicText = "aaaaaaaaaaaaaa!";

// a: a million holes; s: 2^21 "a"; w: its first 2^16 units and u a copy of them; t: 99 "a" then
// "b", which matches w up to its last unit at every place; o: a map; f: an empty function.
APMPArguments worstCasePrelude() {
  return {
      declare("a", st("7", {})),
      st("43", {var("a"), str("length"), num(1048575)}),
      declare("s", str("a")),
      declare("i", num(0)),
      st("42", {st("23", {var("i"), num(21)}), st("3", {str("i"), st("0", {var("i"), num(1)})}),
                APMPBooleanValue::booleanValueWithBool(false), st("46", {st("3", {str("s"), st("0", {var("s"), var("s")})})})}),
      declare("w", call(var("s"), "slice", {num(0), num(65536)})),
      declare("u", call(var("w"), "slice", {num(0)})),
      declare("t", st("0", {call(var("s"), "slice", {num(0), num(99)}), str("b")})),
      declare("o", st("8", {})),
      declare("f", st("51", {str(""), st("7", {})})),
      declare("m", str(kNearlyCatastrophicText)),
  };
}

// One event: the prelude, then the body until the budget runs out.
void runUntilTheBudgetEnds(benchmark::State& state, APMPArguments body) {
  APMPArguments program = worstCasePrelude();
  program.push_back(forever(std::move(body)));
  for (auto _ : state) {
    APMPRuntimeHeap heap;
    const APMPScopePtr global = heap.rootScope()->createChildScope();
    platform::Error error;
    APMPEvaluator::executeStatements(program, global, &error);
    // A case that ends before its budget is spent (a limit of another kind) shows nothing.
    if (error.code() != kAPMPErrorLimitReached || heap.instructionCount() < APMPRunState::kStepLimit) {
      state.SkipWithError("the program did not spend its budget");
    }
  }
}

const std::vector<std::pair<std::string, APMPArguments>>& worstCases() {
  static const std::vector<std::pair<std::string, APMPArguments>> cases = {
      {"plain loop", {}},
      {"array slice", {call(var("a"), "slice", {num(0)})}},
      {"array join", {call(var("a"), "join", {str("")})}},
      {"array indexOf", {call(var("a"), "indexOf", {num(1)})}},
      {"array lastIndexOf", {call(var("a"), "lastIndexOf", {num(1)})}},
      {"array concat", {call(var("a"), "concat", {})}},
      {"array reverse", {call(var("a"), "reverse", {})}},
      {"array splice", {call(var("a"), "splice", {num(0), num(0), num(1)}), call(var("a"), "pop", {})}},
      {"array unshift and shift", {call(var("a"), "unshift", {num(1)}), call(var("a"), "shift", {})}},
      {"array sort", {call(var("a"), "sort", {})}},
      {"array forEach", {call(var("a"), "forEach", {var("f")})}},
      {"array reduce", {call(var("a"), "reduce", {var("f"), num(0)})}},
      {"for-in over an array", {st("47", {str("k"), var("a"), st("46", {})})}},
      {"for-of over an array", {st("64", {str("k"), var("a"), st("46", {st("4", {})})})}},
      {"text indexOf", {call(var("w"), "indexOf", {var("t")})}},
      {"text lastIndexOf", {call(var("w"), "lastIndexOf", {var("t")})}},
      {"text replace", {call(var("w"), "replace", {var("t"), str("")})}},
      {"text split", {call(var("w"), "split", {str("b")})}},
      {"text slice", {call(var("w"), "slice", {num(1)})}},
      {"text toUpperCase", {call(var("w"), "toUpperCase", {})}},
      {"text trim", {call(var("w"), "trim", {})}},
      // Matches whose steps the engine never reports, one that backtracks until the budget is
      // spent, a scan of a wide text, and ordinary ones.
      {"text match below the engine's report", {call(var("m"), "match", {str("(a|aa)+$")})}},
      {"text match, catastrophic", {call(str("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!"), "search", {str("(a+)+$")})}},
      {"text search over a wide text", {call(var("w"), "search", {str("ab")})}},
      {"text search, ordinary", {call(str("promo_150_summer"), "search", {str("^promo_[0-9]+_[a-z]+$")})}},
      {"text equality", {st("12", {var("w"), var("u")})}},
      {"text order", {st("23", {var("w"), var("u")})}},
      {"text to number", {st("26", {var("w"), num(1)})}},
      {"text as a property name", {st("16", {var("o"), var("w")})}},
  };
  return cases;
}

}  // namespace

int main(int argc, char** argv) {
  for (const auto& [name, body] : worstCases()) {
    benchmark::RegisterBenchmark(("BM_Budget/" + name).c_str(), [body = body](benchmark::State& state) {
      runUntilTheBudgetEnds(state, body);
    })->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
  }
  return bench::runBenchmarks(argc, argv, [](const bench::MeasuringReporter& r) {
    const double work = r.time("BM_ArithmeticAndPropertyLoop"), empty = r.time("BM_EmptyLoop");
    if (empty > 0) {
      std::printf("100,000 iterations: %.2f M steps/s with arithmetic and property access, %.2f M steps/s empty; "
                  "time ratio against the empty loop %.2fx\n",
                  r.rate("BM_ArithmeticAndPropertyLoop") / 1e6, r.rate("BM_EmptyLoop") / 1e6, work / empty);
    }
    const double plain = r.time("BM_Budget/plain loop");
    if (plain <= 0) return;
    std::string worstName;
    double worst = 0;
    for (const auto& [name, body] : worstCases()) {
      const double ratio = r.time("BM_Budget/" + name) / plain;
      if (name == "plain loop" || ratio <= 0) continue;
      std::printf("one event's budget spent on %s: %.2fx the plain million-step loop\n", name.c_str(), ratio);
      if (ratio > worst) worst = ratio, worstName = name;
    }
    std::printf("worst case (%s): %.2fx the time of a plain million-step loop (%.0f ms)\n", worstName.c_str(), worst,
                plain);
  });
}
