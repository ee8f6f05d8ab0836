#include "platform/foundation/strings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/foundation/exception.h"
#include "platform/testing/child_process.h"

namespace platform::strings {
namespace {

struct LengthCase {
  const char* name;
  std::string text;
  std::size_t utf16;
  std::size_t codePoints;
};

TEST(StringsTest, LengthsCountUTF16UnitsAndCodePoints) {
  const LengthCase cases[] = {
      {"empty", "", 0, 0},
      {"ascii", "abc", 3, 3},
      {"precomposed e acute", "\u00E9", 1, 1},
      {"e with combining acute", "e\u0301", 2, 2},
      {"emoji outside the BMP", "\U0001F600", 2, 1},
      {"emoji with skin-tone modifier", "\U0001F44D\U0001F3FD", 4, 2},
      {"mixed", "a\U0001F600b\u4E2D", 5, 4},
      {"malformed byte counts once", "a\xFF" "b", 3, 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf16Length(c.text), c.utf16) << c.name;
    EXPECT_EQ(codePointLength(c.text), c.codePoints) << c.name;
    EXPECT_EQ(toUTF16(c.text).size(), c.utf16) << c.name;
  }
}

TEST(StringsTest, ValidatesUTF8) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},
      {"plain", true},
      {"\u00E9\U0001F600", true},
      {"\xC0\xAF", false},          // overlong "/"
      {"\xED\xA0\x80", false},      // a surrogate written as UTF-8
      {"\xE2\x82", false},          // truncated sequence
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\x80", false},              // lone continuation byte
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(isValidUTF8(text), valid) << ::testing::PrintToString(text);
}

TEST(StringsTest, UTF16ConversionRoundTripsAndReplacesUnpairedSurrogates) {
  const std::string text = "x\U0001F600\u00E9";
  EXPECT_EQ(fromUTF16(toUTF16(text)), text);
  EXPECT_EQ(fromUTF16(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a\uFFFDb");
  EXPECT_EQ(fromUTF16(std::u16string(1, char16_t(0xDC00))), "\uFFFD");
}

TEST(StringsTest, SubstringByUTF16RangeKeepsWholeCharacters) {
  const std::string text = "a\U0001F600b";
  EXPECT_EQ(substringWithUTF16Range(text, 0, 4), text);
  EXPECT_EQ(substringWithUTF16Range(text, 1, 2), "\U0001F600");
  EXPECT_EQ(substringWithUTF16Range(text, 3, 1), "b");
  EXPECT_EQ(substringWithUTF16Range(text, 4, 0), "");
  // Half of a surrogate pair cannot stand alone in UTF-8.
  EXPECT_EQ(substringWithUTF16Range(text, 1, 1), "\uFFFD");
  EXPECT_EQ(substringWithUTF16Range(text, 2, 2), "\uFFFDb");
}

TEST(StringsTest, SubstringOutOfRangeRaisesRangeException) {
  for (auto [location, length] : {std::pair<std::size_t, std::size_t>{0, 5}, {5, 0}, {2, SIZE_MAX}}) {
    try {
      substringWithUTF16Range("a\U0001F600b", location, length);
      ADD_FAILURE() << location << "," << length;
    } catch (const Exception& e) {
      EXPECT_EQ(e.name(), kRangeException);
    }
  }
}

TEST(StringsTest, PrefixesNeverSplitACharacter) {
  const std::string text = "a\U0001F600b";
  EXPECT_EQ(prefixUTF16(text, 0), "");
  EXPECT_EQ(prefixUTF16(text, 2), "a");
  EXPECT_EQ(prefixUTF16(text, 3), "a\U0001F600");
  EXPECT_EQ(prefixUTF16(text, 100), text);
  EXPECT_EQ(prefixCodePoints(text, 2), "a\U0001F600");
  EXPECT_EQ(prefixCodePoints("e\u0301x", 1), "e");
}

TEST(StringsTest, CaseMapping) {
  EXPECT_EQ(uppercase("stra\u00DFe"), "STRASSE");
  EXPECT_EQ(lowercase("\u00C0\u00C9Z"), "\u00E0\u00E9z");
  EXPECT_EQ(uppercase("i"), "I");
  EXPECT_EQ(uppercase("i", "tr"), "\u0130");
  EXPECT_EQ(lowercase("I", "tr"), "\u0131");
  EXPECT_EQ(lowercase("I", "en_US"), "i");
  EXPECT_EQ(uppercase("\xFF"), "\uFFFD");
}

TEST(StringsTest, TrimsWhitespaceAndGivenSets) {
  EXPECT_EQ(trimmingWhitespace("  \t hello  world \r\n"), "hello  world");
  EXPECT_EQ(trimmingWhitespace("\u00A0\u2003x\u3000"), "x");
  EXPECT_EQ(trimmingWhitespace(" \n\t "), "");
  EXPECT_EQ(trimmingWhitespace(""), "");
  EXPECT_EQ(trimming("--a-b--", CharacterSet::characters("-")), "a-b");
  EXPECT_EQ(trimming("\u00E9x\u00E9", CharacterSet::characters("\u00E9")), "x");
}

TEST(StringsTest, CharacterSetMembership) {
  const auto& alnum = CharacterSet::alphanumeric();
  for (char32_t c : {U'a', U'Z', U'5', U'\u00E9', U'\u4E2D', U'\u0663', U'\u0301'}) EXPECT_TRUE(alnum.contains(c)) << std::uint32_t{c};
  for (char32_t c : {U'-', U'_', U' ', U'.', U'\U0001F600'}) EXPECT_FALSE(alnum.contains(c)) << std::uint32_t{c};

  EXPECT_TRUE(CharacterSet::letters().contains(U'\u0301'));
  EXPECT_FALSE(CharacterSet::letters().contains(U'7'));
  const auto baseLetters = CharacterSet::letters().subtracting(CharacterSet::nonBase());
  EXPECT_TRUE(baseLetters.contains(U'\u00E9'));
  EXPECT_FALSE(baseLetters.contains(U'\u0301'));
  EXPECT_TRUE(CharacterSet::decimalDigits().contains(U'\u0663'));
  EXPECT_FALSE(CharacterSet::decimalDigits().contains(U'x'));
  EXPECT_TRUE(CharacterSet::newline().contains(U'\u2028'));
  EXPECT_FALSE(CharacterSet::whitespace().contains(U'\n'));
  EXPECT_TRUE(CharacterSet::whitespaceAndNewline().contains(U'\n'));

  const auto keyCharacters = alnum.unionWith(CharacterSet::characters("-_"));
  EXPECT_TRUE(allCharactersIn("AIza-_\u00E90", keyCharacters));
  EXPECT_FALSE(allCharactersIn("abc.def", keyCharacters));
  EXPECT_FALSE(allCharactersIn("ab\xFF", keyCharacters));
  EXPECT_TRUE(allCharactersIn("", keyCharacters));
  EXPECT_TRUE(containsCharacterFrom("abc.def", keyCharacters.inverted()));
  EXPECT_FALSE(containsCharacterFrom("abcdef", keyCharacters.inverted()));
}

TEST(StringsTest, SplitsAtEveryCharacterOfTheSet) {
  const std::vector<std::string> expected{"a", "b", "", "", "c", ""};
  EXPECT_EQ(componentsSeparatedByCharacters("a\nb\r\n\nc\n", CharacterSet::newline()), expected);
  EXPECT_EQ(componentsSeparatedByCharacters("", CharacterSet::newline()), std::vector<std::string>{""});
}

TEST(StringsTest, PercentEncoding) {
  const auto mappingIDSet = CharacterSet::alphanumeric().unionWith(CharacterSet::characters("-"));
  struct Case {
    std::string input;
    const CharacterSet& allowed;
    std::string expected;
  } cases[] = {
      {"log source-1 x", mappingIDSet, "log%20source-1%20x"},
      {"\u00E9", CharacterSet::urlQueryAllowed(), "%C3%A9"},
      {"\u00E9", CharacterSet::alphanumeric(), "\u00E9"},
      {"a/b?c=d&e#f", CharacterSet::urlQueryAllowed(), "a/b?c=d&e%23f"},
      {"a/b?c=d&e#f", CharacterSet::urlPathAllowed(), "a/b%3Fc=d&e%23f"},
      {"100%", CharacterSet::urlQueryAllowed(), "100%25"},
      {"\U0001F600", CharacterSet::urlQueryAllowed(), "%F0%9F%98%80"},
      {"a\xFF", CharacterSet::alphanumeric(), "a%FF"},
      {"[::1]:80", CharacterSet::urlHostAllowed(), "[::1]:80"},
      {"us er", CharacterSet::urlUserAllowed(), "us%20er"},
  };
  for (const auto& c : cases) {
    const std::string encoded = addingPercentEncoding(c.input, c.allowed);
    EXPECT_EQ(encoded, c.expected) << c.input;
    if (isValidUTF8(c.input)) {
      EXPECT_EQ(removingPercentEncoding(encoded), c.input) << c.input;
    }
  }
}

TEST(StringsTest, PercentDecodingRefusesBrokenEscapes) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"a%20b", "a b"},
      {"%c3%A9", "\u00E9"},
      {"plain", "plain"},
      {"%", std::nullopt},
      {"%4", std::nullopt},
      {"ab%zz", std::nullopt},
      {"%FF", std::nullopt},  // decodes to bytes that are not UTF-8
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(removingPercentEncoding(input), expected) << input;
}

TEST(StringsTest, CaseInsensitiveComparisonAndSearch) {
  EXPECT_EQ(caseInsensitiveCompare("Hello", "hELLO"), 0);
  EXPECT_LT(caseInsensitiveCompare("kiwi", "Lemon"), 0);
  EXPECT_GT(caseInsensitiveCompare("b", "A"), 0);
  EXPECT_TRUE(equalsIgnoringCase("STRASSE", "stra\u00DFe"));
  EXPECT_FALSE(equalsIgnoringCase("cafe", "caf\u00E9"));  // no diacritic folding
  EXPECT_TRUE(hasPrefixIgnoringCase("Purchase_Event", "purchase"));
  EXPECT_FALSE(hasPrefixIgnoringCase("pur", "purchase"));
  EXPECT_TRUE(hasSuffixIgnoringCase("Purchase_Event", "_EVENT"));
  EXPECT_TRUE(containsIgnoringCase("Add To Cart", "to c"));
  EXPECT_FALSE(containsIgnoringCase("Add To Cart", "tocart"));
}

TEST(StringsTest, LocalizedCaseInsensitiveOrder) {
  std::vector<std::string> names{"lemon/1", "Kiwi/2", "mango/1", "kiwi/1", "Lemon/0"};
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return localizedCaseInsensitiveCompare(a, b) < 0; });
  const std::vector<std::string> expected{"kiwi/1", "Kiwi/2", "Lemon/0", "lemon/1", "mango/1"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(localizedCaseInsensitiveCompare("ABC", "abc"), 0);
}

TEST(StringsTest, UTF8DataConversion) {
  EXPECT_EQ(utf8Data("h\u00E9"), (Data{'h', 0xC3, 0xA9}));
  EXPECT_EQ(stringFromUTF8Data(Data{'h', 0xC3, 0xA9}), "h\u00E9");
  EXPECT_EQ(stringFromUTF8Data(Data{0xC3}), std::nullopt);
}

// A request still being built on a worker when the app returns from main escapes its query with
// the shared character sets while static destruction runs: they outlive it. A fresh copy of this
// binary uses them on a thread of its own while it exits, which under the sanitizers fails (or
// crashes) when they do not.
TEST(StringsExitTest, ChildUsesCharacterSetsWhileExiting) {
  if (!platform::testing::isExitTestChild()) GTEST_SKIP() << "runs only as the child of the exit test";
  platform::testing::exitWhileUsingOnAThread([] {
    return addingPercentEncoding("a b", CharacterSet::urlQueryAllowed()) == "a%20b" &&
           allCharactersIn("ab1", CharacterSet::alphanumeric());
  });
}

TEST(StringsExitTest, CharacterSetsStayUsableWhileTheProcessExits) {
  EXPECT_EQ(platform::testing::runExitTestChild("StringsExitTest.ChildUsesCharacterSetsWhileExiting"), "");
}

}  // namespace
}  // namespace platform::strings
