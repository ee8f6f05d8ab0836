#include "sdk/core/diagnostics/vdz_core_diagnostics.h"

#include <pb.h>

#include <array>
#include <map>
#include <string>
#include <utility>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/calendar.h"
#include "platform/runtime/class.h"
#include "sdk/core/core/vdz_diagnostics_data.h"
#include "sdk/core/diagnostics/vdz_core_diagnostics_log.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_transport.h"
#include "sdk/utilities/utilities/vul_app_environment_util.h"
#include "sdk/utilities/utilities/vul_heartbeat_date_storage.h"
#include "platform/foundation/thread_safety.h"

using platform::Value;

namespace {

constexpr int32_t kHeartbeatServiceCode = 1;
constexpr std::int64_t kMissingAppCountCode = 1006;

struct Service {
  std::string_view name;
  int32_t code;
  std::array<std::string_view, 2> probes;
};

// In probe order.
constexpr Service kServices[] = {
    {"VuZir", 2, {"VZRBannerView", {}}},
    {"Messaging", 17, {"VDZMessaging", {}}},
    {"RemoteConfig", 19, {"VDZRemoteConfig", {}}},
    {"Measurement", 18, {"DOREvoredire", {}}},
    {"MLModelInterpreter", 30, {"VDZCustomModelInterpreter", {}}},
    {"Database", 15, {"VDZDatabase", {}}},
    {"DynamicLinks", 20, {"VDZDynamicLinks", {}}},
    {"Auth", 14, {"VDZAuth", {}}},
    {"AuthUI", 22, {"FUIAuth", {}}},
    {"Vudstore", 23, {"VDZVudstore", {}}},
    {"Functions", 32, {"VDZFunctions", {}}},
    {"Performance", 24, {"VDZPerformance", {}}},
    {"Storage", 16, {"VDZStorage", {}}},
    {"SignIn", 5, {"GIDSignIn", "GGLContext"}},
    {"Analytics", 9, {"GAI", "GGLContext"}},
    {"InAppMessaging", 31, {"VDZInAppMessaging", {}}},
};

const std::map<std::string, int32_t, std::less<>>& serviceTable() {
  static const auto* table = [] {
    auto* map = new std::map<std::string, int32_t, std::less<>>;
    for (const auto& service : kServices) map->emplace(service.name, service.code);
    return map;
  }();
  return *table;
}

const Value* find(const Value::Dictionary& objects, std::string_view key) {
  auto it = objects.find(key);
  return it == objects.end() ? nullptr : &it->second;
}

void setString(pb_bytes_array_t*& field, std::string_view text) {
  if (field) free(field);
  field = VDZDiagnosticsEncodeString(text);
}

// Fields taken from a string of the bag; `whenNonEmpty` leaves an empty string out as well.
void setStringFrom(pb_bytes_array_t*& field, const Value::Dictionary& objects, std::string_view key,
                   bool whenNonEmpty) {
  const Value* value = find(objects, key);
  if (!value || !value->isString()) return;
  if (whenNonEmpty && value->string().empty()) return;
  setString(field, value->string());
}

void populateFromObjects(VDZDiagnosticsRecord& config, const Value::Dictionary& objects) {
  if (const Value* type = find(objects, kVDZCDConfigurationTypeKey); type && type->isNumber()) {
    const auto value = type->integerValue();
    if (value == 1 || value == 2) {
      config.has_configuration_type = true;
      config.configuration_type = static_cast<int32_t>(value);
    }
  }
  if (const Value* name = find(objects, kVDZCDSdkNameKey); name && name->isString()) {
    const auto& table = serviceTable();
    if (auto it = table.find(name->string()); it != table.end()) {
      config.has_sdk_name = true;
      config.sdk_name = it->second;
    }
  }
  setStringFrom(config.sdk_version, objects, kVDZCDSdkVersionKey, false);
}

void populateCommonFields(VDZDiagnosticsRecord& config, const Value::Dictionary& objects) {
  config.has_client_type = true;
  config.client_type = 2;
  config.has_app_count = true;
  if (const Value* count = find(objects, kVDZCDllAppsCountKey); count && count->isNumber()) {
    config.app_count = static_cast<int32_t>(count->integerValue());
  } else {
    VDTCORLog(kMissingAppCountCode, kVDTCORLogLevelError, "App count is a required value in the data dict.");
    config.app_count = 0;
  }
  setStringFrom(config.app_id, objects, kVDZCDVidezuAppIDKey, true);
  setStringFrom(config.bundle_id, objects, kVDZCDBundleIDKey, true);
  setStringFrom(config.user_agent, objects, kVDZCDVuduzaraUserAgentKey, true);
  if (const Value* defaultPlist = find(objects, kVDZCDUsingOptionsFromDefaultPlistKey)) {
    config.has_using_options_from_default_plist = true;
    config.using_options_from_default_plist = defaultPlist->boolValue();
  }
  setStringFrom(config.library_version_id, objects, kVDZCDLibraryVersionIDKey, false);
  if (const auto model = VULAppEnvironmentUtil::deviceModel(); model && !model->empty()) {
    setString(config.device_model, *model);
  }
  if (const auto version = VULAppEnvironmentUtil::systemVersion(); !version.empty()) {
    setString(config.os_version, version);
  }
  config.has_using_zip_file = true;
  config.using_zip_file = false;
  config.has_deployment_type = true;
  config.deployment_type = 4;
  config.has_deployed_in_app_store = true;
  config.deployed_in_app_store = VULAppEnvironmentUtil::isFromAppStore();
}

void populateInstalledServices(VDZDiagnosticsRecord& config) {
  constexpr pb_size_t capacity = sizeof config.sdk_service_installed / sizeof config.sdk_service_installed[0];
  for (const auto& service : kServices) {
    for (std::string_view probe : service.probes) {
      if (probe.empty() || !platform::runtime::classNamed(probe)) continue;
      if (config.sdk_service_installed_count < capacity) {
        config.sdk_service_installed[config.sdk_service_installed_count++] = service.code;
      }
    }
  }
}

void populateInfoPlistFields(VDZDiagnosticsRecord& config) {
  const auto bundle = platform::Bundle::main();
  auto info = [&](std::string_view key) { return bundle ? bundle->objectForInfoDictionaryKey(key) : Value(); };
  const Value xcodeBuild = info("DTXcodeBuild");
  const Value sdkBuild = info("DTSDKBuild");
  setString(config.build_versions, (xcodeBuild.isString() ? xcodeBuild.string() : std::string()) + "-" +
                                       (sdkBuild.isString() ? sdkBuild.string() : std::string()));
  if (const Value minimum = info("MinimumOSVersion"); minimum.isString()) {
    setString(config.min_supported_os_version, minimum.string());
  }
  const Value proxy = info("VuduzaraAppDelegateProxyEnabled");
  config.has_app_delegate_proxy_enabled = true;
  config.app_delegate_proxy_enabled = proxy.isNumber() ? proxy.boolValue() : true;
}

struct Shared {
  platform::Mutex mutex;
  std::shared_ptr<VDZCoreDiagnostics> instance GUARDED_BY(mutex);
};

Shared& shared() {
  static auto* s = new Shared;
  return *s;
}

}  // namespace

VDZCoreDiagnostics::VDZCoreDiagnostics(std::shared_ptr<VDTCORTransport> transport,
                                       std::shared_ptr<VULHeartbeatDateStorable> heartbeatDateStorage)
    : diagnosticsQueue_(platform::DispatchQueue::serial(std::string(kVDZCoreDiagnosticsQueueLabel))),
      transport_(std::move(transport)),
      heartbeatDateStorage_(std::move(heartbeatDateStorage)) {}

void VDZCoreDiagnostics::load() {
  platform::runtime::ClassDefinition definition;
  definition.name = "VDZCoreDiagnostics";
  definition.superclass = platform::runtime::rootClass();
  definition.protocols.emplace(VDZCoreDiagnosticsInterop::kProtocolName);
  definition.classMethods.emplace(
      VDZCoreDiagnosticsInterop::kSendDiagnosticsDataSelector,
      platform::runtime::method([](std::shared_ptr<VDZCoreDiagnosticsData> data) { sendDiagnosticsData(data); }));
  platform::runtime::registerClassOnce(std::move(definition));
}

std::shared_ptr<VDZCoreDiagnostics> VDZCoreDiagnostics::sharedInstance() {
  Shared& s = shared();
  platform::MutexLock lock(s.mutex);
  if (!s.instance) {
    auto transport = VDTCORTransport::initWithMappingID(kVDZCoreDiagnosticsMappingID, {}, kVDZCoreDiagnosticsTarget);
    auto storage = VULHeartbeatDateStorage::initWithFileName(kVDZCoreDiagnosticsHeartbeatFileName);
    s.instance = std::make_shared<VDZCoreDiagnostics>(std::move(transport), std::move(storage));
  }
  return s.instance;
}

void VDZCoreDiagnostics::resetSharedInstanceForTesting() {
  Shared& s = shared();
  platform::MutexLock lock(s.mutex);
  s.instance.reset();
}

void VDZCoreDiagnostics::sendDiagnosticsData(const std::shared_ptr<VDZCoreDiagnosticsData>& data) {
  sharedInstance()->sendDiagnostics(data);
}

void VDZCoreDiagnostics::sendDiagnostics(const std::shared_ptr<VDZCoreDiagnosticsData>& data) {
  if (!data) return;
  diagnosticsQueue_->async([self = shared_from_this(), data] { self->buildAndSend(data); });
}

void VDZCoreDiagnostics::buildAndSend(const std::shared_ptr<VDZCoreDiagnosticsData>& data) {
  const Value::Dictionary objects = data->diagnosticObjects();
  if (const Value* enabled = find(objects, kVDZCDIsDataCollectionDefaultEnabledKey); enabled && !enabled->boolValue()) {
    return;
  }
  VDZDiagnosticsRecord config{};
  config.has_uses_event_transport = true;
  config.uses_event_transport = true;
  populateFromObjects(config, objects);
  populateCommonFields(config, objects);
  populateInstalledServices(config);
  populateInfoPlistFields(config);
  setHeartbeatFlagIfNeededToConfig(config);

  auto log = std::make_shared<VDZCoreDiagnosticsLog>(config);
  if (!transport_) return;
  auto event = transport_->eventForTransport();
  event->setDataObject(std::move(log));
  transport_->sendTelemetryEvent(event);
}

void VDZCoreDiagnostics::setHeartbeatFlagIfNeededToConfig(VDZDiagnosticsRecord& config) {
  if (!heartbeatDateStorage_) return;
  const platform::Date now = platform::Date::now();
  const auto last = heartbeatDateStorage_->heartbeatDateForTag(kVDZCoreDiagnosticsHeartbeatTag);
  if (last && isDateInSameDayOrBeforeThan(now, *last)) return;
  heartbeatDateStorage_->setHearbeatDate(now, kVDZCoreDiagnosticsHeartbeatTag);
  config.has_sdk_name = true;
  config.sdk_name = kHeartbeatServiceCode;
}

bool VDZCoreDiagnostics::isDateInSameDayOrBeforeThan(platform::Date date1, platform::Date date2) {
  return platform::Calendar::isSameDay(date1, date2) || date1 < date2;
}
