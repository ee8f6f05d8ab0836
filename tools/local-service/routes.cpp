#include "tools/local-service/local_service.h"

#include "tools/local-service/ads_routes.h"
#include "tools/local-service/crash_routes.h"
#include "tools/local-service/analytics_routes.h"
#include "tools/local-service/installations_routes.h"
#include "tools/local-service/network_routes.h"
#include "tools/local-service/transport_routes.h"

namespace local_service {

// One line per remote end; each adds its routes from a file of its own.
std::shared_ptr<MeasurementConfigs> addDefaultRoutes(LocalService& service) {
  addTransportRoutes(service);
  addInstallationsRoutes(service);
  addCrashRoutes(service);
  addNetworkRoutes(service);
  addAdsRoutes(service);
  return addAnalyticsRoutes(service);
}

}  // namespace local_service
