#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "platform/net/reachability.h"
#include "platform/net/url_session.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/messages/apmpb_messages.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/utilities/utilities/vul_network.h"
#include "tools/local-service/analytics_routes.h"
#include "tools/local-service/measurement_config_fixture.h"
#include "tools/local-service/wire_format.h"

namespace {

struct Outcome {
  std::int64_t status = 0;
  std::string body;
  std::string etag;
};

// The configuration endpoint the engine fetches from: stored bytes with a validator, 304 for a
// matching validator, 404 for an unknown app, scripted overload statuses.
TEST(MeasurementConfigRouteTest, AnswersByAppAndValidator) {
  platform::testing::useManualClock();
  platform::NetworkState::setFlagsForTesting(platform::NetworkReachabilityFlag::kReachable);
  local_service::LocalService service;
  auto configs = local_service::addAnalyticsRoutes(service);
  ASSERT_TRUE(service.start());
  configs->set("1:app", std::string("\x08\x07", 2), "\"v7\"");
  auto network = VULNetwork::initWithReachabilityHost(service.baseURL());

  auto get = [&](const std::string& app, std::optional<VULNetwork::Headers> headers = std::nullopt) {
    Outcome outcome;
    network->getURL(service.baseURL() + "/config/app/" + app + "?app_instance_id=x", headers, nullptr, false,
                    [&](const auto& response, const auto& data, const platform::Error&) {
                      if (!response) return;
                      outcome.status = response->statusCode();
                      outcome.etag = response->valueForHTTPHeaderField("ETag").value_or("");
                      if (data) outcome.body.assign(data->begin(), data->end());
                    });
    platform::testing::runUntilIdle();
    return outcome;
  };

  const Outcome fresh = get("1:app");
  EXPECT_EQ(fresh.status, 200);
  EXPECT_EQ(fresh.body, std::string("\x08\x07", 2));
  EXPECT_EQ(fresh.etag, "\"v7\"");
  EXPECT_EQ(get("1:app", VULNetwork::Headers{{"If-None-Match", "\"v7\""}}).status, 304);
  EXPECT_EQ(get("1:app", VULNetwork::Headers{{"If-None-Match", "\"v6\""}}).status, 200);
  EXPECT_EQ(get("2:other").status, 404);
  for (int status : {429, 503}) {
    service.enqueueAnswer("/config/app/*", local_service::Answer::withStatus(status));
    EXPECT_EQ(get("1:app").status, status);
  }
  EXPECT_EQ(service.requestsTo("/config/app/1:app").back().query, "app_instance_id=x");
  platform::NetworkState::restore();
}

// The readable fixture becomes a configuration the SDK's own decoder reads back whole, for
// whichever app asks; a broken fixture is refused with the reason.
TEST(MeasurementConfigRouteTest, ServesTheFixtureToAnyApp) {
  std::ifstream in(local_service::defaultMeasurementConfigFixturePath());
  std::stringstream text;
  text << in.rdbuf();
  local_service::MeasurementConfigs configs;
  std::string error;
  ASSERT_TRUE(configs.setFixture(text.str(), error)) << error;
  std::string encoded;
  std::string etag;
  ASSERT_TRUE(configs.find("1:42:ios:abc", encoded, etag));
  EXPECT_FALSE(etag.empty());
  const platform::Data bytes(encoded.begin(), encoded.end());
  const auto config = APMPBMeasurementConfig::initWithBuffer(bytes);
  ASSERT_TRUE(config);
  const auto& schema = APMPBMeasurementConfig::schema();
  EXPECT_EQ(NANOGetString(config.get(), schema.indexOfTag(2)), "1:42:ios:abc");
  EXPECT_EQ(NANOGetInt64(config.get(), schema.indexOfTag(1)), 7);
  EXPECT_EQ(NANOGetArray<APMPBSetting>(config.get(), schema.indexOfTag(4))->size(), 5u);
  EXPECT_EQ(NANOGetArray<APMPBEventConfig>(config.get(), schema.indexOfTag(5))->size(), 3u);
  const auto audiences = NANOGetArray<APMPBAudience>(config.get(), schema.indexOfTag(6));
  ASSERT_EQ(audiences->size(), 2u);
  EXPECT_EQ(NANOGetArray<APMPBEventFilter>(audiences->at(0).get(), 2)->size(), 1u);
  EXPECT_EQ(NANOGetArray<APMPBPropertyFilter>(audiences->at(1).get(), 1)->size(), 1u);
  const auto programs = NANOGetArray<APMPBProgram>(config.get(), schema.indexOfTag(9));
  ASSERT_EQ(programs->size(), 1u);
  EXPECT_EQ(NANOGetArray<APMPBRuntimeEntity>(programs->at(0).get(), 0)->size(), 2u);

  for (const char* broken : {"[1]", R"({"audiences": [{"id": "one"}]})", R"({"programs": [{"statements": [{}]}]})",
                             R"({"audiences": [{"id": 1, "event_filters": [{"id": 2, "event_name": "e",
                                 "count": {"comparison": "ROUGHLY"}}]}]})"}) {
    SCOPED_TRACE(broken);
    error.clear();
    EXPECT_FALSE(configs.setFixture(broken, error));
    EXPECT_FALSE(error.empty());
  }
}

// The upload path reads the gzip'd batch; scripted statuses are used once each, in order; a
// hanging path answers only when released.
TEST(MeasurementConfigRouteTest, UploadPathScriptedStatusesAndHang) {
  platform::testing::useManualClock();
  platform::NetworkState::setFlagsForTesting(platform::NetworkReachabilityFlag::kReachable);
  local_service::LocalService service;
  local_service::addAnalyticsRoutes(service);
  ASSERT_TRUE(service.start());
  auto network = VULNetwork::initWithReachabilityHost(service.baseURL());
  std::string batch;
  std::string bundle;
  std::string event;
  local_service::writeBytesField(event, 2, "focus_started");
  local_service::writeVarintField(event, 3, 1780000000000);
  local_service::writeBytesField(bundle, 2, event);
  local_service::writeBytesField(bundle, 14, "1:app");
  local_service::writeBytesField(batch, 1, bundle);

  auto post = [&] {
    std::int64_t status = 0;
    network->postURL(service.baseURL() + "/a", platform::Data(batch.begin(), batch.end()), nullptr, false,
                     [&](const auto& response, const auto&, const platform::Error&) {
                       status = response ? response->statusCode() : -1;
                     });
    platform::testing::runUntilIdle();
    return status;
  };
  for (int status : {503, 500}) service.enqueueAnswer("/a", local_service::Answer::withStatus(status));
  EXPECT_EQ(post(), 503);
  EXPECT_EQ(post(), 500);
  EXPECT_EQ(post(), 204);
  const auto requests = service.requestsTo("/a");
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[2].description.find("event focus_started at_ms=1780000000000"), std::string::npos)
      << requests[2].description;

  local_service::Answer hang;
  hang.hang = true;
  service.setAnswer("/a", hang);
  std::thread release([&] {
    service.waitForRequestsTo("/a", 4, 30);
    service.clearAnswers();
    service.releaseHungRequests();
  });
  EXPECT_EQ(post(), 200);
  release.join();
  platform::NetworkState::restore();
}

}  // namespace
