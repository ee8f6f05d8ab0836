// The retrying client and the network operations against the local service, on virtual time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "crash_test_support.h"
#include "platform/net/url_session.h"
#include "platform/testing/testing.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/launch/rlz_utilities.h"
#include "sdk/crash/network/rlz_network_operation.h"
#include "sdk/crash/network/rlz_network_response_handler.h"
#include "sdk/crash/network/rlz_service_endpoints.h"
#include "sdk/crash/network/rlz_tsm_network_client.h"
#include "sdk/crash/network/rlz_url_builder.h"
#include "tools/local-service/crash_routes.h"
#include "tools/local-service/local_service.h"

namespace {

using local_service::Answer;

struct Outcome {
  std::mutex mutex;
  int calls = 0;
  std::optional<std::string> body;  // the data, or the downloaded file's contents
  bool fileExistedInHandler = false;
  std::optional<std::filesystem::path> location;
  std::shared_ptr<platform::HTTPURLResponse> response;
  platform::Error error;
};

class RLZNetworkClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    local_service::addCrashRoutes(service_);
    ASSERT_TRUE(service_.start());
    ::setenv(std::string(kVULServiceURLEnvironmentVariable).c_str(), service_.baseURL().c_str(), 1);
    client_ = RLZTSMNetworkClient::init();
    ASSERT_TRUE(client_);
  }
  void TearDown() override { ::unsetenv(std::string(kVULServiceURLEnvironmentVariable).c_str()); }

  std::string settingsPath() const { return local_service::crashSettingsPath("ios", "1:42:ios:abc"); }

  // A settings request as the settings download makes it.
  platform::URLRequest settingsRequest() const {
    auto builder = RLZURLBuilder::URLWithBase(RLZSettingsBaseURL());
    builder.appendComponent("/spi/v2/platforms/");
    builder.escapeAndAppendComponent("ios");
    builder.appendComponent("/vmp/");
    builder.escapeAndAppendComponent("1:42:ios:abc");
    builder.appendComponent("/settings");
    builder.appendValue(platform::Value("7"), "build_version");
    auto operation = RLZNetworkOperation::initWithVidezuAppID("1:42:ios:abc", RLZDataCollectionToken::validToken());
    auto request = operation->mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(builder.URL());
    request.setValueForHTTPHeaderField("application/json", "Accept");
    return request;
  }

  std::shared_ptr<Outcome> download(unsigned retryLimit) {
    auto outcome = std::make_shared<Outcome>();
    client_->startDownloadTaskWithRequest(
        settingsRequest(), retryLimit,
        [outcome](const std::optional<std::filesystem::path>& location,
                  const std::shared_ptr<platform::HTTPURLResponse>& response, const platform::Error& error) {
          std::lock_guard lock(outcome->mutex);
          ++outcome->calls;
          outcome->location = location;
          if (location) {
            outcome->fileExistedInHandler = std::filesystem::exists(*location);
            outcome->body = crash_test::readFile(*location);
          }
          outcome->response = response;
          outcome->error = error;
        });
    platform::testing::runUntilIdle();
    return outcome;
  }

  std::shared_ptr<Outcome> fetch(platform::URLRequest request, unsigned retryLimit) {
    auto outcome = std::make_shared<Outcome>();
    client_->startDataTaskWithRequest(
        request, retryLimit,
        [outcome](const std::optional<platform::Data>& data, const std::shared_ptr<platform::HTTPURLResponse>& response,
                  const platform::Error& error) {
          std::lock_guard lock(outcome->mutex);
          ++outcome->calls;
          if (data) outcome->body = std::string(data->begin(), data->end());
          outcome->response = response;
          outcome->error = error;
        });
    platform::testing::runUntilIdle();
    return outcome;
  }

  std::size_t attempts() const { return service_.requestsTo(settingsPath()).size(); }

  static Answer answer(int status, std::string contentType, std::string body,
                       local_service::Headers headers = {}) {
    Answer answer = Answer::withStatus(status);
    answer.contentType = std::move(contentType);
    answer.body = std::move(body);
    answer.headers = std::move(headers);
    return answer;
  }

  local_service::LocalService service_;
  std::shared_ptr<RLZTSMNetworkClient> client_;
};

TEST_F(RLZNetworkClientTest, SettingsRequestCarriesTheCommonHeadersInOrder) {
  auto outcome = download(1);
  ASSERT_EQ(attempts(), 1u);
  const auto recorded = service_.requestsTo(settingsPath())[0];
  EXPECT_EQ(recorded.method, "GET");
  EXPECT_EQ(recorded.query, "build_version=7");
  const std::vector<std::pair<std::string, std::string>> expected{
      {"User-Agent", "com.videzu.vuduzara.ralitoze.ios/" + RLZSDKVersion()},
      {"Accept-Charset", "utf-8"},
      {"Accept-Language", RLZHostLocaleIdentifier()},
      {"Content-Language", RLZHostLocaleIdentifier()},
      {"X-Ralitoze-Developer-Token", "5c2e9a01b7d3f4e6a8c0b2d4f6e8a0c2e4b6d8f1"},
      {"X-Ralitoze-API-Client-Id", "com.videzu.vuduzara.ralitoze.ios"},
      {"X-Ralitoze-API-Client-Display-Version", RLZSDKVersion()},
      {"X-Ralitoze-Videzu-App-Id", "1:42:ios:abc"},
      {"Accept", "application/json"},
  };
  // The order is the request's; the service records headers by name.
  const auto request = settingsRequest();
  EXPECT_EQ(request.allHTTPHeaderFields(), expected);
  for (const auto& [name, value] : expected) EXPECT_EQ(recorded.header(name), value) << name;
  // The route's own answer: a JSON document with a charset, which the request accepts.
  std::lock_guard lock(outcome->mutex);
  EXPECT_EQ(outcome->calls, 1);
  EXPECT_FALSE(outcome->error) << outcome->error.description();
  EXPECT_EQ(outcome->body, local_service::crashSettingsDefaultBody());
  EXPECT_TRUE(outcome->fileExistedInHandler);
  ASSERT_TRUE(outcome->location);
  EXPECT_FALSE(std::filesystem::exists(*outcome->location));  // removed once the handler returned
}

TEST_F(RLZNetworkClientTest, FinalAnswersAreNotRetried) {
  struct Case {
    Answer answer;
    std::int64_t code;
  };
  const Case cases[] = {
      {answer(404, "application/json", "{}", {{"X-Request-Id", "r-404"}}), kRLZNetworkErrorClientError},
      {answer(200, "text/html", "<html></html>"), kRLZNetworkErrorFailedResponse},
      {answer(405, "application/json", "{}"), kRLZNetworkErrorFailedResponse},
  };
  for (const auto& c : cases) {
    service_.clearRequests();
    service_.enqueueAnswer(settingsPath(), c.answer);
    auto outcome = download(1);
    platform::testing::advance(3600);
    EXPECT_EQ(attempts(), 1u) << c.answer.status;
    std::lock_guard lock(outcome->mutex);
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_EQ(outcome->error.domain(), "RLZNetworkError");
    EXPECT_EQ(outcome->error.code(), c.code) << c.answer.status;
    EXPECT_EQ(outcome->error.userInfo().at("status_code"), platform::Value(std::int64_t{c.answer.status}));
    EXPECT_TRUE(outcome->response);
  }
  service_.clearRequests();
  service_.enqueueAnswer(settingsPath(), answer(404, "application/json", "{}", {{"X-Request-Id", "r-404"}}));
  auto outcome = download(1);
  std::lock_guard lock(outcome->mutex);
  EXPECT_EQ(outcome->error.userInfo().at("request_id"), platform::Value("r-404"));
  EXPECT_EQ(outcome->error.userInfo().at("type"), platform::Value(std::int64_t{2}));
}

TEST_F(RLZNetworkClientTest, RetryAfterIsHonouredThenTheLimitEnds) {
  for (int i = 0; i < 2; ++i) {
    service_.enqueueAnswer(settingsPath(), answer(503, "application/json", "{}", {{"Retry-After", "10"}}));
  }
  auto outcome = download(1);
  EXPECT_EQ(attempts(), 1u);
  platform::testing::advance(8.9);
  platform::testing::runUntilIdle();
  EXPECT_EQ(attempts(), 1u);
  platform::testing::advance(2.2);
  platform::testing::runUntilIdle();
  EXPECT_EQ(attempts(), 2u);
  platform::testing::advance(3600);
  platform::testing::runUntilIdle();
  EXPECT_EQ(attempts(), 2u);
  std::lock_guard lock(outcome->mutex);
  EXPECT_EQ(outcome->calls, 1);
  EXPECT_EQ(outcome->error.code(), kRLZNetworkErrorRetryLimit);
  EXPECT_EQ(outcome->error.userInfo().at("retryLimit"), platform::Value(1u));
  EXPECT_EQ(outcome->error.userInfo().at(std::string(platform::kURLErrorFailingURLStringErrorKey)),
            platform::Value(settingsRequest().url()));
  EXPECT_FALSE(outcome->response);
  EXPECT_FALSE(outcome->location);
}

TEST_F(RLZNetworkClientTest, RateLimitedWithoutRetryAfterWaitsAboutTwoSecondsThenSucceeds) {
  service_.enqueueAnswer(settingsPath(), answer(429, "application/json", "{}"));
  auto outcome = download(3);
  platform::testing::advance(1.7);
  platform::testing::runUntilIdle();
  EXPECT_EQ(attempts(), 1u);
  platform::testing::advance(0.6);
  platform::testing::runUntilIdle();
  EXPECT_EQ(attempts(), 2u);
  std::lock_guard lock(outcome->mutex);
  EXPECT_EQ(outcome->calls, 1);
  EXPECT_FALSE(outcome->error);
  EXPECT_EQ(outcome->body, local_service::crashSettingsDefaultBody());
}

TEST_F(RLZNetworkClientTest, ServerErrorsBackOffExponentially) {
  for (int i = 0; i < 3; ++i) service_.enqueueAnswer(settingsPath(), answer(500, "text/plain", "down"));
  auto request = settingsRequest();
  auto outcome = fetch(request, 10);
  // Waits of about 2, 2 and 4 seconds, each jittered by up to a tenth; checked only where every
  // jitter agrees.
  const std::pair<double, std::size_t> steps[] = {{1.7, 1}, {0.6, 2}, {1.2, 2}, {1.1, 3}, {2.5, 3}, {2.0, 4}};
  for (const auto& [seconds, expected] : steps) {
    platform::testing::advance(seconds);
    platform::testing::runUntilIdle();
    EXPECT_EQ(attempts(), expected);
  }
  std::lock_guard lock(outcome->mutex);
  EXPECT_EQ(outcome->calls, 1);
  EXPECT_FALSE(outcome->error);
  EXPECT_EQ(outcome->body, local_service::crashSettingsDefaultBody());
}

TEST_F(RLZNetworkClientTest, TransportErrorsAreRetriedUntilTheLimit) {
  // Nothing listens on a stopped service's port: connection refused, a retryable error.
  platform::URLRequest request(service_.baseURL() + "/gone");
  service_.stop();
  auto outcome = fetch(request, 1);
  platform::testing::advance(2.3);
  platform::testing::runUntilIdle();
  std::lock_guard lock(outcome->mutex);
  EXPECT_EQ(outcome->calls, 1);
  EXPECT_EQ(outcome->error.code(), kRLZNetworkErrorRetryLimit);

  // An unsupported scheme is final and arrives unchanged.
  auto unsupported = fetch(platform::URLRequest("ftp://127.0.0.1/x"), 5);
  std::lock_guard unsupportedLock(unsupported->mutex);
  EXPECT_EQ(unsupported->calls, 1);
  EXPECT_EQ(unsupported->error.domain(), platform::kURLErrorDomain);
  EXPECT_EQ(unsupported->error.code(), platform::kURLErrorUnsupportedURL);
}

TEST_F(RLZNetworkClientTest, RetryDueAfterInvalidationEndsWithTaskNotCreated) {
  service_.enqueueAnswer(settingsPath(), answer(503, "application/json", "{}"));
  auto outcome = download(2);
  client_->invalidateAndCancel();
  platform::testing::advance(3);
  platform::testing::runUntilIdle();
  EXPECT_EQ(attempts(), 1u);
  std::lock_guard lock(outcome->mutex);
  EXPECT_EQ(outcome->calls, 1);
  EXPECT_EQ(outcome->error.domain(), "RLZNetworkError");
  EXPECT_EQ(outcome->error.code(), kRLZNetworkErrorTaskNotCreated);
}

TEST_F(RLZNetworkClientTest, DefaultBaseURLIsReservedWhenNoServiceIsConfigured) {
  ::unsetenv(std::string(kVULServiceURLEnvironmentVariable).c_str());
  EXPECT_EQ(RLZSettingsBaseURL(), "https://settings.ralitoze.videzu.invalid");
  EXPECT_TRUE(RLZSettingsBaseURL().ends_with(".invalid"));
}

}  // namespace
