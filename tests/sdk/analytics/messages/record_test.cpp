#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/testing.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "tests/sdk/analytics/messages/wire_builder.h"

using namespace wire;

namespace {

enum EventField { kParams = 0, kEventName = 1, kTimestamp = 2, kPrevious = 3 };
enum ParamField { kParamName = 0, kStringValue = 1, kIntValue = 2, kFloatValue = 3, kDoubleValue = 4, kNested = 5 };

TEST(MessageRecord, EmptyInputDecodesToAnEmptyMessageWithEveryRepeatedHeaderPresent) {
  auto bundle = APMPBMeasurementBundle::initWithBuffer(platform::Data{});
  ASSERT_TRUE(bundle);
  const auto& schema = bundle->messageSchema();
  for (std::uint32_t i = 0; i < schema.fieldCount; ++i) {
    const bool repeated = schema.typeCodes[i] & kNANORepeated;
    EXPECT_EQ(NANOHasField(bundle.get(), static_cast<int>(i)), repeated) << schema.fields[i].name;
    if (repeated) {
      EXPECT_EQ(static_cast<NANORepeatedHeader*>(bundle->messageInfo()->fields[i])->count, 0u);
    }
  }
  EXPECT_EQ(bundle->protoBuffer(), platform::Data{});
}

TEST(MessageRecord, DuplicateFieldsKeepTheFirstStringAndTheLastScalar) {
  auto event = APMPBEvent::initWithBuffer(text(2, "first") + number(3, 10) + text(2, "second") + number(3, 20));
  ASSERT_TRUE(event);
  EXPECT_EQ(NANOGetString(event.get(), kEventName), "first");
  EXPECT_EQ(NANOGetInt64(event.get(), kTimestamp), 20);
}

TEST(MessageRecord, StringsAreLimitedToOneMebibyte) {
  const std::string limit(0x100000, 'x');
  EXPECT_TRUE(APMPBSetting::initWithBuffer(text(1, limit)));
  platform::testing::LogCapture capture;
  EXPECT_FALSE(APMPBSetting::initWithBuffer(text(1, limit + "x")));
  EXPECT_TRUE(capture.contains("Unable to process proto stream. Buffer is too big. 1048577 > 1048576"));
  // The limit holds for a string nested in any message around it.
  EXPECT_FALSE(APMPBMeasurementConfig::initWithBuffer(bytes(4, text(2, limit + "x"))));
}

TEST(MessageRecord, RepeatedIntegersDecodeFromPackedAndUnpackedAndEncodeUnpacked) {
  const platform::Data unpacked = number(1, 5) + number(1, 300) + number(1, 0);
  const platform::Data packed = bytes(1, varint(5) + varint(300) + varint(0));
  auto fromPacked = APMPBResultData::initWithBuffer(packed);
  auto fromUnpacked = APMPBResultData::initWithBuffer(unpacked);
  ASSERT_TRUE(fromPacked && fromUnpacked);
  const platform::Value::Array expected{5ull, 300ull, 0ull};
  EXPECT_EQ(NANOGetArray(fromPacked.get(), 0), expected);
  EXPECT_EQ(NANOGetArray(fromUnpacked.get(), 0), expected);
  EXPECT_EQ(fromPacked->protoBuffer(), unpacked);
}

TEST(MessageRecord, SubMessagesAbsentStayNullAndPresentButEmptyGiveAnEmptyChild) {
  auto absent = APMPBAudienceLeafFilterResult::initWithBuffer(number(1, 7));
  auto empty = APMPBAudienceLeafFilterResult::initWithBuffer(number(1, 7) + bytes(2, {}));
  ASSERT_TRUE(absent && empty);
  EXPECT_FALSE(NANOHasField(absent.get(), 1));
  EXPECT_TRUE(NANOHasField(empty.get(), 1));
  EXPECT_TRUE(NANOGetMessage<APMPBResultData>(empty.get(), 1));
  EXPECT_EQ(empty->protoBuffer(), number(1, 7) + bytes(2, {}));
}

TEST(MessageRecord, RepeatedOccurrencesOfASubMessageMerge) {
  // Scalars: last; strings: first; repeated elements accumulate.
  auto filter = APMPBPropertyFilter::initWithBuffer(
      bytes(3, text(4, "first") + number(3, 1) + bytes(1, number(1, 5) + text(4, "a"))) +
      bytes(3, text(4, "second") + number(3, 0) + bytes(1, text(4, "b"))));
  ASSERT_TRUE(filter);
  auto inner = NANOGetMessage<APMPBFilter>(filter.get(), 2);
  ASSERT_TRUE(inner);
  EXPECT_EQ(NANOGetString(inner.get(), 3), "first");
  EXPECT_FALSE(NANOGetBool(inner.get(), 2));
  auto stringFilter = NANOGetMessage<APMPBStringFilter>(inner.get(), 0);
  ASSERT_TRUE(stringFilter);
  EXPECT_EQ(NANOGetInt32(stringFilter.get(), 0), 5);
  EXPECT_EQ(NANOGetArray(stringFilter.get(), 3), (platform::Value::Array{"a", "b"}));
}

TEST(MessageRecord, EncodingWritesZeroScalarsAndSkipsEmptyRepeatedFields) {
  auto event = APMPBEvent::initWithMessageInfo();
  NANOSetInt64(event.get(), kTimestamp, 0);
  NANOSetArray(event.get(), kParams, platform::Value::Array{});
  EXPECT_EQ(event->protoBuffer(), number(3, 0));
}

TEST(MessageRecord, NegativeIntegersUseTheirProtobufEncodings) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetInt32(bundle.get(), 12, -60);           // int32: sign-extended, ten bytes
  NANOSetInt32(bundle.get(), 41, -1);            // enum: the unsigned 32-bit value
  NANOSetInt64(bundle.get(), 3, -2);
  const platform::Data expected = number(4, static_cast<std::uint64_t>(-2)) +
                                  number(12, static_cast<std::uint64_t>(std::int64_t{-60})) + number(53, 0xFFFFFFFF);
  EXPECT_EQ(bundle->protoBuffer(), expected);
  auto decoded = APMPBMeasurementBundle::initWithBuffer(expected);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(NANOGetInt32(decoded.get(), 12), -60);
  EXPECT_EQ(NANOGetInt32(decoded.get(), 41), -1);
  EXPECT_EQ(NANOGetInt64(decoded.get(), 3), -2);
}

TEST(MessageRecord, BundleIndexSixIsTagTwentySixBetweenTagsTwentyFiveAndTwentySeven) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetString(bundle.get(), 20, "vendor");  // tag 27
  NANOSetInt64(bundle.get(), 6, 42);          // tag 26
  NANOSetString(bundle.get(), 26, "app");     // tag 25
  const platform::Data expected = text(25, "app") + number(26, 42) + text(27, "vendor");
  EXPECT_EQ(bundle->protoBuffer(), expected);
  auto decoded = APMPBMeasurementBundle::initWithBuffer(expected);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(NANOGetInt64(decoded.get(), 6), 42);
}

TEST(MessageRecord, FieldsTheSchemaDoesNotListAreSkippedAndDropped) {
  auto setting = APMPBSetting::initWithBuffer(text(1, "a") + number(9, 3) + fixed64(10, 1.5) + text(11, "x"));
  ASSERT_TRUE(setting);
  EXPECT_EQ(setting->protoBuffer(), text(1, "a"));
}

TEST(MessageRecord, MalformedInputFailsWholeWithoutAMessage) {
  platform::Data deep;
  for (int i = 0; i < 150; ++i) deep = bytes(2, bytes(2, deep));  // RuntimeEntity.value, nested
  const struct {
    const char* what;
    platform::Data bytes;
  } cases[] = {
      {"truncated varint", {0x18, 0x80}},
      {"length past the end", {0x12, 0x05, 'a'}},
      {"string sent as a varint", number(2, 1)},
      {"varint sent as fixed64", fixed64(3, 1.0)},
      {"zero tag", {0x00, 0x01}},
      {"group wire type", {0x0B}},
      {"packed run cut mid-varint", bytes(1, {0x80})},
      {"bad element of a repeated message", bytes(1, {0xFF})},
      {"varint longer than ten bytes", platform::Data{0x18} + platform::Data(11, 0xFF) + platform::Data{0x01}},
      {"tenth varint byte past 64 bits", platform::Data{0x18} + platform::Data(9, 0xFF) + platform::Data{0x02}},
      {"key wider than 32 bits", platform::Data(5, 0xFF) + platform::Data{0x7F}},
      {"fixed64 cut short", platform::Data{0x09, 1, 2, 3}},
      {"fixed32 of an unknown field cut short", platform::Data{0x75, 1, 2}},
      {"repeated message sent as a varint", number(1, 1)},
      {"error after a complete element", bytes(1, text(1, "p")) + platform::Data{0x12, 0x09}},
  };
  platform::testing::LogCapture capture;
  for (const auto& c : cases) {
    EXPECT_FALSE(APMPBEvent::initWithBuffer(c.bytes)) << c.what;
  }
  EXPECT_FALSE(APMPBRuntimeEntity::initWithBuffer(deep));
  EXPECT_TRUE(capture.contains("<ERROR> RuntimeEntity decoder failed: message nested too deeply"));
  EXPECT_FALSE(APMPBResultData::initWithBuffer(bytes(1, {0x01, 0x02}) + number(3, 1)));
}

TEST(MessageRecord, DeallocatingAnUnknownFieldFailsAndKeepsTheRecord) {
  auto event = APMPBEvent::initWithBuffer(text(2, "e"));
  ASSERT_TRUE(event);
  platform::testing::LogCapture capture;
  EXPECT_FALSE(event->deallocMessageFieldFn()(event->messageInfo(), 5));
  EXPECT_TRUE(capture.contains("<ERROR> Event: Cannot deallocate field 5: Unknown field"));
  EXPECT_EQ(NANOGetString(event.get(), kEventName), "e");
}

TEST(MessageRecord, EncodingFailsOnAPresentStringWithoutBytes) {
  auto setting = APMPBSetting::initWithMessageInfo();
  setting->messageInfo()->fields[0] = std::calloc(1, sizeof(NANOStringValue));
  EXPECT_FALSE(setting->protoBuffer());
  std::uint8_t* buffer = reinterpret_cast<std::uint8_t*>(1);
  EXPECT_EQ(NANOEncode(setting->messageSchema(), setting->messageInfo(), &buffer), -1);
  EXPECT_EQ(buffer, nullptr);
}

TEST(MessageRecord, DeepCopiesShareNothing) {
  auto param = APMPBEventParam::initWithMessageInfo();
  NANOSetString(param.get(), kParamName, "p");
  auto nested = APMPBEventParam::initWithMessageInfo();
  NANOSetInt64(nested.get(), kIntValue, 1);
  NANOSetArray(param.get(), kNested, std::vector{nested});
  auto copy = APMPBEventParam::initWithMessageInfo(param->messageInfo());
  ASSERT_TRUE(copy);
  NANOSetString(param.get(), kParamName, "changed");
  NANOSetArray(param.get(), kNested, platform::Value());
  EXPECT_EQ(NANOGetString(copy.get(), kParamName), "p");
  auto elements = NANOGetArray<APMPBEventParam>(copy.get(), kNested);
  ASSERT_TRUE(elements && elements->size() == 1);
  EXPECT_EQ(NANOGetInt64((*elements)[0].get(), kIntValue), 1);
  // Another message type's record is refused.
  EXPECT_FALSE(APMPBEventParam::initWithMessageInfo(APMPBEvent::initWithMessageInfo()->messageInfo()));
}

TEST(MessageRecord, SubMessageLengthsOfOneTwoAndThreeBytesReencodeExactly) {
  // Encoding writes a sub-message before its length: longer lengths move it up.
  for (const std::size_t size : {0u, 127u, 128u, 16383u, 16384u, 300000u}) {
    const platform::Data event = bytes(1, text(1, "p") + text(2, std::string(size, 'v'))) + text(2, "e");
    const platform::Data batch = bytes(1, bytes(2, event)) + bytes(1, bytes(2, event) + bytes(2, event));
    auto decoded = APMPBMeasurementBatch::initWithBuffer(batch);
    ASSERT_TRUE(decoded) << size;
    EXPECT_EQ(decoded->protoBuffer(), batch) << size;
  }
}

TEST(MessageRecord, DecodedValuesCanBeClearedReplacedAndCopied) {
  auto event = APMPBEvent::initWithBuffer(bytes(1, text(1, "p") + number(3, 7) + fixed64(5, 2.5)) + text(2, "e") +
                                          number(3, 10) + number(4, 9));
  ASSERT_TRUE(event);
  NANOClearField(event.get(), kTimestamp);
  EXPECT_FALSE(NANOHasField(event.get(), kTimestamp));
  NANOSetInt64(event.get(), kPrevious, 11);
  NANOSetString(event.get(), kEventName, "renamed");
  auto copy = APMPBEvent::initWithMessageInfo(event->messageInfo());
  NANOSetInt64(event.get(), kTimestamp, 12);
  NANOSetString(event.get(), kEventName, std::nullopt);
  ASSERT_TRUE(copy);
  EXPECT_EQ(NANOGetInt64(event.get(), kTimestamp), 12);
  EXPECT_FALSE(NANOHasField(event.get(), kEventName));
  EXPECT_FALSE(NANOHasField(copy.get(), kTimestamp));
  EXPECT_EQ(NANOGetInt64(copy.get(), kPrevious), 11);
  EXPECT_EQ(NANOGetString(copy.get(), kEventName), "renamed");
  auto params = NANOGetArray<APMPBEventParam>(copy.get(), kParams);
  ASSERT_TRUE(params && params->size() == 1);
  EXPECT_EQ(NANOGetInt64((*params)[0].get(), kIntValue), 7);
  EXPECT_EQ(NANOGetDouble((*params)[0].get(), kDoubleValue), 2.5);
  // A decoded string's bytes end with a NUL past the counted length.
  auto param = APMPBEventParam::initWithBuffer(text(1, "abc"));
  ASSERT_TRUE(param);
  const auto* name = static_cast<const NANOStringValue*>(param->messageInfo()->fields[kParamName]);
  ASSERT_EQ(name->length, 3u);
  EXPECT_EQ(name->data[3], 0);
}

TEST(MessageRecordStress, ThreadsDecodeAndEncodeAtOnce) {
  // Decoding keeps a per-thread stack of pending elements: threads must not see each other's.
  platform::Data event;
  for (int p = 0; p < 20; ++p) event = event + bytes(1, text(1, "p" + std::to_string(p)) + number(3, p));
  event = event + text(2, "e") + number(3, 5);
  const platform::Data batch = bytes(1, bytes(2, event) + bytes(2, event)) + bytes(1, bytes(2, event));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto decoded = APMPBMeasurementBatch::initWithBuffer(batch);
        if (!decoded || decoded->protoBuffer() != batch) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace

