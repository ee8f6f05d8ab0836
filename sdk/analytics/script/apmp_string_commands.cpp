#include "sdk/analytics/script/apmp_string_commands.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "platform/foundation/error.h"
#include "platform/foundation/locale.h"
#include "platform/foundation/regular_expression.h"
#include "platform/foundation/strings.h"
#include "sdk/analytics/script/apmp_container_values.h"
#include "sdk/analytics/script/apmp_errors.h"
#include "sdk/analytics/script/apmp_function_value.h"
#include "sdk/analytics/script/apmp_primitive_values.h"
#include "sdk/analytics/script/apmp_run_state.h"

namespace {

// Patterns and texts come from a server. A match is charged for what its work costs in time,
// as it goes, and runs only while the budget holds what it may do before it can next be stopped.
// The engine's own limit is a backstop far beyond any budget, for a meter that never stops it.
constexpr std::int32_t kEngineBlocksBackstop = 2000;
constexpr std::size_t kReadPiece = APMPRegularExpressionPrices::kReadPiece;
using Prices = APMPRegularExpressionPrices;
// Case mapping goes through UTF-8 and back.
constexpr std::size_t kCaseMappingCostPerCodeUnit = 8;

APMPValuePtr undefined() { return APMPUndefinedValue::sharedInstance(); }
APMPValuePtr text(APMPString value) { return APMPStringValue::make(std::move(value)); }
APMPValuePtr number(double value) { return APMPNumberValue::make(value); }
APMPValuePtr position(std::size_t index) {
  return index == APMPString::npos ? number(-1) : number(static_cast<double>(index));
}

std::optional<double> integerOf(const APMPValuePtr& value, platform::Error* error) {
  const double d = value->doubleValueOrError(error);
  if (APMPHasError(error)) return std::nullopt;
  return APMPToInteger(d);
}

std::optional<APMPString> textOf(const APMPValuePtr& value, platform::Error* error) {
  APMPString s = value->stringValueOrError(error);
  if (APMPHasError(error)) return std::nullopt;
  return s;
}

// The integer of an optional argument, clamped to [low, high]; `fallback` without one.
std::optional<std::size_t> clampedArgument(const APMPArguments& v, std::size_t i, double fallback, double low,
                                           double high, platform::Error* error) {
  double d = fallback;
  if (i < v.size()) {
    const auto integer = integerOf(v[i], error);
    if (!integer) return std::nullopt;
    d = *integer;
  }
  return static_cast<std::size_t>(std::clamp(d, low, high));
}

// Growth of texts is charged to the run, as concatenation is, and so is the copying.
bool chargeText(std::size_t length, platform::Error* error) {
  if (!APMPChargeWork(0, length, error)) return false;
  if (length > APMPRunState::kMaximumTextLength ||
      !APMPChargeAllocation(length * sizeof(char16_t), error)) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return false;
  }
  return true;
}

// A search may compare the whole searched text at every place it could begin: that is charged
// before it starts.
bool chargeSearch(std::size_t places, std::size_t searchLength, platform::Error* error) {
  return APMPChargeWork(0, places * std::max<std::size_t>(searchLength, 1), error);
}

// Plain search compares code units exactly; the empty text is never found.
std::size_t findText(const APMPString& s, const APMPString& search, std::size_t from, platform::Error* error) {
  if (search.empty() || from >= s.size() || !chargeSearch(s.size() - from, search.size(), error)) {
    return APMPString::npos;
  }
  return s.find(search, from);
}

APMPValuePtr charAt(const APMPString& s, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 1, error)) return undefined();
  double i = 0;
  if (!v.empty()) {
    const auto integer = integerOf(v[0], error);
    if (!integer) return undefined();
    i = *integer;
  }
  if (i < 0 || i >= static_cast<double>(s.size())) return text(u"");
  return text(APMPString(1, s[static_cast<std::size_t>(i)]));
}

APMPValuePtr concat(const APMPString& s, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPChargeWork(0, s.size(), error)) return undefined();
  APMPString out = s;
  for (const APMPValuePtr& value : v) {
    const auto part = textOf(value, error);
    if (!part || !chargeText(out.size() + part->size(), error)) return undefined();
    out += *part;
  }
  return text(std::move(out));
}

APMPValuePtr hasOwnProperty(const APMPString& s, const APMPArguments& v, const APMPScopePtr&,
                            platform::Error* error) {
  if (!APMPCheckArgumentCount(v, 1, error)) return undefined();
  const auto name = textOf(v[0], error);
  if (!name) return undefined();
  if (*name == u"length") return APMPBooleanValue::booleanValueWithBool(true);
  const double d = v[0]->doubleValueOrError(error);
  if (APMPHasError(error)) return undefined();
  return APMPBooleanValue::booleanValueWithBool(d >= 0 && std::floor(d) == d && d < static_cast<double>(s.size()));
}

APMPString searchTextOf(const APMPArguments& v, platform::Error* error) {
  if (v.empty()) return u"undefined";
  return textOf(v[0], error).value_or(APMPString());
}

APMPValuePtr indexOf(const APMPString& s, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 2, error)) return undefined();
  const APMPString search = searchTextOf(v, error);
  if (APMPHasError(error)) return undefined();
  const auto start = clampedArgument(v, 1, 0, 0, static_cast<double>(s.size()), error);
  if (!start) return undefined();
  const std::size_t found = findText(s, search, *start, error);
  return APMPHasError(error) ? undefined() : position(found);
}

APMPValuePtr lastIndexOf(const APMPString& s, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 2, error)) return undefined();
  const APMPString search = searchTextOf(v, error);
  if (APMPHasError(error)) return undefined();
  double start = std::numeric_limits<double>::infinity();
  if (v.size() > 1) {
    const double d = v[1]->doubleValueOrError(error);
    if (APMPHasError(error)) return undefined();
    if (!std::isnan(d)) start = APMPToInteger(d);
  }
  start = std::clamp(start, 0.0, static_cast<double>(s.size()));
  if (search.empty()) return number(-1);
  if (!chargeSearch(static_cast<std::size_t>(start) + 1, search.size(), error)) return undefined();
  return position(s.rfind(search, static_cast<std::size_t>(start)));
}

// What the pattern's text tells of its cost, judged on the text alone, so an escaped look-alike
// counts too, which only makes the match dearer.
struct PatternTraits {
  // Operations that may read far in one engine step: a back-reference compares up to the whole
  // text, a grapheme cluster may be as long, and lookarounds, atomic groups and possessive
  // quantifiers read ahead and then drop the steps they took.
  std::size_t farReading = 0;
  // Quantifiers: a loop over a unit, a class or the dot scans the text in one step.
  std::size_t loops = 0;
  // Sets and properties, each built when the pattern is compiled; a property looks its code
  // points up in the character data.
  std::size_t sets = 0;
  std::size_t properties = 0;
  // Some part of the pattern may match case-insensitively.
  bool caseInsensitive = false;
};

bool isFlag(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'-'; }

PatternTraits traitsOf(const APMPString& pattern) {
  PatternTraits traits;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char16_t c = pattern[i], next = i + 1 < pattern.size() ? pattern[i + 1] : u'\0';
    if (c == u'\\' && ((next >= u'1' && next <= u'9') || next == u'k' || next == u'X')) ++traits.farReading;
    if (c == u'(' && next == u'?' && i + 2 < pattern.size()) {
      const char16_t kind = pattern[i + 2];
      if (kind == u'=' || kind == u'!' || kind == u'>' || kind == u'<') ++traits.farReading;
      // Flags, as in "(?i)", "(?x-i:" or "(?ims)".
      for (std::size_t j = i + 2; j < pattern.size() && isFlag(pattern[j]); ++j) {
        if (pattern[j] == u'i') traits.caseInsensitive = true;
      }
    }
    if ((c == u'*' || c == u'+' || c == u'?' || c == u'}') && next == u'+') ++traits.farReading;
    if (c == u'*' || c == u'+' || c == u'{') ++traits.loops;
    if (c == u'[') ++traits.sets;
    if (c == u'\\' && (next == u'p' || next == u'P')) {
      ++traits.sets;
      ++traits.properties;
    }
  }
  return traits;
}

std::uint64_t codeUnitsOf(double work) {
  return work >= 1e18 ? std::uint64_t{1} << 62 : static_cast<std::uint64_t>(std::ceil(work));
}

std::uint64_t threadCPUNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

double workOfCPUTime(std::uint64_t nanoseconds) {
  return static_cast<double>(nanoseconds) / 1e3 * Prices::kPerMicrosecond;
}

// Something that can be stopped only now and then goes on only while the run's budget holds
// what it may do before the next chance; when it cannot, the run is over and its budget counts
// as spent.
bool budgetHolds(std::uint64_t work, platform::Error* error) {
  return APMPCanAffordWork(work) || APMPChargeWork(0, work, error);
}

// The pattern compiled, from those the run state keeps or compiled now. Compiling runs in one
// go, so it starts only while the budget holds the most it may cost. It is charged for what it
// builds (its units, sets and properties), or for its CPU time where that is far more, as when a
// case-insensitive set is closed over the case variants of its code points; never more than the
// most it may cost, which leaves out the library's own start-up.
std::shared_ptr<const platform::RegularExpression> compiled(const APMPString& pattern, const PatternTraits& traits,
                                                            platform::Error* error) {
  APMPRunState* state = APMPRunState::current();
  if (state) {
    if (auto kept = state->keptRegularExpression(pattern)) return kept;
  }
  const auto p = static_cast<double>(pattern.size());
  const auto sets = static_cast<double>(traits.sets);
  const double worst =
      Prices::kPerMicrosecond *
      (Prices::kCompileWorstPerUnit * p + Prices::kCompileWorstPerUnitSquared * p * p +
       sets * (traits.caseInsensitive ? Prices::kCompileWorstPerCaseInsensitiveSet : Prices::kCompileWorstPerSet));
  if (!budgetHolds(codeUnitsOf(worst), error)) return nullptr;
  const double built = Prices::kPerMicrosecond * (Prices::kCompilePerUnit * p + Prices::kCompilePerSet * sets +
                                                  Prices::kCompilePerProperty * static_cast<double>(traits.properties));
  const std::uint64_t started = threadCPUNanoseconds();
  platform::Error local;
  auto result = platform::RegularExpression::compile(pattern, &local);
  const double timed = workOfCPUTime(threadCPUNanoseconds() - started) - Prices::kCompileTimeAllowance * built;
  if (!APMPChargeWork(0, codeUnitsOf(std::min(std::max(built, timed), worst)), error)) return nullptr;
  APMPKeepError(error, local);
  if (state) state->keepRegularExpression(pattern, result);
  return result;
}

// The first match of a pattern from the program: nothing without one; nothing with the error
// set when the pattern does not compile, or the match runs out of budget or backtracking stack.
// Between two of its steps the engine runs at most the pattern's operations, each reading a
// unit or a literal, except those that read far (within the piece of text at hand, a share of
// it is charged) and loops, which scan in one step; a fetch of another piece is told and
// charged. The engine can be stopped only when it completes a block of steps, so the match
// starts and goes on only while the budget holds one more block at its dearest: a far-reading
// operation's scan through the whole text at every other step (a scan takes a step of its own,
// and so does each round of a loop that repeats it). A match long enough to be told a whole
// batch of its work pays from then on at least a share of its CPU time, for any path of the
// engine these counts miss; a short one never reads the clock.
std::optional<platform::TextRange> firstMatch(const APMPString& pattern, const APMPString& s,
                                              platform::Error* error) {
  const PatternTraits traits = traitsOf(pattern);
  if (!APMPChargeWork(0, codeUnitsOf(Prices::kMatchSetup), error)) return std::nullopt;
  const auto expression = compiled(pattern, traits, error);
  if (!expression) return std::nullopt;
  const auto far = static_cast<double>(traits.farReading);
  const auto p = static_cast<double>(pattern.size()), n = static_cast<double>(s.size());
  const double folding = traits.caseInsensitive ? Prices::kCaseInsensitiveFactor : 1;
  const double read = Prices::kEngineRead * Prices::kChargedShareOfReads * folding;
  const double baseStepCost = Prices::kEngineStep + Prices::kEngineStepPerPatternUnit * folding * p;
  const double stepCost = baseStepCost + read * far * std::min(n, double{kReadPiece}) / 4;
  // Most attempts end within the pattern's first operations.
  const double placeCost = Prices::kEnginePlace + Prices::kEngineStepPerPatternUnit * folding * p / 2;
  const double pieceCost = read * kReadPiece;
  const double worstStepCost = stepCost + read * far * n / 2;
  const std::uint64_t worstBlock =
      codeUnitsOf(static_cast<double>(platform::kRegularExpressionStepsPerReport) * worstStepCost +
                  static_cast<double>(platform::kRegularExpressionCountsPerTelling) * (placeCost + pieceCost));
  if (!budgetHolds(worstBlock, error)) return std::nullopt;
  platform::Error charged;
  std::uint64_t lastTold = 0;
  const auto meter = [&](const platform::RegularExpressionWork& work) {
    double cost = static_cast<double>(work.steps) * stepCost + static_cast<double>(work.places) * placeCost +
                  static_cast<double>(work.pieces) * pieceCost;
    if (lastTold != 0 || work.steps >= platform::kRegularExpressionStepsPerReport ||
        work.places >= platform::kRegularExpressionCountsPerTelling ||
        work.pieces >= platform::kRegularExpressionCountsPerTelling) {
      const std::uint64_t now = threadCPUNanoseconds();
      if (lastTold != 0) cost = std::max(cost, workOfCPUTime(now - lastTold) * Prices::kCPUTimeBackstopShare);
      lastTold = now;
    }
    return APMPChargeWork(0, codeUnitsOf(cost), &charged) && budgetHolds(worstBlock, &charged);
  };
  platform::Error local;
  const platform::RegularExpressionLimits limits{kEngineBlocksBackstop, 1 << 20, traits.farReading + traits.loops > 0 ? kReadPiece : 0};
  auto range = expression->firstMatch(s, limits, &local, meter);
  if (charged || local.code() == platform::kRegularExpressionLimitError) {
    APMPSetError(error, kAPMPErrorLimitReached);
    return std::nullopt;
  }
  APMPKeepError(error, local);
  return range;
}

APMPValuePtr match(const APMPString& s, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 1, error)) return undefined();
  APMPString pattern;
  if (!v.empty()) {
    const auto t = textOf(v[0], error);
    if (!t) return undefined();
    pattern = *t;
  }
  if (pattern.empty()) return APMPArrayValue::make({text(u"")});
  const auto range = firstMatch(pattern, s, error);
  if (!range) return APMPNullValue::sharedInstance();
  return APMPArrayValue::make({text(s.substr(range->location, range->length))});
}

APMPValuePtr search(const APMPString& s, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 1, error)) return undefined();
  const APMPString pattern = searchTextOf(v, error);
  if (APMPHasError(error)) return undefined();
  if (pattern.empty()) return number(0);
  platform::Error local;
  const auto range = firstMatch(pattern, s, &local);
  if (local) {
    APMPKeepError(error, local);
    return number(0);
  }
  return range ? number(static_cast<double>(range->location)) : number(-1);
}

APMPValuePtr replace(const APMPString& s, const APMPArguments& v, const APMPScopePtr& scope, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 2, error)) return undefined();
  const APMPString searched = searchTextOf(v, error);
  if (APMPHasError(error)) return undefined();
  std::size_t at = searched.empty() ? 0 : findText(s, searched, 0, error);
  if (APMPHasError(error)) return undefined();
  if (at == APMPString::npos) return chargeText(s.size(), error) ? text(s) : undefined();
  APMPString replacement = u"undefined";
  if (v.size() > 1) {
    if (v[1]->kind() == APMPRuntimeValue::Kind::Function) {
      const APMPValuePtr result = static_cast<APMPFunctionValue&>(*v[1]).invokeWithArguments(
          {text(searched), number(static_cast<double>(at)), text(s)}, scope, error);
      if (APMPHasError(error)) return undefined();
      const auto t = textOf(result, error);
      if (!t) return undefined();
      replacement = *t;
    } else {
      const auto t = textOf(v[1], error);
      if (!t) return undefined();
      replacement = *t;
    }
  }
  if (!chargeText(s.size() - searched.size() + replacement.size(), error)) return undefined();
  APMPString out = s;
  out.replace(at, searched.size(), replacement);
  return text(std::move(out));
}

APMPValuePtr slice(const APMPString& s, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 2, error)) return undefined();
  const double length = static_cast<double>(s.size());
  double bounds[2] = {0, length};
  for (std::size_t i = 0; i < v.size(); ++i) {
    const auto integer = integerOf(v[i], error);
    if (!integer) return undefined();
    bounds[i] = *integer < 0 ? std::max(*integer + length, 0.0) : std::min(*integer, length);
  }
  const auto start = static_cast<std::size_t>(bounds[0]);
  const auto count = static_cast<std::size_t>(std::max(bounds[1] - bounds[0], 0.0));
  if (!APMPChargeWork(0, count, error)) return undefined();
  return text(s.substr(start, count));
}

APMPValuePtr split(const APMPString& s, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 2, error)) return undefined();
  if (s.empty() || v.empty()) return chargeText(s.size(), error) ? APMPArrayValue::make({text(s)}) : undefined();
  const auto separator = textOf(v[0], error);
  if (!separator || !chargeSearch(s.size(), separator->size(), error)) return undefined();
  std::size_t limit = std::numeric_limits<std::size_t>::max();
  if (v.size() > 1) {
    const double d = v[1]->doubleValueOrError(error);
    if (APMPHasError(error)) return undefined();
    limit = APMPToUint32(d);
  }
  APMPArguments pieces;
  const auto add = [&](APMPString piece) {
    if (pieces.size() >= APMPRunState::kMaximumArrayCount ||
        !APMPChargeAllocation(sizeof(APMPValuePtr) + piece.size() * sizeof(char16_t), error)) {
      APMPSetError(error, kAPMPErrorLimitReached);
      return false;
    }
    pieces.push_back(text(std::move(piece)));
    return true;
  };
  if (separator->empty()) {
    for (std::size_t i = 0; i < s.size() && pieces.size() < limit; ++i) {
      if (!add(APMPString(1, s[i]))) return undefined();
    }
  } else {
    std::size_t from = 0;
    while (pieces.size() < limit) {
      const std::size_t at = s.find(*separator, from);
      if (!add(s.substr(from, at == APMPString::npos ? APMPString::npos : at - from))) return undefined();
      if (at == APMPString::npos) break;
      from = at + separator->size();
    }
  }
  return APMPArrayValue::make(std::move(pieces));
}

APMPValuePtr substring(const APMPString& s, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(v, 2, error)) return undefined();
  const double length = static_cast<double>(s.size());
  const auto start = clampedArgument(v, 0, 0, 0, length, error);
  if (!start) return undefined();
  const auto end = clampedArgument(v, 1, length, 0, length, error);
  if (!end) return undefined();
  const std::size_t count = std::max(*start, *end) - std::min(*start, *end);
  if (!APMPChargeWork(0, count, error)) return undefined();
  return text(s.substr(std::min(*start, *end), count));
}

// The case mappings work on UTF-8; texts with unpaired surrogates lose them to U+FFFD.
template <std::string (*Map)(std::string_view)>
APMPValuePtr mapCase(const APMPString& s, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(v, 0, error) || !APMPChargeWork(0, kCaseMappingCostPerCodeUnit * s.size(), error)) {
    return undefined();
  }
  APMPString mapped = platform::strings::toUTF16(Map(platform::strings::fromUTF16(s)));
  if (!chargeText(mapped.size(), error)) return undefined();
  return text(std::move(mapped));
}

std::string lowercase(std::string_view s) { return platform::strings::lowercase(s); }
std::string uppercase(std::string_view s) { return platform::strings::uppercase(s); }
std::string localeLowercase(std::string_view s) {
  return platform::strings::lowercase(s, platform::currentLocaleIdentifier());
}
std::string localeUppercase(std::string_view s) {
  return platform::strings::uppercase(s, platform::currentLocaleIdentifier());
}

APMPValuePtr toString(const APMPString& s, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(v, 0, error) || !APMPChargeWork(0, s.size(), error)) return undefined();
  return text(s);
}

APMPValuePtr trim(const APMPString& s, const APMPArguments& v, const APMPScopePtr&, platform::Error* error) {
  if (!APMPCheckArgumentCount(v, 0, error) || !APMPChargeWork(0, s.size(), error)) return undefined();
  return text(APMPTrimmed(s));
}

APMPValuePtr dispatch(const APMPString& name, const APMPStringValue& receiver, const APMPArguments& arguments,
                      const APMPScopePtr& scope, platform::Error* error) {
  return APMPStringCommandEvaluator::sharedInstance().evaluateCommand(name, receiver.value(), arguments, scope, error);
}

}  // namespace

APMPStringCommandEvaluator& APMPStringCommandEvaluator::sharedInstance() {
  // Never destroyed: a script may still run on a worker while the process exits.
  static APMPStringCommandEvaluator* const evaluator = new APMPStringCommandEvaluator;
  return *evaluator;
}

APMPStringCommandEvaluator::APMPStringCommandEvaluator()
    : handlers_{{u"charAt", charAt},
                {u"concat", concat},
                {u"hasOwnProperty", hasOwnProperty},
                {u"indexOf", indexOf},
                {u"lastIndexOf", lastIndexOf},
                {u"match", match},
                {u"replace", replace},
                {u"search", search},
                {u"slice", slice},
                {u"split", split},
                {u"substring", substring},
                {u"toLowerCase", mapCase<lowercase>},
                {u"toLocaleLowerCase", mapCase<localeLowercase>},
                {u"toUpperCase", mapCase<uppercase>},
                {u"toLocaleUpperCase", mapCase<localeUppercase>},
                {u"toString", toString},
                {u"trim", trim}} {}

APMPValuePtr APMPStringCommandEvaluator::evaluateCommand(const APMPString& name, const APMPString& text,
                                                         const APMPArguments& arguments, const APMPScopePtr& scope,
                                                         platform::Error* error) const {
  return APMPDispatchMethod(handlers_, name, text, arguments, scope, error);
}

void APMPInstallStringMethods() { APMPSetStringMethodHandler(&dispatch); }
