// Upload scheduling and the measurement configuration kept for the app. The engine's start
// calls these at their places; the upload alarm, the background task and the stored
// configuration arrive with the upload and configuration-fetch changes.
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/storage/apm_remote_config.h"

void APMMeasurement::updateSchedule() {}

void APMMeasurement::subscribeForAppForegroundBackgroundNotifications() {}

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfigWithAppID(const std::string&) {
  return std::make_shared<APMRemoteConfig>();
}
