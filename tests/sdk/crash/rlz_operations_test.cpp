// Asynchronous, network and compound operations: state announcements, the token check, the
// common headers, and compounds finishing once, also on real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include "crash_test_support.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/exception.h"
#include "platform/testing/testing.h"
#include "sdk/crash/launch/rlz_data_collection_arbiter.h"
#include "sdk/crash/network/rlz_compound_operation.h"
#include "sdk/crash/network/rlz_network_operation.h"

namespace {

// Finishes on a global queue with the given error, and records what it announced.
class ChildOperation : public RLZTSMAsyncOperation {
 public:
  explicit ChildOperation(platform::Error error = {}) : error_(std::move(error)) {}
  void main() override {
    ++mainCalls;
    auto self = std::static_pointer_cast<ChildOperation>(shared_from_this());
    platform::DispatchQueue::global()->async([self] { self->finishWithError(self->error_); });
  }
  void willChangeValueForKey(std::string_view key) override {
    record("will " + std::string(key));
    RLZTSMAsyncOperation::willChangeValueForKey(key);
  }
  void didChangeValueForKey(std::string_view key) override {
    record("did " + std::string(key));
    RLZTSMAsyncOperation::didChangeValueForKey(key);
  }
  std::vector<std::string> announcements() {
    std::lock_guard lock(mutex_);
    return announcements_;
  }
  std::atomic<int> mainCalls{0};

 private:
  void record(std::string text) {
    std::lock_guard lock(mutex_);
    announcements_.push_back(std::move(text));
  }
  platform::Error error_;
  std::mutex mutex_;
  std::vector<std::string> announcements_;
};

struct Completions {
  std::mutex mutex;
  std::vector<platform::Error> errors;
  void add(const platform::Error& error) {
    std::lock_guard lock(mutex);
    errors.push_back(error);
  }
  std::vector<platform::Error> all() {
    std::lock_guard lock(mutex);
    return errors;
  }
};

TEST(RLZTSMAsyncOperationTest, CancelledOperationFinishesWithoutRunning) {
  auto operation = std::make_shared<ChildOperation>();
  operation->cancel();
  operation->start();
  EXPECT_EQ(operation->mainCalls, 0);
  EXPECT_TRUE(operation->isFinished());
  EXPECT_FALSE(operation->isExecuting());
  EXPECT_EQ(operation->announcements(),
            (std::vector<std::string>{"will isCancelled", "did isCancelled", "will isExecuting", "did isExecuting",
                                      "will isFinished", "did isFinished"}));
}

TEST(RLZTSMAsyncOperationTest, RunsOnAQueueAndCallsBothCompletions) {
  auto operation = std::make_shared<ChildOperation>(platform::Error("test", 3));
  Completions completions;
  std::atomic<int> blocks{0};
  operation->setAsyncCompletion([&](const platform::Error& error) { completions.add(error); });
  operation->setCompletionBlock([&] { ++blocks; });
  auto queue = platform::OperationQueue::make();
  queue->addOperation(operation);
  queue->waitUntilAllOperationsAreFinished();
  platform::testing::runUntilIdle();
  EXPECT_EQ(operation->mainCalls, 1);
  ASSERT_EQ(completions.all().size(), 1u);
  EXPECT_EQ(completions.all()[0].code(), 3);
  EXPECT_EQ(blocks, 1);
  EXPECT_TRUE(operation->isFinished());
  EXPECT_FALSE(operation->isExecuting());
}

TEST(RLZNetworkOperationTest, TokenAndAppIDAreRequired) {
  platform::testing::LogCapture log;
  auto operation = RLZNetworkOperation::initWithVidezuAppID("1:42:ios:abc", nullptr);
  ASSERT_TRUE(operation);
  Completions completions;
  operation->setAsyncCompletion([&](const platform::Error& error) { completions.add(error); });
  operation->startWithToken(nullptr);
  EXPECT_FALSE(operation->isExecuting());
  EXPECT_FALSE(operation->isFinished());
  EXPECT_TRUE(completions.all().empty());
  EXPECT_TRUE(crash_test::logged(log, "Skipping network operation with invalid data collection token"));

  operation->startWithToken(RLZDataCollectionToken::validToken());
  EXPECT_TRUE(operation->isFinished());
  EXPECT_EQ(completions.all().size(), 1u);

  EXPECT_THROW(RLZNetworkOperation::initWithVidezuAppID(std::nullopt, RLZDataCollectionToken::validToken()),
               platform::Exception);
  EXPECT_THROW(RLZNetworkOperation::initWithVidezuAppID("", RLZDataCollectionToken::validToken()),
               platform::Exception);
}

TEST(RLZNetworkOperationTest, RequestsTimeOutAfterTenSeconds) {
  auto operation = RLZNetworkOperation::initWithVidezuAppID("app", RLZDataCollectionToken::validToken());
  const auto request = operation->mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL("https://a.invalid/x");
  EXPECT_EQ(request.timeoutInterval(), 10);
  EXPECT_EQ(request.url(), "https://a.invalid/x");
  EXPECT_EQ(request.valueForHTTPHeaderField("X-Ralitoze-Videzu-App-Id"), "app");
}

std::shared_ptr<RLZCompoundOperation> compoundOf(std::vector<std::shared_ptr<RLZTSMAsyncOperation>> children,
                                                 Completions& completions) {
  auto compound = std::make_shared<RLZCompoundOperation>();
  compound->setName("settings");
  compound->setOperations(std::move(children));
  compound->setAsyncCompletion([&completions](const platform::Error& error) { completions.add(error); });
  return compound;
}

TEST(RLZCompoundOperationTest, ChildErrorsAreGatheredAndReportedOnce) {
  Completions completions;
  std::atomic<int> childCompletions{0};
  std::vector<std::shared_ptr<RLZTSMAsyncOperation>> children{
      std::make_shared<ChildOperation>(), std::make_shared<ChildOperation>(platform::Error("child", 9)),
      std::make_shared<ChildOperation>()};
  for (auto& child : children) child->setAsyncCompletion([&](const platform::Error&) { ++childCompletions; });
  auto compound = compoundOf(children, completions);
  compound->start();
  compound->waitUntilFinished();
  platform::testing::runUntilIdle();
  EXPECT_EQ(childCompletions, 3);
  const auto errors = completions.all();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].domain(), "com.videzu.vuduzara.ralitoze.RLZCompoundOperation.error");
  EXPECT_EQ(errors[0].code(), 4294967293);
  const auto& underlying =
      errors[0].userInfo().at("com.videzu.vuduzara.ralitoze.RLZCompoundOperation.error.user-info-key.underlying-errors");
  ASSERT_TRUE(underlying.isArray());
  ASSERT_EQ(underlying.ifArray()->size(), 1u);
  EXPECT_EQ((*underlying.ifArray())[0]["domain"], platform::Value("child"));
  EXPECT_EQ((*underlying.ifArray())[0]["code"], platform::Value(9));

  // Without failures, and without children, the compound succeeds.
  Completions clean;
  auto succeeding = compoundOf({std::make_shared<ChildOperation>()}, clean);
  succeeding->start();
  succeeding->waitUntilFinished();
  Completions none;
  auto empty = compoundOf({}, none);
  empty->start();
  EXPECT_TRUE(empty->isFinished());
  platform::testing::runUntilIdle();
  ASSERT_EQ(clean.all().size(), 1u);
  EXPECT_FALSE(clean.all()[0]);
  ASSERT_EQ(none.all().size(), 1u);
  EXPECT_FALSE(none.all()[0]);
}

TEST(RLZCompoundOperationTest, CancelledBeforeStartCancelsAndFinishesEveryChild) {
  Completions completions;
  std::vector<std::shared_ptr<ChildOperation>> children{std::make_shared<ChildOperation>(),
                                                        std::make_shared<ChildOperation>()};
  auto compound = compoundOf({children[0], children[1]}, completions);
  compound->cancel();
  compound->compoundQueue()->waitUntilAllOperationsAreFinished();
  platform::testing::runUntilIdle();
  for (const auto& child : children) {
    EXPECT_TRUE(child->isCancelled());
    EXPECT_TRUE(child->isFinished());
    EXPECT_EQ(child->mainCalls, 0);
  }
  const auto errors = completions.all();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code(), 4294967294);
  EXPECT_EQ(errors[0].localizedDescription(), "settings cancelled");
  // Started later (a queue would), it stays finished and reports nothing more.
  compound->start();
  platform::testing::runUntilIdle();
  EXPECT_EQ(completions.all().size(), 1u);
}

// Children ending on many threads while their compounds may be cancelled at any moment: each
// compound reports exactly once and every child ends.
TEST(RLZCompoundOperationTest, StressFinishesOnceUnderRacingCancels) {
  constexpr int kCompounds = 40;
  constexpr int kChildren = 6;
  std::vector<std::unique_ptr<Completions>> completions;
  std::vector<std::shared_ptr<RLZCompoundOperation>> compounds;
  std::vector<std::shared_ptr<RLZTSMAsyncOperation>> allChildren;
  for (int i = 0; i < kCompounds; ++i) {
    std::vector<std::shared_ptr<RLZTSMAsyncOperation>> children;
    for (int j = 0; j < kChildren; ++j) {
      children.push_back(std::make_shared<ChildOperation>(j % 3 == 0 ? platform::Error("child", j) : platform::Error()));
    }
    allChildren.insert(allChildren.end(), children.begin(), children.end());
    completions.push_back(std::make_unique<Completions>());
    compounds.push_back(compoundOf(children, *completions.back()));
  }
  // Queued first (a finished operation cannot be queued), then started while cancels race.
  auto queue = platform::OperationQueue::make();
  queue->setSuspended(true);
  for (const auto& compound : compounds) queue->addOperation(compound);
  std::vector<std::thread> cancellers;
  for (int t = 0; t < 4; ++t) {
    cancellers.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t));
      for (int i = t; i < kCompounds; i += 4) {
        if (random() % 2) compounds[static_cast<std::size_t>(i)]->cancel();
      }
    });
  }
  queue->setSuspended(false);
  for (auto& thread : cancellers) thread.join();
  queue->waitUntilAllOperationsAreFinished();
  for (const auto& compound : compounds) compound->compoundQueue()->waitUntilAllOperationsAreFinished();
  platform::testing::runUntilIdle();
  for (int i = 0; i < kCompounds; ++i) {
    EXPECT_TRUE(compounds[static_cast<std::size_t>(i)]->isFinished()) << i;
    const auto errors = completions[static_cast<std::size_t>(i)]->all();
    ASSERT_EQ(errors.size(), 1u) << i;
    EXPECT_TRUE(errors[0].code() == 4294967294 || errors[0].code() == 4294967293) << errors[0].code();
  }
  for (const auto& child : allChildren) {
    // A child left unstarted by a compound cancelled before its start is simply never run.
    if (child->isExecuting()) ADD_FAILURE() << "a child is still running";
  }
}

// A start and a cancel released at the same moment on two threads: whichever wins, the compound
// reports exactly once. A cancel marked between the start's look at the cancellation and the
// start's own check used to end the compound without a word.
TEST(RLZCompoundOperationTest, StressStartRacingCancelReportsOnce) {
  constexpr int kRounds = 200;
  for (int round = 0; round < kRounds; ++round) {
    Completions completions;
    auto compound = compoundOf({std::make_shared<ChildOperation>()}, completions);
    std::atomic<int> waiting{2};
    auto together = [&waiting] {
      --waiting;
      while (waiting.load() > 0) {
      }
    };
    std::thread starter([&] {
      together();
      compound->start();
    });
    std::thread canceller([&] {
      together();
      compound->cancel();
    });
    starter.join();
    canceller.join();
    compound->waitUntilFinished();
    compound->compoundQueue()->waitUntilAllOperationsAreFinished();
    platform::testing::runUntilIdle();
    ASSERT_TRUE(compound->isFinished()) << "round " << round;
    ASSERT_EQ(completions.all().size(), 1u) << "round " << round;
  }
}

}  // namespace
