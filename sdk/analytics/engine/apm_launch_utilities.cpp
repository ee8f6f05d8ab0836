#include "sdk/analytics/engine/apm_launch_utilities.h"

#include <cmath>
#include <string>

#include "platform/runloop/clock.h"
#include "platform/ui/application.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/storage/apm_user_defaults.h"

namespace {
double now() { return platform::Clock::current().now().timeIntervalSince1970(); }
}  // namespace

void APMStoreDeepLink(const std::shared_ptr<APMUserDefaults>& store, std::string_view link) {
  if (!store) return;
  store->setObject(platform::Value(std::string(link)), kAPMStoredDeepLinkKey);
  store->setObject(platform::Value(now()), kAPMStoredDeepLinkTimestampKey);
}

void APMRemoveStoredDeepLink(const std::shared_ptr<APMUserDefaults>& store) {
  if (!store) return;
  store->removeObjectForKey(kAPMStoredDeepLinkKey);
  store->removeObjectForKey(kAPMStoredDeepLinkTimestampKey);
}

bool APMIsStoredDeepLinkExpired(const std::shared_ptr<APMUserDefaults>& store, double timeToLive) {
  if (!store) return false;
  const platform::Value stored = store->objectForKey(kAPMStoredDeepLinkTimestampKey);
  if (!stored.isNumber()) return false;
  return std::fabs(now() - stored.doubleValue()) > timeToLive;
}

std::int64_t APMStartOfPreviousHourMillis(std::int64_t millis) {
  constexpr std::int64_t kHour = 3600000;
  return millis / kHour * kHour - kHour;
}

bool APMIsAppActive() {
  const auto application = platform::Application::shared();
  return application && application->applicationState() == platform::ApplicationState::Active;
}
