// Regular expressions with ICU syntax over UTF-16 text, for patterns that come from outside: every
// match runs under a work limit and a backtracking-stack limit, so a catastrophic pattern ends
// with an error instead of holding the thread or exhausting memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace platform {

class Error;

inline constexpr std::string_view kRegularExpressionErrorDomain = "NSCocoaErrorDomain";
// A pattern that does not compile.
inline constexpr std::int64_t kRegularExpressionPatternError = 2048;
// A match that ran past its work or stack limit.
inline constexpr std::int64_t kRegularExpressionLimitError = 2049;

struct RegularExpressionLimits {
  // ICU's match-time units (roughly milliseconds of matching, counted in steps, not on a clock).
  std::int32_t timeLimit = 10;
  std::int32_t stackLimitBytes = 1 << 20;
};

struct TextRange {
  std::size_t location = 0;
  std::size_t length = 0;
};

// The first match of `pattern` (no options: case-sensitive, "." stops at line breaks, anchors
// only at the ends of the text) in `text`. Nothing without a match; nothing with the error set
// when the pattern does not compile or a limit was reached.
std::optional<TextRange> firstMatchOfRegularExpression(std::u16string_view pattern, std::u16string_view text,
                                                       const RegularExpressionLimits& limits, Error* error);

}  // namespace platform
