#include "sdk/load_hooks.h"

#include <mutex>
#include <vector>

#include "platform/security/crypto_library.h"
#include "sdk/core/diagnostics/vdz_core_diagnostics.h"
#include "sdk/analytics/engine/apm_analytics.h"
#include "sdk/analytics/engine/apm_measurement.h"
#include "sdk/analytics/engine/apm_screen_view_reporter.h"
#include "sdk/analytics/engine/dor_evoredire.h"
#include "sdk/analytics/engine/dor_evoredire_connector.h"
#include "sdk/analytics/script/apmp_event_editing_loader.h"
#include "sdk/core/installations/vdz_installations.h"
#include "sdk/crash/reports/vdz_ralitoze.h"
#include "sdk/transport/cct/vdtcct_uploader.h"
#include "sdk/transport/core/vdtcor_application.h"
#include "sdk/transport/core/vdtcor_flat_file_storage.h"
#include "sdk/transport/core/vdtcor_lifecycle.h"
#include "sdk/transport/core/vdtcor_metrics_controller.h"

namespace sdk {

namespace {

using LoadHook = void (*)();

// In load order. A library registers before any app is configured, so every app's component
// container sees it; the core itself needs no hook.
const std::vector<LoadHook>& loadHooks() {
  static const std::vector<LoadHook> hooks{
      // The installation client, created eagerly whenever an app is configured.
      &VDZInstallations::load,
      // Event transport: the uploader before the storage, then lifecycle, metrics controller and
      // application wrapper, so the storage ends with the metrics controller as its delegate.
      &VDTCCTUploader::load,
      &VDTCORFlatFileStorage::load,
      &VDTCORLifecycle::load,
      &VDTCORMetricsController::load,
      &VDTCORApplication::load,
      // The crash reporter, made eagerly for the default app when the app configures.
      &VDZRalitoze::load,
      // The core's diagnostics, found by name whenever an app becomes active.
      &VDZCoreDiagnostics::load,
      // Analytics: the facade records its load time, the engine subscribes to the launch
      // notification, and the public interface makes itself known to the core's configure.
      &APMAnalytics::load,
      &APMMeasurement::load,
      &DOREvoredire::load,
      // The connector other libraries reach analytics through, made anew for every lookup.
      &DOREvoredireConnector::load,
      // The interpreter that loads the measurement configuration's event-editing program.
      &APMPEventEditingLoader::load,
      // The view-controller hooks of screen reporting, installed once; the screen reporter then
      // hears the app's lifecycle from its first activation.
      &APMScreenViewReporter::load,
  };
  return hooks;
}

}  // namespace

void runLoadHooks() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Before any library's code can reach OpenSSL or libcurl, so that neither sets OpenSSL up to be
    // torn down while the process exits.
    platform::CryptoLibrary::initialize();
    for (LoadHook hook : loadHooks()) hook();
  });
}

}  // namespace sdk
