#include "sdk/analytics/engine/apm_launch_utilities.h"

#include <cmath>
#include <cstdlib>

#include "platform/foundation/bundle.h"
#include "platform/runloop/clock.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/engine/apm_screen_view_reporter.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apm_user_defaults.h"

namespace {
constexpr std::int64_t kMillisPerHour = 3'600'000;
}

void APMStoreDeepLink(APMConfigStore& store, const std::string& link) {
  store.setObject(platform::Value(link), kAPMStoredDeepLinkKey);
  store.setObject(platform::Value(platform::Clock::current().now().timeIntervalSince1970()),
                  kAPMStoredDeepLinkTimestampKey);
}

void APMRemoveStoredDeepLink(APMConfigStore& store) {
  store.removeObjectForKey(kAPMStoredDeepLinkKey);
  store.removeObjectForKey(kAPMStoredDeepLinkTimestampKey);
}

bool APMIsStoredDeepLinkExpired(APMConfigStore& store, double timeToLive) {
  const platform::Value timestamp = store.objectForKey(kAPMStoredDeepLinkTimestampKey);
  if (!timestamp.isNumber()) return false;
  const double now = platform::Clock::current().now().timeIntervalSince1970();
  return std::fabs(now - timestamp.doubleValue()) > timeToLive;
}

bool APMRemoveExpiredStoredDeepLink(APMRemoteConfig& remoteConfig) {
  const auto store = APMUserDefaults::standardUserDefaults();
  if (!APMIsStoredDeepLinkExpired(*store, remoteConfig.attributionCacheTTLInterval())) return false;
  APMRemoveStoredDeepLink(*store);
  return true;
}

std::int64_t APMStartOfPreviousHourMillis(std::int64_t millis) {
  return millis / kMillisPerHour * kMillisPerHour - kMillisPerHour;
}

bool APMIsActivePrewarm() {
  const char* value = std::getenv("ActivePrewarm");
  return value && platform::Value(std::string(value)).boolValue();
}

bool APMHasSceneManifest() {
  return !platform::Bundle::main()->objectForInfoDictionaryKey("UIApplicationSceneManifest").isNull();
}

bool APMIsAppActive() { return APMScreenViewReporter::sharedInstance().isAppActive(); }
