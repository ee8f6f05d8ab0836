#include "platform/net/content_decoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace platform {
namespace {

using Outcome = ContentDecoder::Outcome;

// `plain` compressed with zlib's window bits: 31 gzip, 15 zlib-wrapped deflate.
std::string compressed(const std::string& plain, int windowBits) {
  std::string out(compressBound(static_cast<uLong>(plain.size())) + 32, '\0');
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  stream.avail_in = static_cast<uInt>(plain.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}
std::string gzipped(const std::string& plain) { return compressed(plain, 31); }
std::string zlibWrapped(const std::string& plain) { return compressed(plain, 15); }

struct Decoded {
  Outcome outcome;
  std::string text;
};

// Feeds `body` in pieces of `piece` bytes, then finishes, as a transfer does.
Decoded decode(std::optional<std::string_view> encoding, const std::string& body, std::size_t piece,
               std::size_t cap) {
  ContentDecoder decoder(encoding, cap);
  Data out;
  Outcome outcome = Outcome::Decoded;
  for (std::size_t at = 0; at < body.size() && outcome == Outcome::Decoded; at += piece) {
    const std::size_t n = std::min(piece, body.size() - at);
    outcome = decoder.append(std::span(reinterpret_cast<const std::uint8_t*>(body.data()) + at, n), out);
  }
  if (outcome == Outcome::Decoded) outcome = decoder.finish();
  return {outcome, std::string(out.begin(), out.end())};
}

const char* nameOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::Decoded:
      return "decoded";
    case Outcome::Undecodable:
      return "undecodable";
    case Outcome::TooLarge:
      return "too large";
  }
  return "?";
}

// Every body is fed whole and a byte at a time: where it is cut into pieces must not matter.
TEST(ContentDecoderTest, UndoesEveryListedCodingInTurnOrRefusesTheBody) {
  constexpr std::size_t kCap = 64 * 1024;
  const std::string text = "the answer, the answer, the answer";

  struct Case {
    const char* name;
    std::optional<std::string_view> encoding;
    std::string body;
    Outcome outcome;
    std::string decoded;
  };
  const std::vector<Case> cases = {
      // Several codings, named in the order they were applied (header lines joined by commas).
      {"gzip twice", "gzip, gzip", gzipped(gzipped(text)), Outcome::Decoded, text},
      {"gzip then identity", "gzip, identity", gzipped(text), Outcome::Decoded, text},
      {"deflate then gzip", "deflate,gzip", gzipped(zlibWrapped(text)), Outcome::Decoded, text},
      {"empty list elements", ", gzip,, identity ,", gzipped(text), Outcome::Decoded, text},
      {"gzip twice, applied once", "gzip, gzip", gzipped(text), Outcome::Undecodable, ""},
      {"gzip twice, inner cut short", "gzip, gzip", gzipped(gzipped(text).substr(0, 20)), Outcome::Undecodable, ""},
      {"an unknown coding in the list", "gzip, br", gzipped(text), Outcome::Undecodable, ""},
      {"more codings than are undone", "gzip, gzip, gzip, gzip, gzip", gzipped(gzipped(gzipped(gzipped(gzipped(text))))),
       Outcome::Undecodable, ""},
      {"inner coding expands past the cap", "gzip, gzip", gzipped(gzipped(std::string(kCap + 1, 'z'))),
       Outcome::TooLarge, ""},
      // Deflate.
      {"zlib-wrapped deflate", "deflate", zlibWrapped(text), Outcome::Decoded, text},
  };
  for (const Case& c : cases) {
    for (const std::size_t piece : {c.body.size() + 1, std::size_t{1}}) {
      SCOPED_TRACE(std::string(c.name) + (piece == 1 ? ", a byte at a time" : ", whole"));
      const Decoded result = decode(c.encoding, c.body, piece, kCap);
      EXPECT_STREQ(nameOf(result.outcome), nameOf(c.outcome));
      if (c.outcome == Outcome::Decoded) {
        EXPECT_EQ(result.text, c.decoded);
      }
    }
  }
}

}  // namespace
}  // namespace platform
