#include <gtest/gtest.h>

#include <atomic>

#include "engine_test_fixture.h"
#include "platform/foundation/notification_center.h"
#include "sdk/analytics/engine/apm_ad_exposure_reporter.h"

namespace {

class AdExposureTest : public engine_test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    reporter_ = APMAdExposureReporter::make(
        {[this](const std::string& origin, const std::string& name, const APMDictionary& parameters) {
           std::lock_guard lock(mutex_);
           events_.push_back({origin, name, 0, parameters});
         },
         [this] { return active_.load(); }, [] { return APMDictionary{{"_sn", APMObject("Focus")}}; }});
  }
  void TearDown() override {
    reporter_.reset();
    EngineTest::TearDown();
  }

  void begin(const std::string& unit) {
    reporter_->beginAdUnitExposure(unit);
    reporter_->drain();
  }
  // name:"_ai":"_xt" of each event, in order.
  std::vector<std::string> logged() {
    std::vector<std::string> out;
    for (const auto& e : events()) {
      std::string text = e.name;
      if (const auto it = e.parameters.find("_ai"); it != e.parameters.end()) text += ":" + *it->second.ifString();
      text += ":" + std::to_string(e.parameters.at("_xt").platformValue()->integerValue());
      EXPECT_EQ(e.origin, "am");
      EXPECT_EQ(*e.parameters.at("_sn").ifString(), "Focus");
      out.push_back(text);
    }
    return out;
  }


 public:
  std::atomic<bool> active_{true};
  std::shared_ptr<APMAdExposureReporter> reporter_;
};

using Events = std::vector<std::string>;

TEST_F(AdExposureTest, NestedBeginsCloseWithTheirLastEnd) {
  begin("A");
  begin("A");
  platform::testing::advance(2);
  reporter_->endAdUnitExposure("A");
  EXPECT_TRUE(logged().empty());
  platform::testing::advance(1.5);
  reporter_->endAdUnitExposure("A");
  EXPECT_EQ(logged(), (Events{"_xu:A:3500", "_xa:3500"}));
  reporter_->endAdUnitExposure("A");
  EXPECT_TRUE(loggedCode(1004));
}

TEST_F(AdExposureTest, ExposuresUnderASecondAreNotLogged) {
  begin("short");
  platform::testing::advance(0.999);
  reporter_->endAdUnitExposure("short");
  EXPECT_TRUE(logged().empty());
  EXPECT_TRUE(loggedCode(1009));
  EXPECT_TRUE(loggedCode(1006));

  begin("exact");
  platform::testing::advance(1);
  reporter_->endAdUnitExposure("exact");
  EXPECT_EQ(logged(), (Events{"_xu:exact:1000", "_xa:1000"}));
}

TEST_F(AdExposureTest, ReportsCloseTheIntervalAndUnitsStayOpen) {
  begin("A");
  platform::testing::advance(2);
  begin("B");
  platform::testing::advance(3);
  platform::NotificationCenter::defaultCenter().post(std::string(kAPMSessionReporterEngagementTimerDidFire));
  EXPECT_EQ(logged(), (Events{"_xu:A:5000", "_xu:B:3000", "_xa:5000"}));

  events_.clear();
  platform::testing::advance(4);
  reporter_->handleScreenDidChangeFromScreen(APMDictionary{{"_sn", APMObject("Focus")}}, std::nullopt);
  EXPECT_EQ(logged(), (Events{"_xu:A:4000", "_xu:B:4000", "_xa:4000"}));

  // No previous screen: nothing to report.
  events_.clear();
  reporter_->handleScreenDidChangeFromScreen(std::nullopt, APMDictionary{});
  EXPECT_TRUE(logged().empty());
}

TEST_F(AdExposureTest, InactiveOrDisabledReportsStillRestartTheCounting) {
  struct Case {
    const char* what;
    std::function<void(AdExposureTest&, bool)> set;
    std::int64_t unitCode, overallCode;
  };
  const std::vector<Case> cases = {
      {"inactive", [](AdExposureTest& t, bool on) { t.active_ = on; }, 1011, 1010},
      {"disabled", [](AdExposureTest& t, bool on) { t.reporter_->setReportingEnabled(on); }, 1007, 1005},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    events_.clear();
    lines_.clear();
    begin("A");
    platform::testing::advance(5);
    c.set(*this, false);
    reporter_->handleAppWillResignActiveWithScreen(std::nullopt);
    EXPECT_TRUE(logged().empty());
    EXPECT_TRUE(loggedCode(c.unitCode));
    EXPECT_TRUE(loggedCode(c.overallCode));
    platform::testing::advance(60);
    c.set(*this, true);
    reporter_->handleAppDidBecomeActive();  // the time away is not counted
    platform::testing::advance(2);
    reporter_->endAdUnitExposure("A");
    EXPECT_EQ(logged(), (Events{"_xu:A:2000", "_xa:2000"}));
  }
}

TEST_F(AdExposureTest, BecomingActiveWithNothingOpenLeavesTheNextBeginToSetTheStart) {
  platform::testing::advance(10);
  reporter_->handleAppDidBecomeActive();
  begin("A");
  platform::testing::advance(1);
  reporter_->endAdUnitExposure("A");
  EXPECT_EQ(logged(), (Events{"_xu:A:1000", "_xa:1000"}));
}

TEST_F(AdExposureTest, AtMostAHundredUnitsAreTracked) {
  for (int i = 0; i < 101; ++i) reporter_->beginAdUnitExposure("unit" + std::to_string(i));
  reporter_->drain();
  EXPECT_TRUE(loggedCode(1002));
  platform::testing::advance(1);
  reporter_->endAdUnitExposure("unit100");
  EXPECT_TRUE(loggedCode(1004));
  reporter_->endAdUnitExposure("unit0");
  EXPECT_EQ(logged(), (Events{"_xu:unit0:1000"}));

  reporter_->beginAdUnitExposure("");
  reporter_->endAdUnitExposure("");
  EXPECT_TRUE(loggedCode(1000));
  EXPECT_TRUE(loggedCode(1003));
}

}  // namespace
