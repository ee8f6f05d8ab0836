#include "platform/foundation/regular_expression.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <memory>
#include <string>

#include "platform/foundation/error.h"

namespace platform {

std::optional<TextRange> firstMatchOfRegularExpression(std::u16string_view pattern, std::u16string_view text,
                                                       const RegularExpressionLimits& limits, Error* error) {
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
  bool found = U_SUCCESS(status) && matcher->find(status);
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
