// Text forms of binary data: Base64 (standard and URL-safe) and hexadecimal.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace platform::DataEncoding {

// Standard alphabet with "=" padding, no line breaks.
std::string base64Encode(std::span<const std::uint8_t> bytes);

enum class Base64DecodingOptions { None, IgnoreUnknownCharacters };
// Strict by default: only the standard alphabet, a length that is a multiple of 4 and at most two
// "=" at the end; anything else gives an empty optional. IgnoreUnknownCharacters skips characters
// outside the alphabet (line breaks, blanks) first.
std::optional<Data> base64Decode(std::string_view text,
                                 Base64DecodingOptions options = Base64DecodingOptions::None);

// URL-safe alphabet ("-" and "_" instead of "+" and "/"), without padding.
std::string base64URLEncode(std::span<const std::uint8_t> bytes);
// Accepts the URL-safe alphabet with or without padding.
std::optional<Data> base64URLDecode(std::string_view text);

enum class HexCase { Lower, Upper };
std::string hexEncode(std::span<const std::uint8_t> bytes, HexCase letterCase = HexCase::Lower);
// Pairs of hex digits of either case; an odd length or another character gives an empty optional.
std::optional<Data> hexDecode(std::string_view text);

}  // namespace platform::DataEncoding
