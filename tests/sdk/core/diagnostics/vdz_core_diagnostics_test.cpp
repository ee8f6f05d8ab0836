#include "sdk/core/diagnostics/vdz_core_diagnostics.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "../../transport/transport_fixture.h"
#include "platform/foundation/calendar.h"
#include "platform/foundation/data_encoding.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/property_list.h"
#include "platform/runtime/class.h"
#include "platform/ui/application.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/core/core/vdz_core_diagnostics_connector.h"
#include "sdk/core/core/vdz_diagnostics_data.h"
#include "sdk/core/diagnostics/vdz_core_diagnostics_log.h"
#include "sdk/transport/core/vdtcor_clock.h"
#include "sdk/transport/core/vdtcor_storage_event_selector.h"
#include "sdk/transport/core/vdtcor_transport.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "sdk/utilities/utilities/vul_heartbeat_date_storage.h"

namespace transport_tests {
namespace {

using platform::Value;

// A protobuf reader of its own, so the record is checked independently of nanopb: each tag maps
// to its values in order; a packed field's varints become separate values.
struct WireField {
  uint64_t number = 0;
  std::string bytes;
  bool isBytes = false;
};
using WireRecord = std::multimap<uint32_t, WireField>;

uint64_t readVarint(const uint8_t*& at, const uint8_t* end) {
  uint64_t value = 0;
  for (int shift = 0; at < end && shift < 64; shift += 7) {
    const uint8_t byte = *at++;
    value |= uint64_t(byte & 0x7F) << shift;
    if (!(byte & 0x80)) return value;
  }
  ADD_FAILURE() << "truncated varint";
  return value;
}

WireRecord decode(const platform::Data& data, const std::set<uint32_t>& packed = {7}) {
  WireRecord record;
  const uint8_t* at = data.data();
  const uint8_t* end = at + data.size();
  uint32_t lastTag = 0;
  while (at < end) {
    const uint64_t key = readVarint(at, end);
    const auto tag = static_cast<uint32_t>(key >> 3);
    EXPECT_GE(tag, lastTag) << "fields out of tag order";
    lastTag = tag;
    if ((key & 7) == 0) {
      record.emplace(tag, WireField{readVarint(at, end), {}, false});
    } else if ((key & 7) == 2) {
      const uint64_t length = readVarint(at, end);
      if (length > uint64_t(end - at)) {
        ADD_FAILURE() << "length past the end";
        break;
      }
      if (packed.contains(tag)) {
        const uint8_t* stop = at + length;
        while (at < stop) record.emplace(tag, WireField{readVarint(at, stop), {}, false});
      } else {
        record.emplace(tag, WireField{0, std::string(reinterpret_cast<const char*>(at), length), true});
        at += length;
      }
    } else {
      ADD_FAILURE() << "unexpected wire type " << (key & 7);
      break;
    }
  }
  return record;
}

std::vector<uint64_t> numbers(const WireRecord& record, uint32_t tag) {
  std::vector<uint64_t> out;
  for (auto [it, end] = record.equal_range(tag); it != end; ++it) out.push_back(it->second.number);
  return out;
}

std::string text(const WireRecord& record, uint32_t tag) {
  auto it = record.find(tag);
  return it == record.end() ? "<absent>" : it->second.bytes;
}

class VDZCoreDiagnosticsTest : public TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    VULAppEnvironmentUtil::resetForTesting();
    VDZCoreDiagnostics::resetSharedInstanceForTesting();
  }
  void TearDown() override {
    platform::testing::runUntilIdle();
    VDZApp::resetAppsForTesting();
    VDZCoreDiagnostics::resetSharedInstanceForTesting();
    VDZCoreDiagnosticsConnector::resetForTesting();
    for (const auto& name : classes_) platform::runtime::unregisterClass(name);
    TransportTest::TearDown();
  }

  void writeInfo(const Value::Dictionary& info) {
    auto bytes = platform::PropertyList::write(Value(info), platform::PropertyList::Format::XML);
    ASSERT_TRUE(bytes);
    ASSERT_TRUE(platform::FileManager::defaultManager().writeAtomically(bundle_ / "Info.plist", *bytes));
    platform::Bundle::setMainPath(bundle_);
  }

  void defineProbe(std::string name) {
    platform::runtime::ClassDefinition definition;
    definition.name = name;
    platform::runtime::registerClass(std::move(definition));
    classes_.push_back(std::move(name));
  }

  std::shared_ptr<VDZCoreDiagnostics> diagnostics() {
    return std::make_shared<VDZCoreDiagnostics>(
        VDTCORTransport::initWithMappingID(kVDZCoreDiagnosticsMappingID, {}, kVDZCoreDiagnosticsTarget),
        VULHeartbeatDateStorage::initWithFileName(kVDZCoreDiagnosticsHeartbeatFileName));
  }

  static std::shared_ptr<VDZDiagnosticsData> fullBag() {
    auto data = std::make_shared<VDZDiagnosticsData>();
    data->insertValue(Value(true), kVDZCDIsDataCollectionDefaultEnabledKey);
    data->insertValue(Value("agent/1"), kVDZCDVuduzaraUserAgentKey);
    data->insertValue(Value(2), kVDZCDConfigurationTypeKey);
    data->insertValue(Value("1:2:ios:3"), kVDZCDVidezuAppIDKey);
    data->insertValue(Value("com.focus.timer"), kVDZCDBundleIDKey);
    data->insertValue(Value(false), kVDZCDUsingOptionsFromDefaultPlistKey);
    data->insertValue(Value("81500000"), kVDZCDLibraryVersionIDKey);
    data->insertValue(Value(3u), kVDZCDllAppsCountKey);
    data->insertValue(Value("Storage"), kVDZCDSdkNameKey);
    data->insertValue(Value("8.15.0"), kVDZCDSdkVersionKey);
    return data;
  }

  // Every record stored for the diagnostics' target, decoded; each event checked for its mapping.
  std::vector<WireRecord> sentRecords() {
    platform::testing::runUntilIdle();
    auto [batchID, events] =
        batch(VDTCORStorageEventSelector::eventSelectorForTarget(kVDZCoreDiagnosticsTarget));
    std::vector<std::shared_ptr<VDTCOREvent>> sorted(events ? events->begin() : VDTCOREventSet::iterator{},
                                                     events ? events->end() : VDTCOREventSet::iterator{});
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
      return a->clockSnapshot()->timeMillis() < b->clockSnapshot()->timeMillis();
    });
    std::vector<WireRecord> records;
    for (const auto& event : sorted) {
      EXPECT_EQ(event->mappingID(), "137");
      EXPECT_EQ(event->target(), 1001);
      EXPECT_EQ(event->qosTier(), kVDTCORTierTelemetry);
      records.push_back(decode(event->serializedDataObjectBytes().value_or(platform::Data{})));
    }
    if (batchID) storage()->removeBatchWithID(*batchID, true, nullptr);
    platform::testing::runUntilIdle();
    return records;
  }

  std::vector<std::string> classes_;
};

TEST_F(VDZCoreDiagnosticsTest, TheRecordCarriesTheBagTheEnvironmentAndInfoPlistFacts) {
  writeInfo({{"MinimumOSVersion", "15.0"}, {"DTXcodeBuild", "14C18"}, {"VuduzaraAppDelegateProxyEnabled", false}});
  // GGLContext answers for two products; the order is the probe table's.
  defineProbe("GGLContext");
  defineProbe("DOREvoredire");
  diagnostics()->sendDiagnostics(fullBag());
  const auto records = sentRecords();
  ASSERT_EQ(records.size(), 1u);
  const WireRecord& r = records[0];

  EXPECT_EQ(numbers(r, 1), std::vector<uint64_t>{2});
  EXPECT_EQ(numbers(r, 7), (std::vector<uint64_t>{18, 5, 9}));
  EXPECT_EQ(text(r, 9), VULAppEnvironmentUtil::deviceModel().value_or("<absent>"));
  EXPECT_EQ(text(r, 10), "1:2:ios:3");
  EXPECT_EQ(text(r, 12), "com.focus.timer");
  EXPECT_EQ(numbers(r, 16), std::vector<uint64_t>{2});
  EXPECT_EQ(text(r, 18), "81500000");
  EXPECT_EQ(text(r, 19), "8.15.0");
  // The first record of the day is the heartbeat: code 1 replaces Storage's 16.
  EXPECT_EQ(numbers(r, 20), std::vector<uint64_t>{1});
  EXPECT_EQ(numbers(r, 21), std::vector<uint64_t>{3});
  EXPECT_EQ(text(r, 22), VULAppEnvironmentUtil::systemVersion());
  EXPECT_EQ(text(r, 24), "15.0");
  EXPECT_EQ(numbers(r, 25), std::vector<uint64_t>{0});
  EXPECT_EQ(numbers(r, 26), std::vector<uint64_t>{VULAppEnvironmentUtil::isFromAppStore() ? 1u : 0u});
  EXPECT_EQ(r.count(27), 0u);
  EXPECT_EQ(text(r, 28), "14C18-");
  EXPECT_EQ(numbers(r, 29), std::vector<uint64_t>{0});
  EXPECT_EQ(numbers(r, 30), std::vector<uint64_t>{4});
  EXPECT_EQ(text(r, 31), "agent/1");
  EXPECT_EQ(numbers(r, 33), std::vector<uint64_t>{0});
  EXPECT_EQ(numbers(r, 36), std::vector<uint64_t>{1});
}

TEST_F(VDZCoreDiagnosticsTest, EmptyAndMissingValuesLeaveTheirFieldsOut) {
  writeInfo({});
  auto data = std::make_shared<VDZDiagnosticsData>();
  data->insertValue(Value(true), kVDZCDIsDataCollectionDefaultEnabledKey);
  data->insertValue(Value(""), kVDZCDVidezuAppIDKey);
  data->insertValue(Value(7), kVDZCDConfigurationTypeKey);
  data->insertValue(Value("NotAProduct"), kVDZCDSdkNameKey);
  data->insertValue(Value(1u), kVDZCDllAppsCountKey);
  auto service = diagnostics();
  service->sendDiagnostics(data);
  // A second apart, so the records sort by the time they were sent.
  platform::testing::advance(1);
  service->sendDiagnostics(data);
  const auto records = sentRecords();
  ASSERT_EQ(records.size(), 2u);
  for (uint32_t tag : {1u, 7u, 10u, 12u, 18u, 19u, 24u, 25u}) EXPECT_EQ(records[0].count(tag), 0u) << tag;
  EXPECT_EQ(text(records[0], 28), "-");
  // Without the Info.plist switch the delegate proxy counts as on.
  EXPECT_EQ(numbers(records[0], 33), std::vector<uint64_t>{1});
  // An unknown product name gives no code; only the heartbeat writes field 20.
  EXPECT_EQ(numbers(records[0], 20), std::vector<uint64_t>{1});
  EXPECT_EQ(records[1].count(20), 0u);
}

TEST_F(VDZCoreDiagnosticsTest, AtMostOneHeartbeatPerCalendarDay) {
  auto service = diagnostics();
  auto sendAndReadHeartbeat = [&] {
    service->sendDiagnostics(fullBag());
    const auto records = sentRecords();
    EXPECT_EQ(records.size(), 1u);
    return records.empty() ? std::vector<uint64_t>{} : numbers(records[0], 20);
  };
  const std::vector<uint64_t> heartbeat{1}, storage{16};
  EXPECT_EQ(sendAndReadHeartbeat(), heartbeat);
  platform::testing::advance(60);
  EXPECT_EQ(sendAndReadHeartbeat(), storage);
  // The stored date survives a new instance (the next launch).
  service = diagnostics();
  EXPECT_EQ(sendAndReadHeartbeat(), storage);
  platform::testing::advance(24 * 3600);
  EXPECT_EQ(sendAndReadHeartbeat(), heartbeat);
}

TEST_F(VDZCoreDiagnosticsTest, SameDayOrEarlierMeansNoHeartbeat) {
  const auto now = platform::Date::now();
  const auto startOfDay = platform::Calendar::startOfDay(now);
  struct Case {
    platform::Date first, second;
    bool expected;
  };
  const Case cases[] = {
      {now, now, true},
      {startOfDay, startOfDay.addingTimeInterval(86399), true},
      {now.addingTimeInterval(-3 * 86400), now, true},  // a clock set back
      {startOfDay.addingTimeInterval(86400), startOfDay.addingTimeInterval(86399), false},
      {now.addingTimeInterval(2 * 86400), now, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VDZCoreDiagnostics::isDateInSameDayOrBeforeThan(c.first, c.second), c.expected)
        << c.first.timeIntervalSince1970() << " " << c.second.timeIntervalSince1970();
  }
}

TEST_F(VDZCoreDiagnosticsTest, ABagWithDataCollectionOffSendsNothing) {
  auto data = fullBag();
  data->insertValue(Value(false), kVDZCDIsDataCollectionDefaultEnabledKey);
  diagnostics()->sendDiagnostics(data);
  EXPECT_TRUE(sentRecords().empty());
}

TEST_F(VDZCoreDiagnosticsTest, TheLogOwnsItsRecordAndEncodesIt) {
  VDZDiagnosticsRecord record{};
  record.app_id = VDZDiagnosticsEncodeString("first");
  VDZCoreDiagnosticsLog log(record);
  VDZDiagnosticsRecord replacement{};
  replacement.bundle_id = VDZDiagnosticsEncodeString("second");
  replacement.has_app_count = true;
  replacement.app_count = -1;
  log.setConfig(replacement);  // the first record's bytes are released (the sanitizer checks)
  const auto r = decode(log.transportBytes().value());
  EXPECT_EQ(r.count(10), 0u);
  EXPECT_EQ(text(r, 12), "second");
  EXPECT_EQ(numbers(r, 21), std::vector<uint64_t>{UINT64_MAX});  // int32 -1 as ten varint bytes
  EXPECT_EQ(VDZDiagnosticsEncodeString(std::string(70000, 'x')), nullptr);
}

// Known-good bytes of a record with every field set, so a change of the schema or its encoder
// cannot change the wire unnoticed.
TEST_F(VDZCoreDiagnosticsTest, EncodedBytesMatchAKnownGoodSample) {
  VDZDiagnosticsRecord record{};
  record.has_configuration_type = true;
  record.configuration_type = 1;
  record.sdk_service_installed_count = 3;
  record.sdk_service_installed[0] = 18;
  record.sdk_service_installed[1] = 2;
  record.sdk_service_installed[2] = 31;
  record.device_model = VDZDiagnosticsEncodeString("x86_64");
  record.app_id = VDZDiagnosticsEncodeString("1:2:ios:3");
  record.bundle_id = VDZDiagnosticsEncodeString("com.focus.timer");
  record.has_client_type = true;
  record.client_type = 2;
  record.library_version_id = VDZDiagnosticsEncodeString("");
  record.sdk_version = VDZDiagnosticsEncodeString("8.15.0");
  record.has_sdk_name = true;
  record.sdk_name = 1;
  record.has_app_count = true;
  record.app_count = -1;
  record.os_version = VDZDiagnosticsEncodeString("17.2");
  record.min_supported_os_version = VDZDiagnosticsEncodeString("15.0");
  record.has_using_options_from_default_plist = true;
  record.using_options_from_default_plist = true;
  record.has_deployed_in_app_store = true;
  record.deployed_in_app_store = false;
  record.has_reserved_count = true;
  record.reserved_count = 300;
  record.build_versions = VDZDiagnosticsEncodeString("-");
  record.has_using_zip_file = true;
  record.using_zip_file = false;
  record.has_deployment_type = true;
  record.deployment_type = 4;
  record.user_agent = VDZDiagnosticsEncodeString("agent/1 focus/2");
  record.has_app_delegate_proxy_enabled = true;
  record.app_delegate_proxy_enabled = true;
  record.has_uses_event_transport = true;
  record.uses_event_transport = true;
  const VDZCoreDiagnosticsLog log(record);
  EXPECT_EQ(platform::DataEncoding::hexEncode(log.transportBytes().value()),
            "08013a0312021f4a067838365f36345209313a323a696f733a33620f636f6d2e666f6375732e74696d65728001029201"
            "009a0106382e31352e30a00101a801ffffffffffffffffff01b2010431372e32c2010431352e30c80101d00100d801ac"
            "02e201012de80100f00104fa010f6167656e742f3120666f6375732f32880201a00201");
}

// The app as it runs: load hooks register the class, configure, then the app becomes active.
TEST_F(VDZCoreDiagnosticsTest, ConfiguringAndActivatingTheAppSendsTheRecord) {
  writeInfo({{"CFBundleIdentifier", "com.focus.timer"}});
  auto options = platform::PropertyList::write(
      Value(Value::Dictionary{{"VIDEZU_APP_ID", "1:408716253291:ios:5f8c2a1e9d3b4c70"},
                              {"BUNDLE_ID", "com.focus.timer"},
                              {"API_KEY", "test-api-key"},
                              {"VCM_SENDER_ID", "408716253291"},
                              {"PROJECT_ID", "focus-timer-test"}}),
      platform::PropertyList::Format::XML);
  ASSERT_TRUE(platform::FileManager::defaultManager().writeAtomically(bundle_ / "VidezuService-Info.plist", *options));
  platform::Bundle::setMainPath(bundle_);
  VDZApp::resetAppsForTesting();
  VDZCoreDiagnosticsConnector::resetForTesting();
  VDZCoreDiagnostics::load();
  classes_.push_back("VDZCoreDiagnostics");

  VDZApp::configure();
  platform::NotificationCenter::defaultCenter().post(std::string(platform::kApplicationDidBecomeActiveNotification));
  platform::testing::runUntilIdle();
  platform::testing::drain(VDZCoreDiagnostics::sharedInstance()->diagnosticsQueue());

  const auto records = sentRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(numbers(records[0], 1), std::vector<uint64_t>{1});
  EXPECT_EQ(text(records[0], 10), "1:408716253291:ios:5f8c2a1e9d3b4c70");
  EXPECT_EQ(text(records[0], 12), "com.focus.timer");
  EXPECT_EQ(numbers(records[0], 20), std::vector<uint64_t>{1});
  EXPECT_EQ(numbers(records[0], 21), std::vector<uint64_t>{1});
  EXPECT_EQ(text(records[0], 31), VDZApp::vuduzaraUserAgent());
}

}  // namespace
}  // namespace transport_tests
