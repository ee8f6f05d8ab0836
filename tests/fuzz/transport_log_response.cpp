// The transport backend's answer: any bytes decode to a response or to an error, never a crash.
#include <cstddef>
#include <cstdint>

#include "sdk/transport/cct/vdtcct_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::Error error;
  auto response = VDTCCTDecodeLogResponse(platform::Data(data, data + size), &error);
  if (!response && !error) __builtin_trap();
  return 0;
}
