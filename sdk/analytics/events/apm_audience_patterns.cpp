#include "sdk/analytics/events/apm_audience_patterns.h"

#include <unicode/uregex.h>

#include <algorithm>

#include "platform/foundation/strings.h"
#include "sdk/analytics/common/apm_error.h"
#include "sdk/analytics/common/apm_monitor.h"

namespace {

constexpr std::int32_t kRegexStackLimit = 256 * 1024;

// Keeps the engine's running count of steps for the match in progress.
UBool U_CALLCONV recordSteps(const void* context, std::int32_t steps) {
  *static_cast<std::int32_t*>(const_cast<void*>(context)) = steps;
  return true;
}

}  // namespace

std::unique_ptr<APMRegularExpression> APMRegularExpression::compile(const std::string& pattern,
                                                                    bool caseInsensitive, platform::Error* error) {
  if (!platform::strings::isValidUTF8(pattern)) {
    APMSetError(error, 2048, "The pattern is not valid UTF-8");
    return nullptr;
  }
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError{};
  const std::u16string utf16 = platform::strings::toUTF16(pattern);
  URegularExpression* regex =
      uregex_open(reinterpret_cast<const UChar*>(utf16.data()), static_cast<std::int32_t>(utf16.size()),
                  caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0, &parseError, &status);
  if (U_SUCCESS(status)) uregex_setStackLimit(regex, kRegexStackLimit, &status);
  if (U_FAILURE(status)) {
    if (regex) uregex_close(regex);
    APMSetError(error, 2048, std::string("The pattern is not a valid regular expression: ") + u_errorName(status));
    return nullptr;
  }
  return std::unique_ptr<APMRegularExpression>(new APMRegularExpression(regex));
}

APMRegularExpression::~APMRegularExpression() { uregex_close(regex_); }

APMRegularExpression::Match APMRegularExpression::findIn(const std::string& string, std::int32_t stepLimit) const {
  Match match;
  const std::u16string text = platform::strings::toUTF16(string);
  UErrorCode status = U_ZERO_ERROR;
  // A limit of 0 means none to the engine; a match allowed no steps still gets one.
  uregex_setTimeLimit(regex_, std::max(stepLimit, 1), &status);
  uregex_setMatchCallback(regex_, recordSteps, &match.steps, &status);
  uregex_setText(regex_, reinterpret_cast<const UChar*>(text.data()), static_cast<std::int32_t>(text.size()),
                 &status);
  const bool found = U_SUCCESS(status) && uregex_find(regex_, 0, &status);
  // Detach before `text` and `match` go away.
  UErrorCode resetStatus = U_ZERO_ERROR;
  static const UChar kEmpty[1] = {0};
  uregex_setText(regex_, kEmpty, 0, &resetStatus);
  uregex_setMatchCallback(regex_, nullptr, nullptr, &resetStatus);
  if (status == U_REGEX_TIME_OUT) {
    match.ranOutOfSteps = true;
    match.steps = std::max(match.steps, stepLimit);
  }
  if (U_SUCCESS(status)) match.found = found;
  return match;
}

void APMAudiencePatterns::reset() {
  entries_.clear();
  remainingSteps_ = kEvaluationStepBudget;
  compilations_ = matchesRun_ = stepsSpent_ = 0;
}

void APMAudiencePatterns::beginEvaluation() { remainingSteps_ = kEvaluationStepBudget; }

APMAudiencePatterns::Entry* APMAudiencePatterns::entry(const std::string& pattern, bool caseInsensitive) {
  Key key{pattern, caseInsensitive};
  if (const auto it = entries_.find(key); it != entries_.end()) return &it->second;
  if (entries_.size() >= kMaxRememberedPatterns) return nullptr;
  Entry fresh;
  ++compilations_;
  fresh.regex = APMRegularExpression::compile(pattern, caseInsensitive, &fresh.error);
  return &entries_.emplace(std::move(key), std::move(fresh)).first->second;
}

bool APMAudiencePatterns::compiles(const std::string& pattern, bool caseInsensitive, platform::Error* error) {
  if (const Entry* known = entry(pattern, caseInsensitive)) {
    if (!known->regex && error) *error = known->error;
    return known->regex != nullptr;
  }
  ++compilations_;
  return APMRegularExpression::compile(pattern, caseInsensitive, error) != nullptr;
}

std::optional<bool> APMAudiencePatterns::findsMatch(const std::string& pattern, bool caseInsensitive,
                                                    const std::string& string, const APMObject& context) {
  Entry* known = entry(pattern, caseInsensitive);
  if (known && known->ranOutOfSteps) {
    APMLog(2, 9008, "Regular expression ran out of time before. Audience filter will not be evaluated", context);
    return std::nullopt;
  }
  if (remainingSteps_ <= 0) {
    APMLog(2, 9009, "Regular expression time of this evaluation is used up. Audience filter will not be evaluated",
           context);
    return std::nullopt;
  }
  std::unique_ptr<APMRegularExpression> unremembered;
  const APMRegularExpression* regex = known ? known->regex.get() : nullptr;
  if (!known) {
    ++compilations_;
    unremembered = APMRegularExpression::compile(pattern, caseInsensitive, nullptr);
    regex = unremembered.get();
  }
  if (!regex) return std::nullopt;
  const std::int32_t limit = std::min(kMatchStepLimit, remainingSteps_);
  const APMRegularExpression::Match match = regex->findIn(string, limit);
  ++matchesRun_;
  stepsSpent_ += match.steps;
  remainingSteps_ -= match.steps;
  if (match.found) return match.found;
  if (match.ranOutOfSteps && limit < kMatchStepLimit) {
    // Cut short by the evaluation's budget, not by its own limit: it may run again next time.
    APMLog(2, 9009, "Regular expression time of this evaluation is used up. Audience filter will not be evaluated",
           context);
    return std::nullopt;
  }
  APMLog(1, 9007, "Regular expression ran out of time or stack. Audience filter will not be evaluated", context);
  if (match.ranOutOfSteps && known) known->ranOutOfSteps = true;
  return std::nullopt;
}
