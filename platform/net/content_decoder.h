// Undoes a response body's Content-Encoding as its bytes arrive, within a bound on both what comes
// over the wire and what it expands to. Knows gzip (one member or several), deflate (zlib-wrapped
// or raw) and identity, and a list of them applied one after another; a body in any other
// encoding, cut short, or damaged is undecodable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

namespace platform {

class ContentDecoder {
 public:
  enum class Outcome { Decoded, Undecodable, TooLarge };

  // Codings undone at most; a longer list is undecodable (each one costs up to the size cap in work).
  static constexpr std::size_t kMaximumCodings = 4;

  // `contentEncoding`: the header's value, all its lines joined by commas in order; none when the
  // response had none. `maximumSize` bounds the bytes received and what each coding expands to.
  ContentDecoder(std::optional<std::string_view> contentEncoding, std::size_t maximumSize);
  ~ContentDecoder();
  ContentDecoder(const ContentDecoder&) = delete;
  ContentDecoder& operator=(const ContentDecoder&) = delete;

  // Appends what `bytes` decode to onto `out`. After anything but Decoded the decoder is done.
  Outcome append(std::span<const std::uint8_t> bytes, Data& out);
  // Once the body is complete: whether it ended where its encoding says it ends.
  Outcome finish();

 private:
  enum class Kind { Gzip, Deflate };
  struct Stage;

  // Gives `bytes` to stage `index` (the last-applied coding is stage 0); past the last stage they
  // are the decoded body.
  Outcome feed(std::size_t index, std::span<const std::uint8_t> bytes, Data& out);
  Outcome inflateStage(std::size_t index, std::span<const std::uint8_t> bytes, Data& out);
  Outcome inflateInto(std::size_t index, std::span<const std::uint8_t> bytes, Data& out);

  const std::size_t maximumSize_;
  bool unknown_ = false;  // a coding not known here, or too many
  std::size_t received_ = 0;
  std::vector<std::unique_ptr<Stage>> stages_;
};

}  // namespace platform
