// The installation client against the local service: a bundle with valid options, the library
// registered as at load, and the service's base URL in VDZ_SERVICE_URL.
#pragma once

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/notification_center.h"
#include "platform/security/keychain.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/core/installations/vdz_installations.h"
#include "sdk/core/installations/vdz_installations_id_controller.h"
#include "sdk/utilities/utilities/vul_service_endpoints.h"
#include "tests/sdk/core/core_test_fixture.h"
#include "tools/local-service/installations_routes.h"
#include "tools/local-service/local_service.h"

namespace installations_test {

inline constexpr std::string_view kAPIKey = "AvdzInstallationsTestKey-0123456789abcd";
inline constexpr std::string_view kProject = "focus-timer-test";

inline platform::Value::Dictionary validOptions() {
  auto options = core_test::optionsDictionary();
  options["API_KEY"] = platform::Value(kAPIKey);
  options["PROJECT_ID"] = platform::Value(kProject);
  return options;
}

class InstallationsTest : public core_test::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    core_test::BundleContents contents;
    contents.options = platform::Value(validOptions());
    useBundle(contents);
    platform::KeychainTesting::reset();
    VDZInstallations::load();
    backend_ = local_service::addInstallationsRoutes(service_);
    ASSERT_TRUE(service_.start());
    ::setenv(std::string(kVULServiceURLEnvironmentVariable).c_str(), service_.baseURL().c_str(), 1);
    observer_ = platform::NotificationCenter::defaultCenter().addObserver(
        std::string(kVDZInstallationIDDidChangeNotification), nullptr, nullptr,
        [this](const platform::Notification&) { ++changes_; });
  }

  void TearDown() override {
    platform::NotificationCenter::defaultCenter().removeObserver(observer_);
    CoreTest::TearDown();
    ::unsetenv(std::string(kVULServiceURLEnvironmentVariable).c_str());
    service_.stop();
    platform::KeychainTesting::reset();
  }

  static std::shared_ptr<VDZInstallations> configureDefaultApp() {
    VDZApp::configure();
    return VDZInstallations::installations();
  }

  // The outcome of each public call, once the main queue has delivered it.
  struct IDOutcome {
    std::optional<std::string> fid;
    platform::Error error;
  };
  static IDOutcome installationID(VDZInstallations& installations) {
    IDOutcome outcome;
    bool done = false;
    installations.installationIDWithCompletion([&](const std::optional<std::string>& fid, const platform::Error& e) {
      outcome = {fid, e};
      done = true;
    });
    platform::testing::runUntilIdle();
    EXPECT_TRUE(done);
    return outcome;
  }

  struct TokenOutcome {
    std::shared_ptr<VDZInstallationsAuthTokenResult> result;
    platform::Error error;
  };
  static TokenOutcome authToken(VDZInstallations& installations, bool force = false) {
    TokenOutcome outcome;
    bool done = false;
    installations.authTokenForcingRefresh(
        force, [&](const std::shared_ptr<VDZInstallationsAuthTokenResult>& r, const platform::Error& e) {
          outcome = {r, e};
          done = true;
        });
    platform::testing::runUntilIdle();
    EXPECT_TRUE(done);
    return outcome;
  }

  static platform::Error deleteInstallation(VDZInstallations& installations) {
    platform::Error outcome;
    bool done = false;
    installations.deleteWithCompletion([&](const platform::Error& e) {
      outcome = e;
      done = true;
    });
    platform::testing::runUntilIdle();
    EXPECT_TRUE(done);
    return outcome;
  }

  std::size_t requestsTo(std::string_view suffix) const {
    std::size_t n = 0;
    for (const auto& request : service_.requests()) {
      if (request.path.ends_with(suffix)) ++n;
    }
    return n;
  }

  std::string registerPath() const { return "/v1/projects/" + std::string(kProject) + "/installations/"; }
  std::string tokenPath(const std::string& fid) const {
    return registerPath() + fid + "/authTokens:generate";
  }

  local_service::LocalService service_;
  std::shared_ptr<local_service::InstallationsBackend> backend_;
  std::shared_ptr<platform::NotificationObserver> observer_;
  int changes_ = 0;
};

}  // namespace installations_test
