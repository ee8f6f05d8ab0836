#include "sdk/analytics/storage/apme_manager.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/net/reachability.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_engine_services.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "sdk/analytics/storage/apm_user_defaults.h"
#include "sdk/analytics/storage/apme_database.h"
#include "sdk/utilities/utilities/vul_gzip.h"
#include "sdk/utilities/utilities/vul_network.h"
#include "tests/sdk/analytics/monitor_recorder.h"
#include "tests/sdk/analytics/storage/experiment_test_support.h"
#include "tools/local-service/analytics_routes.h"
#include "tools/local-service/wire_format.h"

namespace {

using experiment_test::ids;
using experiment_test::snapshot;
using local_service::ExperimentSnapshot;
using platform::Error;
using platform::Value;

constexpr double kHour = 3600;

// A manager over a task manager of its own, on this test's home and the local service.
class APMEManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = platform::testing::useManualClock();
    platform::NetworkState::setFlagsForTesting(platform::NetworkReachabilityFlag::kReachable);
    configs_ = local_service::addAnalyticsRoutes(service_);
    ASSERT_TRUE(service_.start());
    setenv("VDZ_SERVICE_URL", service_.baseURL().c_str(), 1);
    experiment_test::useDiversionKey("instance-1");
    APMEExperimentRequestBuilder::sharedInstance().removeAllSDKPropertiesForTesting();
    relaunch();
  }
  void TearDown() override {
    manager_.reset();
    taskManager_.reset();
    platform::testing::runUntilIdle();
    unsetenv("VDZ_SERVICE_URL");
    APMSetEngineServices({});
    platform::NetworkState::restore();
  }

  // A new process's manager over the same files.
  void relaunch() {
    if (taskManager_) platform::testing::drain(taskManager_->workerQueue());
    taskManager_ = APMETaskManager::initWithQueue(
        platform::DispatchQueue::serial("experiment.test.worker"),
        VULNetwork::initWithReachabilityHost(service_.baseURL()),
        std::make_shared<APMUserDefaults>(std::string(kAPMExperimentSuiteName)),
        APMMeasurementFilePath(kAPMEDatabaseName), APMENow());
    manager_ = APMEManager::initWithTaskManager(taskManager_);
    client_ = manager_->registerSDKProperty(std::make_shared<APMESDKProperty>("sdk"),
                                            {{"a", Value(std::int64_t{10})}, {"b", Value(std::int64_t{20})},
                                             {"c", Value(std::int64_t{30})}});
    ASSERT_TRUE(client_);
    taskManager_->startTaskManager();
    settle();
  }
  void settle() {
    platform::testing::runUntilIdle();
    platform::testing::drain(taskManager_->workerQueue());
    platform::testing::drain(manager_->queue());
  }
  // What a fetch brings: pending rows, then the manager told.
  void fetched(const APMESnapshots& snapshots, const APMEFetchErrors& errors = {}) {
    taskManager_->upsertPendingSnapshots(snapshots);
    settle();
    manager_->taskManagerDidFinishFetching(*taskManager_, snapshots, errors);
    settle();
  }
  long long flag(const std::string& name) { return client_->valueForFlag(name).integerValue(); }
  std::optional<double> due() { return taskManager_->scheduledFetchTimestamp(); }

  MonitorRecorder recorder_;
  std::shared_ptr<platform::testing::ManualClock> clock_;
  local_service::LocalService service_;
  std::shared_ptr<local_service::MeasurementConfigs> configs_;
  std::shared_ptr<APMETaskManager> taskManager_;
  std::shared_ptr<APMEManager> manager_;
  std::shared_ptr<APMEClient> client_;
};

TEST_F(APMEManagerTest, FlagsComeFromActivatedThenLaunchedThenDefaults) {
  EXPECT_EQ(flag("a"), 10);
  fetched({snapshot("sdk", {{0, {{"a", 1}, {"b", 2}}}, {5, {{"a", 3}, {"unregistered", 4}}}})});
  EXPECT_EQ(flag("a"), 10) << "a fetched snapshot changes nothing until activated";

  EXPECT_TRUE(client_->activateLatestSnapshot(nullptr));
  EXPECT_EQ(flag("a"), 3);
  EXPECT_EQ(flag("b"), 2);
  EXPECT_EQ(flag("c"), 30);
  EXPECT_TRUE(client_->valueForFlag("unregistered").isNull()) << "only flags with a default are looked up";
  EXPECT_EQ(manager_->experimentIDs(), (std::vector<std::int32_t>{5}));

  Error error;
  EXPECT_FALSE(client_->activateLatestSnapshot(&error));
  EXPECT_FALSE(error) << "nothing pending is not an error";
  client_->resetToDefaults();
  EXPECT_EQ(flag("a"), 1) << "launched flags stay after a reset to defaults";
}

TEST_F(APMEManagerTest, ActivationSurvivesARelaunch) {
  fetched({snapshot("sdk", {{0, {{"b", 2}}}, {5, {{"a", 3}}}})});
  ASSERT_TRUE(client_->activateLatestSnapshot(nullptr));
  relaunch();
  EXPECT_EQ(flag("a"), 3);
  EXPECT_EQ(flag("b"), 2);

  fetched({snapshot("sdk", {{6, {{"c", 9}}}})});
  relaunch();
  EXPECT_EQ(flag("b"), 2);
  // Its SDK does not activate snapshots itself, so the next start does.
  EXPECT_EQ(flag("c"), 9);
  EXPECT_EQ(flag("a"), 10) << "the new activation replaces the earlier experiments";
  EXPECT_FALSE(manager_->pendingSnapshotForSDKName("sdk"));
}

TEST_F(APMEManagerTest, StalenessCountsFromActivationAndStaleSnapshotsGoAtStart) {
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), -2);
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("other"), -1);
  fetched({snapshot("sdk", {{5, {{"a", 3}}}})});
  ASSERT_TRUE(client_->activateLatestSnapshot(nullptr));
  clock_->move(kAPMEStaleSnapshotAge - 1);
  EXPECT_FALSE(client_->hasStaleSnapshot());
  relaunch();
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), 0);
  clock_->move(1);
  EXPECT_TRUE(client_->hasStaleSnapshot());
  relaunch();
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), -2);
  EXPECT_EQ(flag("a"), 10);
}

TEST_F(APMEManagerTest, RegisteringAgainReplacesTheDefaults) {
  auto again = manager_->registerSDKProperty(std::make_shared<APMESDKProperty>("sdk"), {{"a", Value("text")}});
  EXPECT_EQ(again->valueForFlag("a").stringValue(), "text");
  EXPECT_TRUE(again->valueForFlag("b").isNull());
  EXPECT_TRUE(recorder_.has(800003));
  EXPECT_FALSE(manager_->registerSDKProperty(std::make_shared<APMESDKProperty>("bad"), {{"a", Value::Array{}}}));
  EXPECT_FALSE(manager_->registerSDKProperty(std::make_shared<APMESDKProperty>(""), {}));
}

TEST_F(APMEManagerTest, TheFetchScheduleFollowsTheServiceAnswers) {
  const double start = APMENow();
  ASSERT_EQ(due(), start + 10) << "first fetch 10 s after start";
  service_.enqueueAnswer(std::string(local_service::kExperimentFetchPath),
                         local_service::experimentAnswer(local_service::experimentResponse(
                             {ExperimentSnapshot{"sdk", {{4, {{"a", 44}}}}}})));
  platform::testing::advance(10);
  settle();

  const auto requests = service_.requestsTo(local_service::kExperimentFetchPath);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("Content-Encoding"), "gzip");
  std::vector<local_service::WireField> fields;
  std::string error;
  ASSERT_TRUE(local_service::readWireFields(requests[0].decodedBody, fields, error)) << error;
  std::map<std::uint32_t, std::vector<local_service::WireField>> inner;
  for (const auto& field : fields) ASSERT_TRUE(local_service::readWireFields(field.bytes, inner[field.number], error));
  auto value = [&](std::uint32_t message, std::uint32_t number) -> std::string {
    for (const auto& f : inner[message]) {
      if (f.number == number) return f.wireType == 2 ? std::string(f.bytes) : std::to_string(f.value);
    }
    return "(absent)";
  };
  EXPECT_EQ(value(1, 1), "ios");
  EXPECT_EQ(value(1, 7), "10000");
  EXPECT_EQ(value(2, 1), "sdk");
  EXPECT_EQ(value(2, 2), "instance-1-sdk");

  EXPECT_EQ(ids(manager_->pendingSnapshotForSDKName("sdk")), (std::vector<std::int32_t>{4}));
  const double success = APMENow();
  EXPECT_EQ(due(), success + 4 * kHour);

  // Overloaded: at least 12 hours after the answer.
  service_.enqueueAnswer(std::string(local_service::kExperimentFetchPath), local_service::Answer::withStatus(503));
  platform::testing::advance(4 * kHour);
  settle();
  const double overloaded = APMENow();
  EXPECT_EQ(due(), overloaded + 12 * kHour);

  // A 200 whose body does not inflate is a failure, not a success.
  local_service::Answer garbage;
  garbage.body = "not gzip";
  service_.enqueueAnswer(std::string(local_service::kExperimentFetchPath), garbage);
  service_.clearRequests();
  platform::testing::advance(12 * kHour);
  settle();
  EXPECT_EQ(service_.requestsTo(local_service::kExperimentFetchPath).size(), 1u);
  EXPECT_TRUE(recorder_.has(820023));
  EXPECT_EQ(due(), success + 4 * kHour + 1800 + 3600 + 7200 + 14400 + 28800)
      << "the ladder counts from the last success";
}

// A small download that expands past the inflation limit is a failed fetch: nothing of it is
// taken and the failure ladder goes on, as for any body that does not inflate.
TEST_F(APMEManagerTest, AnAnswerExpandingPastTheLimitIsAFailedFetch) {
  const double start = APMENow();
  std::string encoded = local_service::experimentResponse({ExperimentSnapshot{"sdk", {{4, {{"a", 44}}}}}});
  // An unknown field that a reader skips: only its size matters.
  local_service::writeVarint(encoded, (15 << 3) | 2);
  local_service::writeVarint(encoded, kVULGzipDefaultInflateLimit);
  encoded.append(kVULGzipDefaultInflateLimit, '\0');
  service_.enqueueAnswer(std::string(local_service::kExperimentFetchPath), local_service::experimentAnswer(encoded));
  encoded.clear();
  encoded.shrink_to_fit();

  platform::testing::advance(10);
  settle();
  ASSERT_EQ(service_.requestsTo(local_service::kExperimentFetchPath).size(), 1u);
  EXPECT_TRUE(recorder_.has(820023));
  EXPECT_FALSE(manager_->pendingSnapshotForSDKName("sdk"));
  EXPECT_EQ(due(), start + 1800) << "the first step of the failure ladder";
}

TEST_F(APMEManagerTest, TheRetryLadderDoublesAndEnds) {
  const double s = APMENow() - 100;
  struct Case {
    double failure;
    double next;
  };
  for (const Case& c : std::vector<Case>{{s + 4 * kHour + 10, s + 4 * kHour + 1800},
                                         {s + 4 * kHour + 1800, s + 4 * kHour + 5400},
                                         {s + 4 * kHour + 113399, s + 4 * kHour + 113400},
                                         {s + 4 * kHour + 113400, 0}}) {
    EXPECT_EQ(taskManager_->fetchTimeFromLastSuccessfulTimestamp(s, c.failure), c.next) << c.failure - s;
  }
  EXPECT_EQ(taskManager_->fetchTimeFromLastSuccessfulTimestamp(s, 0), s + 4 * kHour);
}

TEST_F(APMEManagerTest, ARestartAfterASuccessWaitsForTheFourHours) {
  service_.enqueueAnswer(std::string(local_service::kExperimentFetchPath),
                         local_service::experimentAnswer(local_service::experimentResponse({})));
  platform::testing::advance(10);
  settle();
  const double success = APMENow();
  clock_->move(kHour);
  relaunch();
  EXPECT_EQ(due(), success + 4 * kHour);
}

TEST(APMETaskManagerResponseTest, SDKResponsesGiveSnapshotsAndErrors) {
  MonitorRecorder recorder;
  const std::string bytes = local_service::experimentResponseWithSDKResponses(
      {{"one", 0, {ExperimentSnapshot{"", {{1, {{"f", 1}}}}}}},
       {"two", 1, {ExperimentSnapshot{"renamed-away", {{2, {}}}}}},
       {"three", 2, {}},
       {"four", 3, {}},
       {"seven", 7, {}}});
  const auto response = APMPBExperimentResponse::initWithBuffer(platform::Data(bytes.begin(), bytes.end()));
  ASSERT_TRUE(response);
  const auto snapshots = APMETaskManager::experimentSnapshotsFromExperimentResponse(response.get());
  ASSERT_TRUE(snapshots);
  std::vector<std::string> names;
  for (const auto& s : *snapshots) names.push_back(s->SDKName());
  EXPECT_EQ(names, (std::vector<std::string>{"one", "two"}));

  const auto errors = APMETaskManager::errorsFromExperimentResponse(response.get());
  ASSERT_TRUE(errors);
  const std::map<std::string, std::int64_t> expected{{"two", -2}, {"three", -3}, {"four", -4}, {"seven", -1}};
  ASSERT_EQ(errors->size(), expected.size());
  for (const auto& [name, code] : expected) {
    EXPECT_EQ(errors->at(name).code(), code) << name;
    EXPECT_EQ(errors->at(name).domain(), kAPMExperimentErrorDomain);
  }
}

}  // namespace
