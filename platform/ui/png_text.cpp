#include "platform/ui/png_text.h"

#include <array>
#include <cstdint>

namespace platform::PNGText {

namespace {

constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::string_view kHeaderType = "IHDR";
constexpr std::string_view kTextType = "iTXt";
// A chunk's length field is at most 2^31 - 1 by the format.
constexpr std::uint32_t kLongestChunk = 0x7fffffff;

std::uint32_t crc32(const std::uint8_t* bytes, std::size_t size, std::uint32_t crc = 0xffffffffu) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ bytes[i]) & 0xff] ^ (crc >> 8);
  return crc;
}

std::uint32_t readBigEndian(const Data& data, std::size_t at) {
  return (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) | (std::uint32_t{data[at + 2]} << 8) |
         std::uint32_t{data[at + 3]};
}

void appendBigEndian(Data& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

bool hasSignature(const Data& data) {
  return data.size() >= kSignature.size() && std::equal(kSignature.begin(), kSignature.end(), data.begin());
}

bool typeIs(const Data& data, std::size_t at, std::string_view type) {
  for (std::size_t i = 0; i < 4; ++i) {
    if (data[at + i] != static_cast<std::uint8_t>(type[i])) return false;
  }
  return true;
}

}  // namespace

Data withTexts(const Data& png, const std::vector<std::string>& texts) {
  // The header chunk: 8 bytes of length and type, 13 of data, 4 of CRC.
  constexpr std::size_t kHeaderEnd = kSignature.size() + 8 + 13 + 4;
  if (texts.empty() || !hasSignature(png) || png.size() < kHeaderEnd || readBigEndian(png, 8) != 13 ||
      !typeIs(png, 12, kHeaderType)) {
    return png;
  }
  Data out(png.begin(), png.begin() + kHeaderEnd);
  for (const auto& text : texts) {
    // Keyword, NUL, compression flag 0, method 0, empty language tag and translated keyword.
    Data chunk(kTextType.begin(), kTextType.end());
    chunk.insert(chunk.end(), kKeyword.begin(), kKeyword.end());
    chunk.insert(chunk.end(), {0, 0, 0, 0, 0});
    chunk.insert(chunk.end(), text.begin(), text.end());
    if (chunk.size() - 4 > kLongestChunk) continue;
    appendBigEndian(out, static_cast<std::uint32_t>(chunk.size() - 4));
    out.insert(out.end(), chunk.begin(), chunk.end());
    appendBigEndian(out, crc32(chunk.data(), chunk.size()) ^ 0xffffffffu);
  }
  out.insert(out.end(), png.begin() + kHeaderEnd, png.end());
  return out;
}

std::vector<std::string> texts(const Data& png) {
  std::vector<std::string> found;
  if (!hasSignature(png)) return found;
  std::size_t at = kSignature.size();
  while (png.size() - at >= 12) {
    const std::uint32_t length = readBigEndian(png, at);
    if (length > kLongestChunk || length > png.size() - at - 12) break;
    const std::size_t data = at + 8;
    if (typeIs(png, at + 4, kTextType) &&
        readBigEndian(png, data + length) == (crc32(png.data() + at + 4, length + 4) ^ 0xffffffffu)) {
      const std::string_view body(reinterpret_cast<const char*>(png.data() + data), length);
      const auto keywordEnd = body.find('\0');
      // After the keyword: compression flag and method, then the NUL-terminated language tag and
      // translated keyword.
      if (keywordEnd != std::string_view::npos && body.substr(0, keywordEnd) == kKeyword &&
          body.size() >= keywordEnd + 3 && body[keywordEnd + 1] == 0) {
        const auto language = body.find('\0', keywordEnd + 3);
        const auto translated = language == std::string_view::npos ? language : body.find('\0', language + 1);
        if (translated != std::string_view::npos) found.emplace_back(body.substr(translated + 1));
      }
    }
    if (typeIs(png, at + 4, "IEND")) break;
    at = data + length + 4;
  }
  return found;
}

}  // namespace platform::PNGText
