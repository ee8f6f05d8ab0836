// What the configuration and experiment code asks of the measurement engine above it: identity,
// origin, consent and the collection switch. The engine installs its answers at start; until then
// (and in tests that install nothing) each answer is the neutral one noted beside it.
#pragma once

#include <functional>
#include <optional>
#include <string>

struct APMEngineServices {
  // The identity's diversion key; none.
  std::function<std::optional<std::string>()> diversionKey;
  // The identity's app version; none.
  std::function<std::optional<std::string>()> appVersion;
  // The SDK that started analytics ("am" for the app's own start); empty.
  std::function<std::string()> origin;
  // The user's consent denies analytics storage; NO.
  std::function<bool()> isAnalyticsStorageDenied;
  // Analytics collection is on; YES.
  std::function<bool()> isMeasurementEnabled;
};

// Safe from any thread; the answers are called without any lock held.
void APMSetEngineServices(APMEngineServices services);
std::optional<std::string> APMEngineDiversionKey();
std::optional<std::string> APMEngineAppVersion();
std::string APMEngineOrigin();
bool APMEngineIsAnalyticsStorageDenied();
bool APMEngineIsMeasurementEnabled();
