#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/testing/testing.h"
#include "sdk/analytics/messages/apmpb_flag.h"
#include "sdk/analytics/messages/nano_accessors.h"

namespace {

TEST(FieldAccessors, ScalarsRoundTripAndAbsentFieldsReadAsZero) {
  auto flag = APMPBFlag::initWithMessageInfo();
  EXPECT_FALSE(NANOHasField(flag.get(), 1));
  EXPECT_EQ(NANOGetInt64(flag.get(), 1), 0);
  EXPECT_EQ(NANOGetString(flag.get(), 0), std::nullopt);
  NANOSetString(flag.get(), 0, "name");
  NANOSetInt64(flag.get(), 1, -5);
  NANOSetDouble(flag.get(), 3, 2.5);
  NANOSetBool(flag.get(), 4, true);
  EXPECT_EQ(NANOGetString(flag.get(), 0), "name");
  EXPECT_EQ(NANOGetInt64(flag.get(), 1), -5);
  EXPECT_EQ(NANOGetDouble(flag.get(), 3), 2.5);
  EXPECT_TRUE(NANOGetBool(flag.get(), 4));
  NANOSetString(flag.get(), 0, std::nullopt);
  EXPECT_FALSE(NANOHasField(flag.get(), 0));
  NANOClearField(flag.get(), 1);
  EXPECT_FALSE(NANOHasField(flag.get(), 1));
}

TEST(FieldAccessors, TypeMismatchesPrintTheirLineAndChangeNothing) {
  auto event = APMPBEvent::initWithMessageInfo();
  NANOSetInt64(event.get(), 2, 77);
  platform::testing::LogCapture capture;
  EXPECT_EQ(NANOGetInt32(event.get(), 2), 0);
  NANOSetInt32(event.get(), 2, 1);
  NANOSetString(event.get(), 2, "x");
  EXPECT_FALSE(NANOGetArray(event.get(), 1));
  NANOSetArray(event.get(), 2, platform::Value::Array{1});
  EXPECT_EQ(NANOGetInt64(event.get(), 2), 77);
  EXPECT_TRUE(capture.contains("<Nano/Failure> Field type isn't a scalar INT32. Message: Event, field ID: 2"));
  EXPECT_TRUE(capture.contains("<Nano/Failure> Field type isn't a scalar STRING. Message: Event, field ID: 2"));
  EXPECT_TRUE(capture.contains("<Nano/Failure> Field type isn't REPEATED. Message: Event, field ID: 1"));
  EXPECT_TRUE(capture.contains("<Nano/Failure> Field type isn't REPEATED. Message: Event, field ID: 2"));
}

TEST(FieldAccessors, AMissingMessageIsReportedAsUninitialised) {
  platform::testing::LogCapture capture;
  EXPECT_FALSE(NANOHasField(nullptr, 0));
  EXPECT_EQ(NANOGetInt64(nullptr, 0), 0);
  NANOSetArray(nullptr, 0, platform::Value::Array{});
  EXPECT_TRUE(capture.contains("ProtocolBuffer message hasn't been initialized. GetInt64 can't be performed"));
  EXPECT_TRUE(capture.contains("ProtocolBuffer message hasn't been initialized. SetArray can't be performed"));
}

TEST(FieldAccessors, ArraysOfEveryKindRoundTripThroughTheWire) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetArray(bundle.get(), 37, platform::Value::Array{1, 4000000000u});
  NANOSetArray(bundle.get(), 44, platform::Value::Array{"app_instance_id", "device_info"});
  auto event = APMPBEvent::initWithMessageInfo();
  NANOSetString(event.get(), 1, "_e");
  NANOSetArray(bundle.get(), 1, std::vector{event, event});
  auto sequence = APMPBSequenceFilterResultTimestamp::initWithMessageInfo();
  NANOSetArray(sequence.get(), 1, platform::Value::Array{-1, 1.9, 1700000000});

  auto decoded = APMPBMeasurementBundle::initWithBuffer(*bundle->protoBuffer());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(NANOGetArray(decoded.get(), 37), (platform::Value::Array{1u, 4000000000u}));
  EXPECT_EQ(NANOGetArray(decoded.get(), 44), (platform::Value::Array{"app_instance_id", "device_info"}));
  auto events = NANOGetArray<APMPBEvent>(decoded.get(), 1);
  ASSERT_TRUE(events && events->size() == 2);
  EXPECT_EQ(NANOGetString((*events)[1].get(), 1), "_e");
  // A time in seconds loses its fraction in a 64-bit field.
  EXPECT_EQ(NANOGetArray(APMPBSequenceFilterResultTimestamp::initWithBuffer(*sequence->protoBuffer()).get(), 1),
            (platform::Value::Array{-1ll, 1ll, 1700000000ll}));
}

TEST(FieldAccessors, ABadElementLeavesTheArrayEmpty) {
  auto sequence = APMPBSequenceFilterResultTimestamp::initWithMessageInfo();
  NANOSetArray(sequence.get(), 1, platform::Value::Array{7});
  platform::testing::LogCapture capture;
  NANOSetArray(sequence.get(), 1, platform::Value::Array{1, "two", 3});
  EXPECT_TRUE(capture.contains("<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: NSString"));
  EXPECT_TRUE(NANOHasField(sequence.get(), 1));
  EXPECT_EQ(NANOGetArray(sequence.get(), 1), platform::Value::Array{});
  // Elements of another message type are refused the same way.
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetArray(bundle.get(), 1, std::vector{APMPBEventParam::initWithMessageInfo()});
  EXPECT_TRUE(capture.contains("Message fields expect NANOMessageBase. Type: APMPBEventParam"));
  EXPECT_EQ(bundle->protoBuffer(), platform::Data{});
}

TEST(FieldAccessors, MessagesAreStoredAndReadAsIndependentCopies) {
  auto filter = APMPBFilter::initWithMessageInfo();
  auto number = APMPBNumberFilter::initWithMessageInfo();
  NANOSetString(number.get(), 2, "10");
  NANOSetMessage(filter.get(), 1, number.get());
  NANOSetString(number.get(), 2, "20");
  auto read = NANOGetMessage<APMPBNumberFilter>(filter.get(), 1);
  ASSERT_TRUE(read);
  EXPECT_EQ(NANOGetString(read.get(), 2), "10");
  NANOSetString(read.get(), 2, "30");
  EXPECT_EQ(NANOGetString(NANOGetMessage<APMPBNumberFilter>(filter.get(), 1).get(), 2), "10");
  // A wrapper class of another message gives nothing.
  EXPECT_FALSE(NANOGetMessage<APMPBStringFilter>(filter.get(), 1));
  NANOSetMessage(filter.get(), 1, nullptr);
  EXPECT_FALSE(NANOHasField(filter.get(), 1));
}

TEST(FieldAccessors, InvalidUTF8ReadsAsNothing) {
  auto setting = APMPBSetting::initWithBuffer(platform::Data{0x0A, 0x02, 0xC3, 0x28});
  ASSERT_TRUE(setting);
  EXPECT_TRUE(NANOHasField(setting.get(), 0));
  EXPECT_EQ(NANOGetString(setting.get(), 0), std::nullopt);
}

TEST(FlagFunctions, ValuesAreStoredByKindAndReadInPriorityOrder) {
  const struct {
    platform::Value value;
    int storedIndex;
    platform::Value read;
  } cases[] = {
      {platform::Value(true), 1, platform::Value(1ll)},
      {platform::Value(12), 1, platform::Value(12ll)},
      {platform::Value(0.5), 3, platform::Value(0.5)},
      {platform::Value("on"), 2, platform::Value("on")},
  };
  for (const auto& c : cases) {
    auto flag = APMPBFlagFromNameAndValue("flag", c.value);
    ASSERT_TRUE(flag) << c.value.description();
    EXPECT_EQ(NANOGetString(flag.get(), 0), "flag");
    EXPECT_TRUE(NANOHasField(flag.get(), c.storedIndex));
    EXPECT_FALSE(NANOHasField(flag.get(), 4));
    EXPECT_EQ(APMPBFlagValue(flag.get()), c.read);
  }
  auto both = APMPBFlagFromNameAndValue("flag", "text");
  NANOSetInt64(both.get(), 1, 3);
  EXPECT_EQ(APMPBFlagValue(both.get()), platform::Value(3ll));
  EXPECT_TRUE(APMPBFlagValue(nullptr).isNull());
}

TEST(FlagFunctions, BadNamesAndValuesGoToTheMonitor) {
  std::vector<std::int32_t> codes;
  APMPBSetFlagMonitor([&](std::int32_t level, std::int32_t code, std::string_view, const platform::Value&) {
    EXPECT_EQ(level, 1);
    codes.push_back(code);
  });
  EXPECT_FALSE(APMPBFlagFromNameAndValue(platform::Value(), 1));
  EXPECT_FALSE(APMPBFlagFromNameAndValue(5, 1));
  EXPECT_FALSE(APMPBFlagFromNameAndValue("flag", platform::Value::Array{}));
  APMPBSetFlagMonitor(nullptr);
  EXPECT_EQ(codes, (std::vector<std::int32_t>{850000, 850001, 850002}));
}

}  // namespace
