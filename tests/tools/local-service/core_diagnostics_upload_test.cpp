// The transport backend reads the app core's diagnostics records out of an upload as the SDK's
// own encoders write them, and marks a payload that is not one without refusing the upload.
#include <httplib.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "sdk/core/diagnostics/vdz_core_diagnostics.h"
#include "sdk/core/diagnostics/vdz_core_diagnostics_log.h"
#include "sdk/transport/cct/vdtcct_upload_operation.h"
#include "sdk/transport/core/vdtcor_clock.h"
#include "sdk/transport/core/vdtcor_event.h"
#include "tools/local-service/local_service.h"
#include "tools/local-service/transport_routes.h"

namespace {

using local_service::RecordedRequest;
using local_service::UploadedEvent;

class CoreDiagnosticsUploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start());
    local_service::addTransportRoutes(service_);
  }
  void TearDown() override { service_.stop(); }

  static std::shared_ptr<VDTCOREvent> event(std::string_view mappingID, std::optional<platform::Data> payload) {
    auto event = VDTCOREvent::initWithMappingID(mappingID, kVDZCoreDiagnosticsTarget);
    event->setSerializedDataObjectBytes(std::move(payload));
    event->setClockSnapshot(VDTCORClock::snapshot());
    return event;
  }

  // Posts the SDK's batched request of the events; what the service recorded of it.
  RecordedRequest upload(const VDTCOREventSet& events) {
    const platform::Data body = VDTCCTUploadOperation::constructRequestProtoWithEvents(events);
    httplib::Client client("127.0.0.1", service_.port());
    client.set_connection_timeout(10);
    client.set_read_timeout(10);
    auto answer = client.Post("/transport/cct", std::string(body.begin(), body.end()), "application/x-protobuf");
    EXPECT_TRUE(answer && answer->status == 200);
    auto requests = service_.requestsTo("/transport/cct");
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? RecordedRequest{} : requests.back();
  }

  // The events of one log source in the recorded upload.
  static std::vector<UploadedEvent> eventsOf(const RecordedRequest& request, std::int64_t logSource) {
    std::string error;
    auto decoded = local_service::decodeBatchedLogRequest(request.decodedBody, error);
    EXPECT_TRUE(decoded) << error;
    for (const auto& logRequest : decoded ? *decoded : std::vector<local_service::UploadedLogRequest>{}) {
      if (logRequest.logSource == logSource) return logRequest.events;
    }
    return {};
  }

  local_service::LocalService service_;
};

platform::Data bytesOf(std::string_view text) { return platform::Data(text.begin(), text.end()); }

TEST_F(CoreDiagnosticsUploadTest, TheRecordTheSDKEncodesIsReadBackFieldByField) {
  VDZDiagnosticsRecord record{};
  record.sdk_service_installed_count = 2;
  record.sdk_service_installed[0] = 18;
  record.sdk_service_installed[1] = 31;
  record.device_model = VDZDiagnosticsEncodeString("x86_64");
  record.app_id = VDZDiagnosticsEncodeString("1:2:ios:3");
  record.library_version_id = VDZDiagnosticsEncodeString("");
  record.has_sdk_name = true;
  record.sdk_name = 1;
  record.has_app_count = true;
  record.app_count = -1;
  record.has_deployed_in_app_store = true;
  record.deployed_in_app_store = false;
  record.has_uses_event_transport = true;
  record.uses_event_transport = true;
  const platform::Data encoded = VDZCoreDiagnosticsLog(record).transportBytes().value();

  // The same bytes under another log source are no diagnostics record.
  const RecordedRequest request = upload({event(kVDZCoreDiagnosticsMappingID, encoded), event("1710", encoded)});
  EXPECT_EQ(request.decodeError, "");
  const auto diagnostics = eventsOf(request, local_service::kDiagnosticsLogSource);
  ASSERT_EQ(diagnostics.size(), 1u);
  ASSERT_TRUE(diagnostics[0].diagnosticsRecord) << diagnostics[0].payloadError;
  const local_service::DiagnosticsRecord& read = *diagnostics[0].diagnosticsRecord;
  EXPECT_EQ(read.installedServices, (std::vector<std::int32_t>{18, 31}));
  EXPECT_EQ(read.deviceModel, "x86_64");
  EXPECT_EQ(read.appID, "1:2:ios:3");
  EXPECT_EQ(read.libraryVersionID, "");  // present though empty
  EXPECT_EQ(read.bundleID, std::nullopt);
  EXPECT_EQ(read.sdkName, 1);
  EXPECT_EQ(read.appCount, -1);
  EXPECT_EQ(read.deployedInAppStore, false);
  EXPECT_EQ(read.usesEventTransport, true);
  EXPECT_EQ(read.configurationType, std::nullopt);
  EXPECT_EQ(read.usingZipFile, std::nullopt);

  const auto other = eventsOf(request, 1710);
  ASSERT_EQ(other.size(), 1u);
  EXPECT_FALSE(other[0].diagnosticsRecord);
  EXPECT_EQ(other[0].payloadError, "");

  EXPECT_NE(request.description.find("diagnostics record\n    installed services 18 31, device model \"x86_64\", "
                                     "app ID \"1:2:ios:3\", library version \"\", SDK name 1, app count -1, "
                                     "from app store no, event transport yes\n"),
            std::string::npos)
      << request.description;
}

TEST_F(CoreDiagnosticsUploadTest, ABrokenPayloadIsRecordedAndMarkedWhileTheUploadIsAccepted) {
  const std::string tooManyServices = "\x3a\x11" + std::string(17, '\x12');
  const std::string longText = "\x4a\xf0\xa2\x04" + std::string(70000, 'm');  // beyond a 16-bit length
  struct Case {
    const char* name;
    std::string payload;
  };
  const Case cases[] = {
      {"text cut short", std::string("\x4a\x05" "ab", 4)},
      {"number where text belongs", std::string("\x48\x01", 2)},
      {"unknown wire type", std::string("\x0f", 1)},
      {"varint that never ends", std::string(11, '\xff')},
      {"more services than probed", tooManyServices},
      {"text too long to hold", longText},
  };
  VDTCOREventSet events;
  for (const Case& c : cases) events.insert(event(kVDZCoreDiagnosticsMappingID, bytesOf(c.payload)));

  const RecordedRequest request = upload(events);
  EXPECT_EQ(request.decodeError, "");
  const auto uploaded = eventsOf(request, local_service::kDiagnosticsLogSource);
  ASSERT_EQ(uploaded.size(), std::size(cases));
  for (const Case& c : cases) {
    const UploadedEvent* found = nullptr;
    for (const auto& event : uploaded) found = event.payload == c.payload ? &event : found;
    ASSERT_TRUE(found) << c.name;
    EXPECT_FALSE(found->diagnosticsRecord) << c.name;
    EXPECT_EQ(found->payloadError.rfind("not a diagnostics record: ", 0), 0u) << c.name << ": " << found->payloadError;
  }
  const std::string_view mark = "undecodable payload (not a diagnostics record: ";
  std::size_t marked = 0;
  for (auto at = request.description.find(mark); at != std::string::npos; at = request.description.find(mark, at + 1)) {
    ++marked;
  }
  EXPECT_EQ(marked, std::size(cases)) << request.description;
}

}  // namespace
