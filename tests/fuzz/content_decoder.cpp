// Decoding a response body that may be anything, arriving in pieces of any size. The first byte
// picks the Content-Encoding header, the second the size of the pieces.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/net/content_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  constexpr std::array<std::optional<std::string_view>, 9> kEncodings = {
      std::nullopt, "gzip", "deflate", "identity, gzip", "gzip, deflate", "br", "gzip, gzip", "deflate, gzip, identity",
      "gzip, gzip, deflate, gzip, deflate"};
  constexpr std::size_t kCap = 1 << 20;
  platform::ContentDecoder decoder(kEncodings[data[0] % kEncodings.size()], kCap);
  const std::size_t piece = std::size_t{data[1]} + 1;
  std::span<const std::uint8_t> body(data + 2, size - 2);
  platform::Data out;
  auto outcome = platform::ContentDecoder::Outcome::Decoded;
  while (!body.empty() && outcome == platform::ContentDecoder::Outcome::Decoded) {
    const std::size_t n = std::min(piece, body.size());
    outcome = decoder.append(body.first(n), out);
    body = body.subspan(n);
  }
  if (outcome == platform::ContentDecoder::Outcome::Decoded) (void)decoder.finish();
  if (out.size() > kCap) __builtin_trap();
  return 0;
}
