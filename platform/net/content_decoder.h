// Undoes a response body's Content-Encoding as its bytes arrive, within a bound on both what comes
// over the wire and what it expands to. Knows gzip (one member or several), deflate (zlib-wrapped)
// and identity; a body in any other encoding, cut short, or damaged is undecodable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "platform/foundation/value.h"

struct z_stream_s;

namespace platform {

class ContentDecoder {
 public:
  enum class Outcome { Decoded, Undecodable, TooLarge };

  // `contentEncoding`: the header's value, none when the response had none.
  ContentDecoder(std::optional<std::string_view> contentEncoding, std::size_t maximumSize);
  ~ContentDecoder();
  ContentDecoder(const ContentDecoder&) = delete;
  ContentDecoder& operator=(const ContentDecoder&) = delete;

  // Appends what `bytes` decode to onto `out`. After anything but Decoded the decoder is done.
  Outcome append(std::span<const std::uint8_t> bytes, Data& out);
  // Once the body is complete: whether it ended where its encoding says it ends.
  Outcome finish();

 private:
  enum class Kind { Identity, Gzip, Deflate, Unknown };
  static Kind kindOf(std::optional<std::string_view> contentEncoding);
  Outcome inflateInto(std::span<const std::uint8_t> bytes, Data& out);

  const Kind kind_;
  const std::size_t maximumSize_;
  std::size_t received_ = 0;
  std::unique_ptr<z_stream_s> stream_;  // made at the first compressed byte
  bool ended_ = false;                  // the current gzip member or deflate stream is complete
};

}  // namespace platform
