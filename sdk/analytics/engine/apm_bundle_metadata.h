// The metadata record every raw event is tied to: what the app, the device, the identifiers and
// the user properties were when the event was written. The same message, completed at bundling,
// is the upload bundle, so the identifier and redaction rules here run again before upload with
// the consent and tracking state current then. Worker queue only.
#pragma once

#include <optional>
#include <string>
#include <vector>

class APMIdentity;
class APMPBMeasurementBundle;

// Sets or clears the advertising, vendor and app instance identifiers, the consent signals and the
// tracking flags by consent (the signal string "G1" + one character per consent type, "0" denied)
// and by tracking authorisation (`gateIDFAOnATTMASEnabled` keeps the advertising identifier out
// unless the user authorised tracking).
void APMAddIdentifiersToBundle(APMPBMeasurementBundle& bundle, const std::optional<std::string>& consentSignals,
                               bool gateIDFAOnATTMASEnabled, APMIdentity& identity);

// Removes the named fields ("app_instance_id", "user_id", "os_version", "device_model",
// "device_info") from a finished bundle and lists the names in `redacted_fields`.
void APMRedactBundleFields(APMPBMeasurementBundle& bundle, const std::vector<std::string>& fields,
                           APMIdentity& identity);
