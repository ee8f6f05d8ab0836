#include "sdk/utilities/promises/vul_url_session_promise.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/net/url_session.h"
#include "platform/testing/testing.h"
#include "tools/local-service/local_service.h"

namespace {

using local_service::Answer;
using platform::Data;
using platform::URLRequest;
using platform::URLSession;
using platform::URLSessionTask;
using ResponsePromise = VBLPromise<std::shared_ptr<VULURLSessionDataResponse>>;

class URLSessionPromiseTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service_.start()); }

  std::string url(std::string_view path) const { return service_.baseURL() + std::string(path); }

  std::shared_ptr<URLSession> session_ =
      URLSession::sessionWithConfiguration(platform::URLSessionConfiguration::defaultSessionConfiguration());
  local_service::LocalService service_;
};

// Every answer with a response fulfils, whatever its status; a task that fails rejects with the
// task's own error.
TEST_F(URLSessionPromiseTest, AResponseFulfilsAndATaskErrorRejects) {
  local_service::LocalService closed;
  ASSERT_TRUE(closed.start());
  const std::string refused = closed.baseURL() + "/answer";
  closed.stop();

  Answer truncated;
  truncated.body = std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00", 8);
  truncated.headers.emplace_back("Content-Encoding", "gzip");
  Answer busy = Answer::withStatus(500);
  busy.body = "busy";
  Answer ok;
  ok.body = "body";

  struct Case {
    const char* name;
    std::optional<Answer> answer;  // none: the request goes to `refused`
    std::int64_t status;           // 0: rejected
    std::string body;
    std::int64_t errorCode;
  };
  const std::vector<Case> cases = {
      {"200 with a body", ok, 200, "body", 0},
      {"500 with a body", busy, 500, "busy", 0},
      {"204 without a body", Answer::withStatus(204), 204, "", 0},
      {"connection refused", std::nullopt, 0, "", platform::kURLErrorCannotConnectToHost},
      {"gzip body cut short", truncated, 0, "", platform::kURLErrorCannotDecodeContentData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.answer) service_.enqueueAnswer("/answer", *c.answer);
    auto promise = VULPromises::vul_dataTaskPromiseWithRequest(session_, URLRequest(c.answer ? url("/answer") : refused));
    platform::testing::runUntilIdle();
    if (c.status != 0) {
      ASSERT_TRUE(promise->isFulfilled()) << (promise->error() ? promise->error()->description() : "");
      const auto response = *promise->value();
      ASSERT_TRUE(response->HTTPResponse());
      EXPECT_EQ(response->HTTPResponse()->statusCode(), c.status);
      ASSERT_TRUE(response->HTTPBody());
      EXPECT_EQ(std::string(response->HTTPBody()->begin(), response->HTTPBody()->end()), c.body);
    } else {
      ASSERT_TRUE(promise->isRejected());
      EXPECT_EQ(promise->error()->domain(), platform::kURLErrorDomain);
      EXPECT_EQ(promise->error()->code(), c.errorCode) << promise->error()->description();
    }
  }
}

// The task is handed on before it starts: it is the one that runs the request, and cancelling it
// rejects the promise with the cancellation.
TEST_F(URLSessionPromiseTest, TheTaskIsHandedOnAndCancellingItRejects) {
  // Written on the promise library's queue; read here once the request reached the service, which
  // the race detector cannot see through the socket.
  struct Handed {
    std::mutex mutex;
    std::shared_ptr<URLSessionTask> task;
    std::optional<URLSessionTask::State> stateWhenHanded;
    int calls = 0;
  };
  auto handed = std::make_shared<Handed>();
  const auto keep = [handed](const std::shared_ptr<URLSessionTask>& task) {
    std::lock_guard lock(handed->mutex);
    handed->task = task;
    handed->stateWhenHanded = task->state();
    ++handed->calls;
  };
  const auto handedTask = [handed] {
    std::lock_guard lock(handed->mutex);
    return std::make_pair(handed->task, handed->calls);
  };

  auto answered = VULPromises::vul_dataTaskPromiseWithRequest(session_, URLRequest(url("/answer")), keep);
  platform::testing::runUntilIdle();
  ASSERT_TRUE(answered->isFulfilled());
  const auto [first, firstCalls] = handedTask();
  ASSERT_EQ(firstCalls, 1);
  EXPECT_EQ(handed->stateWhenHanded, URLSessionTask::State::Suspended);
  EXPECT_EQ(first->originalRequest().url(), url("/answer"));
  EXPECT_EQ(first->state(), URLSessionTask::State::Completed);
  EXPECT_EQ(first->response(), (*answered->value())->HTTPResponse());

  Answer silent;
  silent.hang = true;
  service_.enqueueAnswer("/silent", silent);
  auto cancelled = VULPromises::vul_dataTaskPromiseWithRequest(session_, URLRequest(url("/silent")), keep);
  platform::testing::drain(platform::DispatchQueue::main());  // where the promise starts the task
  ASSERT_TRUE(service_.waitForRequestsTo("/silent", 1, 10));
  const auto [second, secondCalls] = handedTask();
  ASSERT_EQ(secondCalls, 2);
  second->cancel();
  platform::testing::runUntilIdle();
  ASSERT_TRUE(cancelled->isRejected());
  EXPECT_EQ(cancelled->error()->domain(), platform::kURLErrorDomain);
  EXPECT_EQ(cancelled->error()->code(), platform::kURLErrorCancelled);
  service_.releaseHungRequests();
}

}  // namespace
