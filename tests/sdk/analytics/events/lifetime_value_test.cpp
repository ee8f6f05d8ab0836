// Lifetime value: purchase totals per currency in micro-units, the tracked-currency limit, and
// that a bad amount, an overflowing total or a store failure never leaves a wrong total behind.
#include "sdk/analytics/events/apm_lifetime_value_recorder.h"

#include <gtest/gtest.h>

#include <climits>

#include "platform/testing/testing.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/events/apm_event.h"
#include "tests/sdk/analytics/monitor_recorder.h"
#include "tests/sdk/analytics/storage/storage_test_support.h"

namespace {

APMObject str(const std::string& s) { return APMObject(APMValue::initWithString(s)); }
APMObject dbl(double d) { return APMObject(APMValue::initWithDouble(d)); }
APMObject i64(std::int64_t i) { return APMObject(APMValue::initWithInt64(i)); }

class LifetimeValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database_ = storage_test::openDatabase();
    ASSERT_TRUE(database_);
  }

  bool record(const std::string& name, APMObject value, APMObject currency) {
    APMDictionary parameters;
    if (!value.isNil()) parameters["value"] = std::move(value);
    if (!currency.isNil()) parameters["currency"] = std::move(currency);
    const bool isPublic = name.front() != '_';
    auto event = APMEvent::initWithOrigin(isPublic ? "app" : "auto", isPublic, name, 1000, 0, parameters);
    EXPECT_TRUE(event) << name;
    return event && APMLifetimeValueRecorder::recordLifetimeValueToDatabase(*database_, *event);
  }
  std::optional<std::int64_t> total(const std::string& name) {
    const auto attribute = database_->userAttributeWithName(name, nullptr);
    if (!attribute || !attribute->value() || !attribute->value()->isInt64()) return std::nullopt;
    return attribute->value()->int64Value();
  }

  MonitorRecorder recorder_;
  std::unique_ptr<APMDatabase> database_;
};

TEST_F(LifetimeValueTest, PurchasesAndRefundsAddToTheCurrencysTotal) {
  struct Step {
    std::string name;
    APMObject value;
    std::string currency;
    std::string property;
    std::int64_t expected;
  };
  const std::vector<Step> steps = {
      {"purchase", dbl(9.99), "usd", "_ltv_USD", 9'990'000},
      {"ecommerce_purchase", i64(2), "USD", "_ltv_USD", 11'990'000},
      {"refund", i64(5), "EUR", "_ltv_EUR", -5'000'000},
      // In-app purchases arrive in micro-units already; a double is truncated.
      {"_iap", i64(1'250'000), "usd", "_ltv_USD", 13'240'000},
      {"_iap", dbl(100.9), "EUR", "_ltv_EUR", -4'999'900},
      // Half a micro-unit rounds away from zero, as a decimal would.
      {"purchase", dbl(0.0000005), "GBP", "_ltv_GBP", 1},
      {"refund", dbl(0.0000005), "JPY", "_ltv_JPY", -1},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name + " " + s.currency);
    EXPECT_TRUE(record(s.name, s.value, str(s.currency)));
    EXPECT_EQ(total(s.property), s.expected);
  }
  const auto stored = database_->userAttributeWithName("_ltv_USD", nullptr);
  EXPECT_EQ(stored->origin(), "auto");
  EXPECT_TRUE(recorder_.has(22006));
}

TEST_F(LifetimeValueTest, BadInputIsLoggedAndLetsTheEventThrough) {
  struct Case {
    const char* label;
    std::string name;
    APMObject value;
    APMObject currency;
    std::int64_t code;
  };
  const std::vector<Case> cases = {
      {"two-letter currency", "purchase", dbl(1), str("US"), 22000},
      {"no currency", "purchase", dbl(1), APMObject(), 22000},
      {"numeric currency", "purchase", dbl(1), i64(840), 22000},
      {"no value", "purchase", APMObject(), str("USD"), 22001},
      {"string value", "purchase", str("12"), str("USD"), 22001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_TRUE(record(c.name, c.value, c.currency));
    EXPECT_TRUE(recorder_.has(c.code));
  }
  EXPECT_TRUE(record("level_up", dbl(1), str("USD")));  // not a purchase
  EXPECT_EQ(database_->allLifetimeValueUserAttributes(nullptr)->size(), 0u);
}

TEST_F(LifetimeValueTest, OutOfBoundsAmountsAndOverflowingTotalsAreRefused) {
  EXPECT_FALSE(record("purchase", dbl(1e14), str("USD")));
  EXPECT_TRUE(recorder_.has(22002));
  EXPECT_FALSE(record("purchase", i64(INT64_MAX / 1000), str("USD")));
  EXPECT_FALSE(total("_ltv_USD"));

  ASSERT_TRUE(record("_iap", i64(INT64_MAX - 10), str("USD")));
  EXPECT_FALSE(record("_iap", i64(11), str("USD")));  // would wrap to a negative total
  EXPECT_EQ(total("_ltv_USD"), INT64_MAX - 10);
  EXPECT_TRUE(record("_iap", i64(10), str("USD")));
  EXPECT_EQ(total("_ltv_USD"), INT64_MAX);
  EXPECT_FALSE(record("_iap", dbl(1e19), str("EUR")));
}

TEST_F(LifetimeValueTest, AFifthCurrencyReplacesTheOneSetLongestAgo) {
  for (const char* currency : {"USD", "EUR", "GBP", "JPY"}) {
    ASSERT_TRUE(record("purchase", i64(1), str(currency)));
    platform::testing::advance(1);
  }
  ASSERT_TRUE(record("purchase", i64(1), str("USD")));  // USD is now the newest
  platform::testing::advance(1);
  ASSERT_TRUE(record("purchase", i64(3), str("CHF")));
  EXPECT_FALSE(total("_ltv_EUR"));
  EXPECT_EQ(total("_ltv_USD"), 2'000'000);
  EXPECT_EQ(total("_ltv_CHF"), 3'000'000);
  EXPECT_EQ(database_->allLifetimeValueUserAttributes(nullptr)->size(), 4u);
}

TEST_F(LifetimeValueTest, AStoreFailureAnswersNo) {
  platform::Error error;
  ASSERT_TRUE(database_->store()->executeSQL("DROP TABLE user_attributes", &error)) << error.description();
  EXPECT_FALSE(record("purchase", i64(1), str("USD")));
  EXPECT_TRUE(recorder_.has(22003));
}

}  // namespace
