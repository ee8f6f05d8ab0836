// The meter of a match: it is told every engine step (in blocks as the match goes, the rest at
// its end), the places tried and the pieces of text fetched, and answering false stops the
// match with the limit error.
#include "platform/foundation/regular_expression.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/error.h"

namespace {

using platform::RegularExpressionLimits;

std::u16string repeated(char16_t c, std::size_t n) { return std::u16string(n, c); }

// Sums what the meter is told, and stops a match that goes on far past what any case here does
// (a fault in the engine's reading of the text), so that it fails instead of holding the test.
struct Told {
  platform::RegularExpressionWork work;
  int tellings = 0;
  std::vector<std::uint64_t> steps;
  platform::RegularExpressionMeter meter() {
    return [this](const platform::RegularExpressionWork& w) {
      work.steps += w.steps;
      work.places += w.places;
      work.pieces += w.pieces;
      steps.push_back(w.steps);
      ++tellings;
      return work.pieces < kMostPieces;
    };
  }
  static constexpr std::uint64_t kMostPieces = 1'000'000;
};

// A bound on the engine's own steps, for the same reason.
constexpr RegularExpressionLimits kBounded{1000, 1 << 20};

TEST(RegularExpressionMeterTest, ToldEveryStepAndEveryPlaceTried) {
  const RegularExpressionLimits unlimited{0, 1 << 20};
  struct Case {
    std::u16string pattern;
    std::u16string text;
    std::uint64_t places;  // attempts after the first
    std::uint64_t fewestSteps, mostSteps;
  };
  const Case cases[] = {
      // One attempt at each place, a search for one unit with no backtracking.
      {u"x", repeated(u'a', 5000), 4999, 0, 0},
      // Found at once.
      {u"a", u"abc", 0, 0, 1},
      // Backtracks for thousands of steps, all within the engine's first block: they count all
      // the same.
      {u"(a|aa)+$", repeated(u'a', 14) + u"!", 14, 5000, platform::kRegularExpressionStepsPerReport - 1},
      // Past blocks of steps, while the text is short.
      {u"(a|aa)+$", repeated(u'a', 20) + u"!", 20, 10 * platform::kRegularExpressionStepsPerReport, 100'000'000},
  };
  for (const Case& c : cases) {
    Told told;
    platform::Error error;
    platform::firstMatchOfRegularExpression(c.pattern, c.text, unlimited, &error, told.meter());
    EXPECT_FALSE(error);
    EXPECT_EQ(told.work.places, c.places);
    EXPECT_GE(told.work.steps, c.fewestSteps);
    EXPECT_LE(told.work.steps, c.mostSteps);
    EXPECT_EQ(told.work.pieces, 0u);
  }
}

// The step count rests on the engine's private counters: whole blocks of 10,000 steps, and the
// steps left in the current block counted down. A library that counts otherwise fails here
// instead of charging matches wrongly: this match's steps grow by a fixed number per unit of
// text, so the count of a long match, over many blocks, follows from short ones within a block.
TEST(RegularExpressionMeterTest, StepsCountAsTheEngineTakesThem) {
  const auto stepsOver = [](std::size_t length) {
    Told told;
    platform::Error error;
    // Each unit keeps a backtracking state, on a stack that must hold them all.
    EXPECT_TRUE(platform::firstMatchOfRegularExpression(u"^(?:a|b)*$", repeated(u'a', length), {kBounded.timeLimit, 1 << 24},
                                                        &error, told.meter()));
    EXPECT_FALSE(error);
    // Told at each whole block, and once more at the end.
    EXPECT_EQ(told.tellings, static_cast<int>(told.work.steps / platform::kRegularExpressionStepsPerReport + 1));
    for (std::size_t i = 0; i + 1 < told.steps.size(); ++i) EXPECT_EQ(told.steps[i], platform::kRegularExpressionStepsPerReport);
    return told.work.steps;
  };
  const std::uint64_t ten = stepsOver(10), hundred = stepsOver(100);
  ASSERT_GT(hundred, ten);
  ASSERT_EQ((hundred - ten) % 90, 0u);
  const std::uint64_t perUnit = (hundred - ten) / 90;
  for (const std::size_t length : {std::size_t{1000}, std::size_t{4999}, std::size_t{5000}, std::size_t{5001}, std::size_t{123'457}}) {
    EXPECT_EQ(stepsOver(length), ten + perUnit * (length - 10)) << length;
  }
}

// A text handed over in pieces matches exactly as a whole one, surrogate pairs across a piece's
// edge included, and each piece the engine reads is told.
TEST(RegularExpressionMeterTest, APiecedTextMatchesAsAWholeOneAndToldItsPieces) {
  const std::u16string pair = u"\U0001F600";
  std::u16string mixed;
  for (int i = 0; i < 40; ++i) mixed += u"ab1" + pair + u"-";
  const std::u16string digitAtEnd = repeated(u'a', 999) + u"1";
  const struct {
    std::u16string pattern;
    std::u16string text;
  } cases[] = {
      {u"^(?=.*[0-9])(?=.*[a-z]).{8,}$", digitAtEnd},
      {u"^(?=.*[0-9])(?=.*[a-z]).{8,}$", repeated(u'a', 1000)},
      {u"(?:(?=.*1).)*", digitAtEnd},
      {u"\U0001F600-a", mixed},
      {u"(.)\\1", u"abcdefgh" + repeated(u'z', 200)},
      {u"(?<=1\U0001F600)-", mixed},
      {u"[^a]+$", mixed},
      {u"\\X{3}b", mixed},
      {u"(?i)(?=.*B1)A", mixed},
      {u"(?<!a)\\bb1", mixed},
  };
  for (const auto& c : cases) {
    platform::Error wholeError, piecedError;
    const auto whole = platform::firstMatchOfRegularExpression(c.pattern, c.text, kBounded, &wholeError);
    Told told;
    const auto pieced = platform::firstMatchOfRegularExpression(c.pattern, c.text, {kBounded.timeLimit, 1 << 20, 7},
                                                                &piecedError, told.meter());
    EXPECT_FALSE(wholeError);
    EXPECT_FALSE(piecedError);
    ASSERT_EQ(whole.has_value(), pieced.has_value());
    if (whole) {
      EXPECT_EQ(whole->location, pieced->location);
      EXPECT_EQ(whole->length, pieced->length);
    }
    EXPECT_GE(told.work.pieces, 1u);
  }
  // Each lookahead reads to the end of the text: every piece, at least once for each.
  Told told;
  platform::Error error;
  platform::firstMatchOfRegularExpression(u"^(?=.*[0-9])(?=.*[a-z]).{8,}$", digitAtEnd, {kBounded.timeLimit, 1 << 20, 10},
                                          &error, told.meter());
  EXPECT_GE(told.work.pieces, 3 * digitAtEnd.size() / 10);
}

// Each case has the engine's own limit as a bound, so that a meter that is not told (or not
// heeded) fails the case instead of holding it.
TEST(RegularExpressionMeterTest, AMeterThatAnswersNoStopsTheMatch) {
  const RegularExpressionLimits backstop{50, 1 << 20};
  for (const std::u16string& pattern : {std::u16string(u"(a+)+$"), std::u16string(u"x")}) {
    int told = 0;
    platform::Error error;
    const auto found = platform::firstMatchOfRegularExpression(pattern, repeated(u'a', 40000) + u"!", backstop, &error,
                                                               [&](const platform::RegularExpressionWork&) { return ++told < 3; });
    EXPECT_FALSE(found);
    EXPECT_EQ(error.code(), platform::kRegularExpressionLimitError);
    EXPECT_EQ(told, 3);
  }
  // Told once more at the end: a match whose last work is over the meter's limit fails too.
  platform::Error error;
  EXPECT_FALSE(platform::firstMatchOfRegularExpression(u"c", u"abc", backstop, &error,
                                                       [](const platform::RegularExpressionWork&) { return false; }));
  EXPECT_EQ(error.code(), platform::kRegularExpressionLimitError);
  // Answering no while the engine fetches a piece stops the match at its next block of steps,
  // telling nothing more.
  int told = 0;
  platform::Error piecedError;
  EXPECT_FALSE(platform::firstMatchOfRegularExpression(u"(?:(?=.*!).)*$", repeated(u'a', 40000), {50, 1 << 20, 4},
                                                       &piecedError, [&](const platform::RegularExpressionWork& w) {
                                                         ++told;
                                                         return w.pieces == 0;
                                                       }));
  EXPECT_EQ(piecedError.code(), platform::kRegularExpressionLimitError);
  EXPECT_EQ(told, 1);
}

}  // namespace
