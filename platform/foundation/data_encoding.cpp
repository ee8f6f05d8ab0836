#include "platform/foundation/data_encoding.h"

#include <array>

namespace platform::DataEncoding {

namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kURLSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<std::int8_t, 256> reverse(const char* alphabet) {
  std::array<std::int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}

constexpr auto kStandardReverse = reverse(kStandard);
constexpr auto kURLSafeReverse = reverse(kURLSafe);

std::string encode(std::span<const std::uint8_t> bytes, const char* alphabet, bool pad) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
    out.push_back(alphabet[(v >> 6) & 63]);
    out.push_back(alphabet[v & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
    if (rest == 2) out.push_back(alphabet[(v >> 6) & 63]);
    if (pad) out.append(rest == 2 ? "=" : "==");
  }
  return out;
}

// Decodes unpadded symbols (every character must be in the alphabet). A final group of one
// symbol cannot hold a byte and is refused.
std::optional<Data> decodeSymbols(std::string_view symbols, const std::array<std::int8_t, 256>& table) {
  if (symbols.size() % 4 == 1) return std::nullopt;
  Data out;
  out.reserve(symbols.size() / 4 * 3 + 2);
  std::uint32_t buffer = 0;
  int bits = 0;
  for (char c : symbols) {
    const std::int8_t v = table[static_cast<unsigned char>(c)];
    if (v < 0) return std::nullopt;
    buffer = (buffer << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

}  // namespace

std::string base64Encode(std::span<const std::uint8_t> bytes) { return encode(bytes, kStandard, true); }

std::optional<Data> base64Decode(std::string_view text, Base64DecodingOptions options) {
  std::string filtered;
  if (options == Base64DecodingOptions::IgnoreUnknownCharacters) {
    filtered.reserve(text.size());
    for (char c : text) {
      if (kStandardReverse[static_cast<unsigned char>(c)] >= 0 || c == '=') filtered.push_back(c);
    }
    text = filtered;
  }
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  return decodeSymbols(text.substr(0, text.size() - padding), kStandardReverse);
}

std::string base64URLEncode(std::span<const std::uint8_t> bytes) { return encode(bytes, kURLSafe, false); }

std::optional<Data> base64URLDecode(std::string_view text) {
  if (text.size() % 4 == 0) {
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    text = text.substr(0, text.size() - padding);
  }
  return decodeSymbols(text, kURLSafeReverse);
}

std::string hexEncode(std::span<const std::uint8_t> bytes, HexCase letterCase) {
  const char* digits = letterCase == HexCase::Lower ? "0123456789abcdef" : "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}

std::optional<Data> hexDecode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Data out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = value(text[i]);
    const int low = value(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return out;
}

}  // namespace platform::DataEncoding
