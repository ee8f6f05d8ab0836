// The app's one call into the SDK, its configure at launch, starts the analytics engine.
#include "focus_app_fixture.h"
#include "platform/foundation/file_manager.h"
#include "platform/store/payment_queue.h"
#include "sdk/analytics/events/apm_event.h"
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

namespace {

// The app itself never calls analytics for links or purchases: the SDK hears of them on its own.
TEST_F(AnalyticsLaunchTest, OpenedLinksAndStorePurchasesAreReportedWithoutTheApp) {
  launch();
  std::mutex mutex;
  std::vector<std::string> names;
  APMAnalytics::addLogEventListener([&](const std::shared_ptr<const APMEvent>& event) {
    std::lock_guard lock(mutex);
    names.push_back(event->name());
  });
  ASSERT_EQ(platform::store::PaymentQueue::defaultQueue().observerCount(), 1u);

  app_->deliverOpenURL("focus://open?utm_source=newsletter");
  platform::store::StoreCatalog::addProduct({"coins", "0.99", "USD", "Coins", std::nullopt});
  platform::store::PaymentQueue::defaultQueue().purchase("coins");
  platform::testing::runUntilIdle();
  platform::store::StoreCatalog::removeAllProducts();

  std::lock_guard lock(mutex);
  EXPECT_NE(std::find(names.begin(), names.end(), "_cmp"), names.end());
  // No receipt in this build of the app: the purchase is reported as one the receipt lacks.
  EXPECT_NE(std::find(names.begin(), names.end(), "_iapx"), names.end());
}

}  // namespace
