// The event pipeline from the facade to the raw-event row: what is dropped by policy, what is
// changed on the way (allowlist marker, editing programs, real-time marks), the daily limits at
// their edges on the manual clock, metadata fingerprints, and the first-open counter.
#include <gtest/gtest.h>

#include <climits>
#include <set>

#include "event_writing_fixture.h"
#include "platform/foundation/bundle.h"
#include "sdk/analytics/common/apm_foundation_extensions.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/script/apmp_event_editing_loader.h"
#include "sdk/analytics/storage/apm_persisted_config.h"
#include "tests/sdk/analytics/script/program_fixture.h"

namespace {

using engine_test::EventWritingTest;
using engine_test::storedInt;
using engine_test::storedString;
using platform::Value;

APMObject i64(std::int64_t v) { return APMObject(APMValue::initWithInt64(v)); }
APMObject str(const std::string& s) { return APMObject(APMValue::initWithString(s)); }

void logInternal(const std::string& name, const APMDictionary& parameters = {}) {
  APMAnalytics::logInternalEventWithOrigin("auto", name, parameters);
}

TEST_F(EventWritingTest, LoggedEventsAreStoredAndCounted) {
  configure();
  DOREvoredire::logEventWithName("level_up", {{"score", APMObject(5)}});
  logInternal("_e", {{"_et", i64(10)}});
  const auto events = stored();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].name, "level_up");
  EXPECT_EQ(events[0].origin, "app");
  EXPECT_EQ(storedInt(events[0], "score"), 5);
  EXPECT_EQ(events[1].name, "_e");
  const auto c = counts();
  EXPECT_EQ(c->allEventsCount(), 2);
  EXPECT_EQ(c->publicEventsCount(), 1);
  // One aggregates row per name.
  EXPECT_EQ(query("SELECT name FROM events ORDER BY name").size(), 2u);
}

TEST_F(EventWritingTest, EngineEventsGetTheDefaultParametersExceptTheErrorEvent) {
  configure();
  recordEvents();
  DOREvoredire::setDefaultEventParameters(APMDictionary{{"plan", APMObject("pro")}});
  platform::testing::runUntilIdle();
  // Asynchronously: a synchronous dispatch runs on the calling (main) thread, which the entry refuses.
  const auto measurement = engine();
  measurement->scheduler()->scheduleOnWorkerQueueBlockID("test", [measurement] {
    measurement->handleInternalEventOnWorkerQueue(APMEvent::initWithOrigin("auto", false, "_s", 1, 0, {}));
    measurement->handleInternalEventOnWorkerQueue(
        APMEvent::initWithOrigin("auto", false, "_err", 1, 0, {{"_err", i64(2)}}));
  });
  const auto events = stored();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(storedString(events[0], "plan"), "pro");
  EXPECT_EQ(storedString(events[1], "plan"), "<none>");
  EXPECT_EQ(this->events().size(), 2u);  // the listeners hear of both
}

TEST_F(EventWritingTest, DisabledCollectionStoresAndCountsNothing) {
  configure();
  DOREvoredire::setAnalyticsCollectionEnabled(false);
  platform::testing::runUntilIdle();
  DOREvoredire::logEventWithName("while_off", {});
  logInternal("_e");
  EXPECT_TRUE(stored().empty());
  EXPECT_EQ(counts()->allEventsCount(), 0);
}

TEST_F(EventWritingTest, AllowlistKeepsOnlyListedNamesWithTheMarker) {
  APMAnalytics::startWithAppID(std::string(engine_test::kAppID), "fa",
                               APMStartOptions{{{"safelisted_events", Value(Value::Array{Value("allowed")})}}, nullptr});
  platform::testing::runUntilIdle();
  ASSERT_TRUE(APMMeasurement::hasSharedInstance());
  // Without the core configured, through the facade.
  APMAnalytics::logEventWithOrigin("app", "allowed", {});
  APMAnalytics::logEventWithOrigin("app", "other", {});
  const auto events = stored();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "allowed");
  EXPECT_EQ(storedInt(events[0], "ga_safelisted"), 1);
  EXPECT_TRUE(loggedCode(23174));
}

TEST_F(EventWritingTest, DuplicateSubscriptionPurchasesAreDropped) {
  configure();
  const APMDictionary renewal{{"_did", i64(42)}, {"product_id", str("pro")}};
  logInternal("_assr", renewal);
  logInternal("_assr", renewal);
  // Without an integer purchase ID nothing is de-duplicated.
  logInternal("_assr", {{"_did", str("42")}});
  logInternal("_assr", {{"_did", str("42")}});
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"_assr", "_assr", "_assr"}));
  EXPECT_EQ(linesWithCode(23182), 1);
}

TEST_F(EventWritingTest, RolloutSessionStartIsStoredOnlyWhenTheValueChanges) {
  configure();
  const auto persisted = APMPersistedConfig::sharedInstance();
  struct Step {
    const char* label;
    APMObject value;
    bool storedEvent;
    std::optional<std::string> rollouts;
  };
  const std::vector<Step> steps = {
      {"no value, none stored", APMObject(), false, std::nullopt},
      {"first value", str("r1"), true, "r1"},
      {"same value", str("r1"), false, "r1"},
      {"new value", str("r2"), true, "r2"},
      {"not a string clears", i64(3), true, std::nullopt},
  };
  std::size_t expected = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.label);
    APMDictionary parameters;
    if (!s.value.isNil()) parameters["_ffr"] = s.value;
    logInternal("_ssr", parameters);
    expected += s.storedEvent;
    EXPECT_EQ(stored().size(), expected);
    EXPECT_EQ(persisted->vuduzaraFeatureRollouts(), s.rollouts);
  }
  // A stored value goes onto app exceptions and makes a session start write its own "_ssr".
  persisted->setVuduzaraFeatureRollouts("r9");
  logInternal("_ae");
  logInternal("_s");
  const auto events = stored();
  ASSERT_EQ(events.size(), expected + 3);
  EXPECT_EQ(storedString(events[expected], "_ffr"), "r9");
  EXPECT_EQ(events[expected + 2].name, "_ssr");
  EXPECT_EQ(storedString(events[expected + 2], "_ffr"), "r9");
}

TEST_F(EventWritingTest, BlocklistedEventsAreRejectedWithTheErrorEvent) {
  configure();
  loadConfiguration({"level_up"}, nullptr);
  DOREvoredire::logEventWithName("level_up", {});
  auto events = stored();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "_err");
  EXPECT_EQ(storedInt(events[0], "_err"), 11);
  EXPECT_EQ(storedString(events[0], "_ev"), "level_up");
  EXPECT_TRUE(loggedCode(23052));

  // A blocked error event makes none of its own.
  loadConfiguration({"_err"}, nullptr);
  logInternal("_err", {{"_err", i64(2)}});
  EXPECT_EQ(stored().size(), 1u);
  // Blocking all public events silences the error event.
  loadConfiguration({"level_up"}, nullptr);
  settings({{"measurement.upload.blacklist_public", "1"}});
  DOREvoredire::logEventWithName("level_up", {});
  DOREvoredire::logEventWithName("other", {});
  EXPECT_EQ(stored().size(), 1u);
  EXPECT_EQ(linesWithCode(23052), 4);
}

class EventEditingPipelineTest : public EventWritingTest {
 protected:
  void SetUp() override {
    EventWritingTest::SetUp();
    APMPEventEditingLoader::load();
  }
  void TearDown() override {
    APMSetEventEditingLoader(nullptr);
    EventWritingTest::TearDown();
  }
};

TEST_F(EventEditingPipelineTest, TheConfigurationsProgramEditsDropsAndCreatesEvents) {
  configure();
  loadConfiguration({}, editingProgramNamed("fixture"));
  EXPECT_TRUE(loggedCode(29027));
  DOREvoredire::logEventWithName("old_name", {{"debug", str("x")}, {"keep", i64(1)}});
  DOREvoredire::logEventWithName("debug_42", {});
  DOREvoredire::logEventWithName("purchase_shoes", {});
  const auto events = stored();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].name, "new_name");
  EXPECT_EQ(storedString(events[0], "debug"), "<none>");
  EXPECT_EQ(storedInt(events[0], "keep"), 1);
  EXPECT_EQ(events[1].name, "purchase_shoes");
  // The created event keeps the origin the program gave it and is not edited again.
  EXPECT_EQ(events[2].name, "copy__shoes");
  EXPECT_EQ(events[2].origin, "auto");
  EXPECT_EQ(storedString(events[2], "source"), "purchase_shoes");
}

TEST_F(EventEditingPipelineTest, FailingOrSwitchedOffEditingWritesTheEventAsItCame) {
  configure();
  loadConfiguration({}, editingProgramNamed("endlessLoop"));
  DOREvoredire::logEventWithName("old_name", {});
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"old_name"}));
  EXPECT_TRUE(loggedCode(23223));

  loadConfiguration({}, editingProgramNamed("fixture"));
  settings({{"measurement.ees_feature_enabled", "0"}});
  DOREvoredire::logEventWithName("old_name", {});
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"old_name", "old_name"}));
}

TEST_F(EventWritingTest, DailyLimitsAtTheirEdges) {
  configure();
  settings({{"measurement.upload.max_events_per_day", "3"}});
  for (int i = 0; i < 5; ++i) DOREvoredire::logEventWithName("tick", {});
  EXPECT_EQ(stored().size(), 3u);
  EXPECT_EQ(counts()->allEventsCount(), 5);  // dropped events still count
  EXPECT_EQ(linesWithCode(23055), 1);        // at the limit; the next line comes 1000 later

  // A new day starts the counts again.
  platform::testing::advance(86400);
  DOREvoredire::logEventWithName("tick", {});
  EXPECT_EQ(stored().size(), 4u);
  EXPECT_EQ(counts()->allEventsCount(), 1);

  // One public event is left today; each refused one makes an error event, the line comes once.
  settings({{"measurement.upload.max_public_events_per_day", "2"}});
  for (int i = 0; i < 3; ++i) DOREvoredire::logEventWithName("tock", {});
  logInternal("_e");
  auto events = stored();
  std::multiset<std::string> names;
  std::vector<std::int64_t> errorCodes;
  for (std::size_t i = 4; i < events.size(); ++i) {
    names.insert(events[i].name);
    if (events[i].name == "_err") errorCodes.push_back(storedInt(events[i], "_err"));
  }
  EXPECT_EQ(names, (std::multiset<std::string>{"tock", "_err", "_err", "_e"}));
  EXPECT_EQ(errorCodes, (std::vector<std::int64_t>{16, 16}));
  EXPECT_EQ(linesWithCode(23057), 1);
  EXPECT_EQ(counts()->publicEventsCount(), 4);  // refused public events still count
  EXPECT_EQ(counts()->errorEventsCount(), 2);

  // Error events have their own limit, and over it make no error event of their own.
  settings({{"measurement.upload.max_error_events_per_day", "2"}});
  logInternal("_err", {{"_err", i64(2)}});
  EXPECT_EQ(stored().size(), events.size());
  EXPECT_EQ(linesWithCode(23056), 1);
  EXPECT_EQ(counts()->errorEventsCount(), 3);
}

TEST_F(EventWritingTest, OverLimitLinesAreWrittenEveryThousandEvents) {
  configure();
  settings({{"measurement.upload.max_events_per_day", "0"}});
  const auto write = [&](int n) {
    onWorker([&] {
      for (int i = 0; i < n; ++i) {
        engine()->writeFilteredEventOnWorkerQueue(APMEvent::initWithOrigin("auto", false, "_e", 1, 0, {}));
      }
    });
  };
  write(1);  // excess 0: the first line
  onWorker([&] {
    const auto c = engine()->database()->dailyCounts(nullptr);
    const APMDailyCounts later(c->day(), 0, 999, 0, 0, 0);
    ASSERT_TRUE(engine()->database()->updateDailyCounts(&later, nullptr));
  });
  write(3);  // excess 999, 1000 and 1001: one more line
  EXPECT_EQ(linesWithCode(23055), 2);
  EXPECT_EQ(counts()->allEventsCount(), 1002);
  EXPECT_TRUE(stored().empty());
}

TEST_F(EventWritingTest, TheDistinctNameLimitRefusesOnlyNewPublicNames) {
  configure();
  onWorker([&] {
    ASSERT_TRUE(engine()->database()->performTransaction([&] {
      for (int i = 0; i < 500; ++i) {
        const APMEventAggregates row("name_" + std::to_string(i), 0, 0, 0, 0);
        if (!engine()->database()->updateEventAggregates(&row, nullptr)) return false;
      }
      return true;
    }));
  });
  DOREvoredire::logEventWithName("name_7", {});
  DOREvoredire::logEventWithName("one_too_many", {});
  logInternal("_e");
  const auto events = stored();
  std::multiset<std::string> names;
  for (const auto& e : events) names.insert(e.name);
  EXPECT_EQ(names, (std::multiset<std::string>{"name_7", "_err", "_e"}));
  for (const auto& e : events) {
    if (e.name == "_err") {
      EXPECT_EQ(storedInt(e, "_err"), 8);
    }
  }
  EXPECT_TRUE(loggedCode(23065));
}

TEST_F(EventWritingTest, EventsShareAMetadataRecordUntilTheStateChanges) {
  configure();
  DOREvoredire::logEventWithName("first", {});
  DOREvoredire::logEventWithName("second", {});
  DOREvoredire::setUserPropertyString(APMObject("blue"), "color");
  platform::testing::runUntilIdle();
  DOREvoredire::logEventWithName("third", {});
  const auto events = stored();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].fingerprint, events[1].fingerprint);
  EXPECT_NE(events[1].fingerprint, events[2].fingerprint);
  const auto records = query("SELECT metadata_fingerprint, metadata FROM raw_events_metadata");
  ASSERT_EQ(records.size(), 2u);
  for (const APMRecord& record : records) {
    EXPECT_EQ(VULGzip::apm_64LSBMD5(*record.at("metadata").ifData()), record.at("metadata_fingerprint").integerValue());
  }
}

TEST_F(EventWritingTest, EachStoredFirstOpenRaisesTheKeychainCounter) {
  configure();
  const std::string bundleID(engine_test::kBundleID);
  struct Case {
    std::optional<std::string> before;
    std::string after;
  };
  const std::vector<Case> cases = {
      {std::nullopt, "1"}, {"5", "6"}, {"-3", "1"}, {"junk", "1"}, {"9223372036854775807", "9223372036854775807"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before.value_or("<absent>"));
    if (c.before) {
      ASSERT_TRUE(APMKeychainWrapper::upsertKeychainValue(*c.before, "_pfo", bundleID));
    } else {
      APMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", bundleID);
    }
    logInternal("_f");
    platform::testing::runUntilIdle();
    EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", bundleID), c.after);
  }
}

TEST_F(EventWritingTest, ConversionsAndDebugModeMarkEventsRealtime) {
  configure();
  DOREvoredire::logEventWithName("purchase", {{"value", APMObject(1.5)}, {"currency", APMObject("usd")}});
  DOREvoredire::logEventWithName("level_up", {});
  platform::testing::runUntilIdle();
  // Past the day's real-time allowance a marked event loses its mark, unless it is exempt.
  onWorker([&] {
    auto counts = engine()->database()->dailyCounts(nullptr);
    const APMDailyCounts full(counts->day(), 0, counts->allEventsCount(), counts->publicEventsCount(), 0, 10);
    engine()->database()->updateDailyCounts(&full, nullptr);
    for (const char* name : {"_e", "_iap"}) {
      auto event = APMEvent::initWithOrigin("auto", false, name, 1, 0, {});
      event->setRealtime(true);
      engine()->writeFilteredEventOnWorkerQueue(event);
    }
  });
  APMMeasurementMonitor()->setDebugModeEnabled(true);
  DOREvoredire::logEventWithName("level_up", {});
  platform::testing::runUntilIdle();
  APMMeasurementMonitor()->setDebugModeEnabled(false);
  const auto events = stored();
  ASSERT_EQ(events.size(), 5u);
  std::vector<std::string> order;
  for (const auto& e : events) order.push_back(e.name);
  EXPECT_EQ(order, (std::vector<std::string>{"purchase", "level_up", "_e", "_iap", "level_up"}));
  EXPECT_TRUE(events[0].realtime);  // a default conversion
  EXPECT_FALSE(events[1].realtime);
  EXPECT_FALSE(events[2].realtime);
  EXPECT_TRUE(loggedCode(23060));
  EXPECT_TRUE(events[3].realtime);
  EXPECT_TRUE(events[4].realtime);
  EXPECT_EQ(storedInt(events[4], "_dbg"), 1);
  // The purchase also raised the lifetime value.
  EXPECT_EQ(userProperties(true).at("_ltv_USD"), Value(std::int64_t{1'500'000}));
}

TEST_F(EventWritingTest, AFailedLifetimeValueRollsTheWholeEventBack) {
  configure();
  DOREvoredire::logEventWithName("purchase", {{"value", APMObject(1e14)}, {"currency", APMObject("USD")}});
  EXPECT_TRUE(stored().empty());
  EXPECT_EQ(counts()->allEventsCount(), 0);
  EXPECT_TRUE(loggedCode(22002));
  EXPECT_TRUE(loggedCode(23053));
}

}  // namespace
