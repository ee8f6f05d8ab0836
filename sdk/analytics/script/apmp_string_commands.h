// The 17 methods of texts, reached through method calls on string values.
#pragma once

#include <cstddef>
#include <functional>
#include <map>

#include "sdk/analytics/script/apmp_runtime_value.h"

class APMPStringCommandEvaluator {
 public:
  using Handler = std::function<APMPValuePtr(const APMPString& text, const APMPArguments& values,
                                             const APMPScopePtr& scope, platform::Error* error)>;

  static APMPStringCommandEvaluator& sharedInstance();
  // Unknown names are error 17; arguments are evaluated before the handler runs.
  APMPValuePtr evaluateCommand(const APMPString& name, const APMPString& text, const APMPArguments& arguments,
                               const APMPScopePtr& scope, platform::Error* error) const;

 private:
  APMPStringCommandEvaluator();
  std::map<APMPString, Handler> handlers_;
};

// What a regular-expression match costs, in code units of work (APMPRunState::kCodeUnitsPerStep
// make one step), from the calibration bench/interpreter prints against an interpreter step's
// time on the same machine: an engine step (a backtracking state saved), the pattern's
// operations it may run before the next one, a place at which an attempt begins, a code unit
// the engine reads (a loop's scan, or a read far into the text), and CPU time.
struct APMPRegularExpressionPrices {
  // Text that a pattern's loops, or its operations that read far, may scan is handed to the
  // engine in pieces of this many code units, and each piece fetched is paid for.
  static constexpr std::size_t kReadPiece = 16;
  static constexpr double kEngineStep = 13;
  static constexpr double kEngineStepPerPatternUnit = 0.2;
  static constexpr double kEnginePlace = 1.5;
  static constexpr double kEngineRead = 1.5;
  // Reading is charged at this share of its time: how much of a piece one step reads is not
  // seen, and an ordinary step reads a unit or a few. Within the piece at hand, each operation
  // that reads far is charged a quarter of the piece a step.
  static constexpr double kChargedShareOfReads = 0.5;
  // Comparing and reading under case-insensitive matching folds each unit first.
  static constexpr double kCaseInsensitiveFactor = 4;
  // CPU time, for what is priced by its time: compiling far beyond what it builds (which runs in
  // one go), and a long match beyond what its counts pay for. An interpreter step takes about
  // 32 ns on the calibrating machine.
  static constexpr double kPerMicrosecond = 2000;
  // A long match pays at least this share of its CPU time: a backstop for paths of the engine
  // its counts miss, which keeps such an event within twenty plain loops of the same budget
  // while an ordinary long scan stays clear of it, even in a sanitized build, whose callbacks
  // run many times slower.
  static constexpr double kCPUTimeBackstopShare = 1.0 / 20;
  // Setting a match up, each time.
  static constexpr double kMatchSetup = 512;
  // What compiling builds, in microseconds: per code unit of the pattern, per set, and per
  // property looked up.
  static constexpr double kCompilePerUnit = 0.5;
  static constexpr double kCompilePerSet = 3;
  static constexpr double kCompilePerProperty = 50;
  // Compiling's CPU time is charged only beyond this many times what it builds: a sanitized
  // build allocates several times slower, and an ordinary pattern must not pay for that.
  static constexpr double kCompileTimeAllowance = 3;
  // The most compiling may take, judged on the pattern's text before it starts, in microseconds:
  // per code unit, per code unit squared (optimising a long pattern), and per set or property
  // (each case-insensitive one closes over up to every code point).
  static constexpr double kCompileWorstPerUnit = 1.5;
  static constexpr double kCompileWorstPerUnitSquared = 2e-5;
  static constexpr double kCompileWorstPerSet = 200;
  static constexpr double kCompileWorstPerCaseInsensitiveSet = 5000;
};

// Installs the evaluator as the method handler of string values.
void APMPInstallStringMethods();
