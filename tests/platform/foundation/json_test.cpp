#include "platform/foundation/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/platform/foundation/same_kinds.h"

namespace platform {
namespace {

using platform::testing::sameKinds;

TEST(JSONTest, NumbersKeepTheirKind) {
  const std::pair<const char*, Value> cases[] = {
      {"true", Value(true)},
      {"false", Value(false)},
      {"1", Value(1)},
      {"-5", Value(-5)},
      {"0", Value(0)},
      {"1.0", Value(1.0)},
      {"1e2", Value(100.0)},
      {"-0.25", Value(-0.25)},
      {"9223372036854775807", Value(std::numeric_limits<long long>::max())},
      {"-9223372036854775808", Value(std::numeric_limits<long long>::min())},
      {"9223372036854775808", Value(9223372036854775808ull)},
      {"18446744073709551615", Value(std::numeric_limits<unsigned long long>::max())},
      {"\"a\\u00e9\\n\\/\"", Value("a\u00E9\n/")},
      {"\"\\ud83d\\ude00\"", Value("\U0001F600")},
      {"null", Value()},
  };
  for (const auto& [text, expected] : cases) {
    Error error;
    auto v = JSON::parse(text, &error);
    ASSERT_TRUE(v) << text << ": " << error.description();
    EXPECT_TRUE(sameKinds(expected, *v)) << text;
  }
}

TEST(JSONTest, EveryKindRoundTrips) {
  const Value value = Value::dictionary({
      {"bool", true},
      {"false", false},
      {"int", -42},
      {"zero", 0},
      {"big", Value(std::numeric_limits<unsigned long long>::max())},
      {"double", 0.1},
      {"whole double", 2.0},
      {"huge", 1e300},
      {"tiny", 5e-324},
      {"string", "quote \" backslash \\ slash / tab \t bell \x07 \u00E9 \U0001F600"},
      {"null", Value()},
      {"array", Value::array({1, "two", 3.5, Value(), Value::array({}), Value::dictionary({})})},
      {"nested", Value::dictionary({{"k", Value::array({false})}})},
  });
  for (bool pretty : {false, true}) {
    Error error;
    auto text = JSON::serialize(value, pretty, &error);
    ASSERT_TRUE(text) << error.description();
    auto back = JSON::parse(*text, &error);
    ASSERT_TRUE(back) << *text << "\n" << error.description();
    EXPECT_TRUE(sameKinds(value, *back)) << *text;
  }
}

TEST(JSONTest, WritesSortedKeysUnescapedSlashesAndPlatformPrettyLayout) {
  const Value value = Value::dictionary({{"b", 1}, {"a", Value::array({"x/y", 2.5})}, {"C", Value::dictionary({})}});
  EXPECT_EQ(JSON::serialize(value), R"({"C":{},"a":["x/y",2.5],"b":1})");
  EXPECT_EQ(JSON::serialize(value, true), "{\n  \"C\" : {},\n  \"a\" : [\n    \"x/y\",\n    2.5\n  ],\n  \"b\" : 1\n}");
  EXPECT_EQ(JSON::serialize(Value("\x01\x1F")), R"("\u0001\u001f")");
  EXPECT_EQ(JSON::serialize(Value(3.0)), "3.0");
}

TEST(JSONTest, InvalidTextGivesAnErrorNeverACrash) {
  const std::string deep = std::string(600, '[') + std::string(600, ']');
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"blank", "   "},
      {"truncated object", "{\"a\":"},
      {"truncated array", "[1,2"},
      {"missing colon", "{\"a\" 1}"},
      {"trailing comma", "[1,]"},
      {"garbage", "garbage"},
      {"trailing garbage", "{} x"},
      {"unquoted key", "{a:1}"},
      {"single quotes", "['a']"},
      {"invalid UTF-8", "[\"\xFF\"]"},
      {"lone surrogate escape", "[\"\\ud800\"]"},
      {"raw control character", "[\"a\x01\"]"},
      {"number overflow", "[1e400]"},
      {"NaN", "[NaN]"},
      {"deep nesting", deep},
      {"embedded NUL", std::string("[1]\0", 4)},
  };
  for (const auto& [name, text] : cases) {
    Error error;
    EXPECT_EQ(JSON::parse(text, &error), std::nullopt) << name;
    EXPECT_EQ(error.domain(), kCocoaErrorDomain) << name;
    EXPECT_EQ(error.code(), kPropertyListReadCorruptError) << name;
    EXPECT_FALSE(error.localizedDescription().empty()) << name;
    EXPECT_TRUE(error.userInfo().contains(kDebugDescriptionErrorKey)) << name;
  }
  EXPECT_EQ(JSON::parse("{", nullptr), std::nullopt);
}

TEST(JSONTest, ModerateNestingIsAccepted) {
  const std::string text = std::string(100, '[') + std::string(100, ']');
  EXPECT_TRUE(JSON::parse(text));
}

TEST(JSONTest, ParsesBytes) {
  const std::string text = R"({"k":[1]})";
  auto v = JSON::parse(Data(text.begin(), text.end()));
  ASSERT_TRUE(v);
  EXPECT_EQ((*v)["k"].at(0), Value(1));
}

TEST(JSONTest, ValuesJSONCannotHoldGiveAnError) {
  const std::pair<const char*, Value> cases[] = {
      {"data", Value::array({Value(Data{1})})},
      {"date", Value::dictionary({{"d", Date::fromTimeIntervalSince1970(0)}})},
      {"NaN", Value(std::nan(""))},
      {"infinity", Value::array({std::numeric_limits<double>::infinity()})},
      {"invalid UTF-8", Value("\xC3")},
  };
  for (const auto& [name, value] : cases) {
    Error error;
    EXPECT_EQ(JSON::serialize(value, false, &error), std::nullopt) << name;
    EXPECT_EQ(error.domain(), kCocoaErrorDomain) << name;
    EXPECT_EQ(error.code(), kPropertyListWriteInvalidError) << name;
  }
}

}  // namespace
}  // namespace platform
