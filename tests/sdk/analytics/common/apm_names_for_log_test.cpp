#include "sdk/analytics/common/apm_names_for_log.h"

#include <gtest/gtest.h>

#include "platform/runtime/class.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/core/core/vdz_app.h"
#include "tests/sdk/analytics/monitor_recorder.h"

namespace {

// Public names show only in debug mode and when the analytics facade class is present.
class APMNamesForLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::runtime::ClassDefinition facade;
    facade.name = std::string(kVDZAnalyticsClassName);
    platform::runtime::registerClass(std::move(facade));
    APMMeasurementMonitor()->setDebugModeEnabled(true);
  }
  void TearDown() override {
    APMMeasurementMonitor()->setDebugModeEnabled(false);
    platform::runtime::unregisterClass(kVDZAnalyticsClassName);
  }
  MonitorRecorder recorder_;
};

TEST_F(APMNamesForLogTest, InternalNamesShowTheirPublicNames) {
  const APMNameTable table{{"alpha", "_a"}, {"vuduzara_beta", "_b"}, {"vuduzara_gamma", "_g"}, {"zeta", "_g"}};
  const struct {
    APMObject name;
    std::string expected;
  } cases[] = {
      {"_a", "alpha (_a)"},
      {"_b", "vuduzara_beta (_b)"},  // the only public name, though a "vuduzara_" one
      {"_g", "zeta (_g)"},           // another name wins over a "vuduzara_" one met first
      {"_unknown", "_unknown"},
      {"custom", "custom"},
      {"", ""},
      {APMObject(12), "12"},
  };
  for (const auto& c : cases) EXPECT_EQ(APMNameForLog(c.name, table), c.expected) << c.expected;
  EXPECT_EQ(APMNameForLog("_a", APMNameTable{}), "_a");

  EXPECT_EQ(APMEventNameForLog("_vs"), "screen_view (_vs)");
  EXPECT_EQ(APMEventNameForLog("_cmp"), "ga_campaign (_cmp)");
  EXPECT_EQ(APMUserPropertyNameForLog("_exp_12"), "experiment_id (_exp_12)");
}

TEST_F(APMNamesForLogTest, NamesStayAsTheyAreOutsideDebugModeOrWithoutTheFacade) {
  APMMeasurementMonitor()->setDebugModeEnabled(false);
  EXPECT_EQ(APMEventNameForLog("_vs"), "_vs");
  EXPECT_EQ(APMUserPropertyNameForLog("_exp_12"), "experiment_id (_exp_12)");
  APMMeasurementMonitor()->setDebugModeEnabled(true);
  platform::runtime::unregisterClass(kVDZAnalyticsClassName);
  EXPECT_EQ(APMEventNameForLog("_vs"), "_vs");
}

TEST_F(APMNamesForLogTest, ParametersPrintSortedWithNamedErrorCodes) {
  const APMDictionary parameters{{"b", APMObject(APMValue::initWithInt64(2))},
                                 {"_err", APMObject(APMValue::initWithInt64(19))},
                                 {"A", APMObject(APMValue::initWithString(std::string("x")))}};
  EXPECT_EQ(APMParametersForLog(APMObject(parameters)),
            "{\n"
            "    A = x;\n"
            "    b = 2;\n"
            "    ga_error (_err) = CurrencyCodeIsMissingOrInvalid (19);\n"
            "}");
  const APMDictionary unnamed{{"_err", APMObject(APMValue::initWithInt64(26))}};
  EXPECT_EQ(APMParametersForLog(APMObject(unnamed)), "{\n    ga_error (_err) = 26;\n}");
  EXPECT_EQ(APMParametersForLog("plain"), "plain");
  APMMeasurementMonitor()->setDebugModeEnabled(false);
  EXPECT_EQ(APMParametersForLog(APMObject(parameters)), APMObject(parameters).description());
}

}  // namespace
