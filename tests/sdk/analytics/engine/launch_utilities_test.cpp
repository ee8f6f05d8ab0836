// The stored launch link and its time to live, and the launch questions.
#include "sdk/analytics/engine/apm_launch_utilities.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "engine_test_fixture.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apm_user_defaults.h"

namespace {

using engine_test::EngineTest;
using LaunchUtilitiesTest = EngineTest;

TEST_F(LaunchUtilitiesTest, StoredDeepLinkExpiresAfterItsTimeToLiveEitherWay) {
  APMUserDefaults store("launch-test");
  EXPECT_FALSE(APMIsStoredDeepLinkExpired(store, 10));
  // A link without a stored time never expires, so nothing removes it.
  store.setObject(platform::Value("focus://start"), kAPMStoredDeepLinkKey);
  platform::testing::advance(1000);
  EXPECT_FALSE(APMIsStoredDeepLinkExpired(store, 10));

  APMStoreDeepLink(store, "focus://timer");
  EXPECT_EQ(store.objectForKey(kAPMStoredDeepLinkKey), platform::Value("focus://timer"));
  platform::testing::advance(10);
  EXPECT_FALSE(APMIsStoredDeepLinkExpired(store, 10));
  platform::testing::advance(0.001);
  EXPECT_TRUE(APMIsStoredDeepLinkExpired(store, 10));

  // A time in the future (the clock was set back) counts as well.
  const double now = platform::Clock::current().now().timeIntervalSince1970();
  store.setObject(platform::Value(now + 11), kAPMStoredDeepLinkTimestampKey);
  EXPECT_TRUE(APMIsStoredDeepLinkExpired(store, 10));

  APMRemoveStoredDeepLink(store);
  EXPECT_TRUE(store.objectForKey(kAPMStoredDeepLinkKey).isNull());
  EXPECT_TRUE(store.objectForKey(kAPMStoredDeepLinkTimestampKey).isNull());
}

TEST_F(LaunchUtilitiesTest, ExpiredLinkIsRemovedFromTheStandardStore) {
  const auto config = APMRemoteConfig::defaultInstance();
  const double ttl = config->attributionCacheTTLInterval();
  const auto store = APMUserDefaults::standardUserDefaults();
  APMStoreDeepLink(*store, "focus://timer");
  EXPECT_FALSE(APMRemoveExpiredStoredDeepLink(*config));
  platform::testing::advance(ttl + 1);
  EXPECT_TRUE(APMRemoveExpiredStoredDeepLink(*config));
  EXPECT_TRUE(store->objectForKey(kAPMStoredDeepLinkKey).isNull());
  EXPECT_FALSE(APMRemoveExpiredStoredDeepLink(*config));
}

TEST_F(LaunchUtilitiesTest, StartOfPreviousHour) {
  EXPECT_EQ(APMStartOfPreviousHourMillis(7'200'000), 3'600'000);
  EXPECT_EQ(APMStartOfPreviousHourMillis(7'199'999), 0);
  EXPECT_EQ(APMStartOfPreviousHourMillis(1'765'000'123'456), 1'764'993'600'000);
  EXPECT_EQ(APMStartOfPreviousHourMillis(-1), -3'600'000);  // truncated toward zero
}

TEST_F(LaunchUtilitiesTest, LaunchQuestions) {
  ::unsetenv("ActivePrewarm");
  EXPECT_FALSE(APMIsActivePrewarm());
  ::setenv("ActivePrewarm", "1", 1);
  EXPECT_TRUE(APMIsActivePrewarm());
  ::setenv("ActivePrewarm", "NO", 1);
  EXPECT_FALSE(APMIsActivePrewarm());
  ::unsetenv("ActivePrewarm");

  EXPECT_FALSE(APMHasSceneManifest());
  useBundle({{"CFBundleIdentifier", platform::Value(engine_test::kBundleID)},
             {"UIApplicationSceneManifest", platform::Value(platform::Value::Dictionary{})}});
  EXPECT_TRUE(APMHasSceneManifest());
}

}  // namespace
