#include "sdk/transport/core/vdtcor_metrics_controller.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/foundation/property_list.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_log_source_metrics.h"
#include "sdk/transport/core/vdtcor_metrics.h"
#include "sdk/transport/core/vdtcor_metrics_metadata.h"
#include "sdk/transport/core/vdtcor_platform.h"
#include "transport_fixture.h"

namespace transport_tests {
namespace {

using Counter = VDTCORLogSourceMetrics::Counter;

// A log-source counter archived as a plain dictionary Value, string keys only.
class PlainCounter final : public platform::Codable {
 public:
  explicit PlainCounter(platform::Value counter) : counter_(std::move(counter)) {}
  std::string className() const override { return std::string(kVDTCORLogSourceMetricsClassName); }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject(counter_, kVDTCORDroppedEventCounterByLogSourceKey);
  }

 private:
  platform::Value counter_;
};

class VDTCORMetricsControllerTest : public TransportTest {
 protected:
  static std::shared_ptr<VDTCORMetricsController> controller() { return VDTCORMetricsController::sharedInstance(); }
  static VDTCOREventSet eventsOf(std::string mappingID, int count) {
    VDTCOREventSet events;
    for (int i = 0; i < count; ++i) events.insert(makeEvent(mappingID, 1001));
    return events;
  }
  static std::shared_ptr<VDTCORMetrics> takeMetrics() {
    auto promise = controller()->getAndResetMetrics();
    platform::testing::runUntilIdle();
    EXPECT_TRUE(promise->isFulfilled()) << promise->description();
    return promise->isFulfilled() ? *promise->value() : nullptr;
  }
};

TEST_F(VDTCORMetricsControllerTest, ExpiredAndRefusedEventsAreCountedPerLogSourceAndReason) {
  auto delegate = storage()->delegate();
  ASSERT_EQ(delegate, controller());
  auto expired = eventsOf("137", 3);
  expired.merge(eventsOf("1206", 1));
  delegate->storageDidRemoveExpiredEvents(*storage(), expired);
  delegate->storageDidDropEvent(*storage(), makeEvent("137", 1001));
  platform::testing::runUntilIdle();

  settled(controller()->getAndResetMetrics());  // the first take only opens a window
  delegate->storageDidRemoveExpiredEvents(*storage(), expired);
  delegate->storageDidDropEvent(*storage(), makeEvent("137", 1001));
  platform::testing::runUntilIdle();
  auto metrics = takeMetrics();
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->logSourceMetrics()->droppedEventCounterByLogSource(),
            (Counter{{"137", {{1, 3}, {2, 1}}}, {"1206", {{1, 1}}}}));
  EXPECT_EQ(metrics->maxCacheSize(), 20'000'000u);
}

TEST_F(VDTCORMetricsControllerTest, EventsWithoutMappingIDAreNotCounted) {
  auto event = makeEvent("137", 1001);
  event->setMappingID("");
  auto metrics = VDTCORLogSourceMetrics::metricsWithEvents({event, makeEvent("9", 1001)}, 5);
  EXPECT_EQ(metrics->droppedEventCounterByLogSource(), (Counter{{"9", {{5, 1}}}}));
  EXPECT_TRUE(controller()->logEventsDroppedForReason(1, {})->isFulfilled());
}

TEST_F(VDTCORMetricsControllerTest, TakingTwiceGivesAnEmptyWindowStartingAtTheFirstTake) {
  settled(controller()->logEventsDroppedForReason(1, eventsOf("137", 2)));
  // Nothing stored yet: the first take fails and opens a window now.
  auto first = settled(controller()->getAndResetMetrics());
  platform::testing::runUntilIdle();
  EXPECT_TRUE(first->isFulfilled());

  settled(controller()->logEventsDroppedForReason(2, eventsOf("137", 1)));
  platform::testing::advance(5);
  const platform::Date resetTime = platform::Date::now();
  auto taken = takeMetrics();
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->collectionEndDate(), resetTime);
  EXPECT_EQ(taken->logSourceMetrics()->droppedEventCounterByLogSource(), (Counter{{"137", {{2, 1}}}}));

  platform::testing::advance(5);
  auto second = takeMetrics();
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->logSourceMetrics()->droppedEventCounterByLogSource().empty());
  EXPECT_EQ(second->collectionStartDate(), resetTime);
}

TEST_F(VDTCORMetricsControllerTest, AnOfferedSnapshotFoldsBackWithItsEarlierStart) {
  settled(controller()->getAndResetMetrics());
  const platform::Date windowStart = platform::Date::now();
  settled(controller()->logEventsDroppedForReason(1, eventsOf("137", 2)));
  platform::testing::advance(10);
  auto taken = takeMetrics();
  ASSERT_TRUE(taken);
  settled(controller()->logEventsDroppedForReason(1, eventsOf("137", 1)));

  // The upload failed: the counts come back, and the window reaches back to the snapshot's start.
  settled(controller()->offerMetrics(taken));
  platform::testing::advance(10);
  auto again = takeMetrics();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->collectionStartDate(), windowStart);
  EXPECT_EQ(again->logSourceMetrics()->droppedEventCounterByLogSource(), (Counter{{"137", {{1, 3}}}}));

  // A snapshot newer than the stored window changes nothing.
  auto newer = std::make_shared<VDTCORMetrics>(platform::Date::now().addingTimeInterval(1), platform::Date::now(),
                                               VDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource(
                                                   Counter{{"1", {{1, 1}}}}),
                                               0, 0, "");
  settled(controller()->offerMetrics(newer));
  EXPECT_TRUE(takeMetrics()->logSourceMetrics()->droppedEventCounterByLogSource().empty());
}

TEST_F(VDTCORMetricsControllerTest, CountsSurviveARestart) {
  settled(controller()->getAndResetMetrics());
  settled(controller()->logEventsDroppedForReason(5, eventsOf("1206", 2)));
  restart();
  auto metrics = takeMetrics();
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->logSourceMetrics()->droppedEventCounterByLogSource(), (Counter{{"1206", {{5, 2}}}}));
}

TEST_F(VDTCORMetricsControllerTest, AnUnreadableStoredWindowIsReplacedAndTheDropsStillCount) {
  settled(controller()->getAndResetMetrics());
  std::ofstream(VDTCORFlatFileStorage::libraryDataStoragePath() / kVDTCORMetricsMetadataStorageKey) << "garbage";
  platform::testing::advance(3);
  const platform::Date now = platform::Date::now();
  VDTCORConsoleLoggerLoggingLevel() = kVDTCORLogLevelDebug;
  platform::testing::LogCapture log;
  settled(controller()->logEventsDroppedForReason(1, eventsOf("137", 1)));
  VDTCORConsoleLoggerLoggingLevel() = kVDTCORLogLevelError;
  EXPECT_TRUE(log.contains("Error fetching metrics metadata:"));
  auto metrics = takeMetrics();
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->collectionStartDate(), now);
  EXPECT_EQ(metrics->logSourceMetrics()->droppedEventCounterByLogSource(), (Counter{{"137", {{1, 1}}}}));
}

TEST_F(VDTCORMetricsControllerTest, StoredWindowsRoundTripAndBadCountersDoNotDecode) {
  auto metadata = VDTCORMetricsMetadata::metadataWithCollectionStartDate(
      platform::Date::fromTimeIntervalSince1970(1'780'000'000.5),
      VDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource(Counter{{"137", {{1, 3}, {6, 1}}}, {"", {}}}));
  platform::Error error;
  auto data = VDTCORArchiveObject(metadata, {}, &error);
  ASSERT_TRUE(data);
  auto back = std::dynamic_pointer_cast<VDTCORMetricsMetadata>(
      VDTCORUnarchiveData(kVDTCORMetricsMetadataClassName, *data, &error));
  ASSERT_TRUE(back) << error.description();
  EXPECT_TRUE(back->isEqualToMetricsMetadata(*metadata));

  // A counter whose reasons are not numbers is no counter.
  data = VDTCORArchiveObject(
      std::make_shared<PlainCounter>(platform::Value::dictionary({{"137", platform::Value::dictionary({{"one", 1}})}})),
      {}, &error);
  ASSERT_TRUE(data);
  EXPECT_FALSE(VDTCORUnarchiveData(kVDTCORLogSourceMetricsClassName, *data, &error));
}

TEST_F(VDTCORMetricsControllerTest, DropReasonsAreArchivedAsNumbersAndEarlierStringReasonsStillRead) {
  auto metrics = VDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource(Counter{{"137", {{2, 4}, {5, 1}}}});
  platform::Error error;
  auto data = VDTCORArchiveObject(metrics, {}, &error);
  ASSERT_TRUE(data);
  // The reasons' dictionary: its keys refer to numbers, never to strings.
  auto archive = platform::PropertyList::read(*data, &error);
  ASSERT_TRUE(archive) << error.description();
  const auto& objects = (*archive)["$objects"].arrayOrEmpty();
  auto resolve = [&](const platform::Value& ref) { return objects.at(static_cast<std::size_t>(ref["$uid"].integerValue())); };
  std::vector<platform::Value> reasonKeys;
  for (const auto& object : objects) {
    for (const auto& key : object["NS.keys"].arrayOrEmpty()) {
      if (!resolve(key).isString()) reasonKeys.push_back(resolve(key));
    }
  }
  EXPECT_EQ(reasonKeys, (std::vector<platform::Value>{platform::Value(2), platform::Value(5)}));
  auto back = std::dynamic_pointer_cast<VDTCORLogSourceMetrics>(
      VDTCORUnarchiveData(kVDTCORLogSourceMetricsClassName, *data, &error));
  ASSERT_TRUE(back) << error.description();
  EXPECT_TRUE(back->isEqualToLogSourceMetrics(*metrics));

  // As an earlier build wrote them.
  data = VDTCORArchiveObject(std::make_shared<PlainCounter>(platform::Value::dictionary(
                                 {{"137", platform::Value::dictionary({{"2", 4}, {"5", 1}})}})),
                             {}, &error);
  ASSERT_TRUE(data);
  back = std::dynamic_pointer_cast<VDTCORLogSourceMetrics>(
      VDTCORUnarchiveData(kVDTCORLogSourceMetricsClassName, *data, &error));
  ASSERT_TRUE(back) << error.description();
  EXPECT_TRUE(back->isEqualToLogSourceMetrics(*metrics));
}

}  // namespace
}  // namespace transport_tests
