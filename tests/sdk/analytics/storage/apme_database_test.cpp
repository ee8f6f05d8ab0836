#include "sdk/analytics/storage/apme_database.h"

#include <gtest/gtest.h>

#include "platform/testing/testing.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_engine_services.h"
#include "sdk/analytics/storage/apm_storage_paths.h"
#include "tests/sdk/analytics/monitor_recorder.h"
#include "tests/sdk/analytics/storage/experiment_test_support.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"

namespace {

using experiment_test::ids;
using experiment_test::snapshot;
using platform::Error;

class APMEDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = platform::testing::useManualClock();
    db_ = APMEDatabase::initWithPath(APMMeasurementFilePath(kAPMEDatabaseName));
    ASSERT_TRUE(db_);
  }
  std::shared_ptr<APMESnapshot> only(std::optional<APMEDatabase::Snapshots> all, const std::string& sdk) {
    EXPECT_TRUE(all);
    for (const auto& s : all.value_or(APMEDatabase::Snapshots{})) {
      if (s->SDKName() == sdk) return s;
    }
    return nullptr;
  }

  MonitorRecorder recorder_;
  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::unique_ptr<APMEDatabase> db_;
};

TEST_F(APMEDatabaseTest, ActivationSplitsLaunchedFromActivatedExperiments) {
  Error error;
  const double t = APMENow();
  ASSERT_TRUE(db_->activateSnapshot(snapshot("sdk", {{0, {{"a", 1}}}, {7, {{"b", 2}}}, {9, {{"c", 3}}}}), t, &error));
  EXPECT_EQ(ids(only(db_->fetchAllLaunchedSnapshots(&error), "sdk")), (std::vector<std::int32_t>{0}));
  const auto activated = only(db_->fetchAllActivatedSnapshots(&error), "sdk");
  EXPECT_EQ(ids(activated), (std::vector<std::int32_t>{7, 9}));
  EXPECT_DOUBLE_EQ(activated->timestamp(), t);
  EXPECT_FALSE(activated->manuallyActivated());

  // Only launched flags: the activated state becomes empty, as it is in memory.
  ASSERT_TRUE(db_->activateSnapshot(snapshot("sdk", {{0, {{"a", 5}}}}), t + 1, &error));
  const auto emptied = only(db_->fetchAllActivatedSnapshots(&error), "sdk");
  ASSERT_TRUE(emptied);
  EXPECT_TRUE(emptied->experiments().empty());
  EXPECT_DOUBLE_EQ(emptied->timestamp(), t + 1);
}

TEST_F(APMEDatabaseTest, ActivationDeletesPendingRowsStampedUpToItsTime) {
  Error error;
  const double t = APMENow();
  for (const auto& [sdk, stamp] : std::vector<std::pair<std::string, double>>{{"early", t}, {"late", t + 1}}) {
    auto pending = snapshot(sdk, {{3, {{"f", 1}}}});
    pending->setTimestamp(stamp);
    ASSERT_TRUE(db_->upsertPendingExperimentSnapshots({pending}, &error));
    ASSERT_TRUE(db_->activateSnapshot(pending, t, &error));
  }
  const auto pending = db_->fetchAllPendingSnapshots(&error);
  ASSERT_TRUE(pending);
  ASSERT_EQ(pending->size(), 1u);
  EXPECT_EQ(pending->front()->SDKName(), "late");
}

TEST_F(APMEDatabaseTest, AutomaticActivationTakesOnlyRowsNotReservedForTheirSDK) {
  Error error;
  auto automatic = snapshot("auto", {{4, {{"f", 1}}}});
  auto manual = snapshot("manual", {{5, {{"f", 1}}}});
  manual->setManuallyActivated(true);
  ASSERT_TRUE(db_->upsertPendingExperimentSnapshots({automatic, manual}, &error));
  ASSERT_TRUE(db_->upsertSnapshot(*snapshot("unmarked", {{6, {}}})->proto(), kAPMEPendingSnapshotTable, APMENow(),
                                  std::nullopt, &error));

  ASSERT_TRUE(db_->activatePendingSnapshotsAutomatically(&error)) << error.description();
  EXPECT_EQ(ids(only(db_->fetchAllActivatedSnapshots(&error), "auto")), (std::vector<std::int32_t>{4}));
  std::vector<std::string> left;
  const auto pending = db_->fetchAllPendingSnapshots(&error);
  ASSERT_TRUE(pending);
  for (const auto& s : *pending) left.push_back(s->SDKName());
  EXPECT_EQ(left, (std::vector<std::string>{"manual", "unmarked"}));
}

TEST_F(APMEDatabaseTest, ActivatedSnapshotsThreeDaysOldAreDeleted) {
  Error error;
  const double now = APMENow();
  for (const auto& [sdk, stamp] : std::vector<std::pair<std::string, double>>{
           {"stale", now - kAPMEStaleSnapshotAge}, {"fresh", now - kAPMEStaleSnapshotAge + 1}}) {
    ASSERT_TRUE(db_->upsertSnapshot(*snapshot(sdk, {{1, {}}})->proto(), kAPMEActivatedSnapshotTable, stamp, false,
                                    &error));
  }
  ASSERT_TRUE(db_->deleteStaleActivatedSnapshots(&error));
  const auto left = db_->fetchAllActivatedSnapshots(&error);
  ASSERT_EQ(left->size(), 1u);
  EXPECT_EQ(left->front()->SDKName(), "fresh");
}

TEST_F(APMEDatabaseTest, AnUndecodableRowFailsTheWholeRead) {
  Error error;
  ASSERT_TRUE(db_->store()->upsertRecord({{"sdk_name", platform::Value("bad")},
                                          {"snapshotProto", platform::Value(platform::Data{0xff, 0xff, 0xff})},
                                          {"timestamp", platform::Value(1.0)},
                                          {"manually_activated", platform::Value(std::int64_t{0})}},
                                         std::string(kAPMEPendingSnapshotTable), &error));
  EXPECT_FALSE(db_->fetchAllPendingSnapshots(&error));
  EXPECT_TRUE(error);
  Error autoError;
  EXPECT_FALSE(db_->activatePendingSnapshotsAutomatically(&autoError));
  EXPECT_EQ(autoError.code(), 2);
}

// The experiment database is opened the same way as the measurement one: a lock held by another
// connection through the whole wait fails the open and keeps every stored snapshot.
TEST_F(APMEDatabaseTest, LockedFileIsLeftAloneAndOpensOnceFree) {
  Error error;
  ASSERT_TRUE(db_->upsertPendingExperimentSnapshots({snapshot("sdk", {{3, {{"f", 1}}}})}, &error));
  db_.reset();
  const std::string path = APMMeasurementFilePath(kAPMEDatabaseName);
  {
    storage_test::LockingConnection other(path, "BEGIN EXCLUSIVE");
    ASSERT_TRUE(other.waitUntilLocked());
    storage_test::BusyTimeoutForScope wait(100);
    EXPECT_FALSE(APMEDatabase::initWithPath(path));
    EXPECT_TRUE(recorder_.has(810001));
  }
  db_ = APMEDatabase::initWithPath(path);
  ASSERT_TRUE(db_);
  EXPECT_EQ(ids(only(db_->fetchAllPendingSnapshots(&error), "sdk")), (std::vector<std::int32_t>{3}));
}

TEST(APMESnapshotTest, ModelsRoundTripThroughTheirMessages) {
  MonitorRecorder recorder;
  auto original = snapshot("sdk", {{2, {{"x", 1}, {"y", 2}}}, {0, {{"z", 3}}}});
  const auto decoded = APMESnapshot::initWithProtobuf(*APMPBSnapshot::initWithBuffer(*original->proto()->protoBuffer()));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(ids(decoded), (std::vector<std::int32_t>{0, 2}));
  EXPECT_EQ(APMPBFlagValue(decoded->flagByName("y").get()).integerValue(), 2);
  EXPECT_FALSE(decoded->flagByName("nope"));

  original->setManuallyActivated(true);
  original->setTimestamp(1);
  const auto copy = original->copy();
  EXPECT_FALSE(copy->manuallyActivated());
  EXPECT_DOUBLE_EQ(copy->timestamp(), APMENow());
  EXPECT_FALSE(APMESnapshot::initWithSDKName("", {}));
  EXPECT_TRUE(recorder.has(840000));
}

TEST(APMESDKPropertyTest, AClientPropertyNeedsADiversionKey) {
  MonitorRecorder recorder;
  APMSetEngineServices({});
  APMESDKProperty property("sdk");
  property.setVersion(3);
  EXPECT_FALSE(property.proto());
  EXPECT_TRUE(recorder.has(860001));

  experiment_test::useDiversionKey("instance");
  property.setCustomProperties({{"k", "v"}});
  const auto proto = property.proto();
  APMSetEngineServices({});
  ASSERT_TRUE(proto);
  EXPECT_EQ(NANOGetString(proto.get(), 1), "instance-sdk");
  EXPECT_EQ(NANOGetInt64(proto.get(), 2), 3);
  EXPECT_EQ(NANOGetArray<APMPBCustomProperty>(proto.get(), 4)->size(), 1u);
}

}  // namespace
