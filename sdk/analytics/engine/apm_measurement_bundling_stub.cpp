// TEMPORARY: a stand-in until bundle building is merged; the integrator drops this file.
// Nothing is bundled here, and bundles go out as queued.
#include "sdk/analytics/engine/apm_measurement.h"

bool APMMeasurement::bundleRawEvents() { return false; }
