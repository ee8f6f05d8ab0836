#include <gtest/gtest.h>

#include "sdk/analytics/common/apm_data_type_validator.h"
#include "sdk/analytics/common/apm_decimal.h"
#include "sdk/analytics/common/apm_error.h"
#include "sdk/analytics/common/apm_foundation_extensions.h"
#include "sdk/analytics/common/apm_names.h"
#include "sdk/analytics/common/apm_platform_identity_support.h"
#include "sdk/analytics/common/apm_raw_event_data.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "platform/testing/child_process.h"
#include "tests/sdk/analytics/monitor_recorder.h"

namespace {

TEST(APMValueTest, ConversionKeepsKindsApartAndRefusesWhatItCannotHold) {
  MonitorRecorder recorder;
  EXPECT_TRUE(APMValue::valueFromObject(true)->isInt64());
  EXPECT_EQ(APMValue::valueFromObject(true)->int64Value(), 1);
  EXPECT_TRUE(APMValue::valueFromObject(1.5f)->isDouble());
  const APMValuePtr same = APMValue::initWithString(std::string("x"));
  EXPECT_EQ(APMValue::valueFromObject(APMObject(same)).get(), same.get());
  const platform::Value array = platform::Value::array({platform::Value::dictionary({{"a", 1}})});
  EXPECT_EQ(APMValue::valueFromObject(array), nullptr);
  const APMValuePtr arrayValue = APMValue::valueFromObject(array, true);
  ASSERT_TRUE(arrayValue && arrayValue->isArray());
  EXPECT_EQ(arrayValue->arrayValue()->size(), 1u);
  EXPECT_EQ(APMValue::valueFromObject(APMObject()), nullptr);
  EXPECT_EQ(recorder.codes(), (std::vector<std::int64_t>{35001, 35000}));

  const APMValuePtr d = APMValue::initWithDouble(1.0);
  const APMValuePtr i = APMValue::initWithInt64(1);
  EXPECT_EQ(d->int64Value(), 0);
  EXPECT_EQ(i->stringValue(), nullptr);
  EXPECT_FALSE(d->isEqual(*i));
  EXPECT_NE(d->hash(), i->hash());
  EXPECT_TRUE(APMValue::initWithInt64(1)->isEqual(*i));
}

TEST(APMRecordTest, UserAttributesValidateAndCarryMilliseconds) {
  MonitorRecorder recorder;
  const auto attribute =
      APMUserAttribute::initWithOrigin("app", "fav", APMValue::initWithString(std::string("blue")), 1600000000.9999);
  ASSERT_TRUE(attribute);
  EXPECT_TRUE(attribute->isPublic());
  const auto proto = attribute->protoUserAttribute();
  EXPECT_EQ(NANOGetInt64(proto.get(), 0), 1600000000999);
  EXPECT_EQ(NANOGetString(proto.get(), 1), "fav");
  EXPECT_EQ(NANOGetString(proto.get(), 2), "blue");
  EXPECT_FALSE(NANOHasField(proto.get(), 5));

  EXPECT_FALSE(APMUserAttribute::initWithOrigin("auto", "_id", APMValue::initWithInt64(1), 0)->isPublic());
  EXPECT_EQ(APMUserAttribute::initWithOrigin("app", "bad-name", APMValue::initWithInt64(1), 0), nullptr);
  EXPECT_EQ(APMUserAttribute::initWithOrigin("app", "long", APMValue::initWithString(std::string(37, 'x')), 0), nullptr);
  EXPECT_TRUE(APMUserAttribute::initWithOrigin("app", "_id", APMValue::initWithString(std::string(256, 'x')), 0));

  EXPECT_EQ(APMRawEventData::initWithRawEvent(nullptr, 1, 0), nullptr);
  EXPECT_EQ(APMRawEventData::initWithRawEvent(APMPBEvent::initWithMessageInfo(), -1, 0), nullptr);
  EXPECT_TRUE(APMRawEventData::initWithRawEvent(APMPBEvent::initWithMessageInfo(), 0, 7));
  EXPECT_TRUE(recorder.has(28000));
  EXPECT_TRUE(recorder.has(28001));
}

TEST(APMValidatorTest, NameRulesByCase) {
  MonitorRecorder recorder;
  using V = APMDataTypeValidator;
  struct Case {
    bool (*check)(const APMObject&, V::Code*);
    APMObject name;
    bool valid;
    V::Code code;
  };
  const Case cases[] = {
      {&V::isValidPublicEventName, std::string(40, 'a'), true, 0},
      {&V::isValidPublicEventName, std::string(41, 'a'), false, 2},
      {&V::isValidPublicEventName, "1abc", false, 3},
      {&V::isValidInternalEventName, "1abc", true, 0},
      {&V::isValidPublicEventName, "a-b", false, 3},
      {&V::isValidPublicEventName, "ad_impression", true, 0},
      {&V::isValidPublicEventName, "screen_view", true, 0},
      {&V::isValidPublicEventName, "app_remove", false, 4},
      {&V::isValidPublicEventName, "ga_thing", false, 4},
      {&V::isValidPublicEventName, "é_accent", true, 0},
      {&V::isValidPublicEventName, APMObject(), false, 1},
      {&V::isValidPublicEventName, 5, false, 5},
      {&V::isValidPublicUserAttributeName, "user_id", false, 4},
      {&V::isValidPublicUserAttributeName, std::string(25, 'u'), false, 2},
      {&V::isValidInternalEventOrigin, "app", true, 0},
      {&V::isValidForwardedEventOrigin, "app+vtm", true, 0},
      {&V::isValidForwardedEventOrigin, "+vtm", false, 1},
      {&V::isValidForwardedEventOrigin, "a-b", false, 6},
      {&V::isValidInternalEventOrigin, std::string(33, 'o'), false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.description());
    V::Code code = -1;
    EXPECT_EQ(c.check(c.name, &code), c.valid);
    EXPECT_EQ(code, c.code);
  }
  EXPECT_TRUE(recorder.has(13006));
  EXPECT_TRUE(recorder.has(13007));
  // Code points, not bytes or UTF-16 units.
  EXPECT_TRUE(V::isValidPublicUserAttributeValue(APMValue::initWithString(std::string(36 / 2, 'x') + std::string(18, 'y')), nullptr));
  std::string emoji;
  for (int i = 0; i < 36; ++i) emoji += "\xF0\x9F\x98\x80";
  EXPECT_TRUE(V::isValidPublicUserAttributeValue(APMValue::initWithString(emoji), nullptr));
  EXPECT_TRUE(V::isValidCurrencyCode(APMValue::initWithString(std::string("usd")), nullptr));
  EXPECT_FALSE(V::isValidCurrencyCode(APMValue::initWithString(std::string("US")), nullptr));
}

TEST(APMHelpersTest, DecimalStringsParseExactlyOrNotAtAll) {
  MonitorRecorder recorder;
  struct Case {
    const char* text;
    std::optional<std::string> value;
  };
  const Case cases[] = {{"12", "12"},      {"12.", "12"},      {"-.5", "-0.5"}, {"+0.25", "0.25"}, {"+.5", "0.5"},
                        {"1.50", "1.5"},   {"007", "7"},       {"-0", "0"},     {".", std::nullopt}, {"1e5", std::nullopt},
                        {"1,000", std::nullopt}, {" 1", std::nullopt}, {"", std::nullopt},
                        {"123456789012345678901234567890123456789012", std::nullopt}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto d = APMDecimalNumberFromString(c.text);
    EXPECT_EQ(d ? std::optional(d->description()) : std::nullopt, c.value);
  }
  EXPECT_TRUE(recorder.has(26001));
  EXPECT_TRUE(recorder.has(26003));
  EXPECT_LT(*APMDecimal::parse("0.1"), *APMDecimal::parse("0.10000000000000001"));
  EXPECT_LT(*APMDecimal::parse("-2"), *APMDecimal::parse("-1.5"));
  EXPECT_EQ(*APMDecimal::parse("1.0"), APMDecimal::fromInt64(1));
}

TEST(APMHelpersTest, ErrorsAndChecks) {
  APMSetError(nullptr, 1, "nothing happens");
  platform::Error error;
  EXPECT_FALSE(APMCheckNonZero(0, &error, 1, "Empty"));
  EXPECT_EQ(error.domain(), "com.videzu.vmp.measurement.ErrorDomain");
  EXPECT_EQ(error.localizedDescription(), "Empty");
  EXPECT_TRUE(APMCheckPointer(&error, &error, 2, "x"));
  EXPECT_TRUE(APMAdditions::apm_errorWithCode(3, "", "").userInfo().empty());
  EXPECT_EQ(APMAdditions::apm_errorWithCode(3, "", "ctx").userInfo().at("APMMonitorContext"), platform::Value("ctx"));
}

TEST(APMHelpersTest, NameTables) {
  EXPECT_EQ(APMPublicToInternalParameterNames().size(), 54u);
  EXPECT_EQ(APMPublicToInternalEventNames().size(), 33u);
  EXPECT_EQ(APMPublicToInternalUserPropertyNames().size(), 10u);
  EXPECT_EQ(APMPublicToInternalParameterNames().at("ga_screen"), "_sn");
  EXPECT_EQ(APMPublicToInternalParameterNames().at("vuduzara_screen"), "_sn");
  EXPECT_EQ(APMInternalToPublicEventNames().at("_vs"), "screen_view");
  EXPECT_EQ(APMErrorCodeName(19), "CurrencyCodeIsMissingOrInvalid");
  EXPECT_EQ(APMErrorCodeName(26), std::nullopt);
}

TEST(APMHelpersTest, DigestsQueriesAndCodePoints) {
  EXPECT_EQ(APMD5Additions::apm_MD5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(VULGzip::apm_64LeastSignificantBits({0x12, 0x34}), 0x1234);
  EXPECT_EQ(VULGzip::apm_64LeastSignificantBits({}), 0);
  EXPECT_EQ(VULGzip::apm_64LSBMD5(platform::Data{'a', 'b', 'c'}), static_cast<std::int64_t>(0xd6963f7d28e17f72ULL));
  EXPECT_EQ(APMNSDictionaryQuery::apm_queryString(platform::Value::Dictionary{{"app id", "a&b"}, {"n", 5}}),
            "app%20id=a&b&n=5");
  const auto parsed = APMNSDictionaryQuery::apm_dictionaryWithHttpArgumentsString("a=1&b=2&a=3&flag&&c=x+y%21");
  EXPECT_EQ(parsed, (platform::Value::Dictionary{{"a", "1"}, {"b", "2"}, {"flag", ""}, {"c", "x y!"}}));
  EXPECT_EQ(APMD5Additions::apm_UTF32Length("\xF0\x9F\x98\x80"), 1u);
  std::uint8_t buffer[6];
  EXPECT_EQ(APMD5Additions::apm_getUTF32Bytes("ab", buffer, sizeof buffer), 4u);
  EXPECT_EQ(buffer[0], 'a');
  EXPECT_NE(APMNumericUtil::randomInt64(), APMNumericUtil::randomInt64());
}

TEST(APMPlatformIdentityTest, WithoutTheOptionalFrameworksNothingIsKnown) {
  APMPlatformIdentitySupport support;
  EXPECT_FALSE(support.hasAppDataConsentStatus());
  EXPECT_EQ(support.appDataConsentStatus(), -1);
  EXPECT_FALSE(support.hasLimitedAdTracking());
  EXPECT_FALSE(support.limitedAdTracking());
  EXPECT_EQ(support.resettableDeviceID(), std::nullopt);
}

// The event-metadata hash and the random numbers of event IDs run on the engine's workers, which
// may still be at it while the app returns from main: OpenSSL stays whole for them. A fresh copy
// of this binary uses both on a thread of its own while it exits.
TEST(APMHelpersExitTest, ChildHashesAndDrawsRandomNumbersWhileExiting) {
  if (!platform::testing::isExitTestChild()) GTEST_SKIP() << "runs only as the child of the exit test";
  platform::testing::exitWhileUsingOnAThread([] {
    APMNumericUtil::randomInt64();
    return VULGzip::apm_64LSBMD5(platform::Data{'a', 'b', 'c'}) == static_cast<std::int64_t>(0xd6963f7d28e17f72ULL);
  });
}

TEST(APMHelpersExitTest, HashAndRandomNumbersStayUsableWhileTheProcessExits) {
  EXPECT_EQ(platform::testing::runExitTestChild("APMHelpersExitTest.ChildHashesAndDrawsRandomNumbersWhileExiting"), "");
}

}  // namespace
