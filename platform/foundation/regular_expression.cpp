#include "platform/foundation/regular_expression.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "platform/foundation/error.h"

namespace platform {

namespace {

// Places are told in batches: the engine reports every one, and a long text has millions.
constexpr std::uint64_t kPlacesPerTelling = 1024;

struct MeterContext {
  const RegularExpressionMeter& meter;
  std::int32_t reportedBlocks = 0;
  std::uint64_t places = 0;

  bool tell(std::uint64_t steps) {
    const std::uint64_t places = std::exchange(this->places, 0);
    return meter(steps, places);
  }
};

UBool onBlockOfSteps(const void* context, int32_t blocks) {
  auto& meter = *static_cast<MeterContext*>(const_cast<void*>(context));
  const auto newBlocks = static_cast<std::uint64_t>(std::max(blocks - meter.reportedBlocks, 0));
  meter.reportedBlocks = std::max(blocks, meter.reportedBlocks);
  return meter.tell(newBlocks * kRegularExpressionStepsPerReport);
}

UBool onNewPlace(const void* context, int64_t) {
  auto& meter = *static_cast<MeterContext*>(const_cast<void*>(context));
  return ++meter.places < kPlacesPerTelling || meter.tell(0);
}

}  // namespace

std::optional<TextRange> firstMatchOfRegularExpression(std::u16string_view pattern, std::u16string_view text,
                                                       const RegularExpressionLimits& limits, Error* error,
                                                       const RegularExpressionMeter& meter) {
  UErrorCode status = U_ZERO_ERROR;
  // Read-only aliases: neither the pattern nor the text is copied.
  const icu::UnicodeString patternText(false, pattern.data(), static_cast<int32_t>(pattern.size()));
  UParseError parseError{};
  std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(patternText, 0, parseError, status));
  if (U_FAILURE(status) || !compiled) {
    setError(error, Error(std::string(kRegularExpressionErrorDomain), kRegularExpressionPatternError,
                          {{"NSInvalidValue", Value(std::string(u_errorName(status)))}}));
    return std::nullopt;
  }
  const icu::UnicodeString subject(false, text.data(), static_cast<int32_t>(text.size()));
  std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(subject, status));
  if (U_SUCCESS(status)) matcher->setTimeLimit(limits.timeLimit, status);
  if (U_SUCCESS(status)) matcher->setStackLimit(limits.stackLimitBytes, status);
  MeterContext context{meter};
  if (meter && U_SUCCESS(status)) {
    matcher->setMatchCallback(onBlockOfSteps, &context, status);
    matcher->setFindProgressCallback(onNewPlace, &context, status);
  }
  bool found = U_SUCCESS(status) && matcher->find(status);
  // What was done since the last telling counts even when the match is over.
  if (meter && U_SUCCESS(status) && !context.tell(0)) status = U_REGEX_STOPPED_BY_CALLER;
  if (U_FAILURE(status)) {
    setError(error, Error(std::string(kRegularExpressionErrorDomain), kRegularExpressionLimitError,
                          {{"NSInvalidValue", Value(std::string(u_errorName(status)))}}));
    return std::nullopt;
  }
  if (!found) return std::nullopt;
  const int32_t start = matcher->start(status);
  const int32_t end = matcher->end(status);
  if (U_FAILURE(status)) return std::nullopt;
  return TextRange{static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)};
}

}  // namespace platform
