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
// the engine reads far into the text, and compiling the pattern.
struct APMPRegularExpressionPrices {
  // Text that may be read far is handed to the engine in pieces of this many code units.
  static constexpr std::size_t kReadPiece = 16;
  static constexpr double kEngineStep = 13;
  static constexpr double kEngineStepPerPatternUnit = 0.2;
  static constexpr double kEnginePlace = 1.5;
  static constexpr double kEngineRead = 1.5;
  // Reading far is charged at this share of its time: how much of a piece one step reads is
  // not seen, and an ordinary lookahead's steps read a unit each. The cost of a hostile pattern
  // whose every step reads a whole piece stays within the worst-event ratio the bench prints.
  static constexpr double kChargedShareOfReads = 0.5;
  // Compiling the pattern, per unit, and setting the match up.
  static constexpr double kCompilePerPatternUnit = 32;
  static constexpr double kMatchSetup = 512;
};

// Installs the evaluator as the method handler of string values.
void APMPInstallStringMethods();
