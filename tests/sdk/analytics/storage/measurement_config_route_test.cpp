#include <gtest/gtest.h>

#include "platform/net/reachability.h"
#include "platform/net/url_session.h"
#include "platform/testing/testing.h"
#include "sdk/utilities/utilities/vul_network.h"
#include "tools/local-service/analytics_routes.h"

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

}  // namespace
