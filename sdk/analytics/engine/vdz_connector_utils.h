// The rules of what other SDK libraries may log, set and listen to through the analytics
// connector, as fixed tables.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

class VDZConnectorUtils {
 public:
  VDZConnectorUtils() = delete;

  static const std::set<std::string, std::less<>>& allowedListenerOrigins();
  static const std::set<std::string, std::less<>>& blocklistedOrigins();
  static const std::set<std::string, std::less<>>& blocklistedEventNames();
  static const std::set<std::string, std::less<>>& blocklistedParameters();
  static const std::set<std::string, std::less<>>& blocklistedUserProperties();
  static const std::vector<std::u16string>& blocklistedUserPropertyPatterns();
  static const std::set<std::string, std::less<>>& hiddenEventNames();
  // The "_cis" marker a campaign event from that origin carries, if any.
  static std::optional<std::string_view> campaignIntegrationForOrigin(std::string_view origin);

  static bool isOriginAllowed(std::string_view origin);
  static bool isAppOrigin(std::string_view origin);
  static bool isListenerOriginAllowed(std::string_view origin);
  static bool isEventNameAllowedForListeners(std::string_view name);
  static bool shouldLogEventWithName(std::string_view name, const platform::Value::Dictionary& parameters);
  static bool isUserPropertyAllowed(std::string_view name, std::string_view origin);
};
