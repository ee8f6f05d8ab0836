// What a session tells its delegate: server-trust challenges over HTTPS, bodies of tasks without
// completion handlers, download files and the end of a background session's events.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/net/server_trust.h"
#include "platform/net/url_session.h"
#include "platform/testing/testing.h"
#include "tools/local-service/local_service.h"

namespace platform {
namespace {

using local_service::Answer;
using local_service::LocalService;

class RecordingDelegate : public URLSessionDelegate {
 public:
  std::optional<URLSessionAuthChallengeDisposition> disposition;  // none: the platform's default
  bool giveCredential = true;
  // How long the main thread is busy before it answers a challenge, as on a loaded machine.
  std::chrono::milliseconds busyBeforeAnswer{0};

  void didReceiveChallenge(URLSession& session, URLSessionTask& task, const URLAuthenticationChallenge& challenge,
                           ChallengeHandler completionHandler) override {
    challenges.push_back(challenge);
    std::this_thread::sleep_for(busyBeforeAnswer);
    if (!disposition) return URLSessionDelegate::didReceiveChallenge(session, task, challenge, completionHandler);
    completionHandler(*disposition, giveCredential ? URLCredential::credentialForTrust(challenge.protectionSpace.serverTrust)
                                                   : std::nullopt);
  }
  void didReceiveData(URLSession&, URLSessionTask&, const Data& data) override {
    events.push_back("data " + std::string(data.begin(), data.end()));
  }
  void didFinishDownloadingToURL(URLSession&, URLSessionTask&, const std::filesystem::path& location) override {
    std::error_code ec;
    const bool exists = std::filesystem::exists(location, ec);
    events.push_back(std::string("file ") + (exists ? "present" : "missing"));
    locations.push_back(location);
  }
  void didCompleteWithError(URLSession&, URLSessionTask& completed, const Error& error) override {
    events.push_back("complete");
    errors.push_back(error);
    statuses.push_back(completed.response() ? completed.response()->statusCode() : 0);
  }
  void didFinishEventsForBackgroundURLSession(URLSession& finished) override {
    events.push_back("background events of " + finished.configuration().identifier().value_or("?"));
  }

  std::vector<URLAuthenticationChallenge> challenges;
  std::vector<std::string> events;
  std::vector<std::filesystem::path> locations;
  std::vector<Error> errors;
  std::vector<std::int64_t> statuses;
};

class URLSessionDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_.addRoute("GET", "/hello", [](const auto&) {
      Answer answer;
      answer.body = "hello";
      return answer;
    });
    ASSERT_TRUE(service_.start());
    ASSERT_TRUE(service_.startTLS());
  }
  void TearDown() override { SecTrust::setAdditionalAnchorCertificates({}); }

  // Runs a data task (or a download task) of a new session with `delegate` to completion.
  void run(const std::shared_ptr<RecordingDelegate>& delegate, const std::string& url, bool download = false,
           URLSessionConfiguration configuration = URLSessionConfiguration::defaultSessionConfiguration()) {
    auto session = URLSession::sessionWithConfiguration(std::move(configuration), delegate, DispatchQueue::main());
    auto task = download ? session->downloadTaskWithRequest(URLRequest(url)) : session->dataTaskWithRequest(URLRequest(url));
    task->resume();
    session->finishTasksAndInvalidate();  // lets go of the delegate once the task is over
    testing::runUntilIdle();
  }

  LocalService service_;
};

TEST_F(URLSessionDelegateTest, ServerTrustIsEvaluatedOrDecidedByTheDelegate) {
  using D = URLSessionAuthChallengeDisposition;
  struct Case {
    const char* name;
    std::optional<D> disposition;
    bool giveCredential;
    bool trustCertificate;
    std::int64_t errorCode;  // 0: the answer arrives
  };
  const std::vector<Case> cases = {
      {"default handling, self-signed", std::nullopt, true, false, kURLErrorServerCertificateUntrusted},
      {"default handling, certificate trusted", std::nullopt, true, true, 0},
      {"delegate vouches for it", D::UseCredential, true, false, 0},
      {"credential missing: evaluated as usual", D::UseCredential, false, false, kURLErrorServerCertificateUntrusted},
      {"delegate cancels", D::CancelAuthenticationChallenge, false, true, kURLErrorCancelled},
      {"protection space rejected: evaluated", D::RejectProtectionSpace, false, true, 0},
  };
  for (const Case& c : cases) {
    SecTrust::setAdditionalAnchorCertificates(c.trustCertificate ? std::vector{service_.certificatePEM()}
                                                                 : std::vector<std::string>{});
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->disposition = c.disposition;
    delegate->giveCredential = c.giveCredential;
    run(delegate, service_.tlsBaseURL() + "/hello");
    ASSERT_EQ(delegate->challenges.size(), 1u) << c.name;
    const auto& space = delegate->challenges[0].protectionSpace;
    EXPECT_EQ(space.authenticationMethod, kURLAuthenticationMethodServerTrust) << c.name;
    EXPECT_EQ(space.host, "127.0.0.1") << c.name;
    EXPECT_EQ(space.port, service_.tlsPort()) << c.name;
    ASSERT_TRUE(space.serverTrust) << c.name;
    EXPECT_FALSE(space.serverTrust->certificates().empty()) << c.name;
    ASSERT_EQ(delegate->errors.size(), 1u) << c.name;
    EXPECT_EQ(delegate->errors[0].code(), c.errorCode) << c.name << ": " << delegate->errors[0].description();
    if (c.errorCode == 0) {
      EXPECT_EQ(delegate->events.front(), "data hello") << c.name;
    }
  }
}

// The handshake waits for the delegate's decision: a main thread that gets to the challenge only
// after a while, longer than a server's usual few seconds of patience, still gets the answer.
TEST_F(URLSessionDelegateTest, ASlowTrustDecisionStillGetsTheAnswer) {
  SecTrust::setAdditionalAnchorCertificates({service_.certificatePEM()});
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->busyBeforeAnswer = std::chrono::milliseconds(6500);
  run(delegate, service_.tlsBaseURL() + "/hello");
  ASSERT_EQ(delegate->errors.size(), 1u);
  EXPECT_EQ(delegate->errors[0].code(), 0) << delegate->errors[0].description();
  EXPECT_EQ(delegate->events.front(), "data hello");
}

TEST_F(URLSessionDelegateTest, TrustEvaluationChecksTheRootAndTheHostName) {
  SecTrust::setAdditionalAnchorCertificates({service_.certificatePEM()});
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->disposition = URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge;
  run(delegate, service_.tlsBaseURL() + "/hello");
  ASSERT_EQ(delegate->challenges.size(), 1u);
  const auto& trust = delegate->challenges[0].protectionSpace.serverTrust;

  SecTrustResultType result = SecTrustResultType::Invalid;
  EXPECT_EQ(trust->evaluate(result), errSecSuccess);
  EXPECT_EQ(result, SecTrustResultType::Unspecified);
  EXPECT_EQ(SecTrust("localhost", trust->certificates()).evaluate(result), errSecSuccess);
  EXPECT_EQ(result, SecTrustResultType::Unspecified);
  EXPECT_EQ(SecTrust("other.invalid", trust->certificates()).evaluate(result), errSecSuccess);
  EXPECT_EQ(result, SecTrustResultType::RecoverableTrustFailure);
  SecTrust::setAdditionalAnchorCertificates({});
  EXPECT_EQ(trust->evaluate(result), errSecSuccess);
  EXPECT_EQ(result, SecTrustResultType::RecoverableTrustFailure);
  EXPECT_EQ(SecTrust("127.0.0.1", {Data{1, 2, 3}}).evaluate(result), errSecParam);
  EXPECT_FALSE(SecTrust::setAdditionalAnchorCertificates({"not a certificate"}));
}

TEST_F(URLSessionDelegateTest, BodiesAndDownloadFilesGoToTheDelegateBeforeTheCompletion) {
  auto data = std::make_shared<RecordingDelegate>();
  run(data, service_.baseURL() + "/hello");
  EXPECT_EQ(data->events, (std::vector<std::string>{"data hello", "complete"}));

  auto download = std::make_shared<RecordingDelegate>();
  run(download, service_.baseURL() + "/hello", true);
  EXPECT_EQ(download->events, (std::vector<std::string>{"file present", "complete"}));
  ASSERT_EQ(download->locations.size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(download->locations[0])) << "removed once the delegate returned";
  EXPECT_EQ(download->statuses, std::vector<std::int64_t>{200});

  auto failed = std::make_shared<RecordingDelegate>();
  run(failed, "http://nowhere.invalid/", true);
  EXPECT_EQ(failed->events, std::vector<std::string>{"complete"});
  EXPECT_EQ(failed->errors[0].code(), kURLErrorCannotFindHost);
}

TEST_F(URLSessionDelegateTest, ABackgroundSessionAnnouncesTheEndOfItsEvents) {
  auto background = std::make_shared<RecordingDelegate>();
  run(background, service_.baseURL() + "/hello", false,
      URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("bg.one"));
  EXPECT_EQ(background->events,
            (std::vector<std::string>{"data hello", "complete", "background events of bg.one"}));

  auto foreground = std::make_shared<RecordingDelegate>();
  run(foreground, service_.baseURL() + "/hello");
  EXPECT_EQ(foreground->events, (std::vector<std::string>{"data hello", "complete"}));
}

}  // namespace
}  // namespace platform
