#include "sdk/core/core/vdz_core_diagnostics_connector.h"


#include "platform/runtime/class.h"
#include "sdk/core/core/vdz_app.h"
#include "sdk/core/core/vdz_diagnostics_data.h"
#include "sdk/core/core/vdz_logger.h"
#include "sdk/core/core/vdz_options.h"
#include "platform/foundation/thread_safety.h"

using platform::Value;

namespace {

struct Lookup {
  platform::Mutex mutex;
  bool done GUARDED_BY(mutex) = false;
  std::shared_ptr<const platform::runtime::Class> diagnostics GUARDED_BY(mutex);
};

Lookup& lookup() {
  static auto* l = new Lookup;
  return *l;
}

// The diagnostics class, checked once; a class that does not keep the contract counts as absent.
std::shared_ptr<const platform::runtime::Class> diagnosticsClass() {
  Lookup& l = lookup();
  platform::MutexLock lock(l.mutex);
  if (!l.done) {
    l.done = true;
    auto cls = platform::runtime::classNamed(kVDZCoreDiagnosticsClassName);
    if (cls && !cls->conformsToProtocol(VDZCoreDiagnosticsInterop::kProtocolName)) {
      VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000036",
                        "If VDZCoreDiagnostics is implemented, it must conform to the interop protocol.");
      cls = nullptr;
    } else if (cls && !cls->respondsToSelector(VDZCoreDiagnosticsInterop::kSendDiagnosticsDataSelector)) {
      VDZLoggerLogError(kVDZLoggerServiceCore, "I-COR000036",
                        "If VDZCoreDiagnostics is implemented, it must implement +sendDiagnosticsData.");
      cls = nullptr;
    }
    l.diagnostics = std::move(cls);
  }
  return l.diagnostics;
}

}  // namespace

void VDZCoreDiagnosticsConnector::logCoreTelemetryWithOptions(const std::shared_ptr<VDZOptions>& options) {
  const auto diagnostics = diagnosticsClass();
  if (!diagnostics || !options) return;

  auto data = std::make_shared<VDZDiagnosticsData>();
  data->insertValue(Value(true), kVDZCDIsDataCollectionDefaultEnabledKey);
  data->insertValue(Value(VDZApp::vuduzaraUserAgent()), kVDZCDVuduzaraUserAgentKey);
  data->insertValue(Value(1), kVDZCDConfigurationTypeKey);
  data->insertValue(options->videzuAppID() ? Value(*options->videzuAppID()) : Value(), kVDZCDVidezuAppIDKey);
  data->insertValue(options->bundleID() ? Value(*options->bundleID()) : Value(), kVDZCDBundleIDKey);
  data->insertValue(Value(options->usingOptionsFromDefaultPlist()), kVDZCDUsingOptionsFromDefaultPlistKey);
  data->insertValue(Value(VDZOptions::libraryVersionID()), kVDZCDLibraryVersionIDKey);
  diagnostics->call<void>(VDZCoreDiagnosticsInterop::kSendDiagnosticsDataSelector,
                          std::shared_ptr<VDZCoreDiagnosticsData>(std::move(data)));
}

void VDZCoreDiagnosticsConnector::resetForTesting() {
  Lookup& l = lookup();
  platform::MutexLock lock(l.mutex);
  l.done = false;
  l.diagnostics.reset();
}
