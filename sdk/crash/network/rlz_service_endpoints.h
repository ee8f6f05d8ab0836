// Where the crash reporter's backend is: its own default under ".invalid", or the one base that
// VDZ_SERVICE_URL names for every service.
#pragma once

#include <string>
#include <string_view>

#include "sdk/utilities/utilities/vul_service_endpoints.h"

inline constexpr std::string_view kRLZSettingsDefaultBaseURL = "https://settings.ralitoze.videzu.invalid";

inline std::string RLZSettingsBaseURL() { return VULServiceBaseURL(kRLZSettingsDefaultBaseURL); }
