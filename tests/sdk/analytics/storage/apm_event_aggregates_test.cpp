#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "sdk/analytics/storage/apm_storage_records.h"
#include "tests/sdk/analytics/monitor_recorder.h"

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

TEST(APMEventAggregatesTest, ANewRecordStartsWithNeutralSamplingState) {
  MonitorRecorder recorder;
  const auto aggregates = APMEventAggregates::initWithName("_e", 0, 0, 0, 12.5);
  ASSERT_TRUE(aggregates);
  EXPECT_EQ(aggregates->name(), "_e");
  EXPECT_DOUBLE_EQ(aggregates->lastFireTimestamp(), 12.5);
  EXPECT_EQ(aggregates->lastSamplingRate(), 1);
  EXPECT_EQ(aggregates->lastBundledDay(), 0);
  EXPECT_DOUBLE_EQ(aggregates->lastBundledTimestamp(), 0);
  EXPECT_FALSE(aggregates->lastSampledComplexEventID());
  EXPECT_FALSE(aggregates->lastExemptFromSampling());
  EXPECT_TRUE(recorder.codes().empty());
}

TEST(APMEventAggregatesTest, InvalidInputGivesNothingAndOnlyNegativeCountsAreReported) {
  struct Case {
    const char* what;
    std::string name;
    std::int32_t lifetime, bundle, session;
    bool reported;
  };
  const Case cases[] = {
      {"name of 41 code points", std::string(41, 'a'), 0, 0, 0, false},
      {"name with a hyphen", "level-up", 0, 0, 0, false},
      {"empty name", "", 0, 0, 0, false},
      {"negative lifetime count", "level_up", -1, 0, 0, true},
      {"negative bundle count", "level_up", 0, -1, 0, true},
      {"negative session count", "level_up", 0, 0, -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MonitorRecorder recorder;
    EXPECT_FALSE(APMEventAggregates::initWithName(c.name, c.lifetime, c.bundle, c.session, 0));
    EXPECT_EQ(recorder.has(17000), c.reported);
  }
  EXPECT_TRUE(APMEventAggregates::initWithName(std::string(40, 'a'), kMax, kMax, kMax, 0));
}

TEST(APMEventAggregatesTest, EachCountWrapsToZeroAtTheMaximumWithItsOwnLine) {
  using Counts = std::function<std::int32_t(const APMEventAggregates&)>;
  struct Case {
    const char* what;
    std::function<void(APMEventAggregates&)> increment;
    Counts count;
    std::int64_t code;
    // The counts (lifetime, bundle, session) for a record whose tested count is `value`.
    std::function<std::shared_ptr<APMEventAggregates>(std::int32_t value)> make;
  };
  const Case cases[] = {
      {"lifetime", &APMEventAggregates::incrementLifetimeCount, &APMEventAggregates::lifetimeCount, 17001,
       [](std::int32_t v) { return APMEventAggregates::initWithName("e", v, 7, 7, 0); }},
      {"bundle", &APMEventAggregates::incrementCurrentBundleCount, &APMEventAggregates::currentBundleCount, 17002,
       [](std::int32_t v) { return APMEventAggregates::initWithName("e", 7, v, 7, 0); }},
      {"session", &APMEventAggregates::incrementCurrentSessionCount, &APMEventAggregates::currentSessionCount, 17003,
       [](std::int32_t v) { return APMEventAggregates::initWithName("e", 7, 7, v, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MonitorRecorder recorder;
    auto below = c.make(kMax - 1);
    c.increment(*below);
    EXPECT_EQ(c.count(*below), kMax);
    EXPECT_TRUE(recorder.codes().empty());

    c.increment(*below);
    EXPECT_EQ(c.count(*below), 0);
    EXPECT_EQ(recorder.codes(), std::vector<std::int64_t>{c.code});
    // The other counts are untouched.
    EXPECT_EQ(below->lifetimeCount() + below->currentBundleCount() + below->currentSessionCount(), 14);
  }
}

}  // namespace
