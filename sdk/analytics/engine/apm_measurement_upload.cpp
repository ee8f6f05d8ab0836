// Upload scheduling. The engine's start calls these at their places; the upload alarm and the
// background task arrive with the upload change.
#include "sdk/analytics/engine/apm_measurement.h"

void APMMeasurement::updateSchedule() {}

void APMMeasurement::subscribeForAppForegroundBackgroundNotifications() {}

