#include "sdk/transport/core/vdtcor_flat_file_storage.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>

#include "platform/foundation/exception.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/home.h"
#include "platform/foundation/strings.h"
#include "sdk/transport/core/vdtcor_directory_size_tracker.h"
#include "sdk/transport/core/vdtcor_log_source_metrics.h"
#include "sdk/transport/core/vdtcor_metrics.h"
#include "sdk/transport/core/vdtcor_platform.h"
#include "sdk/transport/core/vdtcor_storage_event_selector.h"
#include "sdk/transport/core/vdtcor_transport.h"
#include "sdk/transport/core/vdtcor_upload_batch.h"
#include "transport_fixture.h"

namespace transport_tests {
namespace {

namespace fs = std::filesystem;

void writeRaw(const fs::path& path, std::string_view bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

platform::Data readRaw(const fs::path& path) {
  return platform::FileManager::defaultManager().contentsAtPath(path).value_or(platform::Data{});
}

std::set<std::string> idsOf(const VDTCOREventSet& events) {
  std::set<std::string> ids;
  for (const auto& e : events) ids.insert(e->eventID());
  return ids;
}

std::int64_t readCounter(const platform::Data& bytes) {
  return static_cast<std::int32_t>(std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                                   std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24);
}

fs::path counterPath() {
  return VDTCORFlatFileStorage::libraryDataStoragePath() / kVDTCORFlatFileStorageBatchIDCounterKey;
}

using VDTCORFlatFileStorageTest = TransportTest;

TEST_F(VDTCORFlatFileStorageTest, EventFileNamesCarryIDTierWholeExpirySecondsAndEscapedMappingID) {
  struct Case {
    VDTCORTarget target;
    std::int64_t tier;
    double expiry;
    std::string seconds;
    std::string mappingID;
    std::string escaped;
  };
  for (const Case& c : {Case{1002, 4, 1'780'604'800.9, "1780604800", "1206", "1206"},
                        Case{1001, 0, 1'780'604'801.0, "1780604801", "a b-c", "a%20b-c"},
                        Case{999, 5, 12.5, "12", "x/../y", "x%2F%2E%2E%2Fy"},
                        Case{999, 3, -5, "0", "137", "137"},
                        // Beyond what the parser reads back: the largest value it does read.
                        Case{1001, 3, 1e300, "9223372036854775807", "137", "137"}}) {
    const fs::path path = VDTCORFlatFileStorage::pathForTarget(c.target, "0123abcd", c.tier,
                                                               platform::Date::fromTimeIntervalSince1970(c.expiry),
                                                               c.mappingID);
    const std::string name = "0123abcd-" + std::to_string(c.tier) + "-" + c.seconds + "-" + c.escaped;
    EXPECT_EQ(path, VDTCORFlatFileStorage::eventDataStoragePath() / std::to_string(c.target) / name);
    auto components = VDTCORFlatFileStorage::eventComponentsFromFilename(name);
    ASSERT_TRUE(components) << name;
    EXPECT_EQ(components->eventID, "0123abcd");
    EXPECT_EQ(components->qosTier, c.tier);
    EXPECT_EQ(components->expiration.timeIntervalSince1970(), std::stod(c.seconds)) << name;
    EXPECT_EQ(platform::strings::removingPercentEncoding(components->mappingID), c.mappingID);
  }
}

TEST_F(VDTCORFlatFileStorageTest, NamesThatAreNotEventOrBatchNamesDoNotParse) {
  for (std::string_view name : {"abc-3-100", "abc-x-100-137", "abc-3-1e9-137", "-3-100-137", "1002"}) {
    EXPECT_FALSE(VDTCORFlatFileStorage::eventComponentsFromFilename(name)) << name;
  }
  for (std::string_view name : {"1002-7", "1002-7-100-1", "x-7-100", "1002-y-100", "1002-7-soon"}) {
    EXPECT_FALSE(VDTCORFlatFileStorage::batchComponentsFromFilename(name)) << name;
  }
  auto batch = VDTCORFlatFileStorage::batchComponentsFromFilename("1002-7-100.5");
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->target, 1002);
  EXPECT_EQ(batch->batchID, 7);
  EXPECT_EQ(batch->expiration.timeIntervalSince1970(), 100.5);
}

TEST_F(VDTCORFlatFileStorageTest, StoringWritesOneFileAndATierFourEventForcesAnUpload) {
  auto uploader = std::make_shared<FakeUploader>();
  VDTCORRegistrar::sharedInstance()->registerUploader(uploader, 1002);
  auto event = makeEvent("1206", 1002, 4);
  event->setExpirationDate(platform::Date::fromTimeIntervalSince1970(1'780'604'800.9));

  auto [written, error] = store(event);
  EXPECT_TRUE(written);
  EXPECT_FALSE(error.isSet());
  EXPECT_EQ(fileNames(targetDirectory(1002)),
            std::vector<std::string>{event->eventID() + "-4-1780604800-1206"});
  EXPECT_EQ(uploader->uploads(), (std::vector<std::pair<VDTCORTarget, VDTCORUploadConditions>>{{1002, 4 | 16}}));

  uploader->clear();
  EXPECT_TRUE(store(makeEvent("1206", 1002, 3)).first);
  EXPECT_TRUE(uploader->uploads().empty());
}

TEST_F(VDTCORFlatFileStorageTest, EventsThatCannotBeStoredAreRefusedWithoutAFile) {
  auto noBytes = makeEvent("137", 1001);
  noBytes->setDataObject(std::make_shared<BytesObject>(std::nullopt));
  auto escapingID = makeEvent("137", 1001);
  escapingID->setEventID("../../escape");
  auto negativeTier = makeEvent("137", 1001, -1);
  struct Case {
    const char* name;
    std::shared_ptr<VDTCOREvent> event;
  };
  for (const Case& c : {Case{"none", nullptr}, Case{"no payload", noBytes}, Case{"unsafe ID", escapingID},
                        Case{"negative tier", negativeTier}}) {
    auto [written, error] = store(c.event);
    EXPECT_FALSE(written) << c.name;
    EXPECT_EQ(error.code(), -1) << c.name;
    EXPECT_EQ(error.domain(), platform::kInternalInconsistencyException) << c.name;
  }
  EXPECT_TRUE(fileNames(targetDirectory(1001)).empty());
  EXPECT_FALSE(fs::exists(VDTCORFlatFileStorage::eventDataStoragePath().parent_path().parent_path() / "escape"));
}

TEST_F(VDTCORFlatFileStorageTest, TheSizeLimitRefusesTheEventThatWouldPassItAndCountsTheDrop) {
  auto event = makeEvent("137", 1001, 3);
  platform::Error error;
  const auto archive = VDTCORArchiveObject(event, {}, &error);
  ASSERT_TRUE(archive);
  struct Case {
    std::uint64_t alreadyStored;
    bool accepted;
  };
  // Exactly the limit is accepted; one byte more is not.
  for (const Case& c : {Case{kVDTCORFlatFileStorageSizeLimit - archive->size(), true},
                        Case{kVDTCORFlatFileStorageSizeLimit - archive->size() + 1, false}}) {
    restart();
    fs::remove_all(VDTCORStorageRootURL());
    writeRaw(VDTCORStorageRootURL() / "filler", std::string(c.alreadyStored, 'f'));
    auto delegate = std::make_shared<RecordingDelegate>();
    storage()->setDelegate(delegate);

    auto [written, storeError] = store(event);
    EXPECT_EQ(written, c.accepted);
    EXPECT_EQ(fileNames(targetDirectory(1001)).size(), c.accepted ? 1u : 0u);
    if (!c.accepted) {
      EXPECT_EQ(storeError.domain(), kVDTCORFlatFileStorageErrorDomain);
      EXPECT_EQ(storeError.code(), 0);
      EXPECT_EQ(storeError.localizedFailureReason(), "Storage size limit has been reached.");
      ASSERT_EQ(delegate->dropped.size(), 1u);
      EXPECT_EQ(delegate->dropped[0]->eventID(), event->eventID());
    } else {
      EXPECT_TRUE(delegate->dropped.empty());
    }
  }
}

// What the storage keeps, an upload carries: an event too large for an upload is refused when it
// is stored (its producer hears so and keeps its data), and a file too large already in the pool
// is removed when met, so it can neither wait there for ever nor keep the storage full.
TEST_F(VDTCORFlatFileStorageTest, EventsNoUploadWouldCarryAreRefusedAndOnesAlreadyStoredAreRemoved) {
  struct Case {
    const char* name;
    std::uint64_t payloadBytes;
    bool stored;
  };
  for (const Case& c : {Case{"the largest payload promised", kVDTCORMaxEventPayloadBytes, true},
                        Case{"a payload the size of the archive limit", kVDTCORMaxEventArchiveBytes, false},
                        Case{"a payload past the archive limit", kVDTCORMaxEventArchiveBytes + 1, false}}) {
    restart();
    fs::remove_all(VDTCORStorageRootURL());
    auto delegate = std::make_shared<RecordingDelegate>();
    storage()->setDelegate(delegate);
    auto event = makeEvent("1206", 1002, 4, std::string(c.payloadBytes, 'p'));
    auto [written, error] = store(event);
    EXPECT_EQ(written, c.stored) << c.name;
    EXPECT_EQ(fileNames(targetDirectory(1002)).size(), c.stored ? 1u : 0u) << c.name;
    if (c.stored) {
      EXPECT_LE(fs::file_size(targetDirectory(1002) / fileNames(targetDirectory(1002))[0]), kVDTCORMaxEventArchiveBytes);
      auto [batchID, events] = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1002));
      ASSERT_TRUE(events) << c.name;
      EXPECT_EQ(idsOf(*events), std::set<std::string>{event->eventID()}) << c.name;
    } else {
      EXPECT_EQ(error.domain(), kVDTCORFlatFileStorageErrorDomain) << c.name;
      EXPECT_EQ(error.code(), kVDTCORFlatFileStorageEventTooLargeErrorCode) << c.name;
      // Not dropped: the producer still holds it.
      EXPECT_TRUE(delegate->dropped.empty()) << c.name;
    }
  }

  // Left by a version that stored such events: one file in the pool's tier, one in another tier
  // that only the sweep meets; both together keep the storage full.
  restart();
  fs::remove_all(VDTCORStorageRootURL());
  const std::string tooLarge(kVDTCORMaxEventArchiveBytes + 1, 'x');
  const fs::path inBatchTier = targetDirectory(1002) / (VDTCOREvent::nextEventID() + "-4-9999999999-1206");
  const fs::path inOtherTier = targetDirectory(1002) / (VDTCOREvent::nextEventID() + "-0-9999999999-1206");
  writeRaw(inBatchTier, tooLarge);
  writeRaw(inOtherTier, "");
  fs::resize_file(inOtherTier, kVDTCORFlatFileStorageSizeLimit);
  restart();
  EXPECT_FALSE(store(makeEvent("137", 1001)).first) << "the planted files fill the storage";
  platform::testing::LogCapture log;
  auto [batchID, events] = batch(VDTCORStorageEventSelector::initWithTarget(1002, std::nullopt, std::nullopt,
                                                                             std::set<std::int64_t>{4}));
  EXPECT_FALSE(events);
  EXPECT_FALSE(fs::exists(inBatchTier));
  EXPECT_TRUE(fs::exists(inOtherTier));
  storage()->checkForExpirations();
  platform::testing::runUntilIdle();
  EXPECT_FALSE(fs::exists(inOtherTier));
  EXPECT_TRUE(log.contains("can never be uploaded"));
  EXPECT_TRUE(store(makeEvent("137", 1001)).first) << "the storage has room again";
}

TEST_F(VDTCORFlatFileStorageTest, ARefusedEventIsCountedByTheMetricsControllerAsReasonTwo) {
  writeRaw(VDTCORStorageRootURL() / "filler", std::string(kVDTCORFlatFileStorageSizeLimit, 'f'));
  EXPECT_FALSE(store(makeEvent("137", 1001)).first);
  auto metrics = settled(VDTCORMetricsController::sharedInstance()->getAndResetMetrics());
  platform::testing::runUntilIdle();
  ASSERT_TRUE(metrics->isFulfilled()) << metrics->description();
  EXPECT_EQ(metrics->value().value()->logSourceMetrics()->droppedEventCounterByLogSource(),
            (VDTCORLogSourceMetrics::Counter{{"137", {{2, 1}}}}));
}

TEST_F(VDTCORFlatFileStorageTest, LibraryDataIsKeptAndAReplacementIsCountedOnce) {
  auto size = [] {
    auto result = std::make_shared<std::uint64_t>(0);
    storage()->storageSizeWithCallback([result](std::uint64_t s) { *result = s; });
    platform::testing::runUntilIdle();
    return *result;
  };
  auto fetch = [](const std::string& key, VDTCORStorageProtocol::NewValueBlock newValue = {}) {
    auto result = std::make_shared<std::optional<platform::Data>>();
    storage()->libraryDataForKey(
        key, [result](const std::optional<platform::Data>& data, const platform::Error&) { *result = data; },
        std::move(newValue));
    platform::testing::runUntilIdle();
    return *result;
  };
  auto error = std::make_shared<platform::Error>();
  storage()->storeLibraryData(platform::Data{}, "key", [error](const platform::Error& e) { *error = e; });
  EXPECT_EQ(error->code(), -1);
  EXPECT_FALSE(fs::exists(VDTCORFlatFileStorage::libraryDataStoragePath() / "key"));

  storage()->storeLibraryData(platform::Data(10, 1), "key", {});
  EXPECT_EQ(size(), 10u);
  storage()->storeLibraryData(platform::Data(20, 2), "key", {});
  EXPECT_EQ(size(), 20u);
  EXPECT_EQ(fetch("key", [] { return platform::Data(5, 3); }), platform::Data(20, 2));
  EXPECT_EQ(fetch("key"), platform::Data(5, 3));
  EXPECT_EQ(size(), 5u);
  EXPECT_FALSE(fetch("missing"));

  storage()->removeLibraryDataForKey("key", {});
  EXPECT_EQ(size(), 0u);
  EXPECT_FALSE(fetch("key"));
}

TEST_F(VDTCORFlatFileStorageTest, SentEventsAreBatchedByTargetAndTierAndReturnedOrRemoved) {
  std::map<std::pair<VDTCORTarget, std::int64_t>, std::shared_ptr<VDTCOREvent>> stored;
  auto written = std::make_shared<std::atomic<int>>(0);
  auto count = [written](bool ok, const platform::Error&) { *written += ok ? 1 : 0; };
  for (VDTCORTarget target : {1001, 1002}) {
    auto transport = VDTCORTransport::initWithMappingID(target == 1001 ? "137" : "1206", {}, target);
    for (std::int64_t tier : {1, 2, 3, 4, 5}) {
      auto event = transport->eventForTransport();
      event->setQosTier(tier);
      event->setDataObject(std::make_shared<BytesObject>(bytesOf("payload")));
      tier == 1 ? transport->sendTelemetryEvent(event, count) : transport->sendDataEvent(event, count);
      stored[{target, tier}] = event;
    }
  }
  platform::testing::runUntilIdle();
  ASSERT_EQ(*written, 10);
  auto idsFor = [&](VDTCORTarget target, std::set<std::int64_t> tiers) {
    std::set<std::string> ids;
    for (std::int64_t tier : tiers) ids.insert(stored[{target, tier}]->eventID());
    return ids;
  };
  struct Case {
    const char* name;
    std::shared_ptr<VDTCORStorageEventSelector> selector;
    std::set<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"wifi tiers of 1002", VDTCORStorageEventSelector::initWithTarget(1002, std::nullopt, std::nullopt,
                                                                         std::set<std::int64_t>{4, 5, 3, 1, 0}),
       idsFor(1002, {1, 3, 4, 5})},
      {"cellular tiers of 1001",
       VDTCORStorageEventSelector::initWithTarget(1001, std::nullopt, std::nullopt, std::set<std::int64_t>{4, 3}),
       idsFor(1001, {3, 4})},
      {"every event of 1001", VDTCORStorageEventSelector::eventSelectorForTarget(1001), idsFor(1001, {1, 2, 3, 4, 5})},
      {"by mapping ID", VDTCORStorageEventSelector::initWithTarget(1002, std::nullopt, std::set<std::string>{"1206"},
                                                                   std::set<std::int64_t>{}),
       idsFor(1002, {1, 2, 3, 4, 5})},
      {"by event ID",
       VDTCORStorageEventSelector::initWithTarget(1002, std::set<std::string>{stored[{1002, 2}]->eventID()},
                                                  std::nullopt, std::nullopt),
       idsFor(1002, {2})},
  };
  for (const Case& c : cases) {
    restart();
    auto [batchID, events] = batch(c.selector);
    ASSERT_TRUE(batchID && events) << c.name;
    EXPECT_EQ(idsOf(*events), c.expected) << c.name;
    for (const auto& e : *events) {
      const auto& sent = stored[{e->target(), e->qosTier()}];
      EXPECT_EQ(e->eventID(), sent->eventID()) << c.name;
      EXPECT_EQ(e->serializedDataObjectBytes(), sent->serializedDataObjectBytes()) << c.name;
    }
    const auto batchDirectory = VDTCORFlatFileStorage::batchPathForTarget(
        c.selector->selectedTarget(), *batchID, platform::Date::now().addingTimeInterval(600));
    EXPECT_EQ(fileNames(batchDirectory).size(), c.expected.size()) << c.name;

    // Given back: the same names are in the pool again.
    const auto before = fileNames(batchDirectory);
    settled(storage()->removeBatchWithID(*batchID, false));
    EXPECT_FALSE(fs::exists(batchDirectory)) << c.name;
    for (const auto& name : before) EXPECT_TRUE(fs::exists(targetDirectory(c.selector->selectedTarget()) / name));
  }

  // Sent: deleted for good.
  auto [batchID, events] = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1002));
  ASSERT_TRUE(batchID);
  settled(storage()->removeBatchWithID(*batchID, true));
  EXPECT_TRUE(fileNames(targetDirectory(1002)).empty());
  EXPECT_TRUE(fileNames(VDTCORFlatFileStorage::batchDataStoragePath()).empty());
  EXPECT_EQ(fileNames(targetDirectory(1001)).size(), 5u);
}

// An event stored once per ID and handed over again (a hand-off cut short and made again, with an
// expiry of its own): wherever the first one is, pending, in a batch, given back or delivered, the
// storage holds at most that one, and the second store succeeds too.
TEST_F(VDTCORFlatFileStorageTest, AnEventStoredOncePerIDIsHeldOnceWhereverTheFirstStoreIsNow) {
  auto batchAll = [] { return batch(VDTCORStorageEventSelector::eventSelectorForTarget(1002)).first; };
  // The files of the ID that target 1002 holds, in the pool and in batches.
  auto heldFilesOfID = [](const std::string& eventID) {
    std::size_t held = 0;
    auto count = [&](const fs::path& directory) {
      for (const auto& name : fileNames(directory)) held += name.starts_with(eventID + "-") ? 1 : 0;
    };
    count(targetDirectory(1002));
    for (const auto& name : fileNames(VDTCORFlatFileStorage::batchDataStoragePath())) {
      count(VDTCORFlatFileStorage::batchDataStoragePath() / name);
    }
    return held;
  };
  struct Case {
    const char* name;
    std::function<void()> meanwhile;
    std::size_t held;
  };
  const std::vector<Case> cases = {
      {"pending", [] {}, 1},
      {"in a batch", [&] { ASSERT_TRUE(batchAll()); }, 1},
      {"given back", [&] { settled(storage()->removeBatchWithID(batchAll().value_or(-1), false)); }, 1},
      {"delivered", [&] { settled(storage()->removeBatchWithID(batchAll().value_or(-1), true)); }, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    // Whatever the case before left is delivered first.
    settled(storage()->removeAllBatchesForTarget(1002, true));
    if (auto left = batchAll()) settled(storage()->removeBatchWithID(*left, true));
    const std::string eventID = "0123456789abcdef0123456789abcde" + std::to_string(n++);
    auto first = makeEvent("1206", 1002);
    first->setEventID(eventID);
    first->setStoredOncePerID(true);
    ASSERT_TRUE(store(first).first) << c.name;
    c.meanwhile();
    auto again = first->copy();
    again->setExpirationDate(first->expirationDate().addingTimeInterval(60));
    const auto [written, error] = store(again);
    EXPECT_TRUE(written) << c.name;
    EXPECT_FALSE(error.isSet()) << c.name;
    EXPECT_EQ(heldFilesOfID(eventID), c.held) << c.name;
  }
  // Without the flag an event is stored as given, even under an ID delivered before.
  auto plain = makeEvent("1206", 1002);
  plain->setEventID("0123456789abcdef0123456789abcde0");
  ASSERT_TRUE(store(plain).first);
  EXPECT_EQ(heldFilesOfID(plain->eventID()), 1u);
}

// Only a regular file that reads back as the event holds its ID: whatever else stands under an
// event file's name of that ID, in the pool or in a batch, is removed with an error-level line, and
// the event is stored (a link's target untouched, no FIFO waited on).
TEST_F(VDTCORFlatFileStorageTest, AnEventStoredOncePerIDIsStoredOverAnythingElseUnderItsName) {
  const fs::path outside = fs::path(platform::Home::path()) / "outside";
  fs::create_directories(outside);
  struct Case {
    const char* name;
    std::function<void(const fs::path& planted, const std::shared_ptr<VDTCOREvent>& event)> plant;
  };
  const std::vector<Case> cases = {
      {"bytes that are no event", [](const fs::path& planted, auto) { writeRaw(planted, "not an archive"); }},
      {"an empty file", [](const fs::path& planted, auto) { writeRaw(planted, ""); }},
      {"a directory", [](const fs::path& planted, auto) { writeRaw(planted / "inside", "x"); }},
      {"a link to the event itself",
       [&outside](const fs::path& planted, const std::shared_ptr<VDTCOREvent>& event) {
         platform::Error error;
         ASSERT_TRUE(VDTCORArchiveObject(event, outside / planted.filename(), &error)) << error.description();
         fs::create_directories(planted.parent_path());
         fs::create_symlink(outside / planted.filename(), planted);
       }},
      {"a FIFO", [](const fs::path& planted, auto) { fs::create_directories(planted.parent_path()); }},
  };
  int n = 0;
  for (const bool inBatch : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (inBatch ? " in a batch" : " in the pool"));
      auto event = makeEvent("1206", 1002);
      event->setEventID("0123456789abcdef0123456789abc" + std::to_string(100 + n++));
      event->setStoredOncePerID(true);
      const fs::path directory =
          inBatch ? VDTCORFlatFileStorage::batchDataStoragePath() / "1002-900-4102444800" : targetDirectory(1002);
      const fs::path planted = directory / (event->eventID() + "-3-1-1206");
      c.plant(planted, event);
      std::optional<platform::testing::PlantedFifos> fifo;
      if (std::string_view(c.name) == "a FIFO") {
        fifo.emplace(std::vector<fs::path>{planted}, 5);
        ASSERT_TRUE(fifo->planted());
      }
      platform::testing::LogCapture log;
      const auto [written, error] = store(event);
      EXPECT_TRUE(written);
      EXPECT_FALSE(error.isSet());
      EXPECT_TRUE(log.contains("holds no event; removed"));
      if (fifo) EXPECT_FALSE(fifo->finish()) << "the storage waited on the FIFO";
      EXPECT_EQ(fs::symlink_status(planted).type(), fs::file_type::not_found);
      auto [batchID, events] = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1002));
      ASSERT_TRUE(events);
      EXPECT_EQ(idsOf(*events), std::set<std::string>{event->eventID()});
      settled(storage()->removeAllBatchesForTarget(1002, true));
    }
  }
  EXPECT_EQ(fileNames(outside).size(), 2u) << "the link's target stays";
}

// Killed once the delivered IDs are written and before the delivered batch is deleted, a launch
// finds the batch and gives it back before its next upload: its events go, not back to the pool,
// and what another batch gives back stays.
TEST_F(VDTCORFlatFileStorageTest, ABatchGivenBackLeavesOutTheEventsRecordedAsDelivered) {
  auto delivered = makeEvent("1206", 1002);
  auto deliveredOnce = makeEvent("1206", 1002);
  deliveredOnce->setStoredOncePerID(true);
  ASSERT_TRUE(store(delivered).first);
  ASSERT_TRUE(store(deliveredOnce).first);
  auto [cutShort, sent] = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1002));
  ASSERT_TRUE(cutShort);
  const fs::path batchData = VDTCORFlatFileStorage::batchDataStoragePath();
  const fs::path left = fs::path(platform::Home::path()) / "left";
  fs::copy(batchData, left, fs::copy_options::recursive);
  settled(storage()->removeBatchWithID(*cutShort, true));
  fs::copy(left, batchData, fs::copy_options::recursive | fs::copy_options::skip_existing);
  auto pending = makeEvent("1206", 1002);
  ASSERT_TRUE(store(pending).first);
  ASSERT_TRUE(batch(VDTCORStorageEventSelector::eventSelectorForTarget(1002)).first);

  settled(storage()->removeAllBatchesForTarget(1002, false));
  EXPECT_TRUE(fileNames(batchData).empty());
  auto [again, events] = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1002));
  ASSERT_TRUE(events);
  EXPECT_EQ(idsOf(*events), std::set<std::string>{pending->eventID()});
}

// A directory where the delivered IDs belong is replaced as the batch-ID counter's is: the IDs of
// the next delivered batch are kept, and an event stored once per ID is not stored again.
TEST_F(VDTCORFlatFileStorageTest, ADirectoryAtTheDeliveredIDsPathIsReplaced) {
  const fs::path list = VDTCORFlatFileStorage::libraryDataStoragePath() /
                        (std::string(kVDTCORDeliveredEventIDsKeyPrefix) + "1002");
  writeRaw(list / "inside", "x");
  auto event = makeEvent("1206", 1002);
  event->setStoredOncePerID(true);
  ASSERT_TRUE(store(event).first);
  platform::testing::LogCapture log;
  settled(storage()->removeBatchWithID(batch(VDTCORStorageEventSelector::eventSelectorForTarget(1002)).first.value_or(-1),
                                       true));
  EXPECT_TRUE(log.contains("A directory stood where the delivered event IDs belongs; removed"));
  EXPECT_FALSE(log.contains("could not be written"));
  const std::string ids = event->eventID() + "\n";
  EXPECT_EQ(readRaw(list), platform::Data(ids.begin(), ids.end()));
  const auto [written, error] = store(event->copy());
  EXPECT_TRUE(written);
  EXPECT_TRUE(fileNames(targetDirectory(1002)).empty());
}

// Each directory the storage makes is synced into its parent before a store in it completes: the
// event file's own directory sync keeps nothing whose directory's name a power cut loses.
TEST_F(VDTCORFlatFileStorageTest, ADirectoryTheStorageMakesIsSyncedIntoItsParent) {
  platform::FileOperationRecorder recorder;
  ASSERT_TRUE(store(makeEvent("137", 1003)).first);
  const auto operations = recorder.operations();
  const fs::path root = VDTCORStorageRootURL().lexically_normal();
  std::size_t made = 0;
  for (std::size_t i = 0; i < operations.size(); ++i) {
    const platform::FileOperation operation = operations[i].operation;
    const fs::path& path = operations[i].path;
    const auto [rootEnd, pathAt] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    if (operation != platform::FileOperation::MakeDirectory || rootEnd != root.end()) continue;
    ++made;
    EXPECT_TRUE(std::any_of(operations.begin() + static_cast<std::ptrdiff_t>(i) + 1, operations.end(),
                            [&](const platform::FileOperationRecord& later) {
                              return later.operation == platform::FileOperation::SyncDirectory &&
                                     later.path == path.parent_path();
                            }))
        << path;
  }
  EXPECT_GT(made, 0u) << "the target's directory is new";
}

TEST_F(VDTCORFlatFileStorageTest, BatchIDsCountUpFromZeroAndASelectorWithoutEventsUsesOneUp) {
  ASSERT_TRUE(store(makeEvent("137", 1001)).first);
  auto first = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  EXPECT_EQ(first.first, 0);
  EXPECT_EQ(readRaw(counterPath()), (platform::Data{1, 0, 0, 0}));

  auto promise = settled(storage()->batchWithEventSelector(VDTCORStorageEventSelector::eventSelectorForTarget(1003),
                                                           platform::Date::now()));
  ASSERT_TRUE(promise->isRejected());
  EXPECT_EQ(promise->error()->code(), -1);
  EXPECT_EQ(promise->error()->domain(), kVDTCORFlatFileStorageErrorDomain);
  EXPECT_EQ(promise->error()->localizedFailureReason(), "There are no events for the selector.");

  settled(storage()->removeBatchWithID(0, false));
  auto third = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  EXPECT_EQ(third.first, 2);
}

TEST_F(VDTCORFlatFileStorageTest, TheBatchIDCounterFileIsReadSafely) {
  struct Case {
    const char* name;
    std::optional<std::string> contents;  // none: no counter file
    std::vector<std::string> batchesOnDisk;
    std::optional<std::int64_t> handedOut;
    platform::Data counterAfter;
  };
  // A batch of another target still in flight: a counter that starts again must go on past it.
  const std::string inFlight = "1002-5-4102444800";
  const std::vector<Case> cases = {
      {"next is 7", std::string("\x07\x00\x00\x00", 4), {}, 7, platform::Data{8, 0, 0, 0}},
      {"extra bytes are ignored", std::string("\x07\x00\x00\x00\x09", 5), {}, 7, platform::Data{8, 0, 0, 0}},
      {"too short", std::string("\x05", 1), {}, 0, platform::Data{1, 0, 0, 0}},
      {"too short, batch in flight", std::string("\x05", 1), {inFlight}, 6, platform::Data{7, 0, 0, 0}},
      {"negative", std::string("\xfe\xff\xff\xff", 4), {}, 0, platform::Data{1, 0, 0, 0}},
      {"negative, batch in flight", std::string("\xfe\xff\xff\xff", 4), {inFlight}, 6, platform::Data{7, 0, 0, 0}},
      {"lost, batch in flight", std::nullopt, {inFlight, "not-a-batch"}, 6, platform::Data{7, 0, 0, 0}},
      {"stale, batch in flight", std::string("\x02\x00\x00\x00", 4), {inFlight}, 6, platform::Data{7, 0, 0, 0}},
      {"stale, batch of its ID in flight", std::string("\x05\x00\x00\x00", 4), {inFlight}, 6,
       platform::Data{7, 0, 0, 0}},
      {"largest wraps", std::string("\xff\xff\xff\x7f", 4), {}, 0x7fffffff, platform::Data{0, 0, 0, 0}},
      {"wrapped, batches from before in flight", std::string("\x00\x00\x00\x00", 4),
       {"1002-2147483647-4102444800", "1002-0-4102444800", "1003-1-4102444800"}, 2, platform::Data{3, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    restart();
    ASSERT_TRUE(store(makeEvent("137", 1001)).first);
    if (c.contents) writeRaw(counterPath(), *c.contents);
    for (const auto& name : c.batchesOnDisk) {
      writeRaw(VDTCORFlatFileStorage::batchDataStoragePath() / name / "event", "x");
    }
    auto [batchID, events] = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
    EXPECT_EQ(batchID, c.handedOut) << c.name;
    EXPECT_EQ(events.has_value(), c.handedOut.has_value()) << c.name;
    EXPECT_EQ(readRaw(counterPath()), c.counterAfter) << c.name;
    // The next batch gets what the counter holds now.
    ASSERT_TRUE(store(makeEvent("137", 1001)).first);
    EXPECT_EQ(batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001)).first, readCounter(c.counterAfter))
        << c.name;
    fs::remove_all(VDTCORStorageRootURL());
  }
}

TEST_F(VDTCORFlatFileStorageTest, ADirectoryAtTheCounterPathIsRemovedAndBatchingGoesOn) {
  ASSERT_TRUE(store(makeEvent("137", 1001)).first);
  writeRaw(VDTCORFlatFileStorage::batchDataStoragePath() / "1002-3-4102444800" / "event", "x");
  writeRaw(counterPath() / "inside", "x");
  platform::testing::LogCapture log;
  auto [batchID, events] = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  EXPECT_EQ(batchID, 4);
  EXPECT_TRUE(events);
  EXPECT_TRUE(log.contains("A directory stood where the batch ID counter belongs; removed"));
  EXPECT_EQ(readRaw(counterPath()), (platform::Data{5, 0, 0, 0}));
}

// Every write of more than `bytes` fails as on a full disk, while it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  sighandler_t previous_{};
};

TEST_F(VDTCORFlatFileStorageTest, AFullDiskStillGetsBatchIDsAndTheyNeverCollide) {
  auto first = makeEvent("137", 1001);
  ASSERT_TRUE(store(first).first);
  std::pair<std::optional<std::int64_t>, std::optional<VDTCOREventSet>> stuck;
  {
    FileSizeLimit full(0);
    stuck = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  }
  ASSERT_EQ(stuck.first, 0);  // uploading is what empties a full disk
  EXPECT_FALSE(fs::exists(counterPath()));

  auto second = makeEvent("137", 1001);
  ASSERT_TRUE(store(second).first);
  auto next = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  ASSERT_EQ(next.first, 1);
  // Removing one batch leaves the other's events where they are.
  settled(storage()->removeBatchWithID(1, true));
  settled(storage()->removeBatchWithID(0, false));
  auto again = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  ASSERT_TRUE(again.second);
  EXPECT_EQ(idsOf(*again.second), (std::set<std::string>{first->eventID()}));
}

TEST_F(VDTCORFlatFileStorageTest, DirectoriesAreMadeOnceAndAgainOnlyAfterARemoval) {
  ASSERT_TRUE(store(makeEvent("137", 1001)).first);
  const std::uint64_t afterFirst = VDTCORDirectoryCreationsForTesting();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(store(makeEvent("137", 1001)).first);
  EXPECT_EQ(VDTCORDirectoryCreationsForTesting(), afterFirst);

  auto inFlight = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  ASSERT_TRUE(inFlight.second);
  // The pool goes away under the storage: stores and returned batches make it again.
  fs::remove_all(VDTCORFlatFileStorage::eventDataStoragePath());
  ASSERT_TRUE(store(makeEvent("137", 1001)).first);
  settled(storage()->removeBatchWithID(*inFlight.first, false));
  EXPECT_EQ(fileNames(targetDirectory(1001)).size(), 7u);
}

TEST_F(VDTCORFlatFileStorageTest, CorruptAndHiddenFilesAreNeverBatched) {
  auto good = makeEvent("137", 1001);
  ASSERT_TRUE(store(good).first);
  const fs::path corrupt = targetDirectory(1001) / (VDTCOREvent::nextEventID() + "-3-1780604800-137");
  writeRaw(corrupt, "bplist00 not really");
  const fs::path hidden = targetDirectory(1001) / ".hidden-3-1780604800-137";
  writeRaw(hidden, "x");

  platform::testing::LogCapture log;
  auto [batchID, events] = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  ASSERT_TRUE(events);
  EXPECT_EQ(idsOf(*events), std::set<std::string>{good->eventID()});
  EXPECT_FALSE(fs::exists(corrupt));
  EXPECT_TRUE(fs::exists(hidden));
  EXPECT_TRUE(log.contains("[VidezuDataTransport][I-VDTCOR001005] Error deserializing event:"));
}

// The storage folders persist between runs and may hold anything: a FIFO, a link to a file
// outside, or a huge file named like an event or a library value is neither waited on, nor
// followed, nor read whole, nor deleted.
TEST_F(VDTCORFlatFileStorageTest, HostileFilesInTheStorageFoldersAreSkippedAndKept) {
  auto good = makeEvent("137", 1001);
  ASSERT_TRUE(store(good).first);
  fs::path stored;
  for (const auto& entry : fs::directory_iterator(targetDirectory(1001))) stored = entry.path();
  const fs::path outside = fs::path(platform::Home::path()) / "outside";
  fs::create_directories(outside);
  auto eventName = [] { return VDTCOREvent::nextEventID() + "-3-1780604800-137"; };
  const fs::path outsideEvent = outside / eventName();
  fs::copy_file(stored, outsideEvent);
  const fs::path libraryData = VDTCORFlatFileStorage::libraryDataStoragePath();
  fs::create_directories(libraryData);
  fs::copy_file(stored, outside / "value");

  const fs::path linkedEvent = targetDirectory(1001) / eventName();
  fs::create_symlink(outsideEvent, linkedEvent);
  const fs::path hugeEvent = targetDirectory(1001) / eventName();
  writeRaw(hugeEvent, "");
  fs::resize_file(hugeEvent, std::uint64_t{1} << 40);
  fs::create_symlink(outside / "value", libraryData / "linked");
  writeRaw(libraryData / "huge", "");
  fs::resize_file(libraryData / "huge", std::uint64_t{1} << 40);
  const fs::path fifoEvent = targetDirectory(1001) / eventName();
  platform::testing::PlantedFifos fifos({fifoEvent, libraryData / "fifo"}, 5);
  ASSERT_TRUE(fifos.planted());

  auto [batchID, events] = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  ASSERT_TRUE(events);
  EXPECT_EQ(idsOf(*events), std::set<std::string>{good->eventID()});
  for (const char* key : {"linked", "huge", "fifo"}) {
    auto fetched = std::make_shared<std::optional<platform::Data>>(platform::Data{});
    auto error = std::make_shared<platform::Error>();
    storage()->libraryDataForKey(
        key,
        [fetched, error](const std::optional<platform::Data>& data, const platform::Error& e) {
          *fetched = data;
          *error = e;
        },
        {});
    platform::testing::runUntilIdle();
    EXPECT_FALSE(*fetched) << key;
    EXPECT_TRUE(*error) << key;
  }
  EXPECT_FALSE(fifos.finish()) << "storage waited on a FIFO";
  for (const auto& path : {linkedEvent, fifoEvent}) EXPECT_TRUE(fs::symlink_status(path).type() != fs::file_type::not_found) << path;
  // A regular file in the pool that no upload could carry is removed, unread.
  EXPECT_FALSE(fs::exists(hugeEvent));
  EXPECT_TRUE(fs::exists(outsideEvent));
}

TEST_F(VDTCORFlatFileStorageTest, TheSweepDeletesExpiredEventsAndReturnsExpiredBatches) {
  auto delegate = std::make_shared<RecordingDelegate>();
  storage()->setDelegate(delegate);
  auto expired = makeEvent("137", 1001);
  expired->setExpirationDate(platform::Date::now().addingTimeInterval(-1));
  auto live = makeEvent("137", 1001);
  auto batched = makeEvent("1206", 1002);
  for (const auto& e : {expired, live, batched}) ASSERT_TRUE(store(e).first);
  auto staleBatch = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1002), -1);
  ASSERT_TRUE(staleBatch.first);
  auto freshBatchEvent = makeEvent("1206", 1003);
  ASSERT_TRUE(store(freshBatchEvent).first);
  auto freshBatch = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1003), 600);
  ASSERT_TRUE(freshBatch.first);

  storage()->checkForExpirations();
  platform::testing::runUntilIdle();

  EXPECT_EQ(fileNames(targetDirectory(1001)).size(), 1u);
  EXPECT_TRUE(fileNames(targetDirectory(1001))[0].starts_with(live->eventID()));
  EXPECT_EQ(idsOf(delegate->expired), std::set<std::string>{expired->eventID()});
  // The stale batch is back in the pool, not deleted; the fresh one is left alone.
  EXPECT_EQ(fileNames(targetDirectory(1002)).size(), 1u);
  EXPECT_TRUE(fileNames(targetDirectory(1003)).empty());
  auto batchIDs = settled(storage()->batchIDsForTarget(1003));
  EXPECT_EQ(batchIDs->value(), std::optional<VDTCORBatchIDs>(VDTCORBatchIDs{*freshBatch.first}));
  EXPECT_EQ(settled(storage()->batchIDsForTarget(1002))->value(), std::optional<VDTCORBatchIDs>(VDTCORBatchIDs{}));
}

TEST_F(VDTCORFlatFileStorageTest, RemovingAllBatchesOfATargetLeavesOtherTargetsAlone) {
  for (VDTCORTarget target : {1001, 1001, 1002}) ASSERT_TRUE(store(makeEvent("137", target)).first);
  auto a = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  ASSERT_TRUE(store(makeEvent("137", 1001)).first);
  auto b = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  auto c = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1002));
  EXPECT_EQ(settled(storage()->batchIDsForTarget(1001))->value(),
            std::optional<VDTCORBatchIDs>(VDTCORBatchIDs{*a.first, *b.first}));

  EXPECT_TRUE(settled(storage()->removeAllBatchesForTarget(1001, false))->isFulfilled());
  EXPECT_EQ(fileNames(targetDirectory(1001)).size(), 3u);
  EXPECT_EQ(settled(storage()->batchIDsForTarget(1002))->value(),
            std::optional<VDTCORBatchIDs>(VDTCORBatchIDs{*c.first}));
  EXPECT_TRUE(settled(storage()->removeAllBatchesForTarget(1003, true))->isFulfilled());
}

TEST_F(VDTCORFlatFileStorageTest, ABatchWhoseFilesCannotMoveBackKeepsThemAndAnEventAlreadyBackIsNotDuplicated) {
  auto event = makeEvent("137", 1001);
  ASSERT_TRUE(store(event).first);
  auto [batchID, events] = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  ASSERT_TRUE(batchID);
  // The same event is in the pool again (stored anew under the same name).
  ASSERT_TRUE(store(event).first);
  settled(storage()->removeBatchWithID(*batchID, false));
  EXPECT_EQ(fileNames(targetDirectory(1001)).size(), 1u);
  EXPECT_TRUE(fileNames(VDTCORFlatFileStorage::batchDataStoragePath()).empty());
}

TEST_F(VDTCORFlatFileStorageTest, HasEventsIgnoresLeftoversOfInterruptedWrites) {
  EXPECT_FALSE(settled(storage()->hasEventsForTarget(1001))->value().value());
  writeRaw(targetDirectory(1001) / ".leftover.AbC123", "partial");
  EXPECT_FALSE(settled(storage()->hasEventsForTarget(1001))->value().value());
  ASSERT_TRUE(store(makeEvent("137", 1001)).first);
  EXPECT_TRUE(settled(storage()->hasEventsForTarget(1001))->value().value());
  EXPECT_FALSE(settled(storage()->hasEventsForTarget(1002))->value().value());
}

TEST_F(VDTCORFlatFileStorageTest, ARestartFindsEveryStoredEvent) {
  std::set<std::string> expected1001, expected1002;
  for (int i = 0; i < 5; ++i) {
    auto a = makeEvent("137", 1001, i % 6);
    auto b = makeEvent("1206", 1002, 4);
    ASSERT_TRUE(store(a).first);
    ASSERT_TRUE(store(b).first);
    expected1001.insert(a->eventID());
    expected1002.insert(b->eventID());
  }
  auto size = settled(storage()->fetchStorageMetadata())->value().value();
  restart();
  EXPECT_EQ(settled(storage()->fetchStorageMetadata())->value().value(), size);
  EXPECT_EQ(size.maxCacheSize, 20'000'000u);
  EXPECT_TRUE(settled(storage()->hasEventsForTarget(1002))->value().value());
  EXPECT_EQ(idsOf(*batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001)).second), expected1001);
  EXPECT_EQ(idsOf(*batch(VDTCORStorageEventSelector::eventSelectorForTarget(1002)).second), expected1002);
}

TEST_F(VDTCORFlatFileStorageTest, ACrashInTheMiddleOfWritesLosesNothingThatHadCompleted) {
  std::set<std::string> completed;
  for (int i = 0; i < 3; ++i) {
    auto event = makeEvent("137", 1001);
    ASSERT_TRUE(store(event).first);
    completed.insert(event->eventID());
  }
  ASSERT_TRUE(store(makeEvent("137", 1001)).first);
  auto batchBefore = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  ASSERT_TRUE(batchBefore.second);
  settled(storage()->removeBatchWithID(*batchBefore.first, false));
  for (const auto& e : *batchBefore.second) completed.insert(e->eventID());

  // What the crash left: the temporary file of an atomic write cut short, an event file cut short
  // where it stood, and cut-short library entries.
  const auto names = fileNames(targetDirectory(1001));
  const platform::Data fullBytes = readRaw(targetDirectory(1001) / names[0]);
  const std::string full(fullBytes.begin(), fullBytes.end());
  writeRaw(targetDirectory(1001) / ("." + VDTCOREvent::nextEventID() + "-3-1780604800-137.Xy12Ab"), full.substr(0, 40));
  const std::string cutID = VDTCOREvent::nextEventID();
  writeRaw(targetDirectory(1001) / (cutID + "-3-1780604800-137"), full.substr(0, full.size() / 2));
  writeRaw(counterPath(), std::string("\x02\x00", 2));
  writeRaw(VDTCORFlatFileStorage::libraryDataStoragePath() / kVDTCORMetricsMetadataStorageKey, "bplist0");

  restart();
  storage()->checkForExpirations();
  platform::testing::runUntilIdle();
  EXPECT_TRUE(settled(storage()->hasEventsForTarget(1001))->value().value());

  auto after = batch(VDTCORStorageEventSelector::eventSelectorForTarget(1001));
  ASSERT_TRUE(after.second);
  EXPECT_EQ(idsOf(*after.second), completed);
  EXPECT_TRUE(fileNames(targetDirectory(1001)).empty());

  // Drops are still counted though the stored window was unreadable.
  settled(VDTCORMetricsController::sharedInstance()->logEventsDroppedForReason(1, *after.second));
  auto metrics = settled(VDTCORMetricsController::sharedInstance()->getAndResetMetrics());
  platform::testing::runUntilIdle();
  ASSERT_TRUE(metrics->isFulfilled());
  EXPECT_EQ(metrics->value().value()->logSourceMetrics()->droppedEventCounterByLogSource(),
            (VDTCORLogSourceMetrics::Counter{{"137", {{1, 4}}}}));
}

TEST_F(VDTCORFlatFileStorageTest, TheSizeTrackerSumsVisibleRegularFilesOnly) {
  const fs::path root = VDTCORStorageRootURL() / "tracked";
  writeRaw(root / "a", "12345");
  writeRaw(root / "sub" / "b", "123");
  writeRaw(root / ".hidden", "1234567");
  writeRaw(root / ".dir" / "c", "1234567");
  VDTCORDirectorySizeTracker tracker(root);
  EXPECT_EQ(tracker.directoryContentSize(), 8u);
  tracker.fileWasAddedAtPath(root / "x", 2);
  tracker.fileWasAddedAtPath(VDTCORStorageRootURL() / "trackedness" / "y", 100);
  EXPECT_EQ(tracker.directoryContentSize(), 10u);
  tracker.fileWasRemovedAtPath(root / "x", 50);
  EXPECT_EQ(tracker.directoryContentSize(), 0u);
  tracker.resetCachedSize();
  EXPECT_EQ(tracker.directoryContentSize(), 8u);
}

}  // namespace
}  // namespace transport_tests
