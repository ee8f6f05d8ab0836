#include "sdk/analytics/events/apm_audience.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/testing/testing.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/events/apm_audience_filters.h"
#include "sdk/analytics/events/apm_audience_matching.h"
#include "sdk/analytics/events/apm_audience_patterns.h"
#include "sdk/analytics/events/apm_audience_timestamps_cache.h"
#include "sdk/analytics/messages/nano_accessors.h"
#include "sdk/analytics/storage/apm_database.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apm_storage_records.h"
#include "tests/sdk/analytics/monitor_recorder.h"

namespace {

constexpr std::int32_t F(std::int32_t tag) { return APMAudienceField(tag); }
using Strings = std::vector<std::string>;

std::shared_ptr<APMPBStringFilter> stringFilter(std::int32_t type, std::optional<std::string> expression,
                                                bool caseSensitive = false, Strings list = {}) {
  auto f = APMPBStringFilter::initWithMessageInfo();
  NANOSetInt32(f.get(), F(1), type);
  if (expression) NANOSetString(f.get(), F(2), *expression);
  if (caseSensitive) NANOSetBool(f.get(), F(3), true);
  platform::Value::Array array(list.begin(), list.end());
  if (!list.empty()) NANOSetArray(f.get(), F(4), platform::Value(array));
  return f;
}

std::shared_ptr<APMPBNumberFilter> numberFilter(std::int32_t type, std::string value, std::string min = "",
                                                std::string max = "") {
  auto f = APMPBNumberFilter::initWithMessageInfo();
  NANOSetInt32(f.get(), F(1), type);
  if (!value.empty()) NANOSetString(f.get(), F(3), value);
  if (!min.empty()) NANOSetString(f.get(), F(4), min);
  if (!max.empty()) NANOSetString(f.get(), F(5), max);
  return f;
}

std::shared_ptr<APMPBFilter> filterOf(const std::shared_ptr<APMPBStringFilter>& s,
                                      const std::shared_ptr<APMPBNumberFilter>& n, std::string param = "p",
                                      bool complement = false) {
  auto f = APMPBFilter::initWithMessageInfo();
  if (s) NANOSetMessage(f.get(), F(1), s.get());
  if (n) NANOSetMessage(f.get(), F(2), n.get());
  if (complement) NANOSetBool(f.get(), F(3), true);
  if (!param.empty()) NANOSetString(f.get(), F(4), param);
  return f;
}

struct EventFilterSpec {
  std::int32_t id = 0;
  std::string name = "shop";
  std::vector<std::shared_ptr<APMPBFilter>> filters = {};
  std::shared_ptr<APMPBNumberFilter> count = nullptr;
  bool dynamic = false, sequence = false, session = false;
};
std::shared_ptr<APMPBEventFilter> eventFilter(const EventFilterSpec& s) {
  auto f = APMPBEventFilter::initWithMessageInfo();
  if (s.id >= -1000) NANOSetInt32(f.get(), F(1), s.id);
  if (!s.name.empty()) NANOSetString(f.get(), F(2), s.name);
  if (!s.filters.empty()) NANOSetArray(f.get(), F(3), s.filters);
  if (s.count) NANOSetMessage(f.get(), F(5), s.count.get());
  NANOSetBool(f.get(), F(6), s.dynamic);
  NANOSetBool(f.get(), F(7), s.sequence);
  NANOSetBool(f.get(), F(8), s.session);
  return f;
}

std::shared_ptr<APMPBPropertyFilter> propertyFilter(std::int32_t id, std::string name,
                                                    std::shared_ptr<APMPBFilter> filter, bool dynamic = false,
                                                    bool sequence = false, bool session = false) {
  auto f = APMPBPropertyFilter::initWithMessageInfo();
  NANOSetInt32(f.get(), F(1), id);
  if (!name.empty()) NANOSetString(f.get(), F(2), name);
  if (filter) NANOSetMessage(f.get(), F(3), filter.get());
  NANOSetBool(f.get(), F(4), dynamic);
  NANOSetBool(f.get(), F(5), sequence);
  NANOSetBool(f.get(), F(6), session);
  return f;
}

std::shared_ptr<APMPBAudience> audience(std::optional<std::int32_t> id,
                                        std::vector<std::shared_ptr<APMPBEventFilter>> events,
                                        std::vector<std::shared_ptr<APMPBPropertyFilter>> properties = {}) {
  auto a = APMPBAudience::initWithMessageInfo();
  if (id) NANOSetInt32(a.get(), F(1), *id);
  if (!properties.empty()) NANOSetArray(a.get(), F(2), properties);
  if (!events.empty()) NANOSetArray(a.get(), F(3), events);
  return a;
}

APMValuePtr str(const std::string& s) { return APMValue::initWithString(std::string(s)); }

APMFilterOutcome matchString(const std::shared_ptr<APMPBStringFilter>& f, const std::string& s) {
  return APMEvaluateStringFilter(*f, &s);
}

class APMAudienceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = platform::testing::useManualClock();
    platform::Error error;
    db_ = APMDatabase::initWithDatabaseName(std::string(kAPMMeasurementDatabaseName), nullptr, &error);
    ASSERT_TRUE(db_) << error.description();
    audience_ = std::make_unique<APMAudience>(*db_);
  }

  APMResultWords words(std::int32_t audienceID) {
    const auto result = db_->filterResultForAudienceID(audienceID, nullptr);
    if (!result) return {};
    return APMResultWords::fromResultData(*APMPBResultData::initWithBuffer(result->currentResults()));
  }
  std::shared_ptr<APMPBResultData> data(std::int32_t audienceID) {
    const auto result = db_->filterResultForAudienceID(audienceID, nullptr);
    return result ? APMPBResultData::initWithBuffer(result->currentResults()) : nullptr;
  }
  std::vector<std::int64_t> sequenceTimes(std::int32_t audienceID) {
    std::vector<std::int64_t> out;
    const auto stored = data(audienceID);
    const auto entries = *NANOGetArray<APMPBSequenceFilterResultTimestamp>(stored.get(), F(4));
    for (const auto& entry : entries) {
      const auto times = *NANOGetArray(entry.get(), F(2));
      for (const auto& t : times) out.push_back(t.integerValue());
    }
    return out;
  }
  bool logEvent(const std::string& name, double time, APMDictionary params = {},
                std::shared_ptr<APMEventAggregates> aggregates = nullptr, APMAudienceTimestampsCache* cache = nullptr) {
    return audience_->evaluateFiltersForEventName(name, params, aggregates.get(), time, cache);
  }
  bool setProperty(const std::string& name, APMValuePtr value, double time) {
    return audience_->evaluateFiltersForUserProperty(APMUserAttribute("", name, std::move(value), time), nullptr,
                                                     time);
  }

  MonitorRecorder recorder_;
  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::unique_ptr<APMDatabase> db_;
  std::unique_ptr<APMAudience> audience_;
};

}  // namespace

TEST(APMAudienceValidationTest, EveryRuleRejectsWithItsCodeAndMessage) {
  MonitorRecorder recorder;
  const auto ok = filterOf(stringFilter(kAPMMatchExact, "x"), nullptr);
  const auto prop = [&](std::int32_t id) { return propertyFilter(id, "color", ok); };
  std::vector<std::shared_ptr<APMPBFilter>> tooMany(26, ok);
  struct Case {
    std::shared_ptr<APMPBAudience> audience;
    std::int64_t code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {audience(std::nullopt, {eventFilter({})}), 9, "Missing audience ID"},
      {audience(-1, {eventFilter({})}), 9, "Audience ID is negative"},
      {audience(7, {eventFilter({})}), 9, "Duplicate audience ID"},
      // Repeated fields always count as present, so an audience without filters fails on its count.
      {audience(1, {}), 9, "Audience filter count out of range"},
      {audience(1, std::vector(11, eventFilter({}))), 9, "Audience filter count out of range"},
      {audience(1, {eventFilter({.name = ""})}), 10, "Event filter missing event name"},
      {audience(1, {eventFilter({.id = -2000})}), 10, "Missing event filter ID"},
      {audience(1, {eventFilter({.id = 10})}), 10, "Event filter ID is out of range"},
      {audience(1, {eventFilter({.id = 2}), eventFilter({.id = 2})}), 10, "Duplicate event filter ID"},
      {audience(1, {eventFilter({.count = [] {
                                   auto n = numberFilter(kAPMComparisonGreaterThan, "2");
                                   NANOSetBool(n.get(), F(2), true);
                                   return n;
                                 }()})}),
       10, "Event filter has float event count filter"},
      {audience(1, {eventFilter({.count = numberFilter(kAPMComparisonBetween, "", "1", "x")})}), 10,
       "Event filter has invalid event count filter"},
      {audience(1, {eventFilter({.filters = tooMany})}), 10, "Event filter parameters filters count out of range"},
      {audience(1, {eventFilter({.filters = {filterOf(stringFilter(5, "x"), nullptr, "")}})}), 10,
       "Event filter missing parameter name"},
      {audience(1, {eventFilter({.filters = {filterOf(stringFilter(5, "x"), numberFilter(1, "1"))}})}), 10,
       "Event filter must have exactly one of number or string filter"},
      {audience(1, {eventFilter({.filters = {filterOf(nullptr, numberFilter(1, "abc"))}})}), 10,
       "Event filter has invalid number filter"},
      {audience(1, {eventFilter({.filters = {filterOf(stringFilter(1, "("), nullptr)}})}), 10,
       "Event filter has invalid string filter"},
      {audience(1, {}, {propertyFilter(0, "", ok)}), 11, "Property filter missing property name"},
      {audience(1, {}, {[&] {
                  auto p = prop(0);
                  NANOClearField(p.get(), F(1));
                  return p;
                }()}),
       11, "Missing property filter ID"},
      {audience(1, {}, {prop(-1)}), 11, "Property filter ID is out of range"},
      {audience(1, {eventFilter({.id = 3})}, {prop(3)}), 11, "Duplicate property filter ID"},
      {audience(1, {}, {propertyFilter(0, "color", nullptr)}), 11, "Property filter has no filter"},
      {audience(1, {}, {propertyFilter(0, "color", filterOf(nullptr, nullptr))}), 11,
       "Property filter must have exactly one of number or string filter"},
      {audience(1, {}, {propertyFilter(0, "color", filterOf(nullptr, numberFilter(9, "1")))}), 11,
       "Property filter must have exactly one of number or string filter"},
      {audience(1, {}, {propertyFilter(0, "color", filterOf(stringFilter(6, std::nullopt), nullptr))}), 11,
       "Property filter has invalid string filter"},
  };
  auto config = APMRemoteConfig::defaultInstance();
  for (const Case& c : cases) {
    platform::Error error;
    EXPECT_FALSE(APMValidateAudience(*c.audience, {7}, *config, &error)) << c.message;
    EXPECT_EQ(error.code(), c.code) << c.message;
    EXPECT_EQ(error.localizedDescription(), c.message);
  }
  platform::Error error;
  EXPECT_TRUE(APMValidateAudience(*audience(1, {eventFilter({.id = 9})}), {}, *config, &error));
  // An unknown match type above the known ones passes validation when it has an expression.
  EXPECT_TRUE(APMValidateAudience(
      *audience(1, {eventFilter({.filters = {filterOf(stringFilter(7, "x"), nullptr)}})}), {}, *config, &error));
  EXPECT_TRUE(recorder.has(8010));
}

TEST(APMAudienceMatchingTest, StringMatchTypesWithAndWithoutCase) {
  MonitorRecorder recorder;
  struct Case {
    std::int32_t type;
    std::string expression;
    bool sensitive;
    std::string value;
    APMFilterOutcome expected;
  };
  const std::vector<Case> cases = {
      {kAPMMatchRegexp, "^ab+c$", true, "abbc", true},   {kAPMMatchRegexp, "B+", false, "abbc", true},
      {kAPMMatchRegexp, "B+", true, "abbc", false},      {kAPMMatchBeginsWith, "HEL", false, "hello", true},
      {kAPMMatchBeginsWith, "HEL", true, "hello", false}, {kAPMMatchEndsWith, "LO", false, "hello", true},
      {kAPMMatchEndsWith, "xhello", false, "hello", false}, {kAPMMatchEndsWith, "lo", true, "hello", true},
      {kAPMMatchContains, "ELL", false, "hello", true},  {kAPMMatchContains, "ELL", true, "hello", false},
      {kAPMMatchExact, "WORD", false, "word", true},     {kAPMMatchExact, "WORD", true, "word", false},
      {kAPMMatchExact, "wor", false, "word", false},     {7, "word", false, "word", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(matchString(stringFilter(c.type, c.expression, c.sensitive), c.value), c.expected)
        << c.type << " " << c.expression << " " << c.value;
  }
  EXPECT_EQ(matchString(stringFilter(kAPMMatchInList, std::nullopt, false, {"a", "RED"}), "red"), true);
  EXPECT_EQ(matchString(stringFilter(kAPMMatchInList, std::nullopt, true, {"a", "RED"}), "red"), false);
  EXPECT_EQ(APMEvaluateStringFilter(*stringFilter(5, "x"), nullptr), std::nullopt);
  EXPECT_TRUE(recorder.has(9005));
  // Unknown match types are NO, and their complement YES.
  EXPECT_EQ(APMEvaluateFilter(*filterOf(stringFilter(7, "w"), nullptr, "p", true), str("w")),
            true);
}

// A pattern that cannot finish in its time decides nothing: not NO, and through `complement` not
// YES, though the value does match (the second alternative). The stored result stays as it was.
TEST(APMAudienceMatchingTest, HostilePatternStopsAtTheTimeLimit) {
  MonitorRecorder recorder;
  const std::string value = std::string(40, 'a') + "!";
  const auto hostile = stringFilter(kAPMMatchRegexp, "^(a+)+$|!", true);
  EXPECT_EQ(matchString(hostile, value), std::nullopt);
  EXPECT_TRUE(recorder.has(9007));
  EXPECT_EQ(APMEvaluateFilter(*filterOf(hostile, nullptr, "p", true), str(value)), std::nullopt);
  EXPECT_EQ(matchString(hostile, "aaa"), true) << "a value it finishes with is decided";
}

TEST(APMAudienceMatchingTest, NumberComparisonsOnDoubleAndDecimalPaths) {
  MonitorRecorder recorder;
  const auto equal = numberFilter(kAPMComparisonEqual, "0.1");
  double up = 0.1, down = 0.1;
  for (int i = 0; i < 2; ++i) {
    up = std::nextafter(up, 1.0);
    down = std::nextafter(down, 0.0);
  }
  EXPECT_EQ(APMEvaluateNumberFilterWithDouble(*equal, 0.1), true);
  EXPECT_EQ(APMEvaluateNumberFilterWithDouble(*equal, std::nextafter(0.1, 1.0)), true);
  EXPECT_EQ(APMEvaluateNumberFilterWithDouble(*equal, std::nextafter(0.1, 0.0)), true);
  EXPECT_EQ(APMEvaluateNumberFilterWithDouble(*equal, up), false);
  EXPECT_EQ(APMEvaluateNumberFilterWithDouble(*equal, down), false);
  EXPECT_EQ(APMEvaluateNumberFilterWithInt64(*equal, 0), false);
  EXPECT_EQ(APMEvaluateFilter(*filterOf(nullptr, equal), str("0.10")), true);

  const auto between = numberFilter(kAPMComparisonBetween, "", "-1.5", "+3");
  struct Case {
    std::shared_ptr<APMPBNumberFilter> filter;
    APMValuePtr value;
    APMFilterOutcome expected;
  };
  const std::vector<Case> cases = {
      {between, APMValue::initWithDouble(-1.5), true},
      {between, APMValue::initWithInt64(3), true},
      {between, APMValue::initWithInt64(4), false},
      {numberFilter(kAPMComparisonLessThan, "10"), APMValue::initWithInt64(9), true},
      {numberFilter(kAPMComparisonGreaterThan, "9"), str("10"), true},
      {numberFilter(kAPMComparisonGreaterThan, "9"), str("ten"), std::nullopt},
      {numberFilter(kAPMComparisonGreaterThan, "9"), APMValue::initWithDouble(NAN), std::nullopt},
      {numberFilter(kAPMComparisonGreaterThan, "x"), APMValue::initWithInt64(1), std::nullopt},
      {numberFilter(kAPMComparisonGreaterThan, "9223372036854775806"), APMValue::initWithInt64(INT64_MAX), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMEvaluateFilter(*filterOf(nullptr, c.filter), c.value), c.expected) << c.value->description();
  }
  EXPECT_TRUE(recorder.has(7001));
  EXPECT_TRUE(recorder.has(7002));
}

TEST(APMAudienceMatchingTest, EventAndPropertyFilterRules) {
  MonitorRecorder recorder;
  const auto gt9 = filterOf(nullptr, numberFilter(kAPMComparisonGreaterThan, "9"), "level");
  const auto ten = APMObject(str("10"));
  // A string parameter needs a string filter; a string property may be compared as a number.
  EXPECT_EQ(APMEvaluateEventFilter(eventFilter({.filters = {gt9}}).get(), "shop", {{"level", ten}}, nullptr),
            std::nullopt);
  EXPECT_TRUE(recorder.has(7010));
  APMUserAttribute property("", "level", str("10"), 1);
  EXPECT_EQ(APMEvaluatePropertyFilter(propertyFilter(0, "level", gt9).get(), &property), true);
  // A missing parameter stays none even under complement.
  const auto complemented = filterOf(stringFilter(5, "x"), nullptr, "absent", true);
  EXPECT_EQ(APMEvaluateEventFilter(eventFilter({.filters = {complemented}}).get(), "shop", {}, nullptr),
            std::nullopt);
  EXPECT_EQ(APMEvaluateEventFilter(eventFilter({}).get(), "other", {}, nullptr), std::nullopt);
  EXPECT_EQ(APMEvaluateEventFilter(eventFilter({}).get(), "shop", {}, nullptr), true);

  auto userAttribute = APMPBUserAttribute::initWithMessageInfo();
  NANOSetString(userAttribute.get(), F(2), "n");
  NANOSetInt64(userAttribute.get(), F(1), 2500);
  EXPECT_EQ(APMUserAttributeFromNanoProperty(*userAttribute), nullptr);
  NANOSetInt64(userAttribute.get(), F(4), 5);
  const auto converted = APMUserAttributeFromNanoProperty(*userAttribute);
  ASSERT_TRUE(converted);
  EXPECT_EQ(converted->value()->int64Value(), 5);
  EXPECT_DOUBLE_EQ(converted->lastSetTimestamp(), 2.5);
}

TEST(APMAudienceTimestampsCacheTest, SequenceAndDynamicTimes) {
  MonitorRecorder recorder;
  APMSequenceTimestampsCache sequence(1);
  sequence.addEventFilterTimestamp(10.2, 4);
  sequence.addEventFilterTimestamp(10.9, 4);
  sequence.addEventFilterTimestamp(11.0, 4);
  EXPECT_EQ(sequence.sequenceTimestampsForFilterID(4), (std::vector<double>{10.2, 11.0}));
  sequence.setUserPropertyTimestamp(20, 5);
  sequence.setUserPropertyTimestamp(30, 5);
  EXPECT_EQ(sequence.sequenceTimestampsForFilterID(5), (std::vector<double>{30}));

  APMAudienceTimestampsCache cache;
  APMEventFilter dynamic(1, 2, "e", {}, false, true, false);
  cache.addEvaluationTimestamp(50, dynamic);  // never loaded: nothing
  EXPECT_TRUE(cache.dynamicTimestampsForAudienceID(1).empty());

  auto stored = APMPBResultData::initWithMessageInfo();
  auto dyn = APMPBDynamicFilterResultTimestamp::initWithMessageInfo();
  NANOSetInt32(dyn.get(), F(1), 2);
  NANOSetInt64(dyn.get(), F(2), 100);
  NANOSetArray(stored.get(), F(3), std::vector{dyn});
  auto seq = APMPBSequenceFilterResultTimestamp::initWithMessageInfo();
  NANOSetInt32(seq.get(), F(1), 3);
  NANOSetArray(seq.get(), F(2), platform::Value(platform::Value::Array{10, 20, 30}));
  NANOSetArray(stored.get(), F(4), std::vector{seq});
  const APMFilterResult result(1, *stored->protoBuffer(), std::nullopt);
  cache.populateCachedTimestamps(&result, 1);
  cache.addEvaluationTimestamp(100.7, dynamic);
  cache.addEvaluationTimestamp(100, dynamic);
  EXPECT_TRUE(recorder.has(6037));
  const auto dynamicOut = cache.dynamicTimestampsForAudienceID(1);
  ASSERT_EQ(dynamicOut.size(), 1u);
  EXPECT_EQ(NANOGetInt64(dynamicOut[0].get(), F(2)), 100);
  cache.addEvaluationTimestamp(40, APMEventFilter(1, 3, "e", {}, false, false, true));
  const auto sequenceOut = *cache.sequenceTimestampsForAudienceID(1);
  ASSERT_EQ(sequenceOut.size(), 1u);
  EXPECT_EQ(*NANOGetArray(sequenceOut[0].get(), F(2)), (platform::Value::Array{30, 40}));
}

TEST_F(APMAudienceTest, ReplacingDefinitionsValidatesRewritesNamesAndHonoursTheAudienceLimit) {
  std::vector<std::shared_ptr<APMPBAudience>> many(51, audience(1, {eventFilter({})}));
  ASSERT_TRUE(audience_->updateAudiences({audience(5, {eventFilter({})})}));
  EXPECT_TRUE(audience_->updateAudiences(many));
  EXPECT_TRUE(recorder_.has(6008));
  EXPECT_EQ(db_->eventFiltersForEventName("shop", nullptr)->size(), 1u);

  const auto rewritten = eventFilter(
      {.name = "ad_activeview", .filters = {filterOf(stringFilter(5, "x"), nullptr, "ad_unit_id")}});
  ASSERT_TRUE(audience_->updateAudiences({audience(-1, {eventFilter({})}), audience(2, {eventFilter({})}),
                                          audience(2, {eventFilter({.id = 1})}), audience(3, {rewritten})}));
  EXPECT_EQ(db_->eventFiltersForEventName("shop", nullptr)->size(), 1u);
  const auto stored = db_->eventFiltersForEventName("_aa", nullptr);
  ASSERT_EQ(stored->size(), 1u);
  const auto message = APMPBEventFilter::initWithBuffer(stored->front()->data);
  EXPECT_EQ(NANOGetString(message.get(), F(2)), "_aa");
  EXPECT_EQ(NANOGetString((*NANOGetArray<APMPBFilter>(message.get(), F(3)))[0].get(), F(4)), "_ai");

  ASSERT_TRUE(audience_->updateAudiences({}));
  EXPECT_TRUE(db_->eventFiltersForEventName("shop", nullptr)->empty());
}

TEST_F(APMAudienceTest, EventFiltersKeepTrueResultsAndCountBySessionOrLifetime) {
  // Filter IDs up to 99, so that one reaches the top bit of the first word.
  auto config = std::make_shared<APMRemoteConfig>();
  config->setRawSettings({{"measurement.audience.filter_max_count_per_audience", "100"}});
  APMSetMeasurementRemoteConfig(config);
  const auto gt2 = numberFilter(kAPMComparisonGreaterThan, "2");
  ASSERT_TRUE(audience_->updateAudiences({audience(1, {eventFilter({.id = 0, .count = gt2, .session = true}),
                                                       eventFilter({.id = 1, .count = gt2})}),
                                          audience(2, {eventFilter({.id = 63}), eventFilter({.id = 5, .name = "x"})})}));
  const auto counts = [](int session, int lifetime) {
    return std::make_shared<APMEventAggregates>("shop", lifetime, 0, session, 0);
  };
  ASSERT_TRUE(logEvent("shop", 10, {}, counts(3, 3)));
  EXPECT_TRUE(words(1).isTrue(0));
  EXPECT_TRUE(words(1).isTrue(1));
  // Session-scoped: re-evaluated, but an event never turns it false.
  ASSERT_TRUE(logEvent("shop", 11, {}, counts(1, 4)));
  EXPECT_TRUE(words(1).isTrue(0));
  // Filter ID 63 lands in the top bit of the first word.
  EXPECT_EQ(words(2).status, (std::vector<std::uint64_t>{std::uint64_t{1} << 63}));
  EXPECT_TRUE(logEvent("nothing", 12));
  APMSetMeasurementRemoteConfig(nullptr);
}

TEST_F(APMAudienceTest, DynamicPropertyTurnsFalseAndSequenceEventsGatherSeconds) {
  const auto red = filterOf(stringFilter(kAPMMatchExact, "red"), nullptr, "");
  ASSERT_TRUE(audience_->updateAudiences({audience(1, {}, {propertyFilter(0, "color", red, true)}),
                                          audience(2, {eventFilter({.id = 1, .sequence = true})})}));
  ASSERT_TRUE(setProperty("color", str("red"), 100));
  EXPECT_TRUE(words(1).isTrue(0));
  ASSERT_TRUE(setProperty("color", str("blue"), 101));
  EXPECT_TRUE(words(1).isEvaluated(0));
  EXPECT_FALSE(words(1).isTrue(0));

  APMAudienceTimestampsCache cache;
  ASSERT_TRUE(logEvent("shop", 200.1, {}, nullptr, &cache));
  ASSERT_TRUE(logEvent("shop", 200.8, {}, nullptr, &cache));
  ASSERT_TRUE(logEvent("shop", 201.2, {}, nullptr, &cache));
  EXPECT_EQ(sequenceTimes(2), (std::vector<std::int64_t>{200, 201}));
  // A new pass starts from the last stored time only.
  ASSERT_TRUE(logEvent("shop", 205, {}, nullptr));
  EXPECT_EQ(sequenceTimes(2), (std::vector<std::int64_t>{201, 205}));
}

// The default limits allow 50 audiences of 10 filters: one hostile pattern in all of them costs
// one event a single match to its time limit, compiled once, and later events nothing.
TEST_F(APMAudienceTest, HostilePatternRunsOutOfTimeOnceForTheDefinitions) {
  const auto hostile = filterOf(stringFilter(kAPMMatchRegexp, "^(a+)+$", true), nullptr, "p");
  std::vector<std::shared_ptr<APMPBAudience>> audiences;
  for (int a = 0; a < 50; ++a) {
    std::vector<std::shared_ptr<APMPBEventFilter>> filters;
    for (int f = 0; f < 10; ++f) filters.push_back(eventFilter({.id = f, .filters = {hostile}}));
    audiences.push_back(audience(a, filters));
  }
  // In one transaction, as a downloaded configuration is stored.
  const auto store = [&] { return db_->performTransaction([&] { return audience_->updateAudiences(audiences); }); };
  ASSERT_TRUE(store());
  const APMDictionary params{{"p", APMObject(str(std::string(40, 'a') + "!"))}};
  const APMAudiencePatterns& patterns = audience_->patterns();

  ASSERT_TRUE(logEvent("shop", 10, params));
  EXPECT_EQ(patterns.compilations(), 1);
  EXPECT_EQ(patterns.matchesRun(), 1);
  EXPECT_EQ(patterns.stepsSpent(), APMAudiencePatterns::kMatchStepLimit);
  EXPECT_TRUE(recorder_.has(9007));
  EXPECT_TRUE(recorder_.has(9008));
  EXPECT_FALSE(words(0).anyEvaluated()) << "undecided filters store nothing";

  ASSERT_TRUE(logEvent("shop", 11, params));
  EXPECT_EQ(patterns.matchesRun(), 1) << "skipped while these definitions last";

  ASSERT_TRUE(store());
  ASSERT_TRUE(logEvent("shop", 12, params));
  EXPECT_EQ(patterns.matchesRun(), 1) << "new definitions give it one more chance";
}

// Distinct hostile patterns share one budget per event: those cut short by it stay undecided and
// are tried again by the next event; those that reached their own limit are skipped from then on.
TEST_F(APMAudienceTest, DistinctHostilePatternsShareOneBudgetPerEvent) {
  constexpr int kPatterns = 10;
  constexpr int kPerEvent = APMAudiencePatterns::kEvaluationStepBudget / APMAudiencePatterns::kMatchStepLimit;
  std::vector<std::shared_ptr<APMPBAudience>> audiences;
  for (int a = 0; a < kPatterns; ++a) {
    const auto hostile =
        filterOf(stringFilter(kAPMMatchRegexp, "^(a+)+$|x" + std::to_string(a), true), nullptr, "p");
    audiences.push_back(audience(a, {eventFilter({.filters = {hostile}})}));
  }
  ASSERT_TRUE(audience_->updateAudiences(audiences));
  const APMDictionary params{{"p", APMObject(str(std::string(40, 'a') + "!"))}};
  const APMAudiencePatterns& patterns = audience_->patterns();

  ASSERT_TRUE(logEvent("shop", 10, params));
  EXPECT_EQ(patterns.matchesRun(), kPerEvent);
  EXPECT_LE(patterns.stepsSpent(), APMAudiencePatterns::kEvaluationStepBudget);
  EXPECT_TRUE(recorder_.has(9009));

  ASSERT_TRUE(logEvent("shop", 11, params));
  EXPECT_EQ(patterns.matchesRun(), 2 * kPerEvent);
  EXPECT_LE(patterns.stepsSpent(), 2 * APMAudiencePatterns::kEvaluationStepBudget);

  ASSERT_TRUE(logEvent("shop", 12, params));
  EXPECT_EQ(patterns.matchesRun(), kPatterns) << "every pattern ran out of its own time once";
  EXPECT_EQ(patterns.compilations(), kPatterns);
  for (int a = 0; a < kPatterns; ++a) EXPECT_FALSE(words(a).anyEvaluated());
}

TEST_F(APMAudienceTest, BundlingRotatesResultsAndSessionStartClearsScopedFilters) {
  ASSERT_TRUE(audience_->updateAudiences({audience(1, {eventFilter({.id = 0, .dynamic = true, .session = true})}),
                                          audience(2, {eventFilter({.id = 0, .name = "view", .session = true}),
                                                       eventFilter({.id = 1, .name = "buy"})})}));
  std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>> leaves;
  ASSERT_TRUE(audience_->resultsForBundling(&leaves));
  EXPECT_TRUE(leaves.empty());

  ASSERT_TRUE(logEvent("shop", 10));
  ASSERT_TRUE(logEvent("buy", 10));
  ASSERT_TRUE(logEvent("view", 10));
  ASSERT_TRUE(audience_->resultsForBundling(&leaves));
  ASSERT_EQ(leaves.size(), 2u);
  for (const auto& leaf : leaves) {
    EXPECT_TRUE(NANOGetBool(leaf.get(), F(4)));
    EXPECT_FALSE(NANOHasField(leaf.get(), F(3)));
  }
  ASSERT_TRUE(audience_->resultsForBundling(&leaves));
  for (const auto& leaf : leaves) {
    EXPECT_FALSE(NANOGetBool(leaf.get(), F(4)));
    EXPECT_FALSE(NANOHasField(leaf.get(), F(3)));
  }
  ASSERT_TRUE(logEvent("shop", 20));  // audience 1's dynamic time moves: a change
  ASSERT_TRUE(audience_->resultsForBundling(&leaves));
  for (const auto& leaf : leaves) {
    EXPECT_EQ(NANOHasField(leaf.get(), F(3)), NANOGetInt32(leaf.get(), F(1)) == 1);
  }

  ASSERT_TRUE(audience_->clearEvaluationResultsForSessionScopedFilters());
  EXPECT_EQ(db_->filterResultForAudienceID(1, nullptr), nullptr);
  EXPECT_FALSE(words(2).isEvaluated(0));
  EXPECT_TRUE(words(2).isTrue(1));
  EXPECT_TRUE(NANOGetArray<APMPBDynamicFilterResultTimestamp>(data(2).get(), F(3))->empty());
}
