// The regular expressions of audience string filters. Patterns come from a server, so every match
// is metered in the match engine's steps (each some thousands of operations): one match may take
// only so many, one evaluation (one event or one user property against all its filters) only so
// many in all, and a pattern that once ran out of its own steps is not run again while the same
// definitions are in force. Each pattern is compiled once for as long as the definitions last.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/error.h"
#include "sdk/analytics/common/apm_object.h"

struct URegularExpression;

// A compiled pattern. Not thread-safe: a match sets the pattern's text.
class APMRegularExpression {
 public:
  // Nothing, with the engine's error in `error`, when the pattern does not compile.
  static std::unique_ptr<APMRegularExpression> compile(const std::string& pattern, bool caseInsensitive,
                                                       platform::Error* error);
  ~APMRegularExpression();
  APMRegularExpression(const APMRegularExpression&) = delete;
  APMRegularExpression& operator=(const APMRegularExpression&) = delete;

  struct Match {
    // Whether the pattern matches anywhere in the string; nothing when the match did not finish.
    std::optional<bool> found;
    std::int32_t steps = 0;
    // The match stopped at `stepLimit` (else, when unfinished, it ran out of stack).
    bool ranOutOfSteps = false;
  };
  Match findIn(const std::string& string, std::int32_t stepLimit) const;

 private:
  explicit APMRegularExpression(URegularExpression* regex) : regex_(regex) {}
  URegularExpression* regex_;
};

// The patterns of the audience definitions in force. Used from one queue at a time (the
// measurement worker queue); the free matching functions make one for a single call.
class APMAudiencePatterns {
 public:
  // Far more than any sane audience pattern needs on a short value, far less than a catastrophic
  // backtrack; and what one evaluation may spend on all its patterns together.
  static constexpr std::int32_t kMatchStepLimit = 200;
  static constexpr std::int32_t kEvaluationStepBudget = 5 * kMatchStepLimit;
  // Patterns remembered (compiled, or known to run out of steps); others are compiled per use.
  static constexpr std::size_t kMaxRememberedPatterns = 1024;

  // The definitions changed: every pattern is compiled and given its chance again.
  void reset();
  // The next event or user property starts with the whole budget.
  void beginEvaluation();

  // Whether the pattern compiles; the error says why not.
  bool compiles(const std::string& pattern, bool caseInsensitive, platform::Error* error);
  // Whether the pattern matches anywhere in `string`; nothing (logged with `context`) when that
  // cannot be decided: it does not compile, runs out of steps or stack now or did so before, or
  // the evaluation's budget is used up.
  std::optional<bool> findsMatch(const std::string& pattern, bool caseInsensitive, const std::string& string,
                                 const APMObject& context);

  // What the patterns cost since the last reset: compilations, matches run, steps spent.
  std::int64_t compilations() const { return compilations_; }
  std::int64_t matchesRun() const { return matchesRun_; }
  std::int64_t stepsSpent() const { return stepsSpent_; }

 private:
  struct Entry {
    std::unique_ptr<APMRegularExpression> regex;  // null when the pattern does not compile
    platform::Error error;
    bool ranOutOfSteps = false;
  };
  using Key = std::pair<std::string, bool>;

  // The remembered entry of the pattern, compiled on first use; null when no more are remembered.
  Entry* entry(const std::string& pattern, bool caseInsensitive);

  std::map<Key, Entry> entries_;
  std::int32_t remainingSteps_ = kEvaluationStepBudget;
  std::int64_t compilations_ = 0;
  std::int64_t matchesRun_ = 0;
  std::int64_t stepsSpent_ = 0;
};
