// The meter of a match: it is told the engine's steps in whole blocks and the places tried, and
// answering false stops the match with the limit error.
#include "platform/foundation/regular_expression.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/error.h"

namespace {

using platform::RegularExpressionLimits;

std::u16string repeated(char16_t c, std::size_t n) { return std::u16string(n, c); }

TEST(RegularExpressionMeterTest, ToldStepsInBlocksAndEveryPlaceTried) {
  const RegularExpressionLimits unlimited{0, 1 << 20};
  struct Case {
    std::u16string pattern;
    std::u16string text;
    std::uint64_t places;  // attempts after the first
    bool steps;            // whether the engine reported a block
  };
  const Case cases[] = {
      // One attempt at each place, a search for one unit with no backtracking.
      {u"x", repeated(u'a', 5000), 4999, false},
      // Found at once.
      {u"a", u"abc", 0, false},
      // Backtracks catastrophically: blocks of steps, while the text is short.
      {u"(a|aa)+$", repeated(u'a', 20) + u"!", 20, true},
  };
  for (const Case& c : cases) {
    std::uint64_t steps = 0, places = 0;
    platform::Error error;
    platform::firstMatchOfRegularExpression(c.pattern, c.text, unlimited, &error,
                                            [&](std::uint64_t s, std::uint64_t p) {
                                              steps += s;
                                              places += p;
                                              return true;
                                            });
    EXPECT_FALSE(error);
    EXPECT_EQ(places, c.places);
    EXPECT_EQ(steps % platform::kRegularExpressionStepsPerReport, 0u);
    EXPECT_EQ(steps > 0, c.steps);
  }
}

TEST(RegularExpressionMeterTest, AMeterThatAnswersNoStopsTheMatch) {
  const RegularExpressionLimits unlimited{0, 1 << 20};
  for (const std::u16string& pattern : {std::u16string(u"(a+)+$"), std::u16string(u"x")}) {
    int told = 0;
    platform::Error error;
    const auto found = platform::firstMatchOfRegularExpression(pattern, repeated(u'a', 40000) + u"!", unlimited, &error,
                                                               [&](std::uint64_t, std::uint64_t) { return ++told < 3; });
    EXPECT_FALSE(found);
    EXPECT_EQ(error.code(), platform::kRegularExpressionLimitError);
    EXPECT_EQ(told, 3);
  }
  // Told once more at the end: a match whose last work is over the meter's limit fails too.
  platform::Error error;
  EXPECT_FALSE(platform::firstMatchOfRegularExpression(u"c", u"abc", unlimited, &error,
                                                       [](std::uint64_t, std::uint64_t) { return false; }));
  EXPECT_EQ(error.code(), platform::kRegularExpressionLimitError);
}

}  // namespace
