#include <gtest/gtest.h>

#include <limits>
#include <unordered_set>

#include "platform/foundation/error.h"
#include "platform/foundation/format.h"
#include "platform/foundation/value.h"

namespace platform {
namespace {

TEST(Value, KindsStayDistinct) {
  EXPECT_TRUE(Value(true).isBool());
  EXPECT_TRUE(Value(1).isInteger());
  EXPECT_TRUE(Value(1.0).isDouble());
  EXPECT_TRUE(Value(1u).isUnsigned());
  EXPECT_NE(Value(true), Value(1));
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_EQ(Value(5), Value(5u));  // signedness may be lost by storage formats, the value may not
  EXPECT_NE(Value(-1), Value(std::numeric_limits<std::uint64_t>::max()));
}

TEST(Value, BoolCoercionOfStringsAndNumbers) {
  struct Case {
    Value value;
    bool expected;
  } cases[] = {
      {"YES", true},    {"yes", true},   {"true", true},  {"T", true},     {"1", true},   {"9abc", true},
      {"  +007", true}, {"NO", false},   {"false", false}, {"0", false},   {"", false},   {"000", false},
      {"-0", false},    {" x1", false},  {0, false},       {2, true},      {0.0, false},  {0.5, true},
      {Value(), false}, {Value::array({1}), false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.boolValue(), c.expected) << c.value.description();
}

TEST(Value, NumericCoercions) {
  EXPECT_EQ(Value("  42abc").integerValue(), 42);
  EXPECT_EQ(Value("-17").integerValue(), -17);
  EXPECT_EQ(Value("abc").integerValue(), 0);
  EXPECT_EQ(Value("99999999999999999999").integerValue(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Value("-99999999999999999999").integerValue(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Value(3.9).integerValue(), 3);
  EXPECT_EQ(Value(-3.9).integerValue(), -3);
  EXPECT_EQ(Value(1e300).integerValue(), std::numeric_limits<std::int64_t>::max());
  EXPECT_DOUBLE_EQ(Value(" 2.5e1x").doubleValue(), 25.0);
  EXPECT_DOUBLE_EQ(Value(true).doubleValue(), 1.0);
  EXPECT_EQ(Value(7).stringValue(), "7");
  EXPECT_EQ(Value(Value::Array{}).stringValue(), "");
}

TEST(Value, ContainerLookupAndCopyOnWrite) {
  Value dict = Value::dictionary({{"a", 1}, {"list", Value::array({"x", 2.5})}});
  EXPECT_EQ(dict["a"], Value(1));
  EXPECT_TRUE(dict["missing"].isNull());
  EXPECT_EQ(dict["list"].at(1), Value(2.5));
  EXPECT_TRUE(dict["list"].at(9).isNull());
  Value copy = dict;
  (*copy.mutableDictionary())["a"] = 2;
  EXPECT_EQ(dict["a"], Value(1));
  EXPECT_EQ(copy["a"], Value(2));
}

TEST(Value, EqualityAndHashByContent) {
  Value a = Value::dictionary({{"k", Value::array({1, "two", Data{1, 2}})}});
  Value b = Value::dictionary({{"k", Value::array({1, "two", Data{1, 2}})}});
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.hash(), b.hash());
  std::unordered_set<Value> set{a, b, Value(1), Value(1.0), Value(true)};
  EXPECT_EQ(set.size(), 4u);
}

TEST(Value, Descriptions) {
  EXPECT_EQ(Value(true).description(), "1");
  EXPECT_EQ(Value(0.1).description(), "0.1");
  EXPECT_EQ(Value(2.0).description(), "2");
  EXPECT_EQ(Value(Data{0xde, 0xad}).description(), "{length = 2, bytes = 0xdead}");
  EXPECT_EQ(Value(Date::fromTimeIntervalSinceReferenceDate(0)).description(), "2001-01-01 00:00:00 +0000");
  EXPECT_EQ(Value::array({1, "a b"}).description(), "(\n    1,\n    \"a b\"\n)");
  EXPECT_EQ(Value::dictionary({{"k", Value::array({})}}).description(), "{\n    k = (\n    );\n}");
}

struct Described {
  std::string description() const { return "<thing>"; }
};

TEST(Format, Conversions) {
  struct Case {
    std::string got, expected;
  } cases[] = {
      {format("%@ - %@[%@] %@", "8.15.0", "[VULLogger]", "I-COR000023", "msg"), "8.15.0 - [VULLogger][I-COR000023] msg"},
      {format("I-ACS%06ld", 42L), "I-ACS000042"},
      {format("%02i:%02i", 5, 0), "05:00"},
      {format("%d %i %ld %lld %u %lu %llu", -1, 2, 3L, 4LL, 5u, 6UL, 7ULL), "-1 2 3 4 5 6 7"},
      {format("%x %X %c %%", 255, 255, 'A'), "ff FF A %"},
      {format("%.2f|%g|%5d|%-5d|", 3.14159, 0.5, 42, 42), "3.14|0.5|   42|42   |"},
      {format("%@ %@ %@", Value(), nullptr, static_cast<const Described*>(nullptr)), "(null) (null) (null)"},
      {format("%@ and %@", Described{}, Value(3)), "<thing> and 3"},
      {format("%s", std::string("text")), "text"},
      {format("%@ (%li)", "SecItemAdd", -25299L), "SecItemAdd (-25299)"},
      {format("missing %@ %d"), "missing (null) 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
  EXPECT_EQ(format("%p", static_cast<const void*>(nullptr)), "0x0");
}

TEST(Error, DefaultAndGivenDescriptions) {
  Error plain("com.example", 7);
  EXPECT_EQ(plain.localizedDescription(), "The operation couldn’t be completed. (com.example error 7.)");
  Error described("d", -1, {{std::string(kLocalizedDescriptionKey), "Broken"}, {std::string(kLocalizedFailureReasonErrorKey), "why"}},
                  std::make_shared<Error>(plain));
  EXPECT_EQ(described.localizedDescription(), "Broken");
  EXPECT_EQ(described.localizedFailureReason(), "why");
  EXPECT_EQ(described.underlyingError()->code(), 7);
  EXPECT_NE(described.description().find("Error Domain=d Code=-1 \"Broken\""), std::string::npos);
  EXPECT_FALSE(Error().isSet());
}

}  // namespace
}  // namespace platform
