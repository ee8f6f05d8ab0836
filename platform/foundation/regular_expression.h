// Regular expressions with ICU syntax over UTF-16 text, for patterns that come from outside: every
// match runs under a work limit and a backtracking-stack limit, so a catastrophic pattern ends
// with an error instead of holding the thread or exhausting memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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
  // ICU's match-time units (roughly milliseconds of matching, counted in steps, not on a clock);
  // 0 for none, when a meter stops the match instead.
  std::int32_t timeLimit = 10;
  std::int32_t stackLimitBytes = 1 << 20;
};

// The engine counts its steps (backtracking states saved and counted-loop rounds) but reports
// them only in blocks of this many; a match that ends within a block reports nothing of it.
inline constexpr std::uint64_t kRegularExpressionStepsPerReport = 10'000;

// Told, as a match goes, the work done since it was last told: engine steps, in whole blocks,
// and the places at which an attempt began after the first. Answers false to stop the match,
// which then fails with the limit error.
using RegularExpressionMeter = std::function<bool(std::uint64_t steps, std::uint64_t places)>;

struct TextRange {
  std::size_t location = 0;
  std::size_t length = 0;
};

// The first match of `pattern` (no options: case-sensitive, "." stops at line breaks, anchors
// only at the ends of the text) in `text`. Nothing without a match; nothing with the error set
// when the pattern does not compile or a limit was reached.
// With a meter, the work is told to it as the match goes, and once more at its end.
std::optional<TextRange> firstMatchOfRegularExpression(std::u16string_view pattern, std::u16string_view text,
                                                       const RegularExpressionLimits& limits, Error* error,
                                                       const RegularExpressionMeter& meter = {});

}  // namespace platform
