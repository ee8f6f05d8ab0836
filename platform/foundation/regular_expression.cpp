#include "platform/foundation/regular_expression.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/foundation/error.h"

namespace platform {

namespace {

// The engine keeps its step count in two private fields (whole blocks, and the steps left
// before the next one) and says nothing of a match's last block. An explicit instantiation may
// name private members, which gives the exact count without relying on the class's layout.
std::pair<int32_t, int32_t> stepCounters(const icu::RegexMatcher& matcher);
template <auto Blocks, auto LeftInBlock>
struct StepCountReader {
  friend std::pair<int32_t, int32_t> stepCounters(const icu::RegexMatcher& matcher) {
    return {matcher.*Blocks, matcher.*LeftInBlock};
  }
};
template struct StepCountReader<&icu::RegexMatcher::fTime, &icu::RegexMatcher::fTickCounter>;

std::uint64_t stepsOf(const icu::RegexMatcher& matcher) {
  const auto [blocks, left] = stepCounters(matcher);
  const auto leftInBlock = std::min<std::uint64_t>(static_cast<std::uint64_t>(std::max(left, 0)), kRegularExpressionStepsPerReport);
  return static_cast<std::uint64_t>(std::max(blocks, 0)) * kRegularExpressionStepsPerReport +
         (kRegularExpressionStepsPerReport - leftInBlock);
}

struct MeterContext {
  const RegularExpressionMeter& meter;
  std::uint64_t toldSteps = 0;
  RegularExpressionWork pending;
  // Answered no while the engine fetched a piece of the text, which it cannot be refused.
  bool stopped = false;

  bool tell(std::uint64_t stepsSoFar) {
    pending.steps = stepsSoFar > toldSteps ? stepsSoFar - toldSteps : 0;
    toldSteps = std::max(toldSteps, stepsSoFar);
    const RegularExpressionWork work = std::exchange(pending, {});
    return meter(work);
  }
};

UBool onBlockOfSteps(const void* context, int32_t blocks) {
  auto& meter = *static_cast<MeterContext*>(const_cast<void*>(context));
  return !meter.stopped && meter.tell(static_cast<std::uint64_t>(std::max(blocks, 0)) * kRegularExpressionStepsPerReport);
}

UBool onNewPlace(const void* context, int64_t) {
  auto& meter = *static_cast<MeterContext*>(const_cast<void*>(context));
  return !meter.stopped && (++meter.pending.places < kRegularExpressionCountsPerTelling || meter.tell(meter.toldSteps));
}

// A UTF-16 text handed to the engine in pieces, counting each piece it fetches. Clones share
// the text and the count (the matcher works on a clone).
struct PiecedText {
  const char16_t* text;
  std::int64_t length;
  std::int64_t piece;
  MeterContext* meter;
};

PiecedText& piecedTextOf(const UText* ut) { return *static_cast<PiecedText*>(const_cast<void*>(ut->context)); }

UText* U_CALLCONV piecedClone(UText* dest, const UText* src, UBool deep, UErrorCode* status) {
  if (deep) {
    *status = U_UNSUPPORTED_ERROR;
    return dest;
  }
  dest = utext_setup(dest, 0, status);
  if (U_FAILURE(*status)) return dest;
  // Keeps the clone's own header (magic, flags, sizes) and takes the rest.
  const auto flags = dest->flags;
  const auto sizeOfStruct = dest->sizeOfStruct;
  const auto magic = dest->magic;
  std::memcpy(static_cast<void*>(dest), src, sizeof(UText));
  dest->flags = flags;
  dest->sizeOfStruct = sizeOfStruct;
  dest->magic = magic;
  dest->pExtra = nullptr;
  dest->extraSize = 0;
  return dest;
}

int64_t U_CALLCONV piecedLength(UText* ut) { return piecedTextOf(ut).length; }

// Makes the piece holding `index` (or ending at it, going backwards) current; a piece never
// splits a surrogate pair.
UBool U_CALLCONV piecedAccess(UText* ut, int64_t index, UBool forward) {
  PiecedText& t = piecedTextOf(ut);
  index = std::clamp<int64_t>(index, 0, t.length);
  if (forward ? index >= t.length : index <= 0) {
    // Past an end: the current piece stays, positioned at that end if it holds it.
    if (ut->chunkNativeStart <= index && index <= ut->chunkNativeLimit) {
      ut->chunkOffset = static_cast<int32_t>(index - ut->chunkNativeStart);
    }
    return false;
  }
  if (forward ? (ut->chunkNativeStart <= index && index < ut->chunkNativeLimit)
              : (ut->chunkNativeStart < index && index <= ut->chunkNativeLimit)) {
    ut->chunkOffset = static_cast<int32_t>(index - ut->chunkNativeStart);
    return true;
  }
  const int64_t anchor = forward ? index : index - 1;
  int64_t start = anchor - anchor % t.piece;
  int64_t limit = std::min(start + t.piece, t.length);
  if (start > 0 && U16_IS_TRAIL(t.text[start]) && U16_IS_LEAD(t.text[start - 1])) --start;
  if (limit < t.length && U16_IS_LEAD(t.text[limit - 1]) && U16_IS_TRAIL(t.text[limit])) ++limit;
  ut->chunkContents = reinterpret_cast<const UChar*>(t.text + start);
  ut->chunkNativeStart = start;
  ut->chunkNativeLimit = limit;
  ut->chunkLength = static_cast<int32_t>(limit - start);
  ut->nativeIndexingLimit = ut->chunkLength;
  ut->chunkOffset = static_cast<int32_t>(index - start);
  // The fetch cannot be refused (the engine would see the text end where it does not, and its
  // loops would spin there), so a meter that answers no stops the match at its next chance.
  if (t.meter && !t.meter->stopped && ++t.meter->pending.pieces >= kRegularExpressionCountsPerTelling && !t.meter->tell(t.meter->toldSteps)) {
    t.meter->stopped = true;
  }
  return true;
}

int32_t U_CALLCONV piecedExtract(UText* ut, int64_t start, int64_t limit, UChar* dest, int32_t capacity,
                                 UErrorCode* status) {
  const PiecedText& t = piecedTextOf(ut);
  start = std::clamp<int64_t>(start, 0, t.length);
  limit = std::clamp<int64_t>(limit, start, t.length);
  const auto length = static_cast<int32_t>(limit - start);
  std::memcpy(dest, t.text + start, sizeof(UChar) * static_cast<std::size_t>(std::min(length, std::max(capacity, 0))));
  if (length > capacity) *status = U_BUFFER_OVERFLOW_ERROR;
  else if (length < capacity) dest[length] = 0;
  else *status = U_STRING_NOT_TERMINATED_WARNING;
  return length;
}

const UTextFuncs& piecedFuncs() {
  static const UTextFuncs funcs = [] {
    UTextFuncs f;
    std::memset(&f, 0, sizeof f);
    f.tableSize = sizeof(UTextFuncs);
    f.clone = piecedClone;
    f.nativeLength = piecedLength;
    f.access = piecedAccess;
    f.extract = piecedExtract;
    return f;
  }();
  return funcs;
}

}  // namespace

struct RegularExpression::Compiled {
  std::unique_ptr<icu::RegexPattern> pattern;
};

RegularExpression::RegularExpression(std::unique_ptr<Compiled> compiled) : compiled_(std::move(compiled)) {}
RegularExpression::~RegularExpression() = default;

std::shared_ptr<const RegularExpression> RegularExpression::compile(std::u16string_view pattern, Error* error) {
  UErrorCode status = U_ZERO_ERROR;
  // A read-only alias: the pattern is not copied.
  const icu::UnicodeString patternText(false, pattern.data(), static_cast<int32_t>(pattern.size()));
  UParseError parseError{};
  std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(patternText, 0, parseError, status));
  if (U_FAILURE(status) || !compiled) {
    setError(error, Error(std::string(kRegularExpressionErrorDomain), kRegularExpressionPatternError,
                          {{"NSInvalidValue", Value(std::string(u_errorName(status)))}}));
    return nullptr;
  }
  return std::shared_ptr<const RegularExpression>(
      new RegularExpression(std::make_unique<Compiled>(Compiled{std::move(compiled)})));
}

std::optional<TextRange> RegularExpression::firstMatch(std::u16string_view text, const RegularExpressionLimits& limits,
                                                       Error* error, const RegularExpressionMeter& meter) const {
  UErrorCode status = U_ZERO_ERROR;
  MeterContext context{meter, 0, {}, false};
  const bool pieced = meter && limits.readPiece > 0 && text.size() > limits.readPiece;
  PiecedText piecedText{text.data(), static_cast<std::int64_t>(text.size()),
                        static_cast<std::int64_t>(limits.readPiece), &context};
  UText piecedHeader = UTEXT_INITIALIZER;
  // A read-only alias: the text is not copied.
  const icu::UnicodeString subject(false, text.data(), static_cast<int32_t>(text.size()));
  std::unique_ptr<icu::RegexMatcher> matcher;
  if (pieced) {
    UText* ut = utext_setup(&piecedHeader, 0, &status);
    if (U_SUCCESS(status)) {
      ut->pFuncs = &piecedFuncs();
      ut->context = &piecedText;
      ut->providerProperties = 0;
      piecedAccess(ut, 0, true);
      matcher.reset(compiled_->pattern->matcher(status));
      if (U_SUCCESS(status)) matcher->reset(ut);
    }
  } else {
    matcher.reset(compiled_->pattern->matcher(subject, status));
  }
  if (U_SUCCESS(status)) matcher->setTimeLimit(limits.timeLimit, status);
  if (U_SUCCESS(status)) matcher->setStackLimit(limits.stackLimitBytes, status);
  if (meter && U_SUCCESS(status)) {
    matcher->setMatchCallback(onBlockOfSteps, &context, status);
    matcher->setFindProgressCallback(onNewPlace, &context, status);
  }
  bool found = U_SUCCESS(status) && matcher->find(status);
  // What was done since the last telling counts even when the match is over, its last block of
  // steps included.
  const std::uint64_t steps = matcher ? stepsOf(*matcher) : 0;
  if (meter && matcher && U_SUCCESS(status) && !context.stopped && !context.tell(steps)) status = U_REGEX_STOPPED_BY_CALLER;
  if (context.stopped && U_SUCCESS(status)) status = U_REGEX_STOPPED_BY_CALLER;
  std::optional<TextRange> range;
  if (U_SUCCESS(status) && found) {
    const int64_t start = matcher->start64(status);
    const int64_t end = matcher->end64(status);
    if (U_SUCCESS(status)) range = TextRange{static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)};
  }
  const bool failed = U_FAILURE(status);
  matcher.reset();
  if (pieced) utext_close(&piecedHeader);
  if (failed) {
    setError(error, Error(std::string(kRegularExpressionErrorDomain), kRegularExpressionLimitError,
                          {{"NSInvalidValue", Value(std::string(u_errorName(status)))}}));
    return std::nullopt;
  }
  return range;
}

std::optional<TextRange> firstMatchOfRegularExpression(std::u16string_view pattern, std::u16string_view text,
                                                       const RegularExpressionLimits& limits, Error* error,
                                                       const RegularExpressionMeter& meter) {
  const auto compiled = RegularExpression::compile(pattern, error);
  if (!compiled) return std::nullopt;
  return compiled->firstMatch(text, limits, error, meter);
}

}  // namespace platform
