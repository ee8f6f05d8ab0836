// The installation client's whole road against the local service: configure, relaunch, token
// expiry, a forgotten installation, deletion and a reinstall.
#include <filesystem>

#include "platform/foundation/home.h"
#include "platform/foundation/user_defaults.h"
#include "platform/testing/testing.h"
#include "sdk/core/installations/vdz_installations_store.h"
#include "sdk/utilities/promises/vul_keychain_storage.h"
#include "sdk/utilities/utilities/vul_logger.h"
#include "tests/sdk/installations/installations_fixture.h"

namespace installations_test {
namespace {

// A relaunch: the apps and every in-memory cache go, the stores on disk stay.
void relaunch() {
  platform::testing::runUntilIdle();
  VDZApp::resetAppsForTesting();
  platform::UserDefaults::resetCachesForTesting();
  VDZInstallations::load();
}

TEST_F(InstallationsTest, ConfigureRegistersAndARelaunchReusesTheInstallation) {
  auto installations = configureDefaultApp();
  ASSERT_TRUE(installations);
  platform::testing::runUntilIdle();

  // Configure alone registered the installation and fetched its first token.
  ASSERT_EQ(backend_->count(), 1u);
  ASSERT_EQ(service_.requestsTo(registerPath()).size(), 1u);
  const auto registration = service_.requestsTo(registerPath()).front();
  EXPECT_EQ(registration.header("X-Vdzu-Api-Key"), kAPIKey);
  EXPECT_EQ(registration.header("X-Ios-Bundle-Identifier"), core_test::kBundleID);
  EXPECT_EQ(registration.header("Content-Type"), "application/json");
  EXPECT_TRUE(registration.header("X-vuduzara-client").has_value());
  EXPECT_TRUE(registration.header("X-vuduzara-client-log-type").has_value());
  EXPECT_FALSE(registration.header("Authorization").has_value());
  EXPECT_EQ(changes_, 1);

  const auto first = installationID(*installations);
  ASSERT_TRUE(first.fid);
  EXPECT_EQ(first.fid->size(), 22u);
  EXPECT_TRUE(backend_->installation(*first.fid));
  const auto token = authToken(*installations);
  ASSERT_TRUE(token.result) << token.error.description();
  EXPECT_EQ(token.result->authToken(), backend_->installation(*first.fid)->authToken);

  relaunch();
  auto again = configureDefaultApp();
  platform::testing::runUntilIdle();
  EXPECT_EQ(installationID(*again).fid, first.fid);
  EXPECT_EQ(authToken(*again).result->authToken(), token.result->authToken());
  EXPECT_EQ(service_.requests().size(), 1u) << "nothing more was sent";
  EXPECT_EQ(changes_, 1);
}

TEST_F(InstallationsTest, AnExpiringTokenIsRefreshedAndAForcedRefreshAlwaysAsks) {
  auto installations = configureDefaultApp();
  platform::testing::runUntilIdle();
  const auto fid = *installationID(*installations).fid;
  const std::string original = authToken(*installations).result->authToken();

  // A week's token with one hour and one second left is kept.
  platform::testing::advance(7 * 24 * 3600 - 3601);
  EXPECT_EQ(authToken(*installations).result->authToken(), original);
  EXPECT_EQ(service_.requestsTo(tokenPath(fid)).size(), 0u);

  platform::testing::advance(2);
  const auto refreshed = authToken(*installations);
  ASSERT_TRUE(refreshed.result) << refreshed.error.description();
  EXPECT_NE(refreshed.result->authToken(), original);
  ASSERT_EQ(service_.requestsTo(tokenPath(fid)).size(), 1u);
  EXPECT_EQ(service_.requestsTo(tokenPath(fid)).front().header("Authorization"),
            "FIS_v2 " + backend_->installation(fid)->refreshToken);

  EXPECT_NE(authToken(*installations, true).result->authToken(), refreshed.result->authToken());
  EXPECT_EQ(service_.requestsTo(tokenPath(fid)).size(), 2u);
  EXPECT_EQ(installationID(*installations).fid, fid);
}

TEST_F(InstallationsTest, AForgottenInstallationIsRegeneratedWithTwoChangeNotifications) {
  auto installations = configureDefaultApp();
  platform::testing::runUntilIdle();
  const auto fid = *installationID(*installations).fid;
  changes_ = 0;

  service_.enqueueAnswer(tokenPath(fid), local_service::Answer::withStatus(401));
  const auto token = authToken(*installations, true);
  ASSERT_TRUE(token.result) << token.error.description();

  const auto fresh = installationID(*installations).fid;
  ASSERT_TRUE(fresh);
  EXPECT_NE(*fresh, fid);
  EXPECT_EQ(changes_, 2) << "one for the local deletion, one for the new installation";
  EXPECT_EQ(token.result->authToken(), backend_->installation(*fresh)->authToken);
}

TEST_F(InstallationsTest, DeleteRemovesTheInstallationAtTheServiceAndLocally) {
  auto installations = configureDefaultApp();
  platform::testing::runUntilIdle();
  const auto fid = *installationID(*installations).fid;
  changes_ = 0;

  const auto error = deleteInstallation(*installations);
  EXPECT_FALSE(error) << error.description();
  EXPECT_FALSE(backend_->installation(fid));
  EXPECT_EQ(changes_, 1);
  ASSERT_EQ(service_.requestsTo(registerPath() + fid + "/").size(), 1u);
  EXPECT_EQ(service_.requestsTo(registerPath() + fid + "/").front().body, "{}");

  // Nothing is stored any more: the next identifier is a new installation.
  const auto next = installationID(*installations).fid;
  ASSERT_TRUE(next);
  EXPECT_NE(*next, fid);
}

TEST_F(InstallationsTest, AReinstallKeepsTheKeychainButMakesANewInstallation) {
  auto installations = configureDefaultApp();
  platform::testing::runUntilIdle();
  const auto fid = *installationID(*installations).fid;

  platform::testing::runUntilIdle();
  platform::UserDefaults::flushAll();
  VDZApp::resetAppsForTesting();
  std::filesystem::remove_all(platform::Home::library());
  platform::UserDefaults::resetCachesForTesting();
  ASSERT_TRUE(std::filesystem::exists(platform::Home::keychain()));
  VDZInstallations::load();

  auto reinstalled = configureDefaultApp();
  platform::testing::runUntilIdle();
  const auto next = installationID(*reinstalled).fid;
  ASSERT_TRUE(next);
  EXPECT_NE(*next, fid) << "a keychain record without its flag counts as absent";
  EXPECT_EQ(backend_->count(), 2u);
}

// The identifier the service answers with goes into later request paths, so an answer whose "fid"
// is no installation ID is refused like any malformed answer, and the identifier sent stays.
TEST_F(InstallationsTest, AnAnsweredIdentifierThatIsNoInstallationIDIsRefused) {
  backend_->assignNextFID("../../../../x?delete=all");
  auto installations = configureDefaultApp();
  platform::testing::runUntilIdle();
  EXPECT_EQ(changes_, 1) << "only the new installation";

  const auto fid = installationID(*installations).fid;
  ASSERT_TRUE(fid);
  EXPECT_EQ(fid->size(), 22u) << *fid;
  const auto token = authToken(*installations, true);
  ASSERT_TRUE(token.result) << token.error.description();
  EXPECT_EQ(service_.requestsTo(tokenPath(*fid)).size(), 1u);
  for (const auto& request : service_.requests()) {
    EXPECT_TRUE(request.path.starts_with(registerPath())) << request.path;
    EXPECT_EQ(request.path.find(".."), std::string::npos) << request.path;
    EXPECT_TRUE(request.query.empty()) << request.query;
  }
  EXPECT_EQ(changes_, 1);
}

// A registered record of the default app with the given identifier, saved as an earlier run (or
// someone with access to the files) would have left it.
void plantInstallation(const std::string& fid, double tokenSecondsLeft) {
  auto store = std::make_shared<VDZInstallationsStore>(
      VULKeychainStorage::initWithService(std::string(kVDZInstallationsKeychainService)), std::nullopt);
  auto item = std::make_shared<VDZInstallationsItem>(std::string(core_test::kAppID), std::string(kVDZDefaultAppName));
  item->vuduzaraInstallationID = fid;
  item->refreshToken = "planted-refresh-token";
  item->authToken = std::make_shared<VDZInstallationsStoredAuthToken>();
  item->authToken->status = VDZInstallationsAuthTokenStatusTokenReceived;
  item->authToken->token = "planted-auth-token";
  item->authToken->expirationDate = platform::Date::now().addingTimeInterval(tokenSecondsLeft);
  item->registrationStatus = VDZInstallationsRegistrationStatusRegistered;
  bool saved = false;
  store->saveInstallation(item)->then([&](const VBLVoid&) { saved = true; });
  platform::testing::runUntilIdle();
  ASSERT_TRUE(saved);
  platform::UserDefaults::flushAll();
}

// Stored identifiers go into the token and deletion paths. One that is not of the identifier form
// (nor the shorter legacy form a migration keeps) counts as no stored installation: a new one is
// made, and no request goes to a path the stored text shaped.
TEST_F(InstallationsTest, OnlyAStoredIdentifierOfTheIdentifierFormReachesARequestPath) {
  struct Planted {
    std::string fid;
    bool used;
  };
  const Planted cases[] = {
      {"../x", false},
      {"a/b", false},
      {"a?b", false},
      {"", false},
      {std::string(300, 'A'), false},
      {"fPlantedInstallation_1", true},
      {"dLegacy-ID_", true},
  };
  for (const auto& planted : cases) {
    SCOPED_TRACE("planted \"" + planted.fid.substr(0, 30) + "\" of " + std::to_string(planted.fid.size()) + " bytes");
    service_.clearRequests();

    // A token near its end is refreshed at launch, through a path holding the identifier.
    plantInstallation(planted.fid, 60);
    platform::testing::LogCapture log;
    relaunch();
    auto installations = configureDefaultApp();
    platform::testing::runUntilIdle();
    const auto token = authToken(*installations);
    ASSERT_TRUE(token.result) << token.error.description();
    const auto fid = installationID(*installations).fid;
    ASSERT_TRUE(fid);
    EXPECT_TRUE(VDZInstallationsItem::isInstallationIDOrLegacyForm(*fid)) << *fid;
    if (!planted.used) {
      EXPECT_NE(*fid, planted.fid);
      platform::testing::drain(VULLoggerQueue());
      EXPECT_TRUE(log.contains(planted.fid.empty() ? "I-FIS002004" : "I-FIS003001"));
    }

    // A deletion names the identifier in its path too.
    plantInstallation(planted.fid, 7 * 24 * 3600);
    relaunch();
    installations = configureDefaultApp();
    platform::testing::runUntilIdle();
    EXPECT_FALSE(deleteInstallation(*installations)) << "an installation the service does not know is gone already";

    for (const auto& request : service_.requests()) {
      if (!request.path.starts_with(registerPath())) {
        ADD_FAILURE() << request.method << " " << request.path;
        continue;
      }
      EXPECT_TRUE(request.query.empty()) << request.path << "?" << request.query;
      const std::string_view rest = std::string_view(request.path).substr(registerPath().size());
      if (rest.empty()) {
        EXPECT_EQ(request.method, "POST");
        continue;
      }
      const std::size_t slash = rest.find('/');
      if (slash == std::string_view::npos) {
        ADD_FAILURE() << request.method << " " << request.path;
        continue;
      }
      EXPECT_TRUE(VDZInstallationsItem::isInstallationIDOrLegacyForm(rest.substr(0, slash))) << request.path;
      const std::string_view tail = rest.substr(slash);
      EXPECT_TRUE((request.method == "POST" && tail == "/authTokens:generate") ||
                  (request.method == "DELETE" && tail == "/"))
          << request.method << " " << request.path;
    }
    if (planted.used) {
      EXPECT_EQ(service_.requestsTo(tokenPath(planted.fid)).size(), 1u);
      EXPECT_EQ(service_.requestsTo(registerPath() + planted.fid + "/").size(), 1u);
    }
  }
}

}  // namespace
}  // namespace installations_test
