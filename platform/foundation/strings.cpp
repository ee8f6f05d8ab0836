#include "platform/foundation/strings.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"

namespace platform::strings {

struct CharacterSet::Impl {
  icu::UnicodeSet set;
};

namespace {

// Calls f(codePoint, begin, end) for each character; a malformed sequence arrives as U+FFFD with
// `valid` false. Returning false from f stops the walk.
template <class F>
void forEachCodePoint(std::string_view s, F&& f) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
  const auto length = static_cast<std::int32_t>(s.size());
  std::int32_t i = 0;
  while (i < length) {
    const std::int32_t begin = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    const bool valid = c >= 0;
    if (!f(valid ? static_cast<char32_t>(c) : U'\uFFFD', static_cast<std::size_t>(begin), static_cast<std::size_t>(i),
           valid)) {
      return;
    }
  }
}

std::shared_ptr<const CharacterSet::Impl> makeImpl(icu::UnicodeSet set) {
  auto impl = std::make_shared<CharacterSet::Impl>();
  impl->set = std::move(set);
  impl->set.freeze();
  return impl;
}

// Copies of a frozen set stay frozen (and ignore changes); edits start from a thawed clone.
icu::UnicodeSet thawed(const icu::UnicodeSet& frozen) {
  std::unique_ptr<icu::UnicodeSet> clone(frozen.cloneAsThawed());
  return *clone;
}

icu::UnicodeSet fromPattern(const char* pattern) {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeSet set(icu::UnicodeString(pattern, -1, US_INV), status);
  if (U_FAILURE(status)) throw Exception(std::string(kInternalInconsistencyException), "bad character set pattern");
  return set;
}

icu::UnicodeSet asciiAlphanumericsPlus(const char* extra) {
  icu::UnicodeSet set;
  set.add(U'a', U'z');
  set.add(U'A', U'Z');
  set.add(U'0', U'9');
  for (const char* p = extra; *p; ++p) set.add(static_cast<UChar32>(static_cast<unsigned char>(*p)));
  return set;
}

icu::UnicodeString unicode(std::string_view s) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<std::int32_t>(s.size())));
}

std::string utf8(const icu::UnicodeString& u) {
  std::string out;
  u.toUTF8String(out);
  return out;
}

std::size_t unitsOf(char32_t c) { return c > 0xFFFF ? 2 : 1; }

}  // namespace

CharacterSet::CharacterSet() : impl_(makeImpl(icu::UnicodeSet())) {}

CharacterSet CharacterSet::characters(std::string_view chars) {
  icu::UnicodeSet set;
  forEachCodePoint(chars, [&](char32_t c, std::size_t, std::size_t, bool) {
    set.add(static_cast<UChar32>(c));
    return true;
  });
  return CharacterSet(makeImpl(std::move(set)));
}

CharacterSet CharacterSet::range(char32_t first, char32_t last) {
  return CharacterSet(makeImpl(icu::UnicodeSet(static_cast<UChar32>(first), static_cast<UChar32>(last))));
}

// Never destroyed: work on a worker may still test characters against them while the process exits.
#define FOCUS_CHARACTER_SET(name, expression)                                      \
  const CharacterSet& CharacterSet::name() {                                        \
    static const CharacterSet* const set = new CharacterSet(makeImpl(expression)); \
    return *set;                                                                    \
  }

FOCUS_CHARACTER_SET(whitespace, fromPattern("[[:Zs:]\\u0009]"))
FOCUS_CHARACTER_SET(whitespaceAndNewline, fromPattern("[[:Z:]\\u0009-\\u000D\\u0085]"))
FOCUS_CHARACTER_SET(newline, fromPattern("[\\u000A-\\u000D\\u0085\\u2028\\u2029]"))
FOCUS_CHARACTER_SET(alphanumeric, fromPattern("[[:L:][:M:][:N:]]"))
FOCUS_CHARACTER_SET(letters, fromPattern("[[:L:][:M:]]"))
FOCUS_CHARACTER_SET(nonBase, fromPattern("[:M:]"))
FOCUS_CHARACTER_SET(decimalDigits, fromPattern("[:Nd:]"))
FOCUS_CHARACTER_SET(uppercaseLetters, fromPattern("[[:Lu:][:Lt:]]"))
FOCUS_CHARACTER_SET(lowercaseLetters, fromPattern("[:Ll:]"))
FOCUS_CHARACTER_SET(urlQueryAllowed, asciiAlphanumericsPlus("-._~!$&'()*+,;=:@/?"))
FOCUS_CHARACTER_SET(urlPathAllowed, asciiAlphanumericsPlus("-._~!$&'()*+,=:@/"))
FOCUS_CHARACTER_SET(urlHostAllowed, asciiAlphanumericsPlus("-._~!$&'()*+,;=:[]"))
FOCUS_CHARACTER_SET(urlFragmentAllowed, asciiAlphanumericsPlus("-._~!$&'()*+,;=:@/?"))
FOCUS_CHARACTER_SET(urlUserAllowed, asciiAlphanumericsPlus("-._~!$&'()*+,;="))
FOCUS_CHARACTER_SET(urlPasswordAllowed, asciiAlphanumericsPlus("-._~!$&'()*+,;="))

#undef FOCUS_CHARACTER_SET

bool CharacterSet::contains(char32_t c) const { return impl_->set.contains(static_cast<UChar32>(c)); }

CharacterSet CharacterSet::unionWith(const CharacterSet& other) const {
  icu::UnicodeSet set = thawed(impl_->set);
  set.addAll(other.impl_->set);
  return CharacterSet(makeImpl(std::move(set)));
}

CharacterSet CharacterSet::subtracting(const CharacterSet& other) const {
  icu::UnicodeSet set = thawed(impl_->set);
  set.removeAll(other.impl_->set);
  return CharacterSet(makeImpl(std::move(set)));
}

CharacterSet CharacterSet::inverted() const {
  icu::UnicodeSet set = thawed(impl_->set);
  set.complement();
  return CharacterSet(makeImpl(std::move(set)));
}

bool isValidUTF8(std::string_view s) {
  bool valid = true;
  forEachCodePoint(s, [&](char32_t, std::size_t, std::size_t, bool ok) {
    valid = ok;
    return ok;
  });
  return valid;
}

std::size_t utf16Length(std::string_view s) {
  std::size_t n = 0;
  forEachCodePoint(s, [&](char32_t c, std::size_t, std::size_t, bool) {
    n += unitsOf(c);
    return true;
  });
  return n;
}

std::size_t codePointLength(std::string_view s) {
  std::size_t n = 0;
  forEachCodePoint(s, [&](char32_t, std::size_t, std::size_t, bool) {
    ++n;
    return true;
  });
  return n;
}

std::u16string toUTF16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  forEachCodePoint(s, [&](char32_t c, std::size_t, std::size_t, bool) {
    if (c > 0xFFFF) {
      out.push_back(static_cast<char16_t>(U16_LEAD(c)));
      out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    return true;
  });
  return out;
}

void appendUTF8(std::string& out, char32_t c) {
  char buffer[4];
  std::int32_t n = 0;
  UBool error = false;
  U8_APPEND(reinterpret_cast<std::uint8_t*>(buffer), n, 4, static_cast<UChar32>(c), error);
  if (error) {
    n = 0;
    U8_APPEND_UNSAFE(reinterpret_cast<std::uint8_t*>(buffer), n, 0xFFFD);
  }
  out.append(buffer, static_cast<std::size_t>(n));
}

std::string fromUTF16(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  const auto length = static_cast<std::int32_t>(s.size());
  std::int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U16_NEXT(s.data(), i, length, c);
    appendUTF8(out, U_IS_SURROGATE(c) ? U'\uFFFD' : static_cast<char32_t>(c));
  }
  return out;
}

std::vector<char32_t> codePoints(std::string_view s) {
  std::vector<char32_t> out;
  forEachCodePoint(s, [&](char32_t c, std::size_t, std::size_t, bool) {
    out.push_back(c);
    return true;
  });
  return out;
}

Data utf8Data(std::string_view s) { return Data(s.begin(), s.end()); }

std::optional<std::string> stringFromUTF8Data(const Data& data) {
  std::string s(data.begin(), data.end());
  if (!isValidUTF8(s)) return std::nullopt;
  return s;
}

std::string substringWithUTF16Range(std::string_view s, std::size_t location, std::size_t length) {
  const std::size_t total = utf16Length(s);
  if (location > total || length > total - location) {
    throw Exception(std::string(kRangeException),
                    format("Range {%lu, %lu} out of bounds; string length %lu", location, length, total));
  }
  const std::size_t end = location + length;
  std::string out;
  std::size_t unit = 0;
  forEachCodePoint(s, [&](char32_t c, std::size_t begin, std::size_t stop, bool) {
    const std::size_t units = unitsOf(c);
    const std::size_t first = unit;
    const std::size_t last = unit + units;
    unit = last;
    if (last <= location) return true;
    if (first >= end) return false;
    if (first >= location && last <= end) {
      out.append(s.substr(begin, stop - begin));
    } else {
      appendUTF8(out, U'\uFFFD');
    }
    return true;
  });
  return out;
}

std::string prefixUTF16(std::string_view s, std::size_t maxUnits) {
  std::size_t units = 0;
  std::size_t cut = 0;
  forEachCodePoint(s, [&](char32_t c, std::size_t, std::size_t stop, bool) {
    if (units + unitsOf(c) > maxUnits) return false;
    units += unitsOf(c);
    cut = stop;
    return true;
  });
  return std::string(s.substr(0, cut));
}

std::string prefixCodePoints(std::string_view s, std::size_t maxCodePoints) {
  std::size_t count = 0;
  std::size_t cut = 0;
  forEachCodePoint(s, [&](char32_t, std::size_t, std::size_t stop, bool) {
    if (count == maxCodePoints) return false;
    ++count;
    cut = stop;
    return true;
  });
  return std::string(s.substr(0, cut));
}

std::string uppercase(std::string_view s) { return utf8(unicode(s).toUpper(icu::Locale::getRoot())); }
std::string lowercase(std::string_view s) { return utf8(unicode(s).toLower(icu::Locale::getRoot())); }

std::string uppercase(std::string_view s, std::string_view locale) {
  return utf8(unicode(s).toUpper(icu::Locale(std::string(locale).c_str())));
}

std::string lowercase(std::string_view s, std::string_view locale) {
  return utf8(unicode(s).toLower(icu::Locale(std::string(locale).c_str())));
}

std::string trimming(std::string_view s, const CharacterSet& set) {
  std::size_t first = s.size();
  std::size_t last = 0;
  forEachCodePoint(s, [&](char32_t c, std::size_t begin, std::size_t stop, bool) {
    if (!set.contains(c)) {
      if (first == s.size()) first = begin;
      last = stop;
    }
    return true;
  });
  if (first >= last) return {};
  return std::string(s.substr(first, last - first));
}

std::string trimmingWhitespace(std::string_view s) { return trimming(s, CharacterSet::whitespaceAndNewline()); }

std::vector<std::string> componentsSeparatedByCharacters(std::string_view s, const CharacterSet& set) {
  std::vector<std::string> components;
  std::size_t start = 0;
  forEachCodePoint(s, [&](char32_t c, std::size_t begin, std::size_t stop, bool) {
    if (set.contains(c)) {
      components.emplace_back(s.substr(start, begin - start));
      start = stop;
    }
    return true;
  });
  components.emplace_back(s.substr(start));
  return components;
}

bool allCharactersIn(std::string_view s, const CharacterSet& set) {
  bool all = true;
  forEachCodePoint(s, [&](char32_t c, std::size_t, std::size_t, bool valid) {
    all = valid && set.contains(c);
    return all;
  });
  return all;
}

bool containsCharacterFrom(std::string_view s, const CharacterSet& set) {
  bool found = false;
  forEachCodePoint(s, [&](char32_t c, std::size_t, std::size_t, bool valid) {
    found = valid && set.contains(c);
    return !found;
  });
  return found;
}

int caseInsensitiveCompare(std::string_view a, std::string_view b) {
  return unicode(a).caseCompare(unicode(b), U_FOLD_CASE_DEFAULT);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) { return caseInsensitiveCompare(a, b) == 0; }

bool hasPrefixIgnoringCase(std::string_view s, std::string_view prefix) {
  return unicode(s).foldCase().startsWith(unicode(prefix).foldCase());
}

bool hasSuffixIgnoringCase(std::string_view s, std::string_view suffix) {
  return unicode(s).foldCase().endsWith(unicode(suffix).foldCase());
}

bool containsIgnoringCase(std::string_view s, std::string_view part) {
  return unicode(s).foldCase().indexOf(unicode(part).foldCase()) >= 0;
}

int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b) {
  // Collators are costly to open and not meant to be shared between threads.
  thread_local std::unique_ptr<icu::Collator> collator = [] {
    UErrorCode status = U_ZERO_ERROR;
    // The C/POSIX locale collates in byte order; a user-facing order needs the root rules.
    const icu::Locale& preferred = icu::Locale::getDefault();
    const bool posix = std::string_view(preferred.getName()) == "en_US_POSIX";
    std::unique_ptr<icu::Collator> c(
        icu::Collator::createInstance(posix ? icu::Locale::getRoot() : preferred, status));
    if (U_FAILURE(status) || !c) {
      status = U_ZERO_ERROR;
      c.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
    }
    if (c) c->setStrength(icu::Collator::SECONDARY);
    return c;
  }();
  if (!collator) return caseInsensitiveCompare(a, b);
  UErrorCode status = U_ZERO_ERROR;
  const UCollationResult r =
      collator->compareUTF8(icu::StringPiece(a.data(), static_cast<std::int32_t>(a.size())),
                            icu::StringPiece(b.data(), static_cast<std::int32_t>(b.size())), status);
  if (U_FAILURE(status)) return caseInsensitiveCompare(a, b);
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

std::string addingPercentEncoding(std::string_view s, const CharacterSet& allowed) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  forEachCodePoint(s, [&](char32_t c, std::size_t begin, std::size_t stop, bool valid) {
    if (valid && allowed.contains(c)) {
      out.append(s.substr(begin, stop - begin));
    } else {
      for (std::size_t i = begin; i < stop; ++i) {
        const auto byte = static_cast<std::uint8_t>(s[i]);
        out.push_back('%');
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0x0F]);
      }
    }
    return true;
  });
  return out;
}

std::optional<std::string> removingPercentEncoding(std::string_view s) {
  auto hexValue = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    if (s.size() - i < 3) return std::nullopt;
    const int high = hexValue(s[i + 1]);
    const int low = hexValue(s[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  if (!isValidUTF8(out)) return std::nullopt;
  return out;
}

}  // namespace platform::strings
