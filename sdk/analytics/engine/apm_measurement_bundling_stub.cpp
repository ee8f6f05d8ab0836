// TEMPORARY: stand-ins until bundle building and the bundle metadata record are merged; the
// integrator drops this file. Nothing is bundled here, and bundles go out as queued.
#include "sdk/analytics/engine/apm_bundle_metadata.h"
#include "sdk/analytics/engine/apm_measurement.h"

bool APMMeasurement::bundleRawEvents() { return false; }

void APMAddIdentifiersToBundle(APMPBMeasurementBundle&, const std::optional<std::string>&, bool, APMIdentity&) {}

void APMRedactBundleFields(APMPBMeasurementBundle&, const std::vector<std::string>&, APMIdentity&) {}
