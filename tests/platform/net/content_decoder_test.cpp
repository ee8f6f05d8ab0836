#include "platform/net/content_decoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "compressed_body.h"

namespace platform {
namespace {

using Outcome = ContentDecoder::Outcome;

using testing::gzipped;
using testing::rawDeflated;
using testing::zlibWrapped;

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

// Every body is fed whole and a byte at a time: where it is cut into pieces must not matter,
// not even between the two bytes that tell a deflate body's form.
TEST(ContentDecoderTest, UndoesEveryListedCodingInTurnOrRefusesTheBody) {
  constexpr std::size_t kCap = 64 * 1024;
  const std::string text = "the answer, the answer, the answer";
  std::string damagedRaw = rawDeflated(text);
  for (std::size_t i = 2; i < damagedRaw.size(); ++i) damagedRaw[i] = static_cast<char>(~damagedRaw[i]);
  // A zlib header with the preset-dictionary flag (0x7820 passes the header check), the
  // dictionary's identifier, then the data.
  const std::string presetDictionary = std::string("\x78\x20\x00\x00\x00\x01", 6) + rawDeflated(text);

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
      {"gzip then raw deflate", "gzip, deflate", rawDeflated(gzipped(text)), Outcome::Decoded, text},
      {"empty list elements", ", gzip,, identity ,", gzipped(text), Outcome::Decoded, text},
      {"gzip twice, applied once", "gzip, gzip", gzipped(text), Outcome::Undecodable, ""},
      {"gzip twice, inner cut short", "gzip, gzip", gzipped(gzipped(text).substr(0, 20)), Outcome::Undecodable, ""},
      {"an unknown coding in the list", "gzip, br", gzipped(text), Outcome::Undecodable, ""},
      {"more codings than are undone", "gzip, gzip, gzip, gzip, gzip", gzipped(gzipped(gzipped(gzipped(gzipped(text))))),
       Outcome::Undecodable, ""},
      {"inner coding expands past the cap", "gzip, gzip", gzipped(gzipped(std::string(kCap + 1, 'z'))),
       Outcome::TooLarge, ""},
      // Deflate, with and without the zlib wrapper.
      {"zlib-wrapped deflate", "deflate", zlibWrapped(text), Outcome::Decoded, text},
      {"raw deflate", "deflate", rawDeflated(text), Outcome::Decoded, text},
      {"raw deflate of nothing", "deflate", rawDeflated(""), Outcome::Decoded, ""},
      {"raw deflate cut short", "deflate", rawDeflated(text).substr(0, 6), Outcome::Undecodable, ""},
      {"raw deflate damaged", "deflate", damagedRaw, Outcome::Undecodable, ""},
      {"raw deflate then bytes", "deflate", rawDeflated(text) + "more", Outcome::Undecodable, ""},
      {"raw deflate past the cap", "deflate", rawDeflated(std::string(kCap + 1, 'z')), Outcome::TooLarge, ""},
      {"one byte of deflate", "deflate", "\x78", Outcome::Undecodable, ""},
      {"zlib wrapper asking for a preset dictionary", "deflate", presetDictionary, Outcome::Undecodable, ""},
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
