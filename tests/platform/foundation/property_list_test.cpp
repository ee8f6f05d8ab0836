#include "platform/foundation/property_list.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tests/platform/foundation/same_kinds.h"

namespace platform {
namespace {

using platform::testing::sameKinds;
using Format = PropertyList::Format;

Data bytesOf(std::string_view s) { return Data(s.begin(), s.end()); }

// Every kind, with the edges of each: integer limits, unsigned above the signed range, doubles
// that are whole, tiny and huge, text that XML must escape, empty containers.
Value everyKind(bool fractionalDates) {
  const double fraction = fractionalDates ? 0.25 : 0;
  return Value::dictionary({
      {"true", true},
      {"false", false},
      {"zero", 0},
      {"negative", -5},
      {"int min", Value(std::numeric_limits<long long>::min())},
      {"int max", Value(std::numeric_limits<long long>::max())},
      {"unsigned max", Value(std::numeric_limits<unsigned long long>::max())},
      {"unsigned 2^63", Value(9223372036854775808ull)},
      {"double", 0.1},
      {"whole double", 1.0},
      {"huge double", -2.5e300},
      {"tiny double", 5e-324},
      {"string", "<tag> & \"quotes\" 'apos' \u00E9 \U0001F600"},
      {"empty string", ""},
      {"data", Value(Data{0x00, 0xFF, 0x10, 0x80})},
      {"empty data", Value(Data{})},
      {"date", Date::fromTimeIntervalSinceReferenceDate(800'000'000 + fraction)},
      {"date before reference", Date::fromTimeIntervalSinceReferenceDate(-5 + fraction)},
      {"array", Value::array({1, "two", Value::array({}), Value::dictionary({{"k", 2.5}})})},
      {"empty dictionary", Value::dictionary({})},
      {"key with <xml> & \u00FC", "v"},
  });
}

TEST(PropertyListTest, EveryKindRoundTripsThroughBothFormats) {
  // XML dates carry whole seconds only, as the format writes them.
  for (auto [format, fractional] : {std::pair{Format::XML, false}, std::pair{Format::Binary, true}}) {
    const Value value = everyKind(fractional);
    Error error;
    auto data = PropertyList::write(value, format, &error);
    ASSERT_TRUE(data) << error.description();
    Format detected = format == Format::XML ? Format::Binary : Format::XML;
    auto back = PropertyList::read(*data, &error, &detected);
    ASSERT_TRUE(back) << error.description();
    EXPECT_EQ(detected, format);
    EXPECT_TRUE(sameKinds(value, *back)) << (format == Format::XML ? "XML" : "binary");
  }
}

TEST(PropertyListTest, ScalarRootsRoundTrip) {
  for (Format format : {Format::XML, Format::Binary}) {
    for (const Value& value : {Value(-1), Value(true), Value(2.0), Value("x"), Value(18446744073709551615ull)}) {
      auto data = PropertyList::write(value, format);
      ASSERT_TRUE(data);
      auto back = PropertyList::read(*data);
      ASSERT_TRUE(back);
      EXPECT_TRUE(sameKinds(value, *back));
    }
  }
}

TEST(PropertyListTest, ReadsIntegerSignednessAsWritten) {
  const std::pair<const char*, Value> cases[] = {
      {"<plist><integer>-1</integer></plist>", Value(-1)},
      {"<plist><integer>18446744073709551615</integer></plist>", Value(18446744073709551615ull)},
      {"<plist><integer>9223372036854775807</integer></plist>", Value(9223372036854775807ll)},
      {"<plist><real>3</real></plist>", Value(3.0)},
  };
  for (const auto& [xml, expected] : cases) {
    auto v = PropertyList::read(bytesOf(xml));
    ASSERT_TRUE(v) << xml;
    EXPECT_TRUE(sameKinds(expected, *v)) << xml;
  }
}

TEST(PropertyListTest, ValuesTheFormatCannotHoldGiveAnErrorInsteadOfBeingAltered) {
  const std::pair<const char*, Value> cases[] = {
      {"null root", Value()},
      {"null in array", Value::array({1, Value()})},
      {"string with NUL", Value::dictionary({{"k", std::string("a\0b", 3)}})},
      {"key with NUL", Value::dictionary({{std::string("a\0b", 3), 1}})},
      {"invalid UTF-8", Value::array({"\xC3("})},
      {"date that is not a number", Date::fromTimeIntervalSinceReferenceDate(std::nan(""))},
  };
  // The XML form holds dates in 32-bit seconds; the binary form holds any finite double.
  const std::pair<const char*, Value> xmlCases[] = {
      {"date after 2069", Date::fromTimeIntervalSince1970(4'000'000'000)},
      {"date before 1933", Date::fromTimeIntervalSince1970(-1'200'000'000)},
  };
  for (const auto& [name, value] : xmlCases) {
    Error error;
    EXPECT_EQ(PropertyList::write(value, Format::XML, &error), std::nullopt) << name;
    EXPECT_EQ(error.code(), kPropertyListWriteInvalidError) << name;
  }
  for (const auto& [name, value] : cases) {
    for (Format format : {Format::XML, Format::Binary}) {
      Error error;
      EXPECT_EQ(PropertyList::write(value, format, &error), std::nullopt) << name;
      EXPECT_EQ(error.domain(), kCocoaErrorDomain) << name;
      EXPECT_EQ(error.code(), kPropertyListWriteInvalidError) << name;
    }
  }
}

// A binary property list assembled object by object, for shapes a writer would never produce.
struct BinaryObject {
  std::vector<std::uint8_t> raw;        // a scalar's bytes, or
  std::uint8_t kind = 0;                // 0xA array / 0xD dictionary with
  std::vector<std::uint64_t> refs = {};  // these references (keys then values for a dictionary)
};

Data binaryPlist(const std::vector<BinaryObject>& objects, std::uint64_t top = 0, std::size_t refSize = 2) {
  Data out = bytesOf("bplist00");
  std::vector<std::uint64_t> offsets;
  auto put = [&](std::uint64_t v, std::size_t size) {
    for (std::size_t i = size; i-- > 0;) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  for (const auto& o : objects) {
    offsets.push_back(out.size());
    if (!o.kind) {
      out.insert(out.end(), o.raw.begin(), o.raw.end());
      continue;
    }
    const std::size_t n = o.kind == 0xD ? o.refs.size() / 2 : o.refs.size();
    out.push_back(static_cast<std::uint8_t>(o.kind << 4 | 0x0F));
    out.push_back(0x12);
    put(n, 4);
    for (auto r : o.refs) put(r, refSize);
  }
  const std::uint64_t table = out.size();
  for (auto off : offsets) put(off, 4);
  out.insert(out.end(), 6, 0);
  out.push_back(4);
  out.push_back(static_cast<std::uint8_t>(refSize));
  put(objects.size(), 8);
  put(top, 8);
  put(table, 8);
  return out;
}

Data nestedArrays(std::size_t depth) {
  std::vector<BinaryObject> objects;
  for (std::size_t i = 0; i < depth; ++i) objects.push_back({{}, 0xA, {i + 1}});
  objects.push_back({{0x10, 0x01}});
  return binaryPlist(objects);
}

std::string nestedXML(std::size_t depth) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- nesting -->\n<plist version=\"1.0\">";
  for (std::size_t i = 0; i < depth; ++i) xml += "<array>";
  xml += "<integer>1</integer><array/>";
  for (std::size_t i = 0; i < depth; ++i) xml += "</array>";
  return xml + "</plist>";
}

TEST(PropertyListTest, HandAssembledBinaryIsReadWhenSound) {
  // ["a", {"a": 7}] with the string shared by reference.
  const Data data = binaryPlist({{{}, 0xA, {1, 2}}, {{0x51, 'a'}}, {{}, 0xD, {1, 3}}, {{0x10, 7}}});
  auto v = PropertyList::read(data);
  ASSERT_TRUE(v);
  EXPECT_TRUE(sameKinds(Value::array({"a", Value::dictionary({{"a", 7}})}), *v));
  EXPECT_TRUE(PropertyList::read(nestedArrays(100)));
  EXPECT_TRUE(PropertyList::read(bytesOf(nestedXML(100))));
}

TEST(PropertyListTest, DatesReadBackEqualToWhatWasWritten) {
  // The binary form stores the date's double: every bit comes back, fractions of a microsecond
  // and dates before the reference date included.
  for (double s : {1'780'000'000.123456789, 1'780'000'000.9999999, 978'307'195.3, 978'307'199.9999, 0.25,
                   -1'000'000'000.5, 4e9 + 0.1}) {
    const Date date = Date::fromTimeIntervalSince1970(s);
    auto data = PropertyList::write(Value::dictionary({{"date", date}}), Format::Binary);
    ASSERT_TRUE(data) << s;
    auto back = PropertyList::read(*data);
    ASSERT_TRUE(back && back->ifDictionary() && back->ifDictionary()->at("date").ifDate()) << s;
    EXPECT_EQ(back->ifDictionary()->at("date").ifDate()->timeIntervalSince1970(), s) << s;
  }
  // The XML form holds whole seconds: the nearest one, on either side of the reference date.
  const std::pair<double, double> xml[] = {{0.4, 0},   {0.5, 1},   {-0.7, -1},  {-2.4, -2},
                                           {-5.5, -6}, {59.999, 60}, {800'000'000.6, 800'000'001}};
  for (const auto& [t, expected] : xml) {
    auto data = PropertyList::write(Value(Date::fromTimeIntervalSinceReferenceDate(t)), Format::XML);
    ASSERT_TRUE(data) << t;
    auto back = PropertyList::read(*data);
    ASSERT_TRUE(back && back->ifDate()) << t;
    EXPECT_EQ(back->ifDate()->timeIntervalSinceReferenceDate(), expected) << t;
  }
}

TEST(PropertyListTest, CorruptInputGivesAnErrorNeverACrash) {
  auto written = PropertyList::write(everyKind(true), Format::Binary);
  auto writtenXML = PropertyList::write(everyKind(false), Format::XML);
  ASSERT_TRUE(written && writtenXML);
  Data truncated(written->begin(), written->begin() + static_cast<std::ptrdiff_t>(written->size() / 2));
  Data truncatedXML(writtenXML->begin(), writtenXML->begin() + static_cast<std::ptrdiff_t>(writtenXML->size() / 2));
  Data badTrailer = *written;
  badTrailer[badTrailer.size() - 5] = 0xFF;  // the offset table lies far past the end
  Data badOffset = binaryPlist({{{0x10, 1}}});
  const std::size_t table = badOffset.size() - 32 - 4;
  badOffset[table + 3] = static_cast<std::uint8_t>(table);  // the object "starts" in the offset table
  badOffset[table + 2] = static_cast<std::uint8_t>(table >> 8);

  // 40 levels of arrays that each hold the next one twice: 80 references, 2^40 values.
  std::vector<BinaryObject> bomb;
  for (std::uint64_t i = 0; i < 40; ++i) bomb.push_back({{}, 0xA, {i + 1, i + 1}});
  bomb.push_back({{0x10, 0x01}});

  const std::pair<const char*, Data> cases[] = {
      {"empty", {}},
      {"garbage", bytesOf("hello, world")},
      {"header only", bytesOf("bplist00")},
      {"truncated binary", truncated},
      {"truncated XML", truncatedXML},
      {"unknown XML element", bytesOf("<plist><integr>1</integr></plist>")},
      {"unbalanced XML", bytesOf("<plist><array><string>x</string></plist>")},
      {"binary trailer out of range", badTrailer},
      {"binary offset out of range", badOffset},
      {"array containing itself", binaryPlist({{{}, 0xA, {0}}})},
      {"reference to a missing object", binaryPlist({{{}, 0xA, {5}}})},
      {"top object out of range", binaryPlist({{{0x10, 1}}}, 3)},
      {"deep binary nesting", nestedArrays(200000)},
      {"deep XML nesting", bytesOf(nestedXML(200000))},
      {"shared containers expanding exponentially", binaryPlist(bomb)},
      {"string that is not UTF-8", bytesOf("<plist><string>\xC3(</string></plist>")},
      // Keys the library would abort on, collapse into "" or cut short.
      {"UTF-16 key holding U+0000", binaryPlist({{{}, 0xD, {1, 2}}, {{0x62, 0x00, 'a', 0x00, 0x00}}, {{0x10, 1}}})},
      {"keys with unpaired surrogates",
       binaryPlist({{{}, 0xD, {1, 2, 3, 3}}, {{0x61, 0xD8, 0x00}}, {{0x61, 0xDC, 0x00}}, {{0x10, 1}}})},
      {"ASCII key holding a NUL", binaryPlist({{{}, 0xD, {1, 2}}, {{0x53, 'a', 0x00, 'b'}}, {{0x10, 1}}})},
      {"key that is not a string", binaryPlist({{{}, 0xD, {1, 1}}, {{0x10, 1}}})},
      {"string value with an unpaired surrogate", binaryPlist({{{}, 0xA, {1}}, {{0x61, 0xDB, 0xFF}}})},
  };
  for (const auto& [name, data] : cases) {
    Error error;
    EXPECT_EQ(PropertyList::read(data, &error), std::nullopt) << name;
    EXPECT_EQ(error.domain(), kCocoaErrorDomain) << name;
    EXPECT_EQ(error.code(), kPropertyListReadCorruptError) << name;
  }
}

}  // namespace
}  // namespace platform
