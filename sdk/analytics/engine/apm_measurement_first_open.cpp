// First open, app and OS updates, session numbering and the ad-personalisation user property.
// The start sequence calls these at their places; their reports arrive with their own change.
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/engine/apm_launch_utilities.h"
#include "sdk/analytics/storage/apm_remote_config.h"
#include "sdk/analytics/storage/apm_user_defaults.h"

void APMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {}

void APMMeasurement::reportFirstOpenOnWorkerQueue() {}

void APMMeasurement::backfillSessionNumber() {}

// The launch link stored before the engine ran, reported as a campaign; "_cc" tells the service
// the hour of the click, or 1 when the link was kept too long to be dated.
void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampInMs) {
  const auto store = APMUserDefaults::standardUserDefaults();
  const platform::Value stored = store->objectForKey(kAPMStoredDeepLinkKey);
  const std::string* link = stored.ifString();
  if (!link || link->empty()) return;
  std::string url = *link;
  const platform::Value storedTime = store->objectForKey(kAPMStoredDeepLinkTimestampKey);
  const double storedSeconds = storedTime.isNumber() ? storedTime.doubleValue() : 0;
  APMDictionary extras;
  if (APMIsStoredDeepLinkExpired(store, remoteConfig()->attributionCacheTTLInterval())) {
    extras["utm_source"] = APMObject("(not set)");
    extras["utm_medium"] = APMObject("(not set)");
    extras["_cc"] = APMObject(1);
    url = "(not set)";
  } else {
    extras["_cc"] = APMObject(static_cast<long long>(
        APMStartOfPreviousHourMillis(static_cast<std::int64_t>(storedSeconds * 1000.0))));
  }
  APMRemoveStoredDeepLink(store);
  handleOpenURLOnWorkerQueue(url, clickTimestampInMs, storedSeconds, extras);
}

void APMMeasurement::reportAppUpdateOnWorkerQueue() {}

void APMMeasurement::reportOSUpdateOnWorkerQueue() {}

std::optional<platform::Value> APMMeasurement::shouldDisableAdPersonalization() { return std::nullopt; }
