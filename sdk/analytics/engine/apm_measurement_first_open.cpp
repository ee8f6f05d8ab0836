// First open, app and OS updates, session numbering and the ad-personalisation user property.
// The start sequence calls these at their places; their reports arrive with their own change.
#include "sdk/analytics/engine/apm_measurement.h"

void APMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {}

void APMMeasurement::reportFirstOpenOnWorkerQueue() {}

void APMMeasurement::backfillSessionNumber() {}

void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(bool) {}

void APMMeasurement::reportAppUpdateOnWorkerQueue() {}

void APMMeasurement::reportOSUpdateOnWorkerQueue() {}

std::optional<platform::Value> APMMeasurement::shouldDisableAdPersonalization() { return std::nullopt; }
