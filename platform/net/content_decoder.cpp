#include "platform/net/content_decoder.h"

#include <zlib.h>

#include <array>
#include <string>

#include "platform/foundation/strings.h"

namespace platform {

namespace {

constexpr int kGzipWindowBits = 15 + 16;
constexpr int kZlibWindowBits = 15;
constexpr int kRawDeflateWindowBits = -15;

// Whether a deflate body starts with the two-byte zlib header: method 8 with a window of at most
// 32 KiB, and a check that makes the pair a multiple of 31. Raw deflate data cannot start so: its
// first block would be a stored one with a padding bit set, which encoders never write.
bool isZlibHeader(std::uint8_t first, std::uint8_t second) {
  return (first & 0x0F) == 8 && (first >> 4) <= 7 && ((first << 8) | second) % 31 == 0;
}

}  // namespace

// One coding to undo, with its own inflater, fed by the stage before it.
struct ContentDecoder::Stage {
  explicit Stage(Kind kind) : kind(kind) {}
  ~Stage() {
    if (started) inflateEnd(&stream);
  }
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;

  const Kind kind;
  z_stream stream{};
  bool started = false;  // the inflater is set up
  bool ended = false;    // the current gzip member or deflate stream is complete
  std::size_t received = 0;
  std::size_t produced = 0;
  // A deflate stage's first byte, held until the second one tells the zlib-wrapped form from raw.
  std::optional<std::uint8_t> firstByte;
  std::array<Bytef, 16 * 1024> chunk;
};

ContentDecoder::ContentDecoder(std::optional<std::string_view> contentEncoding, std::size_t maximumSize)
    : maximumSize_(maximumSize) {
  if (!contentEncoding) return;
  // The list names the codings in the order they were applied; they are undone from its end.
  std::vector<Kind> applied;
  std::string_view rest = *contentEncoding;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string token = strings::trimmingWhitespace(rest.substr(0, comma));
    if (!token.empty() && !strings::equalsIgnoringCase(token, "identity")) {
      if (strings::equalsIgnoringCase(token, "gzip") || strings::equalsIgnoringCase(token, "x-gzip")) {
        applied.push_back(Kind::Gzip);
      } else if (strings::equalsIgnoringCase(token, "deflate")) {
        applied.push_back(Kind::Deflate);
      } else {
        unknown_ = true;
        return;
      }
      if (applied.size() > kMaximumCodings) {
        unknown_ = true;
        return;
      }
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  for (auto kind = applied.rbegin(); kind != applied.rend(); ++kind) stages_.push_back(std::make_unique<Stage>(*kind));
}

ContentDecoder::~ContentDecoder() = default;

ContentDecoder::Outcome ContentDecoder::append(std::span<const std::uint8_t> bytes, Data& out) {
  if (bytes.empty()) return Outcome::Decoded;
  if (bytes.size() > maximumSize_ - received_) return Outcome::TooLarge;
  received_ += bytes.size();
  if (unknown_) return Outcome::Undecodable;
  return feed(0, bytes, out);
}

ContentDecoder::Outcome ContentDecoder::feed(std::size_t index, std::span<const std::uint8_t> bytes, Data& out) {
  if (index < stages_.size()) return inflateStage(index, bytes, out);
  if (bytes.size() > maximumSize_ - out.size()) return Outcome::TooLarge;
  out.insert(out.end(), bytes.begin(), bytes.end());
  return Outcome::Decoded;
}

ContentDecoder::Outcome ContentDecoder::inflateStage(std::size_t index, std::span<const std::uint8_t> bytes,
                                                     Data& out) {
  Stage& stage = *stages_[index];
  if (bytes.empty()) return Outcome::Decoded;
  stage.received += bytes.size();
  if (!stage.started) {
    int windowBits = kGzipWindowBits;
    if (stage.kind == Kind::Deflate) {
      if (!stage.firstByte && bytes.size() < 2) {
        stage.firstByte = bytes[0];
        return Outcome::Decoded;
      }
      const std::uint8_t first = stage.firstByte ? *stage.firstByte : bytes[0];
      const std::uint8_t second = stage.firstByte ? bytes[0] : bytes[1];
      windowBits = isZlibHeader(first, second) ? kZlibWindowBits : kRawDeflateWindowBits;
    }
    if (inflateInit2(&stage.stream, windowBits) != Z_OK) return Outcome::Undecodable;
    stage.started = true;
    if (stage.firstByte) {
      const std::uint8_t held = *stage.firstByte;
      if (const Outcome outcome = inflateInto(index, std::span(&held, 1), out); outcome != Outcome::Decoded) {
        return outcome;
      }
    }
  }
  return inflateInto(index, bytes, out);
}

ContentDecoder::Outcome ContentDecoder::inflateInto(std::size_t index, std::span<const std::uint8_t> bytes,
                                                    Data& out) {
  Stage& stage = *stages_[index];
  z_stream& stream = stage.stream;
  stream.next_in = const_cast<Bytef*>(bytes.data());
  stream.avail_in = static_cast<uInt>(bytes.size());
  bool outputPending = false;
  for (;;) {
    if (stage.ended && stream.avail_in > 0) {
      // Gzip allows several members one after another; a deflate stream has nothing after its end.
      if (stage.kind != Kind::Gzip || inflateReset(&stream) != Z_OK) return Outcome::Undecodable;
      stage.ended = false;
    }
    if (stage.ended || (stream.avail_in == 0 && !outputPending)) return Outcome::Decoded;
    stream.next_out = stage.chunk.data();
    stream.avail_out = static_cast<uInt>(stage.chunk.size());
    const int status = inflate(&stream, Z_NO_FLUSH);
    const std::size_t produced = stage.chunk.size() - stream.avail_out;
    if (produced > maximumSize_ - stage.produced) return Outcome::TooLarge;
    stage.produced += produced;
    outputPending = stream.avail_out == 0;
    if (produced > 0) {
      // The next stage takes all of it before this chunk is filled again.
      if (const Outcome outcome = feed(index + 1, std::span(stage.chunk.data(), produced), out);
          outcome != Outcome::Decoded) {
        return outcome;
      }
    }
    if (status == Z_STREAM_END) {
      stage.ended = true;
    } else if (status == Z_BUF_ERROR) {
      return Outcome::Decoded;  // needs the next bytes
    } else if (status != Z_OK) {
      return Outcome::Undecodable;
    }
  }
}

ContentDecoder::Outcome ContentDecoder::finish() {
  // An empty body has nothing to decode, whatever its header says; so has a stage given nothing.
  if (received_ == 0) return Outcome::Decoded;
  if (unknown_) return Outcome::Undecodable;
  for (const auto& stage : stages_) {
    if (stage->received > 0 && !stage->ended) return Outcome::Undecodable;
  }
  return Outcome::Decoded;
}

}  // namespace platform
