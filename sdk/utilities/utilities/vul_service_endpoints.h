// Where the SDK's remote services are. Every service has a base URL of its own under the reserved
// ".invalid" domain; VDZ_SERVICE_URL, when set, points all of them at one base instead (the local
// service in tests and demos). Callers append their paths to the base.
#pragma once

#include <string>
#include <string_view>

inline constexpr std::string_view kVULServiceURLEnvironmentVariable = "VDZ_SERVICE_URL";

// VDZ_SERVICE_URL when set and not empty, else `defaultBaseURL`; without a trailing "/".
std::string VULServiceBaseURL(std::string_view defaultBaseURL);
