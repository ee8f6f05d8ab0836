#include "platform/net/url_session.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/home.h"
#include "platform/dispatch/work_tracker.h"
#include "platform/testing/testing.h"
#include "tools/local-service/local_service.h"

#include "compressed_body.h"

namespace platform {
namespace {

using local_service::Answer;
using local_service::LocalService;

struct Outcome {
  std::optional<Data> data;
  std::shared_ptr<HTTPURLResponse> response;
  Error error;
  bool called = false;
  int calls = 0;
  bool onDelegateQueue = false;
};

Data bytes(std::string_view text) { return Data(text.begin(), text.end()); }
std::string text(const std::optional<Data>& data) { return data ? std::string(data->begin(), data->end()) : ""; }

using testing::compressed;
using testing::gzipped;

// Follows, refuses or rewrites redirects as the test says, and records what it was asked.
class RedirectDelegate : public URLSessionDelegate {
 public:
  enum class Choice { Follow, Refuse, ToOther };
  explicit RedirectDelegate(Choice choice, std::string other = {}) : choice_(choice), other_(std::move(other)) {}
  void willPerformHTTPRedirection(URLSession&, URLSessionTask&, const HTTPURLResponse& response, URLRequest request,
                                  RedirectHandler completionHandler) override {
    statuses.push_back(response.statusCode());
    methods.push_back(request.httpMethod());
    if (choice_ == Choice::Refuse) return completionHandler(std::nullopt);
    if (choice_ == Choice::ToOther) request.setURL(other_);
    completionHandler(std::move(request));
  }
  std::vector<std::int64_t> statuses;
  std::vector<std::string> methods;

 private:
  Choice choice_;
  std::string other_;
};

class URLSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_.addRoute("GET", "/hello", [](const auto&) {
      Answer answer;
      answer.body = "hello";
      answer.contentType = "text/plain";
      return answer;
    });
    service_.addRoute("POST", "/sink", [](const auto&) { return Answer::withStatus(204); });
    service_.addRoute("GET", "/target", [](const auto&) {
      Answer answer;
      answer.body = "arrived";
      return answer;
    });
    ASSERT_TRUE(service_.start());
  }

  std::string url(std::string_view path) const { return service_.baseURL() + std::string(path); }

  // Runs the task and waits for its completion.
  std::shared_ptr<Outcome> run(const std::shared_ptr<URLSession>& session, URLRequest request) {
    auto outcome = std::make_shared<Outcome>();
    auto queue = session->delegateQueue();
    auto task = session->dataTaskWithRequest(std::move(request), [outcome, queue](const std::optional<Data>& data,
                                                                                  const auto& response,
                                                                                  const Error& error) {
      outcome->data = data;
      outcome->response = response;
      outcome->error = error;
      outcome->called = true;
      ++outcome->calls;
      outcome->onDelegateQueue = queue->isCurrent();
    });
    task->resume();
    testing::runUntilIdle();
    return outcome;
  }

  LocalService service_;
};

TEST_F(URLSessionTest, APostCarriesItsMethodHeadersAndBodyAndTheStatusComesBack) {
  auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
  URLRequest request(url("/sink"));
  request.setHTTPMethod("POST");
  request.setValueForHTTPHeaderField("application/x-protobuf", "Content-Type");
  request.setValueForHTTPHeaderField("first", "X-Test");
  request.setValueForHTTPHeaderField("second", "x-test");  // replaces, whatever the case
  request.setHTTPBody(bytes(std::string("a\0b", 3)));
  auto outcome = run(session, request);
  ASSERT_TRUE(outcome->called);
  EXPECT_FALSE(outcome->error);
  EXPECT_TRUE(outcome->onDelegateQueue);
  ASSERT_TRUE(outcome->response);
  EXPECT_EQ(outcome->response->statusCode(), 204);

  auto received = service_.requestsTo("/sink");
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].method, "POST");
  EXPECT_EQ(received[0].body, std::string("a\0b", 3));
  EXPECT_EQ(received[0].header("Content-Type"), "application/x-protobuf");
  EXPECT_EQ(received[0].header("X-Test"), "second");
  EXPECT_FALSE(received[0].header("Expect"));
}

TEST_F(URLSessionTest, HTTPErrorsAreResponsesAndGzipBodiesArriveDecoded) {
  Answer failure = Answer::withStatus(503);
  failure.body = "busy";
  failure.headers.emplace_back("Retry-After", "120");
  service_.enqueueAnswer("/hello", failure);
  Answer encoded;
  encoded.body = gzipped("compressed answer");
  encoded.headers.emplace_back("Content-Encoding", "gzip");
  service_.enqueueAnswer("/hello", encoded);

  auto session = URLSession::sharedSession();
  auto first = run(session, URLRequest(url("/hello")));
  EXPECT_FALSE(first->error);
  ASSERT_TRUE(first->response);
  EXPECT_EQ(first->response->statusCode(), 503);
  EXPECT_EQ(first->response->valueForHTTPHeaderField("retry-after"), "120");
  EXPECT_EQ(text(first->data), "busy");

  auto second = run(session, URLRequest(url("/hello")));
  EXPECT_EQ(second->response->statusCode(), 200);
  EXPECT_EQ(text(second->data), "compressed answer");
}

// A body is delivered only when it is whole: an encoded body cut short, damaged or in an unknown
// encoding fails with the cannot-decode error, and the body cap holds for the bytes received and
// for what they expand to.
TEST_F(URLSessionTest, EncodedBodiesAreDeliveredOnlyWhenTheyDecodeWhole) {
  const std::string whole = gzipped("compressed answer");
  std::string damaged = whole;
  for (std::size_t i = 10; i < damaged.size() - 8; ++i) damaged[i] = static_cast<char>(~damaged[i]);
  constexpr std::size_t kCap = 64 * 1024;

  struct Case {
    const char* name;
    std::vector<std::string> encoding;  // one Content-Encoding line each
    std::string body;
    int status;
    std::int64_t error;  // 0: delivered
    std::string delivered;
  };
  const std::vector<Case> cases = {
      {"gzip", {"gzip"}, whole, 200, 0, "compressed answer"},
      {"deflate", {"Deflate"}, compressed("deflated answer", 15), 200, 0, "deflated answer"},
      {"raw deflate", {"deflate"}, compressed("deflated answer", -15), 200, 0, "deflated answer"},
      {"two gzip members", {"x-gzip"}, gzipped("first, ") + gzipped("second"), 200, 0, "first, second"},
      {"identity", {"identity"}, "as sent", 200, 0, "as sent"},
      {"no body", {"gzip"}, "", 204, 0, ""},
      // Lines of one header make one list, in order.
      {"gzip twice, in two lines", {"gzip", "gzip"}, gzipped(gzipped("twice")), 200, 0, "twice"},
      {"gzip, then identity in a line of its own", {"gzip", "identity"}, whole, 200, 0, "compressed answer"},
      {"two lines, one of them unknown", {"gzip", "br"}, whole, 200, kURLErrorCannotDecodeContentData, ""},
      {"gzip twice in two lines, applied once", {"gzip", "gzip"}, whole, 200, kURLErrorCannotDecodeContentData, ""},
      {"gzip cut in half", {"gzip"}, whole.substr(0, whole.size() / 2), 200, kURLErrorCannotDecodeContentData, ""},
      {"gzip without its trailer", {"gzip"}, whole.substr(0, whole.size() - 8), 200, kURLErrorCannotDecodeContentData,
       ""},
      {"damaged gzip", {"gzip"}, damaged, 200, kURLErrorCannotDecodeContentData, ""},
      {"gzip then junk", {"gzip"}, whole + "junk", 200, kURLErrorCannotDecodeContentData, ""},
      {"deflate then bytes", {"deflate"}, compressed("x", 15) + "more", 200, kURLErrorCannotDecodeContentData, ""},
      {"raw deflate cut short", {"deflate"}, compressed("deflated answer", -15).substr(0, 5), 200,
       kURLErrorCannotDecodeContentData, ""},
      {"unknown encoding", {"br"}, "\x0b\x02\x80plain\x03", 200, kURLErrorCannotDecodeContentData, ""},
      {"error status, cut short", {"gzip"}, whole.substr(0, 5), 500, kURLErrorCannotDecodeContentData, ""},
      {"expands past the cap", {"gzip"}, gzipped(std::string(kCap + 1, 'z')), 200, kURLErrorDataLengthExceedsMaximum,
       ""},
      {"raw deflate expands past the cap", {"deflate"}, compressed(std::string(kCap + 1, 'z'), -15), 200,
       kURLErrorDataLengthExceedsMaximum, ""},
      {"larger than the cap", {}, std::string(kCap + 1, 'z'), 200, kURLErrorDataLengthExceedsMaximum, ""},
  };
  auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
  configuration.setMaximumResponseBodySize(kCap);
  auto session = URLSession::sessionWithConfiguration(configuration);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Answer answer = Answer::withStatus(c.status);
    answer.body = c.body;
    for (const std::string& line : c.encoding) answer.headers.emplace_back("Content-Encoding", line);
    service_.enqueueAnswer("/hello", answer);
    auto outcome = run(session, URLRequest(url("/hello")));
    ASSERT_TRUE(outcome->called);
    if (c.error == 0) {
      EXPECT_FALSE(outcome->error) << outcome->error.description();
      EXPECT_EQ(outcome->response ? outcome->response->statusCode() : 0, c.status);
      EXPECT_EQ(text(outcome->data), c.delivered);
    } else {
      EXPECT_EQ(outcome->error.domain(), kURLErrorDomain);
      EXPECT_EQ(outcome->error.code(), c.error) << outcome->error.description();
      EXPECT_FALSE(outcome->response);
      EXPECT_FALSE(outcome->data);
    }
  }
  // What the platform can decode is what it asks for.
  EXPECT_EQ(service_.requestsTo("/hello").at(0).header("Accept-Encoding"), "gzip, deflate");
}

TEST_F(URLSessionTest, FailuresAreURLErrors) {
  LocalService closed;
  ASSERT_TRUE(closed.start());
  const std::string refused = closed.baseURL() + "/nothing";
  closed.stop();

  Answer slow;
  slow.delaySeconds = 1;
  service_.enqueueAnswer("/hello", slow);

  struct Case {
    const char* name;
    std::string url;
    double timeout;
    std::int64_t code;
  };
  const std::vector<Case> cases = {
      {"connection refused", refused, 60, kURLErrorCannotConnectToHost},
      {"no such host", "http://no-such-host.invalid/", 60, kURLErrorCannotFindHost},
      {"not HTTP", "ftp://127.0.0.1/", 60, kURLErrorUnsupportedURL},
      {"too slow", url("/hello"), 0.3, kURLErrorTimedOut},
  };
  auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
  for (const Case& c : cases) {
    auto outcome = run(session, URLRequest(c.url, c.timeout));
    ASSERT_TRUE(outcome->called) << c.name;
    EXPECT_EQ(outcome->error.domain(), kURLErrorDomain) << c.name;
    EXPECT_EQ(outcome->error.code(), c.code) << c.name << ": " << outcome->error.description();
    EXPECT_FALSE(outcome->response) << c.name;
    EXPECT_EQ(outcome->error.userInfo().at(std::string(kURLErrorFailingURLStringErrorKey)).string(), c.url);
  }
}

TEST_F(URLSessionTest, TheDelegateDecidesRedirects) {
  service_.setAnswer("/moved", Answer::redirect(302, url("/target")));
  service_.setAnswer("/kept", Answer::redirect(307, url("/target")));

  struct Case {
    const char* name;
    std::string path;
    RedirectDelegate::Choice choice;
    std::int64_t status;
    std::string body;
    std::string method;  // of the redirected request the delegate saw
  };
  const std::vector<Case> cases = {
      {"followed", "/moved", RedirectDelegate::Choice::Follow, 200, "arrived", "GET"},
      {"refused", "/moved", RedirectDelegate::Choice::Refuse, 302, "", "GET"},
      {"rewritten", "/kept", RedirectDelegate::Choice::ToOther, 204, "", "POST"},
  };
  for (const Case& c : cases) {
    auto delegate = std::make_shared<RedirectDelegate>(c.choice, url("/sink"));
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(),
                                                        delegate);
    URLRequest request(url(c.path));
    if (c.path == "/kept") {
      request.setHTTPMethod("POST");
      request.setHTTPBody(bytes("body"));
    }
    auto outcome = run(session, request);
    EXPECT_FALSE(outcome->error) << c.name;
    ASSERT_TRUE(outcome->response) << c.name;
    EXPECT_EQ(outcome->response->statusCode(), c.status) << c.name;
    EXPECT_EQ(text(outcome->data), c.body) << c.name;
    ASSERT_EQ(delegate->methods.size(), 1u) << c.name;
    EXPECT_EQ(delegate->methods[0], c.method) << c.name;
  }
  // Without a delegate, redirects are followed.
  auto plain = run(URLSession::sharedSession(), URLRequest(url("/moved")));
  EXPECT_EQ(text(plain->data), "arrived");
}

TEST_F(URLSessionTest, CancelEndsATaskOnceWithTheCancelledError) {
  Answer slow;
  slow.delaySeconds = 1;
  service_.enqueueAnswer("/hello", slow);
  auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
  auto outcome = std::make_shared<Outcome>();
  auto task = session->dataTaskWithRequest(URLRequest(url("/hello")), [outcome](const auto&, const auto&,
                                                                              const Error& error) {
    outcome->error = error;
    ++outcome->calls;
  });
  task->resume();
  ASSERT_TRUE(service_.waitForRequests(1, 10));
  task->cancel();
  task->cancel();
  testing::runUntilIdle();
  EXPECT_EQ(outcome->calls, 1);
  EXPECT_EQ(outcome->error.code(), kURLErrorCancelled);
  EXPECT_EQ(task->state(), URLSessionTask::State::Completed);

  // A task cancelled before it started never reaches the server.
  auto never = session->dataTaskWithRequest(URLRequest(url("/hello")), [outcome](const auto&, const auto&,
                                                                               const Error& error) {
    outcome->error = error;
    ++outcome->calls;
  });
  never->cancel();
  never->resume();
  testing::runUntilIdle();
  EXPECT_EQ(outcome->calls, 2);
  EXPECT_EQ(service_.requests().size(), 1u);
}

// A transfer waits for its server, not for the process: a front end that keeps pace with its user
// goes on meanwhile, while the answer, once handed over, is awaited like any work.
TEST_F(URLSessionTest, ATransferWaitsOutsideTheProcessUntilItsAnswerIsHandedOver) {
  Answer slow;
  slow.body = "late";
  slow.delaySeconds = 1;
  service_.enqueueAnswer("/hello", slow);
  auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
  auto outcome = std::make_shared<Outcome>();
  auto task = session->dataTaskWithRequest(URLRequest(url("/hello")), [outcome](const auto& data, const auto&,
                                                                              const Error&) {
    outcome->data = data;
    ++outcome->calls;
  });
  task->resume();
  ASSERT_TRUE(service_.waitForRequests(1, 10));
  EXPECT_GT(WorkTracker::outstanding(), 0);
  EXPECT_EQ(WorkTracker::ownOutstanding(), 0);
  testing::runUntilIdle();
  EXPECT_EQ(outcome->calls, 1);
  EXPECT_EQ(text(outcome->data), "late");
}

TEST_F(URLSessionTest, UploadsFromDataAndFromFiles) {
  const auto file = Home::temporary() / "upload.bin";
  std::ofstream(file, std::ios::binary) << "from a file";
  auto session = URLSession::sessionWithConfiguration(
      URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("com.test.background"));
  EXPECT_EQ(session->configuration().identifier(), "com.test.background");
  int done = 0;
  const auto count = [&done](const auto&, const auto&, const Error& error) {
    EXPECT_FALSE(error) << error.description();
    ++done;
  };
  URLRequest request(url("/sink"));
  request.setHTTPMethod("POST");
  session->uploadTaskWithRequest(request, bytes("from data"), count)->resume();
  testing::runUntilIdle();
  session->uploadTaskWithRequest(request, file, count)->resume();
  testing::runUntilIdle();
  Error missing;
  session->uploadTaskWithRequest(request, Home::temporary() / "missing", [&](const auto&, const auto&, const Error& e) {
    missing = e;
  })->resume();
  testing::runUntilIdle();
  EXPECT_EQ(done, 2);
  EXPECT_EQ(missing.code(), kURLErrorCannotOpenFile);
  auto received = service_.requestsTo("/sink");
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].body, "from data");
  EXPECT_EQ(received[1].body, "from a file");
}

class InvalidationDelegate : public URLSessionDelegate {
 public:
  void didBecomeInvalidWithError(URLSession&, const Error&) override { ++invalidated; }
  std::atomic<int> invalidated{0};
};

TEST_F(URLSessionTest, InvalidationWaitsForRunningTasksAndRefusesNewOnes) {
  auto delegate = std::make_shared<InvalidationDelegate>();
  auto session =
      URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(), delegate);
  int completed = 0;
  session->dataTaskWithRequest(URLRequest(url("/hello")), [&](const auto&, const auto&, const Error&) {
    ++completed;
  })->resume();
  session->finishTasksAndInvalidate();
  EXPECT_THROW(session->dataTaskWithRequest(URLRequest(url("/hello"))), Exception);
  testing::runUntilIdle();
  EXPECT_EQ(completed, 1);
  EXPECT_EQ(delegate->invalidated.load(), 1);
  EXPECT_FALSE(session->delegate());
}

// Real threads: tasks made, resumed, cancelled and dropped from several threads while others
// complete, then their sessions invalidated. Every task completes exactly once.
TEST(URLSessionStressTest, CreateCancelCompleteAndDestroyFromManyThreads) {
  LocalService service;
  service.addRoute("GET", "/fast", [](const auto&) { return Answer::withStatus(200); });
  ASSERT_TRUE(service.start());
  std::atomic<int> completions{0};
  std::atomic<int> created{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = 0; i < 12; ++i) {
        auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
        auto task = session->dataTaskWithRequest(URLRequest(service.baseURL() + "/fast"),
                                                 [&](const auto&, const auto&, const Error&) { ++completions; });
        ++created;
        switch (random() % 4) {
          case 0: task->cancel(); break;
          case 1: task->resume(); task->cancel(); break;
          case 2: task->resume(); session->invalidateAndCancel(); break;
          default: task->resume(); session->finishTasksAndInvalidate(); break;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  testing::runUntilIdle();
  EXPECT_EQ(completions.load(), created.load());
}

}  // namespace
}  // namespace platform
