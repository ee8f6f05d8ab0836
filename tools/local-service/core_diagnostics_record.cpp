#include "tools/local-service/core_diagnostics_record.h"

#include <sstream>

#include "sdk/core/diagnostics/core_diagnostics.pb.h"
#include "sdk/utilities/wire/wire_codec.h"
#include "tools/local-service/wire_format.h"

namespace local_service {

namespace {

template <typename T>
std::optional<T> present(bool has, T value) {
  return has ? std::optional<T>(value) : std::nullopt;
}

class FieldList {
 public:
  explicit FieldList(std::ostringstream& out) : out_(out) {}

  void add(std::string_view name, const std::optional<std::int32_t>& value) {
    if (value) start(name) << *value;
  }
  void add(std::string_view name, const std::optional<bool>& value) {
    if (value) start(name) << (*value ? "yes" : "no");
  }
  void add(std::string_view name, const std::optional<std::string>& value) {
    if (value) start(name) << '"' << printableBytes(*value, 64) << '"';
  }
  void add(std::string_view name, const std::vector<std::int32_t>& values) {
    if (values.empty()) return;
    std::ostream& out = start(name);
    for (std::size_t i = 0; i < values.size(); ++i) out << (i ? " " : "") << values[i];
  }

 private:
  std::ostream& start(std::string_view name) {
    out_ << (first_ ? "" : ", ") << name << " ";
    first_ = false;
    return out_;
  }

  std::ostringstream& out_;
  bool first_ = true;
};

}  // namespace

std::optional<DiagnosticsRecord> decodeDiagnosticsRecord(std::string_view payload, std::string& error) {
  VDZDiagnosticsRecord decoded{};
  if (const char* failure = wire::decode(&VDZDiagnosticsRecord_msg, payload, &decoded)) {
    error = std::string("not a diagnostics record: ") + failure;
    return std::nullopt;
  }
  DiagnosticsRecord record;
  record.configurationType = present(decoded.has_configuration_type, decoded.configuration_type);
  record.installedServices.assign(decoded.sdk_service_installed,
                                  decoded.sdk_service_installed + decoded.sdk_service_installed_count);
  record.deviceModel = wire::bytesOf(decoded.device_model);
  record.appID = wire::bytesOf(decoded.app_id);
  record.bundleID = wire::bytesOf(decoded.bundle_id);
  record.clientType = present(decoded.has_client_type, decoded.client_type);
  record.libraryVersionID = wire::bytesOf(decoded.library_version_id);
  record.sdkVersion = wire::bytesOf(decoded.sdk_version);
  record.sdkName = present(decoded.has_sdk_name, decoded.sdk_name);
  record.appCount = present(decoded.has_app_count, decoded.app_count);
  record.osVersion = wire::bytesOf(decoded.os_version);
  record.minimumOSVersion = wire::bytesOf(decoded.min_supported_os_version);
  record.usingOptionsFromDefaultPlist =
      present(decoded.has_using_options_from_default_plist, decoded.using_options_from_default_plist);
  record.deployedInAppStore = present(decoded.has_deployed_in_app_store, decoded.deployed_in_app_store);
  record.reservedCount = present(decoded.has_reserved_count, decoded.reserved_count);
  record.buildVersions = wire::bytesOf(decoded.build_versions);
  record.usingZipFile = present(decoded.has_using_zip_file, decoded.using_zip_file);
  record.deploymentType = present(decoded.has_deployment_type, decoded.deployment_type);
  record.userAgent = wire::bytesOf(decoded.user_agent);
  record.appDelegateProxyEnabled = present(decoded.has_app_delegate_proxy_enabled, decoded.app_delegate_proxy_enabled);
  record.usesEventTransport = present(decoded.has_uses_event_transport, decoded.uses_event_transport);
  pb_release(&VDZDiagnosticsRecord_msg, &decoded);
  return record;
}

std::string describeDiagnosticsRecord(const DiagnosticsRecord& record) {
  std::ostringstream out;
  FieldList fields(out);
  fields.add("configuration type", record.configurationType);
  fields.add("installed services", record.installedServices);
  fields.add("device model", record.deviceModel);
  fields.add("app ID", record.appID);
  fields.add("bundle ID", record.bundleID);
  fields.add("client type", record.clientType);
  fields.add("library version", record.libraryVersionID);
  fields.add("SDK version", record.sdkVersion);
  fields.add("SDK name", record.sdkName);
  fields.add("app count", record.appCount);
  fields.add("OS version", record.osVersion);
  fields.add("minimum OS version", record.minimumOSVersion);
  fields.add("options from default plist", record.usingOptionsFromDefaultPlist);
  fields.add("from app store", record.deployedInAppStore);
  fields.add("reserved count", record.reservedCount);
  fields.add("build versions", record.buildVersions);
  fields.add("zip file", record.usingZipFile);
  fields.add("deployment type", record.deploymentType);
  fields.add("user agent", record.userAgent);
  fields.add("app delegate proxy", record.appDelegateProxyEnabled);
  fields.add("event transport", record.usesEventTransport);
  return out.str();
}

}  // namespace local_service
