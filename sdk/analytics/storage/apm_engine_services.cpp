#include "sdk/analytics/storage/apm_engine_services.h"

#include "platform/foundation/thread_safety.h"

namespace {

platform::Mutex gMutex;
APMEngineServices gServices GUARDED_BY(gMutex);

APMEngineServices current() {
  platform::MutexLock lock(gMutex);
  return gServices;
}

}  // namespace

void APMSetEngineServices(APMEngineServices services) {
  platform::MutexLock lock(gMutex);
  gServices = std::move(services);
}

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
