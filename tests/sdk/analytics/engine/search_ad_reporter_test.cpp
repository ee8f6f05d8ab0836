#include <gtest/gtest.h>

#include "engine_test_fixture.h"
#include "platform/ads/attribution_client.h"
#include "sdk/analytics/engine/apm_search_ad_reporter.h"
#include "sdk/analytics/storage/apm_persisted_config.h"

namespace {

using platform::ads::AttributionClient;

class SearchAdReporterTest : public engine_test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    AttributionClient::resetForTesting();
    config_ = APMPersistedConfig::initWithSuiteName("search-ad-test");
    ASSERT_TRUE(config_);
  }
  void TearDown() override {
    onQueue([&] { reporter_.reset(); });
    AttributionClient::resetForTesting();
    EngineTest::TearDown();
  }

  void onQueue(const std::function<void()>& block) { queue_->sync(block); }

  // A reporter as the engine makes and starts it.
  bool startReporter() {
    onQueue([&] {
      reporter_ = APMSearchAdReporter::initWithWorkerQueue(
          queue_, config_, [this](const std::string& origin, const std::string& name, const APMDictionary& parameters) {
            std::lock_guard lock(mutex_);
            events_.push_back({origin, name, 0, parameters});
          });
      if (!reporter_) return;
      reporter_->setSearchAdReporterEnabled(true);
      reporter_->start();
    });
    platform::testing::runUntilIdle();
    return reporter_ != nullptr;
  }
  std::optional<double> nextLookup() {
    std::optional<double> due;
    onQueue([&] { due = reporter_ ? reporter_->scheduledTimestamp() : std::nullopt; });
    return due;
  }
  static double now() { return platform::Clock::current().now().timeIntervalSince1970(); }

  std::shared_ptr<platform::DispatchQueue> queue_ = platform::DispatchQueue::serial("search-ad-worker");
  std::shared_ptr<APMPersistedConfig> config_;
  std::shared_ptr<APMSearchAdReporter> reporter_;
};

TEST_F(SearchAdReporterTest, AnAttributedAnswerIsReportedOnceAndNeverAskedAgain) {
  AttributionClient::link();
  AttributionClient::enqueueAnswer({AttributionClient::details(true, "Spring", "focus timer", "777"), std::nullopt});
  config_->setFirstOpenTimestampMilliseconds(1'780'000'000'000);
  ASSERT_TRUE(startReporter());

  EXPECT_EQ(AttributionClient::requestCount(), 1u);
  EXPECT_EQ(config_->searchAdRetryCount(), 1);
  EXPECT_DOUBLE_EQ(config_->lastSearchAdLookUpTimestamp(), now());
  const auto logged = events();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].origin, "auto");
  EXPECT_EQ(logged[0].name, "_cmp");
  const auto text = [&](std::string_view key) { return *logged[0].parameters.at(std::string(key)).ifString(); };
  EXPECT_EQ(text("source"), "Apple");
  EXPECT_EQ(text("medium"), "search");
  EXPECT_EQ(text("campaign"), "Spring");
  EXPECT_EQ(text("term"), "focus timer");
  EXPECT_EQ(logged[0].parameters.at("click_timestamp").platformValue()->integerValue(), 1'779'999'999'999);
  EXPECT_TRUE(config_->searchAdCampaignValue().boolValue());
  EXPECT_FALSE(nextLookup());

  platform::testing::advance(3 * 86400);
  EXPECT_EQ(AttributionClient::requestCount(), 1u);
  onQueue([&] { reporter_.reset(); });
  EXPECT_FALSE(startReporter());
  EXPECT_TRUE(loggedCode(32002));
}

TEST_F(SearchAdReporterTest, AnswersThatSettleNothingRetryADayLater) {
  struct Case {
    const char* what;
    AttributionClient::Answer answer;
    std::int64_t code;
  };
  const std::vector<Case> cases = {
      {"error", {{}, platform::Error(std::string(platform::ads::kAttributionErrorDomain), 1)}, 32010},
      {"no details", {{}, std::nullopt}, 32011},
      {"the platform's test answer",
       {AttributionClient::details(true, "CampaignName", "Keyword", "1234567890"), std::nullopt},
       32012},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    onQueue([&] { reporter_.reset(); });
    config_->clearValues();
    AttributionClient::resetForTesting();
    AttributionClient::link();
    AttributionClient::enqueueAnswer(c.answer);
    lines_.clear();
    events_.clear();
    ASSERT_TRUE(startReporter());
    EXPECT_TRUE(loggedCode(c.code));
    EXPECT_TRUE(config_->searchAdCampaignValue().isNull());
    const auto due = nextLookup();
    ASSERT_TRUE(due);
    EXPECT_DOUBLE_EQ(*due, now() + 86400);

    platform::testing::advance(86399);
    EXPECT_EQ(AttributionClient::requestCount(), 1u);
    platform::testing::advance(1);
    EXPECT_EQ(AttributionClient::requestCount(), 2u);  // the standing answer: not attributed
    EXPECT_FALSE(config_->searchAdCampaignValue().boolValue());
    EXPECT_FALSE(config_->searchAdCampaignValue().isNull());
    EXPECT_TRUE(events().empty());
    EXPECT_FALSE(nextLookup());
  }
}

TEST_F(SearchAdReporterTest, TheLastLookupTimeDelaysTheFirstOfALaunch) {
  AttributionClient::link();
  AttributionClient::setStandingAnswer({{}, platform::Error(std::string(platform::ads::kAttributionErrorDomain), 1)});
  config_->setSearchAdRetryCount(3);
  config_->setLastSearchAdLookUpTimestamp(now() - 3600);
  ASSERT_TRUE(startReporter());
  EXPECT_EQ(AttributionClient::requestCount(), 0u);
  EXPECT_DOUBLE_EQ(*nextLookup(), now() + 86400 - 3600);
  platform::testing::advance(86400 - 3600);
  EXPECT_EQ(AttributionClient::requestCount(), 1u);
  EXPECT_EQ(config_->searchAdRetryCount(), 4);
}

TEST_F(SearchAdReporterTest, TenLookupsAreTheMost) {
  AttributionClient::link();
  AttributionClient::setStandingAnswer({{}, platform::Error(std::string(platform::ads::kAttributionErrorDomain), 1)});
  config_->setSearchAdRetryCount(9);
  ASSERT_TRUE(startReporter());
  EXPECT_EQ(AttributionClient::requestCount(), 1u);
  EXPECT_EQ(config_->searchAdRetryCount(), 10);
  EXPECT_TRUE(loggedCode(32007));
  EXPECT_FALSE(nextLookup());
  platform::testing::advance(2 * 86400);
  EXPECT_EQ(AttributionClient::requestCount(), 1u);

  onQueue([&] { reporter_.reset(); });
  EXPECT_FALSE(startReporter());
}

TEST_F(SearchAdReporterTest, WithoutTheClientOrWhileDisabledNothingIsAsked) {
  ASSERT_TRUE(startReporter());
  EXPECT_TRUE(loggedCode(32003));
  EXPECT_FALSE(nextLookup());

  onQueue([&] { reporter_.reset(); });
  AttributionClient::link();
  onQueue([&] {
    reporter_ = APMSearchAdReporter::initWithWorkerQueue(queue_, config_);
    reporter_->start();  // not enabled yet
  });
  platform::testing::runUntilIdle();
  EXPECT_EQ(AttributionClient::requestCount(), 0u);
  onQueue([&] { reporter_->setSearchAdReporterEnabled(true); });
  platform::testing::runUntilIdle();
  EXPECT_EQ(AttributionClient::requestCount(), 1u);
}

TEST_F(SearchAdReporterTest, TheEngineStartsTheReporterAtStart) {
  AttributionClient::link();
  configure();
  EXPECT_EQ(AttributionClient::requestCount(), 1u);
  EXPECT_FALSE(APMPersistedConfig::sharedInstance()->searchAdCampaignValue().isNull());
}

}  // namespace
