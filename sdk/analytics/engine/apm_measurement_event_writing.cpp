// The event writing pipeline's entry point: admission, limits, editing and the raw-event write
// arrive with the pipeline itself. Until then an event that got this far has passed every check
// of the facade and the engine, and stops here.
#include "sdk/analytics/engine/apm_measurement.h"

void APMMeasurement::handleEventOnWorkerQueue(const std::shared_ptr<APMEvent>&) {}
