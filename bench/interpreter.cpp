// 100,000 loop iterations of an event-editing program doing arithmetic and property access
// (s = s + o.k * i % 7; o.k = i), against the interpreter's own evaluation of an empty loop of
// the same count in the same run; reports steps per second. The step budget of one run is
// 1,000,000, so the loop runs as ten runs of 10,000 iterations with the budget reset between.
//
// Then the worst cases of built-ins: one event's whole step budget spent on calls that each touch
// a million array slots or megabytes of text, against the same budget spent by a plain loop,
// measured in the same run. Built-ins are charged by the slots and code units they touch, and
// regular-expression matches by what compiling builds (or its CPU time where that is far more),
// the engine's steps, the places tried and the text their loops scan or read far, so that no
// program holds the worker queue much longer than the plain loop does; the summary prints each
// case's ratio and the worst, which must stay below 3x. Among them are patterns whose compiling
// (a case-insensitive set closed over its case variants, property look-ups, a new pattern each
// call) or whose loops' scans over 2^20 units the engine's own counts do not show.
//
// The regular-expression prices come from the calibration printed last: an engine step's time
// (a catastrophic match, the pattern's operations between steps included), a code unit's read
// far into the text (a lookahead reading a long text in pieces) or scanned by a loop, and a
// microsecond of CPU time, each against an interpreter step's time in the plain loop; the
// committed prices are printed beside them. Catastrophic matches must end with error 18 well
// within 0.1 s; ordinary ones must fit a thousand to an event.
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
#include "platform/foundation/regular_expression.h"
#include "sdk/analytics/script/apmp_command_registrar.h"
#include "sdk/analytics/script/apmp_container_values.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_run_state.h"
#include "sdk/analytics/script/apmp_scope.h"
#include "sdk/analytics/script/apmp_string_commands.h"

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

// "(a|aa)+$" tried on this works just below the engine's first block of steps, the most a match
// does between two chances to stop it.
constexpr const char* kNearlyCatastrophicText = "aaaaaaaaaaaaaa!";
// A lookahead at every place of these reads the rest of it: across pieces, and within one.
constexpr const char* kFarReadingText = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa1";
constexpr const char* kFarReadingPiece = "aaaaaaaaaaaaaaa1";

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
      declare("r", str(kFarReadingText)),
      declare("q", str(kFarReadingPiece)),
      // p: 999 "a" then "1"; e: an address; l: 2^20 "a".
      declare("p", st("0", {call(var("s"), "slice", {num(0), num(999)}), str("1")})),
      declare("e", str("john.smith42@example.com")),
      declare("l", call(var("s"), "slice", {num(0), num(1048576)})),
      // k: 64 times 15 "a" and "!".
      declare("k", str("")),
      st("42", {st("23", {call(var("k"), "indexOf", {str("!"), num(1008)}), num(0)}), st("44", {}),
                APMPBooleanValue::booleanValueWithBool(false), st("46", {st("3", {str("k"), st("0", {var("k"), str("aaaaaaaaaaaaaaa!")})})})}),
  };
}

// Searches "a" for the pattern with the count appended, so that each call compiles a new one.
APMPArguments searchWithANewPattern(const char* pattern) {
  return {st("3", {str("i"), st("0", {var("i"), num(1)})}),
          call(str("a"), "search", {st("0", {str(pattern), var("i")})})};
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
      {"text match just below a block of engine steps", {call(var("m"), "match", {str("(a|aa)+$")})}},
      {"text match reading far at every engine step", {call(var("r"), "match", {str("(?:(?=.*1).)*$")})}},
      {"text match reading far within one piece", {call(var("q"), "match", {str("(?:(?=.*1).)*$")})}},
      {"text match reading far, long text", {call(var("p"), "match", {str("(?:(?=.*1).)*$")})}},
      {"text match, catastrophic", {call(str("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!"), "search", {str("(a+)+$")})}},
      {"text match, address", {call(var("e"), "match", {str("^[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,}$")})}},
      {"text match, password rule over 1,000 units", {call(var("p"), "match", {str("^(?=.*[0-9])(?=.*[a-z]).{8,}$")})}},
      {"text search over a wide text", {call(var("w"), "search", {str("ab")})}},
      {"text search, ordinary", {call(str("promo_150_summer"), "search", {str("^promo_[0-9]+_[a-z]+$")})}},
      // Patterns whose compiling, or whose loops' scans, the engine's counts do not show.
      {"text search (?i)[\\p{L}\\p{N}] in \"a\"", {call(str("a"), "search", {str("(?i)[\\p{L}\\p{N}]")})}},
      {"text search (?i)[\\p{L}\\p{N}] in \"a\", a new pattern each call", searchWithANewPattern("(?i)[\\p{L}\\p{N}]")},
      {"text search [a-z]*$ over 2^20 units", {call(var("l"), "search", {str("[a-z]*$")})}},
      {"text search .*$ over 2^20 units", {call(var("l"), "search", {str(".*$")})}},
      {"text search (?i)[\\u0000-\\uffff], a new pattern each call", searchWithANewPattern("(?i)[\\u0000-\\uffff]")},
      {"text search of seven \\p{..} classes, a new pattern each call",
       searchWithANewPattern("[\\p{L}\\p{N}\\p{P}\\p{S}\\p{Z}\\p{M}\\p{C}]")},
      {"text search [[\\p{L}]&&[\\p{Ll}]--[b-z]], a new pattern each call", searchWithANewPattern("[[\\p{L}]&&[\\p{Ll}]--[b-z]]")},
      {"text search of script properties, a new pattern each call",
       searchWithANewPattern("[\\p{Script=Greek}\\p{Script=Latin}\\p{Script=Cyrillic}\\p{scx=Han}]")},
      {"text search [\\p{Any}--[a-z]], a new pattern each call", searchWithANewPattern("[\\p{Any}--[a-z]]")},
      {"text search (?i)\\p{Any}, a new pattern each call", searchWithANewPattern("(?i)\\p{Any}")},
      {"text search (?i)(a+)\\1x over 1,000 units", {call(var("p"), "search", {str("(?i)(a+)\\1x")})}},
      {"text search whose loop scans within a piece at each step", {call(var("k"), "search", {str("(?:a*!)*x")})}},
      {"text equality", {st("12", {var("w"), var("u")})}},
      {"text order", {st("23", {var("w"), var("u")})}},
      {"text to number", {st("26", {var("w"), num(1)})}},
      {"text as a property name", {st("16", {var("o"), var("w")})}},
  };
  return cases;
}

// One match of a hostile pattern as the whole event: it must end with error 18.
const std::vector<std::pair<std::string, std::pair<std::string, std::string>>>& catastrophicMatches() {
  static const std::vector<std::pair<std::string, std::pair<std::string, std::string>>> cases = {
      {"(a+)+$ over 30", {"(a+)+$", std::string(30, 'a') + "!"}},
      {"(a+)+$ over 60", {"(a+)+$", std::string(60, 'a') + "!"}},
      {"(a|aa)+$ over 40", {"(a|aa)+$", std::string(40, 'a') + "!"}},
      {"(a|aa)+$ over 60", {"(a|aa)+$", std::string(60, 'a') + "!"}},
      {"(.*a){20}x over 30", {"(.*a){20}x", std::string(30, 'a')}},
      {"(.*a){20}x over 60", {"(.*a){20}x", std::string(60, 'a')}},
  };
  return cases;
}

void runOneMatch(benchmark::State& state, const std::string& pattern, const std::string& text) {
  const APMPArguments program = {call(str(text.c_str()), "search", {str(pattern.c_str())})};
  for (auto _ : state) {
    APMPRuntimeHeap heap;
    const APMPScopePtr global = heap.rootScope()->createChildScope();
    platform::Error error;
    APMPEvaluator::executeStatements(program, global, &error);
    if (error.code() != kAPMPErrorLimitReached) state.SkipWithError("the match did not end with error 18");
  }
}

// The engine alone, for the calibration: items are engine steps, or code units read.
void BM_EngineSteps(benchmark::State& state) {
  const std::u16string text = std::u16string(24, u'a') + u"!";
  std::uint64_t steps = 0;
  for (auto _ : state) {
    platform::Error error;
    platform::firstMatchOfRegularExpression(u"(a|aa)+$", text, {0, 1 << 20}, &error,
                                            [&](const platform::RegularExpressionWork& w) {
                                              steps += w.steps + w.places;
                                              return true;
                                            });
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(steps));
}
BENCHMARK(BM_EngineSteps)->Unit(benchmark::kMillisecond)->UseRealTime();

// Steps that each run a long pattern's operations: 40 classes in each of two alternatives.
const std::u16string& longPattern() {
  static const std::u16string pattern = [] {
    std::u16string classes;
    for (int i = 0; i < 40; ++i) classes += u"[a-z]";
    return u"(?:" + classes + u"|" + classes + u")+$";
  }();
  return pattern;
}

void BM_EngineStepsOfALongPattern(benchmark::State& state) {
  const std::u16string& pattern = longPattern();
  const std::u16string text = std::u16string(400, u'a') + u"!";
  std::uint64_t steps = 0;
  for (auto _ : state) {
    platform::Error error;
    platform::firstMatchOfRegularExpression(pattern, text, {0, 1 << 20}, &error,
                                            [&](const platform::RegularExpressionWork& w) {
                                              steps += w.steps + w.places;
                                              return true;
                                            });
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(steps));
}
BENCHMARK(BM_EngineStepsOfALongPattern)->Unit(benchmark::kMillisecond)->UseRealTime();

// Places tried along a wide text that never match: items are places.
void BM_EnginePlaces(benchmark::State& state) {
  std::u16string text;
  for (int i = 0; i < 20000; ++i) text += u"ab ";
  std::uint64_t places = 0;
  for (auto _ : state) {
    platform::Error error;
    platform::firstMatchOfRegularExpression(u"item_[0-9]+", text, {0, 1 << 20}, &error,
                                            [&](const platform::RegularExpressionWork& w) {
                                              places += w.places;
                                              return true;
                                            });
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(places));
}
BENCHMARK(BM_EnginePlaces)->Unit(benchmark::kMillisecond)->UseRealTime();

// A lookahead at every place reads the rest of a long text in pieces: items are code units read.
void BM_EngineFarReads(benchmark::State& state) {
  const std::u16string text = std::u16string(4000, u'a') + u"1";
  std::uint64_t reads = 0;
  for (auto _ : state) {
    platform::Error error;
    platform::firstMatchOfRegularExpression(u"(?:(?=[^1]*1).)*$", text, {0, 1 << 20, APMPRegularExpressionPrices::kReadPiece}, &error,
                                            [](const platform::RegularExpressionWork&) { return true; });
    reads += text.size() * (text.size() + 1) / 2;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(reads));
}
BENCHMARK(BM_EngineFarReads)->Unit(benchmark::kMillisecond)->UseRealTime();

// A loop scans a long text in pieces, to its end at the first place: items are code units read.
void BM_EngineScans(benchmark::State& state) {
  const std::u16string text(1 << 16, u'a');
  std::uint64_t reads = 0;
  for (auto _ : state) {
    platform::Error error;
    platform::firstMatchOfRegularExpression(u"[a-z]*$", text, {0, 1 << 20, APMPRegularExpressionPrices::kReadPiece}, &error,
                                            [](const platform::RegularExpressionWork&) { return true; });
    reads += text.size();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(reads));
}
BENCHMARK(BM_EngineScans)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  for (const auto& [name, match] : catastrophicMatches()) {
    benchmark::RegisterBenchmark(("BM_Catastrophic/" + name).c_str(), [match = match](benchmark::State& state) {
      runOneMatch(state, match.first, match.second);
    })->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
  }
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
    for (const auto& [name, match] : catastrophicMatches()) {
      std::printf("catastrophic %s: error 18 after %.1f ms\n", name.c_str(), r.time("BM_Catastrophic/" + name));
    }
    // Time per item in units of an interpreter step's time, priced in code units (64 a step).
    const double stepTime = r.rate("BM_EmptyLoop") > 0 ? 1e3 / r.rate("BM_EmptyLoop") : 0;
    const auto inCodeUnits = [&](const char* name) {
      const double rate = r.rate(name);
      return rate > 0 && stepTime > 0 ? 1e3 / rate / stepTime * APMPRunState::kCodeUnitsPerStep : 0;
    };
    const double engineStep = inCodeUnits("BM_EngineSteps"), longStep = inCodeUnits("BM_EngineStepsOfALongPattern");
    using Prices = APMPRegularExpressionPrices;
    std::printf("regex calibration (code units of work, %llu make an interpreter step of %.1f ns): an engine step "
                "%.2f, and %.3f more per unit of the pattern; a place %.2f; a code unit read far %.3f, scanned %.3f; "
                "a microsecond of CPU time %.0f. Committed: %.2f, %.3f, %.2f, %.3f (a step's reads in a piece charged "
                "at %.3f of it), %.0f\n",
                static_cast<unsigned long long>(APMPRunState::kCodeUnitsPerStep), stepTime * 1e6, engineStep,
                (longStep - engineStep) / static_cast<double>(longPattern().size()), inCodeUnits("BM_EnginePlaces"),
                inCodeUnits("BM_EngineFarReads"), inCodeUnits("BM_EngineScans"),
                stepTime > 0 ? 1e-3 / stepTime * APMPRunState::kCodeUnitsPerStep : 0, Prices::kEngineStep,
                Prices::kEngineStepPerPatternUnit, Prices::kEnginePlace, Prices::kEngineRead,
                Prices::kChargedShareOfReads, Prices::kPerMicrosecond);
  });
}
