#include "sdk/analytics/storage/apm_engine_services.h"

#include "platform/foundation/thread_safety.h"

namespace {

// Never destroyed: the configuration's workers may still ask while the process exits.
platform::ExitSafeValue<APMEngineServices>& installed() {
  static auto* const s = new platform::ExitSafeValue<APMEngineServices>;
  return *s;
}

APMEngineServices current() { return installed().get(); }

}  // namespace

void APMSetEngineServices(APMEngineServices services) { installed().set(std::move(services)); }

std::optional<std::string> APMEngineDiversionKey() {
  const auto services = current();
  return services.diversionKey ? services.diversionKey() : std::nullopt;
}

std::optional<std::string> APMEngineAppVersion() {
  const auto services = current();
  return services.appVersion ? services.appVersion() : std::nullopt;
}

std::string APMEngineOrigin() {
  const auto services = current();
  return services.origin ? services.origin() : std::string();
}

bool APMEngineIsAnalyticsStorageDenied() {
  const auto services = current();
  return services.isAnalyticsStorageDenied ? services.isAnalyticsStorageDenied() : false;
}

bool APMEngineIsMeasurementEnabled() {
  const auto services = current();
  return services.isMeasurementEnabled ? services.isMeasurementEnabled() : true;
}
