// The HTTP client's tests: the local service with its network routes on HTTP and HTTPS, a client
// watching it, and a logger delegate that records every line.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/reachability.h"
#include "platform/net/server_trust.h"
#include "platform/testing/testing.h"
#include "sdk/utilities/utilities/vul_network.h"
#include "tools/local-service/local_service.h"
#include "tools/local-service/network_routes.h"

namespace network_testing {

struct LoggedLine {
  VULLoggerLevel level;
  VULNetworkMessageCode code;
  std::string message;
  std::vector<platform::Value> contexts;
};

class RecordingLogger : public VULNetworkLoggerDelegate {
 public:
  void VULNetwork_logWithLevelContexts(VULLoggerLevel level, VULNetworkMessageCode code, std::string_view message,
                                       const std::vector<platform::Value>& contexts) override {
    lines.push_back({level, code, std::string(message), contexts});
  }
  void VULNetwork_logWithLevelContext(VULLoggerLevel level, VULNetworkMessageCode code, std::string_view message,
                                      const platform::Value& context) override {
    lines.push_back({level, code, std::string(message), {context}});
  }
  void VULNetwork_logWithLevel(VULLoggerLevel level, VULNetworkMessageCode code, std::string_view message) override {
    lines.push_back({level, code, std::string(message), {}});
  }
  bool has(VULNetworkMessageCode code) const {
    for (const auto& line : lines) {
      if (line.code == code) return true;
    }
    return false;
  }
  // Written from the main queue and the global queue of trust evaluation, read once idle.
  std::vector<LoggedLine> lines;
};

struct Outcome {
  int calls = 0;
  std::shared_ptr<platform::HTTPURLResponse> response;
  std::optional<platform::Data> data;
  platform::Error error;

  std::int64_t status() const { return response ? response->statusCode() : 0; }
  std::string body() const { return data ? std::string(data->begin(), data->end()) : std::string(); }
};

class NetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::NetworkState::setFlagsForTesting(platform::NetworkReachabilityFlag::kReachable);
    local_service::addNetworkRoutes(service_);
    ASSERT_TRUE(service_.start());
    ASSERT_TRUE(service_.startTLS());
    network_ = VULNetwork::initWithReachabilityHost(service_.baseURL());
    ASSERT_TRUE(network_);
    network_->setLoggerDelegate(logger_);
  }
  void TearDown() override {
    platform::testing::runUntilIdle();
    platform::SecTrust::setAdditionalAnchorCertificates({});
    platform::NetworkState::restore();
  }

  std::string url(std::string_view path) const { return service_.baseURL() + std::string(path); }

  VULNetwork::CompletionHandler record(const std::shared_ptr<Outcome>& outcome) {
    return [outcome](const auto& response, const auto& data, const platform::Error& error) {
      ++outcome->calls;
      outcome->response = response;
      outcome->data = data;
      outcome->error = error;
    };
  }

  std::shared_ptr<Outcome> post(const std::string& to, const platform::Data& payload, bool background = false) {
    auto outcome = std::make_shared<Outcome>();
    network_->postURL(to, payload, nullptr, background, record(outcome));
    platform::testing::runUntilIdle();
    return outcome;
  }

  std::shared_ptr<Outcome> get(const std::string& from, std::optional<VULNetwork::Headers> headers = std::nullopt,
                               bool background = false) {
    auto outcome = std::make_shared<Outcome>();
    network_->getURL(from, headers, nullptr, background, record(outcome));
    platform::testing::runUntilIdle();
    return outcome;
  }

  local_service::LocalService service_;
  std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
  std::shared_ptr<VULNetwork> network_;
};

}  // namespace network_testing
