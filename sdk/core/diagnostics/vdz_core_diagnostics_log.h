// One diagnostics record as the event transport carries it. The record is nanopb's: its byte
// fields are malloc'd arrays that belong to the log and are released with it.
#pragma once

#include <pb.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/foundation/value.h"
#include "sdk/transport/core/vdtcor_event.h"

// The wire record; field names are this system's, tags and types are the protocol's.
struct VDZDiagnosticsRecord {
  bool has_configuration_type;
  int32_t configuration_type;  // 1
  pb_size_t sdk_service_installed_count;
  int32_t sdk_service_installed[16];  // 7, packed
  pb_bytes_array_t* device_model;     // 9
  pb_bytes_array_t* app_id;           // 10
  pb_bytes_array_t* bundle_id;        // 12
  bool has_client_type;
  int32_t client_type;  // 16
  pb_bytes_array_t* library_version_id;  // 18
  pb_bytes_array_t* sdk_version;         // 19
  bool has_sdk_name;
  int32_t sdk_name;  // 20
  bool has_app_count;
  int32_t app_count;                     // 21
  pb_bytes_array_t* os_version;          // 22
  pb_bytes_array_t* min_supported_os_version;  // 24
  bool has_using_options_from_default_plist;
  bool using_options_from_default_plist;  // 25
  bool has_deployed_in_app_store;
  bool deployed_in_app_store;  // 26
  bool has_reserved_count;
  int32_t reserved_count;           // 27
  pb_bytes_array_t* build_versions;  // 28
  bool has_using_zip_file;
  bool using_zip_file;  // 29
  bool has_deployment_type;
  int32_t deployment_type;           // 30
  pb_bytes_array_t* user_agent;      // 31
  bool has_app_delegate_proxy_enabled;
  bool app_delegate_proxy_enabled;  // 33
  bool has_uses_event_transport;
  bool uses_event_transport;  // 36
};

extern const pb_msgdesc_t VDZDiagnosticsRecord_msg;

// A malloc'd copy of the text for a bytes field; null for text nanopb cannot hold (over 65,535
// bytes), which leaves the field out.
pb_bytes_array_t* VDZDiagnosticsEncodeString(std::string_view text);

class VDZCoreDiagnosticsLog final : public VDTCOREventDataObject {
 public:
  // Takes over the record's byte arrays.
  explicit VDZCoreDiagnosticsLog(const VDZDiagnosticsRecord& config);
  ~VDZCoreDiagnosticsLog() override;
  VDZCoreDiagnosticsLog(const VDZCoreDiagnosticsLog&) = delete;
  VDZCoreDiagnosticsLog& operator=(const VDZCoreDiagnosticsLog&) = delete;

  const VDZDiagnosticsRecord& config() const { return config_; }
  // Releases the record held until now and takes over the new one's byte arrays.
  void setConfig(const VDZDiagnosticsRecord& config);

  // The encoded record; after an encoding failure (logged) only the bytes written.
  std::optional<platform::Data> transportBytes() const override;

 private:
  VDZDiagnosticsRecord config_;
};
