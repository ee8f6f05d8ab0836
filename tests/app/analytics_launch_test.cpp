// The app's one call into the SDK, its configure at launch, starts the analytics engine.
#include "focus_app_fixture.h"
#include "platform/foundation/file_manager.h"
#include "sdk/analytics/storage/apm_storage_paths.h"

namespace {

using AnalyticsLaunchTest = FocusAppTest;

TEST_F(AnalyticsLaunchTest, LaunchOnAFreshHomeStartsTheEngine) {
  launch();
  ASSERT_TRUE(APMMeasurement::hasSharedInstance());
  const auto engine = APMMeasurement::sharedInstance();
  EXPECT_TRUE(engine->isEnabled());
  EXPECT_TRUE(engine->didInitializeComponents());
  EXPECT_TRUE(platform::FileManager::defaultManager().fileExists(APMMeasurementFilePath("videzu-app-measurement.sql")));
  const auto appInstanceID = APMAnalytics::appInstanceID();
  ASSERT_TRUE(appInstanceID);
  EXPECT_EQ(appInstanceID->size(), 32u);
}

}  // namespace
