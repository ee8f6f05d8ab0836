// The local service's readers of what clients upload, each on the same bytes: any bytes give a
// reading that can be described, or an error that says why, never a crash.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/local-service/core_diagnostics_record.h"
#include "tools/local-service/crash_report.h"
#include "tools/local-service/transport_routes.h"

namespace {

template <typename Decode, typename Describe>
void readAndDescribe(std::string_view bytes, Decode decode, Describe describe) {
  std::string error;
  if (auto decoded = decode(bytes, error)) {
    describe(*decoded);
  } else if (error.empty()) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  readAndDescribe(bytes, local_service::decodeBatchedLogRequest, local_service::describeBatchedLogRequest);
  readAndDescribe(bytes, local_service::decodeCrashReport, local_service::describeCrashReport);
  readAndDescribe(bytes, local_service::decodeDiagnosticsRecord, local_service::describeDiagnosticsRecord);
  return 0;
}
