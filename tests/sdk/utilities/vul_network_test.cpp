#include "sdk/utilities/utilities/vul_network.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <thread>

#include "network_fixture.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/console.h"
#include "platform/runloop/clock.h"
#include "sdk/utilities/utilities/vul_gzip.h"

namespace {

using local_service::kNetworkGzipSinkPath;
using network_testing::NetworkTest;
using network_testing::Outcome;
using platform::Data;

Data bytes(std::string_view text) { return Data(text.begin(), text.end()); }

TEST_F(NetworkTest, APostSendsTheGzippedPayloadWithItsHeaders) {
  std::string payload;
  for (int i = 0; i < 2000; ++i) payload += "event=" + std::to_string(i) + "&";
  for (bool background : {false, true}) {
    service_.clearRequests();
    auto outcome = post(url(kNetworkGzipSinkPath), bytes(payload), background);
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_FALSE(outcome->error) << outcome->error.description();
    EXPECT_EQ(outcome->status(), 200) << outcome->body();

    auto received = service_.requestsTo(kNetworkGzipSinkPath);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].decodedBody, payload);
    EXPECT_EQ(received[0].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(received[0].header("Content-Encoding"), "gzip");
    EXPECT_EQ(received[0].header("Content-Length"),
              std::to_string(VULGzip::vul_dataByGzippingData(bytes(payload))->size()));
  }
  EXPECT_FALSE(network_->hasUploadInProgress());
  EXPECT_TRUE(logger_->has(kVULNetworkMessageCodeNetwork000));
}

TEST_F(NetworkTest, AnEmptyPayloadIsAnEmptyGzipPost) {
  auto outcome = post(url(kNetworkGzipSinkPath), {});
  EXPECT_EQ(outcome->status(), 200) << outcome->body();
  auto received = service_.requestsTo(kNetworkGzipSinkPath);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].header("Content-Length"), "0");
  EXPECT_EQ(received[0].body, "");
}

TEST_F(NetworkTest, AGetCarriesExactlyTheGivenHeaders) {
  auto outcome = get(url(local_service::kNetworkHeadersPath), VULNetwork::Headers{{"X-Api-Key", "key-1"},
                                                                                 {"Accept", "application/json"}});
  ASSERT_EQ(outcome->calls, 1);
  ASSERT_EQ(outcome->status(), 200);
  const auto echoed = nlohmann::json::parse(outcome->body());
  EXPECT_EQ(echoed.value("X-Api-Key", ""), "key-1");
  EXPECT_EQ(echoed.value("Accept", ""), "application/json");
  EXPECT_FALSE(echoed.contains("Content-Encoding"));
  EXPECT_TRUE(service_.requestsTo(local_service::kNetworkHeadersPath)[0].body.empty());
  EXPECT_TRUE(logger_->has(kVULNetworkMessageCodeNetwork001));
}

TEST_F(NetworkTest, RedirectsAreRefusedOrFollowedByTheirStatus) {
  struct Case {
    int status;
    bool post;
    std::int64_t answered;
    std::string body;
  };
  const std::vector<Case> cases = {
      {300, false, 300, ""},
      {301, false, 301, ""},
      {302, false, 302, ""},
      {307, false, 307, ""},
      {301, true, 301, ""},
      {303, false, 200, "arrived by GET"},
      {303, true, 200, "arrived by GET"},
      {308, false, 200, "arrived by GET"},
      {308, true, 200, "arrived by POST"},
  };
  for (const Case& c : cases) {
    const std::string to = url(std::string(local_service::kNetworkRedirectPrefix) + std::to_string(c.status));
    auto outcome = c.post ? post(to, bytes("payload")) : get(to);
    EXPECT_EQ(outcome->calls, 1) << c.status;
    EXPECT_FALSE(outcome->error) << c.status;
    EXPECT_EQ(outcome->status(), c.answered) << c.status << (c.post ? " POST" : " GET");
    if (!c.body.empty()) {
      EXPECT_EQ(outcome->body(), c.body) << c.status;
    }
  }
}

TEST_F(NetworkTest, HTTPStatusesArriveAsResponses) {
  for (int status : {204, 404, 500, 503}) {
    const std::string path = std::string(local_service::kNetworkStatusPrefix) + std::to_string(status);
    for (bool usePost : {false, true}) {
      auto outcome = usePost ? post(url(path), bytes("x")) : get(url(path));
      EXPECT_EQ(outcome->calls, 1);
      EXPECT_FALSE(outcome->error) << status;
      EXPECT_EQ(outcome->status(), status);
    }
  }
}

TEST_F(NetworkTest, FailuresReachTheHandlerOnceAsErrors) {
  local_service::LocalService closed;
  ASSERT_TRUE(closed.start());
  const std::string refused = closed.baseURL() + "/nothing";
  closed.stop();
  network_->setTimeoutInterval(0.3);
  local_service::Answer cutShort;
  cutShort.body = std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x01", 11);
  cutShort.headers.emplace_back("Content-Encoding", "gzip");
  service_.setAnswer("/cut-short", cutShort);

  struct Case {
    const char* name;
    std::string url;
    std::string domain;
    std::int64_t code;
  };
  const std::vector<Case> cases = {
      {"refused", refused, std::string(platform::kURLErrorDomain), platform::kURLErrorCannotConnectToHost},
      {"timed out", url(std::string(local_service::kNetworkSlowPrefix) + "2"), std::string(platform::kURLErrorDomain),
       platform::kURLErrorTimedOut},
      {"no such host", "http://nowhere.invalid/", std::string(platform::kURLErrorDomain),
       platform::kURLErrorCannotFindHost},
      {"empty URL", "", std::string(kVULNetworkErrorDomain), VULErrorCodeNetworkInvalidURL},
      {"gzip body cut short", url("/cut-short"), std::string(platform::kURLErrorDomain),
       platform::kURLErrorCannotDecodeContentData},
  };
  for (const Case& c : cases) {
    for (bool usePost : {false, true}) {
      auto outcome = std::make_shared<Outcome>();
      auto handler = [outcome](const auto& response, const auto& data, const platform::Error& error) {
        ++outcome->calls;
        outcome->response = response;
        outcome->data = data;
        outcome->error = error;
      };
      auto id = usePost ? network_->postURL(c.url, bytes("x"), nullptr, false, handler)
                        : network_->getURL(c.url, std::nullopt, nullptr, false, handler);
      EXPECT_EQ(id.has_value(), !c.url.empty()) << c.name;
      platform::testing::runUntilIdle();
      EXPECT_EQ(outcome->calls, 1) << c.name;
      EXPECT_FALSE(outcome->response) << c.name;
      EXPECT_EQ(outcome->error.domain(), c.domain) << c.name;
      EXPECT_EQ(outcome->error.code(), c.code) << c.name << ": " << outcome->error.description();
    }
  }
  EXPECT_TRUE(logger_->has(kVULNetworkMessageCodeURLSession017));
  EXPECT_TRUE(logger_->has(kVULNetworkMessageCodeNetwork002));
  EXPECT_FALSE(network_->hasUploadInProgress());
}

TEST_F(NetworkTest, HTTPSNeedsATrustedCertificate) {
  const std::string target = service_.tlsBaseURL() + std::string(local_service::kNetworkTargetPath);
  auto untrusted = get(target);
  EXPECT_EQ(untrusted->calls, 1);
  EXPECT_FALSE(untrusted->response);
  EXPECT_EQ(untrusted->error.code(), platform::kURLErrorCancelled);
  EXPECT_TRUE(logger_->has(kVULNetworkMessageCodeURLSession006));
  EXPECT_TRUE(logger_->has(kVULNetworkMessageCodeURLSession007));

  platform::SecTrust::setAdditionalAnchorCertificates({service_.certificatePEM()});
  auto trusted = get(target);
  EXPECT_FALSE(trusted->error) << trusted->error.description();
  EXPECT_EQ(trusted->body(), "arrived by GET");
  auto posted = post(service_.tlsBaseURL() + std::string(kNetworkGzipSinkPath), bytes("over TLS"));
  EXPECT_EQ(posted->status(), 200) << posted->body();
}

TEST_F(NetworkTest, ARequestIsInProgressUntilItsHandlerRuns) {
  std::optional<bool> duringHandler;
  auto id = network_->getURL(url(std::string(local_service::kNetworkSlowPrefix) + "0"), std::nullopt, nullptr, false,
                             [&](const auto&, const auto&, const auto&) {
                               duringHandler = network_->hasUploadInProgress();
                             });
  ASSERT_TRUE(id);
  EXPECT_TRUE(id->starts_with("com.vul.network.background-upload-"));
  EXPECT_TRUE(network_->hasUploadInProgress());
  platform::testing::runUntilIdle();
  EXPECT_EQ(duringHandler, false);
}

TEST_F(NetworkTest, TimeoutZeroMeansSixtySeconds) {
  network_->setTimeoutInterval(0);
  EXPECT_EQ(network_->timeoutInterval(), 0);
  // The slow answer comes after a second, well inside sixty.
  auto outcome = get(url(std::string(local_service::kNetworkSlowPrefix) + "1"));
  EXPECT_EQ(outcome->status(), 200);
}

TEST_F(NetworkTest, ReachabilityDecidesConnectedAndTellsTheDelegate) {
  struct Counter : VULNetworkReachabilityDelegate {
    void reachabilityDidChange() override { ++changes; }
    int changes = 0;
  };
  auto counter = std::make_shared<Counter>();
  network_->setReachabilityDelegate(counter);
  platform::testing::runUntilIdle();
  EXPECT_TRUE(network_->isNetworkConnected());
  EXPECT_EQ(counter->changes, 1);
  platform::NetworkState::setFlagsForTesting(0);
  platform::testing::runUntilIdle();
  EXPECT_FALSE(network_->isNetworkConnected());
  platform::NetworkState::setFlagsForTesting(platform::NetworkReachabilityFlag::kReachable |
                                             platform::NetworkReachabilityFlag::kIsWWAN);
  platform::testing::runUntilIdle();
  EXPECT_TRUE(network_->isNetworkConnected());
  EXPECT_EQ(counter->changes, 3);
}

TEST(VULNetworkLoggingTest, WithoutADelegateLinesGoToTheConsoleAndTheLogger) {
  VULLoggerResetForTesting();
  VULLoggerSetLevel(VULLoggerLevelInfo);
  auto network = VULNetwork::initWithReachabilityHost("example.invalid");
  ASSERT_TRUE(network);
  platform::testing::LogCapture capture;
  const auto logs = [&] {
    platform::testing::drain(VULLoggerQueue());
    return capture.logs();
  };

  network->VULNetwork_logWithLevel(VULLoggerLevelDebug, kVULNetworkMessageCodeNetwork000, "hidden");
  network->VULNetwork_logWithLevelContext(VULLoggerLevelInfo, kVULNetworkMessageCodeNetwork001, "info",
                                          platform::Value());
  network->VULNetwork_logWithLevelContexts(VULLoggerLevelWarning, kVULNetworkMessageCodeNetwork002, "",
                                           {platform::Value(std::int64_t{4}), platform::Value()});
  // Console lines are written at once, logger lines on the logger's queue: only the set is fixed.
  auto written = logs();
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (std::vector<std::string>{
                         " - [VULNetwork][I-NET900001] <Videzu/Utilities/Network/INFO> info",
                         " - [VULNetwork][I-NET900002] <Videzu/Utilities/Network/WARNING> (Message was empty): 4, (nil)",
                         "<Videzu/Utilities/Network/INFO> info",
                         "<Videzu/Utilities/Network/WARNING> (Message was empty): 4, (nil)",
                     }));
  capture.clear();
  network->setIsDebugModeEnabled(true);
  network->VULNetwork_logWithLevelContext(VULLoggerLevelDebug, kVULNetworkMessageCodeNetwork000,
                                          "Uploading data. Host", platform::Value("http://127.0.0.1/a"));
  EXPECT_EQ(logs(), std::vector<std::string>{"<Videzu/Utilities/Network/DEBUG> Uploading data. Host: http://127.0.0.1/a"})
      << "printed; the logger at info level drops the debug line";

  // A null delegate is refused; the one set before stays.
  auto logger = std::make_shared<network_testing::RecordingLogger>();
  network->setLoggerDelegate(logger);
  capture.clear();
  network->setLoggerDelegate(nullptr);
  EXPECT_EQ(network->loggerDelegate(), logger);
  EXPECT_EQ(logs(), std::vector<std::string>{" - [VULNetwork][I-NET900002] Cannot set the network logger delegate: "
                                             "delegate does not conform to the network logger protocol."});
  network->VULNetwork_logWithLevel(VULLoggerLevelDebug, kVULNetworkMessageCodeNetwork000, "to the delegate");
  ASSERT_EQ(logger->lines.size(), 1u);
  EXPECT_EQ(logger->lines[0].message, "to the delegate");
  VULLoggerResetForTesting();
}

// Many threads start requests at once on one client, with handlers on a concurrent queue, while
// the main thread serves the sessions' callbacks.
TEST(VULNetworkStressTest, ConcurrentRequestsEachCompleteOnce) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  platform::NetworkState::setFlagsForTesting(platform::NetworkReachabilityFlag::kReachable);
  local_service::LocalService service;
  local_service::addNetworkRoutes(service);
  ASSERT_TRUE(service.start());
  auto network = VULNetwork::initWithReachabilityHost(service.baseURL());
  ASSERT_TRUE(network);
  std::atomic<int> completions{0};
  std::atomic<int> failures{0};
  constexpr int kThreads = 6;
  constexpr int kRequests = 8;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequests; ++i) {
        auto handler = [&](const auto& response, const auto&, const platform::Error& error) {
          if (error || !response || response->statusCode() != 200) ++failures;
          ++completions;
        };
        const auto queue = platform::DispatchQueue::global();
        if ((t + i) % 2) {
          network->postURL(service.baseURL() + std::string(kNetworkGzipSinkPath), bytes("stress"), queue, i % 3 == 0,
                           handler);
        } else {
          network->getURL(service.baseURL() + std::string(local_service::kNetworkTargetPath), std::nullopt, queue,
                          i % 3 == 0, handler);
        }
        (void)network->hasUploadInProgress();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  platform::testing::runUntilIdle();
  EXPECT_EQ(completions.load(), kThreads * kRequests);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(network->hasUploadInProgress());
  platform::NetworkState::restore();
  platform::testing::useManualClock();
}

}  // namespace
