// Diagnostic payloads arrive as files from earlier runs: any bytes must give a payload with its
// diagnostics and call-stack threads, or nothing.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/foundation/json.h"
#include "platform/metrics/metric_manager.h"
#include "sdk/crash/reports/rlz_call_stack_tree.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto json = platform::JSON::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!json) return 0;
  const auto payload = platform::metrics::MXDiagnosticPayload::payloadWithJSON(*json);
  if (!payload) return 0;
  for (const auto& crash : payload->crashDiagnostics()) {
    (void)crash->exceptionType();
    (void)crash->signal();
    (void)crash->terminationReason();
    if (const auto& tree = crash->callStackTree()) {
      if (auto threads = RLZCallStackTree::initWithMXCallStackTree(*tree)) {
        (void)threads->getArrayRepresentation();
        (void)threads->getFramesOfBlamedThread();
      }
    }
  }
  for (const auto& hang : payload->hangDiagnostics()) (void)hang->hangDuration();
  for (const auto& disk : payload->diskWriteExceptionDiagnostics()) (void)disk->totalWritesCaused();
  return 0;
}
