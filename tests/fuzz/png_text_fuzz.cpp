// The PNG text-chunk reader takes any bytes a saved image file may hold.
#include <cstddef>
#include <cstdint>

#include "platform/ui/png_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const platform::Data bytes(data, data + size);
  auto texts = platform::PNGText::texts(bytes);
  // What was read is written back and read again the same.
  if (!texts.empty() && platform::PNGText::texts(platform::PNGText::withTexts(bytes, texts)).size() < texts.size()) {
    __builtin_trap();
  }
  return 0;
}
