#include "platform/net/content_decoder.h"

#include <zlib.h>

#include <array>
#include <string>

#include "platform/foundation/strings.h"

namespace platform {

namespace {

constexpr int kGzipWindowBits = 15 + 16;
constexpr int kZlibWindowBits = 15;

}  // namespace

ContentDecoder::ContentDecoder(std::optional<std::string_view> contentEncoding, std::size_t maximumSize)
    : kind_(kindOf(contentEncoding)), maximumSize_(maximumSize) {}

ContentDecoder::~ContentDecoder() {
  if (stream_) inflateEnd(stream_.get());
}

ContentDecoder::Kind ContentDecoder::kindOf(std::optional<std::string_view> contentEncoding) {
  if (!contentEncoding) return Kind::Identity;
  // A list names the encodings in the order applied; only one compression is undone here.
  std::optional<Kind> found;
  std::string_view rest = *contentEncoding;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string token = strings::trimmingWhitespace(rest.substr(0, comma));
    if (!token.empty() && !strings::equalsIgnoringCase(token, "identity")) {
      if (found) return Kind::Unknown;
      if (strings::equalsIgnoringCase(token, "gzip") || strings::equalsIgnoringCase(token, "x-gzip")) {
        found = Kind::Gzip;
      } else if (strings::equalsIgnoringCase(token, "deflate")) {
        found = Kind::Deflate;
      } else {
        return Kind::Unknown;
      }
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return found.value_or(Kind::Identity);
}

ContentDecoder::Outcome ContentDecoder::append(std::span<const std::uint8_t> bytes, Data& out) {
  if (bytes.empty()) return Outcome::Decoded;
  if (bytes.size() > maximumSize_ - received_) return Outcome::TooLarge;
  received_ += bytes.size();
  switch (kind_) {
    case Kind::Identity:
      if (bytes.size() > maximumSize_ - out.size()) return Outcome::TooLarge;
      out.insert(out.end(), bytes.begin(), bytes.end());
      return Outcome::Decoded;
    case Kind::Unknown:
      return Outcome::Undecodable;
    case Kind::Gzip:
    case Kind::Deflate:
      return inflateInto(bytes, out);
  }
  return Outcome::Undecodable;
}

ContentDecoder::Outcome ContentDecoder::inflateInto(std::span<const std::uint8_t> bytes, Data& out) {
  if (!stream_) {
    stream_ = std::make_unique<z_stream_s>();
    if (inflateInit2(stream_.get(), kind_ == Kind::Gzip ? kGzipWindowBits : kZlibWindowBits) != Z_OK) {
      stream_.reset();
      return Outcome::Undecodable;
    }
  }
  z_stream& stream = *stream_;
  stream.next_in = const_cast<Bytef*>(bytes.data());
  stream.avail_in = static_cast<uInt>(bytes.size());
  std::array<Bytef, 16 * 1024> chunk;
  bool outputPending = false;
  for (;;) {
    if (ended_ && stream.avail_in > 0) {
      // Gzip allows several members one after another; a deflate stream has nothing after its end.
      if (kind_ != Kind::Gzip || inflateReset(&stream) != Z_OK) return Outcome::Undecodable;
      ended_ = false;
    }
    if (ended_ || (stream.avail_in == 0 && !outputPending)) return Outcome::Decoded;
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<uInt>(chunk.size());
    const int status = inflate(&stream, Z_NO_FLUSH);
    const std::size_t produced = chunk.size() - stream.avail_out;
    if (produced > maximumSize_ - out.size()) return Outcome::TooLarge;
    out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(produced));
    outputPending = stream.avail_out == 0;
    if (status == Z_STREAM_END) {
      ended_ = true;
    } else if (status == Z_BUF_ERROR) {
      return Outcome::Decoded;  // needs the next bytes
    } else if (status != Z_OK) {
      return Outcome::Undecodable;
    }
  }
}

ContentDecoder::Outcome ContentDecoder::finish() {
  // An empty body has nothing to decode, whatever its header says.
  if (received_ == 0) return Outcome::Decoded;
  if (kind_ == Kind::Unknown) return Outcome::Undecodable;
  if (kind_ == Kind::Identity) return Outcome::Decoded;
  return ended_ ? Outcome::Decoded : Outcome::Undecodable;
}

}  // namespace platform
