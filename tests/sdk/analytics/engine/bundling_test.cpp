// Bundle building and event sampling, driven through the engine started by the core's configure:
// raw events and their metadata are written straight into the store, bundling runs on the worker
// queue, and the queued bundles are read back.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine_test_fixture.h"
#include "platform/testing/testing.h"
#include "sdk/analytics/common/apm_foundation_extensions.h"
#include "sdk/analytics/common/apm_raw_event_data.h"
#include "sdk/analytics/common/apm_scheduler.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/engine/apm_event_message_access.h"
#include "sdk/analytics/events/apm_audience.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"

namespace {

using platform::Error;
using storage_test::intParam;
using storage_test::stringParam;

using Ints = std::vector<std::pair<std::string, std::int64_t>>;

struct EventConfigSpec {
  std::string name;
  bool blocklisted = false;
  bool customConversion = false;
  std::optional<std::int32_t> samplingRate;
};

EventConfigSpec blocked(std::string name) { return {std::move(name), true, false, std::nullopt}; }
EventConfigSpec customConversion(std::string name) { return {std::move(name), false, true, std::nullopt}; }
EventConfigSpec sampled(std::string name, std::int32_t rate) { return {std::move(name), false, false, rate}; }

std::int32_t at(const NANOMessageBase& message, std::uint32_t tag) { return APMFieldIndex(message, tag); }

using APMEventMessage::intParameter;

struct Queued {
  std::shared_ptr<APMPBMeasurementBundle> bundle;
  std::vector<std::shared_ptr<APMPBEvent>> events;
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& event : events) out.push_back(storage_test::eventName(*event));
    return out;
  }
  std::int64_t int64(std::uint32_t tag) const { return NANOGetInt64(bundle.get(), at(*bundle, tag)); }
  std::int32_t int32(std::uint32_t tag) const { return NANOGetInt32(bundle.get(), at(*bundle, tag)); }
  bool has(std::uint32_t tag) const { return NANOHasField(bundle.get(), at(*bundle, tag)); }
  std::optional<std::int64_t> userProperty(const std::string& name) const {
    for (const auto& attribute : NANOGetArray<APMPBUserAttribute>(bundle.get(), at(*bundle, 3)).value_or(
             std::vector<std::shared_ptr<APMPBUserAttribute>>{})) {
      if (NANOGetString(attribute.get(), at(*attribute, 2)) == name) {
        return NANOGetInt64(attribute.get(), at(*attribute, 4));
      }
    }
    return std::nullopt;
  }
};

class BundlingTest : public engine_test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    configure();
    engine_ = APMMeasurement::sharedInstance();
    ASSERT_TRUE(engine_ && engine_->database() && engine_->audience());
    // Two hours back, on an hour boundary: recent enough never to count as stale.
    hour_ = std::floor(APMDatabaseNow() / 3600) * 3600 - 2 * 3600;
    onWorker([&] {
      for (const char* table : {"raw_events", "raw_events_metadata", "queue", "events", "user_attributes"}) {
        ASSERT_TRUE(db()->store()->executeSQL(std::string("DELETE FROM ") + table, nullptr));
      }
    });
    applyConfig({}, {});
  }
  void TearDown() override {
    APMMeasurement::setSamplingRollForTesting(nullptr);
    APMMeasurement::monitor()->setDebugModeEnabled(false);
    EngineTest::TearDown();
  }

  APMDatabase* db() const { return engine_->database(); }

  void onWorker(const std::function<void()>& block) {
    engine_->scheduler()->workerQueue()->async(block);
    platform::testing::drain(engine_->scheduler()->workerQueue());
  }

  // The settings and per-event configuration of a downloaded configuration.
  void applyConfig(const std::map<std::string, std::string>& settings, const std::vector<EventConfigSpec>& events) {
    auto config = APMPBMeasurementConfig::initWithMessageInfo();
    NANOSetInt64(config.get(), at(*config, 1), 7);
    NANOSetString(config.get(), at(*config, 2), std::string(engine_test::kAppID));
    std::vector<std::shared_ptr<APMPBSetting>> list;
    for (const auto& [name, value] : settings) {
      auto setting = APMPBSetting::initWithMessageInfo();
      NANOSetString(setting.get(), 0, name);
      NANOSetString(setting.get(), 1, value);
      list.push_back(setting);
    }
    NANOSetArray(config.get(), at(*config, 4), list);
    std::vector<std::shared_ptr<APMPBEventConfig>> configs;
    for (const auto& spec : events) {
      auto event = APMPBEventConfig::initWithMessageInfo();
      NANOSetString(event.get(), 0, spec.name);
      if (spec.blocklisted) NANOSetBool(event.get(), 1, true);
      if (spec.customConversion) NANOSetBool(event.get(), 2, true);
      if (spec.samplingRate) NANOSetInt32(event.get(), 3, *spec.samplingRate);
      configs.push_back(event);
    }
    NANOSetArray(config.get(), at(*config, 5), configs);
    APMMeasurement::remoteConfig()->parseRemoteConfigFromMeasurementConfig(*config);
  }

  // A metadata record told apart by its version; returns its fingerprint.
  std::int64_t metadata(const std::string& version, const std::vector<std::shared_ptr<const APMUserAttribute>>&
                                                         properties = {}) {
    auto record = APMPBMeasurementBundle::initWithMessageInfo();
    NANOSetInt32(record.get(), at(*record, 1), 1);
    NANOSetString(record.get(), at(*record, 14), std::string(engine_test::kAppID));
    NANOSetString(record.get(), at(*record, 16), version);
    std::vector<std::shared_ptr<APMPBUserAttribute>> attributes;
    for (const auto& property : properties) attributes.push_back(property->protoUserAttribute());
    if (!attributes.empty()) NANOSetArray(record.get(), at(*record, 3), attributes);
    onWorker([&] { ASSERT_TRUE(db()->insertIfNotExistsRawEventMetadata(*record, nullptr)); });
    return VULGzip::apm_64LSBMD5(*record->protoBuffer());
  }

  void write(std::int64_t fingerprint, const std::string& name, double seconds, const Ints& ints = {},
             bool realtime = false, double previousSeconds = 0) {
    auto event = APMPBEvent::initWithMessageInfo();
    NANOSetString(event.get(), at(*event, 2), name);
    NANOSetInt64(event.get(), at(*event, 3), static_cast<std::int64_t>(seconds * 1000));
    if (previousSeconds > 0) {
      NANOSetInt64(event.get(), at(*event, 4), static_cast<std::int64_t>(previousSeconds * 1000));
    }
    std::vector<std::shared_ptr<APMPBEventParam>> params{stringParam("_o", "app")};
    for (const auto& [param, value] : ints) params.push_back(intParam(param, value));
    NANOSetArray(event.get(), at(*event, 1), params);
    onWorker([&] { ASSERT_TRUE(db()->insertRawEvent(event.get(), fingerprint, realtime, nullptr)); });
  }

  bool bundle() {
    bool result = false;
    onWorker([&] { result = engine_->bundleRawEvents(); });
    return result;
  }
  // Bundles until nothing is left; the results of each call.
  std::vector<bool> bundleAll(int atMost = 20) {
    std::vector<bool> results;
    for (int i = 0; i < atMost; ++i) {
      results.push_back(bundle());
      if (!results.back()) break;
    }
    return results;
  }

  std::vector<Queued> queued() {
    std::vector<Queued> out;
    onWorker([&] {
      const auto rows = db()->queryBundlesWithCountLimit(1000, INT64_MAX, nullptr);
      ASSERT_TRUE(rows);
      for (const auto& [bundle, rowID] : *rows) {
        out.push_back({bundle, NANOGetArray<APMPBEvent>(bundle.get(), at(*bundle, 2)).value()});
      }
    });
    return out;
  }
  std::vector<std::vector<std::string>> queuedNames() {
    std::vector<std::vector<std::string>> out;
    for (const auto& q : queued()) out.push_back(q.names());
    return out;
  }
  std::int64_t rows(const std::string& table) {
    std::int64_t count = -1;
    onWorker([&] { count = db()->store()->rowCountForTableWithName(table, nullptr).value_or(-1); });
    return count;
  }
  void expectGroupGoneWithoutBundle() {
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(rows("raw_events"), 0);
    EXPECT_EQ(rows("raw_events_metadata"), 0);
  }
  std::shared_ptr<APMEventAggregates> aggregates(const std::string& name) {
    std::shared_ptr<APMEventAggregates> out;
    onWorker([&] { out = db()->eventAggregatesWithName(name, nullptr); });
    return out;
  }
  std::optional<std::int64_t> storedProperty(const std::string& name) {
    std::optional<std::int64_t> out;
    onWorker([&] {
      const auto attribute = db()->userAttributeWithName(name, nullptr);
      if (attribute && attribute->value() && attribute->value()->isInt64()) out = attribute->value()->int64Value();
    });
    return out;
  }
  void setDailyCounts(std::int32_t conversions, std::int32_t realtime, std::int32_t daysAgo = 0) {
    onWorker([&] {
      const APMDailyCounts counts(db()->currentDay() - daysAgo, conversions, 0, 0, 0, realtime);
      ASSERT_TRUE(db()->updateDailyCounts(&counts, nullptr));
    });
  }
  std::shared_ptr<APMDailyCounts> dailyCounts() {
    std::shared_ptr<APMDailyCounts> out;
    onWorker([&] { out = db()->dailyCounts(nullptr); });
    return out;
  }
  std::int32_t lastBundleIndex() {
    std::int32_t index = -1;
    onWorker([&] { index = db()->queryAppMetadata(nullptr)->lastBundleIndex(); });
    return index;
  }

  std::shared_ptr<APMMeasurement> engine_;
  double hour_ = 0;
};

using Names = std::vector<std::vector<std::string>>;

TEST_F(BundlingTest, GroupsByFingerprintHourAndUnbrokenRowsOldestFirst) {
  const std::int64_t a = metadata("1.0");
  const std::int64_t b = metadata("2.0");
  write(a, "a1", hour_ + 10);
  write(a, "a2", hour_ + 20);
  write(b, "b1", hour_ + 30);   // breaks the run of a's rows
  write(a, "a3", hour_ + 40);
  write(a, "a4", hour_ + 3600 + 5);  // the next hour

  EXPECT_EQ(bundleAll(), (std::vector<bool>{true, true, true, true, false}));
  const auto bundles = queued();
  EXPECT_EQ(queuedNames(), (Names{{"a1", "a2"}, {"b1"}, {"a3"}, {"a4"}}));
  EXPECT_EQ(rows("raw_events"), 0);
  EXPECT_EQ(rows("raw_events_metadata"), 0);  // each record goes with its last raw event

  ASSERT_EQ(bundles.size(), 4u);
  const auto millis = [&](double offset) { return static_cast<std::int64_t>((hour_ + offset) * 1000); };
  EXPECT_EQ(bundles[0].int64(5), millis(10));
  EXPECT_EQ(bundles[0].int64(6), millis(20));
  EXPECT_EQ(bundles[1].int64(26), millis(10));  // the previous bundle's start and end
  EXPECT_EQ(bundles[1].int64(7), millis(20));
  for (std::size_t i = 1; i < bundles.size(); ++i) {
    EXPECT_EQ(bundles[i].int32(23), bundles[i - 1].int32(23) + 1);
  }
  EXPECT_EQ(bundles[3].int32(23), lastBundleIndex());
  EXPECT_EQ(NANOGetString(bundles[0].bundle.get(), at(*bundles[0].bundle, 16)), "1.0");
  EXPECT_EQ(NANOGetString(bundles[1].bundle.get(), at(*bundles[1].bundle, 16)), "2.0");
  // The events keep their origin and times.
  EXPECT_EQ(NANOGetInt64(bundles[0].events[1].get(), at(*bundles[0].events[1], 3)), millis(20));
}

TEST_F(BundlingTest, EventCountAndSizeLimitsSplitAGroupButTheOldestRowAlwaysGoes) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> settings;
    Names expected;
  };
  const Case cases[] = {
      {"defaults", {}, {{"e0", "e1", "e2"}}},
      {"one event per bundle", {{"measurement.upload.max_events_per_bundle", "1"}}, {{"e0"}, {"e1"}, {"e2"}}},
      {"two events per bundle", {{"measurement.upload.max_events_per_bundle", "2"}}, {{"e0", "e1"}, {"e2"}}},
      // Every row is larger than the limit on its own: each still leaves, alone.
      {"size limit below one event", {{"measurement.upload.max_batch_size", "1"}}, {{"e0"}, {"e1"}, {"e2"}}},
      {"size limit of zero", {{"measurement.upload.max_batch_size", "0"}}, {{"e0"}, {"e1"}, {"e2"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    onWorker([&] { db()->store()->executeSQL("DELETE FROM queue", nullptr); });
    applyConfig(c.settings, {});
    const std::int64_t fingerprint = metadata("1.0");
    for (int i = 0; i < 3; ++i) write(fingerprint, "e" + std::to_string(i), hour_ + i, {{"value", 1000 + i}});
    const auto results = bundleAll();
    EXPECT_EQ(results.size(), c.expected.size() + 1);
    EXPECT_EQ(queuedNames(), c.expected);
    EXPECT_EQ(rows("raw_events"), 0);
  }
}

TEST_F(BundlingTest, TheSizeLimitClosesTheGroupBeforeTheRowThatReachesIt) {
  const std::int64_t fingerprint = metadata("1.0");
  write(fingerprint, "first", hour_);
  Error error;
  std::int64_t size = 0;
  onWorker([&] {
    const auto raw = db()->rawEventsWithMetadataFingerprint(fingerprint, &error);
    size = static_cast<std::int64_t>(raw->front()->rawEvent()->protoBuffer()->size());
  });
  write(fingerprint, "other", hour_ + 1);  // same encoded size
  // Two rows make exactly twice the size: the limit must be above the total.
  applyConfig({{"measurement.upload.max_batch_size", std::to_string(2 * size)}}, {});
  EXPECT_EQ(bundleAll(), (std::vector<bool>{true, true, false}));
  EXPECT_EQ(queuedNames(), (Names{{"first"}, {"other"}}));

  onWorker([&] { db()->store()->executeSQL("DELETE FROM queue", nullptr); });
  ASSERT_EQ(metadata("1.0"), fingerprint);  // the record left with its last raw event
  write(fingerprint, "first", hour_);
  write(fingerprint, "other", hour_ + 1);
  applyConfig({{"measurement.upload.max_batch_size", std::to_string(2 * size + 1)}}, {});
  EXPECT_EQ(bundleAll(), (std::vector<bool>{true, false}));
  EXPECT_EQ(queuedNames(), (Names{{"first", "other"}}));
}

TEST_F(BundlingTest, AnUnreadableOldestRowIsDroppedInsteadOfHoldingBackLaterEvents) {
  const std::int64_t fingerprint = metadata("1.0");
  const auto noOrigin = storage_test::event("broken", hour_, 1, /*withOrigin=*/false);
  onWorker([&] { ASSERT_TRUE(db()->insertRawEvent(noOrigin.get(), fingerprint, false, nullptr)); });
  write(fingerprint, "good", hour_ + 1);
  EXPECT_FALSE(bundle());
  EXPECT_TRUE(loggedCode(23096));
  EXPECT_EQ(rows("raw_events"), 1);
  EXPECT_TRUE(bundle());
  EXPECT_EQ(queuedNames(), (Names{{"good"}}));
}

TEST_F(BundlingTest, RejectedEventsLeaveTheBundleAndAFullyRejectedGroupIsDeletedWithoutOne) {
  applyConfig({}, {blocked("blocked")});
  const std::int64_t fingerprint = metadata("1.0");
  write(fingerprint, "blocked", hour_);
  write(fingerprint, "kept", hour_ + 2);
  write(fingerprint, "_e", hour_ + 3, {{"_et", 200}});
  EXPECT_TRUE(bundle());
  EXPECT_EQ(queuedNames(), (Names{{"kept", "_e"}}));
  EXPECT_TRUE(loggedCode(23099));

  // A group with nothing left: deleted, no bundle, and not reported as bundled.
  onWorker([&] { db()->store()->executeSQL("DELETE FROM queue", nullptr); });
  const std::int64_t other = metadata("2.0");
  write(other, "blocked", hour_ + 10);
  write(other, "blocked", hour_ + 11);
  EXPECT_FALSE(bundle());
  EXPECT_TRUE(loggedCode(23100));
  expectGroupGoneWithoutBundle();
}

TEST_F(BundlingTest, AdImpressionBecomesInternalAndIsKeptWhenOnlyInternalEventsAreBlocklisted) {
  applyConfig({{"measurement.upload.blacklist_internal", "1"}}, {});
  const std::int64_t fingerprint = metadata("1.0");
  write(fingerprint, "ad_impression", hour_);
  write(fingerprint, "_internal", hour_ + 1);
  write(fingerprint, "public_one", hour_ + 2);
  EXPECT_TRUE(bundle());
  EXPECT_EQ(queuedNames(), (Names{{"_ai", "public_one"}}));
}

TEST_F(BundlingTest, ConversionsBeyondTheDailyLimitLoseTheirMarkButAreStillUploaded) {
  applyConfig({{"measurement.upload.max_conversions_per_day", "3"}}, {customConversion("signup")});
  setDailyCounts(/*conversions=*/1, /*realtime=*/0);
  const std::int64_t fingerprint = metadata("1.0");
  write(fingerprint, "signup", hour_);       // custom conversion: the 2nd of the day
  write(fingerprint, "signup", hour_ + 1);   // the 3rd, at the limit
  write(fingerprint, "signup", hour_ + 2);   // over it
  write(fingerprint, "_internal", hour_ + 3, {{"_c", 1}});  // internal conversions are not counted
  EXPECT_TRUE(bundle());
  const auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  ASSERT_EQ(bundles[0].events.size(), 4u);
  EXPECT_EQ(intParameter(*bundles[0].events[0], "_c"), 1);
  EXPECT_EQ(intParameter(*bundles[0].events[1], "_c"), 1);
  EXPECT_FALSE(intParameter(*bundles[0].events[2], "_c"));
  EXPECT_EQ(intParameter(*bundles[0].events[3], "_c"), 1);
  EXPECT_TRUE(loggedCode(23102));
  EXPECT_EQ(dailyCounts()->conversionsCount(), 3);
  EXPECT_EQ(dailyCounts()->allEventsCount(), 0);  // bundling never counts events twice
}

TEST_F(BundlingTest, CountersOfAnEarlierDayHoldNoEventBack) {
  applyConfig({{"measurement.upload.max_conversions_per_day", "3"}}, {customConversion("signup")});
  setDailyCounts(/*conversions=*/3, /*realtime=*/10, /*daysAgo=*/1);
  const std::int64_t fingerprint = metadata("1.0");
  write(fingerprint, "signup", hour_);
  EXPECT_TRUE(bundle());
  const auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(intParameter(*bundles[0].events[0], "_c"), 1);
  EXPECT_EQ(intParameter(*bundles[0].events[0], "_r"), 1);
  const auto counts = dailyCounts();
  EXPECT_EQ(counts->conversionsCount(), 1);
  EXPECT_EQ(counts->realtimeCount(), 1);
}

TEST_F(BundlingTest, RealtimeMarksFollowTheDailyLimitExceptForExemptEvents) {
  setDailyCounts(/*conversions=*/0, /*realtime=*/9);  // the limit is 10
  const std::int64_t fingerprint = metadata("1.0");
  write(fingerprint, "rt", hour_, {{"_r", 1}});   // the 10th
  write(fingerprint, "rt", hour_ + 1, {{"_r", 1}});  // over the limit
  write(fingerprint, "_f", hour_ + 2, {{"_r", 1}});  // exempt
  write(fingerprint, "_iap", hour_ + 3, {{"_r", 1}});
  write(fingerprint, "plain", hour_ + 4);
  EXPECT_TRUE(bundle());
  const auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  const auto& events = bundles[0].events;
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(intParameter(*events[0], "_r"), 1);
  EXPECT_FALSE(intParameter(*events[1], "_r"));
  EXPECT_EQ(intParameter(*events[2], "_r"), 1);
  EXPECT_EQ(intParameter(*events[3], "_r"), 1);
  EXPECT_FALSE(intParameter(*events[4], "_r"));
  EXPECT_EQ(dailyCounts()->realtimeCount(), 10);
  EXPECT_TRUE(loggedCode(23104));
  bool realtimeQueued = false;
  onWorker([&] { realtimeQueued = db()->containsRealtimeBundlesWithError(nullptr).value_or(false); });
  EXPECT_TRUE(realtimeQueued);
}

TEST_F(BundlingTest, PurchasesMadeWithASandboxReceiptAreMarked) {
  for (const bool sandbox : {false, true}) {
    SCOPED_TRACE(sandbox ? "sandbox receipt" : "store receipt");
    onWorker([&] { db()->store()->executeSQL("DELETE FROM queue", nullptr); });
    if (sandbox) {
      const auto folder = platform::Bundle::main()->bundlePath() / "StoreKit";
      ASSERT_TRUE(platform::FileManager::defaultManager().createDirectory(folder));
      ASSERT_TRUE(platform::FileManager::defaultManager().writeAtomically(folder / "sandboxReceipt", platform::Data{}));
    }
    const std::int64_t fingerprint = metadata("1.0");
    write(fingerprint, "_iap", hour_);
    write(fingerprint, "other", hour_ + 1);
    EXPECT_TRUE(bundle());
    const auto bundles = queued();
    ASSERT_EQ(bundles.size(), 1u);
    EXPECT_EQ(intParameter(*bundles[0].events[0], "sandbox"), sandbox ? std::optional<std::int64_t>(1) : std::nullopt);
    EXPECT_FALSE(intParameter(*bundles[0].events[1], "sandbox"));
  }
}

TEST_F(BundlingTest, DebugModeKeepsEveryRealtimeMarkWithoutCounting) {
  APMMeasurement::monitor()->setDebugModeEnabled(true);
  setDailyCounts(0, 10);
  const std::int64_t fingerprint = metadata("1.0");
  write(fingerprint, "rt", hour_, {{"_r", 1}});
  EXPECT_TRUE(bundle());
  const auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(intParameter(*bundles[0].events[0], "_r"), 1);
  EXPECT_EQ(dailyCounts()->realtimeCount(), 10);
}

TEST_F(BundlingTest, AggregatesCountEachBundledEventAndGiveItThePreviousFireTime) {
  const std::int64_t fingerprint = metadata("1.0");
  write(fingerprint, "level_up", hour_ + 1);
  write(fingerprint, "level_up", hour_ + 2);
  EXPECT_TRUE(bundle());
  const auto row = aggregates("level_up");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->lifetimeCount(), 2);
  EXPECT_EQ(row->currentBundleCount(), 2);
  EXPECT_EQ(row->currentSessionCount(), 2);
  EXPECT_DOUBLE_EQ(row->lastFireTimestamp(), hour_ + 2);
  const auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_FALSE(NANOHasField(bundles[0].events[0].get(), at(*bundles[0].events[0], 4)));
  EXPECT_EQ(NANOGetInt64(bundles[0].events[1].get(), at(*bundles[0].events[1], 4)),
            static_cast<std::int64_t>((hour_ + 1) * 1000));

  // A session start clears the session counts before this bundle's events are counted.
  metadata("1.0");
  write(fingerprint, "_s", hour_ + 10);
  write(fingerprint, "level_up", hour_ + 11);
  EXPECT_TRUE(bundle());
  EXPECT_EQ(aggregates("level_up")->lifetimeCount(), 3);
  EXPECT_EQ(aggregates("level_up")->currentSessionCount(), 1);
}

TEST_F(BundlingTest, EngagementAddsUpInTheLifetimeAndSessionPropertiesAndASessionStartResetsTheSessionOne) {
  const auto stale = std::make_shared<const APMUserAttribute>("auto", "_se", APMValue::initWithInt64(5), hour_);
  const std::int64_t fingerprint = metadata("1.0", {stale});
  write(fingerprint, "_e", hour_ + 1, {{"_et", 1000}});
  write(fingerprint, "_e", hour_ + 2, {{"_et", 500}});
  write(fingerprint, "_e", hour_ + 3, {{"_et", 7000}, {"_fr", 1}});  // a foreground report: not counted
  EXPECT_TRUE(bundle());
  EXPECT_EQ(storedProperty("_lte"), 1500);
  EXPECT_EQ(storedProperty("_se"), 1500);
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(bundles[0].userProperty("_lte"), 1500);
  EXPECT_EQ(bundles[0].userProperty("_se"), 1500);  // the record's stale value was replaced

  metadata("1.0", {stale});
  write(fingerprint, "_e", hour_ + 10, {{"_et", 250}});
  EXPECT_TRUE(bundle());
  EXPECT_EQ(storedProperty("_lte"), 1750);
  EXPECT_EQ(storedProperty("_se"), 1750);

  metadata("1.0", {stale});
  write(fingerprint, "_s", hour_ + 20);
  write(fingerprint, "_e", hour_ + 21, {{"_et", 100}});
  EXPECT_TRUE(bundle());
  EXPECT_EQ(storedProperty("_lte"), 1850);
  EXPECT_EQ(storedProperty("_se"), 100);
  bundles = queued();
  ASSERT_EQ(bundles.size(), 3u);
  EXPECT_EQ(bundles[2].userProperty("_se"), 100);
}

TEST_F(BundlingTest, NegativeEngagementChangesNoProperty) {
  const std::int64_t fingerprint = metadata("1.0");
  write(fingerprint, "_e", hour_ + 1, {{"_et", -10}});
  EXPECT_TRUE(bundle());
  EXPECT_TRUE(loggedCode(23186));
  EXPECT_FALSE(storedProperty("_lte"));
  EXPECT_FALSE(storedProperty("_se"));
}

TEST_F(BundlingTest, TheBundleIndexWrapsToZeroAfterTheLargestIndex) {
  onWorker([&] {
    const APMAppMetadata metadata(INT32_MAX, hour_ - 100, hour_ - 50);
    ASSERT_TRUE(db()->updateAppMetadata(&metadata, nullptr));
  });
  const std::int64_t fingerprint = metadata("1.0");
  write(fingerprint, "e", hour_);
  EXPECT_TRUE(bundle());
  const auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(bundles[0].int32(23), 0);
  EXPECT_EQ(bundles[0].int64(26), static_cast<std::int64_t>((hour_ - 100) * 1000));
  EXPECT_EQ(bundles[0].int64(7), static_cast<std::int64_t>((hour_ - 50) * 1000));
  EXPECT_EQ(lastBundleIndex(), 0);
}

TEST_F(BundlingTest, NothingToBundleAnswersNo) {
  EXPECT_FALSE(bundle());
  EXPECT_TRUE(queued().empty());
}

TEST_F(BundlingTest, AFailureRollsBackEverythingAndTheSameEventsAreBundledNextTime) {
  const std::int64_t fingerprint = metadata("1.0");
  setDailyCounts(0, 0);
  write(fingerprint, "_e", hour_, {{"_et", 300}, {"_r", 1}});
  const std::int32_t indexBefore = lastBundleIndex();
  // The queue table is gone: storing the bundle fails after everything else was written.
  onWorker([&] { ASSERT_TRUE(db()->store()->executeSQL("DROP TABLE queue", nullptr)); });
  EXPECT_FALSE(bundle());
  EXPECT_TRUE(loggedCode(23115));
  EXPECT_EQ(rows("raw_events"), 1);
  EXPECT_EQ(rows("raw_events_metadata"), 1);
  EXPECT_FALSE(aggregates("_e"));
  EXPECT_FALSE(storedProperty("_lte"));
  EXPECT_EQ(dailyCounts()->realtimeCount(), 0);
  EXPECT_EQ(lastBundleIndex(), indexBefore);

  onWorker([&] { ASSERT_TRUE(db()->ensureAllTables()); });
  EXPECT_TRUE(bundle());
  EXPECT_EQ(queuedNames(), (Names{{"_e"}}));
  EXPECT_EQ(aggregates("_e")->lifetimeCount(), 1);
  EXPECT_EQ(storedProperty("_lte"), 300);
  EXPECT_EQ(dailyCounts()->realtimeCount(), 1);
  EXPECT_EQ(lastBundleIndex(), indexBefore + 1);
}

TEST_F(BundlingTest, BundlingOffTheWorkerThreadIsRefused) {
  const std::int64_t fingerprint = metadata("1.0");
  write(fingerprint, "e", hour_);
  EXPECT_FALSE(engine_->bundleRawEvents());  // the test thread is the main thread
  EXPECT_TRUE(loggedCode(30001));
  EXPECT_EQ(rows("raw_events"), 1);
}

// ---- sampling ----

class SamplingTest : public BundlingTest {
 protected:
  void SetUp() override {
    BundlingTest::SetUp();
    applyConfig({{"measurement.event_sampling_enabled", "1"}}, {sampled("tap", 10)});
    // Every roll misses unless a test says otherwise.
    APMMeasurement::setSamplingRollForTesting([](std::int32_t rate) { return rate - 1; });
  }
  std::int32_t day(double seconds, std::int32_t offsetMinutes = 0) {
    return static_cast<std::int32_t>((seconds + offsetMinutes * 60) / 86400);
  }
};

TEST_F(SamplingTest, TheFirstEventOfADayIsKeptAsExemptAndLaterOnesOnlyByTheRoll) {
  const std::int64_t fingerprint = metadata("1.0");
  write(fingerprint, "tap", hour_, {{"n", 0}});
  write(fingerprint, "tap", hour_ + 1, {{"n", 1}, {"_eid", 77}});
  write(fingerprint, "other", hour_ + 2);
  EXPECT_TRUE(bundle());
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  ASSERT_EQ(bundles[0].names(), (std::vector<std::string>{"tap", "other"}));
  EXPECT_EQ(intParameter(*bundles[0].events[0], "_sr"), 10);
  EXPECT_EQ(intParameter(*bundles[0].events[0], "_efs"), 1);
  EXPECT_FALSE(intParameter(*bundles[0].events[1], "_sr"));
  auto row = aggregates("tap");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->lastSamplingRate(), 10);
  EXPECT_EQ(row->lastBundledDay(), day(hour_));
  EXPECT_DOUBLE_EQ(row->lastBundledTimestamp(), hour_);
  EXPECT_TRUE(row->lastExemptFromSampling());
  EXPECT_EQ(row->lastSampledComplexEventID(), 77);
  EXPECT_EQ(row->lifetimeCount(), 2);  // the counts are the bundling's, not the sampling's
  EXPECT_EQ(aggregates("other")->lastBundledDay(), day(hour_));

  // A roll that hits keeps the event with its rate only.
  APMMeasurement::setSamplingRollForTesting([](std::int32_t) { return 0; });
  metadata("1.0");
  write(fingerprint, "tap", hour_ + 10);
  EXPECT_TRUE(bundle());
  bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(intParameter(*bundles[1].events[0], "_sr"), 10);
  EXPECT_FALSE(intParameter(*bundles[1].events[0], "_efs"));
  EXPECT_FALSE(aggregates("tap")->lastSampledComplexEventID());
}

TEST_F(SamplingTest, AGroupWhollySampledAwayIsDeletedAndCountsAsBundled) {
  const std::int64_t fingerprint = metadata("1.0");
  onWorker([&] {
    auto row = APMEventAggregates::initWithName("tap", 0, 0, 0, 0);
    row->setLastBundledDay(day(hour_));
    ASSERT_TRUE(db()->updateEventAggregates(row.get(), nullptr));
  });
  write(fingerprint, "tap", hour_);
  EXPECT_TRUE(bundle());
  EXPECT_TRUE(loggedCode(23159));
  expectGroupGoneWithoutBundle();
}

TEST_F(SamplingTest, TheDayFollowsTheAccountTimeZoneAndANewNameTakesItsLastDayFromThePreviousTime) {
  // Just before midnight UTC, which is already the next day 60 minutes east.
  const double lateEvening = std::floor(hour_ / 86400) * 86400 - 30;
  struct Case {
    const char* what;
    std::string offset;
    double previous;  // the event's previous time; 0 for none
    bool keptAsFirst;
  };
  const Case cases[] = {
      {"previous time on the same UTC day", "0", lateEvening - 3600, false},
      {"previous time on the day before", "0", lateEvening - 86400, true},
      {"same UTC day, but the account day changed in between", "60", lateEvening - 3600, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    onWorker([&] {
      db()->store()->executeSQL("DELETE FROM queue", nullptr);
      db()->store()->executeSQL("DELETE FROM events", nullptr);
    });
    applyConfig({{"measurement.event_sampling_enabled", "1"},
                 {"measurement.account.time_zone_offset_minutes", c.offset}},
                {sampled("tap", 10)});
    const std::int64_t fingerprint = metadata("1.0");
    write(fingerprint, "tap", lateEvening, {}, false, c.previous);
    EXPECT_TRUE(bundle());
    const auto bundles = queued();
    EXPECT_EQ(bundles.size(), c.keptAsFirst ? 1u : 0u);
    if (c.keptAsFirst && !bundles.empty()) {
      EXPECT_EQ(intParameter(*bundles[0].events[0], "_efs"), 1);
    }
  }
}

TEST_F(SamplingTest, SamplingIsSkippedInDebugModeAndForInvalidRates) {
  struct Case {
    const char* what;
    bool debug;
    std::int32_t rate;
    bool logsInvalidRate;
  };
  const Case cases[] = {
      {"debug mode", true, 10, false},
      {"rate of one", false, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    APMMeasurement::monitor()->setDebugModeEnabled(c.debug);
    applyConfig({{"measurement.event_sampling_enabled", "1"}}, {sampled("tap", c.rate)});
    onWorker([&] {
      db()->store()->executeSQL("DELETE FROM queue", nullptr);
      auto row = APMEventAggregates::initWithName("tap", 0, 0, 0, 0);
      row->setLastBundledDay(day(hour_));  // a later event of the day: would be sampled away
      ASSERT_TRUE(db()->updateEventAggregates(row.get(), nullptr));
    });
    clearLines();
    const std::int64_t fingerprint = metadata("1.0");
    write(fingerprint, "tap", hour_);
    write(fingerprint, "tap", hour_ + 1);
    EXPECT_TRUE(bundle());
    const auto bundles = queued();
    ASSERT_EQ(bundles.size(), 1u);
    EXPECT_EQ(bundles[0].events.size(), 2u);
    EXPECT_FALSE(intParameter(*bundles[0].events[0], "_sr"));
    EXPECT_EQ(loggedCode(23154), c.logsInvalidRate);
  }
}

TEST_F(SamplingTest, TheRateParameterIsAddedOnce) {
  auto event = APMPBEvent::initWithMessageInfo();
  NANOSetArray(event.get(), at(*event, 1), std::vector<std::shared_ptr<APMPBEventParam>>{intParam("_sr", 3)});
  APMAddSamplingRateParameter(*event, 10);
  EXPECT_EQ(intParameter(*event, "_sr"), 3);
  EXPECT_EQ(NANOGetArray<APMPBEventParam>(event.get(), at(*event, 1))->size(), 1u);
  EXPECT_TRUE(loggedCode(23156));
}

}  // namespace
