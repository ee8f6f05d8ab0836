// Records, identifiers, answers and the backoff rules, without a service.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/foundation/json.h"
#include "platform/net/url_session.h"
#include "platform/testing/child_process.h"
#include "sdk/core/installations/vdz_installations_api_service.h"
#include "sdk/core/installations/vdz_installations_backoff_controller.h"
#include "sdk/core/installations/vdz_installations_errors.h"
#include "sdk/core/installations/vdz_installations_iid_store.h"
#include "sdk/core/installations/vdz_installations_item.h"

namespace {

using platform::Data;
using platform::Date;
using platform::Error;

Data bytes(std::string_view text) { return Data(text.begin(), text.end()); }

TEST(InstallationsItem, GeneratedFIDsFollowTheRule) {
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) {
    const std::string fid = VDZInstallationsItem::generateFID();
    ASSERT_EQ(fid.size(), 22u);
    EXPECT_NE(std::string("cdef").find(fid[0]), std::string::npos) << fid;
    EXPECT_EQ(fid.find_first_of("+/="), std::string::npos) << fid;
    seen.insert(fid);
  }
  EXPECT_EQ(seen.size(), 500u);
}

TEST(InstallationsItem, ValidationNamesEveryFailingRuleInOrder) {
  struct Case {
    const char* name;
    std::int64_t status;
    std::optional<std::string> refresh;
    bool token;
    std::string expected;  // empty: valid
  };
  const Case cases[] = {
      {"unregistered without tokens", 1, std::nullopt, false, ""},
      {"registered without tokens", 2, std::nullopt, false,
       "registered installation must have non-empty `refreshToken`, registered installation must have non-empty "
       "`authToken.token`, registered installation must have non-empty `authToken.expirationDate`"},
      {"empty refresh token", 2, "", true, "registered installation must have non-empty `refreshToken`"},
      {"unknown status", 0, std::nullopt, false, "invalid `registrationStatus`"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VDZInstallationsItem item("app", "name");
    item.vuduzaraInstallationID = "fid";
    item.registrationStatus = c.status;
    item.refreshToken = c.refresh;
    if (c.token) {
      item.authToken = std::make_shared<VDZInstallationsStoredAuthToken>();
      item.authToken->token = "t";
      item.authToken->expirationDate = Date::fromTimeIntervalSince1970(5);
    }
    Error error;
    EXPECT_EQ(item.isValid(&error), c.expected.empty());
    if (!c.expected.empty()) {
      EXPECT_EQ(error.localizedFailureReason(), "VDZInstallationsItem validation errors: " + c.expected);
    }
  }
  EXPECT_EQ(VDZInstallationsItem::identifierWithAppID("1:2:ios:3", "__VDZAPP_DEFAULT"), "1:2:ios:3__VDZAPP_DEFAULT");
}

TEST(InstallationsItem, ReadsRegistrationAndTokenAnswers) {
  VDZInstallationsItem sent("app", "name");
  sent.vuduzaraInstallationID = "sentFID";
  sent.IIDDefaultToken = "legacy";
  const Date now = Date::fromTimeIntervalSince1970(1000);

  Error error;
  auto kept = sent.registeredInstallationWithJSONData(
      bytes(R"({"refreshToken":"r","authToken":{"token":"t","expiresIn":"604800s"}})"), now, &error);
  ASSERT_TRUE(kept) << error.description();
  EXPECT_EQ(kept->vuduzaraInstallationID, "sentFID");
  EXPECT_EQ(kept->registrationStatus, VDZInstallationsRegistrationStatusRegistered);
  EXPECT_FALSE(kept->IIDDefaultToken);
  EXPECT_EQ(kept->authToken->expirationDate, now.addingTimeInterval(604800));

  auto replaced = sent.registeredInstallationWithJSONData(
      bytes(R"({"fid":"fOther-Installation_22","refreshToken":"r","authToken":{"token":"t","expiresIn":"3600"}})"),
      now, &error);
  ASSERT_TRUE(replaced) << error.description();
  EXPECT_EQ(replaced->vuduzaraInstallationID, "fOther-Installation_22");
  EXPECT_EQ(replaced->authToken->expirationDate, now.addingTimeInterval(3600)) << "no unit letter: whole seconds";

  // The identifier sent comes back as it is, even when it is a shorter legacy one.
  auto echoed = sent.registeredInstallationWithJSONData(
      bytes(R"({"fid":"sentFID","refreshToken":"r","authToken":{"token":"t","expiresIn":"1s"}})"), now, &error);
  ASSERT_TRUE(echoed) << error.description();
  EXPECT_EQ(echoed->vuduzaraInstallationID, "sentFID");

  struct Bad {
    const char* body;
    const char* reason;
  };
  const Bad bad[] = {
      {R"({"refreshToken":"","authToken":{"token":"t","expiresIn":"1s"}})",
       "A required response field with name refreshToken is missing"},
      {R"({"refreshToken":"r"})", "A required response field with name authToken is missing"},
      {R"({"refreshToken":"r","authToken":{"expiresIn":"1s"}})",
       "A required response field with name authToken.token is missing"},
      {R"({"refreshToken":"r","authToken":{"token":"t"}})",
       "A required response field with name authToken.expiresIn is missing"},
      {R"({"refreshToken":"r","authToken":{"token":"t","expiresIn":"soon"}})",
       "A required response field with name authToken.expiresIn is missing"},
      // The identifier goes into later request paths: only the identifier form is taken.
      {R"({"fid":"../../../../x?delete=all&y=z","refreshToken":"r","authToken":{"token":"t","expiresIn":"1s"}})",
       "A response field with name fid is not an installation ID"},
      {R"({"fid":"fAAAAAAAAAAAAAAAAAAA/A","refreshToken":"r","authToken":{"token":"t","expiresIn":"1s"}})",
       "A response field with name fid is not an installation ID"},
      {R"({"fid":"fAAAAAAAAAAAAAAAAAAAA","refreshToken":"r","authToken":{"token":"t","expiresIn":"1s"}})",
       "A response field with name fid is not an installation ID"},
      {R"({"fid":"fAAAAAAAAAAAAAAAAAAAAAA","refreshToken":"r","authToken":{"token":"t","expiresIn":"1s"}})",
       "A response field with name fid is not an installation ID"},
      {R"({"fid":"fAAAAAAAAAAAAAAAAAAA+=","refreshToken":"r","authToken":{"token":"t","expiresIn":"1s"}})",
       "A response field with name fid is not an installation ID"},
      {R"({"fid":"fAAAAAAAAAAAAAAAAAAAé","refreshToken":"r","authToken":{"token":"t","expiresIn":"1s"}})",
       "A response field with name fid is not an installation ID"},
      {"[1]", "Failed to serialize JSON data."},
      {"not json", "Failed to serialize JSON data."},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.body);
    Error e;
    EXPECT_FALSE(sent.registeredInstallationWithJSONData(bytes(b.body), now, &e));
    EXPECT_EQ(e.domain(), kVDZInstallationsErrorDomain);
    EXPECT_EQ(e.localizedFailureReason(), b.reason);
  }
}

// Whatever the identifiers hold, each stays one path segment: the request keeps its shape.
TEST(InstallationsAPIService, IdentifiersInRequestPathsArePercentEncoded) {
  struct Case {
    const char* projectID;
    const char* fid;
    const char* encodedProject;
    const char* encodedFID;
  };
  const Case cases[] = {
      {"focus-timer-test", "fPlantedInstallation_1", "focus-timer-test", "fPlantedInstallation_1"},
      {"p/q", "a/b", "p%2Fq", "a%2Fb"},
      {"p?q", "a?b#c", "p%3Fq", "a%3Fb%23c"},
      {"..", "..", "%2E%2E", "%2E%2E"},
      {"p q", "a%2Fb", "p%20q", "a%252Fb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fid);
    VDZInstallationsAPIService service("key", c.projectID);
    VDZInstallationsItem item("app", "name");
    item.vuduzaraInstallationID = c.fid;
    const std::string installations =
        VDZInstallationsAPIService::baseURL() + "/v1/projects/" + c.encodedProject + "/installations/";
    EXPECT_EQ(service.registerRequestWithInstallation(item).url(), installations);
    EXPECT_EQ(service.authTokenRequestWithInstallation(item).url(),
              installations + c.encodedFID + "/authTokens:generate");
    EXPECT_EQ(service.deleteInstallationRequestWithInstallation(item).url(), installations + c.encodedFID + "/");
  }
}

// Requests are built on a worker, which may still be at it when the app returns from main: the
// escaping of their path segments outlives static destruction. A fresh copy of this binary builds
// requests on a thread of its own while it exits, which under the sanitizers fails (or crashes)
// when it does not.
TEST(InstallationsAPIServiceExitTest, ChildBuildsRequestsWhileExiting) {
  if (!platform::testing::isExitTestChild()) GTEST_SKIP() << "runs only as the child of the exit test";
  auto service = std::make_shared<const VDZInstallationsAPIService>("key", "p/q");
  VDZInstallationsItem item("app", "name");
  item.vuduzaraInstallationID = "a b";
  const std::string expected = VDZInstallationsAPIService::baseURL() + "/v1/projects/p%2Fq/installations/a%20b/";
  platform::testing::exitWhileUsingOnAThread(
      [service, item, expected] { return service->deleteInstallationRequestWithInstallation(item).url() == expected; });
}

TEST(InstallationsAPIServiceExitTest, RequestsCanBeBuiltWhileTheProcessExits) {
  EXPECT_EQ(platform::testing::runExitTestChild("InstallationsAPIServiceExitTest.ChildBuildsRequestsWhileExiting"), "");
}

TEST(InstallationsErrors, HTTPErrorsAndPublicForm) {
  const Error http = VDZInstallationsHTTPError::errorWithResponse("http://h/x", 404, bytes(R"({"e":1})"));
  EXPECT_EQ(http.code(), 0);
  EXPECT_EQ(http.localizedFailureReason(),
            "The server responded with an error: \n - URL: http://h/x \n - HTTP status code: 404 \n - Response body: "
            "{\"e\":1}");
  EXPECT_TRUE(VDZInstallationsErrorUtil::isAPIError(http, 404));
  EXPECT_FALSE(VDZInstallationsErrorUtil::isAPIError(http, 500));
  EXPECT_EQ(VDZInstallationsErrorUtil::publicDomainErrorWithError(http).localizedFailureReason(),
            http.localizedFailureReason());

  const Error foreign("com.videzu.VBLPromises.Error", 2);
  const Error wrapped = VDZInstallationsErrorUtil::publicDomainErrorWithError(foreign);
  EXPECT_EQ(wrapped.domain(), kVDZInstallationsErrorDomain);
  EXPECT_EQ(wrapped.code(), 0);
  ASSERT_TRUE(wrapped.underlyingError());
  EXPECT_EQ(wrapped.underlyingError()->domain(), foreign.domain());
  EXPECT_EQ(wrapped.localizedFailureReason(), "Underlying error: " + foreign.localizedDescription());
}

TEST(InstallationsLegacy, IdentifierFromKeyDataAndTokenArchives) {
  const std::string iid = VDZInstallationsIIDStore::IIDWithPublicKeyData(bytes("public key bytes"));
  EXPECT_EQ(iid.size(), 11u);
  EXPECT_NE(std::string("cdef").find(iid[0]), std::string::npos);
  EXPECT_EQ(iid.find_first_of("+/="), std::string::npos);
  EXPECT_TRUE(VDZInstallationsItem::isLegacyInstallationIDForm(iid)) << "the form a stored record may keep";

  Error error;
  EXPECT_FALSE(VDZInstallationsIIDTokenStore::IIDCheckinWithData(bytes("garbage"), &error));
  EXPECT_EQ(error.domain().empty(), false);
}

// A backoff controller on a date the test moves.
class BackoffTest : public ::testing::Test {
 protected:
  Date now_ = Date::fromTimeIntervalSince1970(1'000'000);
  VDZInstallationsBackoffController controller_{[this] { return now_; }};
  void wait(double seconds) { now_ = now_.addingTimeInterval(seconds); }
};

TEST_F(BackoffTest, RecoverableFailuresWaitExponentiallyUpToTheCap) {
  EXPECT_TRUE(controller_.isNextRequestAllowed());
  controller_.registerEvent(VDZInstallationsBackoffEventRecoverableFailure);
  wait(1.9);
  EXPECT_FALSE(controller_.isNextRequestAllowed());
  wait(1.1);
  EXPECT_TRUE(controller_.isNextRequestAllowed());

  controller_.registerEvent(VDZInstallationsBackoffEventRecoverableFailure);
  controller_.registerEvent(VDZInstallationsBackoffEventRecoverableFailure);
  wait(7.99);
  EXPECT_FALSE(controller_.isNextRequestAllowed()) << "the third waits 8 to 8.999 s";
  wait(1.01);
  EXPECT_TRUE(controller_.isNextRequestAllowed());

  for (std::int64_t n : {10, 11, 40}) {
    const double wait = VDZInstallationsBackoffController::backoffTimeIntervalWithEvent(
        VDZInstallationsBackoffEventRecoverableFailure, n);
    if (n == 10) {
      EXPECT_GE(wait, 1024);
      EXPECT_LT(wait, 1025);
    } else {
      EXPECT_EQ(wait, 1800);
    }
  }
}

TEST_F(BackoffTest, UnrecoverableWaitsADaySuccessClearsAndTheClockGoingBackRefuses) {
  controller_.registerEvent(VDZInstallationsBackoffEventRecoverableFailure);
  controller_.registerEvent(VDZInstallationsBackoffEventUnrecoverableFailure);
  wait(86399);
  EXPECT_FALSE(controller_.isNextRequestAllowed());
  wait(1);
  EXPECT_TRUE(controller_.isNextRequestAllowed());

  controller_.registerEvent(VDZInstallationsBackoffEventSuccess);
  EXPECT_TRUE(controller_.isNextRequestAllowed());
  wait(-1);
  EXPECT_FALSE(controller_.isNextRequestAllowed());
}

}  // namespace
