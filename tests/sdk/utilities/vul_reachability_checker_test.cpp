#include "sdk/utilities/utilities/vul_reachability_checker.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/testing/testing.h"
#include "sdk/utilities/utilities/vul_logger.h"

namespace {

namespace Flag = platform::NetworkReachabilityFlag;
using platform::NetworkState::setFlagsForTesting;

class RecordingDelegate : public VULReachabilityDelegate {
 public:
  void reachabilityStatusChanged(VULReachabilityChecker&, VULReachabilityStatus status) override {
    statuses.push_back(status);
  }
  std::vector<VULReachabilityStatus> statuses;
};

class VULReachabilityCheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VULLoggerResetForTesting();
    VULLoggerForceDebug();
    setFlagsForTesting(Flag::kReachable);
  }
  void TearDown() override {
    platform::NetworkState::restore();
    VULLoggerResetForTesting();
  }
  bool logged(std::string_view fragment) {
    platform::testing::drain(VULLoggerQueue());
    return capture_.contains(fragment);
  }

  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  platform::testing::LogCapture capture_;
};

TEST_F(VULReachabilityCheckerTest, TheHostIsANameOrTheHostOfAURL) {
  EXPECT_EQ(VULReachabilityChecker::initWithReachabilityDelegate(delegate_, ""), nullptr);
  EXPECT_TRUE(logged("[VULReachability][I-REA902001] Invalid host specified"));
  EXPECT_EQ(VULReachabilityChecker::initWithReachabilityDelegate(delegate_, "https://"), nullptr) << "a URL without host";
  EXPECT_EQ(VULReachabilityChecker::initWithReachabilityDelegate(delegate_, "measure.example.invalid")->host(),
            "measure.example.invalid");
}

TEST_F(VULReachabilityCheckerTest, FlagsReduceToFourStatuses) {
  const auto required = Flag::kReachable | Flag::kConnectionRequired;
  const std::vector<std::pair<platform::NetworkReachabilityFlags, VULReachabilityStatus>> cases = {
      {0, kVULReachabilityNotReachable},
      {Flag::kIsWWAN, kVULReachabilityNotReachable},
      {Flag::kReachable, kVULReachabilityViaWifi},
      {Flag::kReachable | Flag::kIsWWAN, kVULReachabilityViaCellular},
      {required, kVULReachabilityNotReachable},
      {required | Flag::kConnectionOnDemand | Flag::kInterventionRequired, kVULReachabilityNotReachable},
      {required | Flag::kConnectionOnTraffic, kVULReachabilityViaWifi},
      {required | Flag::kConnectionOnTraffic | Flag::kIsWWAN, kVULReachabilityViaCellular},
      {required | Flag::kConnectionOnDemand, kVULReachabilityViaWifi},
  };
  for (const auto& [flags, status] : cases) EXPECT_EQ(VULReachabilityChecker::statusForFlags(flags), status) << flags;
}

TEST_F(VULReachabilityCheckerTest, StartReportsOnceThenEveryChangeOfStatus) {
  auto checker = VULReachabilityChecker::initWithReachabilityDelegate(delegate_, "http://127.0.0.1:9/a");
  ASSERT_TRUE(checker);
  EXPECT_EQ(checker->host(), "127.0.0.1");
  EXPECT_TRUE(checker->start());
  EXPECT_TRUE(checker->isActive());
  EXPECT_TRUE(logged("[I-REA902003] Monitoring the network status"));
  platform::testing::runUntilIdle();
  EXPECT_EQ(delegate_->statuses, std::vector<VULReachabilityStatus>{kVULReachabilityViaWifi});
  EXPECT_TRUE(logged("[I-REA902004] Network status has changed. Code:2, status:Connected"));

  setFlagsForTesting(Flag::kReachable | Flag::kIsDirect);  // other flags, same status
  platform::testing::runUntilIdle();
  setFlagsForTesting(0);
  platform::testing::runUntilIdle();
  EXPECT_EQ(delegate_->statuses, (std::vector<VULReachabilityStatus>{2, 1}));
  EXPECT_EQ(checker->reachabilityStatus(), kVULReachabilityNotReachable);

  checker->stop();
  EXPECT_FALSE(checker->isActive());
  EXPECT_EQ(checker->reachabilityStatus(), kVULReachabilityUnknown);
  // After a new start the status is reported even though it is the one before the stop.
  EXPECT_TRUE(checker->start());
  platform::testing::runUntilIdle();
  EXPECT_EQ(delegate_->statuses, (std::vector<VULReachabilityStatus>{2, 1, 1}));
}

TEST_F(VULReachabilityCheckerTest, TheTableIsReplacedOnlyWhileStoppedAndItsFailuresStopTheStart) {
  auto checker = VULReachabilityChecker::initWithReachabilityDelegate(delegate_, "example.invalid");
  ASSERT_TRUE(checker->start());
  int created = 0;
  int released = 0;
  VULReachabilityApi failing = VULReachabilityApi::defaultApi();
  failing.createWithNameFn = [&created](const std::string& host) {
    ++created;
    return platform::NetworkReachability::createWithName(host);
  };
  failing.scheduleWithRunLoopFn = [](const VULReachabilityHandle&) { return false; };
  failing.releaseFn = [&released](const VULReachabilityHandle&) { ++released; };
  checker->setReachabilityApi(failing);
  EXPECT_TRUE(logged("[I-REA902000] Cannot change reachability API while reachability is running. Call stop first."));
  checker->stop();
  checker->setReachabilityApi(failing);
  EXPECT_FALSE(checker->start());
  EXPECT_EQ(created, 1);
  EXPECT_EQ(released, 1);
  EXPECT_FALSE(checker->isActive());
  EXPECT_TRUE(logged("[I-REA902002] Failed to start reachability handle"));

  auto noHandle = VULReachabilityApi::defaultApi();
  noHandle.createWithNameFn = [](const std::string&) { return VULReachabilityHandle(); };
  checker->setReachabilityApi(noHandle);
  EXPECT_FALSE(checker->start());
}

TEST_F(VULReachabilityCheckerTest, AGoneCheckerOrDelegateHearsNothing) {
  auto checker = VULReachabilityChecker::initWithReachabilityDelegate(delegate_, "example.invalid");
  ASSERT_TRUE(checker->start());
  checker.reset();
  platform::testing::runUntilIdle();
  EXPECT_TRUE(delegate_->statuses.empty());

  auto other = std::make_shared<RecordingDelegate>();
  checker = VULReachabilityChecker::initWithReachabilityDelegate(other, "example.invalid");
  ASSERT_TRUE(checker->start());
  other.reset();
  platform::testing::runUntilIdle();
  EXPECT_EQ(checker->reachabilityStatus(), kVULReachabilityViaWifi);
}

}  // namespace
