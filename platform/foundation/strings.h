// Unicode-aware string helpers over UTF-8 std::string: lengths counted as the platform counts them
// (UTF-16 units or code points), case mapping, trimming, character sets and percent-encoding.
// Malformed UTF-8 is never fatal: each malformed sequence counts as one character (U+FFFD) and is
// otherwise kept as it is, unless noted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

namespace platform::strings {

// A set of Unicode code points. Copies share one frozen set, so they are cheap and thread-safe.
class CharacterSet {
 public:
  CharacterSet();  // empty
  // Every code point of `chars` (UTF-8).
  static CharacterSet characters(std::string_view chars);
  static CharacterSet range(char32_t first, char32_t last);

  // Unicode general category Zs plus tab.
  static const CharacterSet& whitespace();
  // whitespace, newline, and the other separators (category Z*, U+000A-U+000D, U+0085).
  static const CharacterSet& whitespaceAndNewline();
  // U+000A-U+000D, U+0085, U+2028, U+2029.
  static const CharacterSet& newline();
  // Letters, marks and numbers (categories L*, M*, N*).
  static const CharacterSet& alphanumeric();
  // Letters and marks (categories L*, M*).
  static const CharacterSet& letters();
  // Marks (categories M*): the combining characters.
  static const CharacterSet& nonBase();
  // Category Nd.
  static const CharacterSet& decimalDigits();
  static const CharacterSet& uppercaseLetters();
  static const CharacterSet& lowercaseLetters();
  // Characters that may stand unescaped in each part of a URL (ASCII letters and digits plus the
  // part's sub-delimiters).
  static const CharacterSet& urlQueryAllowed();
  static const CharacterSet& urlPathAllowed();
  static const CharacterSet& urlHostAllowed();
  static const CharacterSet& urlFragmentAllowed();
  static const CharacterSet& urlUserAllowed();
  static const CharacterSet& urlPasswordAllowed();

  bool contains(char32_t c) const;
  CharacterSet unionWith(const CharacterSet& other) const;
  CharacterSet subtracting(const CharacterSet& other) const;
  CharacterSet inverted() const;

  struct Impl;  // defined where the sets are built

 private:
  explicit CharacterSet(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<const Impl> impl_;
};

bool isValidUTF8(std::string_view s);
// Number of UTF-16 code units (a character outside the BMP counts 2).
std::size_t utf16Length(std::string_view s);
// Number of Unicode code points (a character and its combining marks count separately).
std::size_t codePointLength(std::string_view s);

std::u16string toUTF16(std::string_view s);
// Unpaired surrogates become U+FFFD.
std::string fromUTF16(std::u16string_view s);
// Appends one code point as UTF-8 (U+FFFD for a surrogate or a value beyond Unicode).
void appendUTF8(std::string& out, char32_t c);
std::vector<char32_t> codePoints(std::string_view s);

// The UTF-8 bytes of a string, and the string of UTF-8 bytes (empty optional when not UTF-8).
Data utf8Data(std::string_view s);
std::optional<std::string> stringFromUTF8Data(const Data& data);

// Substring by a range counted in UTF-16 units. A range past the end raises a range exception
// (kRangeException). A surrogate pair cut by a range edge leaves U+FFFD for its half.
std::string substringWithUTF16Range(std::string_view s, std::size_t location, std::size_t length);
// The first `maxUnits` UTF-16 units, never splitting a surrogate pair (the pair is dropped).
std::string prefixUTF16(std::string_view s, std::size_t maxUnits);
// The first `maxCodePoints` code points.
std::string prefixCodePoints(std::string_view s, std::size_t maxCodePoints);

// Full Unicode case mapping ("ß" upper-cases to "SS"). Without a locale the mapping is the
// locale-independent one; with one ("tr", "de_DE", ...) language rules apply ("i" -> "İ" in "tr").
// Malformed sequences come out as U+FFFD.
std::string uppercase(std::string_view s);
std::string lowercase(std::string_view s);
std::string uppercase(std::string_view s, std::string_view locale);
std::string lowercase(std::string_view s, std::string_view locale);

// Removes characters of `set` at both ends.
std::string trimming(std::string_view s, const CharacterSet& set);
// Removes white space and newlines at both ends.
std::string trimmingWhitespace(std::string_view s);
// Splits at every character of `set`; adjacent separators give empty components, as the platform does.
std::vector<std::string> componentsSeparatedByCharacters(std::string_view s, const CharacterSet& set);
// True when every character of `s` is in `set` (true for an empty string).
bool allCharactersIn(std::string_view s, const CharacterSet& set);
// True when some character of `s` is in `set`.
bool containsCharacterFrom(std::string_view s, const CharacterSet& set);

// Comparison ignoring case by Unicode case folding: <0, 0 or >0.
int caseInsensitiveCompare(std::string_view a, std::string_view b);
bool equalsIgnoringCase(std::string_view a, std::string_view b);
bool hasPrefixIgnoringCase(std::string_view s, std::string_view prefix);
bool hasSuffixIgnoringCase(std::string_view s, std::string_view suffix);
bool containsIgnoringCase(std::string_view s, std::string_view part);
// Collation of the default locale with case differences ignored (the order a user expects in a
// sorted list): <0, 0 or >0.
int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b);

// Escapes every UTF-8 byte of each character outside `allowed` as "%XX" (upper-case hex);
// characters inside `allowed`, ASCII or not, are kept. Malformed bytes are always escaped.
std::string addingPercentEncoding(std::string_view s, const CharacterSet& allowed);
// Undoes percent-encoding. Empty optional when a "%" is not followed by two hex digits or the
// decoded bytes are not UTF-8.
std::optional<std::string> removingPercentEncoding(std::string_view s);

}  // namespace platform::strings
