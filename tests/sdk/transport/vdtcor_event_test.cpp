#include "sdk/transport/core/vdtcor_event.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/foundation/keyed_archive.h"
#include "platform/foundation/system_info.h"
#include "platform/runloop/clock.h"
#include "platform/testing/testing.h"
#include "sdk/transport/core/vdtcor_clock.h"
#include "sdk/transport/core/vdtcor_platform.h"
#include "transport_fixture.h"

namespace transport_tests {
namespace {

std::shared_ptr<VDTCORClock> clockWith(std::int64_t millis, std::int64_t offset, std::int64_t boot, std::int64_t up) {
  auto clock = std::make_shared<VDTCORClock>();
  clock->setTimeMillis(millis);
  clock->setTimezoneOffsetSeconds(offset);
  clock->setKernelBootTimeNanoseconds(boot);
  clock->setUptimeNanoseconds(up);
  return clock;
}

std::shared_ptr<VDTCOREvent> roundTrip(const std::shared_ptr<VDTCOREvent>& event, platform::Error* error) {
  auto data = VDTCORArchiveObject(event, {}, error);
  if (!data) return nullptr;
  return std::dynamic_pointer_cast<VDTCOREvent>(VDTCORUnarchiveData(kVDTCOREventClassName, *data, error));
}

TEST(VDTCOREventTest, InvalidMappingIDOrTargetGivesNoEventAndLogsTheAssertion) {
  struct Case {
    std::string mappingID;
    VDTCORTarget target;
    const char* message;
  };
  for (const Case& c : {Case{"", 1001, "Please give a valid mapping ID"},
                        Case{"137", 0, "A target cannot be negative or 0"},
                        Case{"137", -5, "A target cannot be negative or 0"}}) {
    platform::testing::LogCapture log;
    EXPECT_EQ(VDTCOREvent::initWithMappingID(c.mappingID, c.target), nullptr) << c.mappingID << " " << c.target;
    EXPECT_TRUE(log.contains("[VidezuDataTransport][I-VDTCOR001006]")) << c.message;
    EXPECT_TRUE(log.contains(c.message));
  }
}

TEST(VDTCOREventTest, NewEventsHaveDistinctThirtyTwoCharacterIDsTierThreeAndSevenDaysToLive) {
  auto first = makeEvent("137", 1001);
  auto second = makeEvent("137", 1001);
  for (const auto& event : {first, second}) {
    EXPECT_EQ(event->eventID().size(), 32u);
    EXPECT_EQ(event->eventID().find('-'), std::string::npos);
  }
  EXPECT_NE(first->eventID(), second->eventID());
  auto fresh = VDTCOREvent::initWithMappingID("137", 1001);
  EXPECT_EQ(fresh->qosTier(), 3);
  EXPECT_EQ(fresh->expirationDate(), platform::Date::now().addingTimeInterval(604800));
}

TEST(VDTCOREventTest, DataObjectFillsThePayloadBytesEachTimeItIsSet) {
  auto event = makeEvent("137", 1001, 3, "abc");
  EXPECT_EQ(event->serializedDataObjectBytes(), bytesOf("abc"));
  event->setDataObject(std::make_shared<BytesObject>(std::nullopt));
  EXPECT_FALSE(event->serializedDataObjectBytes());
}

TEST(VDTCOREventTest, CopyKeepsIdentityAndTakesAFreshExpiration) {
  auto event = makeEvent("1206", 1002, 4, "report");
  event->setClockSnapshot(clockWith(1, 2, 3, 4));
  event->setCustomBytes(bytesOf("{}"));
  platform::testing::advance(10);
  auto copy = event->copy();
  EXPECT_EQ(copy->eventID(), event->eventID());
  EXPECT_EQ(copy->qosTier(), 4);
  EXPECT_EQ(copy->serializedDataObjectBytes(), bytesOf("report"));
  EXPECT_EQ(copy->customBytes(), bytesOf("{}"));
  EXPECT_TRUE(copy->clockSnapshot()->isEqual(*event->clockSnapshot()));
  EXPECT_EQ(copy->expirationDate(), event->expirationDate().addingTimeInterval(10));
  EXPECT_TRUE(copy->isEqual(*event));
}

// Counts how often its bytes are made.
class CountingObject final : public VDTCOREventDataObject {
 public:
  std::optional<platform::Data> transportBytes() const override {
    ++calls;
    return bytesOf("payload");
  }
  mutable int calls = 0;
};

TEST(VDTCOREventTest, ACopySharesThePayloadAndEachKeepsItsOwnLaterChanges) {
  auto object = std::make_shared<CountingObject>();
  auto event = VDTCOREvent::initWithMappingID("137", 1001);
  event->setDataObject(object);
  auto copy = event->copy();
  EXPECT_EQ(object->calls, 1);
  EXPECT_EQ(copy->dataObject(), object);
  EXPECT_EQ(copy->serializedDataObjectBytes()->data(), event->serializedDataObjectBytes()->data());

  event->setSerializedDataObjectBytes(bytesOf("changed"));
  EXPECT_EQ(copy->serializedDataObjectBytes(), bytesOf("payload"));
  copy->setSerializedDataObjectBytes(std::nullopt);
  EXPECT_EQ(event->serializedDataObjectBytes(), bytesOf("changed"));
}

TEST(VDTCOREventTest, CopyOfAnEventWithoutDataObjectKeepsItsPayload) {
  // Read back from disk, an event has bytes but no object to recompute them from.
  auto event = VDTCOREvent::initWithMappingID("137", 1001);
  event->setSerializedDataObjectBytes(bytesOf("kept"));
  EXPECT_EQ(event->copy()->serializedDataObjectBytes(), bytesOf("kept"));
}

TEST(VDTCOREventTest, EqualityAsksForEveryIdentifyingField) {
  auto base = makeEvent("137", 1001, 3, "abc");
  base->setClockSnapshot(clockWith(1, 2, 3, 4));
  auto same = base->copy();
  same->setExpirationDate(platform::Date::fromTimeIntervalSince1970(5));
  same->setCustomBytes(bytesOf("other"));
  EXPECT_TRUE(base->isEqual(*same));

  struct Case {
    const char* field;
    std::function<void(VDTCOREvent&)> change;
  };
  const std::vector<Case> cases = {
      {"eventID", [](VDTCOREvent& e) { e.setEventID(VDTCOREvent::nextEventID()); }},
      {"mappingID", [](VDTCOREvent& e) { e.setMappingID("138"); }},
      {"target", [](VDTCOREvent& e) { e.setTarget(1002); }},
      {"qosTier", [](VDTCOREvent& e) { e.setQosTier(4); }},
      {"clock", [](VDTCOREvent& e) { e.setClockSnapshot(clockWith(1, 2, 3, 5)); }},
      {"bytes", [](VDTCOREvent& e) { e.setSerializedDataObjectBytes(bytesOf("abd")); }},
  };
  for (const Case& c : cases) {
    auto other = base->copy();
    c.change(*other);
    EXPECT_FALSE(base->isEqual(*other)) << c.field;
  }
}

TEST(VDTCOREventTest, EventsWithTheSameHashStayApartInASet) {
  // Target and tier are mixed into the hash by exclusive-or, so swapping them keeps the hash.
  auto a = makeEvent("137", 3, 1001);
  auto b = a->copy();
  b->setTarget(1001);
  b->setQosTier(3);
  ASSERT_EQ(a->hash(), b->hash());
  EXPECT_FALSE(a->isEqual(*b));
  VDTCOREventSet set{a, b};
  EXPECT_EQ(set.size(), 2u);
}

TEST(VDTCOREventTest, ArchiveRoundTripKeepsEveryArchivedField) {
  auto event = makeEvent("1206", 1002, 4, "report");
  event->setClockSnapshot(clockWith(1'780'000'000'000, 3600, 1'700'000'000'000'000'000, 42));
  event->setCustomBytes(bytesOf("{\"a\":1}"));
  platform::Error error;
  auto back = roundTrip(event, &error);
  ASSERT_TRUE(back) << error.description();
  EXPECT_TRUE(back->isEqual(*event));
  EXPECT_EQ(back->expirationDate(), event->expirationDate());
  EXPECT_EQ(back->customBytes(), event->customBytes());
  EXPECT_EQ(back->clockSnapshot()->uptimeNanoseconds(), 42);
  EXPECT_FALSE(back->dataObject());
}

TEST(VDTCOREventTest, AnArchiveWithoutPayloadDecodesToNothing) {
  auto event = makeEvent("137", 1001);
  event->setDataObject(std::make_shared<BytesObject>(std::nullopt));
  platform::Error error;
  EXPECT_FALSE(roundTrip(event, &error));
  EXPECT_TRUE(error.isSet());
}

// Writes an event archive as an older writer might have: without an event ID.
class EventWithoutID final : public platform::Codable {
 public:
  std::string className() const override { return std::string(kVDTCOREventClassName); }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject(platform::Value("137"), kVDTCOREventMappingIDKey);
    coder.encodeInteger(1001, kVDTCOREventTargetKey);
    coder.encodeObject(platform::Value(bytesOf("x")), kVDTCOREventSerializedDataObjectBytesKey);
  }
};

TEST(VDTCOREventTest, AnArchiveWithoutEventIDGetsAFreshOne) {
  platform::Error error;
  auto data = VDTCORArchiveObject(std::make_shared<EventWithoutID>(), {}, &error);
  ASSERT_TRUE(data);
  auto event = std::dynamic_pointer_cast<VDTCOREvent>(VDTCORUnarchiveData(kVDTCOREventClassName, *data, &error));
  ASSERT_TRUE(event) << error.description();
  EXPECT_EQ(event->eventID().size(), 32u);
  EXPECT_EQ(event->mappingID(), "137");
  EXPECT_FALSE(event->clockSnapshot());
}

TEST(VDTCORClockTest, IsAfterPrefersTheBootTime) {
  struct Case {
    const char* name;
    std::shared_ptr<VDTCORClock> receiver, other;
    bool after;
  };
  const std::vector<Case> cases = {
      {"later boot, earlier wall time", clockWith(1000, 0, 20, 0), clockWith(9000, 0, 10, 0), true},
      {"earlier boot, later wall time", clockWith(9000, 0, 10, 0), clockWith(1000, 0, 20, 0), false},
      {"same boot, later wall time", clockWith(2000, 0, 10, 0), clockWith(1000, 0, 10, 0), true},
      {"same boot, same wall time", clockWith(2000, 0, 10, 0), clockWith(2000, 0, 10, 0), false},
      // Milliseconds and offset seconds are added as they stand.
      {"offset counts as milliseconds", clockWith(1000, 5, 10, 0), clockWith(1004, 0, 10, 0), true},
  };
  for (const Case& c : cases) EXPECT_EQ(c.receiver->isAfter(*c.other), c.after) << c.name;
}

TEST(VDTCORClockTest, SnapshotReadsThePlatformClock) {
  auto clock = VDTCORClock::snapshot();
  const double now = platform::Clock::current().now().timeIntervalSince1970();
  EXPECT_EQ(clock->timeMillis(), static_cast<std::int64_t>(now * 1000));
  EXPECT_GT(clock->kernelBootTimeNanoseconds(), 0);
  EXPECT_GE(clock->uptimeNanoseconds(), 0);
  EXPECT_EQ(clock->uptimeMilliseconds(), clock->uptimeNanoseconds() / 1'000'000);
  EXPECT_EQ(VDTCORClock::clockSnapshotInTheFuture(900'000)->timeMillis(), clock->timeMillis() + 900'000);
}

// A clock archive with none of the clock's keys.
class EmptyClock final : public platform::Codable {
 public:
  std::string className() const override { return std::string(kVDTCORClockClassName); }
  void encodeWithCoder(platform::KeyedArchiver&) const override {}
};

TEST(VDTCORClockTest, ArchiveRoundTripAndMissingKeysDecodeAsZero) {
  platform::Error error;
  auto clock = clockWith(-1, 2, 3, 4);
  auto data = VDTCORArchiveObject(clock, {}, &error);
  ASSERT_TRUE(data);
  auto back = std::dynamic_pointer_cast<VDTCORClock>(VDTCORUnarchiveData(kVDTCORClockClassName, *data, &error));
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->isEqual(*clock));

  data = VDTCORArchiveObject(std::make_shared<EmptyClock>(), {}, &error);
  back = std::dynamic_pointer_cast<VDTCORClock>(VDTCORUnarchiveData(kVDTCORClockClassName, *data, &error));
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->isEqual(*clockWith(0, 0, 0, 0)));
}

TEST(VDTCORPlatformTest, UnarchivingAnotherClassFailsWithAnError) {
  platform::Error error;
  auto path = VDTCORStorageRootURL() / "clock";
  ASSERT_TRUE(VDTCORArchiveObject(clockWith(1, 2, 3, 4), path, &error));
  EXPECT_FALSE(VDTCORUnarchiveObject<VDTCOREvent>(kVDTCOREventClassName, path, &error));
  EXPECT_TRUE(error.isSet());
  error = platform::Error();
  EXPECT_TRUE(VDTCORUnarchiveObject<VDTCORClock>(kVDTCORClockClassName, path, &error));
}

TEST(VDTCORPlatformTest, HardwareModelIsTheKernelsMachineName) {
  EXPECT_EQ(VDTCORHardwareModel(), platform::SystemInfo::machine().value_or(platform::SystemInfo::model()));
}

TEST(VDTCORPlatformTest, RootDirectoryIsMadeOnceAndAgainByTheFirstWriteAfterARemoval) {
  const auto root = VDTCORStorageRootURL();
  EXPECT_EQ(root, platform::Home::caches() / "videzu-sdks-events");
  EXPECT_TRUE(std::filesystem::is_directory(root));
  const auto creations = VDTCORDirectoryCreationsForTesting();
  VDTCORStorageRootURL();
  EXPECT_EQ(VDTCORDirectoryCreationsForTesting(), creations);

  std::filesystem::remove_all(root);
  platform::Error error;
  EXPECT_TRUE(VDTCORWriteFile(bytesOf("x"), VDTCORStorageRootURL() / "a" / "file", &error)) << error.description();
  EXPECT_TRUE(std::filesystem::is_regular_file(root / "a" / "file"));
}

TEST(VDTCORPlatformTest, DirectoriesMadeAndForgottenFromManyThreadsAllExist) {
  // Real threads: the record of made directories is shared by every queue that writes.
  const auto root = VDTCORStorageRootURL();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([root, t] {
      for (int i = 0; i < 50; ++i) {
        const auto path = root / std::to_string(i % 5) / std::to_string(t);
        if (i % 7 == 0) {
          std::filesystem::remove_all(path);
          VDTCORForgetCreatedDirectories();
        }
        platform::Error error;
        EXPECT_TRUE(VDTCORWriteFile(bytesOf("x"), path / "file", &error)) << error.description();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < 5; ++i) {
    for (int t = 0; t < 8; ++t) EXPECT_TRUE(std::filesystem::is_regular_file(root / std::to_string(i) / std::to_string(t) / "file"));
  }
}

TEST(VDTCORPlatformTest, WriteFileRefusesAnEmptyPathAndCreatesParents) {
  platform::Error error;
  EXPECT_FALSE(VDTCORWriteFile(bytesOf("x"), {}, &error));
  const auto path = VDTCORStorageRootURL() / "a" / "b" / "file";
  EXPECT_TRUE(VDTCORWriteFile(bytesOf("x"), path, &error));
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
}

}  // namespace
}  // namespace transport_tests
