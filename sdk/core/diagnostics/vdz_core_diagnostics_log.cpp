#include "sdk/core/diagnostics/vdz_core_diagnostics_log.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdlib>
#include <cstring>
#include <limits>

#include "sdk/transport/core/vdtcor_console_logger.h"

#define VDZDiagnosticsRecord_FIELDLIST(X, a)                                \
  X(a, STATIC, OPTIONAL, ENUM, configuration_type, 1)                       \
  X(a, STATIC, REPEATED, ENUM, sdk_service_installed, 7)                    \
  X(a, POINTER, OPTIONAL, BYTES, device_model, 9)                           \
  X(a, POINTER, OPTIONAL, BYTES, app_id, 10)                                \
  X(a, POINTER, OPTIONAL, BYTES, bundle_id, 12)                             \
  X(a, STATIC, OPTIONAL, ENUM, client_type, 16)                             \
  X(a, POINTER, OPTIONAL, BYTES, library_version_id, 18)                    \
  X(a, POINTER, OPTIONAL, BYTES, sdk_version, 19)                           \
  X(a, STATIC, OPTIONAL, ENUM, sdk_name, 20)                                \
  X(a, STATIC, OPTIONAL, INT32, app_count, 21)                              \
  X(a, POINTER, OPTIONAL, BYTES, os_version, 22)                            \
  X(a, POINTER, OPTIONAL, BYTES, min_supported_os_version, 24)              \
  X(a, STATIC, OPTIONAL, BOOL, using_options_from_default_plist, 25)        \
  X(a, STATIC, OPTIONAL, BOOL, deployed_in_app_store, 26)                   \
  X(a, STATIC, OPTIONAL, INT32, reserved_count, 27)                         \
  X(a, POINTER, OPTIONAL, BYTES, build_versions, 28)                        \
  X(a, STATIC, OPTIONAL, BOOL, using_zip_file, 29)                          \
  X(a, STATIC, OPTIONAL, ENUM, deployment_type, 30)                         \
  X(a, POINTER, OPTIONAL, BYTES, user_agent, 31)                            \
  X(a, STATIC, OPTIONAL, BOOL, app_delegate_proxy_enabled, 33)              \
  X(a, STATIC, OPTIONAL, BOOL, uses_event_transport, 36)
#define VDZDiagnosticsRecord_CALLBACK NULL
#define VDZDiagnosticsRecord_DEFAULT NULL

PB_BIND(VDZDiagnosticsRecord, VDZDiagnosticsRecord, AUTO)

namespace {

constexpr std::int64_t kSizeFailureCode = 1005;
const char* streamError(const pb_ostream_t& stream) { return stream.errmsg ? stream.errmsg : "(none)"; }

}  // namespace

pb_bytes_array_t* VDZDiagnosticsEncodeString(std::string_view text) {
  if (text.size() > std::numeric_limits<pb_size_t>::max()) return nullptr;
  auto* array = static_cast<pb_bytes_array_t*>(std::malloc(PB_BYTES_ARRAY_T_ALLOCSIZE(text.size())));
  if (!array) return nullptr;
  array->size = static_cast<pb_size_t>(text.size());
  if (!text.empty()) std::memcpy(array->bytes, text.data(), text.size());
  return array;
}

VDZCoreDiagnosticsLog::VDZCoreDiagnosticsLog(const VDZDiagnosticsRecord& config) : config_(config) {}

VDZCoreDiagnosticsLog::~VDZCoreDiagnosticsLog() { pb_release(&VDZDiagnosticsRecord_msg, &config_); }

void VDZCoreDiagnosticsLog::setConfig(const VDZDiagnosticsRecord& config) {
  if (&config == &config_) return;
  pb_release(&VDZDiagnosticsRecord_msg, &config_);
  config_ = config;
}

std::optional<platform::Data> VDZCoreDiagnosticsLog::transportBytes() const {
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!pb_encode(&sizing, &VDZDiagnosticsRecord_msg, &config_)) {
    VDTCORLog(kSizeFailureCode, kVDTCORLogLevelError, "Error in nanopb encoding for size: %s", streamError(sizing));
  }
  platform::Data data(sizing.bytes_written);
  pb_ostream_t stream = pb_ostream_from_buffer(data.data(), data.size());
  if (!pb_encode(&stream, &VDZDiagnosticsRecord_msg, &config_)) {
    VDTCORLog(kSizeFailureCode, kVDTCORLogLevelError, "Error in nanopb encoding for bytes: %s", streamError(stream));
  }
  data.resize(stream.bytes_written);
  return data;
}
