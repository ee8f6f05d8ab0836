#include "tools/terminal/grid.h"

#include <gtest/gtest.h>

namespace terminal {
namespace {

struct GlyphCase {
  const char* name;
  std::string input;
  std::vector<std::string> glyphs;
  int width;
};

class GlyphsOf : public ::testing::TestWithParam<GlyphCase> {};

TEST_P(GlyphsOf, SplitsIntoSafeGlyphs) {
  const auto& c = GetParam();
  std::vector<std::string> texts;
  for (const auto& g : glyphsOf(c.input)) texts.push_back(g.text);
  EXPECT_EQ(texts, c.glyphs);
  EXPECT_EQ(displayWidth(c.input), c.width);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, GlyphsOf,
    ::testing::Values(GlyphCase{"Ascii", "25:00", {"2", "5", ":", "0", "0"}, 5},
                      // An escape sequence in a label must not reach the terminal as one.
                      GlyphCase{"EscapeBecomesSpace", "a\x1b[2Jb", {"a", " ", "[", "2", "J", "b"}, 6},
                      GlyphCase{"C1ControlBecomesSpace",
                                "a\xc2\x9b"
                                "b",
                                {"a", " ", "b"},
                                3},
                      GlyphCase{"TruncatedSequence", "a\xe2\x82", {"a", "\xef\xbf\xbd", "\xef\xbf\xbd"}, 3},
                      GlyphCase{"Overlong", "\xc0\xaf", {"\xef\xbf\xbd", "\xef\xbf\xbd"}, 2},
                      GlyphCase{"Surrogate", "\xed\xa0\x80", {"\xef\xbf\xbd", "\xef\xbf\xbd", "\xef\xbf\xbd"}, 3},
                      GlyphCase{"HangulIsWide", "음원", {"음", "원"}, 4},
                      GlyphCase{"CombiningMarkDropped", "e\xcc\x81", {"e"}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TruncateToWidth, CutsByColumnsAndMarksTheCut) {
  struct Case {
    std::string text;
    int columns;
    std::string expected;
  } cases[] = {
      {"settingButton", 20, "settingButton"},
      {"settingButton", 6, "setti…"},
      {"settingButton", 1, "…"},
      {"settingButton", 0, ""},
      {"음원파일", 5, "음원…"},
      {"음원파일", 4, "음…"},
  };
  for (const auto& c : cases) EXPECT_EQ(truncateToWidth(c.text, c.columns), c.expected) << c.text << " " << c.columns;
}

TEST(Grid, PutClipsAndKeepsWideGlyphsWhole) {
  Grid grid(6, 1);
  grid.put(-2, 0, "abcdefgh", Style{});
  EXPECT_EQ(grid.plainLine(0), "cdefgh");

  Grid clipped(6, 1);
  // The wide glyph straddles the clip's right edge: a space holds its visible half.
  clipped.put(0, 0, "ab음", Style{}, 0, 3);
  EXPECT_EQ(clipped.plainLine(0), "ab");
  EXPECT_EQ(clipped.at(2, 0).glyph, " ");
  EXPECT_FALSE(clipped.at(3, 0).continuation);
}

TEST(Grid, OverwritingHalfAWideGlyphClearsTheOtherHalf) {
  Grid grid(4, 1);
  grid.put(0, 0, "음원", Style{});
  EXPECT_EQ(grid.plainLine(0), "음원");
  grid.put(1, 0, "x", Style{});  // the right half of the first glyph
  EXPECT_EQ(grid.plainLine(0), " x원");
  grid.put(2, 0, "y", Style{});  // the left half of the second
  EXPECT_EQ(grid.plainLine(0), " xy");
  EXPECT_FALSE(grid.at(3, 0).continuation);
}

TEST(Grid, FillClearsGlyphsOnlyWhenAsked) {
  Grid grid(4, 2);
  grid.put(0, 0, "abcd", Style{});
  grid.put(0, 1, "abcd", Style{});
  grid.fill(1, 0, 3, 1, Rgb{1, 2, 3}, true);
  grid.fill(1, 1, 3, 2, Rgb{1, 2, 3}, false);
  EXPECT_EQ(grid.plainText(), "a  d\nabcd\n");
  EXPECT_EQ(grid.at(1, 1).style.bg, (Rgb{1, 2, 3}));
}

TEST(Grid, TextKeepsTheBackgroundBeneathIt) {
  Grid grid(3, 1);
  grid.fill(0, 0, 3, 1, Rgb{10, 20, 30}, true);
  Style white;
  white.fg = Rgb{255, 255, 255};
  grid.put(0, 0, "ab", white);
  EXPECT_EQ(grid.at(0, 0).style.bg, (Rgb{10, 20, 30}));
  EXPECT_EQ(grid.at(0, 0).style.fg, (Rgb{255, 255, 255}));
}

TEST(Grid, AnsiLineCarriesOnlyItsOwnEscapes) {
  Grid grid(8, 1);
  Style red;
  red.fg = Rgb{255, 0, 0};
  grid.put(0, 0, "\x1b]0;x\x07ok", red);
  const std::string line = grid.ansiLine(0);
  EXPECT_EQ(line.find("\x1b]"), std::string::npos);
  EXPECT_EQ(line.find('\x07'), std::string::npos);
  EXPECT_NE(line.find("\x1b[0;38;2;255;0;0m"), std::string::npos);
  EXPECT_EQ(line.substr(line.size() - 4), "\x1b[0m");
}

TEST(Grid, BlitPlacesAndClipsAnotherGrid) {
  Grid small(3, 2);
  small.put(0, 0, "abc", Style{});
  small.put(0, 1, "d음", Style{});
  Grid big(4, 3);
  big.blit(small, 2, 1);
  // The wide glyph would stand half outside: a space takes its place.
  EXPECT_EQ(big.plainText(), "\n  ab\n  d\n");
}

}  // namespace
}  // namespace terminal
