#include "sdk/transport/cct/vdtcct_uploader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/home.h"
#include "platform/testing/child_process.h"
#include "sdk/transport/cct/vdtcct_compression_helper.h"
#include "sdk/transport/cct/vdtcct_upload_operation.h"
#include "sdk/transport/cct/vdtcor_endpoints.h"
#include "sdk/transport/core/vdtcor_clock.h"
#include "sdk/utilities/utilities/vul_service_endpoints.h"
#include "tools/local-service/local_service.h"
#include "tools/local-service/transport_routes.h"
#include "tools/local-service/wire_format.h"
#include "transport_fixture.h"

namespace transport_tests {
namespace {

using local_service::Answer;
using local_service::UploadedLogRequest;

// The transport with its real uploader, pointed at a local service.
class VDTCCTUploaderTest : public TransportTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start());
    local_service::addTransportRoutes(service_);
    ::setenv(std::string(kVULServiceURLEnvironmentVariable).c_str(), service_.baseURL().c_str(), 1);
    VDTCOREndpoints::resetForTesting();
    TransportTest::SetUp();
    VDTCCTUploader::load();
    VDTCORRegistrar::sharedInstance()->registrarQueue()->sync([] {});
  }
  void TearDown() override {
    VDTCCTUploader::resetSharedInstanceForTesting();
    TransportTest::TearDown();
    ::unsetenv(std::string(kVULServiceURLEnvironmentVariable).c_str());
    VDTCOREndpoints::resetForTesting();
  }

  static std::shared_ptr<VDTCCTUploader> uploader() { return VDTCCTUploader::sharedInstance(); }

  static std::shared_ptr<VDTCOREvent> stored(std::string mappingID, VDTCORTarget target, std::string_view payload,
                                             std::int64_t tier = 3) {
    auto event = makeEvent(std::move(mappingID), target, tier, payload);
    event->setClockSnapshot(VDTCORClock::snapshot());
    EXPECT_TRUE(store(event).first);
    return event;
  }

  static void upload(VDTCORTarget target, VDTCORUploadConditions conditions = kVDTCORUploadConditionWifi) {
    uploader()->uploadTarget(target, conditions);
    platform::testing::runUntilIdle();
  }

  // The log requests of the n-th upload to a path.
  std::vector<UploadedLogRequest> uploaded(std::string_view path, std::size_t index = 0) const {
    auto requests = service_.requestsTo(path);
    EXPECT_GT(requests.size(), index);
    if (requests.size() <= index) return {};
    std::string error;
    auto decoded = local_service::decodeBatchedLogRequest(requests[index].decodedBody, error);
    EXPECT_TRUE(decoded) << error;
    return decoded ? *decoded : std::vector<UploadedLogRequest>{};
  }

  static const UploadedLogRequest* logSource(const std::vector<UploadedLogRequest>& requests, std::int64_t source) {
    for (const auto& request : requests) {
      if (request.logSource == source) return &request;
    }
    return nullptr;
  }

  std::size_t storedFileCount(VDTCORTarget target) const { return fileNames(targetDirectory(target)).size(); }

  local_service::LocalService service_;
};

TEST_F(VDTCCTUploaderTest, StoredEventsReachTheServiceAsSentAndLeaveNoFiles) {
  auto first = stored("137", kVDTCORTargetCSH, "first payload");
  auto second = stored("137", kVDTCORTargetCSH, "second payload");
  auto other = stored("42", kVDTCORTargetCSH, std::string(300, 'x'));
  ASSERT_EQ(storedFileCount(kVDTCORTargetCSH), 3u);

  upload(kVDTCORTargetCSH);

  auto requests = service_.requestsTo("/transport/csh");
  ASSERT_EQ(requests.size(), 1u);
  const auto& request = requests[0];
  EXPECT_EQ(request.header("Content-Encoding"), "gzip");
  EXPECT_EQ(request.header("Content-Type"), "application/x-protobuf");
  EXPECT_EQ(request.header("User-Agent"), "datatransport/0.0.1 cshsupport/0.0.1 apple/");
  EXPECT_EQ(request.header("X-Vdzu-Api-Key"), VDTCCTUploader::FLLAndCSHAndINTAPIKey());

  auto batch = uploaded("/transport/csh");
  // A fresh store has no metrics window yet, so no metrics event rides along.
  ASSERT_EQ(batch.size(), 2u);
  const auto* oneThreeSeven = logSource(batch, 137);
  ASSERT_TRUE(oneThreeSeven);
  EXPECT_EQ(oneThreeSeven->clientType, 15);
  std::set<std::string> payloads;
  for (const auto& event : oneThreeSeven->events) {
    payloads.insert(event.payload);
    EXPECT_EQ(event.eventTimeMs, first->clockSnapshot()->timeMillis());
    EXPECT_EQ(event.uptimeMs, first->clockSnapshot()->uptimeMilliseconds());
    EXPECT_FALSE(event.eventCode);
  }
  EXPECT_EQ(payloads, (std::set<std::string>{"first payload", "second payload"}));
  ASSERT_TRUE(logSource(batch, 42));
  EXPECT_EQ(logSource(batch, 42)->events.at(0).payload, std::string(300, 'x'));
  EXPECT_GT(oneThreeSeven->requestTimeMs, 0);

  EXPECT_EQ(storedFileCount(kVDTCORTargetCSH), 0u);
  EXPECT_TRUE(fileNames(VDTCORFlatFileStorage::batchDataStoragePath()).empty());
  (void)second;
  (void)other;
}

TEST_F(VDTCCTUploaderTest, AServerErrorReturnsTheEventsAndTheNextUploadDeliversThem) {
  stored("137", kVDTCORTargetCCT, "kept");
  service_.enqueueAnswer("/transport/cct", Answer::withStatus(500));
  upload(kVDTCORTargetCCT);
  ASSERT_EQ(service_.requestsTo("/transport/cct").size(), 1u);
  EXPECT_FALSE(service_.requestsTo("/transport/cct")[0].header("X-Vdzu-Api-Key"));
  EXPECT_EQ(storedFileCount(kVDTCORTargetCCT), 1u);

  // No body and no Retry-After: the next plain upload waits 15 minutes; a forced one does not.
  upload(kVDTCORTargetCCT);
  EXPECT_EQ(service_.requestsTo("/transport/cct").size(), 1u);
  upload(kVDTCORTargetCCT, kVDTCORUploadConditionWifi | kVDTCORUploadConditionForced);
  ASSERT_EQ(service_.requestsTo("/transport/cct").size(), 2u);
  EXPECT_EQ(uploaded("/transport/cct", 1).at(0).events.at(0).payload, "kept");
  EXPECT_EQ(storedFileCount(kVDTCORTargetCCT), 0u);
}

TEST_F(VDTCCTUploaderTest, ABadRequestDropsTheEventsAndTheNextMetricsCountThem) {
  stored("137", kVDTCORTargetCSH, "refused");
  stored("137", kVDTCORTargetCSH, "refused too");
  service_.enqueueAnswer("/transport/csh", Answer::withStatus(400));
  upload(kVDTCORTargetCSH);
  EXPECT_EQ(storedFileCount(kVDTCORTargetCSH), 0u);

  stored("137", kVDTCORTargetCSH, "later");
  upload(kVDTCORTargetCSH, kVDTCORUploadConditionWifi | kVDTCORUploadConditionForced);
  auto batch = uploaded("/transport/csh", 1);
  const auto* metrics = logSource(batch, 1710);
  ASSERT_TRUE(metrics);
  ASSERT_EQ(metrics->events.size(), 1u);

  // CctClientMetrics: field 2 is one log source's drops, {1: source, 2: {1: count, 3: reason}}.
  std::map<std::string, std::map<std::uint64_t, std::uint64_t>> dropped;
  std::vector<local_service::WireField> fields;
  std::string error;
  ASSERT_TRUE(local_service::readWireFields(metrics->events[0].payload, fields, error)) << error;
  for (const auto& field : fields) {
    if (field.number != 2) continue;
    std::vector<local_service::WireField> source;
    ASSERT_TRUE(local_service::readWireFields(field.bytes, source, error));
    std::string name;
    for (const auto& part : source) {
      if (part.number == 1) name = std::string(part.bytes);
      if (part.number != 2) continue;
      std::vector<local_service::WireField> drop;
      ASSERT_TRUE(local_service::readWireFields(part.bytes, drop, error));
      std::uint64_t count = 0, reason = 0;
      for (const auto& d : drop) (d.number == 1 ? count : reason) = d.value;
      dropped[name][reason] += count;
    }
  }
  EXPECT_EQ(dropped["137"][5], 2u);
}

TEST_F(VDTCCTUploaderTest, TheWaitFromTheBodyDefersTheNextPlainUpload) {
  Answer answer;
  answer.body = local_service::transportResponseBody(60'000);
  service_.setAnswer("/transport/fll", answer);
  stored("137", kVDTCORTargetFLL, "one");
  upload(kVDTCORTargetFLL);
  ASSERT_EQ(service_.requestsTo("/transport/fll").size(), 1u);

  stored("137", kVDTCORTargetFLL, "two");
  platform::testing::advance(59);
  upload(kVDTCORTargetFLL);
  EXPECT_EQ(service_.requestsTo("/transport/fll").size(), 1u);
  platform::testing::advance(2);
  upload(kVDTCORTargetFLL);
  EXPECT_EQ(service_.requestsTo("/transport/fll").size(), 2u);
}

TEST_F(VDTCCTUploaderTest, ARedirectIsRebuiltAsTheFirstTargetsRequest) {
  service_.enqueueAnswer("/transport/csh", Answer::redirect(301, service_.baseURL() + "/transport/cct"));
  stored("137", kVDTCORTargetCSH, "moved");
  upload(kVDTCORTargetCSH);
  auto moved = service_.requestsTo("/transport/cct");
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].method, "POST");
  EXPECT_EQ(moved[0].header("User-Agent"), "datatransport/0.0.1 cctsupport/0.0.1 apple/");
  EXPECT_FALSE(moved[0].header("X-Vdzu-Api-Key"));
  EXPECT_EQ(uploaded("/transport/cct").at(0).events.at(0).payload, "moved");
  EXPECT_EQ(storedFileCount(kVDTCORTargetCSH), 0u);
}

// An answer whose body cannot be read whole is no answer: the batch goes back to storage, no wait
// is recorded, and the next upload delivers it.
TEST_F(VDTCCTUploaderTest, AnAnswerWhoseBodyDoesNotDecodeReturnsTheEvents) {
  const std::string gzipHeader("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  struct Case {
    const char* name;
    std::string encoding;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"gzip cut short", "gzip", gzipHeader + "\x01"},
      {"not gzip at all", "gzip", "plain text"},
      {"an encoding nobody asked for", "br", "\x0b\x02\x80"},
  };
  std::size_t sent = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    stored("137", kVDTCORTargetCSH, c.name);
    Answer answer;
    answer.body = c.body;
    answer.headers.emplace_back("Content-Encoding", c.encoding);
    service_.enqueueAnswer("/transport/csh", answer);
    upload(kVDTCORTargetCSH);
    ASSERT_EQ(service_.requestsTo("/transport/csh").size(), ++sent);
    EXPECT_EQ(storedFileCount(kVDTCORTargetCSH), 1u);
    EXPECT_TRUE(fileNames(VDTCORFlatFileStorage::batchDataStoragePath()).empty());

    upload(kVDTCORTargetCSH);
    ASSERT_EQ(service_.requestsTo("/transport/csh").size(), ++sent);
    EXPECT_EQ(uploaded("/transport/csh", sent - 1).at(0).events.at(0).payload, c.name);
    EXPECT_EQ(storedFileCount(kVDTCORTargetCSH), 0u);
    // The delivery's answer asked for a wait (15 minutes without a readable body).
    platform::testing::advance(16 * 60);
  }
}

TEST_F(VDTCCTUploaderTest, AnUnreachableBackendReturnsTheEvents) {
  service_.stop();
  stored("137", kVDTCORTargetCSH, "offline");
  upload(kVDTCORTargetCSH);
  EXPECT_EQ(storedFileCount(kVDTCORTargetCSH), 1u);
  EXPECT_TRUE(fileNames(VDTCORFlatFileStorage::batchDataStoragePath()).empty());
}

TEST_F(VDTCCTUploaderTest, TheFirstOperationToSendCancelsTheOthers) {
  stored("137", kVDTCORTargetCSH, "a");
  stored("137", kVDTCORTargetFLL, "b");
  uploader()->uploadOperationQueue()->setSuspended(true);
  uploader()->uploadTarget(kVDTCORTargetCSH, kVDTCORUploadConditionWifi);
  uploader()->uploadTarget(kVDTCORTargetFLL, kVDTCORUploadConditionWifi);
  uploader()->uploadOperationQueue()->setSuspended(false);
  platform::testing::runUntilIdle();
  uploader()->uploadOperationQueue()->waitUntilAllOperationsAreFinished();
  platform::testing::runUntilIdle();
  EXPECT_EQ(service_.requestsTo("/transport/csh").size(), 1u);
  EXPECT_TRUE(service_.requestsTo("/transport/fll").empty());
  EXPECT_EQ(storedFileCount(kVDTCORTargetFLL), 1u);
}

TEST_F(VDTCCTUploaderTest, KeysAndEndpointsByTarget) {
  EXPECT_FALSE(uploader()->APIKeyForTarget(1000));
  EXPECT_FALSE(uploader()->APIKeyForTarget(999));
  for (VDTCORTarget target : {1001, 1002, 1003}) {
    EXPECT_EQ(uploader()->APIKeyForTarget(target), VDTCCTUploader::FLLAndCSHAndINTAPIKey());
  }
  EXPECT_EQ(VDTCOREndpoints::uploadURLForTarget(1003), std::string(kVDTCORPlaceholderUploadURL));
  EXPECT_FALSE(VDTCOREndpoints::uploadURLForTarget(999));
  EXPECT_EQ(VDTCOREndpoints::uploadURLForTarget(1002), service_.baseURL() + "/transport/csh");
  ::unsetenv(std::string(kVULServiceURLEnvironmentVariable).c_str());
  VDTCOREndpoints::resetForTesting();
  EXPECT_EQ(VDTCOREndpoints::uploadURLForTarget(1000), std::string(kVDTCORTransportDefaultBaseURL) + "/transport/cct");
}

// An upload still running on a worker when the app returns from main reads its endpoint and key
// while static destruction runs: both outlive it. A fresh copy of this binary looks them up on a
// thread of its own while it exits, which under the sanitizers fails (or crashes) when they do not.
TEST(VDTCCTUploaderExitTest, ChildLooksUpEndpointsAndKeysWhileExiting) {
  if (!platform::testing::isExitTestChild()) GTEST_SKIP() << "runs only as the child of the exit test";
  platform::testing::exitWhileUsingOnAThread([] {
    return VDTCOREndpoints::uploadURLForTarget(kVDTCORTargetCSH) && !VDTCCTUploader::FLLAndCSHAndINTAPIKey().empty();
  });
}

TEST(VDTCCTUploaderExitTest, EndpointsAndKeysStayReadableWhileTheProcessExits) {
  EXPECT_EQ(platform::testing::runExitTestChild("VDTCCTUploaderExitTest.ChildLooksUpEndpointsAndKeysWhileExiting"), "");
}

TEST_F(VDTCCTUploaderTest, ATargetWithoutStorageQueuesNothing) {
  platform::testing::LogCapture log;
  uploader()->uploadTarget(4242, kVDTCORUploadConditionWifi);
  EXPECT_EQ(uploader()->uploadOperationQueue()->operationCount(), 0u);
  EXPECT_TRUE(log.contains("Failed to upload target: 4242 - could not find corresponding storage instance."));
}

// The bodies are what independent readers make of them: gzip -d, then protoc --decode_raw.
TEST_F(VDTCCTUploaderTest, BodiesReadWithGzipAndProtoc) {
  if (std::system("command -v protoc >/dev/null 2>&1 && command -v gzip >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "protoc or gzip is not installed";
  }
  VDTCOREventSet events{makeEvent("137", kVDTCORTargetCSH, 3, std::string(200, 'p')),
                        makeEvent("1710", kVDTCORTargetCSH, 3, "metrics")};
  const platform::Data body = VDTCCTUploadOperation::constructRequestProtoWithEvents(events);
  auto gzipped = VDTCCTCompressionHelper::gzippedData(body);
  ASSERT_TRUE(gzipped);
  ASSERT_LT(gzipped->size(), body.size());
  const auto dir = platform::Home::temporary();
  std::ofstream(dir / "body.gz", std::ios::binary).write(reinterpret_cast<const char*>(gzipped->data()),
                                                         static_cast<std::streamsize>(gzipped->size()));
  const std::string command = "gzip -dc '" + (dir / "body.gz").string() + "' | protoc --decode_raw > '" +
                              (dir / "decoded.txt").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(dir / "decoded.txt");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("2: 137"), std::string::npos) << text;
  EXPECT_NE(text.find("2: 1710"), std::string::npos) << text;
  EXPECT_NE(text.find("1: 15"), std::string::npos) << text;
  EXPECT_NE(text.find("6: \"metrics\""), std::string::npos) << text;
}

}  // namespace
}  // namespace transport_tests
