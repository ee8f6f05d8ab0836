// Inflating downloaded or stored data that may be anything.
#include <cstddef>
#include <cstdint>

#include "sdk/utilities/utilities/vul_gzip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const platform::Data input(data, data + size);
  platform::Error error;
  auto inflated = VULGzip::vul_dataByInflatingGzippedData(input, &error);
  if (inflated && error) __builtin_trap();
  return 0;
}
