// The crash reporter's backend: the settings endpoint
// "/spi/v2/platforms/<platform>/vmp/<app ID>/settings", answering GET with a settings document.
#pragma once

#include <string>
#include <string_view>

namespace local_service {

class LocalService;

inline constexpr std::string_view kCrashSettingsPathPrefix = "/spi/v2/platforms/";

// "/spi/v2/platforms/<platform>/vmp/<app ID>/settings"
std::string crashSettingsPath(std::string_view platform, std::string_view appID);
// What the backend serves when no answer was scripted.
std::string crashSettingsDefaultBody();

void addCrashRoutes(LocalService& service);

}  // namespace local_service
