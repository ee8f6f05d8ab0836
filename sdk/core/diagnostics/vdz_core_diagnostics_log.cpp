#include "sdk/core/diagnostics/vdz_core_diagnostics_log.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/utilities/wire/wire_codec.h"

namespace {

constexpr std::int64_t kSizeFailureCode = 1005;

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
  wire::Encoded encoded = wire::encode(&VDZDiagnosticsRecord_msg, &config_);
  if (encoded.sizingError) {
    VDTCORLog(kSizeFailureCode, kVDTCORLogLevelError, "Error in nanopb encoding for size: %s", encoded.sizingError);
  }
  if (encoded.writingError) {
    VDTCORLog(kSizeFailureCode, kVDTCORLogLevelError, "Error in nanopb encoding for bytes: %s", encoded.writingError);
  }
  return std::move(encoded.bytes);
}
