// The budget of one interpreter instance, out of reach of programs: the step counter, the
// nesting depth and the memory one run may allocate; and the registry the cycle collector uses.
// Scopes point to their instance's run state; the evaluator makes it current on its thread while
// a program runs, so that growth anywhere in the run is charged to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "sdk/analytics/script/apmp_runtime_value.h"

namespace platform {
class RegularExpression;
}

class APMPRunState {
 public:
  static constexpr std::uint32_t kStepLimit = 1'000'000;
  // Program functions active at once. One call of a plain recursive function nests three to
  // five evaluations.
  static constexpr int kMaximumCallDepth = 500;
  // Nested evaluations of one run, whatever nests them. One costs up to about 1.5 KiB of stack
  // under the address sanitizer (a few hundred bytes in a release build), so this many stay
  // within half of an 8 MiB thread stack; on a smaller stack the stack check below ends the run
  // first.
  static constexpr int kMaximumEvaluationDepth = 3000;
  // Stack an evaluation leaves free below itself, for the built-ins it calls.
  static constexpr std::size_t kStackReserve = std::size_t{512} << 10;
  // Bytes of texts and array slots one run may create (texts count two bytes a code unit).
  static constexpr std::size_t kMaximumRunAllocation = std::size_t{128} << 20;
  // What a program may keep from run to run, its code included, measured when a run ends. Far
  // below the allowance of one run, since the collection after every run walks all of it.
  static constexpr std::size_t kMaximumRetainedBytes = std::size_t{8} << 20;
  static constexpr std::size_t kMaximumArrayCount = std::size_t{1} << 20;
  static constexpr std::size_t kMaximumTextLength = std::size_t{1} << 22;
  // Built-ins pay for the data they touch, so that no run outlasts what its steps allow: this
  // many slots, names or values visited, or this many code units copied, compared or searched,
  // cost one step (measured by bench/interpreter against a plain loop).
  static constexpr std::uint64_t kSlotsPerStep = 8;
  static constexpr std::uint64_t kCodeUnitsPerStep = 64;

  APMPRunState() = default;
  APMPRunState(const APMPRunState&) = delete;
  APMPRunState& operator=(const APMPRunState&) = delete;

  std::uint32_t instructionCount() const { return steps_; }
  // What the roots reached at the last collection, in the bytes the allowance counts.
  std::size_t retainedBytes() const { return retained_; }
  // Starts a new run: steps back to zero, allocation to what the last collection found kept.
  void resetInstructionCount();

  // The run state of the program running on this thread, if any.
  static APMPRunState* current();

  // Counts a program function call while it runs; past the depth limit sets error 18 and
  // answers false, and the call must not run.
  bool enterCall(platform::Error* error);
  void leaveCall() { --callDepth_; }

  // Patterns this instance compiled, kept from run to run: a program that matches one pattern
  // in a loop compiles it, and pays for compiling it, once. Nothing when not kept.
  std::shared_ptr<const platform::RegularExpression> keptRegularExpression(const APMPString& pattern);
  void keepRegularExpression(const APMPString& pattern, std::shared_ptr<const platform::RegularExpression> compiled);

  void registerScope(const APMPScopePtr& scope);
  void registerValue(const APMPValuePtr& value);

 private:
  friend class APMPCommandRegistrar;
  friend class APMPRuntimeHeap;
  friend class APMPRunStateActivation;
  friend bool APMPChargeAllocation(std::size_t bytes, platform::Error* error);
  friend bool APMPChargeWork(std::size_t slots, std::size_t codeUnits, platform::Error* error);
  friend bool APMPCanAffordWork(std::uint64_t codeUnits);

  void pruneRegistry();

  std::uint32_t steps_ = 0;
  int depth_ = 0;
  int callDepth_ = 0;
  std::size_t allocated_ = 0;
  std::size_t retained_ = 0;
  // Work charged but not yet a whole step, in code units.
  std::uint64_t partialStep_ = 0;
  // The most recently used first; few and short, as a compiled pattern may hold large sets.
  static constexpr std::size_t kKeptRegularExpressions = 16;
  static constexpr std::size_t kLongestKeptPattern = 1024;
  std::vector<std::pair<APMPString, std::shared_ptr<const platform::RegularExpression>>> regularExpressions_;
  std::vector<std::weak_ptr<APMPScope>> scopes_;
  std::vector<std::weak_ptr<APMPRuntimeValue>> values_;
  std::size_t pruneThreshold_ = 1024;
};

// Makes a run state current on this thread for its lifetime (restores the previous one after).
class APMPRunStateActivation {
 public:
  explicit APMPRunStateActivation(APMPRunState* state);
  ~APMPRunStateActivation();
  APMPRunStateActivation(const APMPRunStateActivation&) = delete;
  APMPRunStateActivation& operator=(const APMPRunStateActivation&) = delete;

 private:
  APMPRunState* previous_;
};

// Whether this thread's stack has `kStackReserve` left below the caller (true where the stack's
// extent cannot be learnt).
bool APMPStackHasRoom();

// Charges the current run for work a built-in does on data; past the step budget sets error 18
// and answers false, and the caller does no more.
bool APMPChargeWork(std::size_t slots, std::size_t codeUnits, platform::Error* error);
// Whether the current run's budget still holds this much work: for a built-in that can be
// stopped only now and then, which goes on only while what it may do before the next chance
// is paid for.
bool APMPCanAffordWork(std::uint64_t codeUnits);

// Charges growth to the current run; past the run's allowance sets error 18 and answers false.
bool APMPChargeAllocation(std::size_t bytes, platform::Error* error);
// A container about to hold a value it did not hold at creation: registers it with the current
// run, since only such a change can close a reference cycle.
void APMPNoteMutation(APMPRuntimeValue& container);

// Owns the run state and the root scope of one interpreter instance. Values and scopes refer to
// each other by strong references (a closure holds its scope, a scope holds the closure), so the
// heap breaks the cycles: `collectGarbage` between runs, keeping what the roots reach, and
// everything when it is destroyed. Values the host still holds afterwards are left empty.
class APMPRuntimeHeap {
 public:
  APMPRuntimeHeap();
  ~APMPRuntimeHeap();
  APMPRuntimeHeap(const APMPRuntimeHeap&) = delete;
  APMPRuntimeHeap& operator=(const APMPRuntimeHeap&) = delete;

  const APMPScopePtr& rootScope() const { return root_; }
  APMPRunState& runState() { return state_; }
  void resetInstructionCount() { state_.resetInstructionCount(); }
  std::uint32_t instructionCount() const { return state_.instructionCount(); }
  std::size_t retainedBytes() const { return state_.retainedBytes(); }

  // Only between runs: empties every registered scope and container the roots do not reach, and
  // measures what they do.
  void collectGarbage(const std::vector<APMPScopePtr>& scopes, const std::vector<APMPValuePtr>& values);

 private:
  APMPRunState state_;
  APMPScopePtr root_;
};
