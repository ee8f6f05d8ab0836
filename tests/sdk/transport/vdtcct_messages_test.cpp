#include "sdk/transport/cct/vdtcct_messages.h"

#include <gtest/gtest.h>

#include "platform/foundation/data_encoding.h"
#include "platform/foundation/date.h"
#include "sdk/transport/cct/vdtcct_compression_helper.h"
#include "sdk/transport/cct/vdtcct_event_support.h"
#include "sdk/transport/core/vdtcor_clock.h"
#include "sdk/transport/core/vdtcor_log_source_metrics.h"
#include "sdk/transport/core/vdtcor_metrics.h"
#include "tools/local-service/transport_routes.h"
#include "tools/local-service/wire_format.h"
#include "transport_fixture.h"

namespace transport_tests {
namespace {

std::string asText(const std::optional<platform::Data>& data) {
  return data ? std::string(data->begin(), data->end()) : "<none>";
}

TEST(VDTCCTSupportTest, CustomBytesKeepTheEventCodeAndNetworkInformation) {
  auto event = makeEvent("137", 1002);
  EXPECT_FALSE(VDTCCTSupport::eventCode(*event));
  VDTCCTSupport::setEventCode(*event, 42);
  EXPECT_EQ(asText(event->customBytes()), R"({"event_code_info":"42"})");
  EXPECT_EQ(VDTCCTSupport::eventCode(*event), 42);
  VDTCCTSupport::setEventCode(*event, std::nullopt);
  EXPECT_EQ(asText(event->customBytes()), "{}");

  // Clearing the flag on bytes that hold only the flag leaves them as they are.
  auto flagged = makeEvent("137", 1002);
  VDTCCTSupport::setNeedsNetworkConnectionInfoPopulated(*flagged, true);
  VDTCCTSupport::setNeedsNetworkConnectionInfoPopulated(*flagged, false);
  EXPECT_TRUE(VDTCCTSupport::needsNetworkConnectionInfoPopulated(*flagged));

  const platform::Data record{1, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0};
  VDTCCTSupport::setNetworkConnectionInfoData(*flagged, record);
  EXPECT_EQ(VDTCCTSupport::networkConnectionInfoData(*flagged), record);
  const auto info = VDTCCTNetworkConnectionInfo::fromRecord(record);
  EXPECT_TRUE(info.hasNetworkType && info.hasMobileSubtype);
  EXPECT_EQ(info.networkType, 7);
  EXPECT_EQ(info.mobileSubtype, 3u);
  // Presence bytes that are neither 0 nor 1 are read as present, never as a broken bool.
  EXPECT_TRUE(VDTCCTNetworkConnectionInfo::fromRecord(platform::Data{0xff}).hasNetworkType);
  EXPECT_EQ(VDTCCTNetworkConnectionInfo::fromRecord(platform::Data{0}).networkType, -1);

  // Custom bytes that are not a JSON object are never overwritten.
  auto broken = makeEvent("137", 1002);
  broken->setCustomBytes(bytesOf("not json"));
  VDTCCTSupport::setEventCode(*broken, 5);
  VDTCCTSupport::setNeedsNetworkConnectionInfoPopulated(*broken, true);
  EXPECT_EQ(asText(broken->customBytes()), "not json");
  EXPECT_FALSE(VDTCCTSupport::eventCode(*broken));
}

TEST(VDTCCTMessagesTest, LogEventsCarryTheirFieldsAndOnlyThePresentOptionalOnes) {
  auto plain = makeEvent("137", 1002, 3, "plain");
  auto clock = std::make_shared<VDTCORClock>();
  clock->setTimeMillis(1'700'000'000'123);
  clock->setTimezoneOffsetSeconds(-3600);
  clock->setUptimeNanoseconds(5'000'000'000);
  plain->setClockSnapshot(clock);
  auto coded = makeEvent("1710", 1002, 3, "");
  coded->setSerializedDataObjectBytes(std::nullopt);
  VDTCCTSupport::setEventCode(*coded, 42);

  const auto body = VDTCCTConstructBatchedLogRequest(VDTCOREventSet{plain, coded});
  std::string error;
  auto decoded = local_service::decodeBatchedLogRequest(std::string(body.begin(), body.end()), error);
  ASSERT_TRUE(decoded) << error;
  ASSERT_EQ(decoded->size(), 2u);
  std::map<std::int64_t, local_service::UploadedLogRequest> bySource;
  for (auto& request : *decoded) bySource[request.logSource] = request;
  const auto& first = bySource.at(137).events.at(0);
  EXPECT_EQ(first.payload, "plain");
  EXPECT_EQ(first.eventTimeMs, 1'700'000'000'123);
  EXPECT_EQ(first.timezoneOffsetSeconds, -3600);
  EXPECT_EQ(first.uptimeMs, 5000);
  EXPECT_FALSE(first.eventCode);
  EXPECT_FALSE(first.networkConnectionInfo);
  const auto& second = bySource.at(1710).events.at(0);
  EXPECT_EQ(second.eventCode, 42);
  EXPECT_EQ(second.payload, "");
  EXPECT_EQ(bySource.at(137).clientType, 15);

  EXPECT_TRUE(VDTCCTConstructBatchedLogRequest({}).empty());
}

TEST(VDTCCTMessagesTest, TheResponseWaitAndItsErrors) {
  struct Case {
    const char* name;
    std::string bytes;
    bool ok;
    std::optional<std::int64_t> wait;
  };
  const std::vector<Case> cases = {
      {"wait", local_service::transportResponseBody(120'000), true, 120'000},
      {"empty", "", true, std::nullopt},
      {"unknown fields only", std::string("\x10\x05", 2), true, std::nullopt},
      {"truncated", std::string("\x08", 1), false, std::nullopt},
      {"bad sub-message", std::string("\x1a\x05\x0a", 3), false, std::nullopt},
  };
  for (const Case& c : cases) {
    platform::Error error;
    auto response = VDTCCTDecodeLogResponse(platform::Data(c.bytes.begin(), c.bytes.end()), &error);
    EXPECT_EQ(response.has_value(), c.ok) << c.name;
    if (response) {
      EXPECT_EQ(response->nextRequestWaitMillis, c.wait) << c.name;
    }
    if (!c.ok) {
      EXPECT_EQ(error.domain(), "NSURLErrorDomain") << c.name;
      EXPECT_EQ(error.code(), -1) << c.name;
      EXPECT_TRUE(error.userInfo().count("nanopb error:")) << c.name;
    }
  }
}

TEST(VDTCCTMessagesTest, ClientMetricsWriteWholeSecondsAndKnownReasons) {
  VDTCORLogSourceMetrics::Counter counter{{"137", {{5, 2}, {9, 1}}}};
  VDTCORMetrics metrics(platform::Date::fromTimeIntervalSince1970(1.9), platform::Date::fromTimeIntervalSince1970(3),
                        std::make_shared<VDTCORLogSourceMetrics>(counter), 10, 20, "com.test");
  const auto bytes = VDTCCTEncodeClientMetrics(metrics);
  std::vector<local_service::WireField> fields;
  std::string error;
  ASSERT_TRUE(local_service::readWireFields(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                                            fields, error));
  std::map<std::uint32_t, std::vector<local_service::WireField>> byNumber;
  for (const auto& f : fields) byNumber[f.number].push_back(f);
  std::vector<local_service::WireField> window;
  ASSERT_TRUE(local_service::readWireFields(byNumber.at(1).at(0).bytes, window, error));
  EXPECT_EQ(window.at(0).value, 1000u);
  EXPECT_EQ(window.at(1).value, 3000u);
  EXPECT_EQ(byNumber.at(4).at(0).bytes, "com.test");
  std::vector<local_service::WireField> source;
  ASSERT_TRUE(local_service::readWireFields(byNumber.at(2).at(0).bytes, source, error));
  std::vector<std::uint64_t> reasons;
  for (const auto& part : source) {
    if (part.number != 2) continue;
    std::vector<local_service::WireField> drop;
    ASSERT_TRUE(local_service::readWireFields(part.bytes, drop, error));
    std::uint64_t reason = 0;  // absent when 0
    for (const auto& d : drop) if (d.number == 3) reason = d.value;
    reasons.push_back(reason);
  }
  EXPECT_EQ(reasons, (std::vector<std::uint64_t>{5, 0}));
}

// Known-good bytes of every message the transport writes, with each kind of field present
// (absent optionals, empty and missing payloads, negative numbers, repeated parts), so a change
// of the schema or its encoder cannot change the wire unnoticed.
platform::Data knownBatchedRequest() {
  auto clockAt = [](std::int64_t millis, std::int64_t zone, std::int64_t uptimeNanos) {
    auto clock = std::make_shared<VDTCORClock>();
    clock->setTimeMillis(millis);
    clock->setTimezoneOffsetSeconds(zone);
    clock->setUptimeNanoseconds(uptimeNanos);
    return clock;
  };
  auto plain = makeEvent("137", 1002, 3, "abc");
  plain->setClockSnapshot(clockAt(1'700'000'000'123, -3600, 5'000'000'000));
  auto coded = makeEvent("137", 1002, 3, "");
  coded->setSerializedDataObjectBytes(std::nullopt);
  coded->setClockSnapshot(clockAt(1'700'000'000'999, 7200, 1'000'000));
  VDTCCTSupport::setEventCode(*coded, -5);
  auto networked = makeEvent("1710", 1002, 3, "xyz");
  networked->setClockSnapshot(clockAt(1, 0, 0));
  VDTCCTSupport::setEventCode(*networked, 42);
  VDTCCTSupport::setNetworkConnectionInfoData(*networked,
                                              platform::Data{1, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0});
  VDTCCTIosClientInfo info;
  info.osMajorVersion = "17";
  info.osFullVersion = "17.2";
  info.model = "x86_64";
  info.languageCode = "en";
  info.applicationBundleID = "com.focus.timer";
  return VDTCCTEncodeBatchedLogRequest({{"137", {plain, coded}}, {"1710", {networked}}}, info,
                                       clockAt(1'700'000'001'000, 0, 9'000'000'000));
}

platform::Data knownClientMetrics() {
  VDTCORLogSourceMetrics::Counter counter{{"137", {{5, 2}, {9, 1}}}, {"1710", {{1, 300}}}};
  VDTCORMetrics metrics(platform::Date::fromTimeIntervalSince1970(1.9),
                        platform::Date::fromTimeIntervalSince1970(1'700'000'000),
                        std::make_shared<VDTCORLogSourceMetrics>(counter), 4096, 20'000'000, "com.focus.timer");
  return VDTCCTEncodeClientMetrics(metrics);
}

TEST(VDTCCTMessagesTest, EncodedBytesMatchKnownGoodSamples) {
  struct Case {
    const char* name;
    platform::Data bytes;
    const char* hex;
  };
  const Case cases[] = {
      {"batched request", knownBatchedRequest(),
       "0a6b0a2b080f22271a023137220431372e323a067838365f36344202656e5a0f636f6d2e666f6375732e74696d657210"
       "89011a1308fbd095ffbc313203616263789f38880188271a1a08e7d795ffbc31320058fbffffffffffffffff0178c070"
       "88010120e8d795ffbc3140a8460a510a2b080f22271a023137220431372e323a067838365f36344202656e5a0f636f6d"
       "2e666f6375732e74696d657210ae0d1a150801320378797a582a7800880100ba01040807100320e8d795ffbc3140a846"},
      {"client metrics", knownClientMetrics(),
       "0a0a08e8071080d095ffbc31120f0a0331333712040802180512020801120d0a0431373130120508ac0218011a0a0a08"
       "0880201080dac409220f636f6d2e666f6375732e74696d6572"},
      {"metrics with nothing to count",
       VDTCCTEncodeClientMetrics(VDTCORMetrics(platform::Date::fromTimeIntervalSince1970(0),
                                               platform::Date::fromTimeIntervalSince1970(0),
                                               std::make_shared<VDTCORLogSourceMetrics>(), 0, 0, "")),
       "2200"},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::DataEncoding::hexEncode(c.bytes), c.hex) << c.name;
}

TEST(VDTCCTMessagesTest, TheLocalServiceReadsTheSampleAndRefusesBrokenBodies) {
  const auto body = knownBatchedRequest();
  std::string error;
  auto decoded = local_service::decodeBatchedLogRequest(std::string(body.begin(), body.end()), error);
  ASSERT_TRUE(decoded) << error;
  ASSERT_EQ(decoded->size(), 2u);
  const auto& first = decoded->at(0);
  EXPECT_EQ(first.clientInfo.osFullVersion, "17.2");
  EXPECT_FALSE(first.clientInfo.country);
  EXPECT_EQ(first.requestTimeMs, 1'700'000'001'000);
  ASSERT_EQ(first.events.size(), 2u);
  EXPECT_EQ(first.events[1].eventCode, -5);
  EXPECT_EQ(first.events[1].timezoneOffsetSeconds, 7200);
  const auto& networked = decoded->at(1).events.at(0);
  ASSERT_TRUE(networked.networkConnectionInfo);
  EXPECT_EQ(networked.networkConnectionInfo->networkType, 7);
  EXPECT_EQ(networked.networkConnectionInfo->mobileSubtype, 3u);

  const std::string broken[] = {
      std::string("\x0a\x05\x0a", 3),  // a request longer than the body
      std::string("\x08\x01", 2),      // a number where a request belongs
      std::string("\x0b", 1),          // a group
  };
  for (const std::string& bytes : broken) {
    error.clear();
    EXPECT_FALSE(local_service::decodeBatchedLogRequest(bytes, error)) << platform::DataEncoding::hexEncode(
        platform::Data(bytes.begin(), bytes.end()));
    EXPECT_FALSE(error.empty());
  }
}

TEST(VDTCCTCompressionHelperTest, GzipOnlyWhatThereIs) {
  EXPECT_FALSE(VDTCCTCompressionHelper::gzippedData({}));
  EXPECT_FALSE(VDTCCTCompressionHelper::isGzipped(platform::Data{0x1f}));
  auto gzipped = VDTCCTCompressionHelper::gzippedData(platform::Data(4096, 'a'));
  ASSERT_TRUE(gzipped);
  EXPECT_TRUE(VDTCCTCompressionHelper::isGzipped(*gzipped));
  EXPECT_LT(gzipped->size(), 100u);
}

}  // namespace
}  // namespace transport_tests
