// Deep links and launch URLs: the facade and the application-delegate interceptor hand them in
// here; attribution and the deferred-link request arrive with their own change.
#include "sdk/analytics/engine/apm_measurement.h"

bool APMMeasurement::shouldAllowRequestDeferredDeepLink() { return false; }

void APMMeasurement::requestDeferredDeepLink() {}

void APMMeasurement::handleNonFirstOpenEventURL(const std::string&, double) {}

std::optional<std::string> APMMeasurement::deepLinkFromUserActivity(const platform::Value::Dictionary& userActivity) {
  // A web-browsing activity carries its link under "webpageURL".
  if (auto it = userActivity.find("webpageURL"); it != userActivity.end() && it->second.isString()) {
    return *it->second.ifString();
  }
  return std::nullopt;
}

void APMMeasurement::handleStoredURLAfterAppLaunchWithNotification(const platform::Value::Dictionary&) {}
