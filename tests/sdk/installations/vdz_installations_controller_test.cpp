// The controller's rules against the local service: backoff after failed requests, the 500
// retry, legacy identifier migration, one operation of each kind, and a stress run on real
// threads.
#include <atomic>
#include <thread>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/keyed_archive.h"
#include "platform/foundation/property_list.h"
#include "platform/runloop/clock.h"
#include "sdk/core/core/vdz_options.h"
#include "sdk/core/installations/vdz_installations_api_service.h"
#include "sdk/core/installations/vdz_installations_errors.h"
#include "sdk/core/installations/vdz_installations_iid_store.h"
#include "tests/sdk/installations/installations_fixture.h"

namespace installations_test {
namespace {

using local_service::Answer;

TEST_F(InstallationsTest, FailedRegistrationsHoldBackTheNextRequest) {
  struct Case {
    int status;
    double refusedAfter;  // seconds after the failure at which the next request is still refused
    double allowedAfter;
    bool configHint;
  };
  const Case cases[] = {
      {400, 86399, 1, true},
      {403, 86399, 1, true},
      {429, 1.9, 1.1, false},
      {503, 1.9, 1.1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    clearLog();
    service_.clearRequests();
    service_.enqueueAnswer(registerPath(), Answer::withStatus(c.status));
    // An app of its own each time, so that every case starts with nothing stored.
    const std::string name = "case-" + std::to_string(c.status);
    VDZApp::configureWithName(name, VDZOptions::defaultOptions()->copy());
    auto installations = VDZInstallations::installationsWithApp(VDZApp::appNamed(name));
    ASSERT_TRUE(installationID(*installations).fid);
    ASSERT_EQ(service_.requestsTo(registerPath()).size(), 1u);
    EXPECT_EQ(logged("I-FIS002003"), c.configHint);

    platform::testing::advance(c.refusedAfter);
    const auto refused = authToken(*installations);
    EXPECT_FALSE(refused.result);
    EXPECT_EQ(refused.error.code(), VDZInstallationsErrorCodeServerUnreachable);
    EXPECT_EQ(refused.error.localizedFailureReason(), "Too many server requests.");
    EXPECT_EQ(service_.requestsTo(registerPath()).size(), 1u) << "nothing sent while backing off";

    platform::testing::advance(c.allowedAfter);
    const auto allowed = authToken(*installations);
    ASSERT_TRUE(allowed.result) << allowed.error.description();
    EXPECT_EQ(service_.requestsTo(registerPath()).size(), 2u);
  }
}

// A service that issues tokens about to expire and then no longer knows the installation when
// asked for a fresh token would have the controller register, refresh, start over with a new
// identifier and register again without end. One successor per request, then a backoff that
// doubles, and the caller always hears back.
TEST_F(InstallationsTest, ARefreshRefusedRightAfterRegistrationDoesNotStartOverAgain) {
  backend_->setTokenLifetime(1);
  // Enough refusals for a controller that starts over without end to show it, and still stop.
  backend_->refuseTokenRequests(404, 40);
  auto installations = configureDefaultApp();
  platform::testing::runUntilIdle();
  // The background token fetch of configure: register, refused, a successor registered, refused.
  EXPECT_EQ(service_.requestsTo(registerPath()).size(), 2u);
  EXPECT_EQ(requestsTo(":generate"), 2u);
  EXPECT_EQ(changes_, 3) << "new, deleted, its successor";

  struct Step {
    double advance;
    bool sent;  // a refresh, a successor and its refresh; otherwise the backoff refuses
  };
  const Step steps[] = {{0, false}, {1.9, false}, {1.2, true}, {3.1, false}, {2, true}, {7, false}, {2, true}};
  std::size_t registrations = 2;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.advance);
    platform::testing::advance(step.advance);
    const auto token = authToken(*installations);
    EXPECT_FALSE(token.result);
    if (step.sent) {
      ++registrations;
      const auto http = VDZInstallationsHTTPError::fromError(token.error);
      ASSERT_TRUE(http) << token.error.description();
      EXPECT_EQ(http->statusCode(), 404);
    } else {
      EXPECT_EQ(token.error.code(), VDZInstallationsErrorCodeServerUnreachable) << token.error.description();
    }
    EXPECT_EQ(service_.requestsTo(registerPath()).size(), registrations);
  }
  EXPECT_EQ(requestsTo(":generate"), 2 + 2 * (registrations - 2));
}

TEST_F(InstallationsTest, A500IsTriedOnceMoreAfterASecond) {
  service_.enqueueAnswer(registerPath(), Answer::withStatus(500));
  auto installations = configureDefaultApp();
  platform::testing::runUntilIdle();
  EXPECT_EQ(service_.requestsTo(registerPath()).size(), 1u);
  platform::testing::advance(1);
  EXPECT_EQ(service_.requestsTo(registerPath()).size(), 2u);
  EXPECT_EQ(backend_->count(), 1u) << "the retry succeeded";

  // Two 500s in a row fail, and the failure backs off.
  const auto fid = *installationID(*installations).fid;
  service_.enqueueAnswer(tokenPath(fid), Answer::withStatus(500));
  service_.enqueueAnswer(tokenPath(fid), Answer::withStatus(500));
  std::optional<platform::Error> failure;
  installations->authTokenForcingRefresh(true, [&](const auto&, const platform::Error& e) { failure = e; });
  platform::testing::runUntilIdle();
  platform::testing::advance(1);
  ASSERT_TRUE(failure);
  EXPECT_TRUE(VDZInstallationsErrorUtil::isAPIError(*failure, 500));
  EXPECT_EQ(service_.requestsTo(tokenPath(fid)).size(), 2u);
  EXPECT_EQ(authToken(*installations, true).error.code(), VDZInstallationsErrorCodeServerUnreachable);
}

// A token archive as the legacy library wrote it.
class LegacyTokenInfo final : public platform::Codable {
 public:
  std::string className() const override { return std::string(kVDZInstallationsIIDTokenInfoArchivedClassName); }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override { coder.encodeObject(platform::Value("legacy-token"), "token"); }
};

class LegacyMigrationTest : public InstallationsTest {
 protected:
  void leaveLegacyData(bool withKey) {
    const auto plist = VDZInstallationsIIDStore::IIDPlistPath();
    ASSERT_TRUE(platform::FileManager::defaultManager().createDirectory(plist.parent_path()));
    core_test::writePlist(plist, platform::Value(platform::Value::Dictionary{
                                     {std::string(kVDZInstallationsIIDCreationTimePlistKey), platform::Value("1")}}));
    if (withKey) {
      for (auto prefix : {kVDZInstallationsIIDKeyPairPublicTagPrefix, kVDZInstallationsIIDKeyPairPrivateTagPrefix}) {
        ASSERT_EQ(platform::SecItemAdd({{std::string(platform::kSecClass), platform::Value(platform::kSecClassKey)},
                                        {std::string(platform::kSecAttrApplicationTag),
                                         platform::Value(*VDZInstallationsIIDStore::keychainKeyTagWithPrefix(prefix))},
                                        {std::string(platform::kSecAttrKeyType), platform::Value(platform::kSecAttrKeyTypeRSA)},
                                        {std::string(platform::kSecValueData), platform::Value(keyData_)}}),
                  platform::errSecSuccess);
      }
    }
    auto archive = platform::KeyedArchiver::archivedDataWithRootObject(std::make_shared<LegacyTokenInfo>(), true, nullptr);
    ASSERT_TRUE(archive);
    VDZInstallationsIIDTokenStore tokens(std::string("408716253291"));
    auto query = tokens.IIDDefaultTokenQuery();
    query[std::string(platform::kSecValueData)] = platform::Value(*archive);
    ASSERT_EQ(platform::SecItemAdd(query), platform::errSecSuccess);
  }

  platform::Data keyData_{1, 2, 3, 4, 5};
};

TEST_F(LegacyMigrationTest, TheLegacyIdentifierAndTokenCarryIntoTheFirstRegistration) {
  leaveLegacyData(true);
  auto installations = configureDefaultApp();
  platform::testing::runUntilIdle();
  const auto fid = installationID(*installations).fid;
  EXPECT_EQ(fid, VDZInstallationsIIDStore::IIDWithPublicKeyData(keyData_));
  ASSERT_EQ(service_.requestsTo(registerPath()).size(), 1u);
  EXPECT_EQ(service_.requestsTo(registerPath()).front().header(kVDZInstallationsIIDMigrationAuthHeader),
            "legacy-token");

  // Deleting the installation deletes the legacy identifier too.
  EXPECT_FALSE(deleteInstallation(*installations));
  auto tag = *VDZInstallationsIIDStore::keychainKeyTagWithPrefix(kVDZInstallationsIIDKeyPairPublicTagPrefix);
  std::optional<platform::Data> left;
  EXPECT_EQ(platform::SecItemCopyMatching({{std::string(platform::kSecClass), platform::Value(platform::kSecClassKey)},
                                           {std::string(platform::kSecAttrApplicationTag), platform::Value(tag)}},
                                          &left),
            platform::errSecItemNotFound);
  const auto next = installationID(*installations).fid;
  EXPECT_NE(next, fid) << "the marker is gone, so a new identifier is made";
}

TEST_F(LegacyMigrationTest, WithoutKeyDataANewIdentifierIsMade) {
  leaveLegacyData(false);
  auto installations = configureDefaultApp();
  platform::testing::runUntilIdle();
  const auto fid = installationID(*installations).fid;
  ASSERT_TRUE(fid);
  EXPECT_EQ(fid->size(), 22u);
  EXPECT_NE(*fid, VDZInstallationsIIDStore::IIDWithPublicKeyData({}));
  EXPECT_FALSE(service_.requestsTo(registerPath()).front().header(kVDZInstallationsIIDMigrationAuthHeader));
}

TEST_F(InstallationsTest, ConcurrentCallsShareOneOperation) {
  VDZApp::configureWithName("second", VDZOptions::defaultOptions()->copy());
  platform::testing::runUntilIdle();
  auto app = VDZApp::appNamed("second");
  auto installations = VDZInstallations::installationsWithApp(app);
  ASSERT_TRUE(installations);
  changes_ = 0;
  std::vector<std::optional<std::string>> fids;
  for (int i = 0; i < 4; ++i) {
    installations->installationIDWithCompletion([&](const auto& fid, const platform::Error&) { fids.push_back(fid); });
  }
  platform::testing::runUntilIdle();
  ASSERT_EQ(fids.size(), 4u);
  for (const auto& fid : fids) EXPECT_EQ(fid, fids.front());
  EXPECT_EQ(changes_, 1);
  EXPECT_EQ(service_.requestsTo(registerPath()).size(), 1u);
}

// Real threads ask for identifiers and tokens at once while the main thread delivers.
TEST_F(InstallationsTest, StressManyThreadsAskAtOnce) {
  platform::Clock::setCurrent(std::make_shared<platform::RealClock>());
  auto installations = configureDefaultApp();
  std::atomic<int> delivered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        if ((t + i) % 2) {
          installations->installationIDWithCompletion([&](const auto&, const platform::Error&) { ++delivered; });
        } else {
          installations->authTokenWithCompletion([&](const auto&, const platform::Error&) { ++delivered; });
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  platform::testing::runUntilIdle();
  EXPECT_EQ(delivered.load(), 160);
  EXPECT_EQ(backend_->count(), 1u);
  EXPECT_EQ(changes_, 1);
}

}  // namespace
}  // namespace installations_test
