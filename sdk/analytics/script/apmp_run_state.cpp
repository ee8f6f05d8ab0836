#include "sdk/analytics/script/apmp_run_state.h"

#include <pthread.h>

#include <algorithm>
#include <unordered_set>

#include "platform/foundation/regular_expression.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_scope.h"

namespace {

thread_local APMPRunState* tCurrentRunState = nullptr;

// One value or scope as allocated: the object, its shared count and the allocator's share.
constexpr std::size_t kObjectBytes = 64;

class MarkingTracer final : public APMPTracer {
 public:
  void visit(const APMPRuntimeValue* value) override {
    if (!value || !marked_.insert(value).second) return;
    liveBytes_ += kObjectBytes + value->payloadBytes();
    pendingValues_.push_back(value);
  }
  void visit(const APMPScope* scope) override {
    if (!scope || !marked_.insert(scope).second) return;
    liveBytes_ += kObjectBytes + scope->payloadBytes();
    pendingScopes_.push_back(scope);
  }
  void drain() {
    while (!pendingValues_.empty() || !pendingScopes_.empty()) {
      if (!pendingValues_.empty()) {
        const APMPRuntimeValue* value = pendingValues_.back();
        pendingValues_.pop_back();
        value->traceChildren(*this);
      } else {
        const APMPScope* scope = pendingScopes_.back();
        pendingScopes_.pop_back();
        scope->traceChildren(*this);
      }
    }
  }
  bool isMarked(const void* object) const { return marked_.count(object) != 0; }
  std::size_t liveBytes() const { return liveBytes_; }

 private:
  std::unordered_set<const void*> marked_;
  std::size_t liveBytes_ = 0;
  std::vector<const APMPRuntimeValue*> pendingValues_;
  std::vector<const APMPScope*> pendingScopes_;
};

}  // namespace

void APMPRunState::resetInstructionCount() {
  steps_ = 0;
  // What earlier runs left counts against this one's allowance.
  allocated_ = retained_;
  partialStep_ = 0;
}

APMPRunState* APMPRunState::current() { return tCurrentRunState; }

std::shared_ptr<const platform::RegularExpression> APMPRunState::keptRegularExpression(const APMPString& pattern) {
  const auto kept = std::find_if(regularExpressions_.begin(), regularExpressions_.end(),
                                 [&](const auto& entry) { return entry.first == pattern; });
  if (kept == regularExpressions_.end()) return nullptr;
  std::rotate(regularExpressions_.begin(), kept, kept + 1);
  return regularExpressions_.front().second;
}

void APMPRunState::keepRegularExpression(const APMPString& pattern,
                                         std::shared_ptr<const platform::RegularExpression> compiled) {
  if (pattern.size() > kLongestKeptPattern || !compiled) return;
  if (regularExpressions_.size() >= kKeptRegularExpressions) regularExpressions_.pop_back();
  regularExpressions_.emplace(regularExpressions_.begin(), pattern, std::move(compiled));
}

void APMPRunState::registerScope(const APMPScopePtr& scope) {
  scopes_.push_back(scope);
  pruneRegistry();
}

void APMPRunState::registerValue(const APMPValuePtr& value) {
  values_.push_back(value);
  pruneRegistry();
}

void APMPRunState::pruneRegistry() {
  if (scopes_.size() + values_.size() < pruneThreshold_) return;
  std::erase_if(scopes_, [](const auto& weak) { return weak.expired(); });
  std::erase_if(values_, [](const auto& weak) { return weak.expired(); });
  pruneThreshold_ = std::max<std::size_t>(1024, 2 * (scopes_.size() + values_.size()));
}

bool APMPRunState::enterCall(platform::Error* error) {
  if (callDepth_ >= kMaximumCallDepth) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return false;
  }
  ++callDepth_;
  return true;
}

namespace {
// The lowest address of this thread's stack, or null when unknown.
const char* stackFloor() {
  thread_local const char* const floor = []() -> const char* {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return nullptr;
    void* address = nullptr;
    std::size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &address, &size) == 0;
    pthread_attr_destroy(&attributes);
    return known ? static_cast<const char*>(address) : nullptr;
  }();
  return floor;
}
}  // namespace

bool APMPStackHasRoom() {
  const char* floor = stackFloor();
  const auto* here = static_cast<const char*>(__builtin_frame_address(0));
  return !floor || here < floor || static_cast<std::size_t>(here - floor) > APMPRunState::kStackReserve;
}

APMPRunStateActivation::APMPRunStateActivation(APMPRunState* state) : previous_(tCurrentRunState) {
  tCurrentRunState = state;
}

APMPRunStateActivation::~APMPRunStateActivation() { tCurrentRunState = previous_; }

bool APMPChargeAllocation(std::size_t bytes, platform::Error* error) {
  APMPRunState* state = tCurrentRunState;
  if (!state) return true;
  if (bytes > APMPRunState::kMaximumRunAllocation - std::min(state->allocated_, APMPRunState::kMaximumRunAllocation)) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return false;
  }
  state->allocated_ += bytes;
  return true;
}

bool APMPChargeWork(std::size_t slots, std::size_t codeUnits, platform::Error* error) {
  APMPRunState* state = tCurrentRunState;
  if (!state) return true;
  constexpr std::uint64_t kUnitsPerSlot = APMPRunState::kCodeUnitsPerStep / APMPRunState::kSlotsPerStep;
  constexpr std::uint64_t kCap = std::uint64_t{APMPRunState::kStepLimit} * APMPRunState::kCodeUnitsPerStep;
  const std::uint64_t units = std::min<std::uint64_t>(slots, kCap) * kUnitsPerSlot + std::min<std::uint64_t>(codeUnits, kCap);
  state->partialStep_ += units;
  const std::uint64_t steps = state->steps_ + state->partialStep_ / APMPRunState::kCodeUnitsPerStep;
  state->partialStep_ %= APMPRunState::kCodeUnitsPerStep;
  if (steps > APMPRunState::kStepLimit) {
    state->steps_ = APMPRunState::kStepLimit;
    APMPSetError(error, kAPMPErrorLimitReached);
    return false;
  }
  state->steps_ = static_cast<std::uint32_t>(steps);
  return true;
}

bool APMPCanAffordWork(std::uint64_t codeUnits) {
  const APMPRunState* state = tCurrentRunState;
  if (!state) return true;
  const std::uint64_t spent = std::uint64_t{state->steps_} * APMPRunState::kCodeUnitsPerStep + state->partialStep_;
  constexpr std::uint64_t kBudget = std::uint64_t{APMPRunState::kStepLimit} * APMPRunState::kCodeUnitsPerStep;
  return spent <= kBudget && codeUnits <= kBudget - spent;
}

void APMPNoteMutation(APMPRuntimeValue& container) {
  APMPRunState* state = tCurrentRunState;
  if (!state || !container.claimCollectionRegistration()) return;
  if (APMPValuePtr strong = container.weak_from_this().lock()) state->registerValue(strong);
}

APMPRuntimeHeap::APMPRuntimeHeap() : root_(std::make_shared<APMPScope>()) {
  root_->runState_ = &state_;
  state_.registerScope(root_);
}

APMPRuntimeHeap::~APMPRuntimeHeap() { collectGarbage({}, {}); }

void APMPRuntimeHeap::collectGarbage(const std::vector<APMPScopePtr>& scopes, const std::vector<APMPValuePtr>& values) {
  MarkingTracer tracer;
  for (const APMPScopePtr& scope : scopes) tracer.visit(scope.get());
  for (const APMPValuePtr& value : values) tracer.visit(value.get());
  tracer.drain();
  state_.retained_ = tracer.liveBytes();
  std::vector<APMPScopePtr> deadScopes;
  std::vector<APMPValuePtr> deadValues;
  for (const auto& weak : state_.scopes_) {
    if (auto scope = weak.lock(); scope && !tracer.isMarked(scope.get())) deadScopes.push_back(std::move(scope));
  }
  for (const auto& weak : state_.values_) {
    if (auto value = weak.lock(); value && !tracer.isMarked(value.get())) deadValues.push_back(std::move(value));
  }
  for (const APMPScopePtr& scope : deadScopes) scope->breakCycles();
  for (const APMPValuePtr& value : deadValues) value->breakCycles();
  deadScopes.clear();
  deadValues.clear();
  std::erase_if(state_.scopes_, [](const auto& weak) { return weak.expired(); });
  std::erase_if(state_.values_, [](const auto& weak) { return weak.expired(); });
}
