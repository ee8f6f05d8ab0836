// The measurement configuration as people write it (JSON: settings, event configurations,
// audiences, event-editing programs, data controls) turned into the wire message the engine
// downloads. See tools/local-service/fixtures/measurement_config.json for the form.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace local_service {

// The encoded configuration for `appID`; none with `error` set when the text is not a valid fixture.
std::optional<std::string> encodeMeasurementConfig(std::string_view json, const std::string& appID,
                                                   std::string& error);

// The fixture the executable serves unless told otherwise.
std::string defaultMeasurementConfigFixturePath();

}  // namespace local_service
