// Regular expressions with ICU syntax over UTF-16 text, for patterns that come from outside: every
// match runs under a work limit and a backtracking-stack limit, so a catastrophic pattern ends
// with an error instead of holding the thread or exhausting memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace platform {

class Error;

inline constexpr std::string_view kRegularExpressionErrorDomain = "NSCocoaErrorDomain";
// A pattern that does not compile.
inline constexpr std::int64_t kRegularExpressionPatternError = 2048;
// A match that ran past its work or stack limit.
inline constexpr std::int64_t kRegularExpressionLimitError = 2049;

// The engine counts its steps (backtracking states saved and counted-loop rounds) and can stop
// a match only when a block of this many is complete.
inline constexpr std::uint64_t kRegularExpressionStepsPerReport = 10'000;

struct RegularExpressionLimits {
  // In blocks of engine steps; 0 for none. With a meter this is only a backstop: the meter
  // stops the match first, and a meter that never does still cannot hold the thread for long.
  std::int32_t timeLimit = 10;
  std::int32_t stackLimitBytes = 1 << 20;
  // With a meter and a nonzero value, a text longer than this is handed to the engine in pieces
  // of this many code units, and each piece it fetches is told as read: an engine step may
  // read far into the text (a lookahead, a back-reference), and only the pieces show how far.
  // The whole-text path is faster, so this is for patterns that may read far.
  std::size_t readPiece = 0;
};

// Work a match did since the meter was last told.
struct RegularExpressionWork {
  std::uint64_t steps = 0;   // engine steps, every one of them by the end of the match
  std::uint64_t places = 0;  // places at which an attempt began after the first
  std::uint64_t pieces = 0;  // pieces of the text fetched (only with `readPiece`)
};

// Places and pieces are told in batches of this many: a long text has millions.
inline constexpr std::uint64_t kRegularExpressionCountsPerTelling = 1024;

// Told the work as the match goes (at each block of steps, and every batch of places or pieces)
// and once more at its end. Answers false to stop the match, which then fails with the limit
// error.
using RegularExpressionMeter = std::function<bool(const RegularExpressionWork& work)>;

struct TextRange {
  std::size_t location = 0;
  std::size_t length = 0;
};

// A compiled pattern (no options: case-sensitive, "." stops at line breaks, anchors only at the
// ends of the text). Immutable, so one may be kept and used for many matches, on any thread.
class RegularExpression {
 public:
  // Nothing, with the pattern error set, when the pattern does not compile.
  static std::shared_ptr<const RegularExpression> compile(std::u16string_view pattern, Error* error);
  ~RegularExpression();
  RegularExpression(const RegularExpression&) = delete;
  RegularExpression& operator=(const RegularExpression&) = delete;

  // The first match in `text`. Nothing without a match; nothing with the error set when a limit
  // was reached. With a meter, the work is told to it as the match goes, and once more at its end.
  std::optional<TextRange> firstMatch(std::u16string_view text, const RegularExpressionLimits& limits, Error* error,
                                      const RegularExpressionMeter& meter = {}) const;

 private:
  struct Compiled;
  explicit RegularExpression(std::unique_ptr<Compiled> compiled);
  std::unique_ptr<Compiled> compiled_;
};

// Compiles `pattern` and answers its first match in `text`, as above.
std::optional<TextRange> firstMatchOfRegularExpression(std::u16string_view pattern, std::u16string_view text,
                                                       const RegularExpressionLimits& limits, Error* error,
                                                       const RegularExpressionMeter& meter = {});

}  // namespace platform
