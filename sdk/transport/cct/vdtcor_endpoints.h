// The upload endpoint of each target at the transport backend. The base is the transport's
// default under ".invalid" unless VDZ_SERVICE_URL points every service elsewhere.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "sdk/transport/core/vdtcor_event.h"

inline constexpr std::string_view kVDTCORTransportDefaultBaseURL = "https://transport.videzu.invalid";
// Target 1003 has no endpoint of its own: this names none, whatever the base.
inline constexpr std::string_view kVDTCORPlaceholderUploadURL = "https://placeholder.videzu.invalid/int";

class VDTCOREndpoints {
 public:
  // Built once, on first use.
  static const std::map<VDTCORTarget, std::string>& uploadURLs();
  // None for a target without an endpoint (999, for example).
  static std::optional<std::string> uploadURLForTarget(VDTCORTarget target);
  // Builds the table again on next use (tests point it at a new local service).
  static void resetForTesting();
};
